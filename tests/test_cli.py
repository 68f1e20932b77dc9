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
    assert "line 4: refused g, staff, admin" in r.stderr
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
    ["set-permissions", "shop", "clerk", "no-colon"],
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
    before = cli("export", "shop").stdout, cli("list").stdout
    r = cli(*args, expect=2)
    assert r.stderr.count("\n") == 1 and r.stderr.startswith("zarn-roles: ")
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
    assert "clerk --> admin" in cli("graph", "shop", "--format", "mermaid").stdout
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
