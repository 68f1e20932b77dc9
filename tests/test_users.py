"""Users and their roles: the assignment store, the questions over it, and the directory that
servers answer from."""

import threading

import pytest

import zarn_engine
from zarn_engine import ConflictError, Live, ValidationError
from zarn_user import users
from zarn_user.directory import Directory
from zarn_user.users import UnknownRole, UserRoles


@pytest.fixture
def shop(rm, engine):
    """An application: clerk reads invoices, billing writes them and contains clerk, owner
    contains billing; root holds *:* through the defaults."""
    m = rm.RoleMatrix.load_or_create("shop")
    m.add_role_permissions("clerk", [{"obj": "invoice", "act": "read"}])
    m.add_role_permissions("billing", [{"obj": "invoice", "act": "write"}])
    m.add_role_sub_roles("billing", ["clerk"])
    m.add_role_sub_roles("owner", ["billing"])
    return m


@pytest.mark.parametrize("user,ok", [
    ("alice@example.com", True), ("user:42", True), ("x", True), ("é 名前", True), ("a" * 256, True),
    ("", False), ("a" * 257, False), ("tab\there", False), ("nl\n", False), ("\x85next", False),
    (" alice", False), ("alice ", False), (42, False), (None, False),
])
def test_user_ids(user, ok):
    assert (users.user_error(user) is None) is ok
    if not ok:
        with pytest.raises(ValueError):
            users.check_user(user)
        if isinstance(user, str):
            with pytest.raises(ValidationError):
                users.Assignment(user=user, role="clerk")


def test_assignments_are_stored_with_versions_and_conflicts(rm, shop, engine):
    doc = UserRoles(app="shop")
    assert doc.assign("alice@example.com", ["clerk", "owner", "clerk"], shop) == ["clerk", "owner"]
    assert doc.assign("alice@example.com", ["clerk"], shop) == ["clerk", "owner"]  # nothing new: no save
    first = doc.version
    doc.assign("bob", ["billing"], shop)
    assert doc.version > first
    stored = UserRoles.load("shop", engine=engine)
    assert stored.roles_of("alice@example.com") == ["clerk", "owner"] and stored.users() == ["alice@example.com", "bob"]
    assert stored.users_with("billing") == ["bob"]

    # Refused roles change nothing: an unknown name, or one only a query made a node.
    shop.get_implicit_permissions_for_roles(["asked"])
    for bad in (["clerk", "ghost"], ["asked"]):
        with pytest.raises(UnknownRole, match=bad[-1]):
            stored.assign("carol", bad, shop)
    assert stored.roles_of("carol") == [] and stored.version == doc.version
    with pytest.raises(TypeError):
        stored.assign("carol", "clerk", shop)
    other = rm.RoleMatrix.load_or_create("other")
    with pytest.raises(ValueError, match="other"):
        stored.assign("carol", ["admin"], other)

    # Two writers from the same version: the second is refused and writes nothing.
    doc.unassign("alice@example.com", ["owner"])
    with pytest.raises(ConflictError):
        stored.assign("carol", ["clerk"], shop)
    fresh = UserRoles.load("shop", engine=engine)
    assert fresh.roles_of("alice@example.com") == ["clerk"] and fresh.roles_of("carol") == []
    assert fresh.remove_user("bob") == ["billing"]
    assert UserRoles.load("shop", engine=engine).users() == ["alice@example.com"]


def test_questions_follow_containment_and_wildcards(rm, shop):
    doc = UserRoles(app="shop")
    doc.assign("alice", ["owner"], shop)
    doc.assign("bob", ["clerk"], shop)
    doc.assign("root@x", ["admin"], shop, allow_superuser=True)
    doc.assign("pub", ["public"], shop)
    assert users.users_holding(shop, doc, "clerk") == {"alice": ["owner", "billing", "clerk"], "bob": ["clerk"]}
    assert users.users_holding(shop, doc, "root") == {"root@x": ["admin", "root"]}
    with pytest.raises(UnknownRole):
        users.users_holding(shop, doc, "ghost")

    assert users.holds(shop, doc, "alice", "invoice", "read")
    assert not users.holds(shop, doc, "bob", "invoice", "write")
    assert users.holds(shop, doc, "root@x", "anything", "at-all")  # root is granted *:*
    assert not users.holds(shop, doc, "nobody", "invoice", "read")
    assert not users.holds(shop, doc, "pub", "invoice", "read")

    found = users.why(shop, doc, "alice", "invoice", "read")
    assert found.path == ["owner", "billing", "clerk"]
    assert found.explain("invoice", "read") == \
        "alice holds invoice:read through alice -> owner -> billing -> clerk (granted to clerk)"
    assert "root is granted *:*" in users.why(shop, doc, "root@x", "x", "y").explain("x", "y")
    assert users.why(shop, doc, "bob", "invoice", "write") is None
    assert list(users.user_holdings(shop, doc, "invoice", "read")) == ["alice", "bob", "root@x"]

    # A user whose role later left the matrix holds nothing through it, and asks nothing.
    doc.assignments.append(users.Assignment(user="old", role="gone"))
    nodes = len(shop.dag)
    assert not users.holds(shop, doc, "old", "invoice", "read")
    assert len(shop.dag) == nodes


