"""Fault injection, the long run: tests/faults.py on SQLite and PostgreSQL, strict and notify,
for a while each, with every fault kind on a seeded schedule. Prints what the oracle found
and writes it into bench/RESULTS.md.

    python bench/faults.py [--seconds 60] [--workers 3] [--seed 16] [--kinds all|classic|deployment]

`--kinds`: the classic faults, those deployments bring (a fork after another process's commit,
a reconnect per request, the SQLite file replaced or removed, a foreign lock, a frozen writer,
a connection budget, a backup restored online), or both on one schedule (the default).

PostgreSQL runs on a private cluster started for the run (the faults restart it).
"""

from __future__ import annotations

import argparse
import collections
import importlib.util
import os
import shutil
import sys
import tempfile
import time
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.join(HERE, "..", "tests")
sys.path.insert(1, TESTS)

import verdict  # noqa: E402


def _harness():
    """tests/faults.py, under a name of its own (this script is `faults` too)."""
    spec = importlib.util.spec_from_file_location("fault_harness", os.path.join(TESTS, "faults.py"))
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # its dataclasses look their module up
    spec.loader.exec_module(module)
    return module


faults = _harness()
from pgcluster import Cluster, bindir  # noqa: E402


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=60.0, help="of faults per store and mode")
    ap.add_argument("--workers", type=int, default=3)
    ap.add_argument("--seed", type=int, default=16)
    ap.add_argument("--kinds", choices=["all", "classic", "deployment"], default="all")
    ap.add_argument("--no-write", action="store_true", help="print only; leave RESULTS.md alone")
    args = ap.parse_args()
    if bindir() is None:
        print("PostgreSQL is not installed", file=sys.stderr)
        return 1
    tmp = tempfile.mkdtemp(prefix="zarn-bench-faults-")
    cluster = Cluster(tempfile.mkdtemp(prefix="zarn-bench-faults-pg-"))  # the server's user must reach it
    cluster.init()
    cluster.start()
    reports = []
    try:
        for store in ("sqlite", "postgresql"):
            for mode in ("strict", "notify"):
                folder = os.path.join(tmp, f"{store}-{mode}")
                os.mkdir(folder)
                if store == "sqlite":
                    url, server = os.path.join(folder, "store.sqlite3"), None
                else:
                    url, server = faults.database(cluster, f"faults_{uuid.uuid4().hex[:12]}"), cluster
                started = time.monotonic()
                kinds = (faults.KINDS[store, mode] if args.kinds != "deployment" else ()) + \
                        (faults.NEW_KINDS[store, mode] if args.kinds != "classic" else ())
                report = faults.Run(store, mode, url, folder, seconds=args.seconds, workers=args.workers,
                                    seed=args.seed, cluster=server, gap=(0.3, 1.5), kinds=kinds).execute()
                report.seconds = time.monotonic() - started
                print(report.summary(), flush=True)
                reports.append(report)
                shutil.rmtree(folder, ignore_errors=True)
    finally:
        cluster.stop("immediate")
        shutil.rmtree(cluster.folder, ignore_errors=True)
        shutil.rmtree(tmp, ignore_errors=True)
    text = section(reports, args)
    print(text)
    # Wrong answers (an answer that differs from the grant of the version it names) end the
    # run with status 1 below; stale ones are the targets.
    figures = [(verdict.Target(f"faults/{r.store} {r.mode}", f"answers stale beyond the promise under faults, "
                               f"{r.store}, {r.mode}", "≤", 0, ""), r.stale) for r in reports]
    verdict.report("faults.py", figures, note=f"{args.seconds:g} s a store and mode, seed {args.seed}",
                   path=None if args.no_write else verdict.FIGURES)
    if not args.no_write:
        import sections

        sections.write("faults", text)
    return 0 if all(r.stale == 0 and r.wrong == 0 and not r.errors["unexpected"] for r in reports) else 1


def section(reports: list[faults.Report], args: argparse.Namespace) -> str:
    lines = [
        "## Fault injection: no stale answer",
        "",
        f"`bench/faults.py` (the harness of `tests/test_faults.py`, run long): {args.workers} worker processes "
        "per store and mode read a grant through `Live` in a loop while a writer toggles it every 5–40 ms (every other toggle through `Live.update`) and "
        f"faults hit on a seeded schedule (seed {args.seed}), one every 0.3–1.5 s, for {args.seconds:g} s; "
        "2 cores for workers, writer and server. Every answer is judged against the commit history: stale is "
        "an answer from before a commit that ended before the call began (strict), or more than 1 s before "
        "(notify); wrong is an answer that differs from the grant of the version it names. Calls that raised "
        "a StorageError (the injected load failures, connections lost in a restart) are not answers. Lag: "
        "the longest an answer trailed a commit that had ended, within the promise.",
        "",
        "| store | mode | wall time | processes | commits | answers checked | errors raised | stale | wrong "
        "| longest lag |",
        "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    total: collections.Counter = collections.Counter()
    for r in reports:
        total.update(r.faults)
        lines.append(f"| {r.store} | {r.mode} | {r.seconds:.0f} s | {r.processes} | {r.commits:,} | "
                     f"{r.answers:,} | {sum(r.errors.values()):,} | {r.stale} | {r.wrong} | "
                     f"{r.max_lag * 1000:.0f} ms |")
    lines += ["", "Faults injected (terminate-listener: `pg_terminate_backend` of listener connections; "
              "pause-listener: SIGSTOP of a listener's server process for 1.5–3 s; terminate-backend and "
              "pause-backend: the same to the workers' query connections; restart: the server stopped (fast) and "
              "started; recreate: the document deleted and created again; fork: a worker forks, the child "
              "answers for 1–3 s on the inherited `Live`, the parent goes on; forge: three `NOTIFY` with junk "
              "payloads; reload-fail: a worker's next load raises once; fork-late: a worker reconnects, reads, "
              "and forks 0.5 s later, after the writer's commit; reconnect: a worker closes its connection after "
              "every answer for 1–2 s; replace: the SQLite file replaced by a copy of itself (renamed over it), "
              "the writer going on through a new engine; remove: the SQLite files removed and the store made "
              "again, the document created anew; lock: another session holds the write lock (SQLite) or a "
              "transaction idle after a read of the documents (PostgreSQL) for 1.5–2.5 s while a worker forks; "
              "frozen: a writer process stopped for 1.5–2.5 s while it holds the document's lock; budget: the "
              "workers' role may open one connection more than it has while a worker answers in six more "
              "threads; restore: the backup taken at the last restore (an earlier state) restored online, "
              f"`zarn_engine.backup.restore`; kinds: {args.kinds}):", "",
              "| fault | " + " | ".join(f"{r.store} {r.mode}" for r in reports) + " | total |",
              "|---|" + "---:|" * (len(reports) + 1)]
    for kind in sorted(total):
        lines.append(f"| {kind} | " + " | ".join(str(r.faults[kind]) for r in reports) + f" | {total[kind]} |")
    answers = sum(r.answers for r in reports)
    stale = sum(r.stale for r in reports)
    lines += ["", f"In all: {answers:,} answers checked, {sum(total.values())} faults injected, "
              f"{stale} answers stale beyond the promise."]
    problems = [p for r in reports for p in r.problems]
    if problems:
        lines += ["", "What the oracle found:", ""] + [f"- {p}" for p in problems[:20]]
    return "\n".join(lines)


if __name__ == "__main__":
    sys.exit(main())
