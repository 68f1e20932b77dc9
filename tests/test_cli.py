"""The zarn-roles command line, called in process against a temporary database; a few
subprocess tests for what only a process shows (the entry point, a closed pipe, imports)."""

import io
import json
import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys

import pytest

import zarn_engine
from zarn_user.cli import main

ROOT = pathlib.Path(__file__).resolve().parent.parent
ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}


class Run:
    """Runs command lines in process; `run(*args, expect=STATUS)` returns (stdout, stderr)."""

    def __init__(self, capsys, db):
        self.capsys, self.db = capsys, db

    def __call__(self, *args, expect=0, db=True):
        self.capsys.readouterr()
        status = main((["--db", self.db] if db else []) + list(args))
        out, err = self.capsys.readouterr()
        assert status == expect, (args, status, out, err)
        return Result(out, err)


class Result:
    def __init__(self, stdout, stderr):
        self.stdout, self.stderr = stdout, stderr

    def json(self):
        return json.loads(self.stdout)


@pytest.fixture
def cli(tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.delenv("ZARN_ROLES_DB", raising=False)
    return Run(capsys, str(tmp_path / "roles.sqlite3"))


def test_session(cli, tmp_path):
    cli("init", "shop")
    cli("grant", "shop", "clerk", "order", "read", "write")
    cli("grant", "shop", "viewer", "catalog", "read")
    cli("include", "shop", "clerk", "viewer")
    cli("include", "shop", "manager", "clerk")
    refused = cli("include", "shop", "viewer", "manager", expect=1)
    assert "manager contains clerk contains viewer" in refused.stderr
    resolved = cli("--json", "resolve", "shop", "manager").json()
    assert resolved["permissions"] == [{"obj": "order", "act": "read"}, {"obj": "order", "act": "write"},
                                       {"obj": "catalog", "act": "read"}]
    why = cli("why", "shop", "manager", "catalog", "read").stdout
    assert why.strip() == "manager holds catalog:read through manager -> clerk -> viewer (granted to viewer)"
    assert "does not hold" in cli("why", "shop", "viewer", "order", "read", expect=1).stdout
    assert cli("--json", "why", "shop", "manager", "order", "write").json()["path"] == ["manager", "clerk"]
    cli("set-permissions", "shop", "clerk")  # revokes everything
    assert cli("--json", "show", "shop", "clerk").json()["permissions"] == []
    assert "order" not in cli("resolve", "shop", "manager").stdout

    exported = cli("export", "shop").stdout
    (tmp_path / "shop.json").write_text(exported)
    cli("import", "copy", str(tmp_path / "shop.json"))
    assert {**cli("export", "copy").json(), "name": "shop"} == json.loads(exported)
    assert cli("list").stdout.split() == ["copy", "shop"]
    cli("delete", "copy", "--yes")
    assert cli("list").stdout.split() == ["shop"]
    cli("init", "shop", expect=1)  # exists already: refused, not bad input


@pytest.mark.parametrize("args", [
    ["show", "ghost"],
    ["init", "bad_name"],
    ["grant", "shop", "x", "o", "r"],
    ["grant", "shop", "bad name", "o", "r"],
    ["include", "shop", "clerk", "ghost"],
    ["set-sub-roles", "shop", "clerk", "ghost"],
    ["set-permissions", "shop", "clerk", "order:read"],
    ["grant", "shop", "clerk", "order:read"],
    ["grant", "shop", "clerk", " order", "read"],
    ["show", "shop", "ghost"],
    ["revoke", "shop", "ghost", "o", "r"],
    ["export", "shop", "-o", "missing/dir/out.csv"],
    ["graph", "shop", "-o", "missing/dir/out.png"],
    ["graph", "shop", "-o", "out.txt"],
    ["graph", "shop", "-o", "out.dot", "--format", "mermaid"],
    ["import", "shop", "dry.csv", "--dry-run"],
    ["resolve", "shop", "ghost"],
    ["why", "shop", "ghost", "o", "r"],
    ["import", "shop", "missing.csv"],
    ["import", "shop", "malformed.csv"],
    ["import", "shop", "badname.csv"],
    ["import", "shop", "broken.json"],
    ["import", "bad_app", "good.csv"],
    ["delete", "shop"],  # not on a terminal: --yes needed
    ["no-such-command"],
    ["grant", "shop"],
])
def test_bad_input_writes_nothing(cli, tmp_path, args):
    cli("init", "shop")
    cli("grant", "shop", "clerk", "order", "read")
    (tmp_path / "malformed.csv").write_text("p, clerk, order\n")
    (tmp_path / "badname.csv").write_text("p, clerk, o, r\ng, clerk, a\n")
    (tmp_path / "broken.json").write_text("{not json")
    (tmp_path / "dry.csv").write_text("p, clerk, o, r, deny\n")
    (tmp_path / "good.csv").write_text("p, clerk, o, r\n")
    before = cli("export", "shop").stdout, cli("list").stdout, sorted(os.listdir(tmp_path))
    r = cli(*args, expect=2)
    assert r.stderr.count("\n") == 1 and r.stderr.startswith("zarn-roles: ")
    assert (cli("export", "shop").stdout, cli("list").stdout, sorted(os.listdir(tmp_path))) == before


def test_stores_that_do_not_exist(cli, tmp_path):
    for args in (["list"], ["show", "shop"], ["export", "shop"], ["names"]):
        assert "there is no database at ./typo.sqlite3" in cli("--db", "./typo.sqlite3", *args, expect=2, db=False).stderr
    assert "unknown store mysql://" in cli("--db", "mysql://x/y", "list", expect=2, db=False).stderr
    assert "sqlite:///PATH" in cli("--db", "sqlite://x", "list", expect=2, db=False).stderr
    cli("--db", "missing/x.sqlite3", "init", "shop", expect=2, db=False)
    assert os.listdir(tmp_path) == []
    # A dry run of an import reads nothing that is not there, and creates nothing.
    (tmp_path / "in.csv").write_text("p, clerk, order, read\n")
    assert "1 to add" in cli("--db", "new.sqlite3", "import", "shop", "in.csv", "--dry-run", db=False).stdout
    assert sorted(os.listdir(tmp_path)) == ["in.csv"]


def test_exit_statuses_of_store_failures(cli, monkeypatch):
    """Each failure class has its own status and one line; a lost connection while saving
    says that the outcome is unknown, one while reading does not."""
    cli("init", "shop")
    cls = zarn_engine.SQLiteEngine

    def failing(error):
        def fail(*args, **kwargs):
            raise error
        return fail

    cases = [
        ("save", zarn_engine.ConnectionLost("connection to the store lost"), ["grant", "shop", "aa", "o", "r"], 4,
         "may or may not be stored"),
        ("load", zarn_engine.ConnectionLost("connection to the store lost"), ["show", "shop"], 3, "nothing written"),
        ("save", zarn_engine.ReadOnlyError("the database is read-only"), ["grant", "shop", "aa", "o", "r"], 3,
         "read-only"),
        ("keys", zarn_engine.StorageError("database is locked"), ["list"], 3, "locked"),
        ("save", zarn_engine.ConflictError("RoleMatrix 'shop' changed"), ["grant", "shop", "aa", "o", "r"], 1,
         "other writers kept changing shop"),
        ("load", zarn_engine.LoadError("RoleMatrix 'shop': policies: not a list"), ["show", "shop"], 3,
         "cannot be read"),
        ("load", RuntimeError("boom"), ["show", "shop"], 5, "internal error"),
        ("load", KeyboardInterrupt(), ["show", "shop"], 130, "interrupted"),
    ]
    # A save writes whole or as a change, a load reads the document with its changes.
    methods = {"save": ("save", "commit"), "load": ("load", "read"), "keys": ("keys",)}
    for method, error, args, status, words in cases:
        with monkeypatch.context() as m:
            for name in methods[method]:
                m.setattr(cls, name, failing(error))
            r = cli(*args, expect=status)
        assert words in r.stderr and r.stderr.count("\n") == 1 and "Traceback" not in r.stderr, (error, r.stderr)
        with monkeypatch.context() as m:
            for name in methods[method]:
                m.setattr(cls, name, failing(error))
            r = cli("--json", *args, expect=status)
        assert json.loads(r.stderr)["status"] == status
    assert "aa" not in cli("show", "shop").stdout
    help_text = cli("--help", db=False).stdout
    assert all(f"  {n}  " in help_text for n in (0, 1, 2, 3, 4))


def test_a_locked_database_is_one_line(cli, tmp_path):
    import sqlite3

    cli("init", "shop")
    db = str(tmp_path / "roles.sqlite3")
    holder = sqlite3.connect(db, isolation_level=None)
    holder.execute("BEGIN EXCLUSIVE")
    try:
        r = cli("--db", f"sqlite:///{db}?timeout=0.2", "grant", "shop", "aa", "o", "r", expect=3, db=False)
    finally:
        holder.execute("ROLLBACK")
    assert "locked" in r.stderr and r.stderr.count("nothing") == 1 and r.stderr.count("\n") == 1
    r = cli("--db", "sqlite:///x.sqlite3?bogus=1", "init", "shop", expect=2, db=False)
    assert "bogus" in r.stderr


def test_errors_in_json(cli):
    cli("init", "shop")
    r = cli("--json", "show", "shop", "ghost", expect=2)
    assert json.loads(r.stderr) == {"error": "unknown role 'ghost' in application 'shop'", "status": 2, "code": "not_found"}
    r = cli("--json", "include", "shop", "admin", "admin", expect=1)
    assert json.loads(r.stderr)["error"] == "refused: admin cannot contain itself"
    assert json.loads(cli("--json", "no-such", expect=2, db=False).stderr)["status"] == 2


def test_check_of_an_unknown_role_is_not_held(cli):
    cli("init", "shop")
    r = cli("check", "shop", "ghost", "order", "read", expect=1)
    assert r.stdout == "no: ghost does not hold order:read\n"
    assert r.stderr == "unknown role 'ghost' in application 'shop'\n"
    assert cli("--json", "check", "shop", "ghost", "order", "read", expect=1).json()["held"] is False


def test_delete_asks_on_a_terminal(cli, monkeypatch):
    class Terminal(io.StringIO):
        def isatty(self):
            return True

    cli("init", "shop")
    monkeypatch.setattr(sys, "stdin", Terminal("n\n"))
    r = cli("delete", "shop", expect=1)
    assert "delete shop (3 roles, 1 permissions)? [y/N]" in r.stderr and "not deleted" in r.stderr
    monkeypatch.setattr(sys, "stdin", Terminal("y\n"))
    cli("delete", "shop")
    assert cli("list").stdout == "(no applications)\n"


def test_graph(cli, tmp_path):
    cli("init", "shop")
    cli("grant", "shop", "clerk", "order", "read")
    cli("include", "shop", "clerk", "admin", "--allow-superuser")
    dot = cli("graph", "shop").stdout
    assert '"clerk" -> "admin";' in dot and 'label="clerk\\norder:read"' in dot
    mermaid = cli("graph", "shop", "--format", "mermaid").stdout.splitlines()
    ids = {line.split('["')[1].split("<br/>")[0].rstrip('"]'): line.split("[")[0].strip() for line in mermaid if '["' in line}
    assert f"    {ids['clerk']} --> {ids['admin']}" in mermaid
    # The format follows the file's extension.
    assert "wrote x.mmd" in cli("graph", "shop", "-o", "x.mmd").stderr
    assert (tmp_path / "x.mmd").read_text().splitlines() == mermaid
    cli("graph", "shop", "-o", "x.gv")
    assert (tmp_path / "x.gv").read_text() == dot
    picture = tmp_path / "shop.png"
    if shutil.which("dot"):
        cli("graph", "shop", "-o", str(picture))
        assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    else:
        assert "Graphviz is not installed" in cli("graph", "shop", "-o", str(picture), expect=2).stderr


@pytest.fixture
def saas(cli):
    cli("init", "saas")
    cli("grant", "saas", "viewer", "invoice", "read")
    cli("grant", "saas", "billing", "invoice", "read", "write", "refund")
    cli("include", "saas", "billing", "viewer")
    cli("include", "saas", "owner", "billing")
    return cli


def test_revoke_and_exclude(saas):
    saas("revoke", "saas", "billing", "invoice", "write")
    assert saas("--json", "show", "saas", "billing").json()["permissions"] == [
        {"obj": "invoice", "act": "read"}, {"obj": "invoice", "act": "refund"}]
    # Held only through a sub-role: nothing changes, and the message says where it comes from.
    r = saas("revoke", "saas", "owner", "invoice", "read", expect=1)
    assert "owner is not granted invoice:read directly; it holds it through owner -> billing" in r.stderr
    saas("exclude", "saas", "billing", "viewer")
    assert saas("show", "saas", "billing", "--json").json()["roles"] == []
    saas("include", "saas", "billing", "viewer")
    r = saas("exclude", "saas", "owner", "viewer", expect=1)
    assert "viewer is no direct sub-role of owner; owner contains it through owner -> billing -> viewer" in r.stderr
    assert saas("--json", "show", "saas", "owner").json()["roles"] == ["billing"]


def test_check_who_and_wildcards(saas):
    assert saas("check", "saas", "owner", "invoice", "read").stdout.strip() == "yes: owner holds invoice:read"
    assert saas("check", "saas", "viewer", "invoice", "write", expect=1).stdout.startswith("no: ")
    explained = saas("check", "saas", "admin", "invoice", "void", "--explain").stdout.strip()
    assert explained == "yes: admin holds invoice:void through admin -> root (root is granted *:*)"
    assert saas("why", "saas", "root", "x", "y").stdout.strip() == "root holds x:y directly (root is granted *:*)"
    who = saas("who", "saas", "invoice", "read", "--json").json()
    assert [(h["role"], h["path"], h["wildcard"]) for h in who] == [
        ("admin", ["admin", "root"], True), ("root", ["root"], True), ("billing", ["billing"], False),
        ("viewer", ["viewer"], False), ("owner", ["owner", "billing"], False)]
    assert [h["role"] for h in saas("who", "saas", "invoice", "read", "--no-builtin", "--json").json()] == [
        "billing", "viewer", "owner"]
    assert "wildcards" in saas("check", "--help").stdout
    # resolve and show print what is stored; resolve's text sorted by object, then action
    saas("grant", "saas", "owner", "account", "close")
    assert saas("resolve", "saas", "owner").stdout.split() == [
        "account:close", "invoice:read", "invoice:refund", "invoice:write"]


def test_names_rule_applies_where_names_are_created(cli, tmp_path):
    """A role that the API stored under a name the command line would not create can still
    be shown, checked, changed, revoked and exported."""
    cli("init", "shop")
    import zarn_user.role_matrix as rm

    engine = zarn_engine.open_engine(cli.db)
    previous = zarn_engine.use_engine(engine)
    rm.RoleMatrix.load("shop").add_role_permissions("bad name", [{"obj": " odd", "act": "read"}])
    zarn_engine.use_engine(previous)
    engine.close()
    assert "permissions:  odd:read" in cli("show", "shop", "bad name").stdout
    cli("check", "shop", "bad name", " odd", "read")
    cli("grant", "shop", "bad name", "order", "read")
    cli("revoke", "shop", "bad name", " odd", "read")
    assert cli("--json", "show", "shop", "bad name").json()["permissions"] == [{"obj": "order", "act": "read"}]
    assert "p, bad name, order, read" in cli("export", "shop", "--format", "casbin").stdout
    # Importing into the application that holds it takes the name as it is; elsewhere it is new.
    (tmp_path / "more.csv").write_text("p, bad name, order, write\n")
    cli("import", "shop", "more.csv")
    assert "invalid role name 'bad name'" in cli("import", "other", "more.csv", expect=2).stderr
    assert "invalid role name 'new name'" in cli("grant", "shop", "new name", "o", "r", expect=2).stderr


def test_role_rule_is_the_modules(rm):
    """Every name the command line creates is one the module's records take."""
    from hypothesis import given
    from hypothesis import strategies as st

    from zarn_user.core.text import role_error
    from zarn_fields import ValidationError

    @given(st.text(alphabet="ab_-9 @:\n", max_size=22))
    def agree(name):
        try:
            rm.Group(child=name, parent="root")
            module_takes = True
        except ValidationError:
            module_takes = False
        if role_error(name) is None:
            assert module_takes
        elif not name.endswith("\n"):
            assert not module_takes

    agree()


# --- import -------------------------------------------------------------------------------


def test_casbin_round_trip_and_cycles_all_or_nothing(cli, tmp_path):
    csv = "p, boss, users, write\np, staff, users, read\ng, boss, staff\ng, staff, boss\n\np, staff, docs, read\n"
    (tmp_path / "in.csv").write_text(csv)
    message = "in.csv:4: refused: boss cannot become a sub-role of staff, since boss contains staff"
    # Dry run and real run end alike; without --skip-refused nothing is written.
    r = cli("import", "acme", "in.csv", "--dry-run", expect=1)
    assert "would refuse in.csv:4: g, staff, boss" in r.stdout and "a real run writes nothing" in r.stderr
    r = cli("import", "acme", "in.csv", expect=1)
    assert message in r.stderr and "Nothing written: give --skip-refused" in r.stderr
    cli("export", "acme", expect=2)
    r = cli("import", "acme", "in.csv", "--skip-refused", expect=1)
    assert message in r.stderr and "imported 4 of 5 entries" in r.stdout
    out = cli("export", "acme", "--format", "casbin").stdout
    assert out.splitlines() == ["p, boss, users, write", "p, staff, users, read", "p, staff, docs, read",
                                "g, boss, staff"]
    (tmp_path / "again.csv").write_text(out)
    cli("import", "acme2", "again.csv")
    assert cli("export", "acme2", "--format", "casbin").stdout == out


def test_import_reports_every_bad_line_in_order_and_writes_nothing(cli, tmp_path):
    cli("init", "shop")
    before = cli("export", "shop").stdout
    (tmp_path / "bad.csv").write_text(
        "p, alice@example.com, data1, read\n"
        "p, boss, domain1, data1, read\n"
        "g, alice, boss, domain1\n"
        "g2, data1, data_group\n"
        "p2, boss, data, read\n"
        "p, bob, data2, write, deny\n"
        "p, bob, data2, write, allow\n"
        "p, clerk, order\n"
        "g, alice, boss, 2020-01-01 00:00:00, 2030-01-01 00:00:00\n"
        "p, 1, auditors, report, read, allow\n"
        "p, 5, interns, report, read, deny\n"
        "p, r.sub.Age > 18, data, read\n"
        "p, 192.168.2.0/24, data, read\n"
        "g, user:1042, no such role\n")  # a user's role: the user id is fine, the role name is not
    err = cli("import", "shop", "bad.csv", expect=2).stderr.splitlines()
    assert [line.split("bad.csv:")[1].split(":")[0] for line in err] == [
        "1", "2", "3", "4", "5", "6", "8", "9", "11", "12", "13", "14"]
    expected = ["an e-mail or an id is no role here", "a p line with a domain", "a g line with a third field",
                "role type 'g2'", "policy type 'p2'", "a 'deny' effect is not supported", "malformed p line",
                "a time-bounded role link (from 2020-01-01 00:00:00 to 2030-01-01 00:00:00)",
                "a priority column and a 'deny' effect are not supported", "an ABAC expression as subject",
                "an IP address or range as subject", "invalid role name 'no such role'"]
    for line, words in zip(err, expected):
        assert words in line, (line, words)
    assert cli("export", "shop").stdout == before
    (tmp_path / "bad.json").write_text('{"policies": [{"sub": "aa", "obj": "o", "act": "r"}, {"sub": "aa", "obj": "o"}],'
                                       ' "groups": [5]}')
    err = cli("import", "shop", "bad.json", expect=2).stderr
    assert "policies entry 2: missing 'act'" in err and "groups entry 1: expected an object" in err


def test_casbin_features_that_import(cli, tmp_path):
    # A byte order mark, a trailing comma, an allow effect, a priority with allow: imported,
    # each change said.
    (tmp_path / "ok.csv").write_bytes(
        "\ufeffp, viewer, dash, read\np, viewer, dash, read,\np, bob, data2, write, allow\n"
        "p, 1, auditors, report, read, allow\n".encode())
    r = cli("import", "shop", "ok.csv")
    assert r.stderr.splitlines() == [
        "note: ok.csv:2: a trailing comma: the empty last field is left out",
        "note: ok.csv:3: effect column 'allow' dropped: every permission here is an allow",
        "note: ok.csv:4: priority 1 and effect 'allow' dropped: every permission here is an allow"]
    assert cli("export", "shop", "--format", "casbin").stdout.splitlines() == [
        "p, viewer, dash, read", "p, bob, data2, write", "p, auditors, report, read"]


def test_patterns_are_flagged(cli, tmp_path):
    (tmp_path / "patterns.csv").write_text(
        "p, api_user, /v1/orders/*, GET\np, api_user, /v1/orders/:id, (GET)|(PUT)\n"
        "p, api_user, /v1/items/{id}, GET\np, root, *, *\n")
    for dry in ([], ["--dry-run"]):
        err = cli("import", "api", "patterns.csv", *dry, expect=1).stderr.splitlines()
        compared = "in Casbin; here it would be compared as literal text"
        assert err[:4] == [f"patterns.csv:1: object '/v1/orders/*' is a keyMatch or glob wildcard {compared}",
                           f"patterns.csv:2: object '/v1/orders/:id' is a keyMatch2 parameter {compared}",
                           f"patterns.csv:2: action '(GET)|(PUT)' is a regular expression (regexMatch) {compared}",
                           f"patterns.csv:3: object '/v1/items/{{id}}' is a keyMatch3/keyMatch4 parameter {compared}"]
        assert "give --literal" in err[4] and len(err) == 5
    cli("export", "api", expect=2)
    out = cli("import", "api", "patterns.csv", "--literal").stdout
    assert '"*" in 1 added line(s) means everything to check, why and who' in out
    assert cli("check", "api", "api_user", "/v1/orders/*", "GET").stdout.startswith("yes")
    cli("check", "api", "api_user", "/v1/orders/7", "GET", expect=1)


def test_builtin_roles_are_not_merged_silently(cli, tmp_path):
    (tmp_path / "admin_role.csv").write_text("p, admin, settings, write\ng, grace, admin\n")
    cli("init", "shop")
    for dry in ([], ["--dry-run"]):
        err = cli("import", "shop", "admin_role.csv", *dry, expect=1).stderr.splitlines()
        assert err[0] == "admin_role.csv:1: p, admin, settings, write: 'admin' is a built-in role of shop"
        assert err[1] == "admin_role.csv:2: g, grace, admin: 'admin' is a built-in role of shop"
        assert "admin contains root; root holds *:*" in err[2] and "--merge-builtin" in err[2]
    cli("check", "shop", "grace", "payroll", "delete", expect=1)
    # Into a new application: created without the built-in roles, admin holds what the file says.
    r = cli("import", "fresh", "admin_role.csv")
    assert "created: it holds only what the file holds" in r.stdout
    cli("check", "fresh", "grace", "payroll", "delete", expect=1)
    cli("check", "fresh", "grace", "settings", "write")
    # What the application holds already changes nothing: an export imports back.
    (tmp_path / "shop.csv").write_text(cli("export", "shop", "--format", "casbin").stdout)
    assert "imported 0 of 2 entries" in cli("import", "shop", "shop.csv").stdout
    # On purpose: merged.
    cli("import", "shop", "admin_role.csv", "--merge-builtin")
    cli("check", "shop", "grace", "payroll", "delete")


def test_import_dry_run(cli, tmp_path):
    cli("init", "shop")
    (tmp_path / "in.csv").write_text("p, clerk, order, read\ng, clerk, aa\np, aa, x, y\n")
    out = cli("import", "shop", "in.csv", "--dry-run").stdout
    assert out.splitlines() == ["would add: p, clerk, order, read", "would add: g, clerk, aa",
                                "would add: p, aa, x, y", "dry run: 3 to add, 0 to refuse, 0 already there; nothing written"]
    cli("show", "shop", "clerk", expect=2)  # nothing was written


def test_large_casbin_file(cli, tmp_path):
    """A bad line at the end of 200,000 is found, and nothing is written; a large file imports
    (bench/cli_import.py times 200,000 lines)."""
    lines = [f"p, r{n // 4}, obj{n % 7}, act{n % 4}\n" for n in range(150_000)]
    lines += [f"g, r{n}, r{n + 1}\n" for n in range(50_000)]
    (tmp_path / "big.csv").write_text("".join(lines) + "p, x, y\n")
    err = cli("import", "big", "big.csv", expect=2).stderr
    assert err == "zarn-roles: big.csv:200001: malformed p line: expected p, ROLE, OBJECT, ACTION (got 2 fields)\n"
    assert os.listdir(tmp_path) == ["big.csv"]
    (tmp_path / "big.csv").write_text("".join(lines[:15_000] + lines[-5_000:]))
    assert "imported 20000 of 20000 entries" in cli("import", "big", "big.csv").stdout
    assert cli("check", "big", "r0", "obj3", "act3").stdout.startswith("yes")


# --- options, files, completion -----------------------------------------------------------


def test_options_anywhere_environment_and_output_files(cli, tmp_path, monkeypatch):
    db = str(tmp_path / "env.sqlite3")
    monkeypatch.setenv("ZARN_ROLES_DB", db)
    cli("init", "shop", db=False)
    monkeypatch.delenv("ZARN_ROLES_DB")
    assert cli("show", "shop", "--json", "--db", db, db=False).json()[0]["name"] == "admin"
    assert cli("--json", "--db", db, "list", db=False).json() == ["shop"]
    assert cli("--db", db, "export", "shop", "-o", "out.json", db=False).stderr == "wrote out.json\n"
    assert json.loads((tmp_path / "out.json").read_text())["name"] == "shop"
    r = cli("--db", db, "include", "shop", "admin", "admin", expect=1, db=False)
    assert r.stderr == "refused: admin cannot contain itself\n"
    assert cli("--version", db=False).stdout.startswith("zarn-roles ")


def test_completion_offers_names_from_the_database(cli):
    cli("init", "shop")
    cli("grant", "shop", "clerk", "order", "read")
    assert cli("names").stdout.split() == ["shop"]
    assert cli("names", "shop").stdout.split() == ["admin", "root", "clerk", "public"]
    for shell in ("bash", "zsh"):
        script = cli("completion", shell, db=False).stdout
        assert "_zarn_roles_roles" in script and "names" in script
    assert not [line for line in cli("--help", db=False).stdout.splitlines() if line.split()[:1] == ["names"]]


@pytest.mark.skipif(not shutil.which("bash"), reason="bash is not installed")
def test_bash_completion_reads_the_database(cli, tmp_path):
    cli("init", "shop")
    cli("grant", "shop", "clerk", "order", "read")
    script = tmp_path / "complete.bash"
    script.write_text(cli("completion", "bash", db=False).stdout)
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "zarn-roles").write_text(f"#!/bin/sh\nexec {sys.executable} -m zarn_user.cli \"$@\"\n")
    (bin_dir / "zarn-roles").chmod(0o755)
    probe = (f"source {script}; COMP_WORDS=(zarn-roles --db {cli.db} show shop cl); COMP_CWORD=5; "
             f"_zarn_roles_roles cl; COMP_WORDS=(zarn-roles --db {cli.db} show s); COMP_CWORD=4; _zarn_roles_apps s")
    r = subprocess.run(["bash", "-c", probe], capture_output=True, text=True, timeout=60,
                       env={**ENV, "PATH": f"{bin_dir}{os.pathsep}{ENV['PATH']}"})
    assert r.stdout.split() == ["clerk", "shop"], r.stderr


