"""Retests: which test of its serial number a run is, and the verdict 'refused' (a board
tested as often as the line allows).

Revision ID: 0004
Revises: 0003
"""

import sqlalchemy as sa
from alembic import op

revision = "0004"
down_revision = "0003"
branch_labels = None
depends_on = None

NAME = "runs_verdict_check"
BEFORE = "verdict IN ('pass', 'fail', 'no boot', 'fixture error', 'stopped', 'aborted')"
AFTER = ("verdict IN ('pass', 'fail', 'no boot', 'fixture error', 'stopped', 'refused', "
         "'aborted')")


def _replace_check(text: str, column: sa.Column | None, drop: str | None) -> None:
    if op.get_bind().dialect.name == "sqlite":
        # SQLite changes a check only by copying the table (db.migrate() turns the foreign
        # keys off around it, and checks them before the commit).
        with op.batch_alter_table("runs", recreate="always") as batch:
            if column is not None:
                batch.add_column(column)
            if drop is not None:
                batch.drop_column(drop)
            batch.drop_constraint(NAME, type_="check")
            batch.create_check_constraint(NAME, text)
    else:
        if column is not None:
            op.add_column("runs", column)
        if drop is not None:
            op.drop_column("runs", drop)
        op.drop_constraint(NAME, "runs", type_="check")
        op.create_check_constraint(NAME, "runs", text)


def upgrade():
    _replace_check(AFTER, sa.Column("retest", sa.Integer, nullable=True), None)


def downgrade():
    _replace_check(BEFORE, None, "retest")
