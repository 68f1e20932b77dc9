"""What every door shares through the core: imports stored whole with their users, answers
and version checks taken from the store at commit time, exports that carry everything and
import through any door, retries on version conflicts, clear 4xx answers to bad requests,
the command line's statuses after a commit, and stored text that breaks the text rule."""

import contextlib
import io
import json
import os
import subprocess
import sys
import threading

import pytest
from starlette.testclient import TestClient

import zarn_engine
import zarn_user.role_matrix as rm
from zarn_user.cli import main
from zarn_user.cli.context import Output
from zarn_user.core import ops, transfer
from zarn_user.core.errors import Contended
from zarn_user.core.users import UserRoles
from zarn_user.web import create_app

TOKEN = "one-door"
AUTH = {"Authorization": f"Bearer {TOKEN}"}
MARKER = "# users: g lines below give users their roles"
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}


def cli(db, *args):
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = main(["--db", db, *args])
    return status, out.getvalue(), err.getvalue()


@pytest.fixture
def db(tmp_path):
    path = str(tmp_path / "roles.sqlite3")
    for argv in (["init", "shop"], ["grant", "shop", "clerk", "order", "read"], ["include", "shop", "boss", "clerk"]):
        assert cli(path, *argv)[0] == 0
    return path


@pytest.fixture
def client(db):
    with TestClient(create_app(db, token=TOKEN, allow_hosts=["testserver"])) as c:
        yield c


def _other(db):
    """Another writer: an engine of its own on the same file, as another process has."""
    return zarn_engine.open_engine(db)


# --- all or nothing -----------------------------------------------------------------------


def test_an_import_with_users_is_stored_whole_or_not_at_all(db, tmp_path, monkeypatch):
    path = tmp_path / "in.csv"
    path.write_text(f"p, auditor, ledger, read\n{MARKER}\ng, ann@example.com, auditor\n")
    full = zarn_engine.StoreFull("the disk is full; nothing was written")

    real = zarn_engine.SQLiteEngine._put
    written = []

    def fail(self, conn, write):
        written.append(write.collection)
        if write.collection == UserRoles._collection():
            raise full
        return real(self, conn, write)

    # The users' roles cannot be written, in the transaction that wrote the policies: neither is stored.
    with monkeypatch.context() as m:
        m.setattr(zarn_engine.SQLiteEngine, "_put", fail)
        status, out, err = cli(db, "import", "shop", str(path))
        assert status == 3 and "full" in err and err.count("nothing written") == 1, err
        status, out, err = cli(db, "import", "fresh", str(path))
        assert status == 3
    assert written == [rm.RoleMatrix._collection(), UserRoles._collection()] * 2
    assert "auditor" not in cli(db, "show", "shop")[1]
    assert "fresh" not in cli(db, "list")[1]

    assert cli(db, "import", "shop", str(path), "--format", "casbin")[0] == 0  # nothing in the way: both stored
    assert "ann@example.com: auditor" in cli(db, "export", "shop", "--format", "casbin")[1].replace(", ", ": ", 1) \
        or "g, ann@example.com, auditor" in cli(db, "export", "shop", "--format", "casbin")[1]


# --- answers from the store ---------------------------------------------------------------


def test_http_answers_and_version_checks_come_from_the_store(db, client):
    assert client.get("/api/v1/apps/shop/roles/clerk").status_code == 200  # the console holds a copy
    stale = client.get("/api/v1/apps/shop").headers["etag"]
    other = _other(db)
    try:
        ops.revoke("shop", "clerk", [("order", "read")], engine=other)  # behind the console's back
        r = client.post("/api/v1/apps/shop/roles/clerk/grants", json={"obj": "order", "act": "read"}, headers=AUTH)
        assert r.status_code == 200 and r.json()["changed"] is True
        assert any(p.obj == "order" for p in rm.RoleMatrix.load("shop", engine=other).policies)
        ops.exclude("shop", "boss", ["clerk"], engine=other)
        r = client.post("/api/v1/apps/shop/roles/boss/sub-roles", json={"role": "clerk"}, headers=AUTH)
        assert r.status_code == 200 and r.json()["changed"] is True
        # A write with nothing to change still checks If-Match against the stored version.
        r = client.post("/api/v1/apps/shop/roles/clerk/grants", json={"obj": "order", "act": "read"},
                        headers={**AUTH, "If-Match": stale})
        assert r.status_code == 412 and r.json()["code"] == "version" and r.headers["etag"] != stale
        current = client.get("/api/v1/apps/shop").headers["etag"]
        ops.grant("shop", "temp", [("x", "y")], engine=other)
        r = client.put("/api/v1/apps/shop/roles/clerk/grants", json={"permissions": []},
                       headers={**AUTH, "If-Match": current})
        assert r.status_code == 412
    finally:
        other.close()


