"""The results: boards, runs, measurements; on PostgreSQL the station and report roles.

Revision ID: 0001
Revises:
"""

import sqlalchemy as sa
from alembic import op

revision = "0001"
down_revision = None
branch_labels = None
depends_on = None

RUN_VERDICTS = "verdict IN ('pass', 'fail', 'stopped', 'aborted')"
MEASUREMENT_VERDICTS = ("verdict IN ('pass', 'fail', 'no answer', 'bad checksum', 'error', "
                        "'not run')")

# Group roles (NOLOGIN): a line grants them to its login users. They belong to the cluster,
# not this database, so they may be there already.
ROLES = """
DO $$ BEGIN
    IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'mcu_station') THEN
        CREATE ROLE mcu_station NOLOGIN;
    END IF;
    IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'mcu_report') THEN
        CREATE ROLE mcu_report NOLOGIN;
    END IF;
END $$
"""

# A station adds boards, runs and measurements, and finishes only its own runs that are not
# finished yet; nothing is ever deleted. A report reads.
PRIVILEGES = [
    "GRANT SELECT ON boards, runs, measurements, alembic_version TO mcu_station, mcu_report",
    "GRANT INSERT ON boards, runs, measurements TO mcu_station",
    "GRANT UPDATE (board_id, firmware_version, tool_version, ended_at, verdict) ON runs "
    "TO mcu_station",
    "GRANT USAGE ON SEQUENCE boards_id_seq, runs_id_seq, measurements_id_seq TO mcu_station",
    "ALTER TABLE runs ENABLE ROW LEVEL SECURITY",
    "CREATE POLICY runs_read ON runs FOR SELECT USING (true)",
    "CREATE POLICY runs_insert ON runs FOR INSERT TO mcu_station "
    "WITH CHECK (db_user = current_user)",
    "CREATE POLICY runs_finish ON runs FOR UPDATE TO mcu_station "
    "USING (db_user = current_user AND verdict IS NULL) WITH CHECK (db_user = current_user)",
    "ALTER TABLE measurements ENABLE ROW LEVEL SECURITY",
    "CREATE POLICY measurements_read ON measurements FOR SELECT USING (true)",
    # Measurements go only into the station's own run while it is going on.
    "CREATE POLICY measurements_insert ON measurements FOR INSERT TO mcu_station "
    "WITH CHECK (EXISTS (SELECT FROM runs WHERE runs.id = run_id "
    "AND runs.db_user = current_user AND runs.verdict IS NULL))",
]


# Every constraint and index named here as PostgreSQL named those this revision once left
# unnamed; op.f() keeps a name as written, whatever naming convention the metadata gets later.
def upgrade():
    postgres = op.get_bind().dialect.name == "postgresql"
    op.create_table(
        "boards",
        sa.Column("id", sa.Integer),
        sa.Column("serial_number", sa.Text, nullable=False),
        sa.Column("first_seen", sa.DateTime(timezone=True), nullable=False),
        sa.PrimaryKeyConstraint("id", name=op.f("boards_pkey")),
        sa.UniqueConstraint("serial_number", name=op.f("boards_serial_number_key")),
    )
    op.create_table(
        "runs",
        sa.Column("id", sa.Integer),
        sa.Column("run_uid", sa.Text, nullable=False),
        sa.Column("board_id", sa.Integer, nullable=True),
        sa.Column("station", sa.Text, nullable=False),
        sa.Column("slot", sa.Text, nullable=True),
        sa.Column("product", sa.Text, nullable=False),
        sa.Column("limits_file", sa.Text, nullable=False),
        sa.Column("limits_sha256", sa.Text, nullable=False),
        sa.Column("tool_version", sa.Text, nullable=True),
        sa.Column("firmware_version", sa.Text, nullable=True),
        sa.Column("started_at", sa.DateTime(timezone=True), nullable=False),
        sa.Column("ended_at", sa.DateTime(timezone=True), nullable=True),
        sa.Column("verdict", sa.Text, nullable=True),
        sa.Column("db_user", sa.Text, nullable=False,
                  server_default=sa.text("current_user") if postgres else ""),
        sa.PrimaryKeyConstraint("id", name=op.f("runs_pkey")),
        sa.UniqueConstraint("run_uid", name=op.f("runs_run_uid_key")),
        sa.ForeignKeyConstraint(["board_id"], ["boards.id"], name=op.f("runs_board_id_fkey")),
        sa.CheckConstraint(RUN_VERDICTS, name=op.f("runs_verdict_check")),
    )
    op.create_index(op.f("ix_runs_board_id"), "runs", ["board_id"])
    op.create_index(op.f("ix_runs_started_at"), "runs", ["started_at"])
    op.create_table(
        "measurements",
        sa.Column("id", sa.Integer),
        sa.Column("run_id", sa.Integer, nullable=False),
        sa.Column("position", sa.Integer, nullable=False),
        sa.Column("name", sa.Text, nullable=False),
        sa.Column("title", sa.Text, nullable=False),
        sa.Column("value_num", sa.Float(53), nullable=True),
        sa.Column("value_text", sa.Text, nullable=True),
        sa.Column("unit", sa.Text, nullable=True),
        sa.Column("low", sa.Float(53), nullable=True),
        sa.Column("high", sa.Float(53), nullable=True),
        sa.Column("limits", sa.Text, nullable=False),
        sa.Column("verdict", sa.Text, nullable=False),
        sa.Column("detail", sa.Text, nullable=False, server_default=""),
        sa.PrimaryKeyConstraint("id", name=op.f("measurements_pkey")),
        sa.UniqueConstraint("run_id", "name", name=op.f("measurements_run_id_name_key")),
        sa.ForeignKeyConstraint(["run_id"], ["runs.id"], name=op.f("measurements_run_id_fkey")),
        sa.CheckConstraint(MEASUREMENT_VERDICTS, name=op.f("measurements_verdict_check")),
    )
    if postgres:
        op.execute(ROLES)
        for statement in PRIVILEGES:
            op.execute(statement)


def downgrade():
    # The roles stay: other databases of the cluster may use them.
    op.drop_table("measurements")
    op.drop_table("runs")
    op.drop_table("boards")
