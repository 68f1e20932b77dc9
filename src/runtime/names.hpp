// Interned names and constant objects, made once per process.
#pragma once

#include <cstddef>

#include "runtime/refs.hpp"

namespace zarn {

struct Names {
    // attributes and methods of other objects, read by the role graph
    PyObject *dag, *policies, *groups, *sub, *obj, *act, *child, *parent, *append, *extend,
        *save, *from_display, *__init__;
    // names looked up in the module namespace at each call
    PyObject *Policy, *Group, *RoleContent, *AclItem;
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

// Text fixed at compile time, usable as a template argument.
template <std::size_t N>
struct Text {
    char chars[N];
    constexpr Text(const char (&text)[N]) {
        for (std::size_t i = 0; i < N; ++i)
            chars[i] = text[i];
    }
};

// The interned str of `T`, made on first use and kept for the life of the process:
// `interned<"_dfs">()`. Interning makes it the very object that every other interning of
// the same text gives while it lives, so that names compare by identity.
template <Text T>
PyObject* interned() {
    static PyObject* name = nullptr;
    if (name == nullptr) [[unlikely]]
        name = check(PyUnicode_InternFromString(T.chars));
    return name;
}

}  // namespace zarn
