// `zarn_user._query`: the query index of a role matrix as a Python type, `Index`.
//
// An index is built from a matrix's attribute dict (its stored lists `policies` and
// `groups`) and remembers which lists, of which size, it was built from, so that
// `current()` can tell whether it still answers for the matrix, following records appended
// in place on its own. A change applied to the matrix is handed over whole by `apply()`.
// Every method runs to its end without running Python code between its first read of the
// index and its last (a reader in another thread sees the index before or after a change,
// never in between); the answer's objects are made afterwards from plain values.
#include <algorithm>
#include <unordered_set>
#include <vector>

#include "query/index.hpp"

#include <structmember.h>  // after Python.h, which it needs

namespace zarn::query {

namespace {

PyObject* interned(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);  // kept for the life of the process
    if (s == nullptr)
        fail();
    return s;
}

struct Keys {
    PyObject *policies, *groups, *sub, *obj, *act, *child, *parent;
};

Keys& keys() {
    static Keys k{interned("policies"), interned("groups"), interned("sub"), interned("obj"),
                  interned("act"),      interned("child"),  interned("parent")};
    return k;
}

// A str of our own for a value read from a record or given by a caller: exact str as it
// is, a subclass copied to an exact str, anything else refused.
Ref text(Ref value, const char* what) {
    if (PyUnicode_CheckExact(value.get()))
        return value;
    if (PyUnicode_Check(value.get()))
        return Ref::own(PyUnicode_FromObject(value.get()));
    PyErr_Format(PyExc_TypeError, "%s must be a string, not %.100s", what, Py_TYPE(value.get())->tp_name);
    fail();
}

// Reads of up to three fields of records, straight from their slots while the record's type
// keeps them there (the generic attribute lookup, a slot made by `__slots__`), else by the
// attribute protocol.
class Reader {
public:
    Reader(PyObject* a, PyObject* b, PyObject* c = nullptr) : names_{a, b, c}, count_(c ? 3 : 2) {}

    Fields operator()(PyObject* record) {
        PyTypeObject* tp = Py_TYPE(record);
        if (tp != type_ || !PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG) || tp->tp_version_tag != tag_)
            learn(tp);
        Ref values[3];
        for (int i = 0; i < count_; ++i) {
            PyObject* v = offsets_[i] ? *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(record) + offsets_[i])
                                      : nullptr;
            Ref value = v ? Ref::borrow(v) : Ref::own(PyObject_GetAttr(record, names_[i]));
            values[i] = text(std::move(value), "a record's field");
        }
        return Fields{std::move(values[0]), std::move(values[1]), std::move(values[2])};
    }

    // The fields of `record` when each is an exact str held in its slot, borrowed (reading
    // them runs no code); false for a record read only through the attribute protocol.
    bool borrowed(PyObject* record, Raw& out) {
        PyTypeObject* tp = Py_TYPE(record);
        if (tp != type_ || !PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG) || tp->tp_version_tag != tag_)
            learn(tp);
        PyObject* values[3] = {nullptr, nullptr, nullptr};
        for (int i = 0; i < count_; ++i) {
            if (!offsets_[i])
                return false;
            PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(record) + offsets_[i]);
            if (v == nullptr || !PyUnicode_CheckExact(v))
                return false;
            values[i] = v;
        }
        out = Raw{values[0], values[1], values[2]};
        return true;
    }

private:
    void learn(PyTypeObject* tp) {
        type_ = tp;
        tag_ = PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG) ? tp->tp_version_tag : 0;
        for (int i = 0; i < count_; ++i) {
            offsets_[i] = 0;
            if (tp->tp_getattro != PyObject_GenericGetAttr || tag_ == 0)
                continue;
            PyObject* descr = _PyType_Lookup(tp, names_[i]);
            if (descr == nullptr || !Py_IS_TYPE(descr, &PyMemberDescr_Type))
                continue;
            const PyMemberDef* def = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member;
            if (def->type == T_OBJECT_EX && (def->flags & READ_RESTRICTED) == 0 && def->offset > 0 &&
                PyType_IsSubtype(tp, PyDescr_TYPE(descr)))
                offsets_[i] = def->offset;
        }
        if (tag_ == 0)
            type_ = nullptr;  // learned again at the next record
    }

    PyObject* names_[3];
    int count_;
    PyTypeObject* type_ = nullptr;
    unsigned int tag_ = 0;
    Py_ssize_t offsets_[3] = {0, 0, 0};
};

