"""The methods of RoleMatrix look, bind and fail like functions defined in a class body."""

import builtins
import gc
import inspect
import itertools
import re
import types

import pytest

METHODS = [
    "__init__", "_dag_add_policy", "_dag_set_policies", "_dag_add_group", "_dag_set_groups",
    "_dag_generate", "_dfs", "_check_new_group", "_add_permissions", "_add_groups",
    "_set_sub_permissions", "_set_sub_groups", "get_role_contents", "add_role_permissions",
    "set_role_permissions", "add_role_sub_roles", "set_role_sub_roles",
    "get_implicit_permissions_for_roles",
]
PUBLIC = METHODS[12:]


def reference(fn):
    """A plain Python function with the same name, qualname and signature."""
    params = []
    for p in inspect.signature(fn).parameters.values():
        if p.kind is p.VAR_KEYWORD:
            params.append("**" + p.name)
        elif p.default is not p.empty:
            params.append(f"{p.name}=None")
        else:
            params.append(p.name)
    namespace = {}
    exec(f"def {fn.__name__}({', '.join(params)}): pass", namespace)
    ref = namespace[fn.__name__]
    ref.__qualname__ = fn.__qualname__
    return ref


def binding_error(call):
    try:
        call()
    except TypeError as exc:
        return str(exc)
    return None


def test_methods_are_function_objects_in_namespace_order(rm):
    names = [k for k, v in vars(rm.RoleMatrix).items() if type(v).__name__ == "function"]
    assert names == METHODS
    for name in METHODS:
        fn = vars(rm.RoleMatrix)[name]
        assert fn.__name__ == name
        assert fn.__qualname__ == f"RoleMatrix.{name}"
        assert fn.__module__ == "zarn_user.role_matrix"
        assert fn.__defaults__ == ((None,) if name in PUBLIC else None)
        assert fn.__kwdefaults__ is None
        assert re.fullmatch(rf"<function RoleMatrix\.{name} at 0x[0-9a-f]+>", repr(fn))
        assert gc.is_tracked(fn)


def test_annotations_and_signatures(rm):
    R = rm.RoleMatrix
    assert R._dfs.__annotations__ == {"start": "str", "discovered": "dict", "return": "dict"}
    assert list(R._dfs.__annotations__) == ["start", "discovered", "return"]
    assert R._dag_set_policies.__annotations__ == {"policies": "list"}
    assert R._check_new_group.__annotations__ == {"new_group": "Group", "return": "bool"}
    assert R.__init__.__annotations__ == {}
    assert str(inspect.signature(R.get_implicit_permissions_for_roles)) == "(self, role_names: 'list', _acl=None)"
    assert str(inspect.signature(R.__init__)) == "(self, **kwargs)"
    assert str(inspect.signature(R._dfs)) == "(self, start: 'str', discovered: 'dict') -> 'dict'"
    assert str(inspect.signature(R(name="app").add_role_permissions)) == \
        "(role_name: 'str', permissions: 'list', _acl=None)"


def test_docstrings(rm):
    R = rm.RoleMatrix
    assert R._dfs.__doc__.startswith("Deep First Search\n\n        Args:\n")
    assert R._check_new_group.__doc__.endswith("True if the new group is safe else False\n        ")
    assert R.get_role_contents.__doc__.startswith("Get Role Contents")
    assert R.get_implicit_permissions_for_roles.__doc__.startswith("Get full recursive permission")
    for name in ("__init__", "_dag_add_policy", "add_role_permissions", "set_role_sub_roles"):
        assert getattr(R, name).__doc__ is None


def test_descriptor_binding(rm):
    R = rm.RoleMatrix
    m = R(name="app")
    fn = vars(R)["get_role_contents"]
    assert R.get_role_contents is fn
    bound = m.get_role_contents
    assert isinstance(bound, types.MethodType) and bound.__func__ is fn and bound.__self__ is m
    assert R.get_role_contents(m, "admin").roles == ["root"]
    assert fn.__get__(None, R) is fn


def test_pickled_by_reference(rm):
    import pickle

    fn = rm.RoleMatrix.get_role_contents
    assert pickle.loads(pickle.dumps(fn)) is fn
    m = rm.RoleMatrix(name="app")
    again = pickle.loads(pickle.dumps(m.get_role_contents))
    assert again("admin").roles == ["root"]


def test_writable_attributes(rm):
    fn = vars(rm.RoleMatrix)["_dag_generate"]
    fn.tag = 1
    assert fn.__dict__ == {"tag": 1}
    del fn.tag
    with pytest.raises(TypeError, match="__name__ must be set to a string object"):
        fn.__name__ = 3
    with pytest.raises(TypeError, match="__defaults__ must be set to a tuple object"):
        fn.__defaults__ = [1]


