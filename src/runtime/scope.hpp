// Reading a name as the interpreter's code reads it: a class body's namespace, then the
// module's globals, then the builtins.
#pragma once

#include "runtime/refs.hpp"

namespace zarn {

// The builtins that code running in `globals` sees, as a function made there captures
// them: `globals["__builtins__"]` (a module's dict, or the object itself), else the
// interpreter's own.
Ref builtins_of(PyObject* globals);

// A name as a function body reads it: `globals`, then `builtins`; missing from both, the
// interpreter's NameError ("name 'x' is not defined", with its `name` attribute set).
Ref load_global(PyObject* globals, PyObject* builtins, PyObject* name);

// A name as a class body reads it: its namespace `ns` (any mapping) first, then as
// load_global does.
Ref load_name(PyObject* ns, PyObject* globals, PyObject* builtins, PyObject* name);

}  // namespace zarn
