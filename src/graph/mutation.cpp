// The four primitives that change a role's stored permissions and containment edges,
// keeping `dag` in step through the index operations (called through the instance).
//
// Stored lists are read afresh at each use and changed through the append and extend of
// the object the attribute holds, or replaced by assignment. Beyond the plain algorithm:
//   - an empty replacement also clears the role's successors of that kind in `dag`
//     (a revoked permission must not stay granted), when the role is a key;
//   - a failing cycle guard in `_set_sub_groups` puts the former groups back first;
//   - `_set_sub_permissions` refuses a role that is no key of `dag` before changing
//     anything, so the stored list never runs ahead of the index.
// The two adds test each new record against the stored list through StoredRecords (a hash
// set over plain records, see stored.hpp), so that a call costs the list once, not per item.
#include "graph/methods.hpp"
#include "graph/edges.hpp"
#include "graph/protocol.hpp"
#include "graph/walk.hpp"
#include "graph/stored.hpp"

namespace zarn::graph {

namespace {

// `guard(new_group)` called through the instance, taken as a truth value
bool accepted(PyObject* self, PyObject* new_group) {
    Ref verdict = call_method(self, interned<"_check_new_group">(), &new_group, 1);
    return truthy(verdict.get());
}

// Every node of `dag` plain and every successor list an exact list: our own search and
// edge additions on it run no Python code.
bool plain_graph(PyObject* dag) {
    if (!PyDict_CheckExact(dag))
        return false;
    Py_ssize_t pos = 0;
    PyObject *node, *successors;
    while (PyDict_Next(dag, &pos, &node, &successors)) {
        if (!is_plain(node) || !PyList_CheckExact(successors))
            return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(successors); ++i)
            if (!is_plain(PyList_GET_ITEM(successors, i)))
                return false;
    }
    return true;
}

// The steps of one add call, item by item, as far as they concern the side indexes that the
// call keeps from one item to the next (the stored list's and the edge run's): those hold
// only while nothing but our own code and the framework's construction of a plain record
// has run. A step that cannot be vouched for drops them.
class AddSteps {
public:
    AddSteps(PyObject* self, StoredRecords& stored, EdgeRun& run) : self_(self), stored_(stored), run_(run) {}

    void disturbed() {
        stored_.disturbed();
        run_.disturbed();
        plain_dag_.reset();
    }

    // The record for the next item, `cls(<kwnames>=values...)`, where `cls` is the record class
    // as found now. Building it runs only the framework's code when the class is ours as made
    // and the values exact str, and the item came from an exact list or tuple.
    Ref record(PyObject* cls, const RecordClass& kind, bool by_index, PyObject* const* values, Py_ssize_t count,
               PyObject* kwnames) {
        bool quiet = by_index && kind.is(cls);
        for (Py_ssize_t i = 0; i < count; ++i)
            quiet = quiet && PyUnicode_CheckExact(values[i]);
        if (!quiet)
            disturbed();
        return Ref::own(PyObject_Vectorcall(cls, values, 0, kwnames));
    }

    // Whether calling `_check_new_group` through the instance runs our own guard on a graph
    // of plain nodes: it then runs no Python code. The graph is checked once, and trusted
    // while the steps stay quiet (ours only add plain nodes).
    bool quiet_guard() {
        if (!finds_own_quietly(self_, interned<"_check_new_group">()) || !finds_own_quietly(self_, interned<"_dfs">()))
            return false;
        Borrowed dag = dag_.peek(self_);
        if (!dag)
            return false;
        if (plain_dag_.get() == dag.get())
            return true;
        if (!plain_graph(dag.get()))
            return false;
        plain_dag_ = dag.keep();
        return true;
    }

