"""Reads of the HTTP API: the version each answer is computed from, `at_least`, and paging
with a limit and a cursor, walked against a plain model of the stored matrix, also while
the matrix changes between pages."""

import os
import random
import threading
import time

import pytest

if os.environ.get("CI") != "true":
    pytest.importorskip("starlette", reason="the web extra is not installed: pip install '.[web]'")

from starlette.testclient import TestClient  # noqa: E402

import zarn_engine  # noqa: E402
import zarn_user.role_matrix as rm  # noqa: E402
from zarn_user import query  # noqa: E402
from zarn_user.core import ops  # noqa: E402
from zarn_user.users import UserRoles  # noqa: E402
from zarn_user.web import create_app  # noqa: E402

TOKEN = "reads-token"
AUTH = {"Authorization": f"Bearer {TOKEN}"}
APP = "/api/v1/apps/shop"
ROLES = [f"r{n:02}" for n in range(40)]
PAIRS = [(o, a) for o in ("doc", "img", "log") for a in ("read", "write")]


def random_matrix(seed):
    """Roles over a random DAG (a role contains only later ones), random grants."""
    rnd = random.Random(seed)
    groups = [rm.Group(child=a, parent=b) for i, a in enumerate(ROLES) for b in ROLES[i + 1:] if rnd.random() < 0.06]
    policies = [rm.Policy(sub=r, obj=o, act=a) for r in ROLES for o, a in PAIRS if rnd.random() < 0.12]
    return rm.RoleMatrix(name="shop", policies=policies, groups=groups)


def model(matrix):
    """(every role, role -> the pairs it holds), by a plain walk of the stored lists."""
    subs, grants = {}, {}
    for g in matrix.groups:
        subs.setdefault(g.child, set()).add(g.parent)
    for p in matrix.policies:
        grants.setdefault(p.sub, set()).add((p.obj, p.act))
    roles = set(subs) | set(grants) | {r for s in subs.values() for r in s} | {"public"}  # (built in)
    held = {}
    for role in roles:
        seen, stack, pairs = {role}, [role], set()
        while stack:
            r = stack.pop()
            pairs |= grants.get(r, set())
            for s in subs.get(r, ()):
                if s not in seen:
                    seen.add(s)
                    stack.append(s)
        held[role] = pairs
    return roles, held


@pytest.fixture
def db(tmp_path):
    path = str(tmp_path / "roles.sqlite3")
    engine = zarn_engine.open_engine(path)
    matrix = random_matrix(7)
    matrix.save(engine=engine)
    UserRoles(app="shop").save(engine=engine)
    roles = sorted(model(matrix)[0])
    for n in range(23):
        ops.assign("shop", f"u{n:02}@x", [roles[(n * 7) % len(roles)]], engine=engine)
    engine.close()
    return path


@pytest.fixture
def client(db):
    with TestClient(create_app(db, token=TOKEN, allow_hosts=["testserver"], version_wait=0.1)) as c:
        yield c


def stored(db):
    engine = zarn_engine.open_engine(db)
    try:
        return rm.RoleMatrix.load("shop", engine=engine), UserRoles.load("shop", engine=engine)
    finally:
        engine.close()


# Every read route: (method, path, params, JSON body, a body of JSON, whether it is of the users).
READS = [
    ("GET", APP, {}, None, True, False),
    ("GET", f"{APP}/roles", {"q": "r1"}, None, True, False),
    ("GET", f"{APP}/roles/r01", {}, None, True, False),
    ("GET", f"{APP}/roles/r01/graph", {}, None, False, False),
    ("GET", f"{APP}/roles/r01/explore", {}, None, True, False),
    ("POST", f"{APP}/check", {}, {"roles": ["r01"], "obj": "doc", "act": "read"}, True, False),
    ("POST", f"{APP}/check-batch", {}, {"checks": [{"roles": ["r01"], "obj": "doc", "act": "read"}]}, True, False),
    ("POST", f"{APP}/permissions", {}, {"roles": ["r01", "r02"]}, True, False),
    ("GET", f"{APP}/who", {"obj": "doc", "act": "read"}, None, True, False),
    ("GET", f"{APP}/holders", {"obj": "doc", "act": "read"}, None, True, False),
    ("GET", f"{APP}/export", {}, None, False, False),
    ("GET", f"{APP}/export", {"format": "casbin"}, None, False, False),
    ("GET", f"{APP}/users", {}, None, True, True),
    ("GET", f"{APP}/users/show", {"user": "u01@x"}, None, True, True),
    ("POST", f"{APP}/users/check", {}, {"user": "u01@x", "obj": "doc", "act": "read"}, True, True),
    ("GET", f"{APP}/users/who", {"obj": "doc", "act": "read"}, None, True, True),
]


