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
#include "graph/methods.hpp"
#include "graph/protocol.hpp"

namespace zarn::graph {

namespace {

// `guard(new_group)` called through the instance, taken as a truth value
bool accepted(PyObject* self, PyObject* new_group) {
    Ref verdict = call_method(self, interned<"_check_new_group">(), &new_group, 1);
    return truthy(verdict.get());
}

Ref add_permissions_body(Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* sub = args[1];
    for_each(args[2], [&](PyObject* permission) {
        Ref policy = policy_from_permission(fn, sub, permission);
        if (contains(field(self, names.policies).get(), policy.get()))
            return;
        PyObject* p = policy.get();
        call_method(self, interned<"_dag_add_policy">(), &p, 1);
        append(field(self, names.policies).get(), policy.get());
    });
    return none();
}

constexpr MethodDecl add_permissions{.name = "_add_permissions",
                                     .params = {"self", "sub", "permissions"},
                                     .annotations = {nullptr, "str", "list"},
                                     .impl = entry<add_permissions_body>};

Ref add_groups_body(Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* child = args[1];
    for_each(args[2], [&](PyObject* parent) {
        Ref group = make_group(fn, child, parent);
        if (contains(field(self, names.groups).get(), group.get()))
            return;
        if (!accepted(self, group.get()))
            return;  // the edge would close a cycle: dropped silently
        PyObject* g = group.get();
        call_method(self, interned<"_dag_add_group">(), &g, 1);
        append(field(self, names.groups).get(), group.get());
    });
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
    Ref old_groups = select(field(self, names.groups).get(), names.child, child, Py_EQ);
    Ref kept = select(field(self, names.groups).get(), names.child, child, Py_NE);
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