// The fields of the records of a list (or any iterable) from position `from` on.
std::vector<Fields> read_all(PyObject* records, bool policies, Py_ssize_t from = 0) {
    Keys& k = keys();
    Reader read = policies ? Reader(k.sub, k.obj, k.act) : Reader(k.child, k.parent);
    Ref items = Ref::own(PySequence_Fast(records, "records must be a list"));
    std::vector<Fields> out;
    out.reserve(size_t(std::max<Py_ssize_t>(PySequence_Fast_GET_SIZE(items.get()) - from, 0)));
    // The list is read afresh at each step: a field read through the attribute protocol may
    // run code that changes it.
    for (Py_ssize_t i = from; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        Ref record = Ref::borrow(PySequence_Fast_GET_ITEM(items.get(), i));
        out.push_back(read(record.get()));
    }
    return out;
}

// The fields of every record of a list, borrowed: held by the records, which the list holds
// while no code runs. False when a record's fields can only be read through the attribute
// protocol, or are not exact str (read them with `read_all`).
bool read_borrowed(PyObject* list, bool policies, std::vector<Raw>& out) {
    Keys& k = keys();
    Reader read = policies ? Reader(k.sub, k.obj, k.act) : Reader(k.child, k.parent);
    const Py_ssize_t size = PyList_GET_SIZE(list);
    out.resize(size_t(size));
    for (Py_ssize_t i = 0; i < size; ++i)
        if (!read.borrowed(PyList_GET_ITEM(list, i), out[size_t(i)]))
            return false;
    return true;
}

std::vector<Raw> raw(const std::vector<Fields>& fields) {
    std::vector<Raw> out;
    out.reserve(fields.size());
    for (const Fields& f : fields)
        out.push_back(Raw{f.a.get(), f.b.get(), f.c.get()});
    return out;
}

struct Held {
    Ref list, last;
    Py_ssize_t size = 0;

    void take(PyObject* l) {
        list = Ref::borrow(l);
        size = PyList_GET_SIZE(l);
        last = size ? Ref::borrow(PyList_GET_ITEM(l, size - 1)) : Ref();
    }
    // Whether `l` is the list held, grown by appends only, and how many items it gained.
    bool grown(PyObject* l, Py_ssize_t& gained) const {
        if (l != list.get() || !PyList_CheckExact(l) || PyList_GET_SIZE(l) < size)
            return false;
        if (size && PyList_GET_ITEM(l, size - 1) != last.get())
            return false;
        gained = PyList_GET_SIZE(l) - size;
        return true;
    }
    // Whether the held list is as it was taken (a list the matrix replaced keeps its items).
    bool intact() const {
        PyObject* l = list.get();
        return l != nullptr && PyList_CheckExact(l) && PyList_GET_SIZE(l) == size &&
               (size == 0 || PyList_GET_ITEM(l, size - 1) == last.get());
    }
};

// The records a list that replaced the held one lost and gained, by identity: the new list
// is read as the held one's records in their order with some left out, then the rest as new
// (what the matrix's own set operations make: the records kept, then those added). Any list
// comes out right this way (a record the walk passed is lost and its equal counted new);
// false when more than `most` were lost, where building anew costs less.
bool replaced(const Held& held, PyObject* l, Py_ssize_t most, std::vector<Ref>& lost,
              Py_ssize_t& tail) {
    if (!held.intact() || !PyList_CheckExact(l))
        return false;
    PyObject* old = held.list.get();
    const Py_ssize_t n = held.size, m = PyList_GET_SIZE(l);
    Py_ssize_t j = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* record = PyList_GET_ITEM(old, i);
        if (j < m && PyList_GET_ITEM(l, j) == record) {
            ++j;
            continue;
        }
        lost.push_back(Ref::borrow(record));
        if (Py_ssize_t(lost.size()) > most)
            return false;
    }
    tail = j;
    return true;
}

