// Walks of the stored lists (see walk.hpp).
#include "graph/walk.hpp"

#include <optional>
#include <vector>

namespace zarn::graph {

namespace {

// The test and the read of one walk over plain records: which slot holds the tested field
// (and the one read from each kept record) for the type last met.
class PlainWalk {
public:
    PlainWalk(FieldReader& tested, FieldReader* out) : tested_(tested), out_(out) {}

    // Whether `r` is of the type last met, learning its slots when it is not: false when
    // its fields are not slots.
    bool take(PyObject* r) {
        PyTypeObject* tp = Py_TYPE(r);
        if (tp == type_) [[likely]]
            return true;
        type_ = nullptr;
        tested_offset_ = tested_.slot(tp);
        out_offset_ = out_ != nullptr ? out_->slot(tp) : 0;
        if (tested_offset_ == 0 || (out_ != nullptr && out_offset_ == 0))
            return false;
        type_ = tp;
        return true;
    }

    // Fetches the tested string of `r` ahead, when `r` is of the type last met.
    void fetch_field(PyObject* r) const {
        if (Py_TYPE(r) == type_)
            if (PyObject* v = slot_at(r, tested_offset_))
                __builtin_prefetch(v);
    }

    PyObject* tested(PyObject* r) const { return slot_at(r, tested_offset_); }
    PyObject* out(PyObject* r) const { return slot_at(r, out_offset_); }

private:
    FieldReader& tested_;
    FieldReader* out_;
    PyTypeObject* type_ = nullptr;
    Py_ssize_t tested_offset_ = 0, out_offset_ = 0;
};

// Where a walk's kept objects go while no Python code runs: borrowed into a vector (few are
// kept), then into a new list of that size.
class FewKept {
public:
    void put(PyObject* o) { kept_.push_back(o); }
    Ref list() const {
        Ref list = Ref::own(PyList_New(Py_ssize_t(kept_.size())));
        for (size_t i = 0; i < kept_.size(); ++i)
            PyList_SET_ITEM(list.get(), Py_ssize_t(i), Py_NewRef(kept_[i]));
        return list;
    }

private:
    std::vector<PyObject*> kept_;
};

// Or straight into a list made for all of them (most are kept), cut to its length at the
// end. The list's unfilled tail holds nulls, which nothing sees before the cut.
class MostKept {
public:
    explicit MostKept(Py_ssize_t size) : list_(Ref::own(PyList_New(size))), size_(size) {}
    void put(PyObject* o) { PyList_SET_ITEM(list_.get(), count_++, Py_NewRef(o)); }
    Ref list() {
        if (count_ < size_)
            check(PyList_SetSlice(list_.get(), count_, size_, nullptr));
        size_ = count_;
        return list_;
    }

private:
    Ref list_;
    Py_ssize_t size_, count_ = 0;
};

// The walk as far as the items are plain, the kept objects (records, or their `out` values)
// put into `sink`; returns the position of the first item that is not plain (the size when
// all are). Nothing here runs Python code, so no item can go away meanwhile.
template <class Sink>
Py_ssize_t plain_prefix(PyObject* list, PlainWalk& walk, PyObject* value, bool keep_equal, bool keep_out,
                        Sink& sink) {
    if (!plain_str(value))
        return 0;
    str_hash(value);  // cached in the str: the tests below then compare hashes first
    PyObject* const* items = reinterpret_cast<PyListObject*>(list)->ob_item;
    const Py_ssize_t size = PyList_GET_SIZE(list);
    Py_ssize_t i = 0;
    for (; i < size; ++i) {
        fetch_ahead(items, i, size, [&](PyObject* ahead) { walk.fetch_field(ahead); });
        PyObject* r = items[i];
        if (!walk.take(r))
            break;
        PyObject* v = walk.tested(r);
        if (v == nullptr || !plain_str(v))
            break;
        if (same_str(v, value) != keep_equal)
            continue;
        if (!keep_out) {
            sink.put(r);
            continue;
        }
        PyObject* o = walk.out(r);
        if (o == nullptr)
            break;  // the protocol's read raises AttributeError
        sink.put(o);
    }
    return i;
}

// Both sides of the test in one pass, when every item is plain: the items whose field
// equals `value`, and the others. False (and nothing kept) at the first item that is not.
bool plain_partition(PyObject* list, PlainWalk& walk, PyObject* value, FewKept& equal, MostKept& other) {
    if (!plain_str(value))
        return false;
    str_hash(value);
    PyObject* const* items = reinterpret_cast<PyListObject*>(list)->ob_item;
    const Py_ssize_t size = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < size; ++i) {
        fetch_ahead(items, i, size, [&](PyObject* ahead) { walk.fetch_field(ahead); });
        PyObject* r = items[i];
        if (!walk.take(r))
            return false;
        PyObject* v = walk.tested(r);
        if (v == nullptr || !plain_str(v))
            return false;
        if (same_str(v, value))
            equal.put(r);
        else
            other.put(r);
    }
    return true;
}

Ref walk(PyObject* records, PyObject* name, PyObject* value, int op, PyObject* out_name) {
    FieldReader read(name);
    std::optional<FieldReader> out;
    if (out_name != nullptr)
        out.emplace(out_name);
    auto keep = [&](Ref& result, PyObject* r) {
        if (!compare(read(r).get(), value, op))
            return;
        if (out)
            check(PyList_Append(result.get(), (*out)(r).get()));
        else
            check(PyList_Append(result.get(), r));
    };
    if (!PyList_CheckExact(records)) {
        Ref result = new_list();
        for_each(records, [&](PyObject* r) { keep(result, r); });
        return result;
    }
    PlainWalk plain(read, out ? &*out : nullptr);
    Ref result;
    Py_ssize_t reached;
    if (op == Py_EQ) {
        FewKept sink;
        reached = plain_prefix(records, plain, value, true, out.has_value(), sink);
        result = sink.list();
    } else {
        MostKept sink(PyList_GET_SIZE(records));
        reached = plain_prefix(records, plain, value, false, out.has_value(), sink);
        result = sink.list();
    }
    // The rest as a `for` loop over the list goes on: by index, against the live size, the
    // item held while its fields are read.
    for (Py_ssize_t i = reached; i < PyList_GET_SIZE(records); ++i) {
        Ref r = Ref::borrow(PyList_GET_ITEM(records, i));
        keep(result, r.get());
    }
    return result;
}

}  // namespace

