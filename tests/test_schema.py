"""The stores' schema: its version, migrations in two phases with the previous release running
beside this one, least-privilege PostgreSQL roles, and reads that never wait for a writer."""

import json
import os
from contextlib import closing
import pickle
import random
import re
import shutil
import sqlite3
import subprocess
import sys
import tarfile
import threading
import uuid

import pytest
from conftest import POSTGRES_URL, _postgres_schema_url
from zarn_fields import StringField

import zarn_engine
from zarn_engine import Document, ListField, Live, SchemaTooNew, SchemaTooOld
from zarn_engine import engine as engines
from zarn_engine.postgresql import grants
from zarn_user.cli import main

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PREVIOUS = "775892d"  # the last commit of release 0.2


class RolloutGrants(Document):
    _key_fields = ["name"]
    name = StringField()
    grants = ListField(StringField(), default=[])


def raw(url):
    """A connection of other software: without this release's mark."""
    if url.startswith("postgresql://"):
        import psycopg

        return psycopg.connect(url, autocommit=True)
    return sqlite3.connect(url, isolation_level=None)


def cli(*argv):
    return main(list(argv))


def within(seconds, *calls):
    """Run the calls in a thread; their results, or a failure when they did not end in time."""
    results, errors = [], []

    def run():
        try:
            for call in calls:
                results.append(call())
        except BaseException as exc:  # reported below
            errors.append(exc)

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    thread.join(seconds)
    assert not thread.is_alive(), f"still waiting after {seconds} s, with {len(results)} of {len(calls)} done"
    if errors:
        raise errors[0]
    return results


# --- the version ---------------------------------------------------------------------------------

def test_software_refuses_a_schema_that_a_newer_release_finished(shared_url, capsys):
    engine = zarn_engine.open_engine(shared_url)
    engine.save("c", "k", "one", None)
    engine.close()
    with raw(shared_url) as conn:
        assert conn.execute("SELECT version, oldest FROM zarn_schema").fetchall() == [(2, 2)]
        # A newer release's first phase keeps what this one reads: still used.
        conn.execute("UPDATE zarn_schema SET version = 3")
    engine = zarn_engine.open_engine(shared_url)
    assert engine.load("c", "k") == ("one", 1)
    engine.close()
    with pytest.raises(SchemaTooNew, match="newer than this software's 2: migrate it with the newer release"):
        zarn_engine.migrate(shared_url)
    with raw(shared_url) as conn:
        conn.execute("UPDATE zarn_schema SET oldest = 3")
    with pytest.raises(SchemaTooNew) as caught:
        zarn_engine.open_engine(shared_url)
    assert (caught.value.found, caught.value.supported) == (3, 2)
    assert re.search(r"has schema version 3, finished by a newer release; this software supports schema 2 only",
                     str(caught.value))
    again = pickle.loads(pickle.dumps(caught.value))
    assert (type(again), str(again), again.found) == (SchemaTooNew, str(caught.value), 3)
    assert cli("--db", shared_url, "list") == 3 and "schema version 3" in capsys.readouterr().err


def test_a_rollout_in_two_phases_without_the_previous_release(shared_url, capsys, tmp_path):
    """Tables of the previous release (made by hand here): refused until migrated; the first
    phase lets its writers go on, the second refuses them whole, with the reason."""
    from zarn_engine import postgresql, sqlite

    with raw(shared_url) as conn:
        for statement in (postgresql if "://" in shared_url else sqlite)._SCHEMA:
            if "zarn_schema" not in statement:
                conn.execute(statement)
    with pytest.raises(SchemaTooOld, match=r"has schema version 1; this software needs schema 2: run "
                                           r"`zarn-roles migrate --db URL`") as caught:
        zarn_engine.open_engine(shared_url)
    assert (caught.value.found, caught.value.supported) == (1, 2)
    with raw(shared_url) as conn:  # connecting changed no table
        assert conn.execute("SELECT to_regclass('zarn_schema') IS NULL" if "://" in shared_url else
                            "SELECT count(*) = 0 FROM sqlite_master WHERE name = 'zarn_schema'").fetchone()[0]
    assert cli("--db", shared_url, "list") == 3 and "zarn-roles migrate" in capsys.readouterr().err
    assert cli("--db", str(tmp_path / "typo.sqlite3"), "migrate") == 2 and not (tmp_path / "typo.sqlite3").exists()
    assert "there is no database at" in capsys.readouterr().err
    assert cli("--db", shared_url, "migrate") == 0
    assert "software of schema 1 may still write" in capsys.readouterr().out
    table = "zarn_retired" if "://" in shared_url else "retired"
    with raw(shared_url) as conn:
        conn.execute(f"INSERT INTO {table} VALUES ('c', 'old', 1)")
    engine = zarn_engine.open_engine(shared_url)
    assert engine.save("c", "k", "one", None) == 1
    assert cli("--db", shared_url, "--json", "migrate", "--finish") == 0
    assert json.loads(capsys.readouterr().out) == {"schema": 2, "oldest": 2}
    with raw(shared_url) as conn:
        with pytest.raises(Exception, match="zarn schema 2: .*upgrade"):
            conn.execute(f"INSERT INTO {table} VALUES ('c', 'old2', 1)")
        with pytest.raises(Exception, match="zarn schema 2: .*upgrade"):
            conn.execute(f"DELETE FROM {table}")
    # This release's connections, opened before the finish, go on.
    assert engine.save("c", "k", "two", 1) == 2 and engine.delete("c", "k")
    assert zarn_engine.migrate(shared_url, finish=True) == (2, 2)  # again: nothing to do
    engine.close()


