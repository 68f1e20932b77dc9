// The behaviour of RoleMatrix: graph index, search, mutation, queries and updates.
#pragma once

#include "module/function.hpp"

namespace zarn::graph {

// Method implementations; args as described at Impl.
PyObject* init(Function*, PyObject* const*) noexcept;
PyObject* dag_add_policy(Function*, PyObject* const*) noexcept;
PyObject* dag_set_policies(Function*, PyObject* const*) noexcept;
PyObject* dag_add_group(Function*, PyObject* const*) noexcept;
PyObject* dag_set_groups(Function*, PyObject* const*) noexcept;
PyObject* dag_generate(Function*, PyObject* const*) noexcept;
PyObject* dfs(Function*, PyObject* const*) noexcept;
PyObject* check_new_group(Function*, PyObject* const*) noexcept;
PyObject* add_permissions(Function*, PyObject* const*) noexcept;
PyObject* add_groups(Function*, PyObject* const*) noexcept;
PyObject* set_sub_permissions(Function*, PyObject* const*) noexcept;
PyObject* set_sub_groups(Function*, PyObject* const*) noexcept;
PyObject* get_role_contents(Function*, PyObject* const*) noexcept;
PyObject* add_role_permissions(Function*, PyObject* const*) noexcept;
PyObject* set_role_permissions(Function*, PyObject* const*) noexcept;
PyObject* add_role_sub_roles(Function*, PyObject* const*) noexcept;
PyObject* set_role_sub_roles(Function*, PyObject* const*) noexcept;
PyObject* get_implicit_permissions_for_roles(Function*, PyObject* const*) noexcept;

}  // namespace zarn::graph
