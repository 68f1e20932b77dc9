"""Random operation sequences on the module and on the Python model, compared step by step."""

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import model
import zarn_engine
from zarn_engine import AclItem


class AcceptingEngine(zarn_engine.Engine):
    """Takes every save, so that sequences compare the role graph and not storage."""

    def save(self, collection, key, data, expected):
        return 1

ROLES = ["aa", "bb", "cc", "dd", "root", "admin", "public", "x"]
OBJS = ["o1", "o2", "*"]
ACTS = ["r", "w", "*"]

role = st.sampled_from(ROLES)
roles = st.lists(role, max_size=4)
perm = st.fixed_dictionaries({"obj": st.sampled_from(OBJS), "act": st.sampled_from(ACTS)})
perms = st.lists(perm, max_size=3)
policy = st.tuples(role, st.sampled_from(OBJS), st.sampled_from(ACTS))
group = st.tuples(role, role)

operation = st.one_of(
    st.tuples(st.sampled_from(["add_role_permissions", "set_role_permissions",
                               "_add_permissions", "_set_sub_permissions"]), role, perms),
    st.tuples(st.sampled_from(["add_role_sub_roles", "set_role_sub_roles",
                               "_add_groups", "_set_sub_groups"]), role, roles),
    st.tuples(st.just("get_role_contents"), role),
    st.tuples(st.just("get_implicit_permissions_for_roles"), roles),
    st.tuples(st.just("_dag_add_policy"), policy),
    st.tuples(st.just("_dag_add_group"), group),
    st.tuples(st.just("_dag_set_policies"), role, st.lists(policy, max_size=3)),
    st.tuples(st.just("_dag_set_groups"), role, st.lists(group, max_size=3)),
    st.tuples(st.just("_check_new_group"), group),
    st.tuples(st.just("_dfs"), role),
    st.tuples(st.just("reload")),
)


def plain(value):
    """A result as comparable plain data."""
    if hasattr(value, "to_display"):
        return value.to_display()
    if isinstance(value, dict):
        return list(value.items())
    return value


def run(matrix, ns, op):
    """Applies `op` to `matrix`, whose record classes live in `ns`; returns the new matrix
    (changed only by a reload) and the outcome."""
    name, *args = op
    try:
        if name in ("_add_permissions", "_set_sub_permissions"):
            items = [AclItem(obj=p["obj"], act=p["act"]) for p in args[1]]
            result = getattr(matrix, name)(args[0], items)
        elif name == "_dag_add_policy":
            sub, obj, act = args[0]
            result = matrix._dag_add_policy(ns.Policy(sub=sub, obj=obj, act=act))
        elif name == "_dag_add_group":
            result = matrix._dag_add_group(ns.Group(child=args[0][0], parent=args[0][1]))
        elif name == "_check_new_group":
            result = matrix._check_new_group(ns.Group(child=args[0][0], parent=args[0][1]))
        elif name == "_dag_set_policies":
            records = [ns.Policy(sub=s, obj=o, act=a) for s, o, a in args[1]]
            result = matrix._dag_set_policies(args[0], records)
        elif name == "_dag_set_groups":
            records = [ns.Group(child=c, parent=p) for c, p in args[1]]
            result = matrix._dag_set_groups(args[0], records)
        elif name == "_dfs":
            result = matrix._dfs(args[0], {key: False for key in matrix.dag})
        elif name == "reload":
            matrix = type(matrix)(name=matrix.name, policies=list(matrix.policies),
                                  groups=list(matrix.groups))
            result = None
        else:
            result = getattr(matrix, name)(*args)
        return matrix, ("ok", plain(result))
    except Exception as exc:  # the outcome compared is the exception's type and text
        return matrix, ("error", type(exc).__name__, str(exc))


def state(matrix):
    return (list(matrix.dag.items()),
            [p.to_display() for p in matrix.policies],
            [g.to_display() for g in matrix.groups])


def with_override(cls):
    """A subclass whose `_dfs` defers to the class's own: the module takes its general
    paths (a flag dictionary over all nodes, a call per recursive step)."""

    class Overridden(cls):
        def _dfs(self, start, discovered):
            return super()._dfs(start, discovered)

    Overridden.__name__ = cls.__name__
    return Overridden


@pytest.mark.parametrize("override", [False, True], ids=["own", "overridden"])
@settings(max_examples=500, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(ops=st.lists(operation, min_size=50, max_size=50), defaults=st.booleans())
def test_module_matches_model(rm, override, ops, defaults):
    zarn_engine.use_engine(AcceptingEngine())
    def kwargs():
        return {"name": "app"} if defaults else {"name": "app", "policies": [], "groups": []}

    cls = with_override(rm.RoleMatrix) if override else rm.RoleMatrix
    ours, theirs = cls(**kwargs()), model.RoleMatrix(**kwargs())
    assert state(ours) == state(theirs)
    for step, op in enumerate(ops):
        ours, got = run(ours, rm, op)
        theirs, expected = run(theirs, model, op)
        assert got == expected, (step, op)
        assert state(ours) == state(theirs), (step, op)
