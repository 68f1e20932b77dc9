"""The history over HTTP (log pages, diffs) and the event streams: ids that are versions,
the changes in each event, replay after a reconnection, reload past the log's reach, the cap
on open streams, one watcher per application however many streams, deletion, and changes
made by another process, on a real server on 127.0.0.1."""

import asyncio
import json
import socket
import threading
import time

import pytest

pytest.importorskip("starlette", reason="the web extra is not installed: pip install '.[web]'")
httpx = pytest.importorskip("httpx", reason="the test client needs httpx: pip install '.[test]'")

import uvicorn  # noqa: E402
import zarn_engine  # noqa: E402
from starlette.testclient import TestClient  # noqa: E402

import zarn_user.role_matrix as rm  # noqa: E402
from test_web import TOKEN, cli, db  # noqa: E402,F401  (db: the shop fixture)
from webapps import elsewhere  # noqa: E402
from zarn_user.web import create_app  # noqa: E402

AUTH = {"Authorization": f"Bearer {TOKEN}"}


def compact(path):
    """Make the stored document the snapshot and drop every log entry up to it, as a store
    that keeps no changes does."""
    engine = zarn_engine.SQLiteEngine(path, keep_changes=0, keep_days=0)
    collection = rm.RoleMatrix._collection()
    data, version = engine.load(collection, "shop")
    engine.rebase(collection, "shop", data, version)
    engine.close()


@pytest.fixture
def served(db):  # noqa: F811
    """Start servers on `db` in threads: serve(**create_app options) -> (URL, the app)."""
    running = []

    def serve(**options):
        app = create_app(db, token=TOKEN, **options)
        sock = socket.socket()
        sock.bind(("127.0.0.1", 0))
        srv = uvicorn.Server(uvicorn.Config(app, log_level="warning", access_log=False,
                                            timeout_graceful_shutdown=5))
        thread = threading.Thread(target=srv.run, kwargs={"sockets": [sock]}, daemon=True)
        thread.start()
        deadline = time.monotonic() + 10
        while not srv.started and time.monotonic() < deadline:
            time.sleep(0.02)
        running.append((srv, thread, sock))
        return f"http://127.0.0.1:{sock.getsockname()[1]}", app

    yield serve
    for srv, thread, sock in running:
        srv.should_exit = True
        thread.join(10)
        assert not thread.is_alive(), "the server did not stop with streams open"
        sock.close()


def events(response):
    """The events of an open stream as (event, id, data), one at a time."""
    fields = {}
    for line in response.iter_lines():
        if not line:
            if "event" in fields:
                yield fields["event"], fields.get("id"), json.loads(fields["data"])
            fields = {}
        elif not line.startswith(":"):
            name, _, value = line.partition(": ")
            fields[name] = value


def grant(http, role, obj, act):
    r = http.post(f"/api/v1/apps/shop/roles/{role}/grants", json={"obj": obj, "act": act}, headers=AUTH)
    assert r.status_code == 200, r.text
    return r.json()["version"]


# --- the history over HTTP ----------------------------------------------------------------