# --- reads never wait for a writer ----------------------------------------------------------------

def test_connects_and_loads_never_wait_for_a_writers_lock(shared_url, monkeypatch, rm):
    engine = zarn_engine.open_engine(shared_url)
    doc = rm.RoleMatrix(name="app")
    doc.save(engine)
    with monkeypatch.context() as m:  # changes that a load applies
        m.setattr(engines, "REBASE_COUNT", 10**6)
        m.setattr(engines, "REBASE_SHARE", 0)
        for i in range(30):
            doc.add_role_permissions("clerk", [{"obj": f"o{i}", "act": "read"}])
    assert engine.read("RoleMatrix", "app")[1:3] == (1, 31)
    holder = raw(shared_url)
    if "://" in shared_url:  # a session idle in its transaction, holding a row of the document
        holder.autocommit = False
        holder.execute("SELECT 1 FROM zarn_documents WHERE key = 'app' FOR UPDATE")
    else:
        holder.execute("BEGIN IMMEDIATE")
    try:
        def live_get():
            with Live(rm.RoleMatrix, engine=reader) as live:
                return live.get("app").version

        reader = None

        def connect():
            nonlocal reader
            reader = zarn_engine.open_engine(shared_url)

        results = within(10, connect, lambda: rm.RoleMatrix.load("app", engine=reader).version, live_get,
                         lambda: cli("--db", shared_url, "check", "app", "clerk", "o29", "read"))
        assert results == [None, 31, 31, 0]
    finally:
        holder.rollback() if "://" in shared_url else holder.execute("ROLLBACK")
        holder.close()
    assert engine.read("RoleMatrix", "app")[1] == 1  # loads wrote nothing
    reader.close()
    engine.close()


# --- least privilege --------------------------------------------------------------------------------

def _role_url(url, role):
    return re.sub(r"^(postgres(?:ql)?://)([^@/]*@)?", rf"\g<1>{role}@", url)


