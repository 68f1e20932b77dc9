"""Mutation primitives, contents query, update operations and implicit permissions."""

import pytest


def shown(content):
    return content.to_display()


def perms(content):
    return [(p.obj, p.act) for p in content.permissions]


class Recording(list):
    """A stored list whose append and extend calls are recorded."""

    def __init__(self, *args):
        super().__init__(*args)
        self.calls = []

    def append(self, item):
        self.calls.append("append")
        super().append(item)

    def extend(self, items):
        self.calls.append("extend")
        super().extend(items)


def test_add_permissions(rm, matrix):
    A = rm.AclItem
    matrix._add_permissions("aa", [A(obj="o", act="r"), A(obj="o", act="r"), A(obj="o", act="w")])
    assert [(p.sub, p.obj, p.act) for p in matrix.policies[1:]] == [("aa", "o", "r"), ("aa", "o", "w")]
    assert matrix.dag["aa"] == [("o", "r"), ("o", "w")]
    before = (list(matrix.policies), list(matrix.dag.items()))
    matrix._add_permissions("aa", [A(obj="o", act="r")])
    assert (list(matrix.policies), list(matrix.dag.items())) == before
    with pytest.raises(AttributeError, match="'dict' object has no attribute 'obj'"):
        matrix._add_permissions("aa", [A(obj="p", act="r"), {"obj": "o", "act": "x"}])
    assert matrix.policies[-1].obj == "p" and ("p", "r") in matrix.dag["aa"]  # earlier items stay
    with pytest.raises(TypeError):
        matrix._add_permissions("aa", 5)


def test_lists_change_through_their_own_methods(rm, matrix):
    matrix.policies = Recording(matrix.policies)
    matrix.groups = Recording(matrix.groups)
    matrix._add_permissions("aa", [rm.AclItem(obj="o", act="r")])
    matrix._add_groups("aa", ["root"])
    assert matrix.policies.calls == ["append"] and matrix.groups.calls == ["append"]
    groups = Recording(matrix.groups)
    matrix.groups = groups
    matrix._set_sub_groups("aa", ["admin", "aa"])  # refused: the old groups go back by extend
    assert groups.calls == [] and type(matrix.groups) is list


def test_add_groups(rm, matrix):
    matrix.get_implicit_permissions_for_roles(["aa", "bb"])  # makes both nodes
    matrix._add_groups("bb", ["aa"])
    # of three parents, only the middle one closes a cycle
    matrix._add_groups("aa", ["root", "bb", "public"])
    assert [(g.child, g.parent) for g in matrix.groups[1:]] == [("bb", "aa"), ("aa", "root"), ("aa", "public")]
    assert matrix._add_groups("cc", ["cc"]) is None
    assert matrix.dag["cc"] == [] and all(g.child != "cc" for g in matrix.groups)
    with pytest.raises(KeyError, match="ghost"):
        matrix._add_groups("dd", ["root", "ghost"])
    assert matrix.groups[-1].to_display() == {"child": "dd", "parent": "root"}


def test_set_sub_permissions(rm, matrix):
    A = rm.AclItem
    matrix._add_permissions("aa", [A(obj="o", act="r")])
    matrix._add_permissions("bb", [A(obj="o", act="w")])
    matrix._set_sub_permissions("aa", [A(obj="x", act="y"), A(obj="x", act="y")])
    assert [(p.sub, p.obj) for p in matrix.policies] == [("root", "*"), ("bb", "o"), ("aa", "x"), ("aa", "x")]
    assert matrix.dag["aa"] == [("x", "y")]
    with pytest.raises(AttributeError):
        matrix._set_sub_permissions("aa", [A(obj="z", act="z"), object()])
    assert matrix.dag["aa"] == [("x", "y")] and len(matrix.policies) == 4
    matrix.policies = tuple(matrix.policies)
    with pytest.raises(AssertionError) as info:
        matrix._set_sub_permissions("aa", [])
    assert info.value.args == ()


def test_set_sub_groups(rm, matrix):
    matrix._add_groups("aa", ["root", "public"])
    matrix._add_groups("bb", ["aa"])
    before_dag = list(matrix.dag.items())
    matrix._set_sub_groups("aa", ["public", "bb"])  # bb reaches aa: refused as a whole
    assert [(g.child, g.parent) for g in matrix.groups] == [("admin", "root"), ("bb", "aa"), ("aa", "root"),
                                                            ("aa", "public")]
    assert list(matrix.dag.items()) == before_dag
    matrix._set_sub_groups("aa", ["public", "public"])
    assert [g.parent for g in matrix.groups if g.child == "aa"] == ["public", "public"]
    assert matrix.dag["aa"] == ["public"]


