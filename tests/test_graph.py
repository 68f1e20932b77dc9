"""The graph index, the search and the cycle guard."""

from types import SimpleNamespace

import pytest
from hypothesis import given
from hypothesis import strategies as st

import model

DEFAULT_DAG = {"admin": ["root"], "root": [("*", "*")], ("*", "*"): [], "public": []}


def items(d):
    return list(d.items())


def test_defaults(rm):
    m = rm.RoleMatrix()
    assert items(m.dag) == items(DEFAULT_DAG)
    assert [p.to_display() for p in m.policies] == [{"sub": "root", "obj": "*", "act": "*"}]
    assert [g.to_display() for g in m.groups] == [{"child": "admin", "parent": "root"}]
    m = rm.RoleMatrix(policies=[])
    assert m.policies == [] and items(m.dag) == [("admin", ["root"]), ("root", []), ("public", [])]
    m = rm.RoleMatrix(policies=[], groups=[])
    assert items(m.dag) == [("public", [])]


def test_defaults_are_decided_on_the_keywords(rm):
    given_kwargs = {"name": "app"}
    m = rm.RoleMatrix(**given_kwargs)
    assert given_kwargs == {"name": "app"}  # the caller's mapping is copied, never changed
    seen = []

    class Sub(rm.RoleMatrix):
        pass

    base_init = rm.Document.__init__

    def spy(self, **kw):
        seen.append((sorted(kw), hasattr(self, "dag")))
        base_init(self, **kw)

    rm.Document.__init__ = spy
    try:
        Sub(name="app", policies=[])
    finally:
        rm.Document.__init__ = base_init
    assert seen == [(["groups", "name", "policies"], False)]
    assert m.dag is not rm.RoleMatrix(name="app").dag


def test_generation_orders(rm):
    P, G = rm.Policy, rm.Group
    m = rm.RoleMatrix(policies=[P(sub="aa", obj="o", act="r"), P(sub="bb", obj="o", act="w"),
                                P(sub="aa", obj="o", act="r")],
                      groups=[G(child="aa", parent="bb"), G(child="aa", parent="bb")])
    # groups first, then policies, then "public"; repeats give one edge
    assert items(m.dag) == [("aa", ["bb", ("o", "r")]), ("bb", [("o", "w")]), (("o", "r"), []),
                            (("o", "w"), []), ("public", [])]
    m._dag_set_groups("aa", [])
    assert m.dag["aa"] == [("o", "r")]
    m._dag_set_groups("aa", [G(child="aa", parent="bb"), G(child="zz", parent="cc")])
    assert m.dag["aa"] == [("o", "r"), "bb"] and "cc" not in m.dag
    m._dag_set_policies("aa", [P(sub="aa", obj="x", act="y"), P(sub="bb", obj="q", act="q")])
    assert m.dag["aa"] == ["bb", ("x", "y")] and ("o", "r") in m.dag and ("q", "q") not in m.dag
    assert list(m.dag)[-1] == ("x", "y")
    m = rm.RoleMatrix(policies=[], groups=[G(child="public", parent="aa")])
    assert list(m.dag) == ["public", "aa"]


def test_replace_of_unknown_role_raises_and_changes_nothing(rm):
    m = rm.RoleMatrix()
    before = items(m.dag)
    with pytest.raises(KeyError, match="nobody"):
        m._dag_set_policies("nobody", [])
    with pytest.raises(KeyError, match="nobody"):
        m._dag_set_groups("nobody", [])
    with pytest.raises(AttributeError):
        m._dag_set_policies("root", [object()])
    assert items(m.dag) == before
    m._dag_set_policies("root", [])
    assert m.dag["root"] == [] and m.dag[("*", "*")] == []


def test_stored_cycle_is_reproduced(rm):
    G = rm.Group
    m = rm.RoleMatrix(policies=[], groups=[G(child="aa", parent="bb"), G(child="bb", parent="aa")])
    assert m.dag["aa"] == ["bb"] and m.dag["bb"] == ["aa"]
    assert m._dfs("aa", dict.fromkeys(m.dag, False)) == {"aa": True, "bb": True, "public": False}
    assert m.get_implicit_permissions_for_roles(["bb"]).permissions == []


def test_search(rm):
    m = rm.RoleMatrix()
    d = dict.fromkeys(m.dag, False)
    assert m._dfs("admin", d) is d
    assert d == {"admin": True, "root": True, ("*", "*"): True, "public": False}
    d = dict.fromkeys(m.dag, False)
    m._dfs(("*", "*"), d)
    assert [k for k, v in d.items() if v] == [("*", "*")]
    d = {"admin": True, "root": False, ("*", "*"): False}
    m._dfs("admin", d)
    assert all(d.values())
    d = {}
    with pytest.raises(KeyError, match="nobody"):
        m._dfs("nobody", d)
    assert d == {"nobody": True}
    with pytest.raises(KeyError, match="root"):
        m._dfs("admin", {"admin": False})


