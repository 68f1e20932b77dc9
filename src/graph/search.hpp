// Reachability on `dag` for our own callers, when no override of `_dfs` is in play.
#pragma once

#include <cstdint>
#include <vector>

#include "graph/entries.hpp"
#include "graph/protocol.hpp"
#include "runtime/refs.hpp"

namespace zarn::graph {

// A set of nodes under the interpreter's hash and equality, private to one search: not
// seen by the garbage collector, and every node hashed once.
class NodeSet {
public:
    NodeSet() : slots_(64) {}
    // Adds `node` (whose hash is `hash`); true when it was not there yet.
    bool insert(PyObject* node, Py_hash_t hash);
    bool contains(PyObject* node, Py_hash_t hash) const;
    size_t size() const { return used_; }
    template <class F>
    void for_each_hash(F&& f) const {
        for (const Slot& slot : slots_)
            if (slot.node)
                f(slot.hash);
    }

private:
    struct Slot {
        Ref node;
        Py_hash_t hash = 0;
    };
    // The slot holding a node equal to `node`, or the empty slot where it would go.
    size_t find(const std::vector<Slot>& slots, PyObject* node, Py_hash_t hash) const;
    void grow();

    std::vector<Slot> slots_;
    size_t used_ = 0;
};

// What our own searches on one exact dict `dag` reached, for one query: the reachable set
// of every start given to reach(), accumulated.
//
// While every node met is plain and every successor list an exact list or tuple, nothing
// the search does can run Python code, and (when the caller allows it) reached nodes are
// marked by their position in
// the dict's entry array: no hashing beyond the lookup that finds the successor list, and
// a collection pass that walks the marks in key order. Anything else switches, before any
// Python code could run, to a set of nodes under the interpreter's hash and equality, and
// the earlier starts are searched again (those searches had no effect but the marks).
class Reached {
public:
    // `by_position`: the caller guarantees that no Python code runs between the calls it
    // makes on this object (the dict then cannot change between them).
    Reached(PyObject* dag, bool by_position);
    // Adds every node reachable from `start` (`start` included). Reading a node that is
    // no key raises KeyError for it, as `_dfs` does.
    void reach(PyObject* start);
    // Whether `node` was reached.
    bool contains(PyObject* node);
    // Appends a permission entry for every reached pair, in the key order of `dag`.
    void collect(PyObject* out);

private:
    bool reach_by_position(PyObject* start);
    void reach_by_value(PyObject* start);
    void to_values();

    PyObject* dag_;
    bool by_position_;
    EntryMarks marks_;
    NodeSet nodes_;
    std::vector<Ref> starts_;
    bool plain_ = true;  // every node in nodes_ plain: each pair equals exactly one key
    size_t pairs_ = 0;
};

// `dag[key] = value`, made by our own index operations: the search's successor rows follow
// the change instead of being made anew. The second form is for an exact dict and a plain
// key of the given hash.
void set_successors(PyObject* dag, PyObject* key, PyObject* value);
void set_successors(PyObject* dag, PyObject* key, Py_hash_t hash, PyObject* value);

// A new successor list: empty, or holding `first`. A list of plain nodes can be part of no
// reference cycle, and the graph holds one per node: it is left out of the collector,
// which would otherwise walk every one of them at each full collection. Our own additions
// put it back when they add a node of another kind (track_for).
Ref successor_list(PyObject* first = nullptr);
// Makes the collector see `successors` again before `node`, not plain, is added to it.
inline void track_for(PyObject* successors, PyObject* node) {
    if (!is_plain(node) && PyList_CheckExact(successors) && !PyObject_GC_IsTracked(successors))
        PyObject_GC_Track(successors);
}

// The interpreter's hash of `node`; throws when it raises.
inline Py_hash_t hash_of(PyObject* node) {
    if (PyUnicode_CheckExact(node)) {
        const Py_hash_t cached = reinterpret_cast<PyASCIIObject*>(node)->hash;
        if (cached != -1)
            return cached;
    }
    const Py_hash_t h = PyObject_Hash(node);
    if (h == -1) [[unlikely]]
        fail();
    return h;
}

}  // namespace zarn::graph
