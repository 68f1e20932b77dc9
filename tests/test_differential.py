"""Random operation sequences on the module and on the Python model, compared step by step,
also through every way of reaching `_dfs` and on a `dag` that someone broke."""

import functools

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import model
import zarn_engine
from conftest import AcceptingEngine
from zarn_engine import AclItem

ROLES = ["aa", "bb", "cc", "dd", "root", "admin", "public", "x"]
OBJS = ["o1", "o2", "*"]
ACTS = ["r", "w", "*"]

# Changes made to `dag` from outside between queries, each a different way for what a
# query remembers of `dag` to go stale: a successor list changed in place (same size or
# not), grown by appends, replaced by a tuple, a key deleted, a key moved to the end of the
# key order, every key moved.
REWIRINGS = ["replace", "pop-append", "grow", "grow-many", "reverse", "tuple", "delete", "move", "move-all",
             "fresh"]

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
    st.tuples(st.just("break"), role),
    st.tuples(st.just("odd key"), role),
    st.tuples(st.just("wide"), role, st.integers(0, 40), st.integers(0, 40), st.sampled_from(["pop", "append", "none"])),
    st.tuples(st.just("add_role_permissions"), role, st.lists(st.sampled_from(range(6)), max_size=2)),
    st.tuples(st.just("rewire"), role, role, st.sampled_from(REWIRINGS)),
)


class NoKeys:
    pass


class KeysRaises:
    def keys(self):
        raise AttributeError("inside keys")

    def __getitem__(self, key):
        return "x"


class Twice:
    def keys(self):
        return ["obj", "obj", "act"]

    def __getitem__(self, key):
        return "x"


class CountedKeys:
    """A mapping whose `keys` attribute is read a counted number of times."""

    reads = 0

    def __getattr__(self, name):
        if name == "keys":
            type(self).reads += 1
            return lambda: ["obj", "act"]
        raise AttributeError(name)

    def __getitem__(self, key):
        return "o1" if key == "obj" else "r"


class Odd:
    """A node of another kind whose hash collides with a role name's: looking the role up
    compares with it, which runs Python code."""

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        return isinstance(other, Odd) and other.name == self.name

    def __repr__(self):
        return f"Odd({self.name!r})"


class Meddling:
    """A policy-like record whose `obj` read changes the role's successor list: whatever
    side index the module keeps must not answer from before the change."""

    def __init__(self, matrix, sub, how):
        self.matrix, self.sub, self.how, self.act = matrix, sub, how, "r"

    @property
    def obj(self):
        successors = self.matrix.dag.get(self.sub)
        if successors and self.how == "pop":
            successors.pop(0)
        elif successors is not None and self.how == "append":
            successors.append(("o3", "r"))
        return "o3"


# Items a caller may pass for a permission, beside plain dicts: `**item` must treat each
# exactly as the interpreter does.
HOSTILE_ITEMS = [["obj", "act"], NoKeys(), KeysRaises(), Twice(), CountedKeys(), {1: "x"}]


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
        elif name == "break":  # dag is public: a successor that is no key
            if args[0] in matrix.dag:
                matrix.dag[args[0]].append("ghost")
            result = None
        elif name == "add_role_permissions" and args[1] and isinstance(args[1][0], int):
            CountedKeys.reads = 0
            try:
                result = matrix.add_role_permissions(args[0], [HOSTILE_ITEMS[i] for i in args[1]])
            finally:
                result_reads = CountedKeys.reads
            return matrix, ("ok", plain(result), result_reads)
        elif name == "rewire":
            rewire(matrix.dag, *args)
            result = None
        elif name == "odd key":
            matrix.dag[Odd(args[0])] = [args[0]] if args[0] in matrix.dag else []
            result = None
        elif name == "wide":  # many successors at once, one record meddling midway
            sub, n, at, how = args
            records = [ns.Policy(sub=sub, obj=f"o{i % 30}", act="r") for i in range(n)]
            records.insert(min(at, n), Meddling(matrix, sub, how))
            result = matrix._dag_set_policies(sub, records)
        elif name == "reload":
            matrix = type(matrix)(name=matrix.name, policies=list(matrix.policies),
                                  groups=list(matrix.groups))
            result = None
        else:
            result = getattr(matrix, name)(*args)
        return matrix, ("ok", plain(result))
    except Exception as exc:  # the outcome compared is the exception's type and text
        return matrix, ("error", type(exc).__name__, str(exc))


