"""A throwaway PostgreSQL 15 cluster for tests: Debian's server binaries, a temporary folder,
a Unix socket in that folder and no TCP at all.

The server runs as the unprivileged `postgres` system user when the tests run as root. It
gets SIGQUIT (PostgreSQL's immediate shutdown) when the process that started it dies, however
it dies (a parent-death signal), and a fast shutdown from `stop()` otherwise.

Authentication on the socket: `trust` for everyone (the folder is private to the test),
except the users named in `password_users`, who must give their password (scram-sha-256).
"""

from __future__ import annotations

import ctypes
import os
import pwd
import shutil
import signal
import subprocess
import tempfile
import time
from contextlib import closing
from pathlib import Path

BIN = Path("/usr/lib/postgresql/15/bin")
PORT = 5432  # names the socket file only; nothing listens on TCP
PR_SET_PDEATHSIG = 1
SUPERUSER = "postgres"


def _dies_with_starter() -> None:
    """preexec_fn, run after Popen took the server's user: die with the starting process."""
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGQUIT)


class PgCluster:
    def __init__(self, password_users: tuple[str, ...] = (), parent: str = "/tmp"):
        self.user = pwd.getpwnam("postgres") if os.geteuid() == 0 else None
        self.as_server = {"preexec_fn": _dies_with_starter}  # Popen's, for the server's tools
        if self.user is not None:
            self.as_server.update(user=self.user.pw_uid, group=self.user.pw_gid, extra_groups=[])
        self.folder = Path(tempfile.mkdtemp(prefix="mcu-pg.", dir=parent))
        self.data = self.folder / "data"
        self.log = self.folder / "server.log"
        self.password_users = password_users
        self.server: subprocess.Popen | None = None

    def _run(self, *args: str) -> None:
        done = subprocess.run(args, **self.as_server, cwd=self.folder, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True)
        if done.returncode != 0:
            raise RuntimeError(f"{args[0]} ended with {done.returncode}: {done.stdout}")

    def start(self) -> "PgCluster":
        if self.user is not None:
            os.chown(self.folder, self.user.pw_uid, self.user.pw_gid)
        self._run(str(BIN / "initdb"), "-D", str(self.data), "-U", SUPERUSER,
                  "--auth=trust", "-E", "UTF8", "--locale=C", "--no-sync")
        hba = "".join(f"local all {u} scram-sha-256\n" for u in self.password_users)
        (self.data / "pg_hba.conf").write_text(hba + "local all all trust\n")
        self.resume()
        return self

    def resume(self) -> None:
        """The server (again, after halt()) on the cluster's data, once it answers."""
        with open(self.log, "ab") as log:
            self.server = subprocess.Popen(
                [str(BIN / "postgres"), "-D", str(self.data), "-k", str(self.folder),
                 "-p", str(PORT), "-c", "listen_addresses=", "-c", "max_connections=60",
                 "-c", "unix_socket_permissions=0777"],
                **self.as_server, stdout=log, stderr=subprocess.STDOUT)
        self._wait_ready()

    def halt(self) -> None:
        """A server outage: pg_ctl's fast shutdown (every session cut), its data kept."""
        self._run(str(BIN / "pg_ctl"), "stop", "-D", str(self.data), "-m", "fast", "-w")
        self.server.wait(30)

    def _wait_ready(self) -> None:
        import psycopg2
        for _ in range(300):
            if self.server.poll() is not None:
                break
            try:
                self.sql("SELECT 1")
                return
            except psycopg2.OperationalError:
                time.sleep(0.1)
        raise RuntimeError(f"postgres ended with {self.server.returncode} or did not answer in "
                           f"30 s: {self.log.read_text()}")

    def stop(self) -> None:
        if self.server is not None and self.server.poll() is None:
            self.server.send_signal(signal.SIGINT)  # fast shutdown
            try:
                self.server.wait(30)
            except subprocess.TimeoutExpired:
                self.server.send_signal(signal.SIGQUIT)
                self.server.wait(10)
        shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self) -> "PgCluster":
        try:
            return self.start()
        except BaseException:
            self.stop()
            raise

    def __exit__(self, *exc) -> None:
        self.stop()

    # -- URLs and SQL as the superuser ------------------------------------------------------

    def url(self, user: str | None = None, dbname: str = "results") -> str:
        return f"postgresql://{user or SUPERUSER}@/{dbname}?host={self.folder}&port={PORT}"

    def sql(self, statement: str, dbname: str = "postgres") -> list[tuple]:
        import psycopg2
        with closing(psycopg2.connect(host=str(self.folder), port=PORT, user=SUPERUSER,
                                      dbname=dbname)) as conn:
            conn.autocommit = True
            with conn.cursor() as cursor:
                cursor.execute(statement)
                return cursor.fetchall() if cursor.description else []

    def create_database(self, dbname: str = "results") -> str:
        self.sql(f'CREATE DATABASE "{dbname}"')
        return self.url(dbname=dbname)

    def create_user(self, name: str, *roles: str, password: str | None = None) -> None:
        """A login user, member of the given group roles."""
        quoted = password.replace("'", "''") if password else None
        self.sql(f'CREATE ROLE "{name}" LOGIN' + (f" PASSWORD '{quoted}'" if quoted else "")
                 + (f" IN ROLE {', '.join(roles)}" if roles else ""))
