"""A private PostgreSQL cluster on 127.0.0.1, for tests and CI.

    python tests/pgcluster.py start DIR   # prints the URL; the cluster lives in DIR
    python tests/pgcluster.py stop DIR

The server runs as the `postgres` user when started by root (PostgreSQL refuses root).
"""

from __future__ import annotations

import glob
import os
import pwd
import shutil
import socket
import subprocess
import sys
import time


def bindir() -> str | None:
    """The newest installed PostgreSQL's program folder."""
    found = shutil.which("pg_ctl")
    if found:
        return os.path.dirname(os.path.realpath(found))
    candidates = sorted(glob.glob("/usr/lib/postgresql/*/bin"), key=lambda p: int(p.split("/")[-2]))
    return candidates[-1] if candidates else None


def _server_env() -> dict[str, str]:
    """The environment for the server's programs: without the sanitizer runtime that a test
    run may preload into its own processes."""
    return {k: v for k, v in os.environ.items() if not k.startswith(("LD_PRELOAD", "ASAN_", "UBSAN_", "PYTHONMALLOC"))}


def _as_server_user(argv: list[str]) -> list[str]:
    if os.geteuid() != 0:
        return argv
    return ["runuser", "-u", "postgres", "--"] + argv


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Cluster:
    def __init__(self, folder: str) -> None:
        self.folder = os.path.abspath(folder)
        self.data = os.path.join(self.folder, "data")
        self.bin = bindir()
        if self.bin is None:
            raise RuntimeError("PostgreSQL is not installed")
        port_file = os.path.join(self.folder, "port")
        self.port = int(open(port_file).read()) if os.path.exists(port_file) else None

    @property
    def url(self) -> str:
        return f"postgresql://postgres@127.0.0.1:{self.port}/postgres"

    def _ctl(self, *args: str) -> None:
        subprocess.run(_as_server_user([os.path.join(self.bin, "pg_ctl"), "-D", self.data, *args]),
                       check=True, stdout=subprocess.DEVNULL, env=_server_env(), timeout=120)

    def init(self) -> None:
        os.makedirs(self.folder, exist_ok=True)
        if os.geteuid() == 0:
            user = pwd.getpwnam("postgres")
            os.chown(self.folder, user.pw_uid, user.pw_gid)
        subprocess.run(_as_server_user([os.path.join(self.bin, "initdb"), "-D", self.data, "-A", "trust",
                                        "-U", "postgres", "--no-sync"]), check=True, stdout=subprocess.DEVNULL,
                       env=_server_env(), timeout=120)
        self.port = _free_port()
        with open(os.path.join(self.folder, "port"), "w") as f:
            f.write(str(self.port))

    def start(self) -> None:
        options = (f"-p {self.port} -c listen_addresses=127.0.0.1 -k {self.folder} "
                   "-c max_connections=200 -c fsync=on")
        self._ctl("-o", options, "-l", os.path.join(self.folder, "log"), "-w", "-t", "60", "start")

    def stop(self, mode: str = "fast") -> None:
        self._ctl("-m", mode, "-w", "stop")

    def standby(self, folder: str) -> "Cluster":
        """A hot standby of this cluster in `folder`, streaming from it on loopback (started)."""
        standby = Cluster(folder)
        os.makedirs(standby.folder, exist_ok=True)
        if os.geteuid() == 0:
            user = pwd.getpwnam("postgres")
            os.chown(standby.folder, user.pw_uid, user.pw_gid)
        subprocess.run(_as_server_user([os.path.join(self.bin, "pg_basebackup"), "-h", "127.0.0.1",
                                        "-p", str(self.port), "-U", "postgres", "-D", standby.data, "-R",
                                        "-X", "stream", "--no-sync", "-c", "fast"]),
                       check=True, stdout=subprocess.DEVNULL, env=_server_env(), timeout=120)
        standby.port = _free_port()
        with open(os.path.join(standby.folder, "port"), "w") as f:
            f.write(str(standby.port))
        standby.start()
        return standby

    def promote(self) -> None:
        """Make this standby a primary; returns once it takes writes."""
        self._ctl("-w", "-t", "60", "promote")

    def restart(self) -> None:
        self.stop()
        time.sleep(0.2)
        self.start()


def main(argv: list[str]) -> int:
    if len(argv) != 3 or argv[1] not in ("start", "stop"):
        print("usage: pgcluster.py start|stop DIR", file=sys.stderr)
        return 2
    cluster = Cluster(argv[2])
    if argv[1] == "start":
        cluster.init()
        cluster.start()
        print(cluster.url)
    else:
        cluster.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
