// Class creation: bases through __mro_entries__, the most derived metaclass, __prepare__,
// the namespace filled in class-body order, the class cell, the metaclass call.
#include "runtime/classdef.hpp"

#include <vector>

#include "runtime/scope.hpp"

namespace zarn {

namespace {

// The interpreter's update_bases: non-class bases replaced through __mro_entries__.
Ref resolve_bases(PyObject* orig) {
    std::vector<Ref> out;
    bool changed = false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(orig); ++i) {
        PyObject* base = PyTuple_GET_ITEM(orig, i);
        if (PyType_Check(base)) {
            out.push_back(Ref::borrow(base));
            continue;
        }
        PyObject* meth = nullptr;
        check(_PyObject_LookupAttr(base, Ref::own(PyUnicode_FromString("__mro_entries__")).get(), &meth));
        Ref hold = Ref::steal(meth);
        if (!meth) {
            out.push_back(Ref::borrow(base));
            continue;
        }
        Ref entries = Ref::own(PyObject_CallOneArg(meth, orig));
        if (!PyTuple_Check(entries.get())) {
            PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
            fail();
        }
        changed = true;
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(entries.get()); ++j)
            out.push_back(Ref::borrow(PyTuple_GET_ITEM(entries.get(), j)));
    }
    if (!changed)
        return Ref::borrow(orig);
    Ref bases = Ref::own(PyTuple_New(Py_ssize_t(out.size())));
    for (size_t i = 0; i < out.size(); ++i)
        PyTuple_SET_ITEM(bases.get(), Py_ssize_t(i), out[i].release());
    return bases;
}

Ref call_with_keywords(PyObject* callable, std::initializer_list<PyObject*> args,
                       std::initializer_list<std::pair<const char*, PyObject*>> keywords) {
    std::vector<PyObject*> stack(args);
    Ref kwnames;
    if (keywords.size()) {
        kwnames = Ref::own(PyTuple_New(Py_ssize_t(keywords.size())));
        Py_ssize_t i = 0;
        for (const auto& [key, value] : keywords) {
            PyTuple_SET_ITEM(kwnames.get(), i++, check(PyUnicode_InternFromString(key)));
            stack.push_back(value);
        }
    }
    return Ref::own(PyObject_Vectorcall(callable, stack.data(), args.size(), kwnames.get()));
}

}  // namespace

Ref module_lookup(PyObject* globals, const char* name) {
    Ref key = Ref::own(PyUnicode_FromString(name));
    return load_global(globals, builtins_of(globals).get(), key.get());
}

void ClassBody::set(const char* name, PyObject* value) {
    Ref key = Ref::own(PyUnicode_InternFromString(name));
    check(PyObject_SetItem(ns_, key.get(), value));
}

Ref ClassBody::lookup(const char* name) {
    Ref key = Ref::own(PyUnicode_FromString(name));
    return load_name(ns_, globals_, builtins_of(globals_).get(), key.get());
}

void ClassBody::annotate(const char* name, const char* text) {
    Ref annotations = lookup("__annotations__");
    Ref key = Ref::own(PyUnicode_InternFromString(name));
    Ref value = Ref::own(PyUnicode_FromString(text));
    check(PyObject_SetItem(annotations.get(), key.get(), value.get()));
}

Ref ClassBody::make_field(const char* ctor, std::initializer_list<PyObject*> args,
                          std::initializer_list<std::pair<const char*, PyObject*>> keywords) {
    Ref callable = lookup(ctor);
    return call_with_keywords(callable.get(), args, keywords);
}

void ClassBody::field(const char* name, const char* text, const char* ctor, std::initializer_list<PyObject*> args,
                      std::initializer_list<std::pair<const char*, PyObject*>> keywords) {
    Ref value = make_field(ctor, args, keywords);
    set(name, value.get());
    annotate(name, text);
}

Ref build_class(PyObject* globals, const ClassDef& def) {
    Ref name = Ref::own(PyUnicode_InternFromString(def.name));
    Ref base = module_lookup(globals, def.base);
    Ref orig_bases = Ref::own(PyTuple_Pack(1, base.get()));
    Ref bases = resolve_bases(orig_bases.get());

    // The metaclass: the most derived one among the types of the bases.
    PyObject* meta = PyTuple_GET_SIZE(bases.get()) ? reinterpret_cast<PyObject*>(Py_TYPE(PyTuple_GET_ITEM(bases.get(), 0)))
                                                   : reinterpret_cast<PyObject*>(&PyType_Type);
    if (PyType_Check(meta)) {
        PyTypeObject* winner = _PyType_CalculateMetaclass(reinterpret_cast<PyTypeObject*>(meta), bases.get());
        if (winner == nullptr)
            fail();
        meta = reinterpret_cast<PyObject*>(winner);
    }
    Ref metaclass = Ref::borrow(meta);

    PyObject* prep = nullptr;
    check(_PyObject_LookupAttr(meta, Ref::own(PyUnicode_FromString("__prepare__")).get(), &prep));
    Ref prepare = Ref::steal(prep);
    Ref ns;
    if (!prepare) {
        ns = Ref::own(PyDict_New());
    } else {
        PyObject* args[] = {name.get(), bases.get()};
        ns = Ref::own(PyObject_Vectorcall(prepare.get(), args, 2, nullptr));
        if (!PyMapping_Check(ns.get())) {
            PyErr_Format(PyExc_TypeError, "%.200s.__prepare__() must return a mapping, not %.200s",
                         PyType_Check(meta) ? reinterpret_cast<PyTypeObject*>(meta)->tp_name : "<metaclass>",
                         Py_TYPE(ns.get())->tp_name);
            fail();
        }
    }

    Ref cell = def.uses_class ? Ref::own(PyCell_New(nullptr)) : Ref();
    ClassBody body(ns.get(), globals, name.get(), cell.get());
    body.set("__module__", module_lookup(globals, "__name__").get());
    if (def.doc)
        body.set("__doc__", Ref::own(PyUnicode_FromString(def.doc)).get());
    body.set("__qualname__", name.get());
    body.set("__annotations__", Ref::own(PyDict_New()).get());
    def.body(body);
    if (cell)
        body.set("__classcell__", cell.get());
    if (bases.get() != orig_bases.get())
        body.set("__orig_bases__", orig_bases.get());

    PyObject* args[] = {name.get(), bases.get(), ns.get()};
    Ref cls = Ref::own(PyObject_Vectorcall(meta, args, 3, nullptr));
    if (cell && PyType_Check(cls.get())) {
        PyObject* cell_cls = PyCell_GET(cell.get());
        if (cell_cls != cls.get()) {
            if (cell_cls == nullptr)
                PyErr_Format(PyExc_RuntimeError,
                             "__class__ not set defining %.200R as %.200R. "
                             "Was __classcell__ propagated to type.__new__?",
                             name.get(), cls.get());
            else
                PyErr_Format(PyExc_TypeError, "__class__ set to %.200R defining %.200R as %.200R", cell_cls,
                             name.get(), cls.get());
            fail();
        }
    }
    return cls;
}

}  // namespace zarn