def test_postgresql_runtime_and_read_only_roles(request, rm, capsys):
    url = _postgres_schema_url(request, owner=True)
    schema = re.search(r"search_path%3D(\w+)", url).group(1)
    runtime, reader = f"rt_{uuid.uuid4().hex[:8]}", f"ro_{uuid.uuid4().hex[:8]}"
    import psycopg

    with psycopg.connect(POSTGRES_URL, autocommit=True) as conn:
        for role in (runtime, reader):
            conn.execute(f"CREATE ROLE {role} LOGIN")

    def drop_roles():
        with psycopg.connect(POSTGRES_URL, autocommit=True) as conn:
            for role in (runtime, reader):
                conn.execute(f"DROP OWNED BY {role}")
                conn.execute(f"DROP ROLE {role}")

    request.addfinalizer(drop_roles)
    with psycopg.connect(POSTGRES_URL, autocommit=True) as conn:
        conn.execute(f"GRANT USAGE ON SCHEMA {schema} TO {runtime}")
    # A runtime role cannot create the tables: it is told who can.
    with pytest.raises(SchemaTooOld, match=r"has no tables and this user cannot create them \(.*permission denied"
                                           r".*\): run `zarn-roles migrate --db URL` as the database's owner"):
        zarn_engine.open_engine(_role_url(url, runtime))
    assert cli("--db", url, "migrate") == 0 and capsys.readouterr().out == "schema 2, finished\n"
    for role, read_only in ((runtime, False), (reader, True)):
        argv = ["migrate", "--print-grants", role, "--schema", schema] + (["--read-only"] if read_only else [])
        assert cli(*argv) == 0
        with psycopg.connect(POSTGRES_URL, autocommit=True) as conn:
            for statement in capsys.readouterr().out.splitlines():
                conn.execute(statement)
    owner = zarn_engine.open_engine(url)
    with closing(zarn_engine.open_engine(_role_url(url, runtime))) as engine:
        doc = rm.RoleMatrix(name="app")
        assert doc.save(engine) == 1
        with Live(rm.RoleMatrix, consistency="notify", engine=engine) as live:
            live.get("app")
            for i in range(63):  # changes, snapshots written by the writer, the log pruned at 64
                live.update("app", lambda m, i=i: m.add_role_permissions("clerk", [{"obj": f"o{i}", "act": "r"}]))
            assert live.get("app").version == 64
        assert engine.read("RoleMatrix", "app")[1] > 1
        assert engine.keys("RoleMatrix") == ["app"] and len(engine.history("RoleMatrix", "app")) == 64
        assert engine.changes_since("RoleMatrix", "app", 63)[0][0] == 64
        assert engine.migrate(finish=True) == (2, 2)  # finished: nothing to change, nothing it may not do
        assert rm.RoleMatrix(name="other").save(engine) == 1 and engine.delete("RoleMatrix", "other")
    with closing(zarn_engine.open_engine(_role_url(url, reader))) as engine:
        with Live(rm.RoleMatrix, consistency="notify", engine=engine) as live:
            assert live.get("app").version == 64
            owner.save("RoleMatrix", "app", owner.load("RoleMatrix", "app")[0], 64)
            assert live.get("app", at_least=65).version == 65
        with pytest.raises(zarn_engine.StorageError, match="permission denied"):
            engine.save("RoleMatrix", "app", "{}", 65)
    assert cli("--db", _role_url(url, reader), "check", "app", "clerk", "o3", "r") == 0
    owner.close()


# --- the previous release beside this one --------------------------------------------------------------

OLD_WORKER = r'''
import json, sys
sys.path.insert(0, sys.argv[2])
import zarn_engine
from zarn_engine import Document, ListField, Live
from zarn_fields import StringField
assert zarn_engine.__file__.startswith(sys.argv[2]), zarn_engine.__file__


class RolloutGrants(Document):
    _key_fields = ["name"]
    name = StringField()
    grants = ListField(StringField(), default=[])


zarn_engine.connect(sys.argv[1])
live = Live(RolloutGrants)
for line in sys.stdin:
    op, arg = json.loads(line)
    try:
        if op == "create":
            doc = RolloutGrants(name="app", grants=arg)
            doc.save()
        elif op == "read":
            doc = RolloutGrants.load("app")
        elif op == "live":
            doc = live.get("app")
        elif op == "churn":  # grant o0, o1, ... each revoking the one before, again after a conflict
            for i in range(arg):
                for name, grant in ((f"o{i}", True), (f"o{i - 1}", False)):
                    while i or grant:
                        doc = RolloutGrants.load("app")
                        doc.grants.append(name) if grant else doc.grants.remove(name)
                        try:
                            doc.save()
                            break
                        except zarn_engine.ConflictError:
                            pass
                    if not i:
                        break
            doc = RolloutGrants.load("app")
        else:
            doc = RolloutGrants.load("app")
            doc.grants.append(arg) if op == "grant" else doc.grants.remove(arg)
            doc.save()
        reply = {"ok": [doc.version, sorted(doc.grants)]}
    except Exception as exc:
        reply = {"error": f"{type(exc).__name__}: {exc}"}
    print(json.dumps(reply), flush=True)
'''


@pytest.fixture(scope="module")
def previous_release(tmp_path_factory):
    """The framework of the previous release, out of the repository's history."""
    if shutil.which("git") is None or not os.path.isdir(os.path.join(ROOT, ".git")) and \
            not os.path.isfile(os.path.join(ROOT, ".git")):
        pytest.skip("no git history here: the previous release's framework cannot be taken from it")
    found = subprocess.run(["git", "-C", ROOT, "archive", PREVIOUS, "framework"], capture_output=True, timeout=60)
    if found.returncode != 0:
        pytest.skip(f"commit {PREVIOUS} is not in this clone's history (a shallow clone?): "
                    f"{found.stderr.decode().strip()}")
    folder = tmp_path_factory.mktemp("previous")
    archive = folder / "framework.tar"
    archive.write_bytes(found.stdout)
    with tarfile.open(archive) as tar:
        tar.extractall(folder, **({"filter": "data"} if hasattr(tarfile, "data_filter") else {}))
    (folder / "worker.py").write_text(OLD_WORKER)
    return folder


