// The function type of our methods: descriptor binding, attributes, argument binding with
// the interpreter's own error texts, vectorcall.
#include "runtime/function.hpp"

#include <structmember.h>

#include <cstring>

#include "runtime/scope.hpp"

namespace zarn {

namespace {

// ---------------------------------------------------------------------------------------
// Argument binding
// ---------------------------------------------------------------------------------------

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's list of missing names.
Ref missing_names(const MethodDecl& decl, const int* idx, int count) {
    Ref out = Ref::own(PyUnicode_FromString(""));
    for (int i = 0; i < count; ++i) {
        const char* sep = i == 0 ? "" : (count == 2 ? " and " : (i == count - 1 ? ", and " : ", "));
        Ref part = Ref::own(PyUnicode_FromFormat("%s'%s'", sep, decl.params[idx[i]]));
        out = Ref::own(PyUnicode_Concat(out.get(), part.get()));
    }
    return out;
}

[[noreturn]] void too_many_positional(Function* fn, Py_ssize_t given, Py_ssize_t ndefaults) {
    const int argcount = fn->nparams;
    Ref sig = ndefaults ? Ref::own(PyUnicode_FromFormat("from %zd to %d", argcount - ndefaults, argcount))
                        : Ref::own(PyUnicode_FromFormat("%d", argcount));
    const bool plural = ndefaults ? true : argcount != 1;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given",
                 fn->qualname, sig.get(), plural ? "s" : "", given, given == 1 ? "was" : "were");
    fail();
}

int param_index(const Function* fn, PyObject* key) {
    Py_ssize_t len;
    const char* text = PyUnicode_AsUTF8AndSize(key, &len);
    if (text == nullptr) {
        PyErr_Clear();
        return -1;
    }
    for (int j = 0; j < fn->nparams; ++j)
        if (std::strlen(fn->decl->params[j]) == size_t(len) && std::memcmp(fn->decl->params[j], text, len) == 0)
            return j;
    return -1;
}

// Binds a call the way the interpreter binds one to a plain function, same checks in the
// same order, and runs the implementation.
PyObject* bind_and_run(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const MethodDecl& decl = *fn->decl;
    const int argcount = fn->nparams;
    PyObject* bound[max_params + 1] = {};
    for (Py_ssize_t i = 0; i < nargs && i < argcount; ++i)
        bound[i] = args[i];

    Ref kwargs;
    if (decl.varkw)
        kwargs = Ref::own(PyDict_New());

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", fn->qualname);
            fail();
        }
        const int j = param_index(fn, key);
        if (j < 0) {
            if (!kwargs) {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                             fn->qualname, key);
                fail();
            }
            check(PyDict_SetItem(kwargs.get(), key, value));
            continue;
        }
        if (bound[j] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", fn->qualname, key);
            fail();
        }
        bound[j] = value;
    }

    // One owned reference to the defaults for the whole binding: nothing below reads the
    // field again, whatever code runs meanwhile.
    Ref keep = Ref::borrow(fn->defaults);
    PyObject* defaults = keep.get();
    Py_ssize_t ndefaults = (defaults && PyTuple_Check(defaults)) ? PyTuple_GET_SIZE(defaults) : 0;
    if (nargs > argcount)
        too_many_positional(fn, nargs, ndefaults);
    if (ndefaults > argcount) {
        // Only the last `argcount` defaults can apply, as for a plain function.
        ndefaults = argcount;
    }
    const Py_ssize_t first_default = argcount - ndefaults;
    int missing[max_params];
    int nmissing = 0;
    for (int i = 0; i < first_default; ++i)
        if (bound[i] == nullptr)
            missing[nmissing++] = i;
    if (nmissing) {
        Ref list = missing_names(decl, missing, nmissing);
        PyErr_Format(PyExc_TypeError, "%U() missing %i required positional argument%s: %U",
                     fn->qualname, nmissing, nmissing == 1 ? "" : "s", list.get());
        fail();
    }
    for (Py_ssize_t i = first_default; i < argcount; ++i)
        if (bound[i] == nullptr)
            bound[i] = PyTuple_GET_ITEM(defaults, PyTuple_GET_SIZE(defaults) - argcount + i);
    if (kwargs)
        bound[argcount] = kwargs.get();
    return decl.impl(fn, bound);
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    auto* fn = reinterpret_cast<Function*>(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // Every call from outside counts one level against the recursion limit, as a builtin
    // function's does: calls that come back through C code (bound methods, partials,
    // properties) then end in RecursionError, never in a native stack overflow.
    if (Py_EnterRecursiveCall(" while calling a Python object"))
        return nullptr;
    PyObject* result;
    if (kwnames == nullptr && nargs == fn->nparams && fn->decl->varkw == nullptr) [[likely]]
        result = fn->decl->impl(fn, args);
    else
        result = guarded<PyObject*>(nullptr, [&] { return bind_and_run(fn, args, nargs, kwnames); });
    Py_LeaveRecursiveCall();
    return result;
}

