"""Users through the HTTP API: the answers and refusals of the command line's user commands,
on the same store, paged where a list can be long."""

import pytest

from test_web import AUTH, TOKEN, cli, db  # noqa: F401  (fixtures and helpers)

pytest.importorskip("starlette")
from starlette.testclient import TestClient  # noqa: E402

from zarn_user.web import create_app  # noqa: E402


@pytest.fixture
def client(db):  # noqa: F811
    with TestClient(create_app(db, token=TOKEN, allow_hosts=["testserver"])) as c:
        yield c


USERS = "/api/v1/apps/shop/users"


def test_assign_check_who_unassign_as_the_command_line(client, db):  # noqa: F811
    r = client.post(f"{USERS}/assign", json={"user": "alice@example.com", "roles": ["manager"]})
    assert r.status_code == 401  # changes need the token
    r = client.post(f"{USERS}/assign", json={"user": "alice@example.com", "roles": ["manager", "viewer"]},
                    headers=AUTH)
    assert r.status_code == 200 and r.json() == {"user": "alice@example.com", "roles": ["manager", "viewer"],
                                                 "changed": True, "version": 1}
    # The command line sees it, and what it does the API sees.
    assert cli(db, "check", "shop", "--user", "alice@example.com", "order", "write")[0] == 0
    assert cli(db, "assign", "shop", "user:42", "viewer")[0] == 0

    r = client.post(f"{USERS}/assign", json={"user": "bob", "roles": ["viewer", "ghost"]}, headers=AUTH)
    assert r.status_code == 404 and r.json()["error"] == "unknown role 'ghost' in application 'shop'"
    for body, reason in [({"user": " bob", "roles": ["viewer"]}, "invalid user id ' bob'"),
                         ({"user": "bob", "roles": []}, "'roles' must be a non-empty list"),
                         ({"roles": ["viewer"]}, "missing 'user'")]:
        r = client.post(f"{USERS}/assign", json=body, headers=AUTH)
        assert r.status_code == 400 and reason in r.json()["error"], (body, r.json())
    assert "bob" not in client.get(USERS).text  # nothing written

    r = client.post(f"{USERS}/check", json={"user": "alice@example.com", "obj": "catalog", "act": "read"})
    assert r.json() == {"user": "alice@example.com", "allowed": True, "path": ["viewer"], "wildcard": False,
                        "explanation": "alice@example.com holds catalog:read through alice@example.com -> viewer "
                                       "(granted to viewer)", "version": 2, "matrix_version": 5}
    r = client.post(f"{USERS}/check", json={"user": "nobody", "obj": "order", "act": "read"})
    assert r.json()["allowed"] is False and r.json()["explanation"] == "nobody does not hold order:read " \
                                                                       "(nobody has no roles)"
    assert client.post(f"{USERS}/check", json={"user": "x", "obj": "", "act": "a"}).status_code == 400

    who = client.get(f"{USERS}/who", params={"obj": "catalog", "act": "read"}).json()
    assert who["total"] == 2 and [h["user"] for h in who["holders"]] == ["alice@example.com", "user:42"]
    assert client.get(f"{USERS}/who", params={"obj": "catalog"}).status_code == 400
    shown = client.get(f"{USERS}/show", params={"user": "alice@example.com"}).json()
    assert shown["roles"] == ["manager", "viewer"] and {"obj": "order", "act": "write",
                                                        "path": ["manager", "clerk"]} in shown["permissions"]

    r = client.post(f"{USERS}/unassign", json={"user": "alice@example.com", "roles": ["viewer", "clerk"]},
                    headers=AUTH)
    assert r.json() == {"user": "alice@example.com", "roles": ["manager"], "refused": [
        "not unassigned: alice@example.com does not have role clerk directly; it holds it through "
        "alice@example.com -> manager -> clerk (unassign manager)"], "changed": True, "version": 3}
    # Nothing held directly: refused whole, as by the command line; a version moved on: 412.
    r = client.post(f"{USERS}/unassign", json={"user": "alice@example.com", "roles": ["clerk"]}, headers=AUTH)
    assert r.status_code == 404 and r.json()["code"] == "not_direct"
    r = client.post(f"{USERS}/assign", json={"user": "bob", "roles": ["viewer"]},
                    headers={**AUTH, "If-Match": '"1"'})
    assert r.status_code == 412 and r.headers["ETag"] == '"3"'
    # A role that holds *:* only when asked for.
    r = client.post(f"{USERS}/assign", json={"user": "bob", "roles": ["admin"]}, headers=AUTH)
    assert r.status_code == 409 and r.json()["code"] == "superuser"
    r = client.post(f"{USERS}/assign", json={"user": "bob", "roles": ["admin"], "allow_superuser": True},
                    headers=AUTH)
    assert r.status_code == 200 and r.json()["roles"] == ["admin"]
    assert "alice@example.com: manager" in cli(db, "show", "shop", "--user", "alice@example.com")[1].replace(
        "roles:       ", "alice@example.com: ")
    assert client.get("/api/v1/apps/nope/users").status_code == 404


def test_lists_are_paged(client, db):  # noqa: F811
    for n in range(120):
        client.post(f"{USERS}/assign", json={"user": f"u{n:03}@x", "roles": ["viewer"]}, headers=AUTH)
    page = client.get(USERS, params={"q": "@X", "offset": 100, "limit": 50}).json()
    assert page["total"] == 120 and [u["user"] for u in page["users"]][:2] == ["u100@x", "u101@x"]
    assert len(page["users"]) == 20 and page["users"][0]["roles"] == ["viewer"]
    who = client.get(f"{USERS}/who", params={"obj": "catalog", "act": "read", "limit": 30, "offset": 90}).json()
    assert who["total"] == 120 and len(who["holders"]) == 30 and who["holders"][0]["user"] == "u090@x"
    assert client.get(USERS, params={"limit": "x"}).status_code == 400
    # The roles holding a permission, a page at a time, as who lists them all.
    every = client.get("/api/v1/apps/shop/who", params={"obj": "catalog", "act": "read"},
                       headers=AUTH).json()["holders"]
    pages = [client.get("/api/v1/apps/shop/holders", params={"obj": "catalog", "act": "read", "offset": n,
                                                             "limit": 2}).json() for n in (0, 2, 4)]
    assert {p["total"] for p in pages} == {len(every)} == {5}
    assert [h for p in pages for h in p["holders"]] == every
    assert client.get("/api/v1/apps/shop/holders", params={"obj": "catalog"}).status_code == 400
    assert client.post("/api/v1/apps/shop/roles/auditor/grants", json={"obj": "catalog", "act": "read"},
                       headers=AUTH).status_code == 200
    after = client.get("/api/v1/apps/shop/holders", params={"obj": "catalog", "act": "read", "limit": 2}).json()
    assert after["total"] == 6  # a page of a later version is of that version


def test_described_in_openapi(client):
    paths = client.get("/openapi.json").json()["paths"]
    assert {f"/api/v1/apps/{{app}}/users{end}" for end in ("", "/show", "/assign", "/unassign", "/check", "/who")} \
        <= set(paths) and {"/api/v1/apps/{app}/roles/{role}/explore", "/api/v1/apps/{app}/holders"} <= set(paths)