def rewire(dag, key, other, how):
    if key not in dag:
        return
    successors = dag[key]
    if how == "replace" and successors:
        successors[0] = other  # same size, another node (a key or not)
    elif how == "pop-append" and successors:
        successors.pop()
        successors.append(other)
    elif how == "grow":  # a node (a key or not) after those a search has seen
        successors.append(other)
    elif how == "grow-many":
        successors.extend([other, *ROLES])
    elif how == "reverse":
        successors.reverse()
    elif how == "tuple":
        dag[key] = tuple(successors)
    elif how == "delete":
        del dag[key]
    elif how == "move":  # every later key's position shifts by one
        del dag[key]
        dag[key] = successors
    elif how == "move-all":  # every key at another position, the key order unchanged
        for node in list(dag):
            dag[node] = dag.pop(node)
    elif how == "fresh":  # equal nodes that are other objects
        dag[key] = [x if not isinstance(x, str) else "".join(list(x)) for x in successors]


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


def with_partialmethod(cls):
    class Partial(cls):
        _dfs = functools.partialmethod(cls._dfs)

    Partial.__name__ = cls.__name__
    return Partial


def with_counted_lookups(cls):
    """`_dfs` behind a property that counts how often it is looked up."""

    class Counted(cls):
        lookups = 0

        @property
        def _dfs(self):
            type(self).lookups += 1
            return functools.partial(cls._dfs, self)

    Counted.__name__ = cls.__name__
    return Counted


VARIANTS = {
    "own": lambda cls: cls,
    "overridden": with_override,
    "partialmethod": with_partialmethod,
    "counted": with_counted_lookups,
    "bound": lambda cls: cls,
    "partial": lambda cls: cls,
}


def prepare(matrix, variant):
    """Installs the instance-level aliases of `_dfs` that C code reaches without a frame."""
    if variant == "bound":
        matrix._dfs = matrix._dfs
    elif variant == "partial":
        matrix._dfs = functools.partial(type(matrix)._dfs, matrix)
    return matrix


@pytest.mark.parametrize("variant", list(VARIANTS))
@settings(suppress_health_check=[HealthCheck.too_slow])
@given(ops=st.lists(operation, min_size=50, max_size=50), defaults=st.booleans())
def test_module_matches_model(rm, variant, ops, defaults):
    zarn_engine.use_engine(AcceptingEngine())

    def kwargs():
        return {"name": "app"} if defaults else {"name": "app", "policies": [], "groups": []}

    ours_cls, theirs_cls = VARIANTS[variant](rm.RoleMatrix), VARIANTS[variant](model.RoleMatrix)
    ours, theirs = prepare(ours_cls(**kwargs()), variant), prepare(theirs_cls(**kwargs()), variant)
    assert state(ours) == state(theirs)
    for step, op in enumerate(ops):
        ours, got = run(ours, rm, op)
        theirs, expected = run(theirs, model, op)
        if op[0] == "reload":
            ours, theirs = prepare(ours, variant), prepare(theirs, variant)
        assert got == expected, (step, op)
        assert state(ours) == state(theirs), (step, op)
        if variant == "counted":
            assert ours_cls.lookups == theirs_cls.lookups, (step, op)


class Stepping(list):
    """A stored list whose iteration is Python code: `then` runs once the consumer has
    handled the first item and asks for the second."""

    def __init__(self, items, then):
        super().__init__(items)
        self.then = then

    def __iter__(self):
        for index, item in enumerate(list.__iter__(self)):
            yield item
            if index == 0:
                self.then()


def with_watched_policies(cls):
    """`policies` read through a property that runs a one-shot hook first."""

    class Watched(cls):
        hook = None

        @property
        def policies(self):
            hook, self.hook = self.hook, None
            if hook is not None:
                hook()
            return self.__dict__["policies"]

        @policies.setter
        def policies(self, value):
            self.__dict__["policies"] = value

    Watched.__name__ = cls.__name__
    return Watched