// ---------------------------------------------------------------------------------------
// Type slots and attributes
// ---------------------------------------------------------------------------------------

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    auto* fn = reinterpret_cast<Function*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", fn->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* fn = reinterpret_cast<Function*>(self);
    Py_VISIT(fn->own_name);
    Py_VISIT(fn->globals);
    Py_VISIT(fn->builtins);
    Py_VISIT(fn->classcell);
    Py_VISIT(fn->name);
    Py_VISIT(fn->qualname);
    Py_VISIT(fn->module);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->annotations);
    Py_VISIT(fn->defaults);
    Py_VISIT(fn->kwdefaults);
    Py_VISIT(fn->dict);
    return 0;
}

int function_clear(PyObject* self) {
    auto* fn = reinterpret_cast<Function*>(self);
    Py_CLEAR(fn->own_name);
    Py_CLEAR(fn->globals);
    Py_CLEAR(fn->builtins);
    Py_CLEAR(fn->classcell);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->annotations);
    Py_CLEAR(fn->defaults);
    Py_CLEAR(fn->kwdefaults);
    Py_CLEAR(fn->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    auto* fn = reinterpret_cast<Function*>(self);
    if (fn->weakreflist != nullptr)
        PyObject_ClearWeakRefs(self);
    function_clear(self);
    PyObject_GC_Del(self);
}

