"""Retests and scanned labels: which test of its serial number a run is, the serial number
scanned from the board's label, and the verdicts 'refused' (a board tested as often as the
line allows) and 'wrong board' (the label and the MCU disagree).

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
AFTER = ("verdict IN ('pass', 'fail', 'no boot', 'fixture error', 'wrong board', 'stopped', "
         "'refused', 'aborted')")
COLUMNS = ("retest", "scanned_serial")


def _columns() -> list[sa.Column]:
    return [sa.Column("retest", sa.Integer, nullable=True),
            sa.Column("scanned_serial", sa.Text, nullable=True)]


def _change(text: str, add: list[sa.Column], drop: tuple[str, ...]) -> None:
    if op.get_bind().dialect.name == "sqlite":
        # SQLite changes a check only by copying the table (db.migrate() turns the foreign
        # keys off around it, and checks them before the commit).
        with op.batch_alter_table("runs", recreate="always") as batch:
            for column in add:
                batch.add_column(column)
            for name in drop:
                batch.drop_column(name)
            batch.drop_constraint(NAME, type_="check")
            batch.create_check_constraint(NAME, text)
    else:
        for column in add:
            op.add_column("runs", column)
        for name in drop:
            op.drop_column("runs", name)
        op.drop_constraint(NAME, "runs", type_="check")
        op.create_check_constraint(NAME, "runs", text)


def upgrade():
    _change(AFTER, _columns(), ())
    if op.get_bind().dialect.name == "postgresql":
        # The station fills both in when its run ends (a column's grant goes with it).
        op.execute("GRANT UPDATE (retest, scanned_serial) ON runs TO mcu_station")


def downgrade():
    _change(BEFORE, [], COLUMNS)