struct IndexObject {
    PyObject_HEAD
    Index* index;
    Held policies, groups;
    bool built;
};

IndexObject* as_index(PyObject* self) { return reinterpret_cast<IndexObject*>(self); }

PyObject* list_of(PyObject* attrs, PyObject* key) {
    PyObject* l = PyDict_GetItemWithError(attrs, key);
    if (l == nullptr && PyErr_Occurred())
        fail();
    return l != nullptr && PyList_CheckExact(l) ? l : nullptr;
}

PyObject* attrs_arg(PyObject* attrs) {
    if (!PyDict_CheckExact(attrs)) {
        PyErr_SetString(PyExc_TypeError, "an index is made from a matrix's attribute dict");
        fail();
    }
    return attrs;
}

// --- making and following ----------------------------------------------------------------

PyObject* index_new(PyTypeObject* type, PyObject*, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref self = Ref::own(type->tp_alloc(type, 0));
        IndexObject* o = as_index(self.get());
        new (&o->policies) Held();
        new (&o->groups) Held();
        o->index = new Index();
        o->built = false;
        return self.release();
    });
}

void index_dealloc(PyObject* self) {
    IndexObject* o = as_index(self);
    // Every instance of a type made at run time holds a reference to its type: given back last.
    Ref type = Ref::steal(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    delete o->index;
    o->policies.~Held();
    o->groups.~Held();
    Py_TYPE(self)->tp_free(self);
}

PyObject* index_build(PyObject* self, PyObject* attrs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        IndexObject* o = as_index(self);
        attrs_arg(attrs);
        if (o->built) {
            PyErr_SetString(PyExc_RuntimeError, "an index is built once");
            fail();
        }
        Keys& k = keys();
        PyObject* policies = list_of(attrs, k.policies);
        PyObject* groups = list_of(attrs, k.groups);
        if (!policies || !groups) {
            PyErr_SetString(PyExc_TypeError, "a matrix's policies and groups are lists");
            fail();
        }
        Ref hold_p = Ref::borrow(policies), hold_g = Ref::borrow(groups);
        // Records whose fields sit in their slots are read without a reference of their
        // own (the build runs no code that could drop one); others through the attribute
        // protocol, which may run code, into references the build holds.
        std::vector<Raw> g, p;
        std::vector<Fields> owned_g, owned_p;
        if (!read_borrowed(groups, false, g) || !read_borrowed(policies, true, p)) {
            owned_g = read_all(groups, false);
            owned_p = read_all(policies, true);
            g = raw(owned_g);
            p = raw(owned_p);
        }
        o->index->build(g, p);
        o->policies.take(policies);
        o->groups.take(groups);
        o->built = true;
        Py_RETURN_NONE;
    });
}

// The index follows a change of the lists: the records lost go (groups first), the new ones
// come, and the lists now held are the ones it stands for.
void follow(IndexObject* o, const std::vector<Fields>& lost_p, const std::vector<Fields>& lost_g,
            const std::vector<Fields>& new_p, const std::vector<Fields>& new_g, PyObject* policies,
            PyObject* groups) {
    Index& index = *o->index;
    for (const Fields& f : lost_g)
        index.remove_group(f);
    for (const Fields& f : lost_p)
        index.remove_policy(f);
    for (const Fields& f : new_g)
        index.add_group(f);
    for (const Fields& f : new_p)
        index.add_policy(f);
    o->policies.take(policies);
    o->groups.take(groups);
}