def stored_records(ns):
    groups = [ns.Group(child=f"r{i}", parent=f"r{i + 1}") for i in range(4)]
    policies = [ns.Policy(sub=f"r{i}", obj=f"o{i}", act="r") for i in range(4)]
    return groups, policies


# What iterating a stored list (or reading one) may do between two `_dag_add_*` calls of
# `_dag_generate`: each later call must see it, as a loop in Python would.
REGENERATIONS = {
    "groups iteration replaces _dag_add_group": (
        "groups", lambda m, calls: setattr(m, "_dag_add_group", lambda g: calls.append((g.child, g.parent)))),
    "policies iteration replaces _dag_add_policy": (
        "policies", lambda m, calls: setattr(m, "_dag_add_policy", lambda p: calls.append((p.sub, p.obj)))),
    "groups iteration replaces dag": ("groups", lambda m, calls: setattr(m, "dag", {"fresh": []})),
    "policies iteration replaces dag": ("policies", lambda m, calls: setattr(m, "dag", {"fresh": []})),
    "policies read replaces dag": ("read", lambda m, calls: setattr(m, "dag", {"fresh": []})),
}


@pytest.mark.parametrize("case", list(REGENERATIONS))
def test_generation_sees_python_code_run_by_the_stored_lists(rm, case):
    zarn_engine.use_engine(AcceptingEngine())
    where, sneak = REGENERATIONS[case]
    outcomes = []
    for ns in (rm, model):
        cls = with_watched_policies(ns.RoleMatrix) if where == "read" else ns.RoleMatrix
        groups, policies = stored_records(ns)
        m = cls(name="app", policies=policies, groups=groups)
        calls = []
        if where == "read":
            m.hook = lambda m=m, calls=calls: sneak(m, calls)
        else:
            stored = Stepping(getattr(m, where), lambda m=m, calls=calls: sneak(m, calls))
            setattr(m, where, stored)
        m.dag = {}
        m._dag_generate()
        outcomes.append((list(m.dag.items()), calls))
    assert outcomes[0][1] == outcomes[1][1]
    assert outcomes[0] == outcomes[1]


class LoggedStr(str):
    """A field value of another kind: comparing it is Python code, logged."""

    log: list = []

    def __eq__(self, other):
        type(self).log.append(("str eq", str(self), str(other)))
        return str.__eq__(self, other)

    __hash__ = str.__hash__


def logged_record(cls, log):
    """A record class whose comparisons are logged (and then answered by the framework)."""

    class Logged(cls):
        def __eq__(self, other):
            log.append(("eq", self.to_display(), other.to_display()))
            return super().__eq__(other)

    return Logged


class Rewriting(list):
    """A stored list whose membership test is its own, logged."""

    def __init__(self, items, log):
        super().__init__(items)
        self.log = log

    def __contains__(self, item):
        self.log.append(("contains", item.to_display()))
        return list.__contains__(self, item)


class Rehashing:
    """A node met by the cycle guard: hashing it rewrites a stored record in place."""

    def __init__(self, rewrite):
        self.rewrite = rewrite
        self.armed = False

    def __hash__(self):
        if self.armed:
            self.rewrite()
        return 7

    def __eq__(self, other):  # the two sides' nodes compare equal in the outcomes
        return isinstance(other, Rehashing)


def rewrite_first(m):
    """Makes the first stored group equal to the eighth new one, in place."""
    m.groups[0].parent = "u8"


def parents_rewriting(m):
    for i in range(20):
        yield f"u{i}"
        if i == 3:
            rewrite_first(m)


# Ways in which Python code runs between (or inside) the membership tests of one add call,
# seeing or changing the stored records: every later test answers as `in` would.
def _eq_logged(ns, m, log):
    m.groups.insert(5, logged_record(ns.Group, log)(child="boss", parent="u2"))
    return "_add_groups", ("boss", [f"u{i}" for i in range(20)])


def _guard_rewrites(ns, m, log):
    calls = []
    original = m._check_new_group

    def guard(group):
        calls.append(group.parent)
        if len(calls) == 3:
            rewrite_first(m)
        return original(group)

    m._check_new_group = guard
    return "_add_groups", ("boss", [f"u{i}" for i in range(20)])


