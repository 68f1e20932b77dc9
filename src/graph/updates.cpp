// The public update operations: convert, mutate, save, answer with the role's contents.
#include "graph/methods.hpp"
#include "graph/protocol.hpp"

namespace zarn::graph {

namespace {

// The error of a failed `**item` merge, turned into the interpreter's own: an
// AttributeError (no `keys`, or one raised inside it) becomes "argument after ** must be a
// mapping", a key met twice "got multiple values for keyword argument".
void kwargs_error(PyObject* func, PyObject* item) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        Ref shown = Ref::own(_PyObject_FunctionStr(func));
        PyErr_Format(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s", shown.get(),
                     Py_TYPE(item)->tp_name);
    } else if (PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        Ref t = Ref::steal(type), v = Ref::steal(value), b = Ref::steal(tb);
        if (v && PyTuple_Check(v.get()) && PyTuple_GET_SIZE(v.get()) == 1) {
            Ref shown = Ref::own(_PyObject_FunctionStr(func));
            PyErr_Format(PyExc_TypeError, "%U got multiple values for keyword argument '%S'", shown.get(),
                         PyTuple_GET_ITEM(v.get(), 0));
        } else {
            PyErr_Restore(t.release(), v.release(), b.release());
        }
    }
    fail();
}

// `AclItem.from_display(**item)`, as the interpreter runs it: the callee first, then the
// item merged into a new dict (its `keys` read once), then the call.
Ref acl_item(Function* fn, PyObject* item) {
    Ref cls = record_class(fn, names.AclItem);
    Ref from_display = getattr(cls.get(), names.from_display);
    Ref kwargs = Ref::own(PyDict_New());
    if (_PyDict_MergeEx(kwargs.get(), item, 2) < 0)
        kwargs_error(from_display.get(), item);
    return Ref::own(PyObject_Call(from_display.get(), names.empty_tuple, kwargs.get()));
}

Ref convert(Function* fn, PyObject* permissions) {
    Ref items = new_list();
    for_each(permissions, [&](PyObject* item) { check(PyList_Append(items.get(), acl_item(fn, item).get())); });
    return items;
}

// Mutation through the instance, save(), then get_role_contents(role_name=role_name).
Ref update(PyObject* self, PyObject* role_name, PyObject* input, PyObject* primitive) {
    PyObject* call_args[] = {role_name, input};
    call_method(self, primitive, call_args, 2);
    PyObject* save_args[] = {self};
    Ref saved = Ref::own(PyObject_VectorcallMethod(names.save, save_args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return call_method(self, interned<"get_role_contents">(), &role_name, 0, names.kw_role_name);
}

Ref add_role_permissions_body(Function* fn, PyObject* const* args) {
    Ref items = convert(fn, args[2]);
    return update(args[0], args[1], items.get(), interned<"_add_permissions">());
}

constexpr MethodDecl add_role_permissions{.name = "add_role_permissions",
                                          .params = {"self", "role_name", "permissions", "_acl"},
                                          .annotations = {nullptr, "str", "list"},
                                          .none_default = true,
                                          .impl = entry<add_role_permissions_body>};

Ref set_role_permissions_body(Function* fn, PyObject* const* args) {
    Ref items = convert(fn, args[2]);
    return update(args[0], args[1], items.get(), interned<"_set_sub_permissions">());
}

constexpr MethodDecl set_role_permissions{.name = "set_role_permissions",
                                          .params = {"self", "role_name", "permissions", "_acl"},
                                          .annotations = {nullptr, "str", "list"},
                                          .none_default = true,
                                          .impl = entry<set_role_permissions_body>};

Ref add_role_sub_roles_body(Function*, PyObject* const* args) {
    return update(args[0], args[1], args[2], interned<"_add_groups">());
}

constexpr MethodDecl add_role_sub_roles{.name = "add_role_sub_roles",
                                        .params = {"self", "role_name", "sub_role_names", "_acl"},
                                        .annotations = {nullptr, "str", "list"},
                                        .none_default = true,
                                        .impl = entry<add_role_sub_roles_body>};

Ref set_role_sub_roles_body(Function*, PyObject* const* args) {
    return update(args[0], args[1], args[2], interned<"_set_sub_groups">());
}

constexpr MethodDecl set_role_sub_roles{.name = "set_role_sub_roles",
                                        .params = {"self", "role_name", "sub_role_names", "_acl"},
                                        .annotations = {nullptr, "str", "list"},
                                        .none_default = true,
                                        .impl = entry<set_role_sub_roles_body>};

constexpr const MethodDecl* methods[] = {&add_role_permissions, &set_role_permissions, &add_role_sub_roles,
                                         &set_role_sub_roles};

}  // namespace

const MethodList update_methods = methods;

}  // namespace zarn::graph
