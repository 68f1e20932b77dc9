"""One table of hostile inputs through every door: the core's Python API, the command line (its
main(), in process), the HTTP API (users' roles too), imports of JSON and of Casbin CSV (through
the core, the command line and the HTTP API), a Casbin file split by domains, and playground
files (which build an application in memory: their text and names are checked as any door's,
and a path to *:* is theirs to hold). Each door must give the same outcome (done, bad input, a
pattern refused, a path to *:* refused), and a refused change writes nothing."""

import contextlib
import csv
import io
import json
import shutil
import unicodedata

import pytest
from starlette.testclient import TestClient

import zarn_engine
from zarn_user.cli import main
from zarn_user.core import ops, playground, transfer
from zarn_user.core.errors import DoorError
from zarn_user.web import create_app

TOKEN = "door-token"
AUTH = {"Authorization": f"Bearer {TOKEN}"}

# (name, operation, outcome): grant (role, obj, act), include (role, sub), assign (user, role),
# create (app), file (raw Casbin text: import doors only), check (roles, obj, act) and batch
# (checks, each of roles): HTTP only, with its caps. Outcomes: ok, bad_input, pattern,
# superuser, too_large.
CASES = [
    ("plain grant", ("grant", "clerk", "order", "read"), "ok"),
    ("lone surrogate in an object", ("grant", "clerk", "\ud800", "read"), "bad_input"),
    ("lone surrogate in an action", ("grant", "clerk", "order", "re\udfffad"), "bad_input"),
    ("control character", ("grant", "clerk", "order", "re\x07ad"), "bad_input"),
    ("line separator", ("grant", "clerk", "or\u2028der", "read"), "bad_input"),
    ("too long", ("grant", "clerk", "o" * 300, "read"), "bad_input"),
    ("not in NFC form: put in it", ("grant", "clerk", "cafe\u0301", "read"), "ok"),
    ("empty object", ("grant", "clerk", "", "read"), "bad_input"),
    ("role name with a trailing newline", ("grant", "clerk\n", "order", "read"), "bad_input"),
    ("keyMatch wildcard", ("grant", "clerk", "/data/*", "read"), "pattern"),
    ("glob wildcard", ("grant", "clerk", "/file?.txt", "read"), "pattern"),
    ("regular expression", ("grant", "clerk", "/data/.+", "read"), "pattern"),
    ("regular expression class", ("grant", "clerk", "/users/\\d+", "read"), "pattern"),
    ("keyMatch2 parameter", ("grant", "clerk", "/users/:id", "read"), "pattern"),
    ("keyMatch3 parameter", ("grant", "clerk", "/users/{id}", "read"), "pattern"),
    ("ABAC condition", ("grant", "clerk", "r.obj.price < 25", "read"), "pattern"),
    ("regex action", ("grant", "clerk", "order", "(GET)|(PUT)"), "pattern"),
    ("*:* granted", ("grant", "clerk", "*", "*"), "superuser"),
    ("everything held through include", ("include", "viewer", "admin"), "superuser"),
    ("everything held through a sub-role", ("include", "viewer", "boss"), "superuser"),
    ("plain include", ("include", "viewer", "clerk0"), "ok"),
    ("user given admin", ("assign", "mallory@example.com", "admin"), "superuser"),
    ("user given root", ("assign", "user:7", "root"), "superuser"),
    ("user id with a trailing newline", ("assign", "bob\n", "viewer"), "bad_input"),
    ("user id with a lone surrogate", ("assign", "b\ud800b", "viewer"), "bad_input"),
    ("plain user", ("assign", "alice@example.com", "viewer"), "ok"),
    ("application name with a trailing newline", ("create", "shop2\n"), "bad_input"),
    ("application name", ("create", "shop2"), "ok"),
    ("byte order mark", ("file", "\ufeffp, viewer, dash, read\n"), "ok"),
    ("empty field", ("file", "p, viewer, , read\n"), "bad_input"),
    ("plain check", ("check", ["clerk0", "ghost"], "order", "read"), "ok"),
    ("check naming 200,000 roles", ("check", [f"r{n}" for n in range(200_000)], "order", "read"), "too_large"),
    ("check-batch of 5000 checks", ("batch", 5000, ["clerk0"]), "too_large"),
    ("check-batch naming 150,000 roles in all", ("batch", 3, [f"r{n}" for n in range(50_000)]), "too_large"),
    ("check with a bad role among many", ("check", ["clerk0"] * 500 + ["bad name"], "order", "read"), "bad_input"),
]

