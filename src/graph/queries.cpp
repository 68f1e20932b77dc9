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
    for_each(kept.get(), [&](PyObject* p) {
        Ref obj = field(p, names.obj);
        Ref act = field(p, names.act);
        check(PyList_Append(permissions.get(), permission_entry(obj.get(), act.get()).get()));
    });
    Ref roles = new_list();
    for_each(field(self, names.groups).get(), [&](PyObject* g) {
        if (compare(field(g, names.child).get(), role_name, Py_EQ))
            check(PyList_Append(roles.get(), field(g, names.parent).get()));
    });
    PyObject* values[] = {role_name, roles.get(), permissions.get()};
    return role_content(fn, values, names.kw_name_roles_permissions);
}

// The entry of a reached permission pair: element 0 as "obj", element 1 as "act".
Ref pair_entry(PyObject* pair) {
    if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2) [[likely]]
        return permission_entry(PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1));
    Ref obj = Ref::own(PySequence_GetItem(pair, 0));
    Ref act = Ref::own(PySequence_GetItem(pair, 1));
    return permission_entry(obj.get(), act.get());
}

// Appends the entries of the reached pairs in the key order of `dag`, in one pass. The
// dict keeps each key's hash beside it: a one-bit-per-slot filter on the hashes of the
// reached nodes rules most keys out without touching the key object at all.
void collect(PyObject* dag, const Reached& reached, PyObject* out) {
    size_t slots = 64;
    while (slots < reached.nodes.size() * 16)
        slots <<= 1;
    const uint64_t mask = slots - 1;
    std::vector<uint64_t> bits(slots / 64, 0);
    reached.nodes.for_each_hash([&](Py_hash_t h) {
        const uint64_t slot = uint64_t(h) & mask;
        bits[slot >> 6] |= uint64_t(1) << (slot & 63);
    });
    size_t remaining = reached.pairs;
    const bool stop_early = reached.plain;
    if (stop_early && remaining == 0)
        return;
    Ref hold = Ref::borrow(dag);  // the pass holds `dag` even if the instance lets go of it
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    Py_hash_t hash;
    while (_PyDict_Next(dag, &pos, &key, &value, &hash)) {
        const uint64_t slot = uint64_t(hash) & mask;
        if (!(bits[slot >> 6] & (uint64_t(1) << (slot & 63))) || !PyTuple_Check(key))
            continue;
        Ref node = Ref::borrow(key);
        if (!reached.nodes.contains(node.get(), hash))
            continue;
        check(PyList_Append(out, pair_entry(node.get()).get()));
        if (stop_early && --remaining == 0)
            break;
    }
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
    Reached reached;
    Ref discovered;
    for_each(role_names, [&](PyObject* role) {
        Method search(self, names._dfs);
        if (plain_dag && !discovered && search.is_own(spec::dfs)) {
            reach(dag.get(), role, reached);
            return;
        }
        if (!discovered) {
            discovered = Ref::own(PyDict_New());
            for_each(dag.get(), [&](PyObject* key) {
                const bool seen = plain_dag && reached.nodes.contains(key, hash_of(key));
                check(PyDict_SetItem(discovered.get(), key, seen ? Py_True : Py_False));
            });
        }
        PyObject* call_args[] = {role, discovered.get()};
        search.call(spec::dfs, call_args, 2);
    });
    if (!discovered) {
        // Only our own searches ran: one pass over `dag` for the reached pairs in its order.
        collect(dag.get(), reached, permissions.get());
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
