"""Backups and restores of whole stores: a backup is one moment of the store while writers
run; a restore brings documents, users and history back, writes new versions over what
workers may hold, and running live documents (strict and notify) stop serving what it took
away."""

import json
import os
import sqlite3
import threading
import time

import pytest

import zarn_engine
from zarn_engine import DoesNotExist
from zarn_engine.backup import BackupError, backup, read, restore

from test_cli import Run
from zarn_user.users import UserRoles

GRANT = [{"obj": "doc", "act": "read"}]


def holds(doc, role="clerk"):
    return bool(doc.get_implicit_permissions_for_roles([role]).permissions)


def fill(rm, engine):
    """Two applications with history (changes after the snapshot), users, and a deleted key."""
    shop = rm.RoleMatrix(name="shop")
    shop.save(engine=engine)
    for i in range(5):
        shop.add_role_permissions("clerk", [{"obj": f"o{i}", "act": "read"}])
    shop.set_role_permissions("clerk", [{"obj": "o1", "act": "read"}])
    users = UserRoles(app="shop")
    users.save(engine=engine)
    users.assign("alice@example.com", ["clerk"], shop)
    rm.RoleMatrix(name="gone").save(engine=engine)
    rm.RoleMatrix.delete("gone", engine=engine)
    rm.RoleMatrix(name="other").save(engine=engine)
    return engine.dump()


def state(engine):
    """What a store holds, in a form that compares across stores (times rounded: PostgreSQL
    keeps them as double precision)."""
    dump = engine.dump()
    for doc in dump["documents"]:
        doc["log"] = [[v, round(t, 3), w, c] for v, t, w, c in doc["log"]]
    dump["documents"].sort(key=lambda d: (d["collection"], d["key"]))
    dump["retired"].sort()
    return dump


def fresh_store(request, kind, tmp_path, name):
    if kind == "memory":
        return zarn_engine.MemoryEngine()
    if kind == "sqlite":
        return zarn_engine.open_engine(str(tmp_path / f"{name}.sqlite3"))
    from conftest import _postgres_schema_url

    return zarn_engine.open_engine(_postgres_schema_url(request))


@pytest.mark.parametrize("form", [None, "jsonl"])
def test_a_round_trip_brings_back_documents_users_and_history(request, rm, engine, store_url, tmp_path, form):
    fill(rm, engine)
    kind = store_url.split(":")[0] if "://" in store_url or store_url == "memory:" else "sqlite"
    if form is None and kind != "sqlite":
        form = "jsonl"
    path = tmp_path / "backup.file"
    done = backup(engine, path, form)
    assert done["documents"] == 3 and done["retired"] >= 1
    target = fresh_store(request, kind, tmp_path, "target")
    plan = restore(target, path, "ops")
    assert len(plan.exact) == 3 and not plan.rewrite and not plan.remove
    assert state(target) == state(engine)
    loaded = rm.RoleMatrix.load("shop", engine=target)
    assert loaded.get_implicit_permissions_for_roles(["clerk"]).to_display()["permissions"] == [
        {"obj": "o1", "act": "read"}]
    assert UserRoles.load("shop", engine=target).roles_of("alice@example.com") == ["clerk"]
    assert [e["version"] for e in target.history("RoleMatrix", "shop")] == list(range(1, loaded.version + 1))
    # Restoring the same backup again changes nothing (the load above wrote a newer snapshot).
    plan = restore(target, path, "ops")
    assert plan.written == 0
    # A key deleted before the backup goes on from its last version in the restored store.
    again = rm.RoleMatrix(name="gone")
    again.save(engine=target)
    assert again.version == 2
    target.close()


def test_a_backup_restores_into_another_kind_of_store(request, rm, tmp_path):
    source = zarn_engine.open_engine(str(tmp_path / "source.sqlite3"))
    fill(rm, source)
    backup(source, tmp_path / "b.sqlite3")
    for kind in ("memory", "postgresql"):
        if kind == "postgresql" and not os.environ.get("ZARN_TEST_POSTGRES_URL"):
            continue
        target = fresh_store(request, kind, tmp_path, kind)
        restore(target, tmp_path / "b.sqlite3")
        assert state(target) == state(source)
        target.close()
    source.close()


def test_a_restore_over_a_store_goes_on_from_its_versions(rm, engine, tmp_path):
    fill(rm, engine)
    backup(engine, tmp_path / "b", "jsonl")
    shop = rm.RoleMatrix.load("shop", engine=engine)
    shop.add_role_permissions("intruder", GRANT)
    rm.RoleMatrix.delete("other", engine=engine)
    rm.RoleMatrix(name="later").save(engine=engine)
    served = shop.version
    plan = restore(engine, tmp_path / "b", "ops")
    assert sorted((d["key"], v) for d, v, _t in plan.rewrite) == [("other", 2), ("shop", served + 1)]
    assert plan.remove == [("RoleMatrix", "later", 1)]
    shop = rm.RoleMatrix.load("shop", engine=engine)
    assert shop.version == served + 1 and not holds(shop, "intruder") and holds(shop)
    history = engine.history("RoleMatrix", "shop")
    assert history[-1]["change"] is None and history[-1]["who"] == "ops"
    assert [e["version"] for e in history][-3:] == [served - 1, served, served + 1]
    assert rm.RoleMatrix.load("other", engine=engine).version == 2  # deleted at 1: never 1 again
    with pytest.raises(DoesNotExist):
        rm.RoleMatrix.load("later", engine=engine)
    later = rm.RoleMatrix(name="later")
    later.save(engine=engine)
    assert later.version == 2
    users = [d for d in engine.dump()["documents"] if d["collection"] != "RoleMatrix"]
    assert [(d["key"], d["version"]) for d in users] == [("shop", 2)]  # as in the backup: untouched