// A list the matrix replaced (its own set operations: the records kept, then the new ones)
// followed by the records it lost and gained, found by identity against the list held; the
// other list may have grown in place. Whole lists rewritten are left to a build (False).
PyObject* resync(IndexObject* o, PyObject* policies, PyObject* groups, bool grown_p, bool grown_g) {
    Ref hold_p = Ref::borrow(policies), hold_g = Ref::borrow(groups);
    const Py_ssize_t most = std::max<Py_ssize_t>(1024, (o->policies.size + o->groups.size) / 16);
    std::vector<Ref> lost_p, lost_g;
    Py_ssize_t tail_p = o->policies.size, tail_g = o->groups.size, unused = 0;
    if ((!grown_p && !replaced(o->policies, policies, most, lost_p, tail_p)) ||
        (!grown_g && !replaced(o->groups, groups, most, lost_g, tail_g)))
        Py_RETURN_FALSE;
    // The lost records are alive in the held lists; their fields read before anything changes.
    std::vector<Fields> gone_p, gone_g;
    Keys& k = keys();
    Reader read_p(k.sub, k.obj, k.act), read_g(k.child, k.parent);
    for (const Ref& r : lost_p)
        gone_p.push_back(read_p(r.get()));
    for (const Ref& r : lost_g)
        gone_g.push_back(read_g(r.get()));
    std::vector<Fields> new_g = read_all(groups, false, tail_g);
    std::vector<Fields> new_p = read_all(policies, true, tail_p);
    // Reading a field may run code: the lists must still be those compared.
    if (!o->policies.intact() || !o->groups.intact() || PyList_GET_SIZE(policies) != tail_p + Py_ssize_t(new_p.size()) ||
        PyList_GET_SIZE(groups) != tail_g + Py_ssize_t(new_g.size()) ||
        (grown_p && !o->policies.grown(policies, unused)) || (grown_g && !o->groups.grown(groups, unused)))
        Py_RETURN_FALSE;
    // A lost group of a pair the index holds more than once: which of the copies each row
    // entry stands for is not known, and the rows' order could then differ from a build's.
    for (const Fields& f : gone_g) {
        const size_t copies = o->index->group_copies(f);
        if (copies < 2)
            continue;
        auto equal = [](PyObject* x, PyObject* y) {
            const int order = PyUnicode_Compare(x, y);
            if (order == -1 && PyErr_Occurred())
                fail();
            return order == 0;
        };
        size_t lost = 0;  // copies of the pair among the lost records (all lost: no question)
        for (const Fields& h : gone_g)
            lost += equal(f.a.get(), h.a.get()) && equal(f.b.get(), h.b.get());
        if (lost < copies)
            Py_RETURN_FALSE;
    }
    follow(o, gone_p, gone_g, new_p, new_g, policies, groups);
    Py_RETURN_TRUE;
}

PyObject* index_current(PyObject* self, PyObject* attrs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        IndexObject* o = as_index(self);
        attrs_arg(attrs);
        Keys& k = keys();
        PyObject* policies = list_of(attrs, k.policies);
        PyObject* groups = list_of(attrs, k.groups);
        Py_ssize_t more_p = 0, more_g = 0;
        if (!o->built || !policies || !groups)
            Py_RETURN_FALSE;
        const bool grown_p = o->policies.grown(policies, more_p), grown_g = o->groups.grown(groups, more_g);
        if (!grown_p || !grown_g)
            return resync(o, policies, groups, grown_p, grown_g);
        if (more_p == 0 && more_g == 0)
            Py_RETURN_TRUE;
        // Records appended in place (the matrix's own add operations): read, then added.
        Ref hold_p = Ref::borrow(policies), hold_g = Ref::borrow(groups);
        std::vector<Fields> g = read_all(groups, false, o->groups.size);
        std::vector<Fields> p = read_all(policies, true, o->policies.size);
        Py_ssize_t again_p = 0, again_g = 0;
        if (!o->policies.grown(policies, again_p) || !o->groups.grown(groups, again_g) ||
            again_p != Py_ssize_t(p.size()) || again_g != Py_ssize_t(g.size()))
            Py_RETURN_FALSE;  // changed while its records were read
        for (const Fields& f : g)
            o->index->add_group(f);
        for (const Fields& f : p)
            o->index->add_policy(f);
        o->policies.take(policies);
        o->groups.take(groups);
        Py_RETURN_TRUE;
    });
}

