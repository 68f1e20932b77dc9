"""The zarn-roles command line, run in a subprocess against a temporary database."""

import json
import os
import shutil
import subprocess
import sys

import pytest

ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}


@pytest.fixture
def cli(tmp_path):
    db = str(tmp_path / "roles.sqlite3")

    def run(*args, expect=0):
        r = subprocess.run([sys.executable, "-m", "zarn_user.cli", "--db", db, *args], capture_output=True,
                           text=True, env=ENV, cwd=tmp_path, timeout=60)
        assert r.returncode == expect, (args, r.stdout, r.stderr)
        return r

    run.db = db
    return run


def test_session(cli, tmp_path):
    cli("init", "shop")
    cli("grant", "shop", "clerk", "order", "read", "write")
    cli("grant", "shop", "viewer", "catalog", "read")
    cli("include", "shop", "clerk", "viewer")
    cli("include", "shop", "manager", "clerk")
    refused = cli("include", "shop", "viewer", "manager", expect=1)
    assert "manager contains clerk contains viewer" in refused.stderr
    resolved = json.loads(cli("--json", "resolve", "shop", "manager").stdout)
    assert resolved["permissions"] == [{"obj": "order", "act": "read"}, {"obj": "order", "act": "write"},
                                       {"obj": "catalog", "act": "read"}]
    why = cli("why", "shop", "manager", "catalog", "read").stdout
    assert why.strip() == "manager holds catalog:read through manager -> clerk -> viewer (granted to viewer)"
    assert "does not hold" in cli("why", "shop", "viewer", "order", "read").stdout
    assert json.loads(cli("--json", "why", "shop", "manager", "order", "write").stdout)["path"] == ["manager", "clerk"]
    cli("set-permissions", "shop", "clerk")  # revokes everything
    assert json.loads(cli("--json", "show", "shop", "clerk").stdout)["permissions"] == []
    assert "order" not in cli("resolve", "shop", "manager").stdout

    exported = cli("export", "shop").stdout
    (tmp_path / "shop.json").write_text(exported)
    cli("import", "copy", str(tmp_path / "shop.json"))
    copy = json.loads(cli("export", "copy").stdout)
    assert {**copy, "name": "shop"} == json.loads(exported)
    assert "shop" in cli("list").stdout.split() and "copy" in cli("list").stdout.split()
    cli("delete", "copy")
    assert cli("list").stdout.split() == ["shop"]


def test_casbin_round_trip(cli, tmp_path):
    csv = "p, admin, users, write\np, staff, users, read\ng, admin, staff\ng, staff, admin\n\np, staff, docs, read\n"
    (tmp_path / "in.csv").write_text(csv)
    r = cli("import", "acme", str(tmp_path / "in.csv"), expect=1)
    assert "in.csv:4: refused: admin cannot become a sub-role of staff, since admin contains staff" in r.stderr
    out = cli("export", "acme", "--format", "casbin").stdout
    assert out.splitlines() == ["p, admin, users, write", "p, staff, users, read", "p, staff, docs, read",
                                "g, admin, staff"]
    (tmp_path / "again.csv").write_text(out)
    cli("import", "acme2", str(tmp_path / "again.csv"))
    assert cli("export", "acme2", "--format", "casbin").stdout == out


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
    ["check", "shop", "ghost", "o", "r"],
    ["revoke", "shop", "ghost", "o", "r"],
    ["who", "shop", "", "r"],
    ["export", "shop", "-o", "missing/dir/out.csv"],
    ["graph", "shop", "-o", "missing/dir/out.png"],
    ["import", "shop", "dry.csv", "--dry-run"],
    ["resolve", "shop", "ghost"],
    ["why", "shop", "ghost", "o", "r"],
    ["import", "shop", "missing.csv"],
    ["import", "shop", "malformed.csv"],
    ["import", "shop", "badname.csv"],
    ["import", "shop", "broken.json"],
    ["init", "shop"],
])
def test_bad_input_writes_nothing(cli, tmp_path, args):
    cli("init", "shop")
    cli("grant", "shop", "clerk", "order", "read")
    (tmp_path / "malformed.csv").write_text("p, clerk, order\n")
    (tmp_path / "badname.csv").write_text("p, clerk, o, r\ng, clerk, a\n")
    (tmp_path / "broken.json").write_text("{not json")
    (tmp_path / "dry.csv").write_text("p, clerk, o, r, deny\n")
    before = cli("export", "shop").stdout, cli("list").stdout
    r = cli(*args, expect=2)
    assert r.stderr.count("\n") == 1 and r.stderr.startswith("zarn-roles")
    assert (cli("export", "shop").stdout, cli("list").stdout) == before


def test_no_database_is_created_by_bad_input(tmp_path):
    r = subprocess.run([sys.executable, "-m", "zarn_user.cli", "show", "ghost"], capture_output=True, text=True,
                       env=ENV, cwd=tmp_path)
    assert r.returncode == 2 and not (tmp_path / "zarn-roles.sqlite3").exists()