def test_a_backup_taken_while_writers_run_is_one_moment(rm, shared_url, tmp_path):
    # The writer grants p<n> to "aa", then to "bb": any moment holds bb's grants within aa's,
    # at most one behind.
    engine = zarn_engine.open_engine(shared_url)
    for name in ("aa", "bb"):
        rm.RoleMatrix(name=name).save(engine=engine)
    stop = threading.Event()
    failures = []

    def write():
        writer = zarn_engine.open_engine(shared_url)
        docs = {name: rm.RoleMatrix.load(name, engine=writer) for name in ("aa", "bb")}
        n = 0
        try:
            while not stop.is_set():
                for name in ("aa", "bb"):
                    docs[name].add_role_permissions("clerk", [{"obj": f"p{n}", "act": "x"}])
                n += 1
        except Exception as exc:  # reported below
            failures.append(exc)
        finally:
            writer.close()

    thread = threading.Thread(target=write)
    thread.start()
    try:
        deadline = time.monotonic() + 30
        while engine.version("RoleMatrix", "bb") < 3 and time.monotonic() < deadline:
            time.sleep(0.01)  # the writer is under way
        seen = []
        for i in range(6):
            time.sleep(0.05)
            path = tmp_path / f"b{i}"
            backup(engine, path)
            copy = zarn_engine.MemoryEngine()
            restore(copy, path)
            grants = {}
            for name in ("aa", "bb"):
                doc = rm.RoleMatrix.load(name, engine=copy)
                grants[name] = {p.obj for p in doc.policies if p.sub == "clerk"}
            assert grants["bb"] <= grants["aa"] and len(grants["aa"] - grants["bb"]) <= 1, grants
            seen.append(len(grants["aa"]))
    finally:
        stop.set()
        thread.join()
    assert not failures and seen[-1] > seen[0] > 0, (failures, seen)
    engine.close()


@pytest.mark.parametrize("mode", ["strict", "notify"])
def test_running_readers_stop_serving_what_a_restore_took_away(rm, shared_url, tmp_path, mode):
    admin = zarn_engine.open_engine(shared_url)
    rm.RoleMatrix(name="app").save(engine=admin)
    rm.RoleMatrix(name="extra").save(engine=admin)
    backup(admin, tmp_path / "before", "jsonl")
    rm.RoleMatrix.delete("extra", engine=admin)
    doc = rm.RoleMatrix.load("app", engine=admin)
    doc.add_role_permissions("clerk", GRANT)
    # Workers of another "process": an engine of their own, a reader thread and an updater.
    worker = zarn_engine.open_engine(shared_url)
    live = zarn_engine.Live(rm.RoleMatrix, consistency=mode, engine=worker)
    deadline = time.monotonic() + 5
    while mode == "notify" and not live.listening and time.monotonic() < deadline:
        time.sleep(0.01)
    assert holds(live.get("app"))
    live.update("app", lambda m: m.add_role_permissions("other", GRANT))  # update's copy is held
    with pytest.raises(DoesNotExist):
        live.get("extra")
    restore(admin, tmp_path / "before")
    ended = time.monotonic()
    answers = []
    while True:
        got = live.get("app")
        answers.append((time.monotonic() - ended, holds(got), got.version))
        if not holds(got):
            break
        assert time.monotonic() - ended < (0.0 if mode == "strict" else 1.0) + 0.5, answers
        time.sleep(0.005)
    assert answers[-1][2] == admin.version("RoleMatrix", "app") > doc.version
    if mode == "strict":
        assert len(answers) == 1  # the first read after the restore
    assert live.get("extra").version == 2  # deleted at 1: back as a new version
    # The update's private copy is the restored document, not the one it kept.
    live.update("app", lambda m: m.add_role_permissions("late", GRANT))
    now = rm.RoleMatrix.load("app", engine=admin)
    assert not holds(now) and not holds(now, "other") and holds(now, "late")
    live.close()
    worker.close()
    admin.close()


