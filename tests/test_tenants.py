"""Casbin files with domains, imported as one application per domain and exported back:
PyCasbin, with the file's own model, is the oracle."""

import random
from pathlib import Path

import pytest

import zarn_engine
import zarn_user.role_matrix as rm
from zarn_user.cli import main
from zarn_user.core.holders import holdings, known_roles
from zarn_user.users import UserRoles, holds

casbin = pytest.importorskip("casbin")

MODEL = """\
[request_definition]
r = sub, dom, obj, act

[policy_definition]
p = sub, dom, obj, act

[role_definition]
g = _, _, _

[policy_effect]
e = some(where (p.eft == allow))

[matchers]
m = g(r.sub, p.sub, r.dom) && r.dom == p.dom && r.obj == p.obj && r.act == p.act
"""


# Two tenants sharing role names; users in one tenant, in two, and in two roles of one.
SAMPLES = {
    "domains.csv": "p, staff, tenant1, ledger, read\np, staff, tenant2, ledger, read\ng, carol, staff, tenant1\n",
    "domains_mixed.csv": (
        "p, staff, acme, ledger, read\np, staff, acme, ledger, write\np, manager, acme, payroll, read\n"
        "p, staff, globex, ledger, read\np, auditor, globex, payroll, read\ng, manager, staff, acme\n"
        "g, dana@acme.example, manager, acme\ng, eve, staff, globex\ng, eve, auditor, globex\n"
        "g, frank, staff, acme\n"),
}


@pytest.fixture
def cli(tmp_path, capsys):
    db = str(tmp_path / "roles.sqlite3")

    def run(*args, expect=0):
        status = main(["--db", db, *args])
        captured = capsys.readouterr()
        assert status == expect, (args, captured.out, captured.err)
        return captured

    run.db = db
    return run


def _rows(path):
    return [[c.strip() for c in line.split(",")] for line in Path(path).read_text().splitlines()
            if line.strip() and not line.startswith("#")]


def _ours(app, sub, dom, obj, act):
    """Our answer for Casbin's enforce(sub, dom, obj, act): a user through its roles, a role
    through its sub-roles, in the application of the domain."""
    name = f"{app}-{dom}"
    if name not in rm.RoleMatrix.keys():
        return False
    matrix = rm.RoleMatrix.load(name)
    try:
        users = UserRoles.load(name)
    except zarn_engine.DoesNotExist:
        users = None
    if users is not None and users.roles_of(sub):
        return holds(matrix, users, sub, obj, act)
    return sub in known_roles(matrix) and sub in holdings(matrix, obj, act)


def _agree(cli, app, policy_file, model_file):
    enforcer = casbin.Enforcer(str(model_file), str(policy_file))
    rows = _rows(policy_file)
    subjects = {r[1] for r in rows} | {r[2] for r in rows if r[0] == "g"}
    domains = {r[2] if r[0] == "p" else r[3] for r in rows}
    objects = {r[3] for r in rows if r[0] == "p"}
    actions = {r[4] for r in rows if r[0] == "p"}
    zarn_engine.connect(cli.db)
    try:
        asked = 0
        for sub in sorted(subjects):
            for dom in sorted(domains | {"elsewhere"}):
                for obj in sorted(objects):
                    for act in sorted(actions):
                        assert _ours(app, sub, dom, obj, act) == enforcer.enforce(sub, dom, obj, act), \
                            (sub, dom, obj, act)
                        asked += 1
        return asked
    finally:
        zarn_engine.get_engine().close()
        zarn_engine.use_engine(None)


@pytest.mark.parametrize("name", sorted(SAMPLES))
def test_samples_answer_as_pycasbin(cli, tmp_path, name):
    (tmp_path / name).write_text(SAMPLES[name])
    (tmp_path / "model.conf").write_text(MODEL)
    cli("import", "co", str(tmp_path / name), "--split-domains")
    assert _agree(cli, "co", tmp_path / name, tmp_path / "model.conf") > 0


