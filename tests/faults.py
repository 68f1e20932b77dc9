"""Fault injection against live documents, judged by an oracle over the commit history.

Worker processes check one grant ("clerk" holds doc:read) in a loop through `Live` and log
every answer with the time its call began and ended and the version it answered from. A
writer toggles the grant and logs every commit with the time it began and ended. Faults are
injected on a seeded schedule meanwhile: the listener's server process terminated or
stopped, worker connections terminated, the server restarted, the document deleted and
created again, a worker forking, forged notifications, a reload that fails once. What
deployments do adds more (NEW_KINDS): a fork right after another process's commit, a
reconnect per request, the SQLite file replaced by a copy or removed and made again, a lock
held by a foreign session, a writer frozen while it holds the document's lock, a
connection budget smaller than a worker's threads, and a backup restored while they run.

`check` then judges every answer against the history. Times are `time.monotonic()`, one
clock for every process of the host. An answer is stale when it comes from before a commit
that ended more than `bound` seconds before the call began (strict: 0, notify: 1 s); it is
wrong when it differs from the grant of the version it names, or names a version the writer
never committed. Calls that raised a StorageError are counted as errors, not answers.

Used by tests/test_faults.py (short) and bench/faults.py (long).
"""

from __future__ import annotations

import bisect
import collections
import dataclasses
import glob
import os
import queue
import random
import signal
import subprocess
import sys
import tempfile
import threading
import time
import traceback
from typing import Any, Callable, Iterator

import zarn_engine
from zarn_engine import DoesNotExist, StorageError

ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}

GRANT = [{"obj": "doc", "act": "read"}]
BOUNDS = {"strict": 0.0, "notify": 1.0}

# Payloads of notifications that nobody of ours sent.
FORGED = ['["RoleMatrix", {"x": 1}]', "x", "[" * 3000 + "]" * 3000, "", "null", '{"RoleMatrix": "app"}',
          '["RoleMatrix"]', '["RoleMatrix", "app", 1]', '["RoleMatrix", "other"]', '[1, 2]', "\u00e9\u4e2d",
          '"' + "\\" * 40]

# What a store and mode can suffer. Server faults only where there is a server; listener
# faults only where there is a listener.
KINDS = {
    ("sqlite", "strict"): ("recreate", "fork", "reload-fail"),
    ("sqlite", "notify"): ("recreate", "fork", "reload-fail"),
    ("postgresql", "strict"): ("terminate-backend", "pause-backend", "restart", "recreate", "fork", "forge",
                               "reload-fail"),
    ("postgresql", "notify"): ("terminate-listener", "pause-listener", "terminate-backend", "restart",
                               "recreate", "fork", "forge", "reload-fail"),
}

# What deployments do to a store and its workers, each a kind of its own (the runs of
# KINDS keep their schedule).
NEW_KINDS = {
    ("sqlite", "strict"): ("fork-late", "reconnect", "replace", "remove", "lock", "frozen", "restore"),
    ("sqlite", "notify"): ("fork-late", "reconnect", "replace", "remove", "lock", "frozen", "restore"),
    ("postgresql", "strict"): ("lock", "frozen", "budget", "restore"),
    ("postgresql", "notify"): ("lock", "frozen", "budget", "restore"),
}

# The role the workers and the writer connect as on PostgreSQL: not a superuser, so that a
# connection limit holds for it ("budget"); it owns the run's database.
RUNNER = "zarn_runner"

# Seconds the writer waits for a store it cannot read (after a failed step) before it fails.
SETTLE = 30.0

# Faults that act at the next change, not at once.
ARMED = {"reload-fail"}

