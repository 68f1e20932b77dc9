"""The user commands of zarn-roles, and users in Casbin files, run in-process."""

import json

import pytest

from zarn_user.cli import main


@pytest.fixture
def cli(tmp_path, capsys):
    db = str(tmp_path / "roles.sqlite3")

    def run(*args, expect=0):
        status = main(["--db", db, *args])
        captured = capsys.readouterr()
        assert status == expect, (args, captured.out, captured.err)
        return captured

    run.db = db
    for argv in (["init", "shop"], ["grant", "shop", "clerk", "invoice", "read"],
                 ["grant", "shop", "billing", "invoice", "write"], ["include", "shop", "billing", "clerk"],
                 ["include", "shop", "owner", "billing"]):
        run(*argv)
    return run


def test_assign_check_why_who_show(cli):
    cli("assign", "shop", "alice@example.com", "owner")
    assert cli("assign", "shop", "user:42", "clerk", "clerk").out.strip() == "user:42: clerk"
    assert "unknown role 'ghost'" in cli("assign", "shop", "bob", "clerk", "ghost", expect=2).err
    assert "bob" not in cli("who", "shop", "invoice", "read", "--users").out  # nothing written
    assert "control characters" in cli("assign", "shop", "bad\tid", "clerk", expect=2).err
    assert "unknown role 'bad name'" in cli("assign", "shop", "bob", "bad name", expect=2).err

    cli("check", "shop", "--user", "alice@example.com", "invoice", "write")
    cli("check", "shop", "invoice", "write", "--user", "user:42", expect=1)
    assert "has no roles" in cli("check", "shop", "--user", "nobody", "invoice", "read", expect=1).out
    cli("check", "shop", "clerk", "invoice", "read")  # the role form still works
    assert "ROLE or --user" in cli("check", "shop", "invoice", "read", expect=2).err
    assert "not both" in cli("check", "shop", "clerk", "invoice", "read", "--user", "x", expect=2).err
    assert cli("check", "shop", "--user", "alice@example.com", "invoice", "read", "--explain").out.strip() == (
        "yes: alice@example.com holds invoice:read through alice@example.com -> owner -> billing -> clerk "
        "(granted to clerk)")

    why = json.loads(cli("--json", "why", "shop", "--user", "user:42", "invoice", "read").out)
    assert why == {"user": "user:42", "permission": {"obj": "invoice", "act": "read"}, "held": True,
                   "path": ["clerk"], "wildcard": False}
    cli("assign", "shop", "root@x", "admin", "--allow-superuser")
    assert "root is granted *:*" in cli("why", "shop", "--user", "root@x", "any", "thing").out
    who = cli("who", "shop", "invoice", "read", "--users").out.splitlines()
    assert [line.split()[0] for line in who] == ["alice@example.com", "user:42", "root@x"]
    assert "owner holds" not in cli("who", "shop", "invoice", "write", "--users").out
    assert "owner holds invoice:write" in cli("who", "shop", "invoice", "write").out

    shown = json.loads(cli("--json", "show", "shop", "--user", "alice@example.com").out)
    assert shown == {"user": "alice@example.com", "roles": ["owner"],
                     "permissions": [{"obj": "invoice", "act": "read"}, {"obj": "invoice", "act": "write"}]}
    assert "roles:       -" in cli("show", "shop", "--user", "nobody").out


def test_unassign_says_what_it_left(cli):
    cli("assign", "shop", "alice", "owner", "clerk")
    refused = cli("unassign", "shop", "alice", "clerk", "billing", expect=1)
    assert refused.out.strip() == "alice: owner"
    assert "alice does not have role billing directly; it holds it through alice -> owner -> billing " \
           "(unassign owner)" in refused.err
    assert cli("unassign", "shop", "alice", "owner").out.strip() == "alice: (no roles)"
    cli("check", "shop", "--user", "alice", "invoice", "read", expect=1)

    # Deleting the application deletes its users: a new one of the same name has none.
    cli("assign", "shop", "alice", "owner")
    cli("delete", "shop", "--yes")
    cli("init", "shop")
    cli("grant", "shop", "owner", "invoice", "read")
    cli("check", "shop", "--user", "alice", "invoice", "read", expect=1)


def test_casbin_users_round_trip(cli, tmp_path):
    cli("assign", "shop", "alice@example.com", "owner")
    cli("assign", "shop", "alice", "clerk")  # an id that is also a valid role name
    cli("assign", "shop", "user:42", "clerk", "billing")
    exported = cli("export", "shop", "--format", "casbin").out
    path = tmp_path / "shop.csv"
    path.write_text(exported)
    summary = cli("import", "copy", str(path)).out
    assert summary.splitlines()[0] == ("imported 6 of 6 entries into copy (created: it holds only what the file"
                                       " holds); 3 users assigned")
    assert cli("export", "copy", "--format", "casbin").out == exported
    assert "0 users assigned" in cli("import", "copy", str(path)).out
    assert "alice" not in cli("show", "copy").out  # a user, not a role

    # A file from elsewhere: subjects that are no role names but user ids are users.
    (tmp_path / "in.csv").write_text("p, clerk, doc, read\ng, bob@example.com, clerk\ng, user:7, clerk\n"
                                     "g, manager, clerk\n")
    dry = cli("import", "other", str(tmp_path / "in.csv"), "--dry-run").out
    assert "would assign: bob@example.com: clerk" in dry and "nothing written" in dry
    assert json.loads(cli("--json", "import", "other", str(tmp_path / "in.csv")).out)["users_assigned"] == 2
    cli("check", "other", "--user", "user:7", "doc", "read")
    cli("check", "other", "manager", "doc", "read")

    # A user's role the import leaves undefined, or a bad user id: nothing is written.
    (tmp_path / "bad.csv").write_text("p, clerk, doc, read\ng, bob@example.com, ghost\n"
                                      "# users: g lines below give users their roles\ng, a\x01b, clerk\n")
    err = cli("import", "third", str(tmp_path / "bad.csv"), expect=2).err
    assert "bad.csv:4: invalid user id" in err
    (tmp_path / "bad.csv").write_text("p, clerk, doc, read\ng, bob@example.com, ghost\n")
    err = cli("import", "third", str(tmp_path / "bad.csv"), expect=2).err
    assert "bad.csv:2: role 'ghost' of user 'bob@example.com' is no role of third" in err
    assert "third" not in cli("list").out
