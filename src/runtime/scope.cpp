// Name lookup through namespaces, with the interpreter's own NameError.
#include "runtime/scope.hpp"

namespace zarn {

namespace {

// `mapping[key]`, empty when absent: an exact dict is read directly, any other mapping
// through its __getitem__, whose KeyError means absent.
Ref mapping_get(PyObject* mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping))
        return dict_get(mapping, key).keep();
    Ref v = Ref::steal(PyObject_GetItem(mapping, key));
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError))
            fail();
        PyErr_Clear();
    }
    return v;
}

// What the interpreter raises for a name found nowhere: the message with the name cut to
// 200 bytes, and the name kept on the exception.
[[noreturn]] void name_error(PyObject* name) {
    const char* text = PyUnicode_AsUTF8(name);
    if (text == nullptr)
        fail();
    PyErr_Format(PyExc_NameError, "name '%.200s' is not defined", text);
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value != nullptr && PyErr_GivenExceptionMatches(value, PyExc_NameError) &&
        PyObject_SetAttrString(value, "name", name) < 0)
        PyErr_Clear();  // the NameError stands either way
    PyErr_Restore(type, value, tb);
    fail();
}

}  // namespace

Ref builtins_of(PyObject* globals) {
    Borrowed b = dict_get(globals, "__builtins__");
    if (!b)
        return Ref::borrow(PyEval_GetBuiltins());
    return PyModule_Check(b.get()) ? Ref::borrow(PyModule_GetDict(b.get())) : b.keep();
}

Ref load_global(PyObject* globals, PyObject* builtins, PyObject* name) {
    if (Ref v = mapping_get(globals, name))
        return v;
    if (Ref v = mapping_get(builtins, name))
        return v;
    name_error(name);
}

Ref load_name(PyObject* ns, PyObject* globals, PyObject* builtins, PyObject* name) {
    if (Ref v = mapping_get(ns, name))
        return v;
    return load_global(globals, builtins, name);
}

}  // namespace zarn
