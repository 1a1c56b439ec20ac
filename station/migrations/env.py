"""Alembic's entry: the migrations run on the connection that db.migrate() hands over."""

from alembic import context

from station import db

connection = context.config.attributes["connection"]
# The station's tables, for autogenerate and compare; their naming convention also names the
# constraints that a migration leaves unnamed.
context.configure(connection=connection, target_metadata=db.metadata, transactional_ddl=True)
with context.begin_transaction():
    context.run_migrations()
