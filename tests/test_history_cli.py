"""zarn-roles log, diff and --as: the change history of an application, for people."""

import datetime

import pytest

from test_cli import Run


@pytest.fixture
def cli(tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.delenv("ZARN_ROLES_DB", raising=False)
    monkeypatch.setenv("USER", "ops")
    return Run(capsys, str(tmp_path / "roles.sqlite3"))


def test_log_lists_every_change_with_who_and_what(cli):
    cli("init", "shop")
    cli("grant", "shop", "clerk", "order", "read", "write")
    cli("--as", "ann", "include", "shop", "boss", "clerk")
    cli("revoke", "shop", "clerk", "order", "write", "--as", "bob")
    log = cli("--json", "log", "shop").json()
    assert [(e["version"], e["who"]) for e in log] == [(1, "ops"), (2, "ops"), (3, "ann"), (4, "bob")]
    assert log[0]["what"] == ["whole document written"] and log[0]["change"] is None
    assert log[1]["what"] == ["grant clerk order:read", "grant clerk order:write"]
    assert log[3]["what"] == ["revoke clerk order:write"]
    assert log[3]["change"] == {"lists": {"policies": {"remove": [2], "append": []}}}
    text = cli("log", "shop").stdout
    assert "3  " in text and " ann  include boss clerk" in text
    assert [e["version"] for e in cli("--json", "log", "shop", "--since", "2").json()] == [3, 4]
    later = (datetime.datetime.now() + datetime.timedelta(minutes=5)).isoformat(timespec="seconds")
    assert cli("log", "shop", "--since", later).stdout == "(no changes logged)\n"
    assert "a version number or a time" in cli("log", "shop", "--since", "yesterday", expect=2).stderr
    assert "unknown application" in cli("log", "nothing", expect=2).stderr


def test_log_holds_users_and_counts_bulk_changes(cli, tmp_path):
    cli("init", "shop")
    cli("grant", "shop", "clerk", "order", "read")
    policy = tmp_path / "policy.csv"
    policy.write_text("".join(f"p, r{n}, doc, read\n" for n in range(7)) + "g, r1, r2\n")
    cli("--as", "importer", "import", "shop", str(policy))
    cli("--as", "ann", "assign", "shop", "alice@example.com", "clerk", "r1")
    cli("grant", "shop", "clerk", "order", "write")
    cli("--as", "bob", "unassign", "shop", "alice@example.com", "clerk")
    log = cli("--json", "log", "shop").json()
    assert [(e["document"], e["version"], e["who"]) for e in log] == [
        ("roles", 1, "ops"), ("roles", 2, "ops"), ("roles", 3, "importer"), ("users", 1, "ann"),
        ("roles", 4, "ops"), ("users", 2, "bob")]
    assert log[2]["what"] == ["8 changes at once: grant \u00d77, include \u00d71"]
    assert len(log[2]["change"]["lists"]["policies"]["append"]) == 7  # the records stay in the JSON
    assert log[5]["what"] == ["unassign alice@example.com clerk"]
    text = cli("log", "shop").stdout.splitlines()
    assert text[3].startswith("u1  ") and text[3].endswith("  ann  first assignments of users, written whole")
    assert text[5].startswith("u2  ") and text[5].endswith("  bob  unassign alice@example.com clerk")
    since = cli("--json", "log", "shop", "--since", "3").json()
    assert [(e["document"], e["version"]) for e in since] == [("users", 1), ("roles", 4), ("users", 2)]


def test_diff_shows_the_net_change_both_ways(cli):
    cli("init", "shop")
    cli("grant", "shop", "clerk", "order", "read", "write")
    cli("include", "shop", "boss", "clerk")
    cli("revoke", "shop", "clerk", "order", "write")
    cli("grant", "shop", "clerk", "order", "write")  # back again: no net change for it
    cli("exclude", "shop", "boss", "clerk")
    forward = cli("--json", "diff", "shop", "2", "5").json()
    assert forward["added"] == {"groups": [{"child": "boss", "parent": "clerk"}]} and forward["removed"] == {}
    back = cli("--json", "diff", "shop", "6", "2").json()
    assert back["added"] == {} and back["removed"] == {}
    assert cli("diff", "shop", "1", "3").stdout.splitlines() == [
        "+ policies clerk order read", "+ policies clerk order write", "+ groups boss clerk"]
    assert cli("diff", "shop", "3", "6").stdout == "- groups boss clerk\n"
    assert cli("diff", "shop", "6", "3").stdout == "+ groups boss clerk\n"
    assert cli("diff", "shop", "5", "3").stdout == "no change\n"
    assert "written whole" in cli("diff", "shop", "0", "3", expect=2).stderr
    assert "shop has no version 9 (its latest is 6)" in cli("diff", "shop", "2", "9", expect=2).stderr