def test_every_read_answers_its_version_and_takes_at_least(client, db):
    # With the token: graph and export are heavy work.
    matrix, users = stored(db)
    for method, path, params, body, is_json, of_users in READS:
        version = users.version if of_users else matrix.version
        r = client.request(method, path, headers=AUTH, params=params, json=body)
        assert r.status_code == 200, (path, r.text)
        assert r.headers["etag"] == f'"{version}"', path
        if is_json:
            assert r.json()["version"] == version, path
            if of_users and path != f"{APP}/users":
                assert r.json()["matrix_version"] == matrix.version, path
        # A version held: answered; one the store never reached: 503, to try again.
        assert client.request(method, path, headers=AUTH, params={**params, "at_least": version}, json=body).status_code == 200
        r = client.request(method, path, headers=AUTH, params={**params, "at_least": version + 5}, json=body)
        assert r.status_code == 503 and r.headers["retry-after"] == "1", (path, r.text)
        assert r.json()["code"] == "version_not_reached" and f"version {version + 5}" in r.json()["error"]
        if of_users and path != f"{APP}/users":
            r = client.request(method, path, headers=AUTH, params={**params, "matrix_at_least": matrix.version + 5}, json=body)
            assert r.status_code == 503, path
        for bad in ("-1", "x", "1.5", "+3", "٣"):
            r = client.request(method, path, headers=AUTH, params={**params, "at_least": bad}, json=body)
            assert r.status_code == 400 and "at_least" in r.json()["error"], (path, bad)
    # Asked in a body instead of the query: refused, not passed over.
    r = client.post(f"{APP}/check", json={"roles": ["r01"], "obj": "doc", "act": "read", "at_least": 1})
    assert r.status_code == 400 and "query parameter" in r.json()["error"]
    # Assertions: the version of each application read.
    text = '[[check]]\napp = "shop"\nroles = ["r01"]\nobj = "doc"\nact = "read"\nexpect = true\n'
    r = client.post("/api/v1/assertions", headers=AUTH, content=text)
    assert r.status_code == 200 and r.json()["versions"] == {"shop": matrix.version}, r.text
    assert client.post("/api/v1/assertions", headers=AUTH, params={"app": "shop", "at_least": matrix.version + 5},
                       content=text).status_code == 503
    assert client.post("/api/v1/assertions", headers=AUTH, params={"at_least": 1}, content=text).status_code == 400


def test_at_least_held_is_answered_on_the_event_loop_without_reading_the_store(client):
    console = client.app.state.console
    version = client.get(APP).json()["version"]
    deadline = time.monotonic() + 5
    while console.recent("shop") is None:  # the feed's proof that nothing newer was committed
        assert time.monotonic() < deadline
        time.sleep(0.02)
    reads, asked = [], []
    engine = console.engine
    loop_thread = []
    originals = {}
    for name in ("change_token", "version", "changes_since", "load"):
        original = getattr(engine, name)
        originals[name] = original

        def counted(*args, _original=original, _name=name, **kw):
            reads.append((_name, threading.current_thread().name))
            return _original(*args, **kw)

        setattr(engine, name, counted)
    snapshot = console.snapshot

    def watched(app, at_least=None):
        if at_least is not None:
            asked.append(at_least)
        return snapshot(app, at_least)

    console.snapshot = watched
    recent = console.recent

    def held(app, at_least=None):
        loop_thread.append(threading.current_thread().name)
        return recent(app, at_least)

    console.recent = held
    try:
        for _ in range(3):
            r = client.post(f"{APP}/check", params={"at_least": version},
                            json={"roles": ["r01"], "obj": "doc", "act": "read"})
            assert r.status_code == 200 and r.json()["version"] == version
    finally:
        for name, original in originals.items():
            setattr(engine, name, original)
        console.snapshot, console.recent = snapshot, recent
    assert asked == []  # never the worker thread's way, which may wait and read
    assert loop_thread and not [name for name, thread in reads if thread in loop_thread]


