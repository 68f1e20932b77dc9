"""Playground files: an application and its assertions in one TOML file, run with no store
(`zarn-roles test FILE`) or against a stored application (`--db`), and written by
`export --format playground`."""

import json
import os
import random

import pytest

from zarn_user.core import playground
from zarn_user.cli import main

SHOP = """\
app = "shop"

[roles.clerk]
grants = { order = ["read"], "/reports x" = ["read"] }

[roles.manager]
grants = { order = ["write"] }
sub_roles = ["clerk"]

[roles.idle]

[users]
"alice@example.com" = ["manager"]
bob = ["clerk"]

[[check]]
role = "manager"
obj = "order"
act = "read"
expect = true

[[check]]
user = "bob"
obj = "order"
act = "write"
expect = false

[[why]]
user = "alice@example.com"
obj = "order"
act = "read"
expect = ["manager", "clerk"]

[[who]]
obj = "order"
act = "read"
users = true
expect = ["bob", "alice@example.com"]

[[check]]
role = "idle"
obj = "order"
act = "read"
expect = false

[[who]]
obj = "order"
act = "read"
expect = ["clerk", "manager"]
"""


@pytest.fixture
def run(tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.delenv("ZARN_ROLES_DB", raising=False)

    def run(*args, expect=0):
        status = main(list(args))
        captured = capsys.readouterr()
        assert status == expect, (args, captured.out, captured.err)
        return captured

    return run


def test_runs_without_a_store(run, tmp_path):
    path = tmp_path / "policy.toml"
    path.write_text(SHOP)
    assert run("test", str(path)).out == "6 assertion(s) hold\n"
    assert os.listdir(tmp_path) == ["policy.toml"]  # no database was made

    broken = (SHOP.replace('expect = ["manager", "clerk"]', 'expect = ["manager"]')
              .replace('user = "bob"\nobj = "order"\nact = "write"\nexpect = false',
                       'user = "bob"\nobj = "order"\nact = "write"\nexpect = true'))
    path.write_text(broken)
    failed = run("test", str(path), expect=1)
    assert [line for line in failed.out.splitlines() if not line.startswith("  ")] == [
        f"{path}:22: expected true, got false (check --user bob order:write)",
        f"{path}:28: expected [\"manager\"], got [\"manager\", \"clerk\"] (why --user alice@example.com order:read)"]
    assert "  alice@example.com holds order:read through alice@example.com -> manager -> clerk" in failed.out
    assert failed.err.strip() == "2 of 6 assertion(s) fail"
    results = json.loads(run("--json", "test", str(path), expect=1).out)
    assert [(r["line"], r["holds"]) for r in results] == [(16, True), (22, False), (28, False), (34, True),
                                                           (40, True), (46, True)]


BAD = {
    # application part: names, keys, sub-roles, users, a cycle
    '[roles.clerk]\ngrants = { order = ["read"] }\n[[check]]\nrole = "clerk"\nobj = "o"\nact = "a"\nexpect = true\n':
        [": no app: a file with roles", ":3: no app"],
    'app = "shop"\n[roles."a b"]\n[roles.xy]\ngrant = 1\nsub_roles = ["ghost"]\n':
        [":2: invalid role name 'a b'", ":3: unknown key 'grant'", ":3: sub-role 'ghost' is no role"],
    'app = "shop"\n[roles.aa]\nsub_roles = ["bb"]\n[roles.bb]\nsub_roles = ["aa"]\n'
    '[[check]]\nrole = "aa"\nobj = "o"\nact = "r"\nexpect = true\n':
        [":4: refused: aa cannot become a sub-role of bb"],
    'app = "shop"\n[roles.aa]\ngrants = { o = "r", "" = ["r"] }\n[users]\n" x" = ["aa"]\ny = ["nope"]\nz = "aa"\n'
    '[[who]]\nobj = "o"\nact = "r"\nexpect = []\n':
        [":2: the actions on 'o'", ":2: empty object", ":5: invalid user id ' x'", ":6: role 'nope' of user 'y'",
         ":7: the roles of user 'z'"],
    # assertions
    'app = "shop"\n[roles.aa]\n[[why]]\nrole = "aa"\nuser = "u"\nobj = "o"\nact = "r"\nexpect = 3\n'
    '[[who]]\nobj = "o"\nact = "r"\nusers = 1\nexpect = ["aa"]\n[[check]]\napp = "other"\nrole = "aa"\n'
    'obj = "o"\nact = "r"\nexpect = true\n':
        [":3: give either role", ":3: expect must be true, false, or the chain", ":9: users must be true or false",
         ":14: unknown application 'other'"],
}


def test_bad_files_name_every_line(run, tmp_path):
    path = tmp_path / "bad.toml"
    for text, reasons in BAD.items():
        path.write_text(text)
        captured = run("test", str(path), expect=2)
        lines = captured.err.removeprefix("zarn-roles: ").splitlines()
        assert len(lines) == len(reasons), (text, captured.err)
        for line, reason in zip(lines, reasons):
            assert line.startswith(f"{path}{reason}"), (line, reason)
    assert os.listdir(tmp_path) == ["bad.toml"]


def _stored_shop(run, db):
    for argv in (["init", "shop"], ["grant", "shop", "clerk", "order", "read"],
                 ["grant", "shop", "clerk", "/reports x", "read"], ["grant", "shop", "manager", "order", "write"],
                 ["include", "shop", "manager", "clerk"], ["assign", "shop", "alice@example.com", "manager"],
                 ["assign", "shop", "bob", "clerk"],
                 ["assign", "shop", "root@x", "admin", "--allow-superuser"]):  # a superuser, as asked
        run("--db", db, *argv)


def test_runs_against_a_store_with_db(run, tmp_path):
    db = str(tmp_path / "roles.sqlite3")
    path = tmp_path / "policy.toml"
    path.write_text(SHOP.replace("[roles.idle]\n", "").replace(
        'role = "idle"', 'role = "manager"').replace('expect = ["clerk", "manager"]',
                                                     'expect = ["admin", "clerk", "manager", "root"]'))
    assert "no database" in run("test", str(path), "--db", db, expect=2).err
    _stored_shop(run, db)
    run("--db", db, "revoke", "shop", "manager", "order", "write")
    failed = run("test", str(path), "--db", db, expect=1)
    assert "expected false, got true (check manager order:read)" in failed.out  # the stored answers
    run("test", str(path), expect=1)  # in memory: the file's own roles (root and admin are not there)
    path.write_text(SHOP.replace('app = "shop"', 'app = "gone"'))
    assert "unknown application 'gone'" in run("test", str(path), "--db", db, expect=2).err


def test_export_runs_its_own_assertions_and_loads_back(run, tmp_path):
    db = str(tmp_path / "roles.sqlite3")
    _stored_shop(run, db)
    exported = run("--db", db, "export", "shop", "--format", "playground").out
    path = tmp_path / "shop.toml"
    path.write_text(exported)
    assert run("test", str(path)).out.endswith("assertion(s) hold\n")
    assert run("test", str(path), "--db", db).out.endswith("assertion(s) hold\n")
    run("--db", db, "unassign", "shop", "bob", "clerk")
    assert "got [\"alice@example.com\", \"root@x\"]" in run("test", str(path), "--db", db, expect=1).out


def _random_app(seed):
    import zarn_user.role_matrix as rm
    from zarn_user.users import Assignment, UserRoles

    rnd = random.Random(seed)
    roles = [f"r{i}" for i in range(rnd.randint(2, 25))]
    objects = ["order", "/data/x y", 'q"uote', "ünï", "*", "a:b"]
    matrix = rm.RoleMatrix(name="gen", policies=[], groups=[])
    for _ in range(rnd.randint(1, 40)):
        matrix.add_role_permissions(rnd.choice(roles), [{"obj": rnd.choice(objects), "act": rnd.choice(["r", "*"])}])
    for _ in range(rnd.randint(0, 40)):
        child, parent = rnd.sample(roles, 2)
        matrix.get_implicit_permissions_for_roles([parent])  # a sub-role is a role first
        matrix.add_role_sub_roles(child, [parent])
    known = sorted({p.sub for p in matrix.policies} | {g.child for g in matrix.groups}
                   | {g.parent for g in matrix.groups})
    users = UserRoles(app="gen", assignments=[
        Assignment(user=u, role=r) for u in ["alice@example.com", "user:42", "x y"]
        for r in dict.fromkeys(rnd.sample(known, min(len(known), rnd.randint(0, 3))))])
    return matrix, users


@pytest.mark.parametrize("seed", range(12))
def test_written_file_is_the_same_application(seed, monkeypatch):
    import zarn_engine

    zarn_engine.use_engine(zarn_engine.MemoryEngine())  # the generated matrix saves as it changes
    monkeypatch.setattr(playground, "WRITTEN_PERMISSIONS", 1000)
    matrix, users = _random_app(seed)
    text = playground.write(matrix, users)
    back = playground.parse(text, "gen.toml")
    assert back.matrix is not None and back.users is not None
    assert {(p.sub, p.obj, p.act) for p in back.matrix.policies} == {(p.sub, p.obj, p.act) for p in matrix.policies}
    assert {(g.child, g.parent) for g in back.matrix.groups} == {(g.child, g.parent) for g in matrix.groups}
    assert back.users.index() == users.index()
    outcomes = playground.run(back.assertions, lambda app: back.subject())
    assert outcomes and all(o.holds for o in outcomes), [o.message("gen.toml") for o in outcomes if not o.holds]
    # The module agrees with the answers the file asserts, role by role.
    subject = back.subject()
    for role in subject.known:
        held = {(p.obj, p.act) for p in matrix.get_implicit_permissions_for_roles([role]).permissions}
        for obj, act in {(p.obj, p.act) for p in matrix.policies}:
            assert (role in subject.holdings(obj, act)) == any(
                (o == obj or o == "*") and (a == act or a == "*") for o, a in held), (role, obj, act)
    zarn_engine.use_engine(None)


def test_patterns_only_when_literal_and_written_so():
    """A Casbin pattern as an object is refused as an import refuses it, kept as text with
    `literal = true`; a file written of such an application says so and loads back."""
    text = 'app = "shop"\n[roles.clerk]\ngrants = { "/data/*" = ["read"], "cafe\u0301" = ["read"] }\n' \
           '[[who]]\nobj = "/data/*"\nact = "read"\nexpect = ["clerk"]\n'
    with pytest.raises(playground.BadFile) as refused:
        playground.parse(text, "p.toml")
    assert refused.value.lines[0].startswith("p.toml:2: object '/data/*' is a keyMatch")
    found = playground.parse("literal = true\n" + text, "p.toml")
    assert {(p.obj, p.act) for p in found.matrix.policies} == {("/data/*", "read"), ("caf\u00e9", "read")}
    written = playground.write(found.matrix, found.users)
    assert "literal = true" in written.splitlines()[1]
    assert all(o.holds for o in playground.run(playground.parse(written, "w.toml").assertions,
                                               lambda app: playground.parse(written, "w.toml").subject()))
    with pytest.raises(playground.BadFile, match="literal must be true or false"):
        playground.parse('literal = "yes"\n' + text, "p.toml")