def _random_file(seed):
    rnd = random.Random(seed)
    domains = [f"t{i}" for i in range(rnd.randint(1, 4))]
    roles = [f"r{i}" for i in range(rnd.randint(2, 7))]
    lines = []
    used = {}  # domain -> the roles its lines name: users get roles of their domain
    for _ in range(rnd.randint(1, 25)):
        role, domain = rnd.choice(roles), rnd.choice(domains)
        used.setdefault(domain, set()).add(role)
        lines.append(f"p, {role}, {domain}, {rnd.choice(['o1', 'o2', '/x/y'])}, {rnd.choice(['read', 'write'])}")
    for _ in range(rnd.randint(0, 15)):  # links from a later role to an earlier one: no cycle
        i, j = sorted(rnd.sample(range(len(roles)), 2))
        domain = rnd.choice(domains)
        used.setdefault(domain, set()).update((roles[i], roles[j]))
        lines.append(f"g, {roles[j]}, {roles[i]}, {domain}")
    for user in ("ann@example.com", "user:7", "bob"):  # bob is a valid role name: read as a role
        for _ in range(rnd.randint(0, 3)):
            domain = rnd.choice(sorted(used))
            lines.append(f"g, {user}, {rnd.choice(sorted(used[domain]))}, {domain}")
    rnd.shuffle(lines)
    return "\n".join(lines) + "\n"


@pytest.mark.parametrize("seed", range(8))
def test_random_files_answer_as_pycasbin_and_join_back(cli, tmp_path, seed):
    model = tmp_path / "model.conf"
    model.write_text(MODEL)
    policy = tmp_path / "policy.csv"
    policy.write_text(_random_file(seed))
    cli("import", "gen", str(policy), "--split-domains")
    _agree(cli, "gen", policy, model)
    joined = tmp_path / "joined.csv"
    cli("export", "gen", "--format", "casbin", "--join-domains", "-o", str(joined))
    cli("import", "back", str(joined), "--split-domains")
    _agree(cli, "back", policy, model)  # the joined file holds the same tenants
    written = {line for line in joined.read_text().splitlines() if not line.startswith("#")}
    assert written == set(policy.read_text().splitlines())


BAD_LINES = {
    "p, staff, acme, ledger, read\np, staff, ledger, read\ng, aa, bb\n": (2, [":2: a p line without a domain",
                                                                          ":3: a g line without a domain"]),
    "p, staff, a_b, ledger, read\np, staff, acme, o, r, deny\n": (2, [":1: domain 'a_b' makes no application",
                                                                      ":2: a 'deny' effect"]),
    "p, staff, acme, /data/*, read\n": (1, [":1: object '/data/*' is a keyMatch or glob wildcard"]),
    "g, aa, bb, t1\ng, bb, aa, t1\np, aa, t2, o, r\n": (1, [":2: refused: aa cannot become a sub-role of bb"]),
    "g, ann@x.example, ghost, t1\np, staff, t1, o, r\n": (2, [":1: role 'ghost' of user 'ann@x.example'"]),
}


def test_all_or_nothing(cli, tmp_path, monkeypatch):
    path = tmp_path / "tenants.csv"
    for text, (status, reasons) in BAD_LINES.items():
        path.write_text(text)
        err = cli("import", "co", str(path), "--split-domains", expect=status).err
        lines = [line.removeprefix("zarn-roles: ") for line in err.splitlines() if line.startswith(("zarn", str(path)))]
        for reason in reasons:
            assert any(line.startswith(f"{path}{reason}") for line in lines), (reason, err)
    assert not Path(cli.db).exists()  # refused before any store was made

    path.write_text(SAMPLES["domains_mixed.csv"])
    cli("init", "co-globex")
    assert "co-globex exists already" in cli("import", "co", str(path), "--split-domains", expect=1).err
    assert cli("list").out.split() == ["co-globex"]
    cli("delete", "co-globex", "--yes")

    # The store fails on the third document written: the transaction writes none of them.
    saves = []
    real = zarn_engine.SQLiteEngine._put

    def failing(self, conn, write):
        saves.append(write.key)
        if len(saves) == 3:
            raise zarn_engine.StoreFull("disk full")
        return real(self, conn, write)

    monkeypatch.setattr(zarn_engine.SQLiteEngine, "_put", failing)
    err = cli("import", "co", str(path), "--split-domains", expect=3).err
    assert "disk full" in err and "nothing written" in err, err
    assert saves == ["co-acme", "co-acme", "co-globex"]
    assert cli("list").out.strip() == "(no applications)"
    monkeypatch.undo()
    cli("import", "co", str(path), "--split-domains")
    assert cli("list").out.split() == ["co-acme", "co-globex"]
    assert "no applications named nope-DOMAIN" in cli("export", "nope", "--format", "casbin", "--join-domains",
                                                       expect=2).err