def test_at_least_waits_for_a_write_of_another_engine(db):
    with TestClient(create_app(db, allow_hosts=["testserver"], version_wait=10)) as client:
        version = client.get(APP).json()["version"]
        before = {h["role"] for h in client.get(f"{APP}/who", params={"obj": "new", "act": "go"}).json()["holders"]}
        assert before == set()

        def write():
            time.sleep(0.3)
            other = zarn_engine.open_engine(db)  # another connection, as another process has
            try:
                ops.grant("shop", "r05", [("new", "go")], engine=other)
            finally:
                other.close()

        writer = threading.Thread(target=write)
        writer.start()
        try:
            r = client.get(f"{APP}/who", params={"obj": "new", "act": "go", "at_least": version + 1})
        finally:
            writer.join()
        assert r.status_code == 200 and r.json()["version"] == version + 1
        assert "r05" in {h["role"] for h in r.json()["holders"]}
        r = client.post(f"{APP}/check", params={"at_least": version + 1},
                        json={"roles": ["r05"], "obj": "new", "act": "go"})
        assert r.json()["allowed"] and r.json()["version"] == version + 1


def walk(client, method, path, items, params=None, body=None, limit=4, between=None):
    """Every item of a list, page after page by the cursors given; `between(n)` runs
    after page n."""
    out, cursor, pages = [], None, 0
    while True:
        q = {**(params or {}), "limit": limit, **({"cursor": cursor} if cursor else {})}
        r = client.request(method, path, params=q, json=body, headers=AUTH)  # some lists are heavy work
        assert r.status_code == 200, r.text
        page = r.json()
        assert len(page[items]) <= limit and page["limit"] == limit
        out.extend(page[items])
        pages += 1
        cursor = page["next"]
        if cursor is None:
            return out
        assert len(cursor) <= 4000  # as the API describes it
        assert len(page[items]) == limit
        if between:
            between(pages)


def test_pages_walk_to_exactly_the_models_lists(client, db):
    matrix, users = stored(db)
    roles, held = model(matrix)
    assert walk(client, "GET", f"{APP}/roles", "roles") == sorted(roles)
    assert walk(client, "GET", f"{APP}/roles", "roles", {"q": "R1"}) == sorted(r for r in roles if "r1" in r)
    for obj, act in PAIRS:
        found = [h["role"] for h in walk(client, "GET", f"{APP}/who", "holders", {"obj": obj, "act": act}, limit=3)]
        assert sorted(found) == sorted(r for r in roles if (obj, act) in held[r])
        assert len(found) == len(set(found))
        r = client.get(f"{APP}/who", params={"obj": obj, "act": act, "limit": 3})
        assert r.json()["total"] == len(found)
    for some in (["r00"], ["r03", "r17"], ROLES):
        found = walk(client, "POST", f"{APP}/permissions", "permissions", body={"roles": some}, limit=2)
        assert [(p["obj"], p["act"]) for p in found] == sorted(set().union(*(held.get(r, set()) for r in some)))
    index = users.index()
    assert [u["user"] for u in walk(client, "GET", f"{APP}/users", "users")] == sorted(index)
    for obj, act in PAIRS:
        found = [h["user"] for h in walk(client, "GET", f"{APP}/users/who", "holders", {"obj": obj, "act": act})]
        assert found == sorted(u for u, rs in index.items() if any((obj, act) in held.get(r, ()) for r in rs))
    # offset, as before cursors
    r = client.get(f"{APP}/holders", params={"obj": "doc", "act": "read", "offset": 2, "limit": 3}).json()
    every = client.get(f"{APP}/who", params={"obj": "doc", "act": "read", "limit": 500}).json()["holders"]
    assert r["holders"] == every[2:5] and r["offset"] == 2
    assert client.get(f"{APP}/roles", params={"offset": 5, "limit": 2}).json()["roles"] == sorted(roles)[5:7]


def test_a_change_between_pages_neither_repeats_nor_skips(client, db):
    """Each page after a change is of the newer version: every item of both versions is
    shown once, nothing else."""
    before, _ = stored(db)
    roles_before, held_before = model(before)
    changes = iter([("grant", "zz", ("doc", "read")), ("grant", "a0", ("doc", "read")),
                    ("revoke", "r39", None), ("grant", "r20", ("img", "write"))] * 10)

    def change(_page):
        kind, role, pair = next(changes)
        if kind == "grant":
            r = client.post(f"{APP}/roles/{role}/grants", json={"obj": pair[0], "act": pair[1]}, headers=AUTH)
        else:
            r = client.put(f"{APP}/roles/{role}/grants", json={"permissions": []}, headers=AUTH)
        assert r.status_code == 200, r.text

    def checked(found, old, new):
        assert len(found) == len(set(found)), found
        assert old & new <= set(found) <= old | new

    found = walk(client, "GET", f"{APP}/roles", "roles", between=change)
    after, _ = stored(db)
    roles_after, held_after = model(after)
    checked(found, roles_before, roles_after)
    assert found == sorted(found)

    obj, act = "doc", "read"
    before, _ = stored(db)
    roles_before, held_before = model(before)
    found = [h["role"] for h in walk(client, "GET", f"{APP}/who", "holders", {"obj": obj, "act": act},
                                     limit=2, between=change)]
    after, _ = stored(db)
    roles_after, held_after = model(after)
    assert after.version > before.version
    checked(found, {r for r in roles_before if (obj, act) in held_before[r]},
            {r for r in roles_after if (obj, act) in held_after[r]})

    everything = {"roles": ROLES + ["a0", "zz"]}
    found = [(p["obj"], p["act"]) for p in walk(client, "POST", f"{APP}/permissions", "permissions",
                                                body=everything, limit=1, between=change)]
    checked(found, set().union(*held_before.values()), set().union(*held_after.values()))

    def assign(page):
        ops.assign("shop", f"a{page:02}@x", ["r00"], engine=client.app.state.console.engine)

    _, users_before = stored(db)
    found = [u["user"] for u in walk(client, "GET", f"{APP}/users", "users", between=assign)]
    _, users_after = stored(db)
    checked(found, set(users_before.index()), set(users_after.index()))