def test_directory_answers_never_grow_the_matrix_and_follow_versions(rm, shop, engine):
    d = Directory("shop", engine=engine)
    d.assign("alice", "clerk")
    live_matrix = d.matrix()
    nodes = len(live_matrix.dag)
    for n in range(200):
        d.permissions([f"made_up{n}", "clerk"], user="alice")
    assert len(live_matrix.dag) == nodes

    first = d.permissions(["clerk"])
    assert first.holds("invoice", "read") and not first.holds("invoice", "write")
    assert d.permissions("clerk").roles == first.roles == ("clerk",)  # one name, not its letters
    assert first.pairs == {("invoice", "read")} and ("invoice", "read") in first
    assert d.permissions(["ghost"]).roles == () and not d.permissions(["ghost"])

    # A change from elsewhere: the next answer is of the new version (the live instance and
    # its index are brought up to date in place; a slow request may hold another instance).
    older = rm.RoleMatrix.load("shop", engine=engine)
    writer = rm.RoleMatrix.load("shop", engine=engine)
    writer.set_role_permissions("clerk", [])
    after = d.permissions(["clerk"])
    assert not after.holds("invoice", "read") and after.version == writer.version

    # An older instance that a slow request still holds is answered from its own version,
    # with an index of its own.
    newest = d.matrix()
    assert newest is live_matrix and newest.version == writer.version
    assert d._answer(older, ["clerk"]).holds("invoice", "read")
    assert not d.permissions(["clerk"]).holds("invoice", "read")

    assert d.roles_of("alice") == ("clerk",)
    assert d.unassign("alice", "clerk") == []
    assert not d.permissions(user="alice")
    with pytest.raises(UnknownRole):
        d.assign("alice", "ghost")
    d.close()


def test_directory_answers_are_shared_safely(rm, shop, engine):
    for n in range(12):
        shop.add_role_permissions(f"r{n}", [{"obj": "o", "act": str(n)}])
    d = Directory("shop", engine=engine, cache_size=4)
    answers = [d.permissions([f"r{n}"]) for n in range(12)]
    assert [a.pairs for a in answers] == [{("o", str(n))} for n in range(12)]
    assert d.permissions(["clerk", "r1"]).pairs == {("invoice", "read"), ("o", "1")}
    assert d.permissions(["owner"]).holds_any("invoice") and not d.permissions(["r1"]).holds_any("invoice")

    errors = []

    def ask(n):
        try:
            for k in range(50):
                assert d.permissions([f"r{(n + k) % 12}"]).holds("o", str((n + k) % 12))
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=ask, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    with pytest.raises(ValueError):
        Directory("shop", engine=engine, cache_size=0)


def test_permissions_now_reads_nothing(rm, shop, engine):
    strict = Directory("shop", engine=engine)
    strict.permissions(["clerk"])
    assert strict.permissions_now(["clerk"]) is None  # strict: every answer asks the store
    shared = Live(rm.RoleMatrix, consistency="notify", engine=engine)
    d = Directory("shop", live=shared)
    try:
        for _ in range(1000):
            if shared.listening:
                break
            threading.Event().wait(0.01)
        assert d.permissions_now(["clerk"]) is None  # never read: not known yet
        for _ in range(1000):  # the store's notice of the assignments made on first use may come late
            d.permissions(["clerk"], user="alice")
            now = d.permissions_now(["clerk"], user="alice")
            if now is not None:
                break
            threading.Event().wait(0.01)
        assert now is not None and now.holds("invoice", "read")
        billing = d.permissions_now(["billing"])  # the index answers any roles in place
        assert billing is not None and billing.holds("invoice", "read")

        # A change elsewhere: once the feed has reported it, nothing is answered in place
        # until the new version is read; then the answer is the new version's.
        old = now.version
        rm.RoleMatrix.load("shop", engine=engine).set_role_permissions("clerk", [])
        for _ in range(1000):
            now = d.permissions_now(["clerk"], user="alice")
            if now is None:
                break
            assert now.version == old and now.holds("invoice", "read")
            threading.Event().wait(0.01)
        assert now is None
        fresh = d.permissions(["clerk"], user="alice")
        assert fresh.version > old and not fresh.holds("invoice", "read")
    finally:
        d.close()
        shared.close()