IMPORT_ONLY = {"file"}
HTTP_ONLY = {"check", "batch"}


@pytest.fixture(scope="module")
def template(tmp_path_factory):
    """shop: the built-in roles, viewer (doc:read), clerk0 (order:read), boss (contains admin)."""
    db = str(tmp_path_factory.mktemp("doors") / "template.sqlite3")
    with contextlib.redirect_stdout(io.StringIO()):
        assert main(["--db", db, "init", "shop"]) == 0
        assert main(["--db", db, "grant", "shop", "viewer", "doc", "read"]) == 0
        assert main(["--db", db, "grant", "shop", "clerk0", "order", "read"]) == 0
        assert main(["--db", db, "include", "shop", "boss", "admin", "--allow-superuser"]) == 0
    return db


def _stored(db):
    engine = zarn_engine.open_engine(db)
    try:
        return {app: (transfer.export_app(app, "json", engine)) for app in sorted(
            __import__("zarn_user.role_matrix").role_matrix.RoleMatrix.keys(engine=engine))}
    finally:
        engine.close()


def _csv(op):
    """The case as a Casbin file."""
    kind = op[0]
    if kind == "file":
        return op[1]
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\n")
    if kind == "grant":
        writer.writerow(["p", *op[1:]])
    elif kind == "include":
        writer.writerow(["g", op[1], op[2]])
    elif kind == "assign":
        buffer.write("# users: g lines below give users their roles\n")
        writer.writerow(["g", op[1], op[2]])
    else:
        writer.writerow(["p", "viewer", "doc", "read"])
    return buffer.getvalue()


def _json(op):
    """The case as a JSON document (None: no JSON form)."""
    kind = op[0]
    if kind == "file":
        return None
    doc = {"policies": [], "groups": [], "users": []}
    if kind == "grant":
        doc["policies"].append({"sub": op[1], "obj": op[2], "act": op[3]})
    elif kind == "include":
        doc["groups"].append({"child": op[1], "parent": op[2]})
    elif kind == "assign":
        doc["users"].append({"user": op[1], "role": op[2]})
    else:
        doc["policies"].append({"sub": "viewer", "obj": "doc", "act": "read"})
    return json.dumps(doc)


def _target(op):
    return op[1] if op[0] == "create" else "shop"


def _code(exc):
    return exc.code if exc.code in ("bad_input", "pattern", "superuser") else (
        "bad_input" if exc.code == "not_found" else exc.code)


# --- the doors ----------------------------------------------------------------------------


def door_core(db, op):
    engine = zarn_engine.open_engine(db)
    try:
        kind = op[0]
        if kind == "grant":
            ops.grant("shop", op[1], [(op[2], op[3])], engine=engine)
        elif kind == "include":
            ops.include("shop", op[1], [op[2]], engine=engine)
        elif kind == "assign":
            ops.assign("shop", op[1], [op[2]], engine=engine)
        elif kind == "create":
            ops.create(op[1], engine)
        else:
            return None
        return "ok"
    except DoorError as exc:
        return _code(exc)
    finally:
        engine.close()


def _cli(db, *args):
    err = io.StringIO()
    with contextlib.redirect_stderr(err), contextlib.redirect_stdout(io.StringIO()):
        status = main(["--db", db, "--json", *args])
    if status == 0:
        return "ok"
    found = json.loads(err.getvalue().strip().splitlines()[-1]) if err.getvalue().strip() else {}
    return found.get("code", f"status {status}")


def door_cli(db, op):
    kind = op[0]
    if kind == "grant":
        return _cli(db, "grant", "shop", *op[1:])
    if kind == "include":
        return _cli(db, "include", "shop", *op[1:])
    if kind == "assign":
        return _cli(db, "assign", "shop", *op[1:])
    if kind == "create":
        return _cli(db, "init", op[1])
    return None


def _http_code(response):
    if response.status_code < 300:
        return "ok"
    body = response.json()
    assert "error" in body, body
    return body.get("code") or ("bad_input" if response.status_code in (400, 404) else f"http {response.status_code}")


