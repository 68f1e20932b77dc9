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
void mark(PyObject* discovered, PyObject* key) { setitem(discovered, key, Py_True); }

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
        Ref dag = field(self, names.dag);
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
        // The recursive step goes through the instance, so an override sees it; our own
        // function is entered on the explicit stack.
        Method recurse(self, names._dfs);
        if (recurse.is_own(spec::dfs)) {
            enter(end.get());
        } else {
            PyObject* call_args[] = {end.get(), discovered};
            recurse.call(spec::dfs, call_args, 2);
        }
    }
    return Ref::borrow(discovered);
}

Ref check_new_group_body(Function*, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* new_group = args[1];
    Ref child = field(new_group, names.child);
    Ref dag = field(self, names.dag);
    if (!contains(dag.get(), child.get()))
        setitem(dag.get(), child.get(), new_list().get());
    Ref parent = field(new_group, names.parent);

    Method search(self, names._dfs);
    if (PyDict_CheckExact(dag.get()) && search.is_own(spec::dfs)) {
        // Our own search: it costs what the parent reaches, not the size of `dag`. It
        // explores all of it, as the flag search does, so that a successor that is no key
        // raises its KeyError here too.
        Reached reached;
        reach(dag.get(), parent.get(), reached);
        return Ref::borrow(reached.nodes.contains(child.get(), hash_of(child.get())) ? Py_False : Py_True);
    }

    // The flag dictionary over all nodes, for an overriding `_dfs` (or a `dag` that is no
    // plain dict).
    Ref discovered = Ref::own(PyDict_New());
    for_each(dag.get(), [&](PyObject* key) { check(PyDict_SetItem(discovered.get(), key, Py_False)); });
    PyObject* call_args[] = {parent.get(), discovered.get()};
    search.call(spec::dfs, call_args, 2);
    return Ref::borrow(marked(discovered.get(), child.get()) ? Py_False : Py_True);
}

}  // namespace

size_t NodeSet::find(const std::vector<Slot>& slots, PyObject* node, Py_hash_t hash) const {
    const size_t mask = slots.size() - 1;
    size_t i = size_t(hash) & mask;
    size_t perturb = size_t(hash);
    for (;;) {
        const Slot& slot = slots[i];
        if (!slot.node || slot.node.get() == node)
            return i;
        if (slot.hash == hash && check(PyObject_RichCompareBool(slot.node.get(), node, Py_EQ)))
            return i;
        perturb >>= 5;
        i = (i * 5 + perturb + 1) & mask;
    }
}

void NodeSet::grow() {
    std::vector<Slot> bigger(slots_.size() * 4);
    for (Slot& slot : slots_)
        if (slot.node) {
            // Distinct nodes: the first empty slot on the probe path is theirs.
            const size_t mask = bigger.size() - 1;
            size_t i = size_t(slot.hash) & mask;
            size_t perturb = size_t(slot.hash);
            while (bigger[i].node) {
                perturb >>= 5;
                i = (i * 5 + perturb + 1) & mask;
            }
            bigger[i] = std::move(slot);
        }
    slots_.swap(bigger);
}

bool NodeSet::insert(PyObject* node, Py_hash_t hash) {
    const size_t i = find(slots_, node, hash);
    if (slots_[i].node)
        return false;
    slots_[i].node = Ref::borrow(node);
    slots_[i].hash = hash;
    if (++used_ * 2 > slots_.size())
        grow();
    return true;
}

bool NodeSet::contains(PyObject* node, Py_hash_t hash) const {
    return bool(slots_[find(slots_, node, hash)].node);
}

void reach(PyObject* dag, PyObject* start, Reached& reached) {
    std::vector<Level> stack;
    // Marks `node` and enters it, unless it was reached before.
    auto visit = [&](PyObject* node) {
        const Py_hash_t hash = hash_of(node);
        if (!reached.nodes.insert(node, hash))
            return;
        reached.add_new(node);
        PyObject* successors = check_borrowed(_PyDict_GetItem_KnownHash(dag, node, hash));
        if (successors == nullptr)
            raise_key_error(node);
        stack.push_back(Level{Cursor(successors)});
    };
    visit(start);
    while (!stack.empty()) {
        Ref end = stack.back().successors.next();
        if (!end) {
            stack.pop_back();
            continue;
        }
        visit(end.get());
    }
}

PyObject* dfs(Function* fn, PyObject* const* args) noexcept { return entry<dfs_body>(fn, args); }
PyObject* check_new_group(Function* fn, PyObject* const* args) noexcept {
    return entry<check_new_group_body>(fn, args);
}

}  // namespace zarn::graph
