"""The FastAPI guard, through FastAPI's TestClient on each store."""

import threading

import pytest
from fastapi import APIRouter, Depends, FastAPI, Header
from fastapi.testclient import TestClient

import zarn_engine
from webapps import build_shop, elsewhere
from zarn_user.fastapi import RoleGuard


def roles_header(x_roles: str | None = Header(None)):
    return x_roles.split(",") if x_roles else None


def user_header(x_user: str | None = Header(None)):
    return x_user


def make_app(guard, debug=False):
    app = FastAPI(debug=debug)
    router = APIRouter(dependencies=[Depends(guard.require("invoice", "read"))])

    @router.get("/invoices")
    def invoices(perms=Depends(guard.permissions)):
        return perms.to_display()

    @router.post("/invoices", dependencies=[Depends(guard.require("invoice", "write")),
                                            Depends(guard.require("invoice", "read"))])
    def write():
        return {"written": True}

    app.include_router(router)

    @app.get("/open")
    def open_page(perms=Depends(guard.permissions)):
        return {"count": len(perms)}

    return app


@pytest.fixture
def shop(rm, engine):
    return build_shop(rm, engine)


@pytest.fixture
def serve():
    """A started TestClient (one event loop for all its requests), stopped afterwards."""
    clients = []

    def start(app):
        client = TestClient(app)
        client.__enter__()
        clients.append(client)
        return client

    yield start
    for client in clients:
        client.__exit__(None, None, None)


def test_roles_from_a_dependency(shop, engine, monkeypatch, serve):
    guard = RoleGuard("shop", roles=roles_header, engine=engine)
    client = serve(make_app(guard))
    counted = []
    real = guard.directory.permissions
    monkeypatch.setattr(guard.directory, "permissions", lambda *a: counted.append(a) or real(*a))

    assert client.get("/invoices").status_code == 401
    assert client.get("/invoices", headers={"x-roles": ""}).status_code == 401
    ok = client.get("/invoices", headers={"x-roles": "clerk"})
    assert ok.status_code == 200 and ok.json()["permissions"] == [{"obj": "invoice", "act": "read"}]
    refused = client.post("/invoices", headers={"x-roles": "clerk"})
    assert refused.status_code == 403 and refused.json() == {"detail": "not allowed: invoice:write is not held"}
    assert client.post("/invoices", headers={"x-roles": "ghost,billing"}).status_code == 200
    assert client.get("/invoices", headers={"x-roles": "admin"}).status_code == 200  # *:* through root
    # Three requires and a permissions dependency on one request: one answer.
    assert len(counted) == 4
    assert client.get("/open").json() == {"count": 0}  # no roles: nothing, but no refusal

    # Made-up role names never reach the matrix.
    nodes = len(guard.live.get("shop").dag)
    for n in range(300):
        assert client.get("/invoices", headers={"x-roles": f"made_up_{n}"}).status_code == 403
    assert len(guard.live.get("shop").dag) == nodes
    guard.close()


def test_user_resolved_through_assignments(shop, engine, serve):
    guard = RoleGuard("shop", user=user_header, engine=engine)
    client = serve(make_app(guard))
    assert client.get("/invoices").status_code == 401
    assert client.post("/invoices", headers={"x-user": "alice"}).status_code == 200
    assert client.get("/invoices", headers={"x-user": "stranger"}).status_code == 403
    guard.directory.assign("stranger", "clerk")
    assert client.get("/invoices", headers={"x-user": "stranger"}).status_code == 200
    assert client.post("/invoices", headers={"x-user": "stranger"}).status_code == 403
    guard.close()


def test_debug_says_what_was_looked_at(shop, engine, serve):
    guard = RoleGuard("shop", roles=roles_header, user=user_header, engine=engine)
    client = serve(make_app(guard, debug=True))
    detail = client.post("/invoices", headers={"x-roles": "clerk,nope", "x-user": "bob"}).json()["detail"]
    assert detail["reason"] == "not allowed: invoice:write is not held"
    assert detail["roles"] == ["clerk"] and detail["ignored"] == ["nope"] and detail["user"] == "bob"
    # Roles given and roles assigned add up.
    assert client.post("/invoices", headers={"x-roles": "clerk", "x-user": "alice"}).status_code == 200
    guard.close()


def test_a_revoke_elsewhere_refuses_the_next_request(rm, shop, engine, store_url, serve):
    guard = RoleGuard("shop", user=user_header, engine=engine)
    client = serve(make_app(guard))
    assert client.post("/invoices", headers={"x-user": "alice"}).status_code == 200
    if store_url == "memory:":  # no other process can reach it: another writer of this one
        rm.RoleMatrix.load("shop", engine=engine).set_role_permissions("billing", [])
    else:
        elsewhere(store_url, "revoke", "shop", "billing", "invoice", "write")
    assert client.post("/invoices", headers={"x-user": "alice"}).status_code == 403
    assert client.get("/invoices", headers={"x-user": "alice"}).status_code == 200
    if store_url != "memory:":
        elsewhere(store_url, "unassign", "shop", "alice", "owner")
        assert client.get("/invoices", headers={"x-user": "alice"}).status_code == 403
    guard.close()


def test_store_reads_leave_the_event_loop(shop, engine, monkeypatch):
    guard = RoleGuard("shop", roles=roles_header, engine=engine)
    app = make_app(guard)
    loop_threads, read_threads = set(), set()

    @app.get("/loop")
    async def loop_thread():
        loop_threads.add(threading.get_ident())
        return {}

    real = guard.live.get
    monkeypatch.setattr(guard.live, "get", lambda key: read_threads.add(threading.get_ident()) or real(key))
    with TestClient(app) as client:
        client.get("/loop")
        for _ in range(3):
            assert client.get("/invoices", headers={"x-roles": "clerk"}).status_code == 200
    assert read_threads and not (read_threads & loop_threads)
    guard.close()


def test_notify_answers_in_place_once_cached(rm, shop, engine, monkeypatch, serve):
    guard = RoleGuard("shop", roles=roles_header, engine=engine, consistency="notify")
    client = serve(make_app(guard))
    for _ in range(1000):
        if guard.live.listening:
            break
        threading.Event().wait(0.01)
    assert client.get("/invoices", headers={"x-roles": "clerk"}).status_code == 200
    threads = []
    real = guard.directory.permissions
    monkeypatch.setattr(guard.directory, "permissions", lambda *a: threads.append(a) or real(*a))
    for _ in range(50):
        assert client.get("/invoices", headers={"x-roles": "clerk"}).status_code == 200
    # Answered in place while the feed vouches for the document (all of them, on a quiet
    # machine; a starved feed thread sends a request to the thread pool, as it should).
    assert len(threads) < 25
    guard.close()


def test_a_store_failure_is_503_never_an_answer(shop, engine, monkeypatch, serve):
    guard = RoleGuard("shop", roles=roles_header, engine=engine)
    client = serve(make_app(guard))

    def broken(key):
        raise zarn_engine.ConnectionLost("the store went away")

    monkeypatch.setattr(guard.live, "get", broken)
    assert client.get("/invoices", headers={"x-roles": "clerk"}).status_code == 503
    guard.close()


def test_bad_guards_are_refused():
    with pytest.raises(TypeError):
        RoleGuard("shop")
    with pytest.raises(TypeError):
        RoleGuard("shop", roles=["clerk"])
    guard = RoleGuard("shop", roles=roles_header, engine=zarn_engine.MemoryEngine())
    with pytest.raises(ValueError):
        guard.require("", "read")
    guard.close()
