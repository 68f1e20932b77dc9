// Interned attribute names and keyword tuples: immutable constants made once at load.
#pragma once

#include "module/refs.hpp"

namespace zarn {

struct Names {
    // attributes and methods read by the role graph
    PyObject *dag, *policies, *groups, *sub, *obj, *act, *child, *parent, *append, *extend,
        *save, *from_display, *keys;
    // names looked up in the module namespace at each call
    PyObject *Policy, *Group, *RoleContent, *AclItem;
    // methods called through the instance
    PyObject *_dfs, *_check_new_group, *_dag_add_policy, *_dag_add_group, *_dag_set_policies,
        *_dag_set_groups, *_dag_generate, *_add_permissions, *_add_groups, *_set_sub_permissions,
        *_set_sub_groups, *get_role_contents, *__init__;
    // constant values
    PyObject *public_, *root, *admin, *star, *comma, *empty_tuple;
    // {"obj": None, "act": None}: permission entries are copies of it (never handed out)
    PyObject* entry_template;
    // keyword-name tuples for vectorcall
    PyObject *kw_sub_obj_act, *kw_child_parent, *kw_name_roles_permissions, *kw_name_permissions,
        *kw_role_name;
};

// Valid after init_names() has succeeded.
extern Names names;

// Creates the constants once per process; later calls do nothing. Throws on failure.
void init_names();

}  // namespace zarn