def test_a_cursor_of_an_index_made_anew_is_refused(client):
    page = client.get(f"{APP}/who", params={"obj": "doc", "act": "read", "limit": 1}).json()
    assert page["next"]
    query.forget(client.app.state.console.live.get("shop"))  # as a change it cannot follow does
    assert client.post(f"{APP}/roles/r01/grants", json={"obj": "x", "act": "y"}, headers=AUTH).status_code == 200
    r = client.get(f"{APP}/who", params={"obj": "doc", "act": "read", "limit": 1, "cursor": page["next"]})
    assert r.status_code == 410 and r.json()["code"] == "cursor_expired"


def test_bad_limits_and_cursors_are_refused(client):
    roles = client.get(f"{APP}/roles", params={"limit": 2}).json()["next"]
    users = client.get(f"{APP}/users", params={"limit": 2}).json()["next"]
    who = {"obj": "doc", "act": "read"}
    for path, params in [(f"{APP}/roles", {"limit": 0}), (f"{APP}/roles", {"limit": 501}),
                         (f"{APP}/roles", {"limit": "x"}), (f"{APP}/users", {"limit": "-1"}),
                         (f"{APP}/roles", {"cursor": "nonsense!"}), (f"{APP}/roles", {"cursor": "bm9wZQ"}),
                         (f"{APP}/roles", {"cursor": users}), (f"{APP}/users", {"cursor": roles}),
                         (f"{APP}/roles", {"cursor": roles, "q": "r"}),  # another search: another list
                         (f"{APP}/roles", {"cursor": roles, "offset": 3}),
                         (f"{APP}/who", {**who, "cursor": roles}), (f"{APP}/who", {**who, "offset": "a"}),
                         (f"{APP}/users/who", {**who, "limit": 1000})]:
        r = client.get(path, params=params)
        assert r.status_code == 400 and r.json()["error"], (path, params, r.text)
    # The longest texts make cursors within the length the API describes.
    long = ["\U0001F600" * 256, "é" * 256]
    for obj in long:
        assert client.post(f"{APP}/roles/r00/grants", json={"obj": obj, "act": obj}, headers=AUTH).status_code == 200
    found = walk(client, "POST", f"{APP}/permissions", "permissions", body={"roles": ["r00"]}, limit=1)
    assert {p["obj"] for p in found} >= set(long)
    r = client.post(f"{APP}/permissions", params={"cursor": roles}, json={"roles": ["r01"]})
    assert r.status_code == 400
    first = client.post(f"{APP}/permissions", params={"limit": 1}, json={"roles": ROLES}, headers=AUTH).json()["next"]
    r = client.post(f"{APP}/permissions", params={"cursor": first}, json={"roles": ["r01"]})
    assert r.status_code == 400 and "another list" in r.json()["error"]


def test_an_answer_says_the_version_it_was_computed_from_after_a_change_in_place(client):
    """A snapshot's matrix follows changes in place: what is read from it later is labelled
    with the version it was read at, not the snapshot's."""
    from zarn_user.web import paging

    console = client.app.state.console
    old = console.snapshot("shop")
    assert client.post(f"{APP}/roles/r03/grants", json={"obj": "fresh", "act": "go"}, headers=AUTH).status_code == 200
    new = console.snapshot("shop")
    assert new.version == old.version + 1
    held, version = paging.computed(old, lambda: old.holding(["r03"], "fresh", "go"))
    assert (held is not None) == (old.matrix is new.matrix) and version == old.matrix.version
    assert old.matrix is new.matrix  # (the case this is about: the live document changed it in place)
