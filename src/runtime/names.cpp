// Interned attribute names and keyword tuples used on the hot paths.
#include "runtime/names.hpp"

namespace zarn {

Names names;

namespace {

bool ready = false;

PyObject* intern(const char* text) { return check(PyUnicode_InternFromString(text)); }

// A tuple of interned names; the tuple takes over the one reference each name comes with.
template <class... S>
PyObject* kwnames(S... texts) {
    Ref items[] = {Ref::own(PyUnicode_InternFromString(texts))...};
    Ref tuple = Ref::own(PyTuple_New(sizeof...(S)));
    for (Py_ssize_t i = 0; i < Py_ssize_t(sizeof...(S)); ++i)
        PyTuple_SET_ITEM(tuple.get(), i, items[i].release());
    return tuple.release();
}

}  // namespace

void init_names() {
    if (ready)
        return;
    // Interned strings are not immortal in 3.11: the interned table does not own them. Each
    // constant keeps the reference it was made with and never gives it back, which holds it,
    // and so the one interned object for its text, for the life of the process.
    Names n;
    n.dag = intern("dag");
    n.policies = intern("policies");
    n.groups = intern("groups");
    n.sub = intern("sub");
    n.obj = intern("obj");
    n.act = intern("act");
    n.child = intern("child");
    n.parent = intern("parent");
    n.append = intern("append");
    n.extend = intern("extend");
    n.save = intern("save");
    n.from_display = intern("from_display");
    n.Policy = intern("Policy");
    n.Group = intern("Group");
    n.RoleContent = intern("RoleContent");
    n.AclItem = intern("AclItem");
    n.__init__ = intern("__init__");
    n.public_ = intern("public");
    n.root = intern("root");
    n.admin = intern("admin");
    n.star = intern("*");
    n.comma = intern(",");
    n.empty_tuple = check(PyTuple_New(0));
    n.entry_template = check(PyDict_New());
    check(PyDict_SetItem(n.entry_template, n.obj, Py_None));
    check(PyDict_SetItem(n.entry_template, n.act, Py_None));
    n.kw_sub_obj_act = kwnames("sub", "obj", "act");
    n.kw_child_parent = kwnames("child", "parent");
    n.kw_name_roles_permissions = kwnames("name", "roles", "permissions");
    n.kw_name_permissions = kwnames("name", "permissions");
    n.kw_role_name = kwnames("role_name");
    names = n;
    ready = true;
}

}  // namespace zarn