def _node_rewrites(ns, m, log):
    node = Rehashing(lambda: rewrite_first(m))
    m.dag["u5"].append(node)
    m.dag[node] = []
    node.armed = True
    return "_add_groups", ("boss", [f"u{i}" for i in range(20)])


def _dag_add_rewrites(ns, m, log):
    original = m._dag_add_group

    def add(group):
        if group.parent == "u4":
            rewrite_first(m)
        return original(group)

    m._dag_add_group = add
    return "_add_groups", ("boss", [f"u{i}" for i in range(20)])


def _list_subclass(ns, m, log):
    m.groups = Rewriting(m.groups, log)
    return "_add_groups", ("boss", [f"u{i}" for i in range(20)] + ["u3"])


def _iteration_rewrites(ns, m, log):
    return "_add_groups", ("boss", parents_rewriting(m))


def _extra_attribute(ns, m, log):
    class Noted(ns.Group):  # no fields of its own: an instance dict beside the slots
        pass

    m.groups[0] = Noted(child="boss", parent="u8")
    m.groups[0].note = "kept"
    m.groups[7].parent = "u8"
    return "_add_groups", ("boss", [f"u{i}" for i in range(20)])


def _emptied_field(ns, m, log):
    del m.groups[3].parent  # compares as None; reading it raises AttributeError
    m.groups.append(ns.Group(child="boss", parent="u9"))
    del m.groups[-1].child
    return "_add_groups", ("boss", [f"u{i}" for i in range(20)])


def _str_subclass_field(ns, m, log):
    LoggedStr.log = log
    m.groups[0].parent = LoggedStr("u8")
    return "_add_groups", ("boss", [f"u{i}" for i in range(20)])


def _permission_read_rewrites(ns, m, log):
    class Item:
        def __init__(self, i):
            self.i, self.act = i, "r"

        @property
        def obj(self):
            if self.i == 3:
                m.policies[0].sub, m.policies[0].obj = "boss", "x8"
            return f"x{self.i}"

    return "_add_permissions", ("boss", [Item(i) for i in range(20)])


def _policy_add_rewrites(ns, m, log):
    original = m._dag_add_policy

    def add(policy):
        if policy.obj == "x4":
            m.policies[0].sub, m.policies[0].obj = "boss", "x8"
        return original(policy)

    m._dag_add_policy = add
    return "_add_permissions", ("boss", [AclItem(obj=f"x{i}", act="r") for i in range(20)])


ADD_CASES = {
    "stored record with its own __eq__": _eq_logged,
    "guard override rewrites a stored record": _guard_rewrites,
    "guard meets a node that rewrites a stored record": _node_rewrites,
    "_dag_add_group override rewrites a stored record": _dag_add_rewrites,
    "stored list with its own __contains__": _list_subclass,
    "iteration of the parents rewrites a stored record": _iteration_rewrites,
    "stored record with an attribute beside its fields": _extra_attribute,
    "stored record with an emptied field": _emptied_field,
    "stored record with a str subclass for a field": _str_subclass_field,
    "permission read rewrites a stored policy": _permission_read_rewrites,
    "_dag_add_policy override rewrites a stored policy": _policy_add_rewrites,
}


@pytest.mark.parametrize("case", list(ADD_CASES))
def test_adds_answer_membership_as_the_interpreter(rm, case):
    outcomes = []
    for ns in (rm, model):
        groups = [ns.Group(child="boss", parent="w0")]
        groups += [ns.Group(child=f"r{i % 4}", parent=f"u{i}") for i in range(40)]
        policies = [ns.Policy(sub=f"u{i}", obj=f"o{i % 4}", act="r") for i in range(40)]
        m = ns.RoleMatrix(name="app", policies=policies, groups=groups)
        log = []
        method, args = ADD_CASES[case](ns, m, log)
        getattr(m, method)(*args)
        outcomes.append((state(m), tuple(log)))
        LoggedStr.log = []  # comparing the outcomes is no part of them
    assert outcomes[0] == outcomes[1]


