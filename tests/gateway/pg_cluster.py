#!/usr/bin/env python3
"""A throw-away PostgreSQL server for the gateway's tests: a cluster made with initdb in a
temporary folder, listening on loopback on a free port, trust authentication, removed at the
end. initdb refuses to run as root: as root the server runs as `nobody`.

As a program: pg_cluster.py COMMAND [ARGS...] runs COMMAND with TARVIKD_TEST_PG naming the
server's database, and exits with its status."""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

PG_BIN = os.environ.get("TARVIK_PG_BIN", "/usr/lib/postgresql/15/bin")


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Cluster:
    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="tarvik-pg-")
        self.data = os.path.join(self.folder, "data")
        self.port = _free_port()
        self.proc = None
        self.prefix = []
        if os.geteuid() == 0:
            import pwd
            user = pwd.getpwnam("nobody")
            os.chown(self.folder, user.pw_uid, user.pw_gid)
            self.prefix = ["setpriv", f"--reuid={user.pw_uid}", f"--regid={user.pw_gid}",
                           "--clear-groups", "--"]
        os.chmod(self.folder, 0o755)
        self._run([f"{PG_BIN}/initdb", "-D", self.data, "-A", "trust", "-U", "tarvik",
                   "--no-sync", "-E", "UTF8", "--locale=C.UTF-8"])
        self.url = f"postgresql://tarvik@127.0.0.1:{self.port}/postgres"

    def _run(self, command):
        result = subprocess.run(self.prefix + command, capture_output=True, text=True)
        if result.returncode != 0:
            raise RuntimeError(f"{command[0]}: {result.stdout}{result.stderr}")

    def start(self):
        log = open(os.path.join(self.folder, "server.log"), "a")
        # fsync off: the tests' throw-away data need not survive a power loss, and the
        # shared CI disk is slow.
        self.proc = subprocess.Popen(
            self.prefix + [f"{PG_BIN}/postgres", "-D", self.data, "-k", self.folder, "-h",
                           "127.0.0.1", "-p", str(self.port), "-c", "fsync=off",
                           "-c", "max_connections=100"],
            stdout=log, stderr=subprocess.STDOUT)
        deadline = time.time() + 60
        while time.time() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("postgres stopped:\n" + self.log())
            ready = subprocess.run([f"{PG_BIN}/pg_isready", "-h", "127.0.0.1", "-p",
                                    str(self.port), "-U", "tarvik", "-d", "postgres"],
                                   capture_output=True)
            if ready.returncode == 0:
                return self
            time.sleep(0.1)
        raise RuntimeError("postgres did not get ready:\n" + self.log())

    def stop(self, fast=True):
        """Stops the server: fast shutdown (SIGINT) drops the connections, as a restart does."""
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT if fast else signal.SIGTERM)
            try:
                self.proc.wait(60)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None

    def restart(self):
        self.stop()
        self.start()

    def log(self):
        try:
            return open(os.path.join(self.folder, "server.log"), errors="replace").read()[-3000:]
        except OSError:
            return ""

    def remove(self):
        self.stop()
        shutil.rmtree(self.folder, ignore_errors=True)


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    cluster = Cluster().start()
    try:
        env = dict(os.environ, TARVIKD_TEST_PG=cluster.url)
        code = subprocess.run(sys.argv[1:], env=env).returncode
        if code != 0:
            print("--- postgres log\n" + cluster.log())
        return code
    finally:
        cluster.remove()


if __name__ == "__main__":
    sys.exit(main())