def test_empty_replacement_clears_the_index(rm, matrix):
    # A revoked permission must not stay granted.
    matrix.add_role_permissions("aa", [{"obj": "o", "act": "r"}])
    matrix.add_role_sub_roles("aa", ["root"])
    assert perms(matrix.get_implicit_permissions_for_roles(["aa"])) == [("*", "*"), ("o", "r")]
    answer = matrix.set_role_permissions("aa", [])
    assert shown(answer) == {"name": "aa", "roles": ["root"], "permissions": []}
    assert matrix.dag["aa"] == ["root"] and ("o", "r") in matrix.dag
    assert perms(matrix.get_implicit_permissions_for_roles(["aa"])) == [("*", "*")]
    matrix.add_role_permissions("aa", [{"obj": "o", "act": "r"}])
    matrix.set_role_sub_roles("aa", [])
    assert matrix.dag["aa"] == [("o", "r")]
    assert perms(matrix.get_implicit_permissions_for_roles(["aa"])) == [("o", "r")]
    # a role that is no node: nothing changes in the index and nothing is raised
    keys = list(matrix.dag)
    matrix._set_sub_permissions("nobody", [])
    matrix._set_sub_groups("nobody", [])
    assert list(matrix.dag) == keys


def test_failing_guard_puts_the_former_groups_back(rm, matrix):
    matrix._add_groups("aa", ["root", "public"])
    with pytest.raises(KeyError, match="ghost"):
        matrix._set_sub_groups("aa", ["admin", "ghost"])
    assert [(g.child, g.parent) for g in matrix.groups] == [("admin", "root"), ("aa", "root"), ("aa", "public")]
    assert matrix.dag["aa"] == ["root", "public"]
    assert matrix.get_role_contents("aa").roles == ["root", "public"]


def test_replacing_permissions_of_unknown_role_changes_nothing(rm, matrix):
    before = [p.to_display() for p in matrix.policies]
    with pytest.raises(KeyError, match="nobody"):
        matrix.set_role_permissions("nobody", [{"obj": "o", "act": "r"}])
    assert [p.to_display() for p in matrix.policies] == before and "nobody" not in matrix.dag
    matrix.add_role_sub_roles("nobody", [])  # the guard is not asked: still no node
    matrix.get_implicit_permissions_for_roles(["nobody"])  # now it is one
    assert shown(matrix.set_role_permissions("nobody", [{"obj": "o", "act": "r"}]))["permissions"] == [
        {"obj": "o", "act": "r"}]


def test_get_role_contents(rm, matrix):
    assert shown(matrix.get_role_contents("root")) == {"name": "root", "roles": [], "permissions": [{"obj": "*", "act": "*"}]}
    assert shown(matrix.get_role_contents("admin")) == {"name": "admin", "roles": ["root"], "permissions": []}
    assert shown(matrix.get_role_contents("public")) == {"name": "public", "roles": [], "permissions": []}
    assert shown(matrix.get_role_contents("nobody", _acl=object())) == {"name": "nobody", "roles": [], "permissions": []}
    matrix.groups.append(rm.Group(child="admin", parent="public"))
    matrix.policies.append(rm.Policy(sub="admin", obj="o", act="r"))
    matrix.policies.append(rm.Policy(sub="admin", obj="o", act="w"))
    answer = matrix.get_role_contents("admin")
    assert answer.roles == ["root", "public"] and perms(answer) == [("o", "r"), ("o", "w")]
    assert type(answer) is rm.RoleContent
    matrix.groups.append(object())
    with pytest.raises(AttributeError, match="'object' object has no attribute 'child'"):
        matrix.get_role_contents("admin")


