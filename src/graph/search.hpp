// Reachability on `dag` for our own callers, when no override of `_dfs` is in play.
#pragma once

#include <cstdint>
#include <vector>

#include "module/refs.hpp"

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

// The nodes a search reached, with what the collection pass over `dag` needs.
struct Reached {
    NodeSet nodes;
    // Every reached node was an exact str or an exact tuple of exact str: their equality
    // is the plain one, so each reached pair is equal to exactly one key and the pass may
    // stop once it has found `pairs` of them.
    bool plain = true;
    size_t pairs = 0;

    void add_new(PyObject* node) {
        if (PyUnicode_CheckExact(node))
            return;
        if (PyTuple_CheckExact(node)) {
            bool strings = true;
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(node); ++i)
                strings = strings && PyUnicode_CheckExact(PyTuple_GET_ITEM(node, i));
            if (strings) {
                ++pairs;
                return;
            }
        }
        plain = false;
    }
};

// Adds to `reached` every node reachable from `start` in the exact dict `dag` (`start`
// included). Reading a node that is no key raises KeyError for it, as the search does.
void reach(PyObject* dag, PyObject* start, Reached& reached);

// The interpreter's hash of `node`; throws when it raises.
inline Py_hash_t hash_of(PyObject* node) {
    const Py_hash_t h = PyObject_Hash(node);
    if (h == -1) [[unlikely]]
        fail();
    return h;
}

}  // namespace zarn::graph