// apply(policies_before, policies_size, groups_before, groups_size, attrs, removed_policies,
//       added_policies, removed_groups, added_groups): a change the matrix's lists went
// through, once installed. False (nothing done) when the index was not at the lists before.
PyObject* index_apply(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (nargs != 9) {
            PyErr_SetString(PyExc_TypeError, "apply() takes 9 arguments");
            fail();
        }
        IndexObject* o = as_index(self);
        const Py_ssize_t size_p = PyLong_AsSsize_t(args[1]);
        const Py_ssize_t size_g = PyLong_AsSsize_t(args[3]);
        if ((size_p == -1 || size_g == -1) && PyErr_Occurred())
            fail();
        PyObject* attrs = attrs_arg(args[4]);
        Keys& k = keys();
        PyObject* policies = list_of(attrs, k.policies);
        PyObject* groups = list_of(attrs, k.groups);
        if (!o->built || !policies || !groups || args[0] != o->policies.list.get() ||
            args[2] != o->groups.list.get() || size_p != o->policies.size || size_g != o->groups.size)
            Py_RETURN_FALSE;
        Ref hold_p = Ref::borrow(policies), hold_g = Ref::borrow(groups);
        std::vector<Fields> lost_p = read_all(args[5], true);
        std::vector<Fields> new_p = read_all(args[6], true);
        std::vector<Fields> lost_g = read_all(args[7], false);
        std::vector<Fields> new_g = read_all(args[8], false);
        follow(o, lost_p, lost_g, new_p, new_g, policies, groups);
        Py_RETURN_TRUE;
    });
}

// --- questions ---------------------------------------------------------------------------

// The stored roles among `names` (an iterable), each once, in order; others left out.
std::vector<Id> sources(const Index& index, PyObject* names) {
    if (PyUnicode_Check(names)) {
        PyErr_SetString(PyExc_TypeError, "roles are a list of role names, not one string");
        fail();
    }
    Ref items = Ref::own(PySequence_Fast(names, "roles must be an iterable of role names"));
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(items.get());
    std::vector<Ref> names_;
    names_.reserve(size_t(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* name = PySequence_Fast_GET_ITEM(items.get(), i);
        if (PyUnicode_CheckExact(name))
            names_.push_back(Ref::borrow(name));
        else if (PyUnicode_Check(name))
            names_.push_back(Ref::own(PyUnicode_FromObject(name)));
    }
    std::vector<Id> out;
    std::unordered_set<Id> seen;  // a request may name 10^5 roles: each is looked at once
    for (const Ref& name : names_) {
        const Id r = index.role(name.get());
        if (r != no_id && seen.insert(r).second)
            out.push_back(r);
    }
    return out;
}

Ref name_list(const Index& index, const std::vector<Id>& ids) {
    Ref out = Ref::own(PyList_New(Py_ssize_t(ids.size())));
    for (size_t i = 0; i < ids.size(); ++i) {
        PyObject* name = index.role_name(ids[i]);
        Py_INCREF(name);
        PyList_SET_ITEM(out.get(), Py_ssize_t(i), name);
    }
    return out;
}

Ref pair_tuple(const Index& index, Id pair) {
    return Ref::own(PyTuple_Pack(2, index.pair_obj(pair), index.pair_act(pair)));
}

bool unpack(const char* name, Py_ssize_t nargs, Py_ssize_t least, Py_ssize_t most) {
    if (nargs < least || nargs > most) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd to %zd arguments (%zd given)", name, least, most, nargs);
        fail();
    }
    return true;
}

PyObject* index_check(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        unpack("check", nargs, 3, 3);
        Index& index = *as_index(self)->index;
        Ref obj = text(Ref::borrow(args[1]), "obj"), act = text(Ref::borrow(args[2]), "act");
        std::vector<Id> from = sources(index, args[0]);
        Id granted;
        const bool held = !index.why(from, obj.get(), act.get(), granted).empty();
        return Ref::borrow(held ? Py_True : Py_False).release();
    });
}