# A worker: answers until SIGTERM. SIGUSR1 makes it fork (the child answers for 1-3 s on the
# inherited live document, the parent goes on); SIGUSR2 makes its next load fail once.
# SIGHUP: it reconnects, answers once, waits 0.5 s without a read (another process commits
# meanwhile) and forks. SIGWINCH: for 1-2 s it closes its connection after each answer.
# SIGURG: six more threads answer for 1-2 s, each on a connection of its own. SIGQUIT: the
# stacks of its threads on stderr (worker-N.err).
# Mode "cached" is a broken reader for the oracle's self-test: it loads once, for good.
WORKER = r'''
import faulthandler, os, random, signal, sys, threading, time
import zarn_engine, zarn_user.role_matrix as rm
from zarn_engine import DoesNotExist, StorageError

faulthandler.register(signal.SIGQUIT, all_threads=True)  # a worker that does not stop shows where it is
url, mode, folder, pace = sys.argv[1], sys.argv[2], sys.argv[3], float(sys.argv[4])
rng = random.Random(int(sys.argv[5]))
zarn_engine.connect(url)


class Cached:
    docs = {}

    def get(self, key):
        if key not in self.docs:
            self.docs[key] = rm.RoleMatrix.load(key)
        return self.docs[key]


live = Cached() if mode == "cached" else zarn_engine.Live(rm.RoleMatrix, consistency=mode)
requests = []
signal.signal(signal.SIGUSR1, lambda *_: requests.append("fork"))
signal.signal(signal.SIGUSR2, lambda *_: requests.append("reload-fail"))
signal.signal(signal.SIGTERM, lambda *_: requests.append("stop"))
signal.signal(signal.SIGHUP, lambda *_: requests.append("fork-late"))
signal.signal(signal.SIGWINCH, lambda *_: requests.append("reconnect"))
signal.signal(signal.SIGURG, lambda *_: requests.append("threads"))
out = open(os.path.join(folder, f"answers-{os.getpid()}.log"), "w")
children = []
until = float("inf")
fork_after_read = False
reconnect_until = 0.0
extra = []  # lines answered by the extra threads, written by the main thread
helpers = []


def disconnect():
    if mode != "cached":
        live.engine.close()  # this thread's connection: the next call opens another


def answer():
    t0 = time.monotonic()
    try:
        doc = live.get("app")
        held = bool(doc.get_implicit_permissions_for_roles(["clerk"]).permissions)
        return f"{t0!r} {time.monotonic()!r} {int(held)} {doc.version}\n"
    except DoesNotExist:
        return f"{t0!r} {time.monotonic()!r} absent -\n"
    except StorageError as exc:
        return f"{t0!r} {time.monotonic()!r} error {type(exc).__name__}\n"
    except Exception as exc:
        text = " ".join(str(exc).split())[:200]
        return f"{t0!r} {time.monotonic()!r} unexpected {type(exc).__name__}: {text}\n"


def helper(seconds):
    end = time.monotonic() + seconds
    try:
        while time.monotonic() < end and not stop:
            extra.append(answer())
            time.sleep(random.uniform(0, pace))
    finally:
        disconnect()


def start_helpers():
    out.write("event threads\n")
    for _ in range(6):
        thread = threading.Thread(target=helper, args=(rng.uniform(1.0, 2.0),), daemon=True)
        thread.start()
        helpers.append(thread)


def write_extra():
    while extra:
        out.write(extra.pop(0))


def fail_next_load():
    # The next read that brings the document up to date fails: a load, or the read of the
    # changes since the version held.
    engine = zarn_engine.get_engine()

    def restore():
        if "load" in vars(rm.RoleMatrix):
            del rm.RoleMatrix.load
        engine.__dict__.pop("changes_since", None)

    def failing(cls, key, engine=None):
        restore()
        raise StorageError("injected: this load fails")

    def failing_changes(*args):
        restore()
        raise StorageError("injected: this read of changes fails")
    rm.RoleMatrix.load = classmethod(failing)
    engine.changes_since = failing_changes


def fork():
    global out, until, rng
    out.flush()
    pid = os.fork()
    if pid:
        children.append(pid)
        out.write(f"event fork {pid}\n")
        return
    children.clear()
    extra.clear()  # the parent writes them
    helpers.clear()
    out.close()  # its buffer is empty: nothing written twice
    out = open(os.path.join(folder, f"answers-{os.getpid()}.log"), "w")
    out.write(f"event child {os.getppid()}\n")
    rng = random.Random(os.getpid())
    until = time.monotonic() + rng.uniform(1.0, 3.0)


def reap(block):
    for pid in list(children):
        done, status = os.waitpid(pid, 0 if block else os.WNOHANG)
        if done:
            children.remove(pid)
            out.write(f"event exit {pid} {os.waitstatus_to_exitcode(status)}\n")


ready = False
started = flushed = time.monotonic()
stop = False
while not stop and time.monotonic() < until:
    while requests:
        request = requests.pop(0)
        if request == "stop":
            stop = True
        elif request == "fork":
            fork()
        elif request == "fork-late":
            disconnect()
            fork_after_read = True
        elif request == "reconnect":
            reconnect_until = time.monotonic() + rng.uniform(1.0, 2.0)
            out.write("event reconnect\n")
        elif request == "threads":
            start_helpers()
        else:
            fail_next_load()
            out.write("event reload-fail\n")
    if stop:
        break
    out.write(answer())
    write_extra()
    if fork_after_read:
        fork_after_read = False
        time.sleep(0.5)  # another process commits meanwhile
        fork()
    elif time.monotonic() < reconnect_until:
        disconnect()
    if not ready and (mode != "notify" or live.listening or time.monotonic() - started > 10):
        ready = True
        open(os.path.join(folder, f"ready-{os.getpid()}"), "w").close()
    reap(False)
    now = time.monotonic()
    if now - flushed > 0.25:  # what a killed worker answered is mostly kept
        out.flush()
        flushed = now
    time.sleep(rng.uniform(0, pace))
for signum in (signal.SIGTERM, signal.SIGUSR1, signal.SIGUSR2, signal.SIGHUP):
    signal.signal(signum, signal.SIG_IGN)  # not the default (an end) while the interpreter shuts down
stop = True
for thread in helpers:
    thread.join(timeout=10)
write_extra()
out.flush()
reap(True)
out.close()
if mode != "cached":
    live.close()
'''