@pytest.mark.parametrize("how", REWIRINGS)
def test_queries_after_dag_changed_from_outside(rm, how):
    """The same queries before and after each change of `dag` from outside: what the
    module remembers of `dag` from one query never answers the next."""
    zarn_engine.use_engine(AcceptingEngine())
    outcomes = []
    for ns in (rm, model):
        matrix = ns.RoleMatrix(
            name="app",
            policies=[ns.Policy(sub=r, obj=f"o{i}", act="r") for i, r in enumerate(ROLES)],
            groups=[ns.Group(child="aa", parent="bb"), ns.Group(child="bb", parent="cc"),
                    ns.Group(child="aa", parent="dd")])
        seen = []
        for key, other in [("aa", "x"), ("bb", "admin"), ("aa", "cc"), ("cc", "aa"), ("dd", "ghost")]:
            for query in (["aa"], ["bb", "dd"], ["x"]):
                seen.append(run(matrix, ns, ("get_implicit_permissions_for_roles", query))[1])
            seen.append(run(matrix, ns, ("_check_new_group", ("x", "aa")))[1])
            rewire(matrix.dag, key, other, how)
        seen.append(state(matrix))
        outcomes.append(seen)
    assert outcomes[0] == outcomes[1]


def test_queries_between_changes_that_grow_and_replace_successor_lists(rm):
    """Queries between changes of our own (long lists grown one edge at a time, a list
    replaced, new keys) and appends from outside, two lists growing in turn: each answer is
    the one the model gives for `dag` as it stands."""
    zarn_engine.use_engine(AcceptingEngine())
    outcomes = []
    for ns in (rm, model):
        matrix = ns.RoleMatrix(name="app", policies=[ns.Policy(sub="aa", obj="o", act="r")], groups=[])
        seen = []
        for i in range(60):
            if i == 21:  # entries moved from outside, then changes of our own before the next query
                matrix.dag["u4"] = matrix.dag.pop("u4")
            if i == 31:
                del matrix.dag["u6"]
            if i == 36:
                matrix.dag["u6"] = []
            matrix._dag_add_group(ns.Group(child="aa", parent=f"u{i}"))
            matrix._dag_add_policy(ns.Policy(sub=f"u{i}", obj=f"o{i % 7}", act="r"))
            if i % 5 == 0:  # not ours: the next search starts afresh
                matrix.dag["bb"] = matrix.dag.get("bb", [])
            if i % 3 == 0:
                matrix.dag["bb"].append(f"u{i}")
            if i % 10 == 9:
                matrix._dag_set_groups("aa", [ns.Group(child="aa", parent=f"u{j}") for j in range(0, i, 2)])
            if i == 40:
                matrix.dag["aa"].append("ghost")  # a successor that is no key
            for query in (["aa"], ["bb"], ["aa", "bb"]):
                seen.append(run(matrix, ns, ("get_implicit_permissions_for_roles", query))[1])
            seen.append(run(matrix, ns, ("_check_new_group", (f"u{i}", "aa")))[1])
        seen.append(state(matrix))
        outcomes.append(seen)
    assert outcomes[0] == outcomes[1]


# --- walks of the stored lists that meet, partway, an element of another kind -----------------

class HookStr(str):
    """A field value whose comparisons are Python code: logged, the first one running a hook."""

    def __eq__(self, other):
        Midway.log.append(("eq", str(self), str(other)))
        Midway.fire()
        return str.__eq__(self, other)

    def __ne__(self, other):
        Midway.log.append(("ne", str(self), str(other)))
        Midway.fire()
        return str.__ne__(self, other)

    __hash__ = str.__hash__


class Stranger:
    """A stored element of no record class: each field read is logged, the first runs the hook."""

    def __init__(self, **fields):
        self.__dict__["fields"] = fields

    def __getattr__(self, name):
        Midway.log.append(("read", name))
        Midway.fire()
        try:
            return self.fields[name]
        except KeyError:
            raise AttributeError(name) from None

    def __setattr__(self, name, value):
        self.fields[name] = value


class Midway:
    log: list = []
    hook = None

    @classmethod
    def fire(cls):
        hook, cls.hook = cls.hook, None
        if hook is not None:
            hook()


# What the first piece of Python code met mid-walk does to the list being walked.
HOOKS = {
    "nothing": lambda lst, at, make: None,
    "shrinks it": lambda lst, at, make: lst.__delitem__(slice(at + 1, at + 30)),
    "grows it": lambda lst, at, make: lst.extend([make("tt"), make("uu"), make("tt")]),
    "rewrites later records": lambda lst, at, make: (setattr(lst[at + 3], make.field, "tt"),
                                                      setattr(lst[at + 4], make.field, "zz")),
    "empties it": lambda lst, at, make: lst.clear(),
}

