// The module entry point and its load sequence.
#include <dlfcn.h>

#include <string>

#include "graph/stored.hpp"
#include "model/declarations.hpp"
#include "runtime/function.hpp"
#include "runtime/names.hpp"

namespace zarn {

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "role_matrix",  // the dotted name comes from the package context at load
    nullptr,        // no docstring
    -1,             // no per-module state: everything lives in the namespace
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Line numbers of the module's statements, for traceback entries of a failed load.
enum Line : int {
    line_future = 1,
    line_import_fields = 3,
    line_import_acl_item = 4,
    line_import_list_fields = 5,
    line_import_documents = 6,
    line_import_acl = 7,
    line_policy = 10,
    line_group = 16,
    line_role_content = 21,
    line_role_matrix = 35,
};

// Runs one statement of the load sequence; a failure gets a traceback entry for its line.
template <class F>
void statement(PyObject* file, int line, F&& body) {
    try {
        body();
    } catch (const PyErrOccurred&) {
        std::string filename = "role_matrix";
        if (file != nullptr) {
            ErrorGuard keep;  // the statement's exception stays pending, untouched
            if (const char* text = PyUnicode_AsUTF8(file))
                filename = text;
            else
                PyErr_Clear();
        }
        _PyTraceback_Add("<module>", filename.c_str(), line);
        throw;
    }
}

// Where this shared library lives: the path of the object that holds this function.
Ref library_path() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&library_path), &info) == 0 || info.dli_fname == nullptr)
        return Ref::own(PyUnicode_FromString("role_matrix"));
    return Ref::own(PyUnicode_DecodeFSDefault(info.dli_fname));
}

void set_attr(PyObject* dict, const char* name, PyObject* value) {
    check(PyDict_SetItemString(dict, name, value));
}

// `from <package> import <names>`: the builtin __import__, then each name taken as an
// attribute or else as a submodule, bound before the next one is taken.
void from_import(PyObject* globals, const char* package, std::initializer_list<const char*> what) {
    Ref import = module_lookup(globals, "__import__");
    Ref pkg_name = Ref::own(PyUnicode_FromString(package));
    Ref fromlist = Ref::own(PyTuple_New(Py_ssize_t(what.size())));
    Py_ssize_t i = 0;
    for (const char* name : what)
        PyTuple_SET_ITEM(fromlist.get(), i++, check(PyUnicode_InternFromString(name)));
    Ref level = Ref::own(PyLong_FromLong(0));
    PyObject* args[] = {pkg_name.get(), globals, Py_None, fromlist.get(), level.get()};
    Ref module = Ref::own(PyObject_Vectorcall(import.get(), args, 5, nullptr));

    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(fromlist.get()); ++k) {
        PyObject* name = PyTuple_GET_ITEM(fromlist.get(), k);
        Ref value = Ref::steal(PyObject_GetAttr(module.get(), name));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError))
                fail();
            PyErr_Clear();
            // A submodule imported during a circular import may be in sys.modules only.
            Ref pkgname = Ref::steal(PyObject_GetAttrString(module.get(), "__name__"));
            if (pkgname && PyUnicode_Check(pkgname.get())) {
                Ref full = Ref::own(PyUnicode_FromFormat("%U.%U", pkgname.get(), name));
                value = Ref::steal(PyImport_GetModule(full.get()));
                if (!value && PyErr_Occurred())
                    fail();
            } else {
                PyErr_Clear();
                pkgname.reset();
            }
            if (!value) {
                Ref shown = pkgname ? pkgname : Ref::own(PyUnicode_FromString("<unknown module name>"));
                Ref path = Ref::steal(PyModule_GetFilenameObject(module.get()));
                if (!path || !PyUnicode_Check(path.get())) {
                    PyErr_Clear();
                    Ref msg = Ref::own(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)",
                                                            name, shown.get()));
                    PyErr_SetImportError(msg.get(), pkgname.get(), nullptr);
                } else {
                    Ref module_spec = Ref::steal(PyObject_GetAttrString(module.get(), "__spec__"));
                    bool initializing = false;
                    if (module_spec) {
                        Ref flag = Ref::steal(PyObject_GetAttrString(module_spec.get(), "_initializing"));
                        initializing = flag && PyObject_IsTrue(flag.get()) > 0;
                    }
                    PyErr_Clear();
                    Ref msg = Ref::own(PyUnicode_FromFormat(
                        initializing ? "cannot import name %R from partially initialized module %R "
                                       "(most likely due to a circular import) (%S)"
                                     : "cannot import name %R from %R (%S)",
                        name, shown.get(), path.get()));
                    PyErr_SetImportError(msg.get(), pkgname.get(), path.get());
                }
                fail();
            }
        }
        check(PyDict_SetItem(globals, name, value.get()));
    }
}