# --- the history and the oracle ------------------------------------------------------------

@dataclasses.dataclass
class Commit:
    """One change the writer committed: a version with its grant, or a delete (None)."""

    version: int | None
    held: bool | None
    start: float
    end: float


@dataclasses.dataclass
class Answer:
    start: float
    end: float
    held: bool | None  # None: the document did not exist
    version: int | None


@dataclasses.dataclass
class Report:
    store: str = ""
    mode: str = ""
    seconds: float = 0.0
    seed: int = 0
    bound: float = 0.0
    processes: int = 0
    commits: int = 0
    answers: int = 0
    stale: int = 0
    wrong: int = 0
    errors: collections.Counter = dataclasses.field(default_factory=collections.Counter)
    faults: collections.Counter = dataclasses.field(default_factory=collections.Counter)
    events: collections.Counter = dataclasses.field(default_factory=collections.Counter)
    max_lag: float = 0.0  # the longest an answer trailed a commit that had ended (within the bound)
    took: float = 0.0  # seconds the run took, stopping included
    timeline: list[str] = dataclasses.field(default_factory=list)  # "+SECONDS KIND" per fault tried
    problems: list[str] = dataclasses.field(default_factory=list)  # first violations, in words

    def complain(self, text: str) -> None:
        if len(self.problems) < 20:
            self.problems.append(text)

    def summary(self) -> str:
        faults = ", ".join(f"{kind} {n}" for kind, n in sorted(self.faults.items())) or "none"
        errors = ", ".join(f"{kind} {n}" for kind, n in sorted(self.errors.items())) or "none"
        lines = [f"{self.store} {self.mode}, {self.seconds:.0f} s, seed {self.seed}: {self.answers} answers "
                 f"from {self.processes} processes checked against {self.commits} commits; stale {self.stale}, "
                 f"wrong {self.wrong}; longest lag {self.max_lag * 1000:.0f} ms (bound {self.bound:g} s)",
                 f"faults: {faults}", f"errors: {errors}"]
        if self.timeline:
            lines.append(f"took {self.took:.1f} s; faults at: {', '.join(self.timeline)}")
        return "\n".join(lines + self.problems)


def check(commits: list[Commit], answers: list[Answer], bound: float, report: Report | None = None) -> Report:
    """Judge every answer against the history (commits in the order they were made)."""
    report = report or Report()
    report.bound = bound
    report.commits = len(commits)
    report.answers += len(answers)
    ends = [c.end for c in commits]
    at = {c.version: i for i, c in enumerate(commits) if c.version is not None}
    deletes = [i for i, c in enumerate(commits) if c.version is None]
    delete_starts = [commits[i].start for i in deletes]
    versions = [c.version for c in commits if c.version is not None]
    if any(b <= a for a, b in zip(versions, versions[1:])):
        report.wrong += 1
        report.complain(f"versions did not keep growing: {versions}")
    for a in answers:
        due = bisect.bisect_left(ends, a.start - bound) - 1  # the last commit the answer must include
        if a.version is None:
            # Absent: from the last delete that began before the call ended, if any.
            k = bisect.bisect_left(delete_starts, a.end) - 1
            got = deletes[k] if k >= 0 else None
        else:
            got = at.get(a.version)
        if got is None:
            report.wrong += 1
            report.complain(f"answer {a} names no committed state")
            continue
        if commits[got].start > a.end or (a.version is not None and a.held != commits[got].held):
            report.wrong += 1
            report.complain(f"answer {a} does not match {commits[got]}")
        if got < due:
            report.stale += 1
            report.complain(f"stale: answer {a} from commit #{got} {commits[got]}; "
                            f"commit #{due} {commits[due]} ended {a.start - commits[due].end:.3f} s before the call")
        elif got + 1 < len(commits) and commits[got + 1].end < a.start:
            report.max_lag = max(report.max_lag, a.start - commits[got + 1].end)
    return report


def read_answers(folder: str, report: Report) -> list[Answer]:
    """The answers the worker processes logged; errors and events counted in the report."""
    answers = []
    files = glob.glob(os.path.join(folder, "answers-*.log"))
    report.processes = len(files)
    for path in files:
        with open(path) as f:
            for line in f:
                parts = line.split(maxsplit=3)
                if parts[0] == "event":
                    report.events[parts[1]] += 1
                    if parts[1] == "exit" and parts[3].strip() != "0":
                        report.complain(f"forked worker {parts[2]} ended with status {parts[3].strip()}")
                        report.wrong += 1
                    continue
                if len(parts) < 4:
                    continue  # a line cut short by a kill
                start, end, kind = float(parts[0]), float(parts[1]), parts[2]
                if kind in ("0", "1"):
                    answers.append(Answer(start, end, kind == "1", int(parts[3])))
                elif kind == "absent":
                    answers.append(Answer(start, end, None, None))
                elif kind == "error":
                    report.errors[parts[3].strip()] += 1
                else:
                    report.errors["unexpected"] += 1
                    report.complain(f"unexpected error in {os.path.basename(path)}: {parts[3].strip()}")
    return answers