# The element met at position `at`: the stored list's own kind with a value of another kind,
# an element of another class, or a record with its tested field emptied.
ODD = {
    "str subclass": lambda make: make(HookStr("tt")),
    "str subclass, unequal": lambda make: make(HookStr("qq")),
    "other class": lambda make: Stranger(**make.values("tt")),
    "emptied field": lambda make: make("tt", emptied=True),
    "str subclass in the last field": lambda make: make("tt", last=HookStr("r" if make.field == "sub" else "pp")),
}

WALKS = [
    ("get_role_contents", "policies"), ("get_role_contents", "groups"),
    ("_set_sub_permissions", "policies"), ("_set_sub_groups", "groups"),
    ("_dag_set_policies", "policies"), ("_dag_set_groups", "groups"),
    ("_add_permissions", "policies"), ("_add_groups", "groups"),
]


def maker(ns, kind):
    """Builds stored records of one kind whose tested field (sub or child) is given."""

    def make(value, emptied=False, last=None):
        record = getattr(ns, "Policy" if kind == "policies" else "Group")(**make.values(value))
        if emptied:
            delattr(record, make.field)
        if last is not None:
            setattr(record, "act" if kind == "policies" else "parent", last)
        return record

    if kind == "policies":
        make.field = "sub"
        make.values = lambda v: {"sub": v, "obj": "o" + str(len(Midway.log) % 3), "act": "r"}
    else:
        make.field = "child"
        make.values = lambda v: {"child": v, "parent": "pp"}
    return make


def walk_state(matrix):
    def show(r):
        names = ("sub", "obj", "act") if hasattr(r, "obj") or "obj" in getattr(r, "fields", {}) else ("child", "parent")
        return type(r).__name__, [str(getattr(r, n, None)) if not isinstance(r, Stranger) else r.fields.get(n)
                                  for n in names]

    Midway.hook, log = None, Midway.log
    Midway.log = []
    shown = ([show(p) for p in matrix.policies], [show(g) for g in matrix.groups],
             [(str(k), v) if isinstance(k, str) else (k, v) for k, v in matrix.dag.items()])
    Midway.log = log
    return shown


@pytest.mark.parametrize("at", [0, 37, 99])
@pytest.mark.parametrize("odd", list(ODD))
@pytest.mark.parametrize("hook", list(HOOKS))
@pytest.mark.parametrize("op,kind", WALKS)
def test_walks_hand_over_to_the_interpreter_midway(rm, op, kind, hook, odd, at):
    """A list of plain records is walked without the interpreter until the first element of
    another kind; from there on every read and comparison is the interpreter's, in order,
    against the list as that code leaves it."""
    zarn_engine.use_engine(AcceptingEngine())
    outcomes = []
    for ns in (rm, model):
        make = maker(ns, kind)
        names = ["tt" if i % 7 == 3 else f"u{i % 11}" for i in range(100)]
        m = ns.RoleMatrix(name="app", policies=[maker(ns, "policies")(n) for n in names],
                          groups=[maker(ns, "groups")(n) for n in names])
        stored = getattr(m, kind)
        Midway.log = []
        stored[at] = ODD[odd](make)
        Midway.hook = lambda: HOOKS[hook](stored, at, make)
        try:
            if op == "get_role_contents":
                result = plain(m.get_role_contents("tt"))
            elif op in ("_set_sub_permissions", "_add_permissions"):
                result = getattr(m, op)("tt", [AclItem(obj="o1", act="r"), AclItem(obj="n", act="w")])
            elif op in ("_set_sub_groups", "_add_groups"):
                result = getattr(m, op)("tt", ["n1", "pp"])
            else:
                result = getattr(m, op)("tt", stored)
            outcome = ("ok", result)
        except Exception as exc:
            outcome = ("error", type(exc).__name__, str(exc))
        # as text: comparing values of HookStr would run (and log) their __eq__
        outcomes.append(repr((outcome, Midway.log, walk_state(m))))
        Midway.log, Midway.hook = [], None
    assert outcomes[0] == outcomes[1]


