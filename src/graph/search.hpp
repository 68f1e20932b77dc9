// Reachability on `dag` for our own callers, when no override of `_dfs` is in play.
#pragma once

#include <cstdint>
#include <vector>

#include "module/refs.hpp"

namespace zarn::graph {

// The nodes a search reached, as a set, with what the collection pass over `dag` needs to
// skip most keys without a set lookup.
struct Reached {
    Ref set;
    // Every reached node was an exact str or an exact tuple of two exact str: their
    // equality is the plain one, so the pass may filter by hash and stop early.
    bool plain = true;
    // Hashes of the reached (obj, act) pairs, see pair_hash().
    std::vector<uint64_t> pair_hashes;

    Reached();
    void add_new(PyObject* node);
};

// A hash of an exact 2-tuple of exact str, from the strings' own cached hashes; -1 cast
// to uint64 when the node is not such a pair.
uint64_t pair_hash(PyObject* node);

// Adds to `reached` every node reachable from `start` in the exact dict `dag` (`start`
// included). Reading a node that is no key raises KeyError for it, as the search does.
// When `target` is given the search stops as soon as it reaches a node equal to it, and
// the answer says whether it did.
bool reach(PyObject* dag, PyObject* start, Reached& reached, PyObject* target = nullptr);

}  // namespace zarn::graph