def test_guard(rm):
    G = rm.Group
    m = rm.RoleMatrix()
    assert m._check_new_group(G(child="newbie", parent="root")) is True
    assert m.dag["newbie"] == []
    assert m._check_new_group(G(child="root", parent="admin")) is False
    assert m._check_new_group(G(child="admin", parent="admin")) is False
    assert m._check_new_group(G(child="public", parent="admin")) is True
    with pytest.raises(KeyError, match="ghost"):
        m._check_new_group(G(child="other", parent="ghost"))
    assert m.dag["other"] == []


class Log(dict):
    """A flag dictionary that records the order of marking."""

    def __init__(self, keys):
        super().__init__(dict.fromkeys(keys, False))
        self.order = []

    def __setitem__(self, key, value):
        self.order.append(key)
        super().__setitem__(key, value)


graphs = st.dictionaries(st.sampled_from("abcdefgh"), st.lists(st.sampled_from("abcdefgh"), max_size=4),
                         min_size=1).map(lambda g: {**{n: [] for n in "abcdefgh"}, **g})


@given(graphs, st.sampled_from("abcdefgh"))
def test_search_marks_in_recursive_preorder(rm, graph, start):
    ours, theirs = rm.RoleMatrix(policies=[], groups=[]), model.RoleMatrix(policies=[], groups=[])
    ours.dag = {k: list(v) for k, v in graph.items()}
    theirs.dag = {k: list(v) for k, v in graph.items()}
    a, b = Log(graph), Log(graph)
    ours._dfs(start, a)
    theirs._dfs(start, b)
    assert a.order == b.order and a == b
    child = "abcdefgh"[len(graph) % 8]
    edge = SimpleNamespace(child=child, parent=start)  # the guard reads attributes only
    assert ours._check_new_group(edge) == theirs._check_new_group(edge)


def test_million_role_chain(rm):
    n = 1_000_000
    m = rm.RoleMatrix(policies=[], groups=[])
    names = [f"r{i}" for i in range(n)]
    m.dag = {name: [nxt] for name, nxt in zip(names, names[1:])}
    m.dag[names[-1]] = [("o", "r")]
    m.dag[("o", "r")] = []
    d = m._dfs("r0", dict.fromkeys(m.dag, False))
    assert all(d.values())
    assert m._check_new_group(rm.Group(child=names[-1], parent="r0")) is False
    assert m._check_new_group(rm.Group(child="r0", parent=names[-1])) is True
    assert m.get_implicit_permissions_for_roles(["r0"]).permissions[0].to_display() == {"obj": "o", "act": "r"}

    class Sub(rm.RoleMatrix):  # the general path, with an override in the way
        def _dfs(self, start, discovered):
            return super()._dfs(start, discovered)

    # Each recursive step is a call of the override: the interpreter's recursion limit
    # applies, as it would to the same class written in Python.
    s = Sub(policies=[], groups=[])
    s.dag = {name: [nxt] for name, nxt in zip(names[:300], names[1:300])}
    s.dag[names[299]] = []
    assert all(s._dfs("r0", dict.fromkeys(s.dag, False)).values())
    s.dag = m.dag
    with pytest.raises(RecursionError):
        s._dfs("r0", dict.fromkeys(s.dag, False))
    # The update operations that search, on the whole chain.
    m.save = lambda: None
    m.dag["public"] = []
    assert m.add_role_sub_roles(names[-1], ["r0", "public"]).roles == ["public"]  # r0 reaches the end
    assert m.set_role_sub_roles(names[-1], ["r5"]).roles == ["public"]  # refused as a whole
    assert m.set_role_sub_roles("r0", ["public"]).roles == ["public"]



def test_successor_membership_uses_the_elements_equality(rm):
    class Same(str):
        def __eq__(self, other):
            return True

        __hash__ = str.__hash__

    class Pair(tuple):
        def __eq__(self, other):
            return True

        __hash__ = tuple.__hash__

    for ns in (rm, model):
        m = ns.RoleMatrix(policies=[], groups=[])
        m.dag["aa"] = [Same("x")]
        m.dag["bb"] = [Pair(("p", "q"))]
        m._dag_add_group(ns.Group(child="aa", parent="cc"))
        m._dag_add_policy(ns.Policy(sub="bb", obj="o", act="r"))
        m._dag_add_group(ns.Group(child="bb", parent="bb"))
        assert [type(x) for x in m.dag["aa"]] == [Same] and [type(x) for x in m.dag["bb"]] == [Pair]
        assert "cc" in m.dag and ("o", "r") in m.dag


def _copy(text):
    """An equal str that is another object (as records built one by one hold them)."""
    return "".join(list(text))


class Name(str):
    """A role name of a str subclass: a node the interpreter's own equality must compare."""


role_names = st.sampled_from(["aa", "bb", "cc", "dd", "public"])


