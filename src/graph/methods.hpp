// The methods of RoleMatrix, room by room. Each room declares its methods beside their
// bodies and lists them here in the order in which the class namespace receives them.
#pragma once

#include "runtime/function.hpp"

namespace zarn::graph {

extern const MethodList index_methods;     // __init__ and the graph index (index.cpp)
extern const MethodList search_methods;    // reachability and the cycle guard (search.cpp)
extern const MethodList mutation_methods;  // the policy and group primitives (mutation.cpp)
extern const MethodList contents_methods;  // what a role holds directly (contents.cpp)
extern const MethodList update_methods;    // the public update operations (updates.cpp)
extern const MethodList implicit_methods;  // what a list of roles holds in total (implicit.cpp)

}  // namespace zarn::graph
