"""Soak: one worker process on live documents for a long time, measured as it goes.

A writer thread grants a new permission and revokes it again, for good, through
`Live.update` (each pair leaves the role as it was, with one permission more in the
matrix's history); reader threads answer a check in a loop through a strict and a notify
`Live`. Every so often the process's resident memory, threads, open descriptors and store
connections are sampled, with the size of the held matrices (their graph's nodes) beside a
fresh load's. A worker that keeps what it no longer holds shows as a rising column.

    python bench/soak.py [--seconds 3600] [--samples 60] [--store sqlite|postgresql] [--url URL]
                         [--readers 4] [--roles 1000] [--check] [--write]

PostgreSQL needs --url or $ZARN_TEST_POSTGRES_URL. `--check` ends with status 1 unless every
column stayed flat within its tolerance (see `flat`): tests/test_held_size.py runs it for a
few seconds. `--write` puts the table into bench/RESULTS.md.
"""

from __future__ import annotations

import argparse
import os
import shutil
import sys
import tempfile
import threading
import time
from typing import Any

HERE = os.path.dirname(os.path.abspath(__file__))

# How much a column may move between the first sample after the warm-up and any later one.
RSS_SLACK = 6 * 2 ** 20  # bytes, or 10 % of the first, whichever is more
THREAD_SLACK = 1  # a background reload of a held matrix runs in a thread of its own, briefly
FD_SLACK = 2
# A background reload of each of the two held matrices reads on a connection of its own.
# SQLite keeps the descriptor of a connection closed while another one holds a lock on the
# file, and opens the next connection on it: one such descriptor per reload, reused after.
CONNECTION_SLACK = 2


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def descriptors() -> int:
    return len(os.listdir("/proc/self/fd"))


def sqlite_connections(path: str) -> int:
    """Open descriptors on the database file itself: one per SQLite connection."""
    real = os.path.realpath(path)
    count = 0
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}") == real:
                count += 1
        except OSError:
            pass
    return count


class Soak:
    def __init__(self, args: argparse.Namespace) -> None:
        import zarn_engine
        import zarn_user.role_matrix as rm

        self.args = args
        self.rm = rm
        self.folder = args.folder or tempfile.mkdtemp(prefix="zarn-soak-")
        self.owned_folder = args.folder is None
        self.admin: Any = None
        if args.store == "sqlite":
            self.url = args.url or os.path.join(self.folder, "soak.sqlite3")
        else:
            base = args.url or os.environ.get("ZARN_TEST_POSTGRES_URL")
            if not base:
                raise SystemExit("PostgreSQL: give --url or set ZARN_TEST_POSTGRES_URL")
            import psycopg

            self.admin = psycopg.connect(base, autocommit=True)
            self.admin.execute("DROP TABLE IF EXISTS zarn_documents, zarn_changes, zarn_retired")
            self.url = f"{base}{'&' if '?' in base else '?'}application_name=zarn-soak"
        self.engine = zarn_engine.open_engine(self.url)
        m = rm.RoleMatrix(name="soak", policies=[rm.Policy(sub=f"r{i}", obj=f"o{i % 50}", act="read")
                                                 for i in range(args.roles)])
        m.save(engine=self.engine)
        self.strict = zarn_engine.Live(rm.RoleMatrix, consistency="strict", engine=self.engine)
        self.notify = zarn_engine.Live(rm.RoleMatrix, consistency="notify", engine=self.engine)
        self.stop = threading.Event()
        self.pairs = 0
        self.copy = 0  # the largest `update`'s copy was since the last sample
        self.answers = 0
        self.failures: list[str] = []

    def connections(self) -> int:
        if self.admin is None:
            return sqlite_connections(self.url)
        row = self.admin.execute("SELECT count(*) FROM pg_stat_activity WHERE application_name = 'zarn-soak'"
                                 " AND datname = current_database()").fetchone()
        return int(row[0])

    def writer(self) -> None:
        try:
            while not self.stop.is_set():
                perm = {"obj": f"x{self.pairs}", "act": "write"}
                self.strict.update("soak", lambda m: m.add_role_permissions("clerk", [perm]))
                self.strict.update("soak", lambda m: m.set_role_permissions("clerk", []))
                self.pairs += 1
                copy = self.strict._writers.get("soak")
                if copy is not None:
                    self.copy = max(self.copy, len(copy[0].dag))  # (instance, epoch)
        except BaseException as exc:  # noqa: BLE001 - reported
            self.failures.append(f"writer: {exc!r}")

    def reader(self, n: int) -> None:
        live = self.strict if n % 2 else self.notify
        try:
            while not self.stop.is_set():
                doc = live.get("soak")
                doc.get_implicit_permissions_for_roles(["clerk", f"r{n}"])
                self.answers += 1
                time.sleep(0.0005)
        except BaseException as exc:  # noqa: BLE001 - reported
            self.failures.append(f"reader {n}: {exc!r}")
        finally:
            self.engine.close()  # this thread's connection

    def held(self) -> tuple[int, int, int]:
        sizes = []
        for live in (self.strict, self.notify):
            entry = live._entries.get("soak")
            sizes.append(len(entry.doc.dag) if entry is not None else 0)
        copy, self.copy = self.copy, 0
        return sizes[0], sizes[1], copy

    def sample(self, started: float) -> dict[str, Any]:
        strict, notify, copy = self.held()
        return {"t": time.monotonic() - started, "rss": rss(), "threads": threading.active_count(),
                "fds": descriptors(), "connections": self.connections(), "pairs": self.pairs,
                "answers": self.answers, "held": max(strict, notify), "copy": copy}

    def run(self) -> list[dict[str, Any]]:
        threads = [threading.Thread(target=self.writer, name="soak-writer", daemon=True)]
        threads += [threading.Thread(target=self.reader, args=(n,), name=f"soak-reader-{n}", daemon=True)
                    for n in range(self.args.readers)]
        started = time.monotonic()
        for t in threads:
            t.start()
        samples = []
        step = self.args.seconds / self.args.samples
        try:
            for k in range(1, self.args.samples + 1):
                time.sleep(max(0.0, started + k * step - time.monotonic()))
                samples.append(self.sample(started))
                if self.args.verbose:
                    print(row(samples[-1]), flush=True)
        finally:
            self.stop.set()
            for t in threads:
                t.join(timeout=60)
        return samples

    def fresh(self) -> int:
        return len(self.rm.RoleMatrix.load("soak", engine=self.engine).dag)

    def close(self) -> None:
        self.strict.close()
        self.notify.close()
        self.engine.close()
        if self.admin is not None:
            self.admin.close()
        if self.owned_folder:
            shutil.rmtree(self.folder, ignore_errors=True)