// why(roles, obj, act): None, or (the chain of roles, the covering pair's obj, its act).
PyObject* index_why(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        unpack("why", nargs, 3, 3);
        Index& index = *as_index(self)->index;
        Ref obj = text(Ref::borrow(args[1]), "obj"), act = text(Ref::borrow(args[2]), "act");
        std::vector<Id> from = sources(index, args[0]);
        Id granted;
        std::vector<Id> path = index.why(from, obj.get(), act.get(), granted);
        if (path.empty())
            Py_RETURN_NONE;
        Ref names = name_list(index, path);
        return check(PyTuple_Pack(3, names.get(), index.pair_obj(granted), index.pair_act(granted)));
    });
}

// who(obj, act, limit, cursor): ([(role, chain, obj, act)], the next page's cursor or None,
// how many roles hold it). `limit` None: all; the cursor is the one a page gave.
PyObject* index_who(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        unpack("who", nargs, 2, 4);
        Index& index = *as_index(self)->index;
        Ref obj = text(Ref::borrow(args[0]), "obj"), act = text(Ref::borrow(args[1]), "act");
        size_t limit = SIZE_MAX;
        Id from = 0;
        if (nargs > 2 && args[2] != Py_None) {
            const Py_ssize_t n = PyLong_AsSsize_t(args[2]);
            if (n == -1 && PyErr_Occurred())
                fail();
            if (n < 0) {
                PyErr_SetString(PyExc_ValueError, "a limit is at least 0");
                fail();
            }
            limit = size_t(n);
        }
        if (nargs > 3 && args[3] != Py_None) {
            const Py_ssize_t n = PyLong_AsSsize_t(args[3]);
            if (n == -1 && PyErr_Occurred())
                fail();
            if (n < 0 || n > Py_ssize_t(UINT32_MAX - 1)) {
                PyErr_SetString(PyExc_ValueError, "not a cursor of this index");
                fail();
            }
            from = Id(n);
        }
        size_t total;
        Id next;
        std::vector<Index::Holder> found = index.who(obj.get(), act.get(), from, limit, total, next);
        Ref out = Ref::own(PyList_New(Py_ssize_t(found.size())));
        for (size_t i = 0; i < found.size(); ++i) {
            Ref path = name_list(index, found[i].path);
            PyObject* item = check(PyTuple_Pack(4, index.role_name(found[i].role), path.get(),
                                                index.pair_obj(found[i].granted), index.pair_act(found[i].granted)));
            PyList_SET_ITEM(out.get(), Py_ssize_t(i), item);
        }
        Ref cursor = next == no_id ? Ref::borrow(Py_None) : Ref::own(PyLong_FromUnsignedLong(next));
        Ref count = Ref::own(PyLong_FromSize_t(total));
        return check(PyTuple_Pack(3, out.get(), cursor.get(), count.get()));
    });
}

// permissions(roles): every (obj, act) the roles reach, in the order pairs were first granted.
PyObject* index_permissions(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        unpack("permissions", nargs, 1, 1);
        Index& index = *as_index(self)->index;
        std::vector<Id> pairs = index.reach(sources(index, args[0]));
        Ref out = Ref::own(PyList_New(Py_ssize_t(pairs.size())));
        for (size_t i = 0; i < pairs.size(); ++i)
            PyList_SET_ITEM(out.get(), Py_ssize_t(i), pair_tuple(index, pairs[i]).release());
        return out.release();
    });
}

