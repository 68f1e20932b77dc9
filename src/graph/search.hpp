// Reachability on `dag` for our own callers, when no override of `_dfs` is in play.
#pragma once

#include "module/refs.hpp"

namespace zarn::graph {

// Adds to the set `seen` every node reachable from `start` in the exact dict `dag`
// (`start` included). Reading a node that is no key raises KeyError for it, as the search
// does. When `target` is given the search stops as soon as it reaches a node equal to it,
// and the answer says whether it did.
bool reach(PyObject* dag, PyObject* start, PyObject* seen, PyObject* target = nullptr);

}  // namespace zarn::graph
