"""Every operation and error path, run many times, leaves no memory or objects behind."""

import gc
import tracemalloc

import pytest

import zarn_engine


from conftest import AcceptingEngine as NullEngine


def scenario(rm):
    """One round of every public operation and every error path the module raises."""
    A, G, P = rm.AclItem, rm.Group, rm.Policy
    m = rm.RoleMatrix(name="app")
    m.add_role_permissions("aa", [{"obj": "o", "act": "r"}, {"obj": "o", "act": "w"}])
    m.set_role_permissions("aa", [{"obj": "o", "act": "x"}])
    m.set_role_permissions("aa", [])
    m.add_role_sub_roles("aa", ["root", "public"])
    m.add_role_sub_roles("root", ["aa"])  # refused
    m.set_role_sub_roles("aa", ["public"])
    m.set_role_sub_roles("aa", ["admin", "aa"])  # refused
    m.set_role_sub_roles("aa", [])
    m.get_role_contents("admin")
    m.get_implicit_permissions_for_roles(["admin", "aa", "new"])
    m._dfs("admin", dict.fromkeys(m.dag, False))
    m._check_new_group(G(child="bb", parent="root"))
    m._dag_set_policies("root", [P(sub="root", obj="*", act="*")])
    m._dag_set_groups("admin", [G(child="admin", parent="root")])
    errors = [
        lambda: m.set_role_permissions("ghost", [{"obj": "o", "act": "r"}]),       # KeyError
        lambda: m.set_role_sub_roles("aa", ["root", "ghost"]),                    # KeyError, groups back
        lambda: m.add_role_sub_roles("aa", ["ghost"]),                            # KeyError
        lambda: m.add_role_permissions("aa", [["obj"]]),                          # TypeError (not a mapping)
        lambda: m.add_role_permissions("aa", 5),                                  # TypeError (not iterable)
        lambda: m._add_permissions("aa", [{"obj": "o"}]),                         # AttributeError
        lambda: m.get_implicit_permissions_for_roles([1]),                        # TypeError (join)
        lambda: m.get_implicit_permissions_for_roles([[1]]),                      # TypeError (unhashable)
        lambda: m._dfs("ghost", {}),                                              # KeyError
        lambda: m._dfs("admin", {"admin": False}),                                # KeyError (successor)
        lambda: m._dag_set_policies("ghost", []),                                 # KeyError
        lambda: m._dag_set_groups("admin", [object()]),                           # AttributeError
        lambda: m.get_role_contents(),                                            # TypeError (binding)
        lambda: m.get_role_contents("a", x=1),                                    # TypeError (binding)
        lambda: rm.RoleMatrix("x"),                                               # TypeError (binding)
        lambda: rm.RoleMatrix(groups=[object()]),                                 # AttributeError
    ]
    for call in errors:
        try:
            call()
        except (KeyError, TypeError, AttributeError):
            pass
        else:
            raise AssertionError("expected an error")
    m.policies = (P(sub="a", obj="b", act="c"),)
    try:
        m._set_sub_permissions("aa", [])
    except AssertionError:
        pass
    else:
        raise AssertionError("expected AssertionError")


def test_no_growth(rm):
    """After a warm-up (caches, interned strings), a window of rounds leaves no objects and
    less than 20 bytes a round behind: one leaked object or reference a round shows."""
    previous = zarn_engine.use_engine(NullEngine())
    rounds = 200
    try:
        for _ in range(200):
            scenario(rm)
        tracemalloc.start()
        before = tracemalloc.take_snapshot()
        gc.collect()
        objects = len(gc.get_objects())  # counted without the snapshots' own objects
        for _ in range(rounds):
            scenario(rm)
        gc.collect()
        objects = len(gc.get_objects()) - objects
        after = tracemalloc.take_snapshot()
        tracemalloc.stop()
        grown = sum(stat.size_diff for stat in after.compare_to(before, "filename"))
        assert objects < rounds // 10, f"{objects} objects more after {rounds} rounds"
        assert grown < 20 * rounds, after.compare_to(before, "lineno")[:5]
    finally:
        zarn_engine.use_engine(previous)


