"""Alembic's entry: the migrations run on the connection that db.migrate() hands over."""

from alembic import context

connection = context.config.attributes["connection"]
context.configure(connection=connection, transactional_ddl=True)
with context.begin_transaction():
    context.run_migrations()
