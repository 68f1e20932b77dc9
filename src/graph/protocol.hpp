// Python-level operations as the role graph uses them: the generic protocols, with fast
// paths for exact dict, list, tuple and str where nothing observable differs.
#pragma once

#include "graph/entries.hpp"
#include "runtime/function.hpp"
#include "runtime/names.hpp"

#include <structmember.h>  // after Python.h, which it needs

namespace zarn::graph {

inline Ref getattr(PyObject* o, PyObject* name) { return Ref::own(PyObject_GetAttr(o, name)); }

inline void setattr(PyObject* o, PyObject* name, PyObject* value) { check(PyObject_SetAttr(o, name, value)); }

// The hash of an exact str (cached in the object once computed).
inline Py_hash_t str_hash(PyObject* s) {
    const Py_hash_t h = reinterpret_cast<PyASCIIObject*>(s)->hash;
    return h != -1 ? h : PyObject_Hash(s);
}

// The slot a member descriptor reads: its offset in the instance, when reading it through
// the descriptor is exactly "the object at that offset, AttributeError when empty" for
// instances of `tp` (a slot made by `__slots__`, no audit hook), else 0.
inline Py_ssize_t slot_offset(PyTypeObject* tp, PyObject* descr) {
    if (!Py_IS_TYPE(descr, &PyMemberDescr_Type))
        return 0;
    auto* member = reinterpret_cast<PyMemberDescrObject*>(descr);
    const PyMemberDef* def = member->d_member;
    if (def->type != T_OBJECT_EX || (def->flags & READ_RESTRICTED) != 0 || def->offset <= 0 ||
        !PyType_IsSubtype(tp, PyDescr_TYPE(descr)))
        return 0;
    return def->offset;
}

// Reads of one attribute name over many objects, as the attribute protocol answers them:
// straight from the instance's slot or dict when that is where the protocol would find it,
// else through the full protocol, clearing `pure`. The type's lookup must be the
// interpreter's generic one; then a slot of `__slots__` found by the type's lookup is read
// at its offset (an empty slot goes through the protocol, for its AttributeError), and
// where no data descriptor shadows the name, the instance dict is read. What the type's
// lookup says is remembered while the type (and the type of what the lookup found) keeps
// its version tag, so that each further read is the slot read or the dict lookup alone.
class FieldReader {
public:
    explicit FieldReader(PyObject* name) : name_(name), hash_(str_hash(name)) {}

    Ref operator()(PyObject* o, bool* pure = nullptr) {
        PyTypeObject* tp = Py_TYPE(o);
        if (!known(tp))
            learn(tp);
        if (offset_ != 0) [[likely]] {
            if (PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + offset_))
                return Ref::borrow(v);
        } else if (direct_) {
            PyObject** dictptr = _PyObject_GetDictPtr(o);
            if (dictptr != nullptr && *dictptr != nullptr && PyDict_CheckExact(*dictptr)) {
                if (Borrowed v = dict_get(*dictptr, name_, hash_))
                    return v.keep();
            }
        }
        if (pure != nullptr)
            *pure = false;
        return getattr(o, name_);
    }

    // `o.name` when the read runs no Python code (straight from the instance dict);
    // otherwise nothing is read and the result is empty.
    Borrowed peek(PyObject* o) {
        PyTypeObject* tp = Py_TYPE(o);
        if (!known(tp))
            learn(tp);
        if (offset_ != 0)
            return Borrowed(*reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + offset_));
        if (!direct_)
            return Borrowed();
        PyObject** dictptr = _PyObject_GetDictPtr(o);
        if (dictptr == nullptr || *dictptr == nullptr || !PyDict_CheckExact(*dictptr))
            return Borrowed();
        return dict_get(*dictptr, name_, hash_);
    }

    // The offset of the slot that `o.name` reads for instances of `tp`, when the read is
    // exactly that slot's (nothing else runs), else 0. Valid until Python code next runs.
    Py_ssize_t slot(PyTypeObject* tp) {
        if (!known(tp))
            learn(tp);
        return offset_;
    }

private:
    static bool current(PyTypeObject* tp, unsigned int version) {
        return tp == nullptr || (tp->tp_version_tag == version && (tp->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG));
    }
    bool known(PyTypeObject* tp) const {
        return tp == type_ && current(type_, version_) && current(descr_type_, descr_version_);
    }
    void learn(PyTypeObject* tp) {
        type_ = tp;
        direct_ = false;
        offset_ = 0;
        descr_type_ = nullptr;
        if (tp->tp_getattro == PyObject_GenericGetAttr) {
            PyObject* descr = _PyType_Lookup(tp, name_);
            if (descr != nullptr) {
                descr_type_ = Py_TYPE(descr);
                descr_version_ = descr_type_->tp_version_tag;
                if (!PyType_HasFeature(descr_type_, Py_TPFLAGS_VALID_VERSION_TAG))
                    type_ = nullptr;  // nothing to tell a change by: learn again next time
                offset_ = slot_offset(tp, descr);
            }
            direct_ = tp->tp_dictoffset != 0 && (descr == nullptr || Py_TYPE(descr)->tp_descr_set == nullptr);
        }
        version_ = tp->tp_version_tag;
        if (!PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG))
            type_ = nullptr;
    }

    PyObject* name_;
    Py_hash_t hash_;
    PyTypeObject* type_ = nullptr;
    unsigned int version_ = 0;
    PyTypeObject* descr_type_ = nullptr;
    unsigned int descr_version_ = 0;
    Py_ssize_t offset_ = 0;  // of the slot read, or 0
    bool direct_ = false;
};

