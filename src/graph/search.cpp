// The reachability search `_dfs` and the cycle guard `_check_new_group`.
//
// Both searches use an explicit stack, never native recursion, so that containment of any
// depth is safe. `_dfs` marks in the same pre-order as its recursive definition: a node is
// marked before its successors are looked at, successors are taken in list order, each
// fully explored before the next, and a marked node is never entered from a predecessor.
#include "graph/search.hpp"

#include <vector>

#include "graph/graph.hpp"
#include "graph/protocol.hpp"

namespace zarn::graph {

namespace {

// One level of the search: the successor list of a node being explored.
struct Level {
    Cursor successors;
};

// `discovered[key] = True`
void mark(PyObject* discovered, PyObject* key) {
    if (PyDict_CheckExact(discovered)) [[likely]]
        check(PyDict_SetItem(discovered, key, Py_True));
    else
        setitem(discovered, key, Py_True);
}

// The truth of `discovered[key]`
bool marked(PyObject* discovered, PyObject* key) {
    Ref flag = getitem(discovered, key);
    PyObject* f = flag.get();
    if (f == Py_True)
        return true;
    if (f == Py_False)
        return false;
    return truthy(f);
}

Ref dfs_body(Function*, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* start = args[1];
    PyObject* discovered = args[2];
    std::vector<Level> stack;
    // Entering a node is one step of the recursive definition: mark it, then read its
    // successor list from the instance's `dag` as it stands now.
    auto enter = [&](PyObject* node) {
        mark(discovered, node);
        Ref dag = getattr(self, names.dag);
        Ref successors = getitem(dag.get(), node);
        stack.push_back(Level{Cursor(successors.get())});
    };
    enter(start);
    while (!stack.empty()) {
        Ref end = stack.back().successors.next();
        if (!end) {
            stack.pop_back();
            continue;
        }
        if (marked(discovered, end.get()))
            continue;
        // The recursive step goes through the instance, so an override sees it.
        if (own_method(self, names._dfs, spec::dfs)) {
            enter(end.get());
        } else {
            PyObject* call_args[] = {end.get(), discovered};
            call_method(self, names._dfs, spec::dfs, call_args, 2);
        }
    }
    return Ref::borrow(discovered);
}

// Whether `node` is `target`: identity, else equal hashes and `==`.
bool is_target(PyObject* node, PyObject* target, Py_hash_t target_hash) {
    if (node == target)
        return true;
    const Py_hash_t h = PyObject_Hash(node);
    if (h == -1)
        fail();
    return h == target_hash && check(PyObject_RichCompareBool(node, target, Py_EQ));
}

Ref check_new_group_body(Function*, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* new_group = args[1];
    Ref child = getattr(new_group, names.child);
    Ref dag = getattr(self, names.dag);
    if (!contains(dag.get(), child.get()))
        setitem(dag.get(), child.get(), new_list().get());
    Ref parent = getattr(new_group, names.parent);

    if (PyDict_CheckExact(dag.get()) && own_method(self, names._dfs, spec::dfs)) {
        // Our own search: it costs what the parent reaches, not the size of `dag`, and
        // stops as soon as it reaches the child.
        Reached reached;
        const bool closes_cycle = reach(dag.get(), parent.get(), reached, child.get());
        return Ref::borrow(closes_cycle ? Py_False : Py_True);
    }

    // The flag dictionary over all nodes, for an overriding `_dfs` (or a `dag` that is no
    // plain dict).
    Ref discovered = Ref::own(PyDict_New());
    for_each(dag.get(), [&](PyObject* key) { check(PyDict_SetItem(discovered.get(), key, Py_False)); });
    PyObject* call_args[] = {parent.get(), discovered.get()};
    call_method(self, names._dfs, spec::dfs, call_args, 2);
    return Ref::borrow(marked(discovered.get(), child.get()) ? Py_False : Py_True);
}

}  // namespace

Reached::Reached() : set(Ref::own(PySet_New(nullptr))) {}

uint64_t pair_hash(PyObject* node) {
    if (!PyTuple_CheckExact(node) || PyTuple_GET_SIZE(node) != 2)
        return ~uint64_t(0);
    PyObject* a = PyTuple_GET_ITEM(node, 0);
    PyObject* b = PyTuple_GET_ITEM(node, 1);
    if (!PyUnicode_CheckExact(a) || !PyUnicode_CheckExact(b))
        return ~uint64_t(0);
    // Exact str hashes cannot fail and are cached in the string.
    const uint64_t ha = uint64_t(PyObject_Hash(a));
    const uint64_t hb = uint64_t(PyObject_Hash(b));
    return ha ^ (hb * 0x9E3779B97F4A7C15ull);
}

void Reached::add_new(PyObject* node) {
    if (PyUnicode_CheckExact(node))
        return;
    const uint64_t h = pair_hash(node);
    if (h == ~uint64_t(0))
        plain = false;
    else
        pair_hashes.push_back(h);
}

bool reach(PyObject* dag, PyObject* start, Reached& reached, PyObject* target) {
    PyObject* seen = reached.set.get();
    Py_hash_t target_hash = 0;
    if (target != nullptr && (target_hash = PyObject_Hash(target)) == -1)
        fail();
    std::vector<Level> stack;
    // Marks `node` (known to be new) and enters it; true when it is the target.
    auto enter = [&](PyObject* node) {
        reached.add_new(node);
        if (target != nullptr && is_target(node, target, target_hash))
            return true;
        PyObject* successors = check_borrowed(PyDict_GetItemWithError(dag, node));
        if (successors == nullptr)
            raise_key_error(node);
        stack.push_back(Level{Cursor(successors)});
        return false;
    };
    // Adds `node` to the set; true when it was not there yet.
    auto add = [&](PyObject* node) {
        if (PyUnicode_CheckExact(node) || PyTuple_CheckExact(node)) {
            // Add and test in one lookup: the set grows only for a new node.
            const Py_ssize_t before = PySet_GET_SIZE(seen);
            check(PySet_Add(seen, node));
            return PySet_GET_SIZE(seen) != before;
        }
        if (check(PySet_Contains(seen, node)))
            return false;
        check(PySet_Add(seen, node));
        return true;
    };
    if (!add(start))
        return false;
    if (enter(start))
        return true;
    while (!stack.empty()) {
        Ref end = stack.back().successors.next();
        if (!end) {
            stack.pop_back();
            continue;
        }
        if (add(end.get()) && enter(end.get()))
            return true;
    }
    return false;
}

PyObject* dfs(Function* fn, PyObject* const* args) noexcept { return entry<dfs_body>(fn, args); }
PyObject* check_new_group(Function* fn, PyObject* const* args) noexcept {
    return entry<check_new_group_body>(fn, args);
}

}  // namespace zarn::graph