# --- exports and imports through every door -------------------------------------------------


def test_exports_carry_users_and_import_through_every_door(db, client, tmp_path):
    assert cli(db, "assign", "shop", "ann@example.com", "boss")[0] == 0
    assert cli(db, "assign", "shop", "alice", "clerk")[0] == 0  # an id that is also a valid role name
    exported = {fmt: cli(db, "export", "shop", "--format", fmt)[1] for fmt in ("json", "casbin")}
    assert json.loads(exported["json"])["users"] == [{"user": "ann@example.com", "role": "boss"},
                                                     {"user": "alice", "role": "clerk"}]
    http = {fmt: client.get("/api/v1/apps/shop/export", params={"format": fmt}, headers=AUTH).text
            for fmt in ("json", "casbin")}
    assert http == exported
    expected = {u: r for u, r in (("ann@example.com", "boss"), ("alice", "clerk"))}
    n = 0
    for fmt, text in exported.items():
        for door in ("cli", "http"):
            n += 1
            app = f"copy{n}"
            body = "\ufeff" + text  # a byte order mark is accepted at every door
            if door == "cli":
                path = tmp_path / f"{app}.{fmt}"
                path.write_text(body, encoding="utf-8")
                status, out, err = cli(db, "import", app, str(path))
                assert status == 0, err
            else:
                r = client.post(f"/api/v1/apps/{app}/import", content=body.encode(), headers=AUTH)
                assert r.status_code == 200, r.text
            again = json.loads(cli(db, "export", app)[1])
            assert {u["user"]: u["role"] for u in again["users"]} == expected, (fmt, door)
            assert {**again, "name": "shop"} == json.loads(exported["json"]), (fmt, door)


# --- retries --------------------------------------------------------------------------------