// `o.name` for a record or an instance, as the attribute protocol answers it, read straight
// from the slot or instance dict when that is where the protocol would find it (see FieldReader);
// otherwise the full protocol runs, and `pure` (when given) is cleared: Python code may
// have run.
inline Ref field(PyObject* o, PyObject* name, bool* pure = nullptr) { return FieldReader(name)(o, pure); }

// A node of the plain kinds: an exact str, or an exact 2-tuple of exact str. Hashing and
// comparing plain nodes runs no Python code.
inline bool is_plain(PyObject* node) {
    if (PyUnicode_CheckExact(node))
        return true;
    return PyTuple_CheckExact(node) && PyTuple_GET_SIZE(node) == 2 && PyUnicode_CheckExact(PyTuple_GET_ITEM(node, 0)) &&
           PyUnicode_CheckExact(PyTuple_GET_ITEM(node, 1));
}

inline bool truthy(PyObject* o) { return check(PyObject_IsTrue(o)) != 0; }

// Equality of two graph nodes of the plain kinds (exact str, exact 2-tuple of exact str)
// without going through the generic comparison: 1 or 0, or -1 when either is of another
// kind. Exact str and tuple compare by value only, so nothing observable differs.
inline int plain_equal(PyObject* a, PyObject* b) {
    if (a == b)
        return 1;
    const bool sa = PyUnicode_CheckExact(a), sb = PyUnicode_CheckExact(b);
    if (sa && sb) {
        if (PyUnicode_GET_LENGTH(a) != PyUnicode_GET_LENGTH(b))
            return 0;
        const Py_hash_t ha = reinterpret_cast<PyASCIIObject*>(a)->hash;
        const Py_hash_t hb = reinterpret_cast<PyASCIIObject*>(b)->hash;
        if (ha != -1 && hb != -1 && ha != hb)
            return 0;
        return PyUnicode_Compare(a, b) == 0;
    }
    const bool ta = PyTuple_CheckExact(a) && PyTuple_GET_SIZE(a) == 2;
    const bool tb = PyTuple_CheckExact(b) && PyTuple_GET_SIZE(b) == 2;
    if ((sa && tb) || (ta && sb))
        return 0;
    if (ta && tb) {
        PyObject *a0 = PyTuple_GET_ITEM(a, 0), *a1 = PyTuple_GET_ITEM(a, 1);
        PyObject *b0 = PyTuple_GET_ITEM(b, 0), *b1 = PyTuple_GET_ITEM(b, 1);
        if (PyUnicode_CheckExact(a0) && PyUnicode_CheckExact(a1) && PyUnicode_CheckExact(b0) &&
            PyUnicode_CheckExact(b1))
            return plain_equal(a0, b0) == 1 && plain_equal(a1, b1) == 1;
    }
    return -1;
}

// `a == b` (or `a != b`) taken as a truth value, `a` the left operand.
inline bool compare(PyObject* a, PyObject* b, int op) {
    // Exact strings only: plain_equal's identity shortcut is right for them, not for `==`
    // in general (a value may be unequal to itself).
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) [[likely]]
        return (plain_equal(a, b) == 1) == (op == Py_EQ);
    Ref r = Ref::own(PyObject_RichCompare(a, b, op));
    return truthy(r.get());
}

// `item in container`
inline bool contains(PyObject* container, PyObject* item) {
    if (PyList_CheckExact(container)) [[likely]] {
        // A list scanned as list.__contains__ does (element on the left, live size), with
        // plain nodes compared directly.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(container); ++i) {
            PyObject* element = PyList_GET_ITEM(container, i);
            const int r = plain_equal(element, item);
            if (r == 1)
                return true;
            if (r == 0)
                continue;
            Ref hold = Ref::borrow(element);
            if (check(PyObject_RichCompareBool(element, item, Py_EQ)))
                return true;
        }
        return false;
    }
    return check(PySequence_Contains(container, item)) != 0;
}

[[noreturn]] inline void raise_key_error(PyObject* key) {
    Ref args = Ref::own(PyTuple_Pack(1, key));
    PyErr_SetObject(PyExc_KeyError, args.get());
    fail();
}

// `mapping[key]`
inline Ref getitem(PyObject* mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping)) [[likely]] {
        Borrowed v = dict_get(mapping, key);
        if (!v)
            raise_key_error(key);
        return v.keep();
    }
    return Ref::own(PyObject_GetItem(mapping, key));
}