@pytest.mark.parametrize("op", ["get_role_contents", "_dag_set_policies", "_set_sub_permissions",
                                "_set_sub_groups", "_add_permissions", "_add_groups"])
def test_walks_for_a_role_name_of_a_str_subclass_compare_through_it(rm, op):
    """A role name of another kind than str: every comparison of the walk is the
    interpreter's (its reflected __eq__ runs for each stored value), the first one rewriting
    a later record."""
    zarn_engine.use_engine(AcceptingEngine())
    outcomes = []
    for ns in (rm, model):
        names = ["tt" if i % 5 == 1 else f"u{i % 9}" for i in range(40)]
        m = ns.RoleMatrix(name="app", policies=[maker(ns, "policies")(n) for n in names],
                          groups=[maker(ns, "groups")(n) for n in names])
        Midway.log = []
        Midway.hook = lambda m=m: (setattr(m.policies[20], "sub", "tt"), setattr(m.groups[21], "child", "tt"))
        role = HookStr("tt")
        try:
            if op == "get_role_contents":
                result = plain(m.get_role_contents(role))
            elif op in ("_set_sub_permissions", "_add_permissions"):
                result = getattr(m, op)(role, [AclItem(obj="o1", act="r")])
            elif op in ("_set_sub_groups", "_add_groups"):
                result = getattr(m, op)(role, ["u1"])
            else:
                result = m._dag_set_policies(role, m.policies)
        except Exception as exc:
            result = ("error", type(exc).__name__, str(exc))
        outcomes.append(repr((result, Midway.log, walk_state(m))))
        Midway.log, Midway.hook = [], None
    assert outcomes[0] == outcomes[1]


@pytest.mark.parametrize("second_read", ["same list", "list grown", "another list"])
def test_replacing_groups_reads_the_stored_list_twice(rm, second_read):
    """`_set_sub_groups` walks `self.groups` for the role's former groups and then, read
    again, for the others: a read that runs code between the two walks is seen by the second."""
    zarn_engine.use_engine(AcceptingEngine())
    outcomes = []
    for ns in (rm, model):
        class Watched(ns.RoleMatrix):
            reads = 0

            @property
            def groups(self):
                type(self).reads += 1
                stored = self.__dict__["groups"]
                if type(self).reads == 2 and second_read == "list grown":
                    stored.append(ns.Group(child="tt", parent="u7"))
                elif type(self).reads == 2 and second_read == "another list":
                    return [g for g in stored if g.parent != "pp"] + [ns.Group(child="vv", parent="u7")]
                return stored

            @groups.setter
            def groups(self, value):
                self.__dict__["groups"] = value

        Watched.__name__ = "RoleMatrix"
        names = ["tt" if i % 4 == 1 else f"u{i % 6}" for i in range(30)]
        m = Watched(name="app", policies=[], groups=[maker(ns, "groups")(n) for n in names])
        Watched.reads = 0
        m._set_sub_groups("tt", ["u3", "u4"])
        outcomes.append((Watched.reads, walk_state(m)))
    assert outcomes[0] == outcomes[1]


@pytest.mark.parametrize("op", ["_dag_add_group", "_add_groups"])
def test_an_append_goes_to_the_list_that_dag_holds_after_the_membership_test(rm, op):
    """`dag[a].append(b)` reads `dag[a]` after `b not in dag[a]`: a successor whose
    comparison puts another list under `a` receives no append into the list it replaced."""
    zarn_engine.use_engine(AcceptingEngine())
    outcomes = []
    for ns in (rm, model):
        m = ns.RoleMatrix(name="app", policies=[], groups=[ns.Group(child="aa", parent="xx")])

        class Swapper(str):
            def __eq__(self, other, m=m):
                m.dag["aa"] = ["xx"]
                return str.__eq__(self, other)

            __hash__ = str.__hash__

        m.dag["aa"].append(Swapper("yy"))
        m.dag["yy"] = []
        m.dag["zz"] = []
        if op == "_dag_add_group":
            m._dag_add_group(ns.Group(child="aa", parent="zz"))
        else:
            m._add_groups("aa", ["zz"])
        outcomes.append(repr(state(m)))
    assert outcomes[0] == outcomes[1]