def test_a_file_that_is_no_whole_backup_restores_nothing(rm, tmp_path):
    engine = zarn_engine.open_engine(str(tmp_path / "s.sqlite3"))
    fill(rm, engine)
    before = state(engine)
    good = tmp_path / "good.jsonl"
    backup(engine, good, "jsonl")
    lines = good.read_text().splitlines(keepends=True)
    at = next(i for i, line in enumerate(lines) if '"key": "shop"' in line and '"RoleMatrix"' in line)
    doc = json.loads(lines[at])
    assert doc["document"]["base"] < doc["document"]["version"]
    doc["document"]["log"] = [row for row in doc["document"]["log"] if row[0] != doc["document"]["version"]]
    other = sqlite3.connect(tmp_path / "other.sqlite3")
    other.execute("CREATE TABLE t (x)")
    other.close()
    cases = {
        "cut.jsonl": "".join(lines[:-1]),
        "junk.jsonl": "hello\n",
        "empty.jsonl": "",
        "foreign.jsonl": '{"format": "something else"}\n',
        "newer.jsonl": lines[0].replace('"version": 1', '"version": 99') + "".join(lines[1:]),
        "gap.jsonl": "".join(lines[:at]) + json.dumps(doc) + "\n" + "".join(lines[at + 1:]),
        "binary.jsonl": "\udcff",
    }
    for name, text in cases.items():
        (tmp_path / name).write_bytes(text.encode("utf-8", "surrogateescape"))
    for name in [*cases, "other.sqlite3", "missing.jsonl"]:
        with pytest.raises(BackupError, match=".") as raised:
            restore(engine, tmp_path / name)
        assert name in str(raised.value) or "other" in str(raised.value), (name, raised.value)
    assert state(engine) == before
    assert read(good)["documents"]
    engine.close()


def test_a_backup_waits_for_a_lock_no_longer_than_the_busy_timeout(rm, tmp_path):
    # A database in rollback mode read through a read-only store: a foreign exclusive lock
    # makes the driver's backup retry for as long as the lock is held; the store's timeout
    # bounds it, as it bounds every read, and nothing is left where the backup was to go.
    path = tmp_path / "s.sqlite3"
    writer = zarn_engine.open_engine(str(path))
    fill(rm, writer)
    writer.close()
    plain = sqlite3.connect(path, isolation_level=None)
    assert plain.execute("PRAGMA journal_mode = DELETE").fetchone() == ("delete",)
    engine = zarn_engine.SQLiteEngine(path, timeout=0.3, mode="ro")
    assert engine.version("RoleMatrix", "shop")
    plain.execute("BEGIN EXCLUSIVE")
    try:
        began = time.monotonic()
        with pytest.raises(zarn_engine.StoreLocked, match="still after 0.3 s"):
            backup(engine, tmp_path / "b.sqlite3")
        assert time.monotonic() - began < 5
        assert not os.path.exists(tmp_path / "b.sqlite3")
    finally:
        plain.execute("ROLLBACK")
    backup(engine, tmp_path / "b.sqlite3")
    assert read(tmp_path / "b.sqlite3")["documents"]
    engine.close()
    plain.close()


def test_the_command_line_backs_up_and_restores(tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.delenv("ZARN_ROLES_DB", raising=False)
    monkeypatch.setenv("USER", "ops")
    cli = Run(capsys, str(tmp_path / "roles.sqlite3"))
    cli("init", "shop")
    cli("grant", "shop", "clerk", "order", "read")
    cli("assign", "shop", "alice", "clerk")
    saved = cli("--json", "backup", "b.sqlite3").json()
    assert saved["form"] == "sqlite" and saved["documents"] == 2
    assert cli("--json", "backup", "b.jsonl").json()["form"] == "jsonl"
    cli("revoke", "shop", "clerk", "order", "read")
    cli("init", "late")
    assert "give --yes" in cli("restore", "b.sqlite3", expect=2).stderr
    out = cli("--json", "restore", "b.sqlite3", "--yes").json()
    assert out == {"file": "b.sqlite3", "restored": 0, "new_versions": 1, "deleted": 1, "unchanged": 1}
    assert cli("check", "shop", "clerk", "order", "read").stdout.startswith("yes")
    assert cli("list").stdout == "shop\n"
    assert "ops" in cli("log", "shop").stdout.splitlines()[-1]
    # Into a store that is gone: a new file, everything as it was.
    fresh = Run(capsys, str(tmp_path / "new.sqlite3"))
    fresh("restore", "b.jsonl", "-y")
    assert fresh("check", "shop", "--user", "alice", "order", "read").stdout.startswith("yes")
    assert "is the database itself" in cli("backup", "roles.sqlite3", expect=2).stderr
    assert "is the database itself" in cli("restore", "roles.sqlite3", "-y", expect=2).stderr
    assert "does not exist" in cli("backup", "nowhere/b.sqlite3", expect=2).stderr
    os.mkdir(tmp_path / "locked")
    os.chmod(tmp_path / "locked", 0o500)
    if os.geteuid() != 0:  # root writes anywhere
        assert "cannot write the backup" in cli("backup", "locked/b.jsonl", expect=2).stderr
    (tmp_path / "bad.jsonl").write_text("{}\n")
    assert "not restored" in cli("restore", "bad.jsonl", "-y", expect=2).stderr
    assert "no database" in Run(capsys, str(tmp_path / "none.sqlite3"))("backup", "x", expect=2).stderr
