"""Fault injection: live documents never answer stale, whatever happens to the store.

Short runs of the harness in faults.py (bench/faults.py runs the long one): worker processes
read a grant through `Live` while a writer toggles it and faults are injected on a seeded
schedule; every answer is judged against the commit history. Marked `faults`.
"""

import shutil
import subprocess
import sys
import tempfile
import uuid

import pytest

import faults
from faults import Answer, Commit, check
from pgcluster import Cluster, bindir

pytestmark = pytest.mark.faults

SECONDS = {"sqlite": 4.0, "postgresql": 4.0}  # or until every fault was injected once


@pytest.fixture(scope="module")
def cluster():
    """A PostgreSQL cluster of this module's own: the faults restart it."""
    if bindir() is None:
        pytest.skip("PostgreSQL is not installed")
    cluster = Cluster(tempfile.mkdtemp(prefix="zarn-faults-pg-"))  # the server's user must reach it
    cluster.init()
    cluster.start()
    yield cluster
    cluster.stop("immediate")
    shutil.rmtree(cluster.folder, ignore_errors=True)


def store(request, name, tmp_path):
    if name == "sqlite":
        return str(tmp_path / "store.sqlite3"), None
    cluster = request.getfixturevalue("cluster")
    return faults.database(cluster, f"faults_{uuid.uuid4().hex[:12]}"), cluster


@pytest.mark.parametrize("mode", ["strict", "notify"])
@pytest.mark.parametrize("name", ["sqlite", "postgresql"])
def test_no_stale_answer_under_faults(request, tmp_path, name, mode):
    url, cluster = store(request, name, tmp_path)
    folder = tmp_path / "run"
    folder.mkdir()
    run = faults.Run(name, mode, url, str(folder), seconds=SECONDS[name], workers=2, seed=16, cluster=cluster,
                     gap=(0.1, 0.4), quiet=1.2)
    report = run.execute()
    print(report.summary())
    assert report.stale == 0 and report.wrong == 0 and not report.errors["unexpected"], report.summary()
    assert set(report.faults) == set(run.kinds), report.summary()
    assert report.answers > 200 and report.commits > 50, report.summary()
    assert report.errors["StorageError"] >= report.events["reload-fail"] >= 1, report.summary()
    if "fork" in run.kinds:
        assert report.events["child"] >= 1, report.summary()


FORK = """
import os, sys, zarn_engine, zarn_user.role_matrix as rm
zarn_engine.connect(sys.argv[1])
rm.RoleMatrix(name="app").save()  # this thread's connection is open
pid = os.fork()
if pid == 0:  # a child that reads a while and ends as multiprocessing's children do
    for _ in range(10):
        rm.RoleMatrix.load("app")
    os._exit(0)
assert os.waitpid(pid, 0)[1] == 0
for _ in range(10):
    rm.RoleMatrix.load("app")
"""


def test_a_forked_child_reads_on_a_connection_of_its_own(shared_url):
    # On one server session the two would clash at once: the child's prepared statements
    # are unknown to the parent's driver.
    done = subprocess.run([sys.executable, "-c", FORK, shared_url], env=faults.ENV, capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0, done.stderr[-1000:]


def test_the_oracle_catches_a_reader_that_never_reloads(tmp_path):
    # A worker that loads once and answers from that copy for good: stale after the first toggle.
    run = faults.Run("sqlite", "strict", str(tmp_path / "store.sqlite3"), str(tmp_path), seconds=1.0,
                     workers=1, kinds=(), worker_mode="cached")
    report = run.execute()
    assert report.stale > 0 and report.answers > 0 and report.wrong == 0, report.summary()


def test_the_oracle_judges_by_the_times_of_commits():
    history = [Commit(1, False, 0.0, 1.0), Commit(2, True, 2.0, 3.0), Commit(None, None, 4.0, 5.0),
               Commit(4, False, 6.0, 7.0)]
    fine = [Answer(0.5, 1.5, False, 1),  # the first version, before any other ended
            Answer(2.5, 3.5, True, 2),  # sees a commit still in flight
            Answer(2.9, 3.5, False, 1),  # began before the second commit ended
            Answer(4.5, 4.6, None, None),  # the delete, in flight
            Answer(5.5, 8.0, None, None)]  # the delete, the last change that ended
    assert (check(history, fine, 0.0).stale, check(history, fine, 0.0).wrong) == (0, 0)
    late = [Answer(3.1, 3.2, False, 1), Answer(7.1, 7.2, None, None), Answer(6.1, 6.2, True, 2)]
    assert check(history, late, 0.0).stale == 3
    assert check(history, late, 1.0).stale == 1  # within a second of its commit: only the last
    wrong = [Answer(2.5, 3.5, False, 2),  # not the grant of version 2
             Answer(0.1, 0.2, False, 3),  # never committed
             Answer(0.1, 0.2, True, 2),  # a version that began after the call ended
             Answer(0.1, 0.2, None, None)]  # absent before any delete
    assert check(history, wrong, 0.0).wrong == 4
    assert check(history + [Commit(4, True, 8.0, 9.0)], [], 0.0).wrong == 1  # a version handed out twice


# Kinds whose fix comes with the connection handling of the stores: a token that never matches
# across connections, a file replaced or removed noticed, a pool within a connection budget.
# One run per store and mode, with every kind of the deployments' faults.
NEW = [(_name, _mode, tuple(_kinds)) for (_name, _mode), _kinds in faults.NEW_KINDS.items()]


@pytest.mark.parametrize("name,mode,kinds", NEW, ids=[f"{n}-{m}-{'-'.join(k)}" for n, m, k in NEW])
def test_no_stale_answer_under_what_deployments_do(request, tmp_path, name, mode, kinds):
    url, cluster = store(request, name, tmp_path)
    folder = tmp_path / "run"
    folder.mkdir()
    run = faults.Run(name, mode, url, str(folder), seconds=1.0, workers=2, seed=16, cluster=cluster,
                     kinds=kinds, gap=(0.1, 0.3), quiet=1.2)
    report = run.execute()
    print(report.summary())
    assert report.stale == 0 and report.wrong == 0 and not report.errors["unexpected"], report.summary()
    # A connection refused for a lack of slots is no error in the configuration.
    assert not report.errors["ConfigurationError"], report.summary()
    assert set(report.faults) == set(kinds) and report.answers > 100, report.summary()
