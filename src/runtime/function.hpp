// Function objects: the methods of our classes, made to look and bind like functions
// defined in a class body.
#pragma once

#include <span>

#include "runtime/refs.hpp"

namespace zarn {

struct Function;

// args[0] is the instance, then one entry per declared parameter, defaults filled in;
// for a function with `**kwargs` the entry after the named parameters is the kwargs dict.
// An implementation never throws: `entry<body>` makes one from a body that does.
using Impl = PyObject* (*)(Function* fn, PyObject* const* args) noexcept;

inline constexpr int max_params = 6;

// One method, as its `def` says it: declared beside its body with designated initialisers,
//     constexpr MethodDecl dfs{.name = "_dfs", .params = {"self", "start", "discovered"},
//                              .annotations = {nullptr, "str", "dict"}, .returns = "dict",
//                              .doc = dfs_doc, .impl = entry<dfs_body>};
struct MethodDecl {
    const char* name;
    const char* params[max_params] = {};       // parameter names, `self` first
    const char* annotations[max_params] = {};  // annotation text per parameter, or nullptr
    const char* returns = nullptr;             // return annotation, or nullptr
    const char* varkw = nullptr;               // name of the `**` parameter, or nullptr
    bool none_default = false;                 // the last parameter defaults to None
    const char* doc = nullptr;
    Impl impl = nullptr;

    // The named parameters, `self` included.
    constexpr int nparams() const {
        int n = 0;
        while (n < max_params && params[n] != nullptr)
            ++n;
        return n;
    }
};

// A class's methods, in the order its namespace receives them.
using MethodList = std::span<const MethodDecl* const>;

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodDecl* decl;
    int nparams;          // decl->nparams()
    PyObject* own_name;   // decl->name interned: the name this function answers to as ours
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

// A new function for `decl`, defined in a class whose qualified name is `class_qualname`.
Ref make_function(const MethodDecl& decl, PyObject* globals, PyObject* class_qualname,
                  PyObject* classcell);

// A method of an instance, looked up once as `self.name(...)` would look it up (overrides,
// instance attributes and descriptors honoured). What was found is either our own function
// declared under `name`, whose implementation may then run directly or be replaced by an
// equivalent fast path, or anything else, which is called as it is. Every use of a method
// makes exactly one lookup, as the plain-Python class does.
class Method {
public:
    Method(PyObject* self, PyObject* name);

    // Whether what was found is our own function declared under the name looked up, found
    // on the type with nothing shadowing it: the caller may then run an equivalent fast
    // path instead.
    bool is_own() const { return own_ != nullptr; }

    // Calls what was found with `args` (after self) and optional `kwnames`.
    Ref call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames = nullptr) const;

private:
    PyObject* self_;
    Ref meth_;
    bool unbound_;
    Function* own_ = nullptr;  // meth_ itself, when it is ours
};

// Whether looking `name` up on `self` finds our own function declared under `name` without
// running any Python code: the generic attribute lookup, the function on the type, nothing
// under that name in the instance dict. While no Python code runs, the answer stays the same.
bool finds_own_quietly(PyObject* self, PyObject* name);

// Method(self, name).call(...): one lookup, one call.
inline Ref call_method(PyObject* self, PyObject* name, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames = nullptr) {
    return Method(self, name).call(args, nargs, kwnames);
}

// A name looked up as the function's body would: module namespace, then builtins.
Ref lookup_global(Function* fn, PyObject* name);

// The implementation made from a body that throws: one place where a throw becomes NULL.
template <Ref (*Body)(Function*, PyObject* const*)>
PyObject* entry(Function* fn, PyObject* const* args) noexcept {
    return guarded<PyObject*>(nullptr, [&] { return Body(fn, args).release(); });
}

}  // namespace zarn
