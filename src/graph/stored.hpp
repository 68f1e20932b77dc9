// Membership of new records in the stored lists `policies` and `groups`, as `record in
// self.<list>` answers it, without a scan of the list per test where nothing can tell.
//
// A record is plain when its type is the record class this module made, unchanged since
// (its version tag and that of its metaclass as they were, the framework's `__eq__` with
// its code), and each of the class's fields holds an exact str in its slot. Two plain
// records are equal exactly when their field values are (the framework's `__eq__` compares
// the slots' values in field order), and comparing them runs nothing anyone could observe:
// for them the test may compare the values directly, or look them up in a hash set. Any other element, or a record or list of another kind, is compared by the
// interpreter as `in` would, in its order.
#pragma once

#include <unordered_set>

#include "runtime/function.hpp"
#include "runtime/names.hpp"

namespace zarn::graph {

// The field values of a plain record, in field order.
struct RecordKey {
    PyObject* values[3] = {nullptr, nullptr, nullptr};
    Py_hash_t hash = 0;
};

// One of the record classes this module made at load.
class RecordClass {
public:
    // `cls` as made, with these fields (at most three), each held in a slot; a class that
    // cannot be recognised later (no version tag, another `__eq__`) or keeps its fields
    // elsewhere is not remembered.
    void remember(PyObject* cls, std::initializer_list<PyObject*> fields);
    // Whether `cls` is this class, still as it was.
    bool is(PyObject* cls) const;
    // The key of `record` when it is a plain record of this class.
    bool key(PyObject* record, RecordKey& out) const;
    bool equal(const RecordKey& a, const RecordKey& b) const;
    // `key` (of a plain record) compared with the elements of `list` in order while they are
    // plain records of this class, field by field as the records' equality compares them:
    // the first unequal field decides. Returns the position of the first element that is
    // not plain (the size when all are), or of the first equal one, with `found` set.
    Py_ssize_t match(PyObject* list, const RecordKey& key, bool& found) const;
    // Fetches the field strings of `record` ahead, when it is of this class.
    void fetch_fields(PyObject* record) const;

private:
    Ref type_, eq_, eq_code_;
    unsigned int tag_ = 0, meta_tag_ = 0;
    Py_ssize_t offsets_[3] = {0, 0, 0};
    Py_ssize_t count_ = 0;
};

// The module's Policy and Group classes, as made at load (kept for the life of the process).
RecordClass& policy_class();
RecordClass& group_class();

// `record in self.<name>` and `self.<name>.append(record)` for the records of one add call.
// The list is read afresh at each use. From the second test on, a list of plain records is
// answered from a hash set of their keys, kept in step with our own appends; it holds only
// while no Python code may have run but ours and the framework's record construction:
// whoever cannot vouch for a step calls disturbed(), and a list that is not the one indexed,
// or not of the size indexed, is read again.
class StoredRecords {
public:
    StoredRecords(PyObject* self, PyObject* name, const RecordClass& kind);
    bool contains(PyObject* record);
    void append(PyObject* record);
    void disturbed();
    // Whether a set is held (and so worth protecting).
    bool holding() const { return bool(list_); }

private:
    struct KeyHash {
        size_t operator()(const RecordKey& k) const { return size_t(k.hash); }
    };
    struct KeyEqual {
        const RecordClass* kind;
        bool operator()(const RecordKey& a, const RecordKey& b) const { return kind->equal(a, b); }
    };
    bool scan(PyObject* list, const RecordKey& key, PyObject* record);
    bool build(PyObject* list);
    bool indexed(PyObject* list) const { return list_.get() == list && PyList_GET_SIZE(list) == size_; }

    PyObject* self_;
    PyObject* name_;
    const RecordClass& kind_;
    Ref list_;  // the indexed list, held so that its address names no other list
    Py_ssize_t size_ = 0;
    bool scanned_ = false;  // a test has scanned since the last disturbance
    bool mixed_ = false;    // the list holds records that are not plain: scanned each time
    std::unordered_set<RecordKey, KeyHash, KeyEqual> keys_;
};

}  // namespace zarn::graph