void load(PyObject* module) {
    PyObject* ns = PyModule_GetDict(module);
    Ref name = Ref::own(PyModule_GetNameObject(module));

    // Visible to imports of this name from here on.
    check(PyObject_SetItem(check(PyImport_GetModuleDict()), name.get(), module));

    Ref file = library_path();
    statement(file.get(), line_future, [&] {
        Ref dot = Ref::own(PyUnicode_FromString("."));
        Ref parts = Ref::own(PyUnicode_RPartition(name.get(), dot.get()));
        if (PyUnicode_GET_LENGTH(PyTuple_GET_ITEM(parts.get(), 1)) > 0)
            set_attr(ns, "__package__", PyTuple_GET_ITEM(parts.get(), 0));
        if (!dict_get(ns, "__builtins__"))
            set_attr(ns, "__builtins__", check(PyImport_AddModule("builtins")));
        Ref machinery = Ref::own(PyImport_ImportModule("importlib.machinery"));
        Ref module_spec_type = Ref::own(PyObject_GetAttrString(machinery.get(), "ModuleSpec"));
        Ref module_spec = Ref::own(PyObject_CallFunctionObjArgs(module_spec_type.get(), name.get(), Py_None, nullptr));
        set_attr(ns, "__spec__", module_spec.get());
        set_attr(ns, "__doc__", Py_None);
        set_attr(ns, "__file__", file.get());
        check(PyObject_SetAttrString(module_spec.get(), "origin", file.get()));
        check(PyObject_SetAttrString(module_spec.get(), "has_location", Py_True));
        set_attr(ns, "__cached__", Py_None);

        Ref future = Ref::own(PyImport_ImportModule("__future__"));
        Ref annotations = Ref::own(PyObject_GetAttrString(future.get(), "annotations"));
        set_attr(ns, "annotations", annotations.get());
    });

    statement(file.get(), line_import_fields, [&] { from_import(ns, "zarn_fields", {"StringField", "DictField"}); });
    statement(file.get(), line_import_acl_item, [&] { from_import(ns, "zarn_engine", {"AclItem"}); });
    statement(file.get(), line_import_list_fields,
              [&] { from_import(ns, "zarn_engine", {"ListField", "EmbeddedDocumentField"}); });
    statement(file.get(), line_import_documents,
              [&] { from_import(ns, "zarn_engine", {"Document", "EmbeddedDocument"}); });
    statement(file.get(), line_import_acl, [&] { from_import(ns, "zarn_engine", {"Acl"}); });

    const std::pair<const ClassDef*, int> classes[] = {
        {&policy_def, line_policy},
        {&group_def, line_group},
        {&role_content_def, line_role_content},
        {&role_matrix_def, line_role_matrix},
    };
    for (const auto& [def, line] : classes)
        statement(file.get(), line, [&] {
            Ref cls = build_class(ns, *def);
            set_attr(ns, def->name, cls.get());
        });
    // The record classes as made: their records are recognised by the stored-list tests.
    graph::policy_class().remember(check(PyDict_GetItemString(ns, "Policy")), {names.sub, names.obj, names.act});
    graph::group_class().remember(check(PyDict_GetItemString(ns, "Group")), {names.child, names.parent});
}

// Takes the module out of sys.modules again after a failed load, keeping the exception.
void forget(PyObject* module) {
    ErrorGuard keep;
    PyObject* name = PyDict_GetItemString(PyModule_GetDict(module), "__name__");
    PyObject* modules = PyImport_GetModuleDict();
    if (name != nullptr && modules != nullptr && PyObject_DelItem(modules, name) < 0)
        PyErr_Clear();
}

}  // namespace

}  // namespace zarn

PyMODINIT_FUNC PyInit_role_matrix() {
    using namespace zarn;
    return guarded<PyObject*>(nullptr, [] {
        init_names();
        init_function_type();
        Ref module = Ref::own(PyModule_Create2(&module_def, PYTHON_API_VERSION));
        try {
            load(module.get());
        } catch (const PyErrOccurred&) {
            forget(module.get());
            throw;
        }
        return module.release();
    });
}