// `mapping[key] = value`
inline void setitem(PyObject* mapping, PyObject* key, PyObject* value) {
    check(PyObject_SetItem(mapping, key, value));
}

// `seq.append(item)`, the method of the object itself
inline void append(PyObject* seq, PyObject* item) {
    if (PyList_CheckExact(seq)) [[likely]] {
        check(PyList_Append(seq, item));
        return;
    }
    PyObject* args[] = {seq, item};
    Ref r = Ref::own(PyObject_VectorcallMethod(names.append, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// `seq.extend(items)`, the method of the object itself; `items` is a list
inline void extend(PyObject* seq, PyObject* items) {
    if (PyList_CheckExact(seq)) [[likely]] {
        const Py_ssize_t end = PyList_GET_SIZE(seq);
        check(PyList_SetSlice(seq, end, end, items));
        return;
    }
    PyObject* args[] = {seq, items};
    Ref r = Ref::own(PyObject_VectorcallMethod(names.extend, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

inline Ref new_list() { return Ref::own(PyList_New(0)); }

template <class F>
void for_each(PyObject* iterable, F&& body);

// [item]
inline Ref list_of(PyObject* item) {
    Ref list = Ref::own(PyList_New(1));
    PyList_SET_ITEM(list.get(), 0, Py_NewRef(item));
    return list;
}

// Walks an iterable as a `for` loop does. A list is read by index against its live size,
// exactly as its iterator reads it; each item is held while `body` runs.
class Cursor {
public:
    explicit Cursor(PyObject* iterable) {
        if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable))
            seq_ = Ref::borrow(iterable);
        else
            iter_ = Ref::own(PyObject_GetIter(iterable));
    }

    // Whether the walk reads an exact list or tuple by index: no Python code runs in next().
    bool by_index() const { return bool(seq_); }

    // The next item, or an empty Ref at the end.
    Ref next() {
        if (seq_) {
            PyObject* s = seq_.get();
            const Py_ssize_t size = PyList_CheckExact(s) ? PyList_GET_SIZE(s) : PyTuple_GET_SIZE(s);
            if (index_ >= size)
                return Ref();
            return Ref::borrow(PyList_CheckExact(s) ? PyList_GET_ITEM(s, index_++) : PyTuple_GET_ITEM(s, index_++));
        }
        Ref item = Ref::steal(PyIter_Next(iter_.get()));
        if (!item && PyErr_Occurred())
            fail();
        return item;
    }

private:
    Ref seq_;
    Ref iter_;
    Py_ssize_t index_ = 0;
};

template <class F>
void for_each(PyObject* iterable, F&& body) {
    Cursor cursor(iterable);
    while (Ref item = cursor.next())
        body(item.get());
}

// A record class (Policy, Group, RoleContent, AclItem) as found at call time.
inline Ref record_class(Function* fn, PyObject* name) { return lookup_global(fn, name); }

// Policy(sub=sub, obj=obj, act=act)
inline Ref make_policy(Function* fn, PyObject* sub, PyObject* obj, PyObject* act) {
    Ref cls = record_class(fn, names.Policy);
    PyObject* args[] = {sub, obj, act};
    return Ref::own(PyObject_Vectorcall(cls.get(), args, 0, names.kw_sub_obj_act));
}

// Group(child=child, parent=parent)
inline Ref make_group(Function* fn, PyObject* child, PyObject* parent) {
    Ref cls = record_class(fn, names.Group);
    PyObject* args[] = {child, parent};
    return Ref::own(PyObject_Vectorcall(cls.get(), args, 0, names.kw_child_parent));
}

// Policy(sub=sub, obj=permission.obj, act=permission.act), `obj` read first
inline Ref policy_from_permission(Function* fn, PyObject* sub, PyObject* permission) {
    Ref obj = field(permission, names.obj);
    Ref act = field(permission, names.act);
    return make_policy(fn, sub, obj.get(), act.get());
}

// A permission entry: a new dict, "obj" then "act".
inline Ref permission_entry(PyObject* obj, PyObject* act) {
    return two_key_dict(names.entry_template, names.obj, obj, names.act, act);
}

// The entry of a reached permission pair: element 0 as "obj", element 1 as "act".
inline Ref pair_entry(PyObject* pair) {
    if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2) [[likely]]
        return permission_entry(PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1));
    Ref obj = Ref::own(PySequence_GetItem(pair, 0));
    Ref act = Ref::own(PySequence_GetItem(pair, 1));
    return permission_entry(obj.get(), act.get());
}

// RoleContent.from_display(<kwnames>=values...)
inline Ref role_content(Function* fn, PyObject* const* values, PyObject* kwnames) {
    Ref cls = record_class(fn, names.RoleContent);
    Ref from_display = getattr(cls.get(), names.from_display);
    return Ref::own(PyObject_Vectorcall(from_display.get(), values, 0, kwnames));
}

inline Ref none() { return Ref::borrow(Py_None); }

}  // namespace zarn::graph