def door_http(db, op):
    kind = op[0]
    with TestClient(create_app(db, token=TOKEN, allow_hosts=["testserver"])) as client:
        headers = {**AUTH, "Content-Type": "application/json"}
        if kind == "grant":
            r = client.post(f"/api/v1/apps/shop/roles/{_path(op[1])}/grants", headers=headers,
                            content=json.dumps({"obj": op[2], "act": op[3]}))
        elif kind == "include":
            r = client.post(f"/api/v1/apps/shop/roles/{op[1]}/sub-roles", headers=headers,
                            content=json.dumps({"role": op[2]}))
        elif kind == "assign":
            r = client.post("/api/v1/apps/shop/users/assign", headers=headers,
                            content=json.dumps({"user": op[1], "roles": [op[2]]}))
        elif kind == "create":
            r = client.post("/api/v1/apps", headers=headers, content=json.dumps({"name": op[1]}))
        elif kind == "check":
            r = client.post("/api/v1/apps/shop/check", headers=headers,
                            content=json.dumps({"roles": op[1], "obj": op[2], "act": op[3]}))
        elif kind == "batch":
            check = {"roles": op[2], "obj": "order", "act": "read"}
            r = client.post("/api/v1/apps/shop/check-batch", headers=headers,
                            content=json.dumps({"checks": [check] * op[1]}))
        else:
            return None
        return _http_code(r)


def _path(name):
    from urllib.parse import quote

    return quote(name, safe="")


def door_import_csv(db, op):
    engine = zarn_engine.open_engine(db)
    try:
        transfer.import_text(_target(op), _csv(op), "in.csv", "casbin", engine=engine)
        return "ok"
    except DoorError as exc:
        return _code(exc)
    finally:
        engine.close()


def door_import_json(db, op):
    text = _json(op)
    if text is None:
        return None
    engine = zarn_engine.open_engine(db)
    try:
        transfer.import_text(_target(op), text, "in.json", "json", engine=engine)
        return "ok"
    except DoorError as exc:
        return _code(exc)
    finally:
        engine.close()


def door_cli_import_csv(db, op, tmp_path):
    path = tmp_path / "in.csv"
    path.write_bytes(_csv(op).encode("utf-8", "surrogatepass"))
    return _cli(db, "import", _target(op), str(path), "--format", "casbin")


def door_cli_import_json(db, op, tmp_path):
    text = _json(op)
    if text is None:
        return None
    path = tmp_path / "in.json"
    path.write_text(text)
    return _cli(db, "import", _target(op), str(path), "--format", "json")


def door_http_import(db, op):
    with TestClient(create_app(db, token=TOKEN, allow_hosts=["testserver"])) as client:
        r = client.post(f"/api/v1/apps/{_path(_target(op))}/import", params={"format": "casbin"}, headers=AUTH,
                        content=_csv(op).encode("utf-8", "surrogatepass"))
        if r.status_code == 404 and op[0] == "create":
            return "bad_input"  # an application name the path cannot name
        return _http_code(r)


def door_split_import(db, op, tmp_path, expected):
    """The case as a file with one domain, t1, imported as the application shop-t1 (which has no
    built-in roles: only a grant of *:* makes a superuser there)."""
    buffer = io.StringIO()
    writer = csv.writer(buffer, lineterminator="\n")
    if op[0] == "grant":
        writer.writerow(["p", op[1], "t1", op[2], op[3]])
    elif op[0] == "assign" and expected != "superuser":
        writer.writerow(["p", op[2], "t1", "doc", "read"])
        buffer.write("# users: g lines below give users their roles\n")
        writer.writerow(["g", op[1], op[2], "t1"])
    else:
        return None
    path = tmp_path / "split.csv"
    path.write_bytes(buffer.getvalue().encode("utf-8", "surrogatepass"))
    return _cli(db, "import", "shop", str(path), "--split-domains")


def _toml(value):
    return json.dumps(value)  # a TOML basic string (a lone surrogate makes no valid file)


def door_playground(op, expected):
    """The case as a playground file of its own application; it writes no store."""
    kind = op[0]
    head, roles, users = ["app = " + _toml("shop")], {"viewer": {}}, {}
    if kind == "grant":
        roles[op[1]] = {op[2]: [op[3]]}
    elif kind == "assign" and expected != "superuser":
        roles[op[2]], users[op[1]] = {}, [op[2]]
    elif kind == "create":
        head = ["app = " + _toml(op[1])]
    else:
        return None
    lines = [*head]
    for role, grants in roles.items():
        lines += [f"[roles.{_toml(role)}]", "grants = { " + ", ".join(
            f"{_toml(o)} = [{', '.join(map(_toml, acts))}]" for o, acts in grants.items()) + " }"]
    if users:
        lines += ["[users]"] + [f"{_toml(u)} = [{', '.join(map(_toml, r))}]" for u, r in users.items()]
    lines += ["[[who]]", 'obj = "doc"', 'act = "read"', "expect = []"]
    try:
        found = playground.parse("\n".join(lines) + "\n", "case.toml")
    except playground.BadFile as exc:
        return "pattern" if any("Casbin evaluates" in line for line in exc.lines) else "bad_input"
    if kind == "grant":  # stored as every door stores text: in NFC form
        assert (op[1], unicodedata.normalize("NFC", op[2]), unicodedata.normalize("NFC", op[3])) in {
            (p.sub, p.obj, p.act) for p in found.matrix.policies}
    return "ok"


