"""Bounded work over HTTP: size caps (413 naming the cap), heavy work that needs a token,
heavy checks answered off the event loop, and the time a client has to send a request's
head and body (a real server on 127.0.0.1, raw sockets sending half a request)."""

import json
import socket
import threading
import time

import pytest

from test_web import AUTH, TOKEN, cli, db  # noqa: F401  (fixtures and helpers)

pytest.importorskip("starlette")
import anyio  # noqa: E402
import httpx  # noqa: E402
import uvicorn  # noqa: E402
from starlette.testclient import TestClient  # noqa: E402

import zarn_engine  # noqa: E402
from zarn_user.web import create_app, limits, timeouts  # noqa: E402

READ = "read-only-token"
CHECK = "/api/v1/apps/shop/check"


def _check(roles, obj="order", act="read"):
    return {"roles": roles, "obj": obj, "act": act}


def _refused(r, status, *words):
    body = r.json()
    assert r.status_code == status and set(body) >= {"error"} and "\n" not in body["error"], r.text
    assert all(w in body["error"] for w in words), body["error"]
    return body


# --- caps ----------------------------------------------------------------------------------


def test_requests_over_a_cap_are_refused_naming_it(db):
    caps = limits.Caps(checks=3, roles=5, assertions=2, assertion_bytes=400, import_entries=2)
    with TestClient(create_app(db, token=TOKEN, allow_hosts=["testserver"], caps=caps, max_body=4000)) as client:
        at = lambda n: {"checks": [_check(["clerk"])] * n}  # noqa: E731
        assert client.post("/api/v1/apps/shop/check-batch", json=at(3)).status_code == 200
        body = _refused(client.post("/api/v1/apps/shop/check-batch", json=at(5)), 413,
                        "check-batch takes at most 3 checks; this one has 5")
        assert body["code"] == "too_large"
        two = {"checks": [_check(["clerk", "viewer", "a1"]), _check(["a2", "a3", "a4"])]}
        _refused(client.post("/api/v1/apps/shop/check-batch", json=two), 413, "at most 5 roles", "has 6")
        assert client.post(CHECK, json=_check([f"r{i}" for i in range(5)])).status_code == 200
        _refused(client.post(CHECK, json=_check([f"r{i}" for i in range(6)])), 413,
                 "a check takes at most 5 roles; this one has 6")
        _refused(client.post("/api/v1/apps/shop/permissions", json={"roles": [f"r{i}" for i in range(9)]}), 413,
                 "permissions takes at most 5 roles; this one has 9")
        one = '[[check]]\nrole = "clerk"\nobj = "order"\nact = "read"\nexpect = true\n'
        r = client.post("/api/v1/assertions", params={"app": "shop"}, content=one * 2, headers=AUTH)
        assert r.status_code == 200 and r.json()["failed"] == 0
        _refused(client.post("/api/v1/assertions", params={"app": "shop"}, content=one * 3, headers=AUTH), 413,
                 "at most 2 assertions; this one has 3")
        _refused(client.post("/api/v1/assertions", params={"app": "shop"}, content="#" * 401, headers=AUTH), 413,
                 "at most 400 bytes; this one has 401")
        # Imports: every entry counted before anything is read into the store; nothing written.
        version = client.get("/api/v1/apps/shop").headers["etag"]
        csv = "# a comment\n\np, a1, o, r\np, a2, o, r\ng, a1, a2\n"
        doc = json.dumps({"policies": [{"sub": "a1", "obj": "o", "act": "r"}] * 2, "groups": [
            {"child": "a1", "parent": "a2"}]})
        for text, fmt in ((csv, "casbin"), (doc, "json")):
            _refused(client.post("/api/v1/apps/shop/import", params={"format": fmt}, content=text, headers=AUTH),
                     413, "an import takes at most 2 entries; this one has 3")
        assert client.get("/api/v1/apps/shop").headers["etag"] == version
        r = client.post("/api/v1/apps/shop/import", params={"format": "casbin"}, content=csv[:-10], headers=AUTH)
        assert r.status_code == 200
        # The body limit names itself, announced or counted as it arrives.
        _refused(client.post(CHECK, content=b"x" * 4001), 413, "at most 4000 bytes", "this one has 4001",
                 "--max-body")
        _refused(client.post(CHECK, content=iter([b"x" * 1000] * 5)), 413, "at most 4000 bytes")
    with pytest.raises(ValueError, match="checks"):
        limits.Caps(checks=0)


# --- heavy work and the token ----------------------------------------------------------------