// permission_paths(roles): [(obj, act, the shortest chain of roles it comes through)].
PyObject* index_permission_paths(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        unpack("permission_paths", nargs, 1, 1);
        Index& index = *as_index(self)->index;
        std::vector<Id> via, previous;
        std::vector<Id> pairs = index.reach(sources(index, args[0]), &via, &previous);
        std::vector<Ref> paths(previous.size());  // one chain per role, shared by its pairs
        Ref out = Ref::own(PyList_New(Py_ssize_t(pairs.size())));
        for (size_t i = 0; i < pairs.size(); ++i) {
            Ref& path = paths[via[i]];
            if (!path) {
                std::vector<Id> chain;
                for (Id n = via[i]; n != no_id; n = previous[n])
                    chain.push_back(n);
                std::reverse(chain.begin(), chain.end());
                path = name_list(index, chain);
            }
            PyList_SET_ITEM(out.get(), Py_ssize_t(i),
                            check(PyTuple_Pack(3, index.pair_obj(pairs[i]), index.pair_act(pairs[i]), path.get())));
        }
        return out.release();
    });
}

PyObject* index_holds_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        unpack("holds_object", nargs, 2, 2);
        Index& index = *as_index(self)->index;
        Ref obj = text(Ref::borrow(args[1]), "obj");
        const bool held = index.holds_object(sources(index, args[0]), obj.get());
        return Ref::borrow(held ? Py_True : Py_False).release();
    });
}

Id stored_role(const Index& index, PyObject* name) {
    if (!PyUnicode_Check(name))
        return no_id;
    Ref s = text(Ref::borrow(name), "a role name");
    return index.role(s.get());
}

// path(start, goal): the shortest chain of sub-roles from start to goal, or None.
PyObject* index_path(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        unpack("path", nargs, 2, 2);
        Index& index = *as_index(self)->index;
        const Id start = stored_role(index, args[0]), goal = stored_role(index, args[1]);
        if (start == no_id || goal == no_id)
            Py_RETURN_NONE;
        std::vector<Id> chain = index.path(start, goal);
        if (chain.empty())
            Py_RETURN_NONE;
        return name_list(index, chain).release();
    });
}

// containing(role): [(role containing it, its chain down to it)], itself first; None when
// the role is not stored.
PyObject* index_containing(PyObject* self, PyObject* role) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Index& index = *as_index(self)->index;
        const Id r = stored_role(index, role);
        if (r == no_id)
            Py_RETURN_NONE;
        std::vector<Id> towards;
        std::vector<Id> found = index.containing(r, towards);
        std::vector<Id> next(index.role_ids(), no_id);
        for (size_t i = 0; i < found.size(); ++i)
            next[found[i]] = towards[i];
        Ref out = Ref::own(PyList_New(Py_ssize_t(found.size())));
        for (size_t i = 0; i < found.size(); ++i) {
            std::vector<Id> chain;
            for (Id n = found[i]; n != no_id; n = next[n])
                chain.push_back(n);
            Ref path = name_list(index, chain);
            PyList_SET_ITEM(out.get(), Py_ssize_t(i), check(PyTuple_Pack(2, index.role_name(found[i]), path.get())));
        }
        return out.release();
    });
}

// roles(): the stored roles, in the order the index first met them.
PyObject* index_roles(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Index& index = *as_index(self)->index;
        std::vector<Id> ids;
        for (Id r = 0; r < index.role_ids(); ++r)
            if (index.stored(r))
                ids.push_back(r);
        return name_list(index, ids).release();
    });
}

PyObject* index_has(PyObject* self, PyObject* role) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        return Ref::borrow(stored_role(*as_index(self)->index, role) != no_id ? Py_True : Py_False).release();
    });
}

// The direct neighbours of a role: its sub-roles, the roles containing it, its grants.
template <int which>
PyObject* index_direct(PyObject* self, PyObject* role) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Index& index = *as_index(self)->index;
        const Id r = stored_role(index, role);
        std::vector<Id> ids;
        if (r != no_id) {
            std::span<const Id> row = which == 0 ? index.subs(r) : which == 1 ? index.containers(r) : index.grants(r);
            std::unordered_set<Id> seen;  // a hub's row may hold 10^5 roles: each looked at once
            for (Id id : row)
                if (seen.insert(id).second)
                    ids.push_back(id);
        }
        if (which != 2)
            return name_list(index, ids).release();
        Ref out = Ref::own(PyList_New(Py_ssize_t(ids.size())));
        for (size_t i = 0; i < ids.size(); ++i)
            PyList_SET_ITEM(out.get(), Py_ssize_t(i), pair_tuple(index, ids[i]).release());
        return out.release();
    });
}

