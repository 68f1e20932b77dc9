"""Storage keeps every committed change: killed writers, concurrent writers, bad stored data."""

import json
import os
import random
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time

import pytest

import zarn_engine
from zarn_engine import ConflictError, LoadError

ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}

WRITER = """
import sys, zarn_engine, zarn_user.role_matrix as rm
zarn_engine.connect(sys.argv[1])
m = rm.RoleMatrix.load("app")
generation = int(sys.argv[2])
while True:
    generation += 1
    m.set_role_permissions("aa", [{"obj": f"g{generation}", "act": str(i)} for i in range(50)])
    if generation == int(sys.argv[2]) + 1:
        print("ready", flush=True)  # one version of its own is stored; the kill comes later
"""

CONCURRENT = """
import sys, zarn_engine, zarn_user.role_matrix as rm
from zarn_engine import ConflictError
zarn_engine.connect(sys.argv[1])
role, conflicts = sys.argv[2], 0
for k in range(int(sys.argv[3])):
    while True:
        m = rm.RoleMatrix.load("app")
        try:
            m.add_role_permissions(role, [{"obj": f"p{k}", "act": "r"}])
            break
        except ConflictError:
            conflicts += 1
print(conflicts)
"""


def stored_aa(url):
    if not url.startswith("postgresql:"):
        conn = sqlite3.connect(url)
        try:
            assert conn.execute("PRAGMA integrity_check").fetchone()[0] == "ok"
        finally:
            conn.close()
    engine = zarn_engine.open_engine(url)
    import zarn_user.role_matrix as rm

    doc = rm.RoleMatrix.load("app", engine=engine)
    engine.close()
    return [(p.obj, p.act) for p in doc.policies if p.sub == "aa"]


def test_killed_writers_leave_old_or_new_versions(rm, shared_url):
    db = shared_url
    kills = 100 if db.endswith(".sqlite3") else 40
    zarn_engine.connect(db)
    rm.RoleMatrix(name="app").add_role_permissions("aa", [{"obj": "g0", "act": str(i)} for i in range(50)])
    generation, seen = 0, set()
    rng = random.Random(7)
    for kill in range(kills):
        child = subprocess.Popen([sys.executable, "-c", WRITER, db, str(generation * 1000)],
                                 stdout=subprocess.PIPE, env=ENV, text=True)
        assert child.stdout.readline().strip() == "ready"
        time.sleep(rng.uniform(0.0, 0.05))
        child.send_signal(signal.SIGKILL)
        child.wait()
        child.stdout.close()
        assert child.returncode == -signal.SIGKILL
        pairs = stored_aa(db)
        generations = {obj for obj, _ in pairs}  # a whole version of one generation, never a mix
        assert len(generations) == 1 and [a for _, a in pairs] == [str(i) for i in range(50)]
        seen |= generations
        generation += 1
    assert len(seen) == kills  # every writer had stored versions of its own when it was killed


def test_concurrent_writers_lose_nothing(rm, tmp_path):
    db = str(tmp_path / "shared.sqlite3")
    zarn_engine.connect(db)
    rm.RoleMatrix(name="app").save()
    writers, changes = 4, 15
    procs = [subprocess.Popen([sys.executable, "-c", CONCURRENT, db, f"w{n}", str(changes)],
                              stdout=subprocess.PIPE, env=ENV, text=True) for n in range(writers)]
    conflicts = [int(p.communicate(timeout=120)[0]) for p in procs]
    assert all(p.returncode == 0 for p in procs)
    m = rm.RoleMatrix.load("app", engine=zarn_engine.SQLiteEngine(db))
    for n in range(writers):
        assert [p.obj for p in m.policies if p.sub == f"w{n}"] == [f"p{k}" for k in range(changes)]
    print(f"{writers * changes} saves, {sum(conflicts)} conflicts retried")


