"""What made each run and how long it took; a lease that tells a running run from a dead one;
each limits file's text, once per SHA-256.

Revision ID: 0002
Revises: 0001
"""

import sqlalchemy as sa
from alembic import op

revision = "0002"
down_revision = "0001"
branch_labels = None
depends_on = None

RUN_COLUMNS = [
    sa.Column("station_version", sa.Text, nullable=True),
    sa.Column("lease_until", sa.DateTime(timezone=True), nullable=True),
    sa.Column("duration_s", sa.Float(53), nullable=True),
    sa.Column("board_ready_s", sa.Float(53), nullable=True),
    sa.Column("steps_s", sa.Float(53), nullable=True),
    sa.Column("tool_s", sa.Float(53), nullable=True),
    sa.Column("console_read", sa.BigInteger, nullable=True),
    sa.Column("console_written", sa.BigInteger, nullable=True),
]

# The station renews its own open runs' leases and fills in their times when they end; limits
# texts are added, never changed.
PRIVILEGES = [
    "GRANT UPDATE (lease_until, duration_s, board_ready_s, steps_s, tool_s, console_read, "
    "console_written) ON runs TO mcu_station",
    "GRANT SELECT ON limits_texts TO mcu_station, mcu_report",
    "GRANT INSERT ON limits_texts TO mcu_station",
]


def upgrade():
    for column in RUN_COLUMNS:
        op.add_column("runs", column)
    op.create_table(
        "limits_texts",
        sa.Column("sha256", sa.Text),
        sa.Column("text", sa.Text, nullable=False),
        sa.Column("first_seen", sa.DateTime(timezone=True), nullable=False),
        sa.PrimaryKeyConstraint("sha256", name=op.f("limits_texts_pkey")),
    )
    if op.get_bind().dialect.name == "postgresql":
        for statement in PRIVILEGES:
            op.execute(statement)


def downgrade():
    op.drop_table("limits_texts")
    for column in reversed(RUN_COLUMNS):
        op.drop_column("runs", column.name)