# --- what a user sees ---------------------------------------------------------------------


def replay(transcript, run):
    """Runs every `$ zarn-roles ...` line of a transcript (optionally ending in
    `|| echo "exit status $?"` or `&& echo TEXT`) and returns the transcript it makes:
    what follows each command line is what it printed, both streams as a terminal shows
    them. Other `$` lines and `#` lines are kept as they are."""
    made = []
    for line in transcript.splitlines():
        if not line.startswith("$ zarn-roles "):
            if line.startswith(("$ ", "#")) or not line:
                made.append(line)
            continue
        made.append(line)
        words = shlex.split(line[2:])
        tail = []
        for op in ("||", "&&"):
            if op in words:
                words, tail = words[:words.index(op)], words[words.index(op):]
        status, printed = run(words[1:])
        made += printed.splitlines()
        if tail == ["||", "echo", "exit status $?"] and status:
            made.append(f"exit status {status}")
        elif tail[:2] == ["&&", "echo"] and not status:
            made.append(" ".join(tail[2:]))
    return "\n".join(made)


@pytest.fixture
def terminal():
    """Runs a command line in process; (status, both streams as one)."""
    def run(argv):
        saved, stream = (sys.stdout, sys.stderr), io.StringIO()
        sys.stdout = sys.stderr = stream
        try:
            status = main(argv)
        finally:
            sys.stdout, sys.stderr = saved
        return status, stream.getvalue()

    return run


