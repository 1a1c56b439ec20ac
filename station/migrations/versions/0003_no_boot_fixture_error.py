"""Two more run verdicts: 'no boot' (the board's failure) and 'fixture error' (the station's).

Revision ID: 0003
Revises: 0002
"""

from alembic import op

revision = "0003"
down_revision = "0002"
branch_labels = None
depends_on = None

NAME = "runs_verdict_check"
BEFORE = "verdict IN ('pass', 'fail', 'stopped', 'aborted')"
AFTER = "verdict IN ('pass', 'fail', 'no boot', 'fixture error', 'stopped', 'aborted')"


def _replace_check(text: str) -> None:
    if op.get_bind().dialect.name == "sqlite":
        # SQLite changes a check only by copying the table (db.migrate() turns the foreign
        # keys off around it, and checks them before the commit).
        with op.batch_alter_table("runs", recreate="always") as batch:
            batch.drop_constraint(NAME, type_="check")
            batch.create_check_constraint(NAME, text)
    else:
        op.drop_constraint(NAME, "runs", type_="check")
        op.create_check_constraint(NAME, "runs", text)


def upgrade():
    _replace_check(AFTER)


def downgrade():
    _replace_check(BEFORE)