def test_bad_stored_documents(rm, tmp_path):
    engine = zarn_engine.SQLiteEngine(tmp_path / "bad.sqlite3")
    good = {"name": "good", "policies": [{"sub": "root", "obj": "*", "act": "*"}], "groups": []}
    engine.save("RoleMatrix", "good", json.dumps(good), None)
    engine.save("RoleMatrix", "typed", json.dumps({"name": "typed", "groups": "admin"}), None)
    engine.save("RoleMatrix", "records", json.dumps({"name": "records", "policies": [5]}), None)
    engine.save("RoleMatrix", "names", json.dumps({"name": "names", "groups": [{"child": "a b", "parent": "c"}]}), None)
    engine.save("RoleMatrix", "cycle", json.dumps({"name": "cycle", "groups": [
        {"child": "aa", "parent": "bb"}, {"child": "bb", "parent": "aa"}]}), None)
    with pytest.raises(LoadError, match=r"RoleMatrix 'typed', field 'groups'"):
        rm.RoleMatrix.load("typed", engine=engine)
    with pytest.raises(LoadError, match=r"RoleMatrix 'records', field 'policies'"):
        rm.RoleMatrix.load("records", engine=engine)
    # Hand-edited values that a save would refuse are refused at load, naming the field.
    engine.save("RoleMatrix", "sub", json.dumps({"name": "sub", "policies": [
        {"sub": "aa", "obj": "o", "act": "r"}, {"sub": 5, "obj": "o", "act": "r"}]}), None)
    engine.save("RoleMatrix", "renamed", json.dumps({"name": "other", "groups": []}), None)
    engine.save("RoleMatrix", "unnamed", json.dumps({"groups": []}), None)
    engine.save("RoleMatrix", "deep", '{"name": "deep", "new_user_profile": ' + "[" * 100_000 + "]" * 100_000 + "}",
                None)
    engine.save("RoleMatrix", "deeper", "[" * 100_000 + "]" * 100_000, None)
    for key, message in (("names", r"'names', field 'groups\[0\].child': does not match .* \(value 'a b'\)"),
                         ("sub", r"'sub', field 'policies\[1\].sub': expected str, got int \(value 5\)"),
                         ("renamed", r"'renamed': its stored name 'other' does not match its key"),
                         ("unnamed", r"'unnamed': its stored name None does not match its key"),
                         ("deep", r"'deep': stored data is nested too deeply"),
                         ("deeper", r"'deeper': stored data is nested too deeply")):
        with pytest.raises(LoadError, match=r"RoleMatrix " + message):
            rm.RoleMatrix.load(key, engine=engine)
    cyclic = rm.RoleMatrix.load("cycle", engine=engine)
    assert cyclic.dag["aa"] == ["bb"] and cyclic.dag["bb"] == ["aa"]
    assert cyclic.get_implicit_permissions_for_roles(["aa"]).permissions == []
    assert engine.load("RoleMatrix", "good") == (json.dumps(good), 1)


DELETE_AND_CREATE = """
import sys, zarn_engine, zarn_user.role_matrix as rm
zarn_engine.connect(sys.argv[1])
rm.RoleMatrix.delete("app", version=rm.RoleMatrix.load("app").version)
rm.RoleMatrix(name="app", policies=[]).save()
"""


def test_a_recreated_document_is_never_overwritten(rm, shared_url):
    zarn_engine.connect(shared_url)
    rm.RoleMatrix(name="app").save()
    held = rm.RoleMatrix.load("app")
    subprocess.run([sys.executable, "-c", DELETE_AND_CREATE, shared_url], env=ENV, check=True)
    with pytest.raises(ConflictError):
        held.add_role_permissions("aa", [{"obj": "o", "act": "r"}])
    assert rm.RoleMatrix.load("app").policies == []  # the new document's content stands


READ_ONLY = """
import os, sys
import zarn_engine, zarn_user.role_matrix as rm
import zarn_engine.sqlite, zarn_engine.feed, random, uuid  # loaded on use: nobody cannot read the interpreter's folder
from zarn_engine import ReadOnlyError, StorageError
os.setgid(65534); os.setuid(65534)  # nobody, from here on: the file system's permissions apply
url = sys.argv[1]
try:
    zarn_engine.connect(url)
except StorageError as exc:
    print("refused:", exc, flush=True)
    sys.exit(0)
m = rm.RoleMatrix.load("app")
assert rm.RoleMatrix.keys() == ["app"] and m.get_role_contents("admin").roles == ["root"]
try:
    m.add_role_permissions("aa", [{"obj": "o", "act": "r"}])
except ReadOnlyError as exc:
    print(exc, flush=True)
for line in sys.stdin:  # after each commit of the writer: what this reader sees
    print(sorted(p.obj for p in rm.RoleMatrix.load("app").policies if p.sub == "aa"), flush=True)
"""


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to run a reader as another user")
def test_read_only_readers_see_every_commit_or_are_refused(rm):
    folder = tempfile.mkdtemp(prefix="zarn-ro-")
    db = os.path.join(folder, "ro.sqlite3")

    def reader(url, **options):
        return subprocess.Popen([sys.executable, "-c", READ_ONLY, url], env=ENV, text=True,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **options)

    try:
        engine = zarn_engine.connect(db)
        rm.RoleMatrix(name="app").save()
        engine.close()  # the last connection: the -wal and -shm files go
        os.chmod(folder, 0o555)  # nobody can make a -shm beside it
        # No index that the reader could use: refused, never a snapshot that misses commits.
        out, err = reader(db).communicate(timeout=60)
        assert err == "" and out.startswith("refused: cannot read database") and "-shm" in out, out
        # On purpose, for a file that nobody changes: read as it stands, never written.
        out, err = reader(f"sqlite:///{db}?immutable=1").communicate("", timeout=60)
        assert err == "" and "read-only" in out, out + err

        # While a writer has it open, the reader uses its index and sees each of its commits.
        writer = zarn_engine.open_engine(db)
        held = rm.RoleMatrix.load("app", engine=writer)
        for url in (db, f"sqlite:///{db}?mode=ro"):
            child = reader(url)
            assert "read-only" in child.stdout.readline()
            for k in range(3):
                held.policies.append(rm.Policy(sub="aa", obj=f"o{url[-2:]}{k}", act="r"))
                held.save(engine=writer)
                child.stdin.write("\n")
                child.stdin.flush()
                assert f"'o{url[-2:]}{k}'" in child.stdout.readline()
            child.stdin.close()
            assert child.wait(timeout=60) == 0, child.stderr.read()
        writer.close()
    finally:
        os.chmod(folder, 0o755)
        shutil.rmtree(folder, ignore_errors=True)