def test_graph(cli, tmp_path):
    cli("init", "shop")
    cli("grant", "shop", "clerk", "order", "read")
    cli("include", "shop", "clerk", "admin")
    dot = cli("graph", "shop").stdout
    assert '"clerk" -> "admin";' in dot and 'label="clerk\\norder:read"' in dot
    mermaid = cli("graph", "shop", "--format", "mermaid").stdout.splitlines()
    ids = {line.split('["')[1].split("<br/>")[0].rstrip('"]'): line.split("[")[0].strip() for line in mermaid if '["' in line}
    assert f"    {ids['clerk']} --> {ids['admin']}" in mermaid
    picture = tmp_path / "shop.png"
    if shutil.which("dot"):
        cli("graph", "shop", "-o", str(picture))
        assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    else:
        assert "Graphviz is not installed" in cli("graph", "shop", "-o", str(picture), expect=2).stderr


def test_demo_runs_to_the_end(tmp_path):
    r = subprocess.run([sys.executable, "-m", "zarn_user.cli", "demo"], capture_output=True, text=True, env=ENV,
                       cwd=tmp_path, timeout=120)
    assert r.returncode == 0, r.stderr
    assert r.stdout.rstrip().endswith("# done")
    assert "manager holds review:read through manager -> editor -> writer -> reader" in r.stdout


def test_module_import_does_not_import_the_cli():
    code = "import sys, zarn_user.role_matrix; print('zarn_user.cli' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=ENV, check=True)
    assert out.stdout.strip() == "False"


def run_raw(args, tmp_path, env=None):
    return subprocess.run([sys.executable, "-m", "zarn_user.cli", *args], capture_output=True, text=True,
                          env={**ENV, **(env or {})}, cwd=tmp_path, timeout=60)


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
    assert json.loads(saas("--json", "show", "saas", "billing").stdout)["permissions"] == [
        {"obj": "invoice", "act": "read"}, {"obj": "invoice", "act": "refund"}]
    # Held only through a sub-role: nothing changes, and the message says where it comes from.
    r = saas("revoke", "saas", "owner", "invoice", "read", expect=1)
    assert "owner is not granted invoice:read directly; it holds it through owner -> billing" in r.stderr
    saas("exclude", "saas", "billing", "viewer")
    assert json.loads(saas("show", "saas", "billing", "--json").stdout)["roles"] == []
    saas("include", "saas", "billing", "viewer")
    r = saas("exclude", "saas", "owner", "viewer", expect=1)
    assert "viewer is no direct sub-role of owner; owner contains it through owner -> billing -> viewer" in r.stderr
    assert json.loads(saas("--json", "show", "saas", "owner").stdout)["roles"] == ["billing"]


def test_check_who_and_wildcards(saas):
    assert saas("check", "saas", "owner", "invoice", "read").stdout.strip() == "yes: owner holds invoice:read"
    assert saas("check", "saas", "viewer", "invoice", "write", expect=1).stdout.startswith("no: ")
    saas("check", "saas", "ghost", "invoice", "write", expect=2)
    explained = saas("check", "saas", "admin", "invoice", "void", "--explain").stdout.strip()
    assert explained == "yes: admin holds invoice:void through admin -> root (root is granted *:*)"
    assert saas("why", "saas", "root", "x", "y").stdout.strip() == "root holds x:y directly (root is granted *:*)"
    who = json.loads(saas("who", "saas", "invoice", "read", "--json").stdout)
    assert [(h["role"], h["path"], h["wildcard"]) for h in who] == [
        ("admin", ["admin", "root"], True), ("root", ["root"], True), ("billing", ["billing"], False),
        ("viewer", ["viewer"], False), ("owner", ["owner", "billing"], False)]
    assert "wildcards" in saas("check", "--help").stdout
    # resolve and show print what is stored; resolve's text sorted by object, then action
    saas("grant", "saas", "owner", "account", "close")
    assert saas("resolve", "saas", "owner").stdout.split() == [
        "account:close", "invoice:read", "invoice:refund", "invoice:write"]


def test_import_reports_every_bad_line_and_writes_nothing(cli, tmp_path):
    cli("init", "shop")
    before = cli("export", "shop").stdout
    (tmp_path / "bad.csv").write_text(
        "p, alice@example.com, data1, read\n"
        "p, admin, domain1, data1, read\n"
        "g, alice, admin, domain1\n"
        "g2, data1, data_group\n"
        "p2, admin, data, read\n"
        "p, bob, data2, write, deny\n"
        "p, bob, data2, write, allow\n"
        "p, clerk, order\n")
    err = cli("import", "shop", str(tmp_path / "bad.csv"), expect=2).stderr.splitlines()
    path = str(tmp_path / "bad.csv")
    assert [line.split(f"{path}:")[1].split(":")[0] for line in err] == ["2", "3", "4", "5", "6", "8", "1"]
    text = "\n".join(err)
    for words in ("domains (tenants)", "g2", "p2", "'deny' effect", "malformed p line", "alice@example.com",
                  "an email or an id is no role here"):
        assert words in text
    assert cli("export", "shop").stdout == before
    (tmp_path / "allow.csv").write_text("p, bob, data2, write, allow\n")
    r = cli("import", "shop", str(tmp_path / "allow.csv"))
    assert "effect column 'allow' dropped" in r.stderr
    (tmp_path / "bad.json").write_text('{"policies": [{"sub": "aa", "obj": "o", "act": "r"}, {"sub": "aa", "obj": "o"}],'
                                       ' "groups": [5]}')
    err = cli("import", "shop", str(tmp_path / "bad.json"), expect=2).stderr
    assert "policies entry 2: missing 'act'" in err and "groups entry 1: expected an object" in err


