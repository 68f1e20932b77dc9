// What a list of roles holds in total: every permission reached through `dag`.
#include "graph/methods.hpp"
#include "graph/protocol.hpp"
#include "graph/search.hpp"

namespace zarn::graph {

namespace {

Ref implicit_body(Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* role_names = args[1];

    // Every requested role becomes a node; this stays, whatever happens next.
    Ref dag = field(self, names.dag);
    for_each(role_names, [&](PyObject* role) {
        if (!contains(dag.get(), role))
            set_successors(dag.get(), role, successor_list().get());
    });

    // One search per name, each through the `_dfs` found on the instance at that moment.
    // While that is our own search on a plain dict, the reached nodes are kept in a set
    // instead of a flag per node of `dag`; once anything else is found, the flags are made
    // from the set and every later search marks them through what was found.
    Ref permissions = new_list();
    const bool plain_dag = PyDict_CheckExact(dag.get());
    // Positions may mark the reached nodes when no Python code can run until the answer is
    // collected: the names walked without it, and each lookup finding our own search.
    const bool quiet = plain_dag && (PyList_CheckExact(role_names) || PyTuple_CheckExact(role_names)) &&
                       finds_own_quietly(self, interned<"_dfs">());
    Reached reached(dag.get(), quiet);
    Ref discovered;
    for_each(role_names, [&](PyObject* role) {
        Method search(self, interned<"_dfs">());
        if (plain_dag && !discovered && search.is_own()) {
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
        search.call(call_args, 2);
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

constexpr const char* implicit_doc =
    "Get full recursive permission of a list of roles\n\n"
    "        Args:\n"
    "            role_names (:obj:`list`): Role list\n"
    "            _acl: Access Control List\n\n"
    "        Returns:\n"
    "            Role Content object of all implicit permissions\n"
    "        ";

constexpr MethodDecl get_implicit_permissions_for_roles{.name = "get_implicit_permissions_for_roles",
                                                        .params = {"self", "role_names", "_acl"},
                                                        .annotations = {nullptr, "list"},
                                                        .none_default = true,
                                                        .doc = implicit_doc,
                                                        .impl = entry<implicit_body>};

constexpr const MethodDecl* methods[] = {&get_implicit_permissions_for_roles};

}  // namespace

const MethodList implicit_methods = methods;

}  // namespace zarn::graph