def _grants(live):
    return [p.obj for p in live.get("app").get_implicit_permissions_for_roles(["clerk"]).permissions]


def _within(seconds, check):
    """Whether `check()` comes true within `seconds`: what a notify reader is allowed."""
    deadline = time.monotonic() + seconds
    while not check():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def _granted(rm, path, obj):
    """A store at `path` holding app, whose clerk is granted obj:r; its engine, open."""
    engine = zarn_engine.open_engine(path)
    rm.RoleMatrix(name="app").save(engine=engine)
    rm.RoleMatrix.load("app", engine=engine).add_role_permissions("clerk", [{"obj": obj, "act": "r"}])
    return engine


@pytest.mark.parametrize("mode", ["strict", "notify"])
def test_a_replaced_or_removed_file_is_never_read_again(rm, tmp_path, mode):
    path = str(tmp_path / "live.sqlite3")
    engine = _granted(rm, path, "old")
    # The copy to restore: the same version number, other grants.
    copy = str(tmp_path / "copy.sqlite3")
    _granted(rm, copy, "new").close()
    live = zarn_engine.Live(rm.RoleMatrix, consistency=mode, engine=engine)
    try:
        assert _within(5, lambda: live.listening or mode == "strict")
        version = live.get("app").version
        assert _grants(live) == ["old"] and rm.RoleMatrix.load("app", engine=engine).version == version
        engine._conn().execute("PRAGMA wal_checkpoint(TRUNCATE)")  # the old file's log emptied, as a restore does
        os.replace(copy, path)
        if mode == "strict":
            assert _grants(live) == ["new"]
        else:
            assert _within(1.2, lambda: _grants(live) == ["new"])
        for suffix in ("", "-wal", "-shm"):  # removed: an error, never the old file's grants
            if os.path.exists(path + suffix):
                os.remove(path + suffix)

        def refused():
            try:
                _grants(live)
            except zarn_engine.StorageError as exc:
                assert "was removed" in str(exc) or "does not exist" in str(exc), exc
                return True
            return False

        assert refused() if mode == "strict" else _within(1.2, refused)
        # Made again (as `init` would): read from there on.
        _granted(rm, path, "again").close()
        assert _within(1.2, lambda: not refused() and _grants(live) == ["again"])
    finally:
        live.close()
        engine.close()


def test_a_read_a_replacement_overtook_is_read_again_from_the_new_file(rm, tmp_path):
    path = str(tmp_path / "live.sqlite3")
    engine = _granted(rm, path, "old")
    copy = str(tmp_path / "copy.sqlite3")
    _granted(rm, copy, "new").close()
    real = engine._conn()
    real.execute("PRAGMA wal_checkpoint(TRUNCATE)")  # the old file's log emptied, as a restore does

    class Overtaken:
        """The thread's connection, with the copy renamed over the file during its first
        statement (after the file was looked at, before the rows are used)."""

        def execute(self, *args):
            cursor = real.execute(*args)
            if os.path.exists(copy):
                os.replace(copy, path)
            return cursor

        def close(self):
            real.close()

    engine._local.conn = Overtaken()
    try:
        assert [p.obj for p in rm.RoleMatrix.load("app", engine=engine).policies if p.sub == "clerk"] == ["new"]
    finally:
        engine.close()