// counts(): (stored policies, stored groups, stored roles).
PyObject* index_counts(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Index& index = *as_index(self)->index;
        size_t roles = 0;
        for (Id r = 0; r < index.role_ids(); ++r)
            roles += index.stored(r);
        return Py_BuildValue("(nnn)", Py_ssize_t(index.policy_count()), Py_ssize_t(index.group_count()),
                             Py_ssize_t(roles));
    });
}

PyObject* index_bytes(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* { return PyLong_FromSize_t(as_index(self)->index->bytes()); });
}

// Copies and pickles of a matrix carry an index that is not built: it is built for them
// when they are first asked.
PyObject* index_reduce(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref args = Ref::own(PyTuple_New(0));
        return check(PyTuple_Pack(2, reinterpret_cast<PyObject*>(Py_TYPE(self)), args.get()));
    });
}

#define FAST(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef index_methods[] = {
    {"build", index_build, METH_O, "build(attrs): made from a matrix's stored lists (once)."},
    {"current", index_current, METH_O,
     "current(attrs): whether the index answers for these lists; records appended in place are followed."},
    {"apply", FAST(index_apply), METH_FASTCALL, "apply(...): follow a change the lists went through."},
    {"check", FAST(index_check), METH_FASTCALL, "check(roles, obj, act): whether the roles hold (obj, act)."},
    {"why", FAST(index_why), METH_FASTCALL, "why(roles, obj, act): (chain, obj, act) of the covering grant, or None."},
    {"who", FAST(index_who), METH_FASTCALL, "who(obj, act, limit=None, cursor=None): (page, next cursor, total)."},
    {"permissions", FAST(index_permissions), METH_FASTCALL, "permissions(roles): every (obj, act) reached."},
    {"permission_paths", FAST(index_permission_paths), METH_FASTCALL,
     "permission_paths(roles): [(obj, act, chain)] for every pair reached."},
    {"holds_object", FAST(index_holds_object), METH_FASTCALL,
     "holds_object(roles, obj): whether some action on obj (or on \"*\") is reached."},
    {"path", FAST(index_path), METH_FASTCALL, "path(start, goal): the shortest chain of sub-roles, or None."},
    {"containing", index_containing, METH_O, "containing(role): [(role, chain down to it)], or None."},
    {"roles", index_roles, METH_NOARGS, "roles(): the stored roles."},
    {"has", index_has, METH_O, "has(role): whether the role is stored."},
    {"sub_roles", index_direct<0>, METH_O, "sub_roles(role): its direct sub-roles."},
    {"contained_by", index_direct<1>, METH_O, "contained_by(role): the roles containing it directly."},
    {"grants", index_direct<2>, METH_O, "grants(role): its direct (obj, act) pairs."},
    {"counts", index_counts, METH_NOARGS, "counts(): (policies, groups, roles)."},
    {"bytes", index_bytes, METH_NOARGS, "bytes(): memory the index holds."},
    {"__reduce__", index_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot index_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(index_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {Py_tp_methods, index_methods},
    {Py_tp_doc, const_cast<char*>("The query index of one role matrix.")},
    {0, nullptr},
};

PyType_Spec index_type = {"zarn_user._query.Index", sizeof(IndexObject), 0, Py_TPFLAGS_DEFAULT, index_slots};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_query", "The query index of role matrices (private).", -1,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace zarn::query

PyMODINIT_FUNC PyInit__query() {
    using namespace zarn;
    return guarded<PyObject*>(nullptr, []() -> PyObject* {
        query::keys();
        Ref module = Ref::own(PyModule_Create(&query::module_def));
        Ref type = Ref::own(PyType_FromSpec(&query::index_type));
        check(PyModule_AddObjectRef(module.get(), "Index", type.get()));
        return module.release();
    });
}