# --- the writer ----------------------------------------------------------------------------

def matrix(held: bool) -> Any:
    import zarn_user.role_matrix as rm

    return rm.RoleMatrix(name="app", groups=[rm.Group(child="clerk", parent="public")],
                         policies=[rm.Policy(sub="clerk", **p) for p in GRANT] if held else [])


def holds(doc: Any) -> bool:
    return bool(doc.get_implicit_permissions_for_roles(["clerk"]).permissions)


class Writer(threading.Thread):
    """Toggles the grant every few milliseconds and records each commit; between toggles it
    deletes and creates the document again, or commits once and then holds still for a while,
    when asked. A failure whose outcome is unknown (a connection lost while committing) is
    settled by reading what the store holds. Every other toggle goes through `Live.update`
    (its private copy brought on from the log) instead of the writer's own instance."""

    def __init__(self, url: str, rng: random.Random, pace: tuple[float, float] = (0.005, 0.04)) -> None:
        super().__init__(name="fault-writer", daemon=True)
        import zarn_user.role_matrix as rm

        self.rm = rm
        self.url = url
        self.engine = zarn_engine.open_engine(url)
        self.rng = rng
        self.pace = pace
        self.commits: list[Commit] = []
        self.requests: queue.Queue[tuple[str, float, threading.Event]] = queue.Queue()
        self.stopping = threading.Event()
        self.failure: BaseException | None = None
        self.doc: Any = None
        self.held = False
        self.live = zarn_engine.Live(rm.RoleMatrix, engine=self.engine)
        self.toggles = 0
        self.backup_file: str | None = None  # the state "restore" brings back
        self.late: list[str] = []  # requests it did not take in time, with where it was
        self._create()
        self._backup()

    def record(self, version: int | None, held: bool | None, start: float) -> None:
        self.commits.append(Commit(version, held, start, time.monotonic()))

    def _create(self) -> None:
        start = time.monotonic()
        doc = matrix(self.held)
        doc.save(engine=self.engine)
        self.record(doc.version, self.held, start)
        self.doc = doc

    def _toggle(self) -> None:
        held = not self.held
        start = time.monotonic()
        self.toggles += 1
        if self.toggles % 2:
            self.doc.set_role_permissions("clerk", GRANT if held else [])
            self.record(self.doc.version, held, start)
            self.held = held
            return
        self.live.get("app")  # held, so that the update keeps its copy for the next
        saved: list[Any] = []
        self.live.update("app", lambda doc: (saved.append(doc), doc.set_role_permissions(
            "clerk", GRANT if held else [])))
        self.record(saved[-1].version, held, start)
        self.held = held
        # The writer's own instance goes on from what the update committed.
        self.doc = self.rm.RoleMatrix.load("app", engine=self.engine)
        if self.doc.version != saved[-1].version:
            raise AssertionError(f"an update saved {saved[-1].version}, the store holds {self.doc.version}")

    def _recreate(self) -> None:
        start = time.monotonic()
        self.rm.RoleMatrix.delete("app", engine=self.engine)
        self.record(None, None, start)
        self.doc = None
        self._create()

    def _reopen(self) -> None:
        """A new engine and live document, as a writer process started afresh has."""
        self.live.close()
        self.engine.close()
        self.engine = zarn_engine.open_engine(self.url)
        self.live = zarn_engine.Live(self.rm.RoleMatrix, engine=self.engine)

    def _path(self) -> str:
        return self.url[len("sqlite:///"):].split("?")[0] if self.url.startswith("sqlite:") else self.url

    def _replace(self) -> None:
        """The SQLite file replaced by a copy of itself (as of now: no commit is lost), as a
        restore by renaming a copy over the database does; then written through a new engine.

        The log is checkpointed into the file first: a reader that opens the database after
        its -wal is removed and before the rename reads the file alone, which would otherwise
        lack the commits still in the log (an older state, answered as stale)."""
        path = self._path()
        copy = path + ".copy"
        deadline = time.monotonic() + 10.0
        while self.engine._query("PRAGMA wal_checkpoint(TRUNCATE)", ())[0][0]:  # busy: readers in the log
            if time.monotonic() > deadline:
                raise RuntimeError("the log could not be checkpointed in 10 s before the file was replaced")
            time.sleep(0.01)
        self.engine.backup(copy)
        for suffix in ("-wal", "-shm"):
            if os.path.exists(path + suffix):
                os.unlink(path + suffix)
        os.replace(copy, path)
        self._reopen()

    def _remove(self) -> None:
        """The SQLite files removed and the store made again (its versions going on from the
        last one), then the document created anew: a delete, as readers must see it."""
        start = time.monotonic()
        last = max(c.version for c in self.commits if c.version is not None)
        path = self._path()
        for suffix in ("", "-wal", "-shm"):
            if os.path.exists(path + suffix):
                os.unlink(path + suffix)
        self.record(None, None, start)
        self.doc = None
        self._reopen()
        self.engine.restore({"documents": [], "retired": [["RoleMatrix", "app", last]]})
        self._create()

    def _restore(self) -> None:
        """The backup taken at the last restore (an earlier state) restored online, then a
        new backup taken for the next."""
        from zarn_engine.backup import restore

        start = time.monotonic()
        restore(self.engine, self.backup_file, "fault-injection")
        doc = self.rm.RoleMatrix.load("app", engine=self.engine)
        if doc.version != self.commits[-1].version:
            self.record(doc.version, holds(doc), start)
        self.doc, self.held = doc, holds(doc)
        self._backup()

    def _backup(self) -> None:
        from zarn_engine.backup import backup

        if self.backup_file is None:
            fd, self.backup_file = tempfile.mkstemp(prefix="zarn-fault-backup-")
            os.close(fd)
        backup(self.engine, self.backup_file, "jsonl" if self.url.startswith("postgres") else "sqlite")

    def _settle(self, start: float) -> None:
        """After a failed step: record what the store holds if the step was committed. A
        store that stays unreadable for SETTLE seconds fails the writer (the run says so)."""
        deadline = time.monotonic() + SETTLE
        while True:
            try:
                doc = self.rm.RoleMatrix.load("app", engine=self.engine)
            except DoesNotExist:
                doc = None
            except StorageError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)
                continue
            break
        last = next((c for c in reversed(self.commits)), None)
        if doc is None:
            if last is None or last.version is not None:
                self.record(None, None, start)
        elif last is None or doc.version != last.version:
            self.record(doc.version, holds(doc), start)
        self.doc = doc
        if doc is not None:
            self.held = holds(doc)

    def run(self) -> None:
        still = False  # paused: commits only what it is asked to
        try:
            while not self.stopping.is_set():
                try:
                    request, quiet, done = self.requests.get(timeout=0.05) if still else self.requests.get_nowait()
                except queue.Empty:
                    if still:
                        continue
                    request, quiet, done = "", 0.0, None
                still = request == "pause"
                start = time.monotonic()
                try:
                    if still:
                        pass
                    elif self.doc is None:
                        self._create()
                    elif request == "recreate":
                        self._recreate()
                    elif request == "replace":
                        self._replace()
                    elif request == "remove":
                        self._remove()
                    elif request == "restore":
                        self._restore()
                    else:
                        self._toggle()
                except StorageError:
                    self._settle(start)
                if done is not None:
                    done.set()
                if not still:
                    self.stopping.wait(quiet or self.rng.uniform(*self.pace))
        except BaseException as exc:  # reported by the run
            self.failure = exc

    def _ask(self, request: str, quiet: float = 0.0, timeout: float = 60.0) -> bool:
        done = threading.Event()
        self.requests.put((request, quiet, done))
        if done.wait(timeout):
            return True
        self.late.append(f"the writer did not take {request!r} within {timeout:g} s; it was at:\n{self.stack()}")
        return False

    def stack(self) -> str:
        """Where the writer's thread is now."""
        frame = sys._current_frames().get(self.ident or -1)
        return "".join(traceback.format_stack(frame)) if frame is not None else "(not running)"

    def recreate(self) -> bool:
        return self._ask("recreate")

    def replace(self) -> bool:
        return self._ask("replace")

    def remove(self) -> bool:
        return self._ask("remove")

    def restore(self) -> bool:
        return self._ask("restore")

    def pause(self) -> bool:
        """Commit nothing until the next request."""
        return self._ask("pause")

    def hold(self, seconds: float) -> None:
        """Commit once more, then nothing for `seconds`: a change that a live document lost
        is then served for longer than the notify bound, and caught."""
        if self._ask("hold", seconds):
            time.sleep(seconds)

    def stop(self) -> None:
        self.stopping.set()
        self.join(timeout=60)
        if self.is_alive():
            self.late.append(f"the writer did not stop within 60 s; it is at:\n{self.stack()}")
        self.live.close()
        self.engine.close()
        if self.backup_file is not None and os.path.exists(self.backup_file):
            os.unlink(self.backup_file)