def test_log_pages_both_ways_and_diff(db):  # noqa: F811
    with TestClient(create_app(db, token=TOKEN, allow_hosts=["testserver"])) as client:
        latest = client.get("/api/v1/apps/shop").json()["version"]
        page = client.get("/api/v1/apps/shop/log", params={"limit": 2}).json()
        assert page["version"] == latest and [e["version"] for e in page["entries"]] == [latest, latest - 1]
        assert page["before"] == latest - 1 and page["entries"][0]["what"] == ["include manager clerk"]
        seen = [e["version"] for e in page["entries"]]
        while page["before"] is not None:
            page = client.get("/api/v1/apps/shop/log", params={"limit": 2, "before": page["before"]}).json()
            seen += [e["version"] for e in page["entries"]]
        assert seen == list(range(latest, 0, -1))
        forward = client.get("/api/v1/apps/shop/log", params={"since": 1, "limit": 3}).json()
        assert [e["version"] for e in forward["entries"]] == [2, 3, 4] and forward["since"] == 4
        last = client.get("/api/v1/apps/shop/log", params={"since": 4}).json()
        assert [e["version"] for e in last["entries"]] == [5] and last["since"] is None
        assert client.get("/api/v1/apps/shop/log", params={"since": latest}).json()["entries"] == []
        entry = forward["entries"][0]
        assert entry["change"]["lists"]["policies"]["append"] == [
            {"sub": "clerk", "obj": "order", "act": "read"}, {"sub": "clerk", "obj": "order", "act": "write"}]
        assert entry["time"].endswith("+00:00") and "who" in entry

        d = client.get("/api/v1/apps/shop/diff", params={"from": 3, "to": 5})
        assert d.status_code == 200 and d.headers["etag"] == f'"{latest}"'
        assert d.json()["added"] == {"groups": [{"child": "clerk", "parent": "viewer"},
                                                {"child": "manager", "parent": "clerk"}]}
        assert client.get("/api/v1/apps/shop/diff", params={"from": 5, "to": 3}).json()["removed"] == \
            d.json()["added"]
        for params, status in [({"from": 0, "to": 2}, 410), ({"from": 2, "to": 99}, 404), ({"from": 2}, 400),
                               ({"from": "-1", "to": 2}, 400), ({"from": "x", "to": 2}, 400)]:
            assert client.get("/api/v1/apps/shop/diff", params=params).status_code == status, params
        between = client.get("/api/v1/apps/shop/log", params={"since": 1, "before": 4}).json()["entries"]
        assert [e["version"] for e in between] == [2, 3]
        for params, status in [({"limit": 0}, 400), ({"limit": 501}, 400), ({"since": 99}, 404),
                               ({"before": "1e3"}, 400)]:
            assert client.get("/api/v1/apps/shop/log", params=params).status_code == status, params
        assert client.get("/api/v1/apps/nope/log").status_code == 404
        assert client.get("/api/v1/apps/nope/diff", params={"from": 1, "to": 2}).status_code == 404

        compact(db)
        gone = client.get("/api/v1/apps/shop/log", params={"since": 1})
        assert gone.status_code == 410 and gone.json()["code"] == "log_gone" and gone.json()["oldest"] == latest
        assert client.get("/api/v1/apps/shop/diff", params={"from": 2, "to": 4}).status_code == 410
        assert client.get("/api/v1/apps/shop/log").json()["entries"] == []


# --- event streams ----------------------------------------------------------------------------


def test_events_carry_versions_and_changes_and_replay_what_was_missed(served, db):  # noqa: F811
    url, _ = served()
    with httpx.Client(base_url=url, timeout=10) as http:
        with http.stream("GET", "/api/v1/apps/shop/events") as r:
            stream = events(r)
            kind, ident, data = next(stream)
            start = data["version"]
            assert (kind, ident, data["changes"]) == ("version", str(start), [])
            grant(http, "clerk", "report", "read")
            kind, ident, data = next(stream)
            assert (kind, ident, data["version"]) == ("version", str(start + 1), start + 1)
            assert [c["what"] for c in data["changes"]] == [["grant clerk report:read"]]
            assert data["changes"][0]["who"] == "web" and data["etag"] == f'"{start + 1}"'
            # A change made by another engine on the same file (the command line in process).
            assert cli(db, "include", "shop", "boss", "clerk")[0] == 0
            assert next(stream)[2]["changes"][0]["what"] == ["include boss clerk"]

        # Gone for three changes: coming back with the last id gives exactly those.
        for n in range(3):
            grant(http, "clerk", "page", f"p{n}")
        with http.stream("GET", "/api/v1/apps/shop/events", headers={"Last-Event-ID": str(start + 2)}) as r:
            kind, ident, data = next(events(r))
            assert (kind, ident) == ("version", str(start + 5))
            assert [c["version"] for c in data["changes"]] == [start + 3, start + 4, start + 5]
            assert [c["what"] for c in data["changes"]] == [[f"grant clerk page:p{n}"] for n in range(3)]
        # b"\xb2", a superscript two: a digit to str.isdigit() that int() refuses.
        for last, reason in [(start + 9, "ahead"), ("soon", "not a version"), (b"\xb2", "not a version")]:
            value = last if isinstance(last, bytes) else str(last)
            with http.stream("GET", "/api/v1/apps/shop/events", headers={"Last-Event-ID": value}) as r:
                kind, ident, data = next(events(r))
                assert (kind, ident) == ("reload", str(start + 5)) and reason in data["reason"]
        # Past the log's reach (the store compacted it): reload.
        compact(db)
        with http.stream("GET", "/api/v1/apps/shop/events", headers={"Last-Event-ID": str(start)}) as r:
            kind, ident, data = next(events(r))
            assert (kind, ident) == ("reload", str(start + 5)) and "no longer reaches back" in data["reason"]