def test_changes_on_top_of_the_current_state_retry_on_conflicts(db):
    errors = []

    def writer(n):
        engine = zarn_engine.open_engine(db)
        try:
            for i in range(12):
                ops.grant("shop", f"w{n}", [(f"o{i}", "read")], engine=engine)
                ops.assign("shop", f"user{n}", ["clerk"] if i % 2 else ["boss"], engine=engine)
        except Exception as exc:  # noqa: BLE001 - reported below
            errors.append(exc)
        finally:
            engine.close()

    threads = [threading.Thread(target=writer, args=(n,)) for n in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    matrix = rm.RoleMatrix.load("shop", engine=zarn_engine.open_engine(db))
    assert sum(1 for p in matrix.policies if p.sub.startswith("w")) == 36


def test_a_conflict_is_retried_quietly_and_named_when_it_never_ends(db, tmp_path, monkeypatch):
    path = tmp_path / "in.csv"
    path.write_text("p, auditor, ledger, read\n")
    put = zarn_engine.SQLiteEngine._put  # every write of the store, one document or several
    conflicts = {"left": 2}

    def racing(self, *args, **kwargs):
        if conflicts["left"]:
            conflicts["left"] -= 1
            raise zarn_engine.ConflictError("RoleMatrix 'shop' changed")
        return put(self, *args, **kwargs)

    for argv in (["grant", "shop", "clerk", "order", "write"], ["import", "shop", str(path)],
                 ["include", "shop", "boss", "auditor"]):
        conflicts["left"] = 2
        with monkeypatch.context() as m:
            m.setattr(zarn_engine.SQLiteEngine, "_put", racing)
            status, out, err = cli(db, *argv)
        assert status == 0 and err == "" and conflicts["left"] == 0, (argv, err)
    with monkeypatch.context() as m:
        m.setattr(rm.RoleMatrix, "save", lambda self, *a, **k: (_ for _ in ()).throw(
            zarn_engine.ConflictError("changed")))
        status, out, err = cli(db, "grant", "shop", "clerk", "order", "delete")
        assert status == 1 and "other writers kept changing shop" in err and "nothing written" in err
        with pytest.raises(Contended) as caught:
            ops.grant("shop", "clerk", [("order", "delete")], engine=zarn_engine.open_engine(db), )
        assert caught.value.tries == ops.RETRIES


# --- bad requests ---------------------------------------------------------------------------


def test_bad_requests_get_a_4xx_json_answer(client):
    deep = "[" * 100_000
    for path, params in (("/api/v1/apps/shop/check", {}), ("/api/v1/apps/shop/import", {"format": "json"})):
        r = client.post(path, params=params, content=deep, headers=AUTH)
        assert 400 <= r.status_code < 500 and "error" in r.json(), (path, r.status_code)
    for tag in (b'"\xb2"', '"²"'.encode(), b'"' + b"9" * 5000 + b'"', b"W/", b'"1", x'):
        r = client.post("/api/v1/apps/shop/roles/clerk/grants", json={"obj": "a", "act": "b"},
                        headers={**AUTH, "If-Match": tag})
        assert r.status_code == 400 and "If-Match" in r.json()["error"], tag
    r = client.request("DELETE", "/api/v1/apps/shop/roles/admin/sub-roles", json={"role": "admin"}, headers=AUTH)
    assert r.status_code == 404 and "error" in r.json()
    r = client.post("/api/v1/apps", json={"name": "shop2\n"}, headers=AUTH)
    assert r.status_code == 400 and "application name" in r.json()["error"]


# --- the command line after a commit ----------------------------------------------------


def test_output_that_cannot_be_written_after_a_commit(db):
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    with open("/dev/full", "w") as full:
        done = subprocess.run([sys.executable, "-m", "zarn_user", "--db", db, "grant", "shop", "clerk", "order",
                               "write"], stdout=full, stderr=subprocess.PIPE, text=True, env=ENV, timeout=60)
    assert done.returncode == 6 and "the change is stored" in done.stderr and "Traceback" not in done.stderr
    assert "order:write" in cli(db, "show", "shop", "clerk")[1]


def test_interrupted_after_the_change_is_stored(db, tmp_path, monkeypatch):
    path = tmp_path / "in.csv"
    path.write_text("p, auditor, ledger, read\n")
    emit = Output.emit

    def interrupted(self, data, text):
        raise KeyboardInterrupt

    with monkeypatch.context() as m:  # before the report: stored, and it says so
        m.setattr(Output, "emit", interrupted)
        status, out, err = cli(db, "import", "shop", str(path))
    assert status == 6 and "the change is stored" in err and "Traceback" not in err

    def reported_then_interrupted(self, data, text):
        emit(self, data, text)
        raise KeyboardInterrupt

    path.write_text("p, auditor, ledger, write\n")
    with monkeypatch.context() as m:  # after the report: done
        m.setattr(Output, "emit", reported_then_interrupted)
        status, out, err = cli(db, "import", "shop", str(path))
    assert status == 0 and "imported 1 of 1" in out and err == ""

    def close_interrupted(self):
        raise KeyboardInterrupt

    with monkeypatch.context() as m:
        m.setattr("zarn_user.core.store.Store.close", close_interrupted)
        status, out, err = cli(db, "grant", "shop", "clerk", "order", "list")
    assert status == 0 and err == ""


def test_small_answers_of_the_command_line(db):
    status, out, err = cli(db, "--db", "", "list")
    assert status == 2 and "--db is empty" in err
    assert cli(db, "why", "shop", "clerk", "order", "delete")[0] == 1
    assert cli(db, "why", "shop", "clerk", "order", "read")[0] == 0
    status, out, err = cli(db, "--json", "check", "shop", "clerk", "order", "delete")
    assert status == 1 and json.loads(out)["held"] is False and err == ""
    status, out, err = cli(db, "--json", "check", "shop", "ghost", "order", "delete")
    assert status == 1 and json.loads(err)["error"].startswith("unknown role")
    with_lost = zarn_engine.ConnectionLost("the connection broke while committing: the change may or may not have "
                                           "been stored")
    from zarn_user.cli.errors import outcome

    status, message = outcome(with_lost, True)
    assert status == 4 and message.count("may or may not") == 1


# --- text stored before the rule --------------------------------------------------------


def test_text_stored_before_the_rule_loads_shows_and_is_repaired(db, client):
    other = _other(db)
    try:  # written past every check, as an older version let through
        matrix = rm.RoleMatrix.load("shop", engine=other)
        matrix.add_role_permissions("clerk", [{"obj": "in\ud800voice", "act": "re\x07ad"},
                                              {"obj": "cafe\u0301", "act": "read"}])
        users = UserRoles(app="shop")
        users.__dict__["assignments"] = []
        users.save(engine=other)
    finally:
        other.close()
    shown = subprocess.run([sys.executable, "-m", "zarn_user", "--db", db, "show", "shop"], capture_output=True,
                           env={**ENV, "PYTHONIOENCODING": "utf-8"}, timeout=60)
    assert shown.returncode == 0 and b"in\\ud800voice" in shown.stdout, shown
    for fmt in ("json", "casbin"):
        assert client.get("/api/v1/apps/shop/export", params={"format": fmt}, headers=AUTH).status_code == 200
    assert client.get("/api/v1/apps/shop/roles/clerk").status_code == 200
    assert cli(db, "export", "shop")[0] == 0
    status, out, err = cli(db, "check-text", "shop")
    assert status == 1 and "lone surrogate" in out and "control characters" in out and "NFC" in out
    status, out, err = cli(db, "repair", "shop")
    assert status == 0 and "repaired 2 permission(s)" in out
    assert cli(db, "check-text", "shop")[0] == 0
    shown = cli(db, "--json", "show", "shop", "clerk")[1]
    assert {"obj": "in\ufffdvoice", "act": "read"} in json.loads(shown)["permissions"]
    assert {"obj": "caf\u00e9", "act": "read"} in json.loads(shown)["permissions"]


def test_exports_of_every_door_carry_settings_and_users_through_the_core(db):
    engine = zarn_engine.open_engine(db)
    try:
        ops.assign("shop", "ann", ["clerk"], engine=engine)
        text = transfer.export_app("shop", "casbin", engine)
        assert text.endswith(f"{MARKER}\ng, ann, clerk\n")
        done = transfer.import_text("again", text, "x.csv", engine=engine)
        assert done.created and done.users == 1 and done.stored
    finally:
        engine.close()


def test_casbin_lines_are_refused_with_their_real_reason():
    from zarn_user.core import interchange

    text = ("p, alice, data1, read, indeterminate\n"
            "p, 1, alice, data1, read, indeterminate\n"
            "g, erin, oncall, 2026-01-01 00:00:00, 2026-02-01 00:00:00\n"
            "g, erin, oncall, tenant1, 2026-01-01, 2026-02-01\n"
            "p, 5, interns, report, read, deny\n"
            "g, carol, staff, tenant1\n")
    errors = [message for _, message in interchange.parse(text, "f.csv", "casbin").errors]
    assert "'indeterminate' effect" in errors[0] and "domain" not in errors[0]
    assert "'indeterminate' effect" in errors[1] and "priority column" in errors[1]
    assert "time-bounded role link" in errors[2] and "malformed" not in errors[2]
    assert "time-bounded role link" in errors[3] and "domain 'tenant1'" in errors[3]
    assert "'deny' effect" in errors[4] and "domains (tenants)" in errors[5]
    # Conditions in the object field, patterns of every kind: named, never stored as names.
    reading = interchange.parse("p, alice, r.obj.price < 25, read\np, bob, /users/\\d+, GET\n", "f.csv", "casbin")
    found = [message for _, message in interchange.patterns(reading.entries)]
    assert "ABAC condition" in found[0] and "regular expression" in found[1]
