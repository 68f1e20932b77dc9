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
    assert log[1]["what"] == ["+ policies clerk order read", "+ policies clerk order write"]
    assert log[3]["what"] == ["- policies clerk order write"]
    assert log[3]["change"] == {"lists": {"policies": {"remove": [2], "append": []}}}
    text = cli("log", "shop").stdout
    assert "3  " in text and " ann  + groups boss clerk" in text
    assert [e["version"] for e in cli("--json", "log", "shop", "--since", "2").json()] == [3, 4]
    later = (datetime.datetime.now() + datetime.timedelta(minutes=5)).isoformat(timespec="seconds")
    assert cli("log", "shop", "--since", later).stdout == "(no changes logged)\n"
    assert "a version number or a time" in cli("log", "shop", "--since", "yesterday", expect=2).stderr
    assert "unknown application" in cli("log", "nothing", expect=2).stderr


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