def test_guide_session_is_what_a_user_sees(tmp_path, monkeypatch, terminal):
    guide = (ROOT / "docs" / "guides" / "operators.md").read_text()
    tour = re.search(r"```console\n(\$ zarn-roles init saas\n.*?)```", guide, re.S).group(1).rstrip("\n")
    monkeypatch.chdir(tmp_path)
    monkeypatch.delenv("ZARN_ROLES_DB", raising=False)
    assert replay(tour, terminal) == tour


def test_demo_is_what_a_user_sees(tmp_path, capsys, monkeypatch, terminal):
    assert main(["demo"]) == 0
    shown = capsys.readouterr().out.rstrip("\n")
    assert shown.endswith("# done")
    assert "manager holds review:read through manager -> editor -> writer -> reader" in shown
    tmp = re.search(r"^\$ export ZARN_ROLES_DB=(.*)/demo.sqlite3$", shown, re.M).group(1)
    assert not os.path.exists(tmp)
    # Every command the tour shows, run again by hand in a fresh folder, prints the same.
    os.mkdir(tmp_path / "t")
    again = shown.replace(tmp, str(tmp_path / "t"))
    monkeypatch.setenv("ZARN_ROLES_DB", str(tmp_path / "t" / "demo.sqlite3"))
    assert replay(again, terminal) == again


