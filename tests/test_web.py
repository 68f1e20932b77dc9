"""The web console's HTTP API in process (Starlette's test client), the `serve` and `test`
commands, server-sent events and live freshness on a real server."""

import contextlib
import io
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

if os.environ.get("CI") != "true":
    pytest.importorskip("starlette", reason="the web extra is not installed: pip install '.[web]'")
    pytest.importorskip("httpx", reason="the test client needs httpx: pip install '.[test]'")

import httpx  # noqa: E402
import uvicorn  # noqa: E402
from starlette.testclient import TestClient  # noqa: E402

from zarn_user.cli import main as cli_main  # noqa: E402
from zarn_user.web import create_app  # noqa: E402

TOKEN = "s3cret-token"
AUTH = {"Authorization": f"Bearer {TOKEN}"}
SHOP = [
    ["init", "shop"],
    ["grant", "shop", "clerk", "order", "read", "write"],
    ["grant", "shop", "viewer", "catalog", "read"],
    ["include", "shop", "clerk", "viewer"],
    ["include", "shop", "manager", "clerk"],
]


def cli(db, *args):
    """zarn-roles in process: (exit status, standard output, standard error)."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = cli_main(["--db", db, *args])
    return status, out.getvalue(), err.getvalue()


@pytest.fixture
def db(tmp_path):
    path = str(tmp_path / "roles.sqlite3")
    for argv in SHOP:
        assert cli(path, *argv)[0] == 0
    return path


@pytest.fixture
def client(db):
    with TestClient(create_app(db, token=TOKEN, allow_hosts=["testserver"])) as c:
        yield c


def etag(client, app="shop"):
    return client.get(f"/api/v1/apps/{app}").headers["etag"]


def test_reading(client):
    assert client.get("/api/v1/apps").json() == {"apps": ["shop"]}
    r = client.get("/api/v1/apps/shop")
    assert r.json()["roles"] == 6 and r.headers["etag"] == f'"{r.json()["version"]}"'
    page = client.get("/api/v1/apps/shop/roles", params={"q": "E", "limit": 2}).json()
    assert {k: page[k] for k in ("total", "limit", "roles")} == {"total": 3, "limit": 2, "roles": ["clerk", "manager"]}
    assert client.get("/api/v1/apps/shop/roles", params={"q": "e", "offset": 2}).json()["roles"] == ["viewer"]
    manager = client.get("/api/v1/apps/shop/roles/manager").json()
    assert manager["sub_roles"] == ["clerk"] and manager["permissions"] == []
    assert {(p["obj"], p["act"]): p["path"] for p in manager["implicit"]} == {
        ("order", "read"): ["manager", "clerk"], ("order", "write"): ["manager", "clerk"],
        ("catalog", "read"): ["manager", "clerk", "viewer"]}
    assert client.get("/api/v1/apps/shop/roles/viewer").json()["contained_by"] == ["clerk"]
    for path, status in [("/api/v1/apps/nope", 404), ("/api/v1/apps/shop/roles/ghost", 404),
                         ("/api/v1/apps/shop/roles/bad%20name", 400), ("/api/v1/nothing", 404)]:
        r = client.get(path)
        assert r.status_code == status and r.json()["error"], path
    described = client.get("/openapi.json").json()
    assert described["openapi"].startswith("3.") and "/api/v1/apps/{app}/check" in described["paths"]


def test_check_who_and_permissions(client, db):
    def check(roles, obj, act, **kw):
        r = client.post("/api/v1/apps/shop/check", json={"roles": roles, "obj": obj, "act": act, **kw})
        assert r.status_code == 200, r.text
        assert r.json().pop("version") == 5 and r.headers["etag"] == '"5"'
        return {k: v for k, v in r.json().items() if k != "version"}

    assert check(["manager"], "catalog", "read") == {
        "allowed": True, "path": ["manager", "clerk", "viewer"], "granted": {"obj": "catalog", "act": "read"}}
    assert check(["viewer"], "order", "read") == {"allowed": False, "path": [], "granted": None}
    admin = check(["admin"], "anything", "goes", explain=True)
    assert admin["explanation"] == "admin holds anything:goes through admin -> root (root is granted *:*)"
    # The same words as the command line's check --explain.
    explained = check(["manager"], "catalog", "read", explain=True)["explanation"]
    assert cli(db, "check", "shop", "manager", "catalog", "read", "--explain")[1] == f"yes: {explained}\n"
    # Several roles: the first to reach a grant, through the fewest sub-roles.
    assert check(["viewer", "manager"], "order", "write")["path"] == ["manager", "clerk"]
    batch = client.post("/api/v1/apps/shop/check-batch", json={"checks": [
        {"roles": ["clerk"], "obj": "order", "act": "read"}, {"roles": ["viewer"], "obj": "order", "act": "read"}]})
    assert [x["allowed"] for x in batch.json()["results"]] == [True, False]
    who = client.get("/api/v1/apps/shop/who", params={"obj": "catalog", "act": "read"},
                     headers=AUTH).json()["holders"]  # every holder: heavy work
    assert {h["role"]: h["path"] for h in who} == {
        "admin": ["admin", "root"], "root": ["root"], "viewer": ["viewer"], "clerk": ["clerk", "viewer"],
        "manager": ["manager", "clerk", "viewer"]}
    perms = client.post("/api/v1/apps/shop/permissions", json={"roles": ["clerk"]}).json()
    assert [(p["obj"], p["act"]) for p in perms["permissions"]] == [("catalog", "read"), ("order", "read"),
                                                                     ("order", "write")]
    for body in [{"roles": [], "obj": "a", "act": "b"}, {"roles": ["x y"], "obj": "a", "act": "b"},
                 {"roles": ["clerk"], "obj": " a", "act": "b"}, {"roles": ["clerk"], "obj": "a"}, [1]]:
        r = client.post("/api/v1/apps/shop/check", json=body)
        assert r.status_code == 400 and r.json()["error"], body
    r = client.post("/api/v1/apps/shop/check", content=b"{not json")
    assert r.status_code == 400 and "not JSON" in r.json()["error"]
    assert client.post("/api/v1/apps/shop/check-batch", json={"checks": [{"roles": []}]}).status_code == 400


def test_unknown_roles_never_grow_the_served_matrix(client):
    console = client.app.state.console
    matrix = console.live.get("shop")
    before = dict(matrix.dag)
    r = client.post("/api/v1/apps/shop/check", json={"roles": ["ghost", "clerk"], "obj": "order", "act": "read"})
    assert r.json()["allowed"] and r.json()["unknown"] == ["ghost"]
    r = client.post("/api/v1/apps/shop/permissions", json={"roles": ["ghost", "phantom"]})
    assert {k: r.json()[k] for k in ("roles", "permissions", "unknown", "total", "next")} == {
        "roles": ["ghost", "phantom"], "permissions": [], "unknown": ["ghost", "phantom"], "total": 0, "next": None}
    assert client.get("/api/v1/apps/shop/roles/ghost").status_code == 404
    assert client.get("/api/v1/apps/shop/roles/ghost/graph", headers=AUTH).status_code == 404
    assert console.live.get("shop") is matrix and matrix.dag == before
    assert client.get("/api/v1/apps/shop").json()["roles"] == 6


def test_writes_need_the_token(db):
    with TestClient(create_app(db, allow_hosts=["testserver"])) as read_only:
        r = read_only.post("/api/v1/apps/shop/roles/clerk/grants", json={"obj": "a", "act": "b"}, headers=AUTH)
        assert r.status_code == 403 and "read-only" in r.json()["error"]
        assert read_only.get("/api/v1").json()["writable"] is False
    with TestClient(create_app(db, token=TOKEN, allow_hosts=["testserver"])) as client:
        version = etag(client)
        for headers in [{}, {"Authorization": "Bearer wrong"}, {"Authorization": f"Basic {TOKEN}"},
                        {"Authorization": f"Bearer {TOKEN}x"}]:
            for method, path in [("POST", "grants"), ("DELETE", "grants"), ("PUT", "sub-roles")]:
                r = client.request(method, f"/api/v1/apps/shop/roles/clerk/{path}", json={"obj": "a", "act": "b"},
                                   headers=headers)
                assert r.status_code == 401 and r.headers["www-authenticate"].startswith("Bearer"), (headers, path)
        assert client.post("/api/v1/apps/shop/import", content="p, clerk, a, b\n").status_code == 401
        assert client.post("/api/v1/apps", json={"name": "other"}).status_code == 401
        assert etag(client) == version
        assert client.get("/api/v1", headers=AUTH).json()["authorized"] is True


def test_grants_with_etags(client, db):
    first = etag(client)
    r = client.post("/api/v1/apps/shop/roles/viewer/grants", json={"obj": "catalog", "act": "list"},
                    headers={**AUTH, "If-Match": first})
    assert r.status_code == 200 and r.json()["changed"]
    assert r.json()["permissions"] == [{"obj": "catalog", "act": "read"}, {"obj": "catalog", "act": "list"}]
    second = r.headers["etag"]
    assert second != first and etag(client) == second
    assert cli(db, "check", "shop", "manager", "catalog", "list")[0] == 0  # saved where the CLI reads
    # A stale ETag: 412, nothing written.
    r = client.post("/api/v1/apps/shop/roles/viewer/grants", json={"obj": "x", "act": "y"},
                    headers={**AUTH, "If-Match": first})
    assert r.status_code == 412 and r.headers["etag"] == second and etag(client) == second
    assert client.post("/api/v1/apps/shop/roles/viewer/grants", json={"obj": "x", "act": "y"},
                       headers={**AUTH, "If-Match": "bogus"}).status_code == 400
    # Granting what is held already writes nothing.
    r = client.post("/api/v1/apps/shop/roles/viewer/grants", json={"obj": "catalog", "act": "list"}, headers=AUTH)
    assert r.json()["changed"] is False and r.headers["etag"] == second
    # A new role comes into being with its first grant.
    assert client.post("/api/v1/apps/shop/roles/auditor/grants", json={"obj": "log", "act": "read"},
                       headers=AUTH).status_code == 200
    r = client.request("DELETE", "/api/v1/apps/shop/roles/manager/grants", json={"obj": "order", "act": "read"},
                       headers=AUTH)
    assert r.status_code == 404
    assert r.json()["error"] == ("not revoked: manager is not granted order:read directly; it holds it through "
                                 "manager -> clerk (revoke it there, or exclude clerk)")
    r = client.delete("/api/v1/apps/shop/roles/clerk/grants", params={"obj": "order", "act": "write"}, headers=AUTH)
    assert r.json()["permissions"] == [{"obj": "order", "act": "read"}]
    r = client.put("/api/v1/apps/shop/roles/clerk/grants", json={"permissions": [
        {"obj": "stock", "act": "read"}, {"obj": "stock", "act": "read"}]}, headers=AUTH)
    assert r.json()["permissions"] == [{"obj": "stock", "act": "read"}]
    r = client.put("/api/v1/apps/shop/roles/clerk/grants", json={"permissions": []}, headers=AUTH)
    assert r.json()["permissions"] == []
    check = client.post("/api/v1/apps/shop/check", json={"roles": ["manager"], "obj": "order", "act": "read"})
    assert check.json()["allowed"] is False
    assert cli(db, "check", "shop", "manager", "order", "read")[0] == 1


def test_sub_roles_and_cycles(client, db):
    version = etag(client)
    r = client.post("/api/v1/apps/shop/roles/viewer/sub-roles", json={"role": "manager"}, headers=AUTH)
    assert r.status_code == 409
    assert r.json()["error"] == ("refused: manager cannot become a sub-role of viewer, since manager contains clerk "
                                 "contains viewer already (a cycle)")
    assert r.json()["path"] == ["manager", "clerk", "viewer"] and r.json()["code"] == "cycle"
    r = client.post("/api/v1/apps/shop/roles/viewer/sub-roles", json={"role": "viewer"}, headers=AUTH)
    assert r.status_code == 409 and r.json()["error"] == "refused: viewer cannot contain itself"
    assert client.post("/api/v1/apps/shop/roles/viewer/sub-roles", json={"role": "ghost"},
                       headers=AUTH).status_code == 404
    r = client.put("/api/v1/apps/shop/roles/viewer/sub-roles", json={"roles": ["admin", "manager"]}, headers=AUTH)
    assert r.status_code == 409 and [x["role"] for x in r.json()["refused"]] == ["manager"]
    assert etag(client) == version  # refusals write nothing
    r = client.post("/api/v1/apps/shop/roles/boss/sub-roles", json={"role": "manager"}, headers=AUTH)
    assert r.json()["roles"] == ["manager"]
    assert cli(db, "check", "shop", "boss", "catalog", "read")[0] == 0
    r = client.request("DELETE", "/api/v1/apps/shop/roles/boss/sub-roles", json={"role": "clerk"}, headers=AUTH)
    assert r.status_code == 404 and "boss contains it through boss -> manager -> clerk" in r.json()["error"]
    r = client.put("/api/v1/apps/shop/roles/manager/sub-roles", json={"roles": ["viewer"]}, headers=AUTH)
    assert r.json()["roles"] == ["viewer"]
    r = client.request("DELETE", "/api/v1/apps/shop/roles/manager/sub-roles", json={"role": "viewer"}, headers=AUTH)
    assert r.json()["roles"] == []
    assert client.post("/api/v1/apps/shop/check", json={"roles": ["boss"], "obj": "catalog", "act": "read"}
                       ).json()["allowed"] is False


def test_import_export(client, db, tmp_path):
    version = etag(client)
    bad = "p, clerk, order, read\np, bad name, x, y\ng, a, b, dom\np, clerk, ok, read, deny\n"
    r = client.post("/api/v1/apps/shop/import", params={"name": "in.csv"}, content=bad, headers=AUTH)
    assert r.status_code == 400
    assert [line.split(":")[1] for line in r.json()["lines"]] == ["2", "3", "4"]
    assert r.json()["lines"][0].startswith("in.csv:2: invalid role name 'bad name'")
    assert etag(client) == version  # nothing written
    good = "p, auditor, ledger, read\ng, clerk, auditor\ng, viewer, manager\n"
    dry = client.post("/api/v1/apps/shop/import", params={"dry_run": "1", "name": "in.csv"}, content=good,
                      headers=AUTH).json()
    assert dry["dry_run"] and dry["added"] == ["p, auditor, ledger, read", "g, clerk, auditor"]
    assert etag(client) == version
    refusal = [{"where": "in.csv:3", "line": "g, viewer, manager", "reason":
                "refused: manager cannot become a sub-role of viewer, since manager contains "
                "clerk contains viewer already (a cycle)"}]
    r = client.post("/api/v1/apps/shop/import", params={"name": "in.csv"}, content=good, headers=AUTH)
    assert r.status_code == 409 and r.json()["refused"] == refusal  # all or nothing
    assert etag(client) == version
    users = client.post("/api/v1/apps/shop/import", params={"name": "u.csv"}, content="g, ann@example.com, clerk\n",
                        headers=AUTH)
    assert users.status_code == 200 and users.json()["users_assigned"] == 1  # users come in as at every door
    r = client.post("/api/v1/apps/shop/import", params={"name": "in.csv", "skip_refused": "1"}, content=good,
                    headers=AUTH)
    assert r.status_code == 200 and len(r.json()["added"]) == 2 and r.json()["refused"] == refusal
    assert r.headers["etag"] == etag(client) != version
    exported = client.get("/api/v1/apps/shop/export", params={"format": "casbin"}, headers=AUTH)
    assert exported.headers["content-type"].startswith("text/csv") and "p, auditor, ledger, read\n" in exported.text
    doc = client.get("/api/v1/apps/shop/export", headers=AUTH).json()
    r = client.post("/api/v1/apps/copy/import", params={"format": "json"}, content=json.dumps(doc), headers=AUTH)
    assert r.status_code == 200
    assert {**client.get("/api/v1/apps/copy/export", headers=AUTH).json(), "name": "shop"} == doc
    assert client.get("/api/v1/apps/shop/export", params={"format": "xml"}, headers=AUTH).status_code == 400
    assert client.post("/api/v1/apps", json={"name": "shop"}, headers=AUTH).status_code == 409
    assert client.post("/api/v1/apps", json={"name": "new-app"}, headers=AUTH).status_code == 201
    assert client.get("/api/v1/apps").json()["apps"] == ["copy", "new-app", "shop"]


def test_guard(db):
    app = create_app(db, token=TOKEN, allow_hosts=["127.0.0.1", "roles.example"], max_body=1000)
    seen = []

    class Note:
        def __init__(self, app):
            self.app = app

        async def __call__(self, scope, receive, send):
            if scope["type"] == "http":
                seen.append(dict(scope["headers"])[b"host"].decode())
            await self.app(scope, receive, send)

    app.app.add_middleware(Note)  # behind the guard
    with TestClient(app, base_url="http://127.0.0.1:8470") as client:
        r = client.get("/api/v1/apps")
        assert r.status_code == 200 and seen == ["127.0.0.1:8470"]
        assert r.headers["x-content-type-options"] == "nosniff" and "script-src 'self'" in \
            r.headers["content-security-policy"]
        for host in ["evil.example", "roles.example.evil", "127.0.0.1.evil", ""]:
            r = client.get("/api/v1/apps", headers={"Host": host})
            assert r.status_code == 400 and "--allow-host" in r.json()["error"], host
        assert seen == ["127.0.0.1:8470"]
        assert client.get("/", headers={"Host": "ROLES.example:80"}).status_code == 200
        r = client.post("/api/v1/apps/shop/check", content=b"x" * 1001)
        assert r.status_code == 413
        # Without a length announced: counted as it arrives; nothing is imported.
        version = etag(client)
        r = client.post("/api/v1/apps/shop/import", content=iter([b"p, aa, b, c\n"] * 200), headers=AUTH)
        assert r.status_code == 413 and etag(client) == version
        r = client.post("/api/v1/apps/shop/import", content=iter([b"p, aa, b, c\n"] * 20), headers=AUTH)
        assert r.status_code == 200 and etag(client) != version


def test_page_assets_ship_with_the_package(client):
    page = client.get("/apps/shop")
    assert page.status_code == 200 and "/static/app.js" in page.text
    for asset in ["/static/app.js", "/static/app.css"]:
        assert client.get(asset).status_code == 200
    # Nothing is fetched from elsewhere, and data never goes in through innerHTML.
    text = page.text + client.get("/static/app.js").text + client.get("/static/app.css").text
    assert "http://" not in text.replace("http://www.w3.org/2000/svg", "") and "https://" not in text
    assert "innerHTML" not in text and "insertAdjacentHTML" not in text


@pytest.mark.parametrize("use_dot", [False, True])
def test_graph(db, use_dot):
    if use_dot and not shutil.which("dot"):
        if os.environ.get("CI") == "true":
            pytest.fail("Graphviz is not installed in CI")
        pytest.skip("Graphviz (dot) is not installed")
    assert cli(db, "grant", "shop", "clerk", "<script>alert(1)</script>", "&amp;", "--literal")[0] == 0
    with TestClient(create_app(db, allow_hosts=["testserver"], use_dot=use_dot)) as client:
        r = client.get("/api/v1/apps/shop/roles/clerk/graph", params={"path": "manager,clerk"})
        assert r.status_code == 200 and r.headers["content-type"].startswith("image/svg+xml")
        assert r.headers["x-graph-renderer"] == ("dot" if use_dot else "builtin")
        svg = r.text
        assert "<script" not in svg and "&lt;script&gt;" in svg and "&amp;amp;" in svg
        assert "/apps/shop?role=viewer" in svg and "/apps/shop?role=manager" in svg
        assert svg.count("#c0392b") >= 3  # manager, clerk and the edge between them
        import xml.dom.minidom

        xml.dom.minidom.parseString(svg)  # well-formed


def test_wide_neighbourhood_is_summarised(tmp_path):
    db = str(tmp_path / "wide.sqlite3")
    cli(db, "init", "big")
    subs = [f"r{n}" for n in range(40)]
    for s in subs:
        cli(db, "grant", "big", s, "doc", "read")
    cli(db, "include", "big", "hub", *subs)
    with TestClient(create_app(db, allow_hosts=["testserver"], use_dot=False)) as client:
        svg = client.get("/api/v1/apps/big/roles/hub/graph").text
        assert "+28 more" in svg and svg.count('class="node"') == 13


# --- assertions ---------------------------------------------------------------------------

ASSERTIONS = """\
app = "shop"