def row(s: dict[str, Any]) -> str:
    return (f"| {s['t']:.0f} s | {s['pairs']:,} | {s['answers']:,} | {s['rss'] / 2 ** 20:.1f} MB | {s['threads']} "
            f"| {s['fds']} | {s['connections']} | {s['held']:,} | {s['copy']:,} |")


def flat(samples: list[dict[str, Any]], fresh: int, rss_slack: int = RSS_SLACK) -> list[str]:
    """What did not stay flat, in words: every sample after the first quarter against the
    first of them; the held matrices against the bound of a fresh load."""
    from zarn_engine import live

    first = samples[len(samples) // 4]
    later = samples[len(samples) // 4:]
    problems = []
    rss_bound = first["rss"] + max(rss_slack, first["rss"] // 10)
    if max(s["rss"] for s in later) > rss_bound:
        problems.append(f"RSS grew from {first['rss'] / 2 ** 20:.1f} MB to "
                        f"{max(s['rss'] for s in later) / 2 ** 20:.1f} MB")
    for name, slack in (("threads", THREAD_SLACK), ("fds", FD_SLACK), ("connections", CONNECTION_SLACK)):
        values = [s[name] for s in later]
        if max(values) - min(values) > slack:
            problems.append(f"{name} moved between {min(values)} and {max(values)}")
    held_bound = (fresh + 1) * live.GROWTH + live.SLACK + 2
    for name in ("held", "copy"):
        largest = max(s[name] for s in samples)
        if largest > held_bound:
            problems.append(f"{name} matrix reached {largest} nodes, a fresh load holds {fresh}")
    if samples[-1]["pairs"] == samples[0]["pairs"] or samples[-1]["answers"] == samples[0]["answers"]:
        problems.append("the writer or the readers stopped")
    return problems


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seconds", type=float, default=3600.0)
    ap.add_argument("--samples", type=int, default=60)
    ap.add_argument("--store", choices=["sqlite", "postgresql"], default="sqlite")
    ap.add_argument("--url", help="the store (default: a new SQLite file; PostgreSQL: $ZARN_TEST_POSTGRES_URL)")
    ap.add_argument("--readers", type=int, default=4)
    ap.add_argument("--roles", type=int, default=1000)
    ap.add_argument("--folder", help="for the SQLite file (default: a temporary one)")
    ap.add_argument("--check", action="store_true", help="status 1 unless every column stayed flat")
    ap.add_argument("--write", action="store_true", help="put the table into bench/RESULTS.md")
    ap.add_argument("--verbose", action="store_true", help="print each sample as it is taken")
    ap.add_argument("--rss-slack", type=float, default=RSS_SLACK / 2 ** 20, metavar="MB",
                    help="how much RSS may grow after the warm-up (default: %(default)g, or 10 %%)")
    args = ap.parse_args()
    if args.samples < 4:
        ap.error("--samples: at least 4")
    soak = Soak(args)
    try:
        samples = soak.run()
        fresh = soak.fresh()
    finally:
        soak.close()
    problems = flat(samples, fresh, int(args.rss_slack * 2 ** 20)) + soak.failures
    lines = [f"## Soak: a worker stays the size of what it holds ({args.store})", "",
             f"`bench/soak.py --store {args.store} --seconds {args.seconds:g}`: one process; a writer thread "
             f"grants a new permission and revokes it, for good, through `Live.update`; {args.readers} reader "
             f"threads check through a strict and a notify `Live`; a matrix of {args.roles:,} policies, "
             f"{fresh:,} nodes when loaded afresh at the end. Held: the larger of the two shared instances' "
             "nodes; copy: `update`'s private copy.", "",
             "| time | grant-revoke pairs | answers | RSS | threads | descriptors | connections | held | copy |",
             "|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    shown = samples if len(samples) <= 13 else samples[::max(1, len(samples) // 12)] + samples[-1:]
    lines += [row(s) for s in shown]
    lines += ["", f"Flat within the tolerance (RSS 6 MB or 10 %, threads {THREAD_SLACK}, descriptors {FD_SLACK}, "
                  f"connections {CONNECTION_SLACK}; held matrices within the live layer's bound of a fresh load)."
              if not problems
              else "Not flat: " + "; ".join(problems)]
    text = "\n".join(lines)
    print(text)
    if args.write:
        sys.path.insert(0, HERE)
        import sections

        sections.write(f"soak-{args.store}", text)
    return 1 if args.check and problems else 0


if __name__ == "__main__":
    sys.exit(main())
