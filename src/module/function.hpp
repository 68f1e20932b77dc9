// Function objects: the methods of our classes, made to look and bind like functions
// defined in a class body.
#pragma once

#include "module/refs.hpp"

namespace zarn {

struct Function;

// args[0] is the instance, then one entry per declared parameter, defaults filled in;
// for a function with `**kwargs` the entry after the named parameters is the kwargs dict.
using Impl = PyObject* (*)(Function* fn, PyObject* const* args);

inline constexpr int max_params = 6;

// The static description of one method: what `def` would have said.
struct MethodSpec {
    const char* name;
    int nparams;                        // named parameters, `self` included
    const char* params[max_params];     // parameter names
    const char* annotations[max_params];  // annotation text per parameter, or nullptr
    const char* return_annotation;      // or nullptr
    const char* varkw;                  // name of the `**` parameter, or nullptr
    bool acl_default;                   // defaults are (None,) for the last parameter
    const char* doc;                    // or nullptr
    Impl impl;
};

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodSpec* spec;
    PyObject* globals;    // the module namespace: names are looked up here at each call
    PyObject* builtins;   // then here
    PyObject* classcell;  // cell holding the class the function was defined in, or NULL
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* dict;
    PyObject* weakreflist;
};

extern PyTypeObject FunctionType;

inline bool is_function(PyObject* op) { return Py_IS_TYPE(op, &FunctionType); }

// Readies the type; throws on failure.
void init_function_type();

// A new function for `spec`, defined in a class whose qualified name is `class_qualname`.
Ref make_function(const MethodSpec& spec, PyObject* globals, PyObject* class_qualname,
                  PyObject* classcell);

// A method of an instance, looked up once as `self.name(...)` would look it up (overrides,
// instance attributes and descriptors honoured). What was found is either our own function
// for the expected method, whose implementation may then run directly or be replaced by an
// equivalent fast path, or anything else, which is called as it is. Every use of a method
// makes exactly one lookup, as the plain-Python class does.
class Method {
public:
    Method(PyObject* self, PyObject* name);

    // Whether what was found is our own function for `expected`, found on the type with
    // nothing shadowing it: the caller may then run an equivalent fast path instead.
    bool is_own(const MethodSpec& expected) const { return own(expected) != nullptr; }

    // Calls what was found with `args` (after self) and optional `kwnames`.
    Ref call(const MethodSpec& expected, PyObject* const* args, Py_ssize_t nargs,
             PyObject* kwnames = nullptr) const;

private:
    Function* own(const MethodSpec& expected) const {
        if (unbound_ && is_function(meth_.get()) && reinterpret_cast<Function*>(meth_.get())->spec == &expected)
            return reinterpret_cast<Function*>(meth_.get());
        return nullptr;
    }

    PyObject* self_;
    Ref meth_;
    bool unbound_;
};

// Whether looking `name` up on `self` finds our own function for `expected` without running
// any Python code: the generic attribute lookup, the function on the type, nothing under
// that name in the instance dict. While no Python code runs, the answer stays the same.
bool finds_own_quietly(PyObject* self, PyObject* name, const MethodSpec& expected);

// Method(self, name).call(expected, ...): one lookup, one call.
inline Ref call_method(PyObject* self, PyObject* name, const MethodSpec& expected, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames = nullptr) {
    return Method(self, name).call(expected, args, nargs, kwnames);
}

// A name looked up as the function's body would: module namespace, then builtins.
Ref lookup_global(Function* fn, PyObject* name);

}  // namespace zarn

namespace zarn {

// Adapts a throwing body to the Impl signature: one place where a throw becomes NULL.
template <Ref (*Body)(Function*, PyObject* const*)>
PyObject* entry(Function* fn, PyObject* const* args) noexcept {
    return guarded<PyObject*>(nullptr, [&] { return Body(fn, args).release(); });
}

}  // namespace zarn