class OldWorker:
    def __init__(self, folder, url):
        env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
        env["PYTHONPATH"] = str(folder / "framework")
        self.proc = subprocess.Popen([sys.executable, str(folder / "worker.py"), url, str(folder / "framework")],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env)

    def __call__(self, op, arg=None):
        self.proc.stdin.write(json.dumps([op, arg]) + "\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        assert line, f"the old worker ended: status {self.proc.wait(10)}"
        return json.loads(line)

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(30)


def test_the_previous_release_beside_this_one(previous_release, shared_url, capsys):
    """Old and new writers and readers on one store during the first phase: every reader of
    either release sees every change of both, a revoke is never lost nor a revoked grant served;
    after the finish the old release's writes fail whole, with the reason."""
    old_writer, old_reader = OldWorker(previous_release, shared_url), OldWorker(previous_release, shared_url)
    try:
        assert old_writer("create", ["g0"]) == {"ok": [1, ["g0"]]}  # the store made by the old release
        with pytest.raises(SchemaTooOld):
            zarn_engine.open_engine(shared_url)
        assert cli("--db", shared_url, "migrate") == 0
        assert "may still write" in capsys.readouterr().out
        engine = zarn_engine.open_engine(shared_url)
        live = Live(RolloutGrants, engine=engine)
        model, version = {"g0"}, 1
        rng = random.Random(7)
        for step in range(60):
            grant = rng.random() < 0.5 or len(model) < 2
            name = f"g{step + 1}" if grant else rng.choice(sorted(model))
            if rng.random() < 0.5:
                assert old_writer("grant" if grant else "revoke", name) == \
                    {"ok": [version + 1, sorted(model ^ {name})]}, step
            else:
                doc = RolloutGrants.load("app", engine=engine)
                doc.grants.append(name) if grant else doc.grants.remove(name)
                assert doc.save(engine) == version + 1
            model, version = model ^ {name}, version + 1
            want = [version, sorted(model)]
            assert old_reader("read") == {"ok": want}, step
            assert old_reader("live") == {"ok": want}, step
            assert old_writer("live") == {"ok": want}, step
            doc = RolloutGrants.load("app", engine=engine)
            held = live.get("app")
            assert [doc.version, sorted(doc.grants)] == want == [held.version, sorted(held.grants)], step
        # Both releases wrote snapshots: the old one's loads, this one's writers.
        assert 1 < engine.read("RolloutGrants", "app")[1] <= version
        # Writers of both at once, each granting its own names and revoking each one after
        # the next: none lost, none back.
        churn = threading.Thread(target=lambda: replies.append(old_writer("churn", 40)))
        replies = []
        churn.start()
        for i in range(40):
            live.update("app", lambda d, i=i: d.grants.append(f"n{i}"))
            if i:
                live.update("app", lambda d, i=i: d.grants.remove(f"n{i - 1}"))
        churn.join(120)
        assert replies and "ok" in replies[0], replies
        final = set(RolloutGrants.load("app", engine=engine).grants)
        assert final == model | {"o39", "n39"} and set(replies[0]["ok"][1]) <= final | {"n" + str(i) for i in range(40)}
        versions = [e["version"] for e in engine.history("RolloutGrants", "app")]
        assert versions == list(range(versions[0], versions[0] + len(versions)))
        model, version = final, engine.version("RolloutGrants", "app")
        assert old_reader("read") == {"ok": [version, sorted(model)]} == old_reader("live")
        assert cli("--db", shared_url, "migrate", "--finish") == 0
        refused = old_writer("grant", "late")
        assert "zarn schema 2" in refused["error"] and "upgrade" in refused["error"]
        assert old_writer("revoke", sorted(model)[0])["error"] == refused["error"]
        doc = RolloutGrants.load("app", engine=engine)
        assert (doc.version, set(doc.grants)) == (version, model)  # nothing of the refused writes
        doc.grants.append("new")
        assert doc.save(engine) == version + 1
        assert old_reader("read") == {"ok": [version + 1, sorted(model | {"new"})]}
        live.close()
        engine.close()
    finally:
        old_writer.close()
        old_reader.close()