@pytest.mark.parametrize("name", METHODS)
def test_binding_errors_match_plain_functions(rm, name):
    fn = vars(rm.RoleMatrix)[name]
    ref = reference(fn)
    params = list(inspect.signature(fn).parameters)
    keywords = [p for p in params if p != "kwargs"] + ["bogus"]
    instance = rm.RoleMatrix(name="app")
    holder = object()
    checked = 0
    for npos in range(7):
        for nkw in range(3):
            for kws in itertools.combinations(keywords, nkw):
                args = tuple(range(npos))
                kwargs = {k: 0 for k in kws}
                if name == "__init__" and kwargs:
                    continue  # a successful __init__ call would run with these as fields
                expected = binding_error(lambda: ref(*args, **kwargs))
                if expected is not None:
                    assert binding_error(lambda: fn(*args, **kwargs)) == expected, (args, kwargs)
                    checked += 1
                if npos < 6:
                    expected = binding_error(lambda: types.MethodType(ref, holder)(*args, **kwargs))
                    if expected is not None:
                        got = binding_error(lambda: getattr(instance, name)(*args, **kwargs))
                        assert got == expected, (args, kwargs)
    assert checked


def test_init_takes_keywords_only(rm):
    with pytest.raises(TypeError, match=r"^RoleMatrix.__init__\(\) takes 1 positional argument but 2 were given$"):
        rm.RoleMatrix("app")


def test_subclass_inherits_and_overrides(rm):
    calls = []

    class Sub(rm.RoleMatrix):
        def _dfs(self, start, discovered):
            calls.append(start)
            return super()._dfs(start, discovered)

    m = Sub(name="app")
    assert m._check_new_group(rm.Group(child="public", parent="admin")) is True
    # The override sees the guard's search and every recursive step of it.
    assert calls == ["admin", "root", ("*", "*")]
    calls.clear()
    assert m.get_implicit_permissions_for_roles(["admin"]).permissions[0].obj == "*"
    assert calls == ["admin", "root", ("*", "*")]


def test_every_internal_call_goes_through_the_instance(rm):
    seen = []

    def spy(name):
        def method(self, *args, **kwargs):
            seen.append(name)
            return getattr(rm.RoleMatrix, name)(self, *args, **kwargs)
        return method

    names = ["_dag_add_policy", "_dag_set_policies", "_dag_add_group", "_dag_set_groups",
             "_dag_generate", "_check_new_group", "_add_permissions", "_add_groups",
             "_set_sub_permissions", "_set_sub_groups", "get_role_contents"]
    Sub = type("Sub", (rm.RoleMatrix,), {n: spy(n) for n in names})
    m = Sub(name="app")
    m.add_role_permissions("aa", [{"obj": "o", "act": "r"}])
    m.set_role_permissions("aa", [{"obj": "o", "act": "w"}])
    m.add_role_sub_roles("aa", ["root"])
    m.set_role_sub_roles("aa", ["public"])
    assert set(seen) == set(names)


def test_record_classes_are_looked_up_at_each_call(rm):
    original = rm.Policy
    made = []

    class Counting(original):
        def __init__(self, **kw):
            made.append(kw)
            super().__init__(**kw)

    rm.Policy = Counting
    try:
        m = rm.RoleMatrix(name="app")
        m._add_permissions("aa", [rm.AclItem(obj="o", act="r")])
    finally:
        rm.Policy = original
    assert made == [{"sub": "root", "obj": "*", "act": "*"}, {"sub": "aa", "obj": "o", "act": "r"}]
    # Absent from the module, a name is found in the builtins, else the NameError that a
    # plain function raises.
    saved = dict(vars(rm))
    del rm.RoleContent
    try:
        with pytest.raises(NameError) as ours:
            rm.RoleMatrix(name="app").get_role_contents("admin")
        with pytest.raises(NameError) as theirs:
            (lambda: RoleContent)()  # noqa: F821
        assert (ours.value.args, ours.value.name) == (theirs.value.args, theirs.value.name)
        builtins.RoleContent = saved["RoleContent"]
        assert rm.RoleMatrix(name="app").get_role_contents("admin").roles == ["root"]
    finally:
        vars(builtins).pop("RoleContent", None)
        vars(rm).clear()
        vars(rm).update(saved)


def test_super_reaches_the_class_created_at_load(rm):
    R = rm.RoleMatrix
    try:
        rm.RoleMatrix = None
        assert R(name="app").dag["admin"] == ["root"]
    finally:
        rm.RoleMatrix = R