def test_update_operations(rm, matrix, memory_engine):
    items = [{"obj": "o", "act": "r"}, {"obj": "o", "act": "w"}]
    answer = matrix.add_role_permissions("aa", items)
    assert shown(answer) == {"name": "aa", "roles": [], "permissions": items}
    assert items == [{"obj": "o", "act": "r"}, {"obj": "o", "act": "w"}]
    assert memory_engine.load("RoleMatrix", "app")[1] == 1
    matrix.add_role_permissions("aa", [])  # saves even when nothing changed
    assert memory_engine.load("RoleMatrix", "app")[1] == 2
    assert shown(matrix.add_role_sub_roles("admin", ["aa"]))["roles"] == ["root", "aa"]
    assert shown(matrix.add_role_sub_roles("aa", ["admin"]))["roles"] == []  # cycle refused, no error
    assert memory_engine.load("RoleMatrix", "app")[1] == 4
    assert shown(matrix.set_role_sub_roles("aa", ["public", "admin"]))["roles"] == []
    assert shown(matrix.set_role_sub_roles("admin", ["aa", "public"]))["roles"] == ["aa", "public"]


def test_update_conversion_errors(rm, matrix, memory_engine):
    with pytest.raises(TypeError, match=r"from_display\(\) argument after \*\* must be a mapping, not list$"):
        matrix.add_role_permissions("aa", [["obj", "o"]])
    with pytest.raises(TypeError, match="'int' object is not iterable"):
        matrix.set_role_permissions("aa", 3)
    assert memory_engine.load("RoleMatrix", "app") is None and "aa" not in matrix.dag

    def plain(**kw):
        pass

    try:
        plain(**["x"])
    except TypeError as exc:
        expected = str(exc).split(" argument after")[1]
    with pytest.raises(TypeError) as info:
        matrix.add_role_permissions("aa", [["x"]])
    assert str(info.value).endswith(expected)


def test_save_failure_keeps_the_change_in_memory(rm, matrix):
    matrix.save = lambda: (_ for _ in ()).throw(OSError("disk"))
    with pytest.raises(OSError):
        matrix.add_role_sub_roles("aa", ["root"])
    assert matrix.get_role_contents("aa").roles == ["root"]


def test_implicit_permissions(rm, matrix):
    f = matrix.get_implicit_permissions_for_roles
    keys = list(matrix.dag)
    answer = f([])
    assert shown(answer) == {"name": "", "roles": [], "permissions": []} and list(matrix.dag) == keys
    assert f(["admin"]).name == "admin" and perms(f(["admin"])) == [("*", "*")]
    assert f(["admin", "root"]).name == "admin,root" and perms(f(["admin", "root"])) == [("*", "*")]
    assert f(["admin", "admin"]).name == "admin,admin"
    assert perms(f(["public"])) == [] and f(["public"]).roles == []
    assert perms(f(["nobody"])) == [] and matrix.dag["nobody"] == []
    with pytest.raises(TypeError, match="sequence item 0: expected str instance, int found"):
        f([7])
    assert matrix.dag[7] == []
    with pytest.raises(TypeError, match="unhashable"):
        f(["new1", ["x"]])
    assert "new1" in matrix.dag


def test_implicit_permissions_come_in_key_order(rm):
    P, G = rm.Policy, rm.Group
    m = rm.RoleMatrix(policies=[P(sub="aa", obj="a", act="1"), P(sub="bb", obj="b", act="2")],
                      groups=[G(child="aa", parent="bb")])
    assert list(m.dag) == ["aa", "bb", ("a", "1"), ("b", "2"), "public"]
    assert perms(m.get_implicit_permissions_for_roles(["aa"])) == [("a", "1"), ("b", "2")]
    assert m.get_implicit_permissions_for_roles(["aa"]).roles == []


def test_round_trip_through_sqlite_in_a_new_process(rm, tmp_path):
    import json
    import subprocess
    import sys

    import zarn_engine

    db = tmp_path / "roles.sqlite3"
    zarn_engine.connect(db)
    m = rm.RoleMatrix(name="shop")
    m.add_role_permissions("clerk", [{"obj": "order", "act": "read"}])
    m.add_role_permissions("manager", [{"obj": "order", "act": "write"}])
    m.add_role_sub_roles("manager", ["clerk"])
    m.add_role_sub_roles("clerk", ["manager"])  # refused
    expected = {"contents": shown(m.get_role_contents("manager")),
                "implicit": shown(m.get_implicit_permissions_for_roles(["manager"]))}
    code = f"""
import json, zarn_engine, zarn_user.role_matrix as rm
zarn_engine.connect({str(db)!r})
m = rm.RoleMatrix.load("shop")
print(json.dumps({{"contents": m.get_role_contents("manager").to_display(),
                  "implicit": m.get_implicit_permissions_for_roles(["manager"]).to_display()}}))
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                         env={**__import__("os").environ, "PYTHONPATH": ":".join(p for p in sys.path if p)})
    assert json.loads(out.stdout) == expected