@given(groups=st.lists(st.tuples(role_names, role_names, st.booleans()), max_size=12),
       policies=st.lists(st.tuples(role_names, st.sampled_from(["o1", "o2"]), st.sampled_from(["rr", "ww"])),
                         max_size=12),
       wide=st.integers(0, 40), shared=st.booleans(), later=st.lists(st.tuples(role_names, role_names), max_size=4))
def test_generation_matches_the_model_whatever_objects_name_the_nodes(rm, groups, policies, wide, shared, later):
    # Nodes named by equal strings that are distinct objects, or by the same objects (records
    # loaded together share them); roles that contain themselves, repeated records, a role
    # whose list grows past the length where a side index answers for it, and now and then
    # a node of a str subclass in the middle of the run. Then more edges on the built graph.
    policies = policies + [("aa", f"w{i % 20}", "rr") for i in range(wide)]
    name = (lambda s: s) if shared else _copy
    built = []
    for ns in (rm, model):
        gs = [ns.Group(child=name(c), parent=Name(p) if odd else name(p)) for c, p, odd in groups]
        ps = [ns.Policy(sub=name(s), obj=name(o), act=name(a)) for s, o, a in policies]
        m = ns.RoleMatrix(policies=ps, groups=gs)
        for c, p in later:
            m._dag_add_group(ns.Group(child=_copy(c), parent=_copy(p)))
            m._dag_add_policy(ns.Policy(sub=_copy(c), obj=_copy("o1"), act=_copy("rr")))
        built.append([(k, [(type(x), x) for x in v]) for k, v in m.dag.items()])
    assert built[0] == built[1]


def test_generation_exact_after_a_read_that_changes_the_graph(rm):
    # A record whose field read puts an equal copy of a node into a successor list: from
    # then on the run may not take any list to hold key objects only.
    for ns in (rm, model):
        m = ns.RoleMatrix(policies=[], groups=[])

        class Sly:
            child = "aa"

            @property
            def parent(self):
                m.dag["aa"].append(_copy("dd"))
                return "cc"

        m.groups = [ns.Group(child="bb", parent="dd"), ns.Group(child="aa", parent="bb"), Sly(),
                    ns.Group(child=_copy("aa"), parent=_copy("dd"))]
        m.policies = [ns.Policy(sub="cc", obj="o1", act="rr")] * 20 + [ns.Policy(sub="cc", obj=_copy("o1"), act="rr")]
        m.dag = {}
        m._dag_generate()
        assert items(m.dag) == [("bb", ["dd"]), ("dd", []), ("aa", ["bb", "dd", "cc"]), ("cc", [("o1", "rr")]),
                                (("o1", "rr"), []), ("public", [])]


class Meddling(list):
    """Stored records whose walk puts an equal copy of a node into a successor list."""

    matrix = None

    def __iter__(self):
        for item in list.__iter__(self):
            yield item
            Meddling.matrix.dag["aa"].append(_copy("dd"))


def test_membership_when_lists_hold_what_is_no_key_or_not_the_key(rm):
    for ns in (rm, model):
        # A list that names a node which is no key (the graph broken from outside): an edge to
        # it is still tested against the list before it is appended.
        m = ns.RoleMatrix(policies=[], groups=[])
        m.dag["aa"] = [(_copy("o1"), "rr")]
        m._add_permissions("aa", [SimpleNamespace(obj="o1", act="rr"), SimpleNamespace(obj="o2", act="rr")])
        assert items(m.dag) == [("public", []), ("aa", [("o1", "rr"), ("o2", "rr")]), (("o1", "rr"), []),
                                (("o2", "rr"), [])]
        # A list item whose comparison adds the edge's end as a key meanwhile: the end is
        # looked up again, and its list kept.
        m = ns.RoleMatrix(policies=[], groups=[])

        class Sneaky(str):
            def __eq__(self, other):
                if isinstance(other, tuple):
                    m.dag.setdefault(other, ["kept"])
                return str.__eq__(self, other)

            __hash__ = str.__hash__

        m.dag["aa"] = [Sneaky("zz")]
        m._add_permissions("aa", [SimpleNamespace(obj="o1", act="rr")])
        assert items(m.dag) == [("public", []), ("aa", ["zz", ("o1", "rr")]), (("o1", "rr"), ["kept"])]
        # A walk of the stored records that runs code between them: the lists it touched hold
        # equal copies of keys, which later edges must find by equality.
        m = ns.RoleMatrix(policies=[], groups=[])
        Meddling.matrix = m
        m.groups = Meddling([ns.Group(child="aa", parent="bb"), ns.Group(child="bb", parent="dd"),
                             ns.Group(child="aa", parent="dd")])
        m.dag = {}
        m._dag_generate()
        assert items(m.dag) == [("aa", ["bb", "dd", "dd", "dd"]), ("bb", ["dd"]), ("dd", []), ("public", [])]