# (method, path, params, body, headers): heavy whatever the caller; each answered (2xx or a 4xx
# of its own) with a token, 401 without one.
HEAVY = [
    ("GET", "/api/v1/apps/shop/export", {}, None),
    ("GET", "/api/v1/apps/shop/roles/clerk/graph", {}, None),
    ("GET", "/api/v1/apps/shop/roles/clerk/explore", {"up": "8", "down": "8", "limit": "200"}, None),
    ("POST", "/api/v1/apps/shop/import", {"dry_run": "1"}, "p, a1, o, r\n"),
    ("POST", "/api/v1/assertions", {"app": "shop"}, 'who = 1\n'),
    ("POST", CHECK, {}, json.dumps(_check([f"r{i}" for i in range(101)]))),
    ("POST", "/api/v1/apps/shop/check-batch", {}, json.dumps({"checks": [_check(["clerk"])] * 60})),
    ("POST", "/api/v1/apps/shop/permissions", {}, json.dumps({"roles": [f"r{i}" for i in range(11)]})),
    ("POST", "/api/v1/playground", {}, "# " + "x" * (64 << 10) + "\n"),
]
LIGHT = [
    ("POST", CHECK, {}, json.dumps(_check(["clerk", "viewer"]))),
    ("POST", "/api/v1/apps/shop/check-batch", {}, json.dumps({"checks": [_check(["clerk"])] * 10})),
    ("POST", "/api/v1/apps/shop/permissions", {}, json.dumps({"roles": ["clerk"]})),
    ("GET", "/api/v1/apps/shop/who", {"obj": "order", "act": "read", "limit": "50"}, None),
    ("GET", "/api/v1/apps/shop/roles/clerk/explore", {}, None),
    ("GET", "/api/v1/apps/shop/holders", {"obj": "order", "act": "read"}, None),
    ("GET", "/api/v1/apps/shop/roles/clerk", {}, None),
]


def _send(client, request, headers=None):
    method, path, params, body = request
    return client.request(method, path, params=params, content=body, headers=headers or {})


def test_heavy_work_needs_a_token_when_the_server_has_one(db):
    with TestClient(create_app(db, token=TOKEN, allow_hosts=["testserver"],
                               caps=limits.Caps(read_token=READ))) as client:
        for request in HEAVY:
            r = _send(client, request)
            body = _refused(r, 401, "heavy work, which needs the token")
            assert body["code"] == "token_needed" and r.headers["www-authenticate"].startswith("Bearer")
            _refused(_send(client, request, {"Authorization": "Bearer wrong"}), 401, "needs the token")
            for token in (TOKEN, READ):
                r = _send(client, request, {"Authorization": f"Bearer {token}"})
                assert r.status_code not in (401, 403, 413) and r.status_code < 500, (request, r.text)
        for request in LIGHT:
            assert _send(client, request).status_code == 200, request
        # The read token reads; it writes nothing.
        r = client.post("/api/v1/apps/shop/roles/clerk/grants", json={"obj": "a", "act": "b"},
                        headers={"Authorization": f"Bearer {READ}"})
        _refused(r, 401, "writes need the token")


def test_a_server_without_tokens_lets_anyone_do_heavy_work_within_the_caps(db):
    with TestClient(create_app(db, allow_hosts=["testserver"], caps=limits.Caps(roles=50))) as client:
        for request in HEAVY:
            r = _send(client, request)
            assert r.status_code not in (401, 403) and r.status_code < 500, (request, r.text)
        _refused(client.post(CHECK, json=_check([f"r{i}" for i in range(51)])), 413, "at most 50 roles")
    # With a read token only, heavy reads need it (and the server takes no writes).
    with TestClient(create_app(db, allow_hosts=["testserver"], caps=limits.Caps(read_token=READ))) as client:
        _refused(_send(client, HEAVY[0]), 401, "needs the token")
        assert _send(client, HEAVY[0], {"Authorization": f"Bearer {READ}"}).status_code == 200
        assert _send(client, LIGHT[0]).status_code == 200


def test_every_weight_is_a_size_or_a_kind():
    assert all(w is None or w == limits.HEAVY or w > 0 for w in limits.WEIGHTS.values())
    assert limits.heavy("export", 0) and not limits.heavy("roles", 10 ** 9)
    assert not limits.heavy("check", limits.LIGHT_ROLES) and limits.heavy("check", limits.LIGHT_ROLES + 1)


# --- heavy checks off the event loop -------------------------------------------------------