// Setter for an attribute that must hold an instance of `type` (or None when allowed).
int set_typed(PyObject** slot, PyObject* value, bool (*accepts)(PyObject*), bool none_ok,
              const char* message) {
    if (value == nullptr && !none_ok) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    if (value == nullptr || value == Py_None) {
        if (!none_ok) {
            PyErr_SetString(PyExc_TypeError, message);
            return -1;
        }
        Py_XSETREF(*slot, nullptr);
        return 0;
    }
    if (!accepts(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

bool accepts_str(PyObject* v) { return PyUnicode_Check(v); }
bool accepts_tuple(PyObject* v) { return PyTuple_Check(v); }
bool accepts_dict(PyObject* v) { return PyDict_Check(v); }

Function* as_fn(PyObject* self) { return reinterpret_cast<Function*>(self); }

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_fn(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) {
    return set_typed(&as_fn(self)->name, value, accepts_str, false, "__name__ must be set to a string object");
}
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_fn(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_typed(&as_fn(self)->qualname, value, accepts_str, false,
                     "__qualname__ must be set to a string object");
}
PyObject* get_defaults(PyObject* self, void*) {
    PyObject* d = as_fn(self)->defaults;
    return Py_NewRef(d ? d : Py_None);
}
int set_defaults(PyObject* self, PyObject* value, void*) {
    return set_typed(&as_fn(self)->defaults, value, accepts_tuple, true,
                     "__defaults__ must be set to a tuple object");
}
PyObject* get_kwdefaults(PyObject* self, void*) {
    PyObject* d = as_fn(self)->kwdefaults;
    return Py_NewRef(d ? d : Py_None);
}
int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    return set_typed(&as_fn(self)->kwdefaults, value, accepts_dict, true,
                     "__kwdefaults__ must be set to a dict object");
}
PyObject* get_annotations(PyObject* self, void*) {
    Function* fn = as_fn(self);
    if (fn->annotations == nullptr) {
        fn->annotations = PyDict_New();
        if (fn->annotations == nullptr)
            return nullptr;
    }
    return Py_NewRef(fn->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    return set_typed(&as_fn(self)->annotations, value, accepts_dict, true,
                     "__annotations__ must be set to a dict object");
}

// inspect.signature reads this: the parameters, kinds, defaults and annotations as they
// stand now (defaults and annotations are writable, as on a plain function).
PyObject* get_signature(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr, [&] {
        Function* fn = as_fn(self);
        const MethodDecl& decl = *fn->decl;
        Ref inspect = Ref::own(PyImport_ImportModule("inspect"));
        Ref parameter = Ref::own(PyObject_GetAttrString(inspect.get(), "Parameter"));
        Ref signature = Ref::own(PyObject_GetAttrString(inspect.get(), "Signature"));
        Ref positional = Ref::own(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
        Ref var_keyword = Ref::own(PyObject_GetAttrString(parameter.get(), "VAR_KEYWORD"));
        Ref annotations = Ref::own(get_annotations(self, nullptr));
        Ref params = Ref::own(PyList_New(0));
        // Read once: building the parameters runs Python code, which may replace the field.
        Ref defaults = Ref::borrow(fn->defaults);
        const Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
        auto add = [&](const char* pname, PyObject* kind, Py_ssize_t index) {
            Ref key = Ref::own(PyUnicode_FromString(pname));
            Ref kwargs = Ref::own(PyDict_New());
            check(PyDict_SetItemString(kwargs.get(), "kind", kind));
            if (index >= 0 && index >= fn->nparams - ndefaults) {
                PyObject* dflt = PyTuple_GET_ITEM(defaults.get(), ndefaults - fn->nparams + index);
                check(PyDict_SetItemString(kwargs.get(), "default", dflt));
            }
            if (Borrowed ann = dict_get(annotations.get(), key.get()))
                check(PyDict_SetItemString(kwargs.get(), "annotation", ann.get()));
            PyObject* posargs[] = {key.get()};
            Ref p = Ref::own(PyObject_VectorcallDict(parameter.get(), posargs, 1, kwargs.get()));
            check(PyList_Append(params.get(), p.get()));
        };
        for (int i = 0; i < fn->nparams; ++i)
            add(decl.params[i], positional.get(), i);
        if (decl.varkw)
            add(decl.varkw, var_keyword.get(), -1);
        Ref kwargs = Ref::own(PyDict_New());
        if (Borrowed ret = dict_get(annotations.get(), "return"))
            check(PyDict_SetItemString(kwargs.get(), "return_annotation", ret.get()));
        PyObject* posargs[] = {params.get()};
        return PyObject_VectorcallDict(signature.get(), posargs, 1, kwargs.get());
    });
}

// Pickled by reference, as a plain function is: its qualified name in its module.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_fn(self)->qualname); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(Function, doc), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(Function, globals), READONLY, nullptr},
    {"__builtins__", T_OBJECT, offsetof(Function, builtins), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace

// The remaining slots are set in init_function_type().
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject FunctionType = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "zarn_user.role_matrix.function",  // tp_name
    sizeof(Function),                  // tp_basicsize
};
#pragma GCC diagnostic pop

void init_function_type() {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY)
        return;
    FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                            Py_TPFLAGS_METHOD_DESCRIPTOR;
    FunctionType.tp_doc = "A method of a role matrix class.";
    FunctionType.tp_dealloc = function_dealloc;
    FunctionType.tp_traverse = function_traverse;
    FunctionType.tp_clear = function_clear;
    FunctionType.tp_repr = function_repr;
    FunctionType.tp_call = PyVectorcall_Call;
    FunctionType.tp_vectorcall_offset = offsetof(Function, vectorcall);
    FunctionType.tp_descr_get = function_descr_get;
    FunctionType.tp_getset = function_getset;
    FunctionType.tp_methods = function_methods;
    FunctionType.tp_members = function_members;
    FunctionType.tp_dictoffset = offsetof(Function, dict);
    FunctionType.tp_weaklistoffset = offsetof(Function, weakreflist);
    check(PyType_Ready(&FunctionType));
}

Ref make_function(const MethodDecl& decl, PyObject* globals, PyObject* class_qualname,
                  PyObject* classcell) {
    Ref name = Ref::own(PyUnicode_InternFromString(decl.name));
    Ref qualname = Ref::own(PyUnicode_FromFormat("%U.%s", class_qualname, decl.name));
    Ref module = dict_get(globals, "__name__").keep();
    Ref doc = decl.doc ? Ref::own(PyUnicode_FromString(decl.doc)) : Ref::borrow(Py_None);
    Ref annotations = Ref::own(PyDict_New());
    auto annotate = [&](const char* key, const char* text) {
        Ref value = Ref::own(PyUnicode_FromString(text));
        check(PyDict_SetItemString(annotations.get(), key, value.get()));
    };
    const int nparams = decl.nparams();
    for (int i = 0; i < nparams; ++i)
        if (decl.annotations[i])
            annotate(decl.params[i], decl.annotations[i]);
    if (decl.returns)
        annotate("return", decl.returns);
    Ref defaults;
    if (decl.none_default)
        defaults = Ref::own(PyTuple_Pack(1, Py_None));
    Ref builtins = builtins_of(globals);

    auto* fn = PyObject_GC_New(Function, &FunctionType);
    if (fn == nullptr)
        fail();
    // No failures from here on: every field is set before the object is tracked.
    fn->vectorcall = function_vectorcall;
    fn->decl = &decl;
    fn->nparams = nparams;
    fn->own_name = Py_NewRef(name.get());
    fn->globals = Py_NewRef(globals);
    fn->builtins = builtins.release();
    fn->classcell = Py_XNewRef(classcell);
    fn->name = name.release();
    fn->qualname = qualname.release();
    fn->module = module ? module.release() : Py_NewRef(Py_None);
    fn->doc = doc.release();
    fn->annotations = annotations.release();
    fn->defaults = defaults.release();
    fn->kwdefaults = nullptr;
    fn->dict = nullptr;
    fn->weakreflist = nullptr;
    PyObject_GC_Track(fn);
    return Ref::steal(reinterpret_cast<PyObject*>(fn));
}

namespace {

// Whether `f` is our function declared under `name` (an interned str).
bool declared_as(PyObject* f, PyObject* name) {
    return is_function(f) && reinterpret_cast<Function*>(f)->own_name == name;
}

}  // namespace

Method::Method(PyObject* self, PyObject* name) : self_(self) {
    PyObject* meth = nullptr;
    unbound_ = _PyObject_GetMethod(self, name, &meth) != 0;
    meth_ = Ref::steal(meth);
    if (meth == nullptr)
        fail();
    if (unbound_ && declared_as(meth, name))
        own_ = reinterpret_cast<Function*>(meth);
}

bool finds_own_quietly(PyObject* self, PyObject* name) {
    PyTypeObject* tp = Py_TYPE(self);
    if (tp->tp_getattro != PyObject_GenericGetAttr)
        return false;
    PyObject* descr = _PyType_Lookup(tp, name);
    if (descr == nullptr || !declared_as(descr, name))
        return false;
    PyObject** dictptr = _PyObject_GetDictPtr(self);
    if (dictptr == nullptr || *dictptr == nullptr)
        return true;
    if (!PyDict_CheckExact(*dictptr))
        return false;
    PyObject* shadow = PyDict_GetItemWithError(*dictptr, name);
    if (shadow == nullptr && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return shadow == nullptr;
}

Ref Method::call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const {
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* stack[max_params + 2];
    stack[0] = self_;
    for (Py_ssize_t i = 0; i < nargs + nkw; ++i)
        stack[i + 1] = args[i];
    if (unbound_) {
        if (own_ != nullptr && kwnames == nullptr && nargs + 1 == own_->nparams && own_->decl->varkw == nullptr)
            return Ref::own(own_->decl->impl(own_, stack));
        return Ref::own(PyObject_Vectorcall(meth_.get(), stack, size_t(nargs + 1), kwnames));
    }
    return Ref::own(PyObject_Vectorcall(meth_.get(), stack + 1, size_t(nargs) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                        kwnames));
}

Ref lookup_global(Function* fn, PyObject* name) { return load_global(fn->globals, fn->builtins, name); }

}  // namespace zarn