# --- the faults ----------------------------------------------------------------------------

class Faults:
    """The faults, each a method named after its kind; True when it was injected."""

    def __init__(self, run: "Run") -> None:
        self.run = run
        self.rng = run.rng
        self._admin: Any = None
        self.paused: set[int] = set()

    # Server side (PostgreSQL, on a cluster of the run's own).

    def _sql(self, query: str, params: tuple = ()) -> list[tuple]:
        import psycopg

        for attempt in range(50):
            try:
                if self._admin is None or self._admin.closed or self._admin.broken:
                    self._admin = psycopg.connect(self.run.admin_url(), autocommit=True)
                cursor = self._admin.execute(query, params)
                return cursor.fetchall() if cursor.description is not None else []
            except psycopg.OperationalError:
                self._admin = None
                time.sleep(0.2)
        raise RuntimeError("the fault injector cannot reach the server")

    def _backends(self, application: str) -> list[int]:
        """Server processes of the run's database whose application name begins so."""
        rows = self._sql("SELECT pid FROM pg_stat_activity WHERE datname = current_database()"
                         " AND starts_with(application_name, %s)", (application,))
        return [row[0] for row in rows]

    def _terminate(self, application: str) -> bool:
        pids = self._backends(application)
        if pids:
            victims = self.rng.sample(pids, self.rng.randint(1, len(pids)))
            self._sql("SELECT pg_terminate_backend(pid) FROM unnest(%s::int[]) AS pid", (victims,))
        return bool(pids)

    def _pause(self, application: str) -> bool:
        pids = self._backends(application)
        if not pids:
            return False
        pid = self.rng.choice(sorted(pids))
        seconds = self.rng.uniform(1.5, 3.0)
        self.paused.add(pid)
        try:
            os.kill(pid, signal.SIGSTOP)
            time.sleep(seconds)
        finally:
            os.kill(pid, signal.SIGCONT)
            self.paused.discard(pid)
        return True

    def terminate_listener(self) -> bool:
        return self._terminate("zarn-listener")

    def pause_listener(self) -> bool:
        return self._pause("zarn-listener")

    def terminate_backend(self) -> bool:
        return self._terminate("zarn-worker")  # so named by the URL the workers have

    def pause_backend(self) -> bool:
        return self._pause("zarn-worker")

    def restart(self) -> bool:
        self.close()
        self.run.cluster.restart()
        return True

    def forge(self) -> bool:
        for payload in self.rng.sample(FORGED, 3):
            self._sql("SELECT pg_notify('zarn_documents', %s)", (payload,))
        return True

    # The document and the workers.

    def recreate(self) -> bool:
        return self.run.writer.recreate()

    def _signal(self, signum: int) -> bool:
        alive = [p for p in self.run.workers if p.poll() is None]
        if not alive:
            return False
        os.kill(self.rng.choice(alive).pid, signum)
        return True

    def fork(self) -> bool:
        return self._signal(signal.SIGUSR1)

    def reload_fail(self) -> bool:
        return self._signal(signal.SIGUSR2)

    # What deployments do.

    def fork_late(self) -> bool:
        """A worker forks right after another process committed, having read just before."""
        writer = self.run.writer
        writer.pause()
        if not self._signal(signal.SIGHUP):
            writer.hold(0.0)
            return False
        time.sleep(0.15)  # the worker has read and waits
        writer.hold(self.run.quiet)  # one commit, then a quiet time longer than the bound
        return True

    def reconnect(self) -> bool:
        return self._signal(signal.SIGWINCH)

    def replace(self) -> bool:
        return self.run.writer.replace()

    def remove(self) -> bool:
        return self.run.writer.remove()

    def restore(self) -> bool:
        """A backup of an earlier state restored online (the first time: a backup taken)."""
        return self.run.writer.restore()

    def lock(self) -> bool:
        """A session of another program holds a lock for 1.5-2.5 s: on SQLite the write lock
        (BEGIN IMMEDIATE), on PostgreSQL a transaction left idle after a read of the documents
        (as a psql session does), while a worker forks (the child connects meanwhile)."""
        seconds = self.rng.uniform(1.5, 2.5)
        if self.run.store == "sqlite":
            import sqlite3

            conn = sqlite3.connect(self.run.writer._path(), timeout=10, isolation_level=None)
            try:
                conn.execute("BEGIN IMMEDIATE")
                self._signal(signal.SIGUSR1)
                time.sleep(seconds)
                conn.execute("ROLLBACK")
            finally:
                conn.close()
            return True
        import psycopg

        with psycopg.connect(self.run.admin_url(), application_name="zarn-foreign") as conn:
            conn.execute("SELECT count(*) FROM zarn_documents").fetchall()  # the transaction stays open
            self._signal(signal.SIGUSR1)
            time.sleep(seconds)
            conn.rollback()
        return True

    def frozen(self) -> bool:
        """A writer process stops (SIGSTOP) while it holds the document's lock, for 1.5-2.5 s."""
        p = subprocess.Popen([sys.executable, "-c", FROZEN, self.run.url_as("zarn-frozen"), self.run.store],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                             env=ENV, text=True)
        try:
            line = p.stdout.readline() if p.stdout is not None else ""
            if line.strip() != "locked" or not _stopped(p.pid, 10.0):
                return False
            time.sleep(self.rng.uniform(1.5, 2.5))
        finally:
            try:
                os.kill(p.pid, signal.SIGCONT)
            except ProcessLookupError:
                pass
            try:
                p.wait(timeout=30)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        return True

    def budget(self) -> bool:
        """The workers' role may open one connection more than it has, while a worker answers
        in six more threads."""
        count = self._sql("SELECT count(*) FROM pg_stat_activity WHERE usename = %s", (RUNNER,))[0][0]
        self._sql(f"ALTER ROLE {RUNNER} CONNECTION LIMIT {int(count) + 1}")
        try:
            if not self._signal(signal.SIGURG):
                return False
            time.sleep(self.rng.uniform(1.5, 2.5))
        finally:
            self._sql(f"ALTER ROLE {RUNNER} CONNECTION LIMIT -1")
        return True

    def close(self) -> None:
        for pid in list(self.paused):
            try:
                os.kill(pid, signal.SIGCONT)
            except ProcessLookupError:
                pass
        self.paused.clear()
        if self._admin is not None:
            self._admin.close()
            self._admin = None