# --- processes ----------------------------------------------------------------------------


def test_entry_point_statuses_and_closed_pipe(tmp_path):
    python_m = [sys.executable, "-m", "zarn_user.cli"]
    r = subprocess.run(python_m + ["--db", "none.sqlite3", "show", "shop"], capture_output=True, text=True,
                       env=ENV, cwd=tmp_path, timeout=60)
    assert r.returncode == 2 and r.stderr.count("\n") == 1 and not os.listdir(tmp_path)
    r = subprocess.run([sys.executable, "-m", "zarn_user", "--version"], capture_output=True, text=True,
                       env=ENV, cwd=tmp_path, timeout=60)
    import zarn_user

    assert r.returncode == 0 and r.stdout.strip() == f"zarn-roles {zarn_user.__version__}" != "zarn-roles 0+unknown"
    # A reader that goes away ends the output quietly: no message, the command's own status.
    demo = subprocess.Popen(python_m + ["demo"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV,
                            cwd=tmp_path)
    assert demo.stdout.readline().startswith(b"# a bookshop")
    demo.stdout.close()
    assert demo.wait(timeout=120) == 0 and demo.stderr.read() == b""
    demo.stderr.close()


def test_version_is_the_projects():
    import tomllib

    import zarn_user

    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
    if zarn_user.__version__ == "0+unknown":
        pytest.skip("the package was not built (run from the source folder)")
    assert zarn_user.__version__ == project


def test_start_up_imports_little():
    """The module's import does not pay for package metadata or the command line, and
    --version reads no database layer."""
    code = ("import sys, zarn_user.role_matrix; print(sorted({'zarn_user.cli', 'importlib.metadata'} & "
            "set(sys.modules)))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=ENV, check=True)
    assert out.stdout.strip() == "[]"
    code = ("import sys; from zarn_user.cli import main; main(['--version']); "
            "print(sorted({'zarn_engine', 'zarn_user.role_matrix', 'importlib.metadata'} & set(sys.modules)))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=ENV, check=True)
    assert out.stdout.splitlines()[-1] == "[]"


def test_missing_framework_is_one_line(capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "zarn_engine", None)
    assert main(["list"]) == 5
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "pip install" in err


def test_every_command_on_postgresql(tmp_path, request, capsys):
    from conftest import _postgres_schema_url

    url = _postgres_schema_url(request)
    steps = [(["init", "shop"], 0), (["grant", "shop", "clerk", "order", "read"], 0),
             (["include", "shop", "boss", "clerk"], 0), (["check", "shop", "boss", "order", "read"], 0),
             (["revoke", "shop", "clerk", "order", "read"], 0), (["check", "shop", "boss", "order", "read"], 1),
             (["list"], 0), (["export", "shop", "--format", "casbin"], 0), (["delete", "shop", "--yes"], 0)]
    for args, status in steps:
        assert main(["--db", url, *args]) == status, (args, capsys.readouterr())
    capsys.readouterr()
    assert main(["--db", url, "list"]) == 0
    assert capsys.readouterr().out.strip() == "(no applications)"


def test_modules_import_one_way():
    """No circle among the package's modules, counting the imports made inside functions
    and modules named by their full name in a string (the command table's modules);
    imports for type checking only are left out."""
    import ast

    package = ROOT / "python" / "zarn_user"
    names = {".".join(p.relative_to(package.parent).with_suffix("").parts).removesuffix(".__init__"): p
             for p in package.rglob("*.py")}

    def imports(name, path):
        tree = ast.parse(path.read_text())
        skipped = {id(n) for node in ast.walk(tree) if isinstance(node, ast.If)
                   and getattr(node.test, "id", None) == "TYPE_CHECKING" for n in ast.walk(node)}
        base = name if path.name == "__init__.py" else name.rpartition(".")[0]
        for node in ast.walk(tree):
            if id(node) in skipped:
                continue
            if isinstance(node, ast.Constant) and isinstance(node.value, str):
                yield node.value
            elif isinstance(node, ast.Import):
                yield from (a.name for a in node.names)
            elif isinstance(node, ast.ImportFrom):
                parent = base
                for _ in range(node.level - 1):
                    parent = parent.rpartition(".")[0]
                module = f"{parent}.{node.module}" if node.level and node.module else (node.module or parent)
                yield module
                yield from (f"{module}.{a.name}" for a in node.names)

    graph = {name: {m for m in imports(name, path) if m in names and m != name} for name, path in names.items()}
    # A module's package runs first when it is imported; that is no edge back.
    graph = {name: {m for m in targets if not name.startswith(m + ".")} for name, targets in graph.items()}
    state: dict[str, int] = {}

    def visit(node, trail):
        state[node] = 1
        for target in sorted(graph[node]):
            assert state.get(target) != 1, " -> ".join(trail + [node, target])
            if target not in state:
                visit(target, trail + [node])
        state[node] = 2

    for name in sorted(graph):
        if name not in state:
            visit(name, [])