DOORS = ["core", "cli", "http", "import-csv", "import-json", "cli-import-csv", "cli-import-json", "http-import",
         "split-import"]


@pytest.mark.parametrize("name,op,expected", CASES, ids=[c[0] for c in CASES])
def test_every_door_gives_the_same_outcome(tmp_path, template, name, op, expected):
    results = {}
    for door in DOORS:
        if op[0] in HTTP_ONLY and door != "http":
            continue
        db = str(tmp_path / f"{door}.sqlite3")
        shutil.copy(template, db)
        before = _stored(db)
        if door == "core":
            got = door_core(db, op)
        elif door == "cli":
            got = door_cli(db, op)
        elif door == "http":
            got = door_http(db, op)
        elif door == "import-csv":
            got = door_import_csv(db, op)
        elif door == "import-json":
            got = door_import_json(db, op)
        elif door == "cli-import-csv":
            got = door_cli_import_csv(db, op, tmp_path)
        elif door == "cli-import-json":
            got = door_cli_import_json(db, op, tmp_path)
        elif door == "split-import":
            got = door_split_import(db, op, tmp_path, expected)
        else:
            got = door_http_import(db, op)
        if got is None:
            continue
        results[door] = got
        if got != "ok":
            assert _stored(db) == before, (door, "a refused change wrote something")
        elif op[0] == "grant":  # stored as every door stores text: in NFC form
            policies = json.loads(_stored(db)["shop-t1" if door == "split-import" else "shop"])["policies"]
            assert {"sub": op[1], "obj": unicodedata.normalize("NFC", op[2]),
                    "act": unicodedata.normalize("NFC", op[3])} in policies, door
    played = None if op[0] in HTTP_ONLY else door_playground(op, expected)
    if played is not None and expected != "superuser":  # a file's own application may hold *:*
        results["playground"] = played
    assert results and all(got == expected for got in results.values()), results


def test_asked_for_explicitly_it_is_done_at_every_door(tmp_path, template):
    """--allow-superuser, allow_superuser and --literal, literal: the same change, done."""
    dbs = {door: str(tmp_path / f"{door}.sqlite3") for door in ("core", "cli", "http")}
    for db in dbs.values():
        shutil.copy(template, db)
    engine = zarn_engine.open_engine(dbs["core"])
    try:
        ops.include("shop", "viewer", ["admin"], engine=engine, allow_superuser=True)
        ops.grant("shop", "clerk", [("/data/*", "read")], engine=engine, literal=True)
        ops.assign("shop", "ann", ["admin"], engine=engine, allow_superuser=True)
    finally:
        engine.close()
    assert _cli(dbs["cli"], "include", "shop", "viewer", "admin", "--allow-superuser") == "ok"
    assert _cli(dbs["cli"], "grant", "shop", "clerk", "/data/*", "read", "--literal") == "ok"
    assert _cli(dbs["cli"], "assign", "shop", "ann", "admin", "--yes") == "ok"
    with TestClient(create_app(dbs["http"], token=TOKEN, allow_hosts=["testserver"])) as client:
        assert client.post("/api/v1/apps/shop/roles/viewer/sub-roles", json={"role": "admin", "allow_superuser": True},
                           headers=AUTH).status_code == 200
        assert client.post("/api/v1/apps/shop/roles/clerk/grants", params={"literal": "true"},
                           json={"obj": "/data/*", "act": "read"}, headers=AUTH).status_code == 200
        r = client.post("/api/v1/apps/shop/import", params={"format": "casbin", "allow_superuser": "1"},
                        content="# users: g lines below give users their roles\ng, ann, admin\n", headers=AUTH)
        assert r.status_code == 200, r.text
    stored = [_stored(db) for db in dbs.values()]
    assert stored[0] == stored[1] == stored[2]