# A writer that stops itself while it holds the document's lock: the store's own transaction
# (SQLite: BEGIN IMMEDIATE; PostgreSQL: the document's row locked); continued, it rolls back.
FROZEN = r'''
import os, signal, sys, zarn_engine
engine = zarn_engine.open_engine(sys.argv[1])


def freeze():
    print("locked", flush=True)
    os.kill(os.getpid(), signal.SIGSTOP)
    raise RuntimeError("rolled back")


try:
    if sys.argv[2] == "sqlite":
        with engine._write() as conn:
            conn.execute("UPDATE heads SET version = version WHERE 0")
            freeze()
    else:
        def work(cur):
            cur.execute("SELECT version FROM zarn_documents WHERE collection = 'RoleMatrix' AND key = 'app'"
                        " FOR UPDATE")
            freeze()
        engine._run(work)
except Exception:
    pass
'''


def schedule(rng: random.Random, kinds: tuple[str, ...]) -> Iterator[str]:
    """Every kind once, in a seeded order, then seeded choices for good."""
    yield from rng.sample(kinds, len(kinds))
    while True:
        yield rng.choice(kinds)


# --- a run ---------------------------------------------------------------------------------

class Run:
    """Workers, writer and faults on one store for a while; `report` judges the answers."""

    def __init__(self, store: str, mode: str, url: str, folder: str, *, seconds: float, workers: int = 2,
                 seed: int = 0, cluster: Any = None, kinds: tuple[str, ...] | None = None,
                 gap: tuple[float, float] = (0.2, 0.8), quiet: float = 1.3, pace: float = 0.002,
                 worker_mode: str | None = None,
                 log: Callable[[str], None] = lambda text: None) -> None:
        self.store, self.mode, self.url, self.folder = store, mode, url, folder
        self.seconds, self.seed, self.cluster, self.gap, self.pace = seconds, seed, cluster, gap, pace
        self.quiet = quiet  # notify: the writer holds still this long after each fault
        self.kinds = KINDS[store, mode] if kinds is None else kinds
        self.worker_count = workers
        self.worker_mode = worker_mode or mode
        self.log = log
        self.rng = random.Random(seed)
        self.workers: list[subprocess.Popen] = []
        self.writer: Writer | None = None
        self.injected: collections.Counter = collections.Counter()
        self.skipped: collections.Counter = collections.Counter()
        self.timeline: list[str] = []  # each fault tried: when (from the first), what, how long

    def admin_url(self) -> str:
        """The run's database as the cluster's superuser (PostgreSQL)."""
        database = self.url.rsplit("/", 1)[1].split("?")[0]
        return f"{self.cluster.url.rsplit('/', 1)[0]}/{database}?application_name=zarn-faults"

    def url_as(self, application: str) -> str:
        """The URL, with an application name for PostgreSQL (the faults pick victims by it)."""
        if self.store != "postgresql":
            return self.url
        return f"{self.url}{'&' if '?' in self.url else '?'}application_name={application}"

    def _start_workers(self) -> None:
        for n in range(self.worker_count):
            with open(os.path.join(self.folder, f"worker-{n}.err"), "w") as err:
                self.workers.append(subprocess.Popen(
                    [sys.executable, "-c", WORKER, self.url_as("zarn-worker"), self.worker_mode, self.folder,
                     str(self.pace), str(self.seed * 1000 + n)],
                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err, env=ENV,
                    start_new_session=True))  # its own process group, forked children included
        deadline = time.monotonic() + 60
        while len(glob.glob(os.path.join(self.folder, "ready-*"))) < self.worker_count:
            if time.monotonic() > deadline or any(p.poll() is not None for p in self.workers):
                raise RuntimeError(f"workers did not start: {self._stderr()}")
            time.sleep(0.05)

    def _stderr(self) -> str:
        texts = []
        for path in sorted(glob.glob(os.path.join(self.folder, "worker-*.err"))):
            text = open(path).read().strip()
            if text:
                texts.append(f"{os.path.basename(path)}: {text[-2000:]}")
        return "\n".join(texts)

    def _stop_workers(self) -> list[int | None]:
        for p in self.workers:
            _signal_group(p, signal.SIGTERM)
        codes = []
        for p in self.workers:
            try:
                codes.append(p.wait(timeout=30))
            except subprocess.TimeoutExpired:
                codes.append(None)
                try:
                    os.kill(p.pid, signal.SIGQUIT)  # its stacks, to worker-N.err
                    time.sleep(1.0)
                except ProcessLookupError:
                    pass
        return codes

    def _inject(self, faults: Faults) -> None:
        start = time.monotonic()
        end = start + self.seconds
        if not self.kinds:
            time.sleep(self.seconds)
        for kind in schedule(self.rng, self.kinds) if self.kinds else ():
            pending = set(self.kinds) - set(self.injected)
            if time.monotonic() >= end and not pending:
                break
            time.sleep(self.rng.uniform(*self.gap))
            if self.writer is not None and not self.writer.is_alive():
                break
            # Notify: the fault's first change is followed by a quiet time longer than the
            # bound, so that a change a worker lost shows as stale answers. A fault that waits
            # for the next change (a load made to fail) is armed while the writer pauses.
            hold = self.mode == "notify" and self.writer is not None
            if hold and kind in ARMED:
                self.writer.pause()
                time.sleep(0.3)  # the workers have taken the last change
            began = time.monotonic()
            if getattr(faults, kind.replace("-", "_"))():
                self.injected[kind] += 1
                self.log(f"{time.monotonic():.3f} {kind}")
                self.timeline.append(f"+{began - start:.1f} {kind} ({time.monotonic() - began:.1f} s)")
            else:
                self.skipped[kind] += 1
                self.timeline.append(f"+{began - start:.1f} {kind} (nothing to act on)")
            if hold:
                time.sleep(0.1)  # a signalled worker has armed its fault
                self.writer.hold(self.quiet)
            if time.monotonic() > end + 60:
                break  # some kind never found a target; the report says which
        time.sleep(1.5)  # quiet time after the last fault: a worker that stays stale is caught

    def execute(self) -> Report:
        """Run, stop everything (whatever happens), and judge what the workers answered."""
        faults = Faults(self)
        codes: list[int | None] = []
        began = time.monotonic()
        try:
            self.writer = Writer(self.url_as("zarn-writer"), random.Random(self.seed + 1))
            self._start_workers()
            self.writer.start()
            self._inject(faults)
        finally:
            faults.close()
            if self.writer is not None and self.writer.is_alive():
                self.writer.stop()
            try:
                codes = self._stop_workers()
            finally:
                for p in self.workers:
                    if p.returncode != 0:  # hung or failed: its forked children too
                        _signal_group(p, signal.SIGKILL)
                        p.wait()
        report = Report(store=self.store, mode=self.mode, seconds=self.seconds, seed=self.seed)
        report.faults.update(self.injected)
        report.took = time.monotonic() - began
        report.timeline = self.timeline
        for text in self.writer.late if self.writer is not None else []:
            report.complain(text)
        if self.writer.failure is not None:
            report.complain(f"writer failed: {self.writer.failure!r}")
            report.wrong += 1
        if any(code != 0 for code in codes):
            report.complain(f"worker exit statuses {codes}: {self._stderr()}")
            report.wrong += 1
        for kind in set(self.kinds) - set(self.injected):
            report.complain(f"fault {kind} found nothing to act on ({self.skipped[kind]} tries)")
        answers = read_answers(self.folder, report)
        return check(self.writer.commits, answers, BOUNDS.get(self.mode, 0.0), report)