Ref select(PyObject* records, PyObject* name, PyObject* value, int op) {
    return walk(records, name, value, op, nullptr);
}

Ref select_field(PyObject* records, PyObject* name, PyObject* value, PyObject* out) {
    return walk(records, name, value, Py_EQ, out);
}

std::pair<Ref, Ref> split(PyObject* self, PyObject* stored, PyObject* name, PyObject* value) {
    Ref records = field(self, stored);
    if (PyList_CheckExact(records.get())) {
        FieldReader read(name);
        PlainWalk plain(read, nullptr);
        FewKept equal;
        MostKept other(PyList_GET_SIZE(records.get()));
        if (plain_partition(records.get(), plain, value, equal, other)) {
            // Both lists made whole before the second read, which may run code that could
            // come across the unfilled one.
            Ref equal_list = equal.list(), other_list = other.list();
            // Nothing has run since the first read: a second read that runs nothing either and
            // finds the same list would walk it to the same records.
            bool pure = true;
            Ref again = field(self, stored, &pure);
            if (pure && again.get() == records.get())
                return {std::move(equal_list), std::move(other_list)};
            Ref kept = select(again.get(), name, value, Py_NE);
            return {std::move(equal_list), std::move(kept)};
        }
    }
    Ref equal = select(records.get(), name, value, Py_EQ);
    Ref kept = select(field(self, stored).get(), name, value, Py_NE);
    return {std::move(equal), std::move(kept)};
}

}  // namespace zarn::graph