class Remembering(str):
    """A node that is no plain str and holds a reference: a cycle through the graph."""


@pytest.mark.parametrize("how", ["policy", "group", "kept by a replacement", "first of a new list"])
def test_graph_lists_holding_other_nodes_stay_collectable(rm, how):
    """Successor lists of plain nodes are left out of the collector; one that gets a node of
    another kind is seen again, so that a cycle through it is collected."""
    import weakref

    zarn_engine.use_engine(NullEngine())
    m = rm.RoleMatrix(name="app", policies=[], groups=[])
    odd = Remembering("odd")
    odd.matrix = m
    m._dag_add_policy(rm.Policy(sub="aa", obj="x", act="r"))  # "aa" gets a list of plain nodes first
    if how in ("policy", "kept by a replacement"):
        m._dag_add_policy(rm.Policy(sub="aa", obj=odd, act="r"))
    elif how == "group":
        m._dag_add_group(rm.Group(child="aa", parent=odd))
    else:
        m._dag_add_group(rm.Group(child="zz", parent="aa"))
        m.dag["zz"].clear()
        m._dag_add_policy(rm.Policy(sub="yy", obj=odd, act="r"))
    if how == "kept by a replacement":
        m._dag_set_groups("aa", [])  # a new list keeping the pair that holds `odd`
    gone = weakref.ref(m)
    del m, odd
    gc.collect()
    assert gone() is None


def query_scenario(rm):
    """One round of every question of the query index, its upkeep and its error paths."""
    from zarn_user import query
    from zarn_user._query import Index

    m = rm.RoleMatrix(name="app")
    ix = query.index(m)
    m.add_role_permissions("aa", [{"obj": "o", "act": "r"}])
    m.add_role_sub_roles("admin", ["aa"])
    assert query.index(m) is ix
    ix.check(["admin"], "o", "r")
    ix.why(["admin", "ghost"], "o", "r")
    ix.who("o", "r", 1)
    ix.who("*", "*", None, 1)
    ix.permissions(("admin",))
    ix.permission_paths(["admin"])
    ix.holds_object(["admin"], "o")
    ix.path("admin", "aa")
    ix.containing("aa")
    ix.roles(), ix.sub_roles("admin"), ix.contained_by("aa"), ix.grants("aa"), ix.counts()
    assert ix.apply([], 0, [], 0, m.__dict__, [], [], [], []) is False  # not at these lists
    m.set_role_permissions("aa", [])  # a new list: made anew
    query.index(m).check(["aa"], "o", "r")
    errors = [
        lambda: ix.check(["aa"], 1, "r"),
        lambda: ix.permissions("aa"),
        lambda: ix.who("o", "r", -1),
        lambda: ix.who("o", "r", 1, "x"),
        lambda: Index().build({"policies": [object()], "groups": []}),
        lambda: ix.build(m.__dict__),
    ]
    for call in errors:
        try:
            call()
        except (TypeError, ValueError, RuntimeError, AttributeError):
            pass
        else:
            raise AssertionError("expected an error")


def test_query_index_no_growth(rm):
    import sys

    from zarn_user import query
    from zarn_user._query import Index

    held = sys.getrefcount(Index)
    for _ in range(100):
        Index()
    assert sys.getrefcount(Index) == held  # each index gives its type back
    previous = zarn_engine.use_engine(NullEngine())
    try:
        for _ in range(20):
            query_scenario(rm)
        gc.collect()
        objects = len(gc.get_objects())
        indexes = len(query._held)  # other tests' matrices may still be alive in this process
        tracemalloc.start()
        before = tracemalloc.take_snapshot()
        for _ in range(250):
            query_scenario(rm)
        gc.collect()
        after = tracemalloc.take_snapshot()
        tracemalloc.stop()
        grown = sum(stat.size_diff for stat in after.compare_to(before, "filename"))
        assert len(gc.get_objects()) - objects < 100
        assert grown < 32 * 1024, after.compare_to(before, "lineno")[:5]
        assert len(query._held) <= indexes + 2  # an index goes with its matrix
    finally:
        zarn_engine.use_engine(previous)
