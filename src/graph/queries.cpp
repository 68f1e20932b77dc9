// What a role holds directly (from the stored lists) and what a list of roles holds in
// total (from `dag`).
#include "graph/graph.hpp"
#include "graph/protocol.hpp"
#include "graph/search.hpp"

namespace zarn::graph {

namespace {

Ref get_role_contents_body(Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* role_name = args[1];

    Ref kept = select(field(self, names.policies).get(), names.sub, role_name);
    Ref permissions = new_list();
    FieldReader obj_of(names.obj), act_of(names.act);
    for_each(kept.get(), [&](PyObject* p) {
        Ref obj = obj_of(p);
        Ref act = act_of(p);
        check(PyList_Append(permissions.get(), permission_entry(obj.get(), act.get()).get()));
    });
    Ref roles = new_list();
    FieldReader child_of(names.child), parent_of(names.parent);
    for_each(field(self, names.groups).get(), [&](PyObject* g) {
        if (compare(child_of(g).get(), role_name, Py_EQ))
            check(PyList_Append(roles.get(), parent_of(g).get()));
    });
    PyObject* values[] = {role_name, roles.get(), permissions.get()};
    return role_content(fn, values, names.kw_name_roles_permissions);
}

Ref implicit_body(Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* role_names = args[1];

    // Every requested role becomes a node; this stays, whatever happens next.
    Ref dag = field(self, names.dag);
    for_each(role_names, [&](PyObject* role) {
        if (!contains(dag.get(), role))
            setitem(dag.get(), role, new_list().get());
    });

    // One search per name, each through the `_dfs` found on the instance at that moment.
    // While that is our own search on a plain dict, the reached nodes are kept in a set
    // instead of a flag per node of `dag`; once anything else is found, the flags are made
    // from the set and the rest goes the specified way.
    Ref permissions = new_list();
    const bool plain_dag = PyDict_CheckExact(dag.get());
    // Positions may mark the reached nodes when no Python code can run until the answer is
    // collected: the names walked without it, and each lookup finding our own search.
    const bool quiet = plain_dag && (PyList_CheckExact(role_names) || PyTuple_CheckExact(role_names)) &&
                       finds_own_quietly(self, names._dfs, spec::dfs);
    Reached reached(dag.get(), quiet);
    Ref discovered;
    for_each(role_names, [&](PyObject* role) {
        Method search(self, names._dfs);
        if (plain_dag && !discovered && search.is_own(spec::dfs)) {
            reached.reach(role);
            return;
        }
        if (!discovered) {
            discovered = Ref::own(PyDict_New());
            for_each(dag.get(), [&](PyObject* key) {
                const bool seen = plain_dag && reached.contains(key);
                check(PyDict_SetItem(discovered.get(), key, seen ? Py_True : Py_False));
            });
        }
        PyObject* call_args[] = {role, discovered.get()};
        search.call(spec::dfs, call_args, 2);
    });
    if (!discovered) {
        // Only our own searches ran: one pass for the reached pairs in the order of `dag`.
        reached.collect(permissions.get());
    } else {
        Ref items = Ref::own(PyDict_Items(discovered.get()));
        for_each(items.get(), [&](PyObject* item) {
            PyObject* node = PyTuple_GET_ITEM(item, 0);
            if (truthy(PyTuple_GET_ITEM(item, 1)) && PyTuple_Check(node))
                check(PyList_Append(permissions.get(), pair_entry(node).get()));
        });
    }
    Ref name = Ref::own(PyUnicode_Join(names.comma, role_names));
    PyObject* values[] = {name.get(), permissions.get()};
    return role_content(fn, values, names.kw_name_permissions);
}

}  // namespace

PyObject* get_role_contents(Function* fn, PyObject* const* args) noexcept {
    return entry<get_role_contents_body>(fn, args);
}
PyObject* get_implicit_permissions_for_roles(Function* fn, PyObject* const* args) noexcept {
    return entry<implicit_body>(fn, args);
}

}  // namespace zarn::graph