@pytest.mark.parametrize("big", [
    _check([f"r{i}" for i in range(5000)]),
    {"checks": [_check([f"r{i}" for i in range(200)])] * 2},  # two checks, 400 roles named
], ids=["check", "batch"])
def test_a_small_check_is_answered_while_a_huge_one_runs(db, big):
    """The huge request waits inside its work until the small one has been answered: on
    the event loop it would hold the loop, and the small one could not be answered first."""
    engine = zarn_engine.open_engine(db)
    app = create_app(engine, token=TOKEN, allow_hosts=["testserver"])
    console = app.state.console
    started, small_done = threading.Event(), threading.Event()
    order = []
    real = console.check

    def check(snap, data):
        if len(data["roles"]) > 100:
            started.set()
            small_done.wait(10)
            order.append("big") if "big" not in order else None
        return real(snap, data)

    console.check = check
    path = CHECK if "roles" in big else "/api/v1/apps/shop/check-batch"

    async def main():
        transport = httpx.ASGITransport(app=app)
        async with httpx.AsyncClient(transport=transport, base_url="http://testserver", timeout=30) as client:
            async def huge():
                r = await client.post(path, json=big, headers=AUTH)
                assert r.status_code == 200, r.text

            async def small():
                await anyio.to_thread.run_sync(started.wait, 10)
                r = await client.post(CHECK, json=_check(["clerk"]))
                assert r.json()["allowed"] is True
                order.append("small")
                small_done.set()

            async with anyio.create_task_group() as tasks:
                tasks.start_soon(huge)
                tasks.start_soon(small)

    try:
        anyio.run(main)
    finally:
        console.close()
        engine.close()
    assert order == ["small", "big"]


# --- timeouts, on a real server --------------------------------------------------------------


@pytest.fixture(params=["h11", "httptools"])
def slow_server(db, request):
    """A server with a head timeout of 0.5 s and a body timeout of 0.5 s: (port, app)."""
    pytest.importorskip(request.param)
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    app = create_app(db, token=TOKEN, body_timeout=0.5)
    srv = uvicorn.Server(uvicorn.Config(app, log_level="warning", access_log=False, timeout_graceful_shutdown=1,
                                        http=timeouts.protocol(0.5, request.param), timeout_keep_alive=5))
    thread = threading.Thread(target=srv.run, kwargs={"sockets": [sock]}, daemon=True)
    thread.start()
    deadline = time.monotonic() + 10
    while not srv.started and time.monotonic() < deadline:
        time.sleep(0.02)
    yield port, app
    srv.should_exit = True
    thread.join(10)
    sock.close()


def _talk(port, *parts, pause=0.0):
    """Sends the parts (with a pause between them), then reads until the server closes
    the connection (10 s at most): what it answered."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        for n, part in enumerate(parts):
            if n and pause:
                time.sleep(pause)
            s.sendall(part)
        got = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                return got
            got += chunk


HEAD = b"POST /api/v1/apps/shop/check HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
BODY = json.dumps(_check(["clerk"])).encode()


def test_half_sent_requests_are_cut(slow_server):
    port, _ = slow_server
    # Half a head, then nothing: 408, closed.
    got = _talk(port, HEAD)
    assert got.startswith(b"HTTP/1.1 408 ") and b"the request head did not arrive within 0.5 s" in got
    # A whole head, half a body: 408 from the application, closed.
    got = _talk(port, HEAD + b"Content-Length: %d\r\n\r\n" % len(BODY) + BODY[:5])
    assert got.startswith(b"HTTP/1.1 408 ") and b"the request body did not arrive within 0.5 s" in got
    # A connection that sends nothing is closed, without an answer.
    assert _talk(port) == b""
    # A head over 64 KiB: refused (h11 by itself, 400; httptools by the timer's count, 431), closed.
    got = _talk(port, HEAD + b"X-Long: " + b"a" * (70 << 10))
    assert got.startswith((b"HTTP/1.1 431 ", b"HTTP/1.1 400 ")) and b"408" not in got, got[:80]
    # Between requests the keep-alive timeout (5 s) governs; the next head is timed from its first byte.
    request = HEAD + b"Content-Length: %d\r\n\r\n" % len(BODY) + BODY
    got = _talk(port, request, HEAD, pause=0.8)
    assert got.startswith(b"HTTP/1.1 200 ") and got.count(b"HTTP/1.1 408 ") == 1


def test_requests_in_time_are_answered_however_long_the_work(slow_server):
    port, app = slow_server
    console = app.state.console
    real = console.check

    def slow_check(snap, data):  # longer than the head timeout (in a worker thread): nothing is cut
        if len(data["roles"]) > 300:
            time.sleep(1.0)
        return real(snap, data)

    console.check = slow_check
    slow = json.dumps(_check(["viewer", *(f"r{i}" for i in range(300))])).encode()
    request = HEAD + b"Content-Length: %d\r\n\r\n" % len(BODY) + BODY
    closing = (HEAD + b"Authorization: Bearer %s\r\nConnection: close\r\nContent-Length: %d\r\n\r\n"
               % (TOKEN.encode(), len(slow)) + slow)
    # A head in pieces, each in time; two requests on one connection, the second pipelined.
    got = _talk(port, request[:30], request[30:] + closing, pause=0.1)
    assert got.count(b"HTTP/1.1 200 ") == 2 and b" 408 " not in got


def test_serve_refuses_bad_bounds(db):
    for flags in (["--header-timeout", "0"], ["--body-timeout", "-1"], ["--max-checks", "0"]):
        status, _, err = cli(db, "serve", "--port", "0", *flags)
        assert status == 2 and flags[0] in err, err
    with pytest.raises(ValueError):
        timeouts.protocol(0)