[[check]]
role = "manager"
obj = "catalog"
act = "read"
expect = true

[[check]]   # a wrong expectation
role = "viewer"
obj = "order"
act = "read"
expect = true

[[who]]
obj = "order"
act = "read"
expect = ["root", "admin", "clerk", "manager"]

[[check]]
roles = ["ghost"]
obj = "order"
act = "read"
expect = false
"""


def test_zarn_roles_test(db, tmp_path):
    path = tmp_path / "shop.toml"
    path.write_text(ASSERTIONS)
    status, out, err = cli(db, "test", str(path))
    assert status == 1 and err.strip() == "2 of 4 assertion(s) fail"
    failures = [line for line in out.splitlines() if not line.startswith("  ")]
    assert failures == [f"{path}:9: expected true, got false (check viewer order:read)",
                        f"{path}:20: expected false, got unknown role 'ghost' (check ghost order:read)"]
    path.write_text(ASSERTIONS.replace("expect = true\n\n[[who]]", "expect = false\n\n[[who]]")
                    .replace('roles = ["ghost"]', 'roles = ["viewer"]'))
    assert cli(db, "test", str(path))[:2] == (0, "4 assertion(s) hold\n")
    results = json.loads(cli(db, "--json", "test", str(path))[1])
    assert [r["line"] for r in results] == [3, 9, 15, 20] and all(r["holds"] for r in results)

    bad = {"app = \"shop\"\n[[check]]\nrole = \"a b\"\nobj = \"\"\nact = 1\nexpect = \"yes\"\nextra = 1\n":
           [":2: unknown key 'extra'", ":2: empty object", ":2: act must be a string", ":2: invalid role name 'a b'",
            ":2: expect must be true or false"],
           "[[who]]\nobj = \"o\"\nact = \"a\"\nexpect = []\n": [":1: no app"],
           "app = \"nope\"\n[[who]]\nobj = \"o\"\nact = \"a\"\nexpect = []\n": [":2: unknown application 'nope'"],
           "app = \"shop\"\n": [": no assertions"],
           "app = [\n": [": not valid TOML"],
           "app = \"shop\"\ncheck = 3\n": [": check must be tables"]}
    for text, reasons in bad.items():
        path.write_text(text)
        status, out, err = cli(db, "test", str(path))
        assert status == 2 and out == "", text
        lines = err.removeprefix("zarn-roles: ").splitlines()
        assert len(lines) == len(reasons), (text, err)
        for line, reason in zip(lines, reasons):
            assert line.startswith(f"{path}{reason}"), (line, reason)
    status, _, err = cli(db, "test", str(tmp_path / "missing.toml"))
    assert status == 2 and "cannot read" in err
    path.write_bytes(b"\xff\xfe")
    assert cli(db, "test", str(path))[0] == 2


def test_assertions_on_the_api(client):
    r = client.post("/api/v1/assertions", params={"name": "shop.toml"}, content=ASSERTIONS, headers=AUTH)
    body = r.json()
    assert r.status_code == 200 and body["failed"] == 2
    assert [x["holds"] for x in body["results"]] == [True, False, True, False]
    assert body["results"][1]["message"] == "shop.toml:9: expected true, got false (check viewer order:read)"
    r = client.post("/api/v1/assertions", content="app = 1\n", headers=AUTH)
    assert r.status_code == 400 and r.json()["lines"]


# --- a real server ------------------------------------------------------------------------


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def server(db):
    """A uvicorn server on 127.0.0.1 in a thread: (base URL, db)."""
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    srv = uvicorn.Server(uvicorn.Config(create_app(db, token=TOKEN), log_level="warning", access_log=False,
                                        timeout_graceful_shutdown=1))
    thread = threading.Thread(target=srv.run, kwargs={"sockets": [sock]}, daemon=True)
    thread.start()
    deadline = time.monotonic() + 10
    while not srv.started and time.monotonic() < deadline:
        time.sleep(0.02)
    yield f"http://127.0.0.1:{port}", db
    srv.should_exit = True
    thread.join(10)
    sock.close()


def test_changes_elsewhere_are_seen_and_announced(server):
    url, db = server
    with httpx.Client(base_url=url, timeout=10) as http:
        with http.stream("GET", "/api/v1/apps/shop/events") as events:
            lines = events.iter_lines()
            first = _next_event(lines)
            assert first[0] == "version"
            # Another process's change (here: the command line on the same file).
            assert cli(db, "grant", "shop", "viewer", "catalog", "list")[0] == 0
            event, data = _next_event(lines)
            assert event == "version" and data["version"] > first[1]["version"]
        r = http.post("/api/v1/apps/shop/check", json={"roles": ["manager"], "obj": "catalog", "act": "list"})
        assert r.json()["allowed"] is True
        assert http.get("/api/v1/apps/nope/events").status_code == 404
        assert cli(db, "init", "gone")[0] == 0
        with http.stream("GET", "/api/v1/apps/gone/events") as events:
            lines = events.iter_lines()
            assert _next_event(lines)[0] == "version"
            assert cli(db, "delete", "gone", "--yes")[0] == 0
            assert _next_event(lines)[0] == "deleted"


def _next_event(lines, timeout=10):
    deadline = time.monotonic() + timeout
    event = None
    for line in lines:
        if line.startswith("event: "):
            event = line[7:]
        elif line.startswith("data: ") and event:
            return event, json.loads(line[6:])
        assert time.monotonic() < deadline
    raise AssertionError("the stream ended")


ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}


def test_serve_command(db, tmp_path):
    port = _free_port()
    proc = subprocess.Popen([sys.executable, "-m", "zarn_user.cli", "--db", db, "serve", "--port", str(port),
                             "--allow-host", "roles.test", "--header-timeout", "0.5", "--read-token", "reader"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, env={**ENV, "ZARN_ROLES_TOKEN": TOKEN}, cwd=tmp_path)
    try:
        line = proc.stdout.readline()
        assert line.startswith(f"zarn-roles: serving http://127.0.0.1:{port}/ (writes need the token")
        with httpx.Client(base_url=f"http://127.0.0.1:{port}", timeout=10) as http:
            assert http.get("/api/v1/apps").json() == {"apps": ["shop"]}
            assert http.get("/api/v1/apps", headers={"Host": f"localhost:{port}"}).status_code == 200
            assert http.get("/api/v1/apps", headers={"Host": "roles.test"}).status_code == 200
            assert http.get("/api/v1/apps", headers={"Host": "attacker.test"}).status_code == 400
            r = http.post("/api/v1/apps/shop/roles/clerk/grants", json={"obj": "a", "act": "b"}, headers=AUTH)
            assert r.status_code == 200
            # Heavy reads need a token: a write token or the read token.
            assert http.get("/api/v1/apps/shop/export").status_code == 401
            assert http.get("/api/v1/apps/shop/export", headers={"Authorization": "Bearer reader"}).status_code == 200
        # Half a request head: 408 after --header-timeout, and the connection closed.
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            s.sendall(b"GET /api/v1/apps HTTP/1.1\r\nHost: 127.0.0.1\r\n")
            answer = b""
            while chunk := s.recv(4096):
                answer += chunk
            assert answer.startswith(b"HTTP/1.1 408 ")
        # The port is taken now: a one-line error, exit status 2.
        status, _, err = cli(db, "serve", "--port", str(port))
        assert status == 2 and err.startswith(f"zarn-roles: cannot listen on 127.0.0.1:{port}") and \
            len(err.splitlines()) == 1
    finally:
        proc.send_signal(signal.SIGINT)  # Ctrl-C
        proc.wait(10)
    assert proc.returncode == 0 and proc.stderr.read() == "zarn-roles: stopped\n"
    status, _, err = cli(str(tmp_path / "none.sqlite3"), "serve", "--port", "0")
    assert status == 2 and "there is no database" in err


# --- the check's search against the command line's explanation ----------------------------


def test_check_search_agrees_with_the_command_line(rm):
    """On random hierarchies, the two-ended search answers as `holdings` does: the same
    verdict, a path of the same (shortest) length that is a real chain of containment,
    ending at a role granted a pair that covers the permission."""
    import random

    from zarn_user.core.holders import holdings, matches
    from zarn_user.web.snapshot import Snapshot

    rng = random.Random(7)
    for _ in range(60):
        n = rng.randint(2, 30)
        names = [f"r{i}" for i in range(n)]
        groups = [rm.Group(child=names[a], parent=names[b]) for a in range(n) for b in range(a + 1, n)
                  if rng.random() < 0.12]
        pairs = [("o1", "a"), ("o1", "b"), ("o2", "a"), ("*", "a"), ("o1", "*"), ("*", "*")]
        policies = [rm.Policy(sub=rng.choice(names), obj=o, act=a)
                    for o, a in rng.sample(pairs, rng.randint(0, 4))]
        matrix = rm.RoleMatrix(name="rand", policies=policies, groups=groups)
        snap = Snapshot(matrix)
        subs = {(g.child, g.parent) for g in groups}
        for obj, act in [("o1", "a"), ("o2", "b"), ("o3", "c")]:
            expected = holdings(matrix, obj, act)
            for role in names:
                got = snap.holding([role], obj, act)
                want = expected.get(role)
                assert (got is None) == (want is None), (role, obj, act)
                if got is not None:
                    assert len(got.path) == len(want.path) and got.path[0] == role
                    assert all(step in subs for step in zip(got.path, got.path[1:]))
                    assert matches(*got.granted, obj, act) and got.granted in snap.grants[got.path[-1]]
            several = rng.sample(names, min(3, n))
            got = snap.holding(several, obj, act)
            best = [expected[r] for r in several if r in expected]
            assert (got is None) == (not best)
            if got is not None:
                assert len(got.path) == min(len(h.path) for h in best)
