"""Casbin CSV and JSON interchange: round trips, and imports equal to the update operations."""

import string

from hypothesis import given
from hypothesis import strategies as st

from zarn_user.core import interchange
from zarn_user.core.text import role_pattern, value_error

roles = st.from_regex(role_pattern(), fullmatch=True).filter(lambda s: len(s) <= 19 and not s.endswith("\n"))
# Every object and action the command line accepts: no surrounding white space, no control
# characters; commas, quotes, colons and "*" included.
values = st.text(alphabet=st.characters(blacklist_categories=("Cs",), blacklist_characters="\x7f"),
                 min_size=1, max_size=12).filter(lambda s: value_error("value", s) is None)
quoted = st.sampled_from(["a,b", 'x "y"', '"', ",", "*", "a:b", "#x"])


@given(st.lists(st.tuples(roles, values | quoted, values | quoted), max_size=8),
       st.lists(st.tuples(roles, roles), max_size=6))
def test_casbin_export_import_export_round_trips(rm, tmp_path_factory, policies, groups):
    m = rm.RoleMatrix(name="app", policies=[], groups=[])
    m.policies.extend(rm.Policy(sub=s, obj=o, act=a) for s, o, a in policies)
    m.groups.extend(rm.Group(child=c, parent=p) for c, p in groups)
    text = interchange.export_casbin(m)
    path = tmp_path_factory.mktemp("csv") / "policy.csv"
    path.write_text(text, encoding="utf-8")
    reading = interchange.read(str(path), "casbin")
    entries = reading.entries
    assert reading.errors == [] and reading.notes == []
    assert [(e.kind, e.fields) for e in entries] == \
        [("p", p) for p in policies] + [("g", g) for g in groups]
    copy = rm.RoleMatrix(name="app", policies=[], groups=[])
    for e in entries:
        if e.kind == "p":
            copy.policies.append(rm.Policy(sub=e.fields[0], obj=e.fields[1], act=e.fields[2]))
        else:
            copy.groups.append(rm.Group(child=e.fields[0], parent=e.fields[1]))
    assert interchange.export_casbin(copy) == text


names = st.sampled_from(["aa", "bb", "cc", "dd", "ee", "root", "admin", "public"])
lines = st.lists(st.one_of(st.tuples(st.just("p"), st.tuples(names, st.sampled_from("xy*"), st.sampled_from("rw"))),
                           st.tuples(st.just("g"), st.tuples(names, names))), max_size=40)


@given(lines, st.booleans())
def test_import_equals_the_update_operations_line_by_line(rm, entries, defaults):
    import_and_update_agree(rm, entries, defaults)


def test_import_equals_the_update_operations_on_chains_and_cycles(rm):
    """Links whose sub-role no link enters yet are taken without a search: a chain built from
    the bottom, links closing cycles through it at every depth, a role linked to itself,
    users under the chain."""
    chain = [("g", (f"c{i}", f"c{i + 1}")) for i in reversed(range(6))]
    closing = [("g", (f"c{i}", "c0")) for i in range(7)] + [("g", ("c3", "c3")), ("g", ("uu", "uu"))]
    users = [("g", (f"u{i}", f"c{i % 7}")) for i in range(5)] + [("g", ("c6", "u1")), ("g", ("u2", "u0"))]
    for defaults in (False, True):
        import_and_update_agree(rm, [("p", ("c6", "x", "r")), *chain, *users, *closing], defaults)
        import_and_update_agree(rm, [*closing, *chain, ("g", ("c6", "c0"))], defaults)


def import_and_update_agree(rm, entries, defaults):
    def start():
        return {} if defaults else {"policies": [], "groups": []}

    fast, slow = rm.RoleMatrix(name="app", **start()), rm.RoleMatrix(name="app", **start())
    fast.save = slow.save = lambda: None
    added, refused = interchange.apply(fast, [interchange.Entry(f"f:{n}", k, f) for n, (k, f) in enumerate(entries)])
    slow_refused = []
    for n, (kind, fields) in enumerate(entries):
        if kind == "p":
            slow.add_role_permissions(fields[0], [{"obj": fields[1], "act": fields[2]}])
        else:
            slow.get_implicit_permissions_for_roles([fields[1]])  # a sub-role must be a node
            if fields[1] not in slow.add_role_sub_roles(fields[0], [fields[1]]).roles:
                slow_refused.append(f"f:{n}")
    assert fast.policies == slow.policies and fast.groups == slow.groups
    assert fast.dag == slow.dag and list(fast.dag) == list(slow.dag)
    assert [e.where for e in refused] == slow_refused