def _stopped(pid: int, seconds: float) -> bool:
    """Wait until process `pid` has stopped itself (state T): a SIGCONT sent before would be
    lost, and the process would stay stopped, holding its lock, until it is killed."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{pid}/stat") as f:
                state = f.read().rpartition(")")[2].split()[0]
        except (OSError, IndexError):
            return False
        if state in ("T", "t"):
            return True
        if state in ("Z", "X"):
            return False
        time.sleep(0.01)
    return False


def _signal_group(p: subprocess.Popen, signum: int) -> None:
    try:
        os.killpg(p.pid, signum)
    except (ProcessLookupError, PermissionError):
        pass


def database(cluster: Any, name: str) -> str:
    """A new database on `cluster`, owned by the role RUNNER (made when missing), by URL as
    that role."""
    import psycopg

    with psycopg.connect(cluster.url, autocommit=True) as conn:
        if not conn.execute("SELECT 1 FROM pg_roles WHERE rolname = %s", (RUNNER,)).fetchall():
            conn.execute(f"CREATE ROLE {RUNNER} LOGIN")
        conn.execute(f"DROP DATABASE IF EXISTS {name}")
        conn.execute(f"CREATE DATABASE {name} OWNER {RUNNER}")
    server = cluster.url.rsplit("/", 1)[0].split("://", 1)[1].split("@", 1)[1]
    return f"postgresql://{RUNNER}@{server}/{name}"
