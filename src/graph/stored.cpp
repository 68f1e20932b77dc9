// Membership of new records in the stored lists (see stored.hpp).
#include "graph/stored.hpp"

#include <cstdint>

#include "graph/protocol.hpp"
#include "graph/search.hpp"
#include "graph/walk.hpp"

namespace zarn::graph {

namespace {

bool tag_valid(PyTypeObject* tp) { return PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG); }

}  // namespace

RecordClass& policy_class() {
    static RecordClass& kind = *new RecordClass();  // never destroyed: it holds references
    return kind;
}

RecordClass& group_class() {
    static RecordClass& kind = *new RecordClass();
    return kind;
}

void RecordClass::remember(PyObject* cls, std::initializer_list<PyObject*> fields) {
    type_.reset();
    if (!PyType_Check(cls) || fields.size() > 3)
        return;
    PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(cls);
    // A lookup gives the class (and its metaclass) a version tag when it can have one.
    PyObject* eq = _PyType_Lookup(tp, interned<"__eq__">());
    PyObject* count = _PyType_Lookup(tp, interned<"_field_count">());
    _PyType_Lookup(Py_TYPE(tp), interned<"__call__">());
    if (eq == nullptr || !PyFunction_Check(eq) || count == nullptr || !PyLong_CheckExact(count) ||
        PyLong_AsSsize_t(count) != Py_ssize_t(fields.size()) || tp->tp_getattro != PyObject_GenericGetAttr ||
        !tag_valid(tp) || !tag_valid(Py_TYPE(tp))) {
        PyErr_Clear();
        return;
    }
    // Each field read from its slot (see slot_offset); a class that keeps its fields
    // elsewhere is not remembered.
    Py_ssize_t offsets[3] = {0, 0, 0};
    Py_ssize_t n = 0;
    for (PyObject* name : fields) {
        PyObject* descr = _PyType_Lookup(tp, name);
        offsets[n] = descr != nullptr ? slot_offset(tp, descr) : 0;
        if (offsets[n++] == 0) {
            PyErr_Clear();
            return;
        }
    }
    for (count_ = 0; count_ < n; ++count_)
        offsets_[count_] = offsets[count_];
    eq_ = Ref::borrow(eq);
    eq_code_ = Ref::borrow(PyFunction_GET_CODE(eq));
    tag_ = tp->tp_version_tag;
    meta_tag_ = Py_TYPE(tp)->tp_version_tag;
    type_ = Ref::borrow(cls);
}

bool RecordClass::is(PyObject* cls) const {
    if (!type_ || cls != type_.get())
        return false;
    PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(cls);
    return tag_valid(tp) && tp->tp_version_tag == tag_ && tag_valid(Py_TYPE(tp)) &&
           Py_TYPE(tp)->tp_version_tag == meta_tag_ && PyFunction_GET_CODE(eq_.get()) == eq_code_.get();
}

bool RecordClass::key(PyObject* record, RecordKey& out) const {
    if (!is(reinterpret_cast<PyObject*>(Py_TYPE(record))))
        return false;
    for (Py_ssize_t i = 0; i < count_; ++i) {
        PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(record) + offsets_[i]);
        if (value == nullptr || !PyUnicode_CheckExact(value))
            return false;
        out.values[i] = value;
    }
    uint64_t h = 0x345678;  // unsigned: the mixing wraps around
    for (Py_ssize_t i = 0; i < count_; ++i)
        h = (h ^ uint64_t(hash_of(out.values[i]))) * 1000003u;
    out.hash = Py_hash_t(h);
    return true;
}

bool RecordClass::equal(const RecordKey& a, const RecordKey& b) const {
    if (a.hash != b.hash)
        return false;
    for (Py_ssize_t i = 0; i < count_; ++i)
        if (plain_equal(a.values[i], b.values[i]) != 1)
            return false;
    return true;
}