def test_import_dry_run(cli, tmp_path):
    cli("init", "shop")
    (tmp_path / "in.csv").write_text("p, clerk, order, read\ng, clerk, admin\ng, root, clerk\np, root, *, *\n")
    out = cli("import", "shop", str(tmp_path / "in.csv"), "--dry-run").stdout
    assert "would add: p, clerk, order, read" in out and "would add: g, clerk, admin" in out
    assert "in.csv:3: g, root, clerk" in out and "1 already there; nothing written" in out
    cli("show", "shop", "clerk", expect=2)  # nothing was written


def test_options_anywhere_environment_and_output_files(tmp_path):
    db = str(tmp_path / "env.sqlite3")
    assert run_raw(["init", "shop"], tmp_path, {"ZARN_ROLES_DB": db}).returncode == 0
    r = run_raw(["show", "shop", "--json", "--db", db], tmp_path)
    assert r.returncode == 0 and json.loads(r.stdout)[0]["name"] == "admin"
    r = run_raw(["--json", "--db", db, "list"], tmp_path)
    assert json.loads(r.stdout) == ["shop"]
    assert run_raw(["--db", db, "export", "shop", "-o", "out.json"], tmp_path).returncode == 0
    assert json.loads((tmp_path / "out.json").read_text())["name"] == "shop"
    r = run_raw(["--db", db, "include", "shop", "admin", "admin"], tmp_path)
    assert r.returncode == 1 and r.stderr.strip() == "refused: admin cannot contain itself"
    assert run_raw(["--version"], tmp_path).stdout.startswith("zarn-roles ")
    assert "complete" in run_raw(["completion", "bash"], tmp_path).stdout


def test_no_traceback(tmp_path):
    (tmp_path / "junk.sqlite3").write_bytes(b"no database here " * 200)
    for args in (["--db", "junk.sqlite3", "list"], ["--db", "missing/x.sqlite3", "init", "shop"],
                 ["--db", "postgresql://nobody@127.0.0.1:1/none", "list"]):
        r = run_raw(args, tmp_path)
        assert r.returncode == 2 and r.stderr.count("\n") == 1 and "Traceback" not in r.stderr, (args, r.stderr)
    db = str(tmp_path / "big.sqlite3")
    run_raw(["--db", db, "init", "big"], tmp_path)
    lines = "".join(f"p, r{n}, obj{n}, read\n" for n in range(3000))
    (tmp_path / "big.csv").write_text(lines)
    assert run_raw(["--db", db, "import", "big", "big.csv"], tmp_path).returncode == 0
    r = subprocess.run(f"{sys.executable} -m zarn_user.cli --db {db} export big --format casbin | head -1",
                       shell=True, capture_output=True, text=True, env=ENV, cwd=tmp_path)
    assert r.stdout == "p, root, *, *\n" and "Traceback" not in r.stderr


def test_missing_framework_is_one_line(tmp_path):
    code = "import sys; sys.modules['zarn_engine'] = None; from zarn_user.cli import main; sys.exit(main(['list']))"
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=ENV, cwd=tmp_path)
    assert r.returncode == 2 and r.stderr.count("\n") == 1 and "pip install" in r.stderr


def test_every_command_on_postgresql(tmp_path, request):
    from conftest import _postgres_schema_url

    url = _postgres_schema_url(request)
    steps = [(["init", "shop"], 0), (["grant", "shop", "clerk", "order", "read"], 0),
             (["include", "shop", "boss", "clerk"], 0), (["check", "shop", "boss", "order", "read"], 0),
             (["revoke", "shop", "clerk", "order", "read"], 0), (["check", "shop", "boss", "order", "read"], 1),
             (["list"], 0), (["export", "shop", "--format", "casbin"], 0), (["delete", "shop"], 0)]
    for args, status in steps:
        r = run_raw(["--db", url, *args], tmp_path)
        assert r.returncode == status, (args, r.stderr)
    assert run_raw(["--db", url, "list"], tmp_path).stdout.strip() == "(no applications)"


def test_python_dash_m_and_version(tmp_path):
    r = subprocess.run([sys.executable, "-m", "zarn_user", "--version"], capture_output=True, text=True,
                       env=ENV, cwd=tmp_path)
    import zarn_user

    assert r.returncode == 0 and r.stdout.strip() == f"zarn-roles {zarn_user.__version__}" != "zarn-roles 0+unknown"