    // `self.<add>(record)` through the edge run, which tells whether it stayed quiet.
    void add_edge(void (EdgeRun::*add)(PyObject*), PyObject* name, PyObject* record) {
        const bool found_quietly = finds_own_quietly(self_, name);
        (run_.*add)(record);
        if (!found_quietly || !run_.quiet())
            disturbed();
    }

private:
    PyObject* self_;
    StoredRecords& stored_;
    EdgeRun& run_;
    FieldReader dag_{names.dag};
    Ref plain_dag_;  // the graph last found plain
};

Ref add_permissions_body(Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* sub = args[1];
    StoredRecords stored(self, names.policies, policy_class());
    EdgeRun run(self);
    AddSteps steps(self, stored, run);
    Cursor cursor(args[2]);
    while (Ref permission = cursor.next()) {
        bool pure = true;
        Ref obj = field(permission.get(), names.obj, &pure);
        Ref act = field(permission.get(), names.act, &pure);
        if (!pure)
            steps.disturbed();
        Ref cls = record_class(fn, names.Policy);
        PyObject* values[] = {sub, obj.get(), act.get()};
        Ref policy = steps.record(cls.get(), policy_class(), cursor.by_index(), values, 3, names.kw_sub_obj_act);
        if (stored.contains(policy.get()))
            continue;
        steps.add_edge(&EdgeRun::add_policy, interned<"_dag_add_policy">(), policy.get());
        stored.append(policy.get());
    }
    return none();
}

constexpr MethodDecl add_permissions{.name = "_add_permissions",
                                     .params = {"self", "sub", "permissions"},
                                     .annotations = {nullptr, "str", "list"},
                                     .impl = entry<add_permissions_body>};

Ref add_groups_body(Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* child = args[1];
    StoredRecords stored(self, names.groups, group_class());
    EdgeRun run(self);
    AddSteps steps(self, stored, run);
    Cursor cursor(args[2]);
    bool first = true;
    while (Ref parent = cursor.next()) {
        Ref cls = record_class(fn, names.Group);
        PyObject* values[] = {child, parent.get()};
        Ref group = steps.record(cls.get(), group_class(), cursor.by_index(), values, 2, names.kw_child_parent);
        if (stored.contains(group.get()))
            continue;
        // The graph is looked at from the second guard on: a call of one item keeps nothing.
        const bool quiet = !first && steps.quiet_guard();
        first = false;
        const bool safe = accepted(self, group.get());
        if (!quiet)
            steps.disturbed();
        if (!safe)
            continue;  // the edge would close a cycle: dropped silently
        steps.add_edge(&EdgeRun::add_group, interned<"_dag_add_group">(), group.get());
        stored.append(group.get());
    }
    return none();
}

constexpr MethodDecl add_groups{.name = "_add_groups",
                                .params = {"self", "child", "parents"},
                                .annotations = {nullptr, "str", "list"},
                                .impl = entry<add_groups_body>};

// Clears the successors of `role` of one kind when it is a key (empty replacement).
void clear_in_index(PyObject* self, PyObject* role, PyObject* set_name) {
    Ref dag = field(self, names.dag);
    if (!contains(dag.get(), role))
        return;
    Ref empty = new_list();
    PyObject* call_args[] = {role, empty.get()};
    call_method(self, set_name, call_args, 2);
}

Ref set_sub_permissions_body(Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* sub = args[1];
    if (!PyList_Check(field(self, names.policies).get())) {
        PyErr_SetNone(PyExc_AssertionError);
        fail();
    }
    Ref new_policies = new_list();
    for_each(args[2], [&](PyObject* permission) {
        check(PyList_Append(new_policies.get(), policy_from_permission(fn, sub, permission).get()));
    });
    const bool empty = PyList_GET_SIZE(new_policies.get()) == 0;
    if (!empty && !contains(field(self, names.dag).get(), sub))
        raise_key_error(sub);

    Ref kept = select(field(self, names.policies).get(), names.sub, sub, Py_NE);
    setattr(self, names.policies, kept.get());
    if (empty) {
        clear_in_index(self, sub, interned<"_dag_set_policies">());
        return none();
    }
    extend(field(self, names.policies).get(), new_policies.get());
    PyObject* call_args[] = {sub, new_policies.get()};
    call_method(self, interned<"_dag_set_policies">(), call_args, 2);
    return none();
}

constexpr MethodDecl set_sub_permissions{.name = "_set_sub_permissions",
                                         .params = {"self", "sub", "permissions"},
                                         .annotations = {nullptr, "str", "list"},
                                         .impl = entry<set_sub_permissions_body>};

Ref set_sub_groups_body(Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* child = args[1];
    Ref new_groups = new_list();
    for_each(args[2], [&](PyObject* parent) {
        check(PyList_Append(new_groups.get(), make_group(fn, child, parent).get()));
    });
    auto [old_groups, kept] = split(self, names.groups, names.child, child);
    setattr(self, names.groups, kept.get());
    if (PyList_GET_SIZE(new_groups.get()) == 0) {
        clear_in_index(self, child, interned<"_dag_set_groups">());
        return none();
    }
    // Every check is made against the index as it stood on entry; the new edges reach it
    // only once all are accepted.
    bool all_accepted = true;
    try {
        Cursor cursor(new_groups.get());
        while (Ref group = cursor.next())
            if (!accepted(self, group.get())) {
                all_accepted = false;
                break;
            }
    } catch (const PyErrOccurred&) {
        // No containment lost: the former groups go back before the error propagates.
        ErrorGuard keep;
        try {
            extend(field(self, names.groups).get(), old_groups.get());
        } catch (const PyErrOccurred&) {
            PyErr_Clear();
        }
        throw;
    }
    if (!all_accepted) {
        extend(field(self, names.groups).get(), old_groups.get());
        return none();
    }
    extend(field(self, names.groups).get(), new_groups.get());
    PyObject* call_args[] = {child, new_groups.get()};
    call_method(self, interned<"_dag_set_groups">(), call_args, 2);
    return none();
}

constexpr MethodDecl set_sub_groups{.name = "_set_sub_groups",
                                    .params = {"self", "child", "parents"},
                                    .annotations = {nullptr, "str", "list"},
                                    .impl = entry<set_sub_groups_body>};

constexpr const MethodDecl* methods[] = {&add_permissions, &add_groups, &set_sub_permissions, &set_sub_groups};

}  // namespace

const MethodList mutation_methods = methods;

}  // namespace zarn::graph