Py_ssize_t RecordClass::match(PyObject* list, const RecordKey& key, bool& found) const {
    found = false;
    if (!is(type_.get()))
        return 0;
    for (Py_ssize_t f = 0; f < count_; ++f)
        if (!plain_str(key.values[f]))
            return 0;
    PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(type_.get());
    PyObject* const* items = reinterpret_cast<PyListObject*>(list)->ob_item;
    const Py_ssize_t size = PyList_GET_SIZE(list);
    const Py_ssize_t first = offsets_[0];
    for (Py_ssize_t i = 0; i < size; ++i) {
        fetch_ahead(items, i, size, [&](PyObject* ahead) {
            if (Py_TYPE(ahead) == tp)
                if (PyObject* v = slot_at(ahead, first))
                    __builtin_prefetch(v);  // most records differ from the key in their first field
        });
        PyObject* r = items[i];
        if (Py_TYPE(r) != tp)
            return i;
        bool equal = true;
        for (Py_ssize_t f = 0; equal && f < count_; ++f) {
            PyObject* v = slot_at(r, offsets_[f]);
            if (v == nullptr || !plain_str(v))
                return i;
            equal = same_str(v, key.values[f]);
        }
        if (equal) {
            found = true;
            return i;
        }
    }
    return size;
}

void RecordClass::fetch_fields(PyObject* record) const {
    if (reinterpret_cast<PyObject*>(Py_TYPE(record)) != type_.get())
        return;
    for (Py_ssize_t f = 0; f < count_; ++f)
        if (PyObject* v = slot_at(record, offsets_[f]))
            __builtin_prefetch(v);
}

StoredRecords::StoredRecords(PyObject* self, PyObject* name, const RecordClass& kind)
    : self_(self), name_(name), kind_(kind), keys_(0, KeyHash{}, KeyEqual{&kind}) {}

void StoredRecords::disturbed() {
    list_.reset();
    keys_.clear();
    scanned_ = false;
    mixed_ = false;
}

bool StoredRecords::contains(PyObject* record) {
    bool pure = true;
    Ref list = field(self_, name_, &pure);
    if (!pure)
        disturbed();
    RecordKey key;
    if (!PyList_CheckExact(list.get()) || !kind_.key(record, key)) {
        // The interpreter's own test: it may run Python code.
        disturbed();
        return graph::contains(list.get(), record);
    }
    if (list_ && indexed(list.get()))
        return keys_.count(key) != 0;
    if (scanned_ && !mixed_ && build(list.get()))
        return keys_.count(key) != 0;
    scanned_ = true;
    return scan(list.get(), key, record);
}

// `record in list` as list.__contains__ makes it (element on the left, live size), plain
// elements compared by their values.
bool StoredRecords::scan(PyObject* list, const RecordKey& key, PyObject* record) {
    bool found = false;
    Py_ssize_t i = kind_.match(list, key, found);  // the plain records before the first other
    bool pure = true;
    for (; !found && i < PyList_GET_SIZE(list); ++i) {
        PyObject* element = PyList_GET_ITEM(list, i);
        RecordKey other;
        if (kind_.key(element, other)) {
            found = kind_.equal(other, key);
            continue;
        }
        pure = false;
        Ref hold = Ref::borrow(element);
        found = check(PyObject_RichCompareBool(element, record, Py_EQ)) != 0;
    }
    if (!pure)
        disturbed();
    return found;
}

bool StoredRecords::build(PyObject* list) {
    keys_.clear();
    list_.reset();
    const Py_ssize_t size = PyList_GET_SIZE(list);
    keys_.reserve(size_t(size) + 64);
    PyObject* const* items = reinterpret_cast<PyListObject*>(list)->ob_item;
    for (Py_ssize_t i = 0; i < size; ++i) {
        fetch_ahead(items, i, size, [&](PyObject* ahead) { kind_.fetch_fields(ahead); });
        RecordKey key;
        if (!kind_.key(items[i], key)) {
            keys_.clear();
            mixed_ = true;
            return false;
        }
        keys_.insert(key);
    }
    list_ = Ref::borrow(list);
    size_ = size;
    return true;
}

void StoredRecords::append(PyObject* record) {
    bool pure = true;
    Ref list = field(self_, name_, &pure);
    if (!pure)
        disturbed();
    const bool tracked = list_ && indexed(list.get());
    graph::append(list.get(), record);
    if (!PyList_CheckExact(list.get())) {
        disturbed();  // the object's own append ran
        return;
    }
    RecordKey key;
    if (tracked && kind_.key(record, key)) {
        keys_.insert(key);
        size_ += 1;
    } else if (list_) {
        list_.reset();
        keys_.clear();
    }
}

}  // namespace zarn::graph
