// The classes the module creates at load, in the order it creates them.
#pragma once

#include "module/classdef.hpp"
#include "module/function.hpp"

namespace zarn {

extern const ClassDef policy_def;
extern const ClassDef group_def;
extern const ClassDef role_content_def;
extern const ClassDef role_matrix_def;

// The methods of RoleMatrix, in namespace order; the role graph uses them to recognise
// its own functions behind an attribute lookup.
namespace spec {
extern const MethodSpec init, dag_add_policy, dag_set_policies, dag_add_group, dag_set_groups,
    dag_generate, dfs, check_new_group, add_permissions, add_groups, set_sub_permissions,
    set_sub_groups, get_role_contents, add_role_permissions, set_role_permissions,
    add_role_sub_roles, set_role_sub_roles, get_implicit_permissions_for_roles;
}

}  // namespace zarn