def test_one_watcher_reads_each_change_once_for_every_stream(served):
    url, app = served()
    hub = app.state.events

    async def run():
        async with httpx.AsyncClient(base_url=url, timeout=10) as http:
            async def listen(ready, results):
                async with http.stream("GET", "/api/v1/apps/shop/events") as r:
                    stream = r.aiter_lines()
                    got = []
                    async for line in stream:
                        if line.startswith("id: "):
                            got.append(int(line[4:]))
                            if len(got) == 1:
                                ready.release()
                            if len(got) == 3:
                                break
                    results.append(got)

            ready, results = asyncio.Semaphore(0), []
            tasks = [asyncio.ensure_future(listen(ready, results)) for _ in range(20)]
            for _ in range(20):
                await asyncio.wait_for(ready.acquire(), 10)
            assert hub.open_streams == 20 and list(hub.watchers) == ["shop"]
            reads = hub.reads
            v1 = (await http.post("/api/v1/apps/shop/roles/clerk/grants", json={"obj": "a", "act": "b"},
                                  headers=AUTH)).json()["version"]
            await asyncio.sleep(0.5)  # all streams have it
            assert hub.reads - reads == 1
            v2 = (await http.post("/api/v1/apps/shop/roles/clerk/grants", json={"obj": "a", "act": "c"},
                                  headers=AUTH)).json()["version"]
            await asyncio.wait_for(asyncio.gather(*tasks), 10)
            assert results == [[v1 - 1, v1, v2]] * 20
            assert hub.reads - reads == 2

    asyncio.run(run())
    deadline = time.monotonic() + 5
    while (hub.open_streams or hub.watchers) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert hub.open_streams == 0 and hub.watchers == {}  # closed streams leave nothing behind


def test_the_cap_refuses_clearly_and_frees_with_closed_streams(served):
    url, _ = served(max_streams=2)
    with httpx.Client(base_url=url, timeout=10) as http:
        with http.stream("GET", "/api/v1/apps/shop/events") as a, http.stream("GET", "/api/v1/apps/shop/events"):
            first = events(a)  # held: a dropped generator closes its response
            next(first)
            refused = http.get("/api/v1/apps/shop/events")
            assert refused.status_code == 503 and refused.headers["retry-after"] == "30"
            assert refused.json()["cap"] == 2 and "at most 2" in refused.json()["error"]
        deadline = time.monotonic() + 5
        while True:  # the server notices the closed ones
            with http.stream("GET", "/api/v1/apps/shop/events") as r:
                if r.status_code == 200:
                    assert next(events(r))[0] == "version"
                    break
            assert time.monotonic() < deadline
            time.sleep(0.05)


def test_deletion_and_another_process_and_a_stopping_server(served, db):  # noqa: F811
    url, app = served()
    with httpx.Client(base_url=url, timeout=20) as http:
        assert http.get("/api/v1/apps/nope/events").status_code == 404
        assert cli(db, "init", "gone")[0] == 0
        with http.stream("GET", "/api/v1/apps/gone/events") as gone, \
                http.stream("GET", "/api/v1/apps/shop/events") as shop:
            gone_events, shop_events = events(gone), events(shop)
            assert next(gone_events)[0] == "version"
            start = next(shop_events)[2]["version"]
            elsewhere(db, "grant", "shop", "clerk", "ledger", "read")  # another process
            kind, ident, data = next(shop_events)
            assert (kind, ident) == ("version", str(start + 1))
            assert data["changes"][0]["what"] == ["grant clerk ledger:read"]
            assert cli(db, "delete", "gone", "--yes")[0] == 0
            assert next(gone_events)[:2] == ("deleted", None)
            assert list(gone_events) == []  # and the stream ends
            # A server that stops ends its streams at once, each answer finished.
            hub = app.state.events
            hub._loop.call_soon_threadsafe(hub.close)
            assert list(shop_events) == []
        assert http.get("/api/v1/apps/shop/events").status_code == 503


def test_serve_ends_open_streams_when_it_stops(db):  # noqa: F811
    import signal
    import subprocess
    import sys

    from webapps import ENV

    server = subprocess.Popen([sys.executable, "-m", "zarn_user.cli", "--db", db, "serve", "--port", "0"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=ENV)
    try:
        url = server.stdout.readline().split()[2].rstrip("/")
        with httpx.Client(base_url=url, timeout=10) as http:
            with http.stream("GET", "/api/v1/apps/shop/events") as r:
                stream = events(r)
                assert next(stream)[0] == "version"
                server.send_signal(signal.SIGINT)
                assert list(stream) == []  # the answer ends, whole
        assert server.wait(10) == 0
    finally:
        if server.poll() is None:
            server.kill()
    err = server.stderr.read()
    assert "stopped" in err and "timeout graceful shutdown exceeded" not in err, err
