// Class creation as the interpreter's class statement does it.
#pragma once

#include <initializer_list>
#include <utility>

#include "runtime/refs.hpp"

namespace zarn {

// The namespace of a class body while it runs.
class ClassBody {
public:
    ClassBody(PyObject* ns, PyObject* globals, PyObject* qualname, PyObject* classcell)
        : ns_(ns), globals_(globals), qualname_(qualname), classcell_(classcell) {}

    // name = value
    void set(const char* name, PyObject* value);
    // A name as the body reads it: the namespace, then the module, then the builtins.
    Ref lookup(const char* name);
    // __annotations__[name] = text (annotations are kept as strings, never evaluated)
    void annotate(const char* name, const char* text);
    // name: text = <field>, where the field is made by calling `ctor` (looked up by name)
    // with `args` and the keywords in the order given.
    void field(const char* name, const char* text, const char* ctor, std::initializer_list<PyObject*> args,
               std::initializer_list<std::pair<const char*, PyObject*>> keywords);
    // The field declaration itself, for use as the item field of a list field.
    Ref make_field(const char* ctor, std::initializer_list<PyObject*> args,
                   std::initializer_list<std::pair<const char*, PyObject*>> keywords);

    PyObject* globals() const { return globals_; }
    PyObject* qualname() const { return qualname_; }
    PyObject* classcell() const { return classcell_; }

private:
    PyObject* ns_;
    PyObject* globals_;
    PyObject* qualname_;
    PyObject* classcell_;
};

struct ClassDef {
    const char* name;
    const char* base;    // name of the one base, looked up in the module, then the builtins
    const char* doc;     // or nullptr
    bool uses_class;     // the body's functions refer to the class (zero-argument super())
    void (*body)(ClassBody&);
};

// Creates the class in the module namespace `globals` (not binding it) and returns it.
Ref build_class(PyObject* globals, const ClassDef& def);

// A name read at module level: the module namespace, then the builtins.
Ref module_lookup(PyObject* globals, const char* name);

}  // namespace zarn
