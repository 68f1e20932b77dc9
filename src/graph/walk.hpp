// Walks of the stored lists that keep the records whose field equals (or differs from) a
// role name: `[r for r in records if r.<name> == value]` and its kin.
//
// Where the walk reads an exact list of records whose field lives in a slot (see
// FieldReader) and compares exact str values, no Python code can run until it ends: it then
// reads the list's items and their fields without taking references, compares the strings
// directly and fetches records and strings some positions ahead, so that their cache misses
// overlap. The first item that is not of that kind (another type, an empty slot, a value
// that is not an exact str) hands the rest of the walk to the interpreter's protocol, from
// that position and against the list's live size, exactly as the loop would go on.
#pragma once

#include <cstring>
#include <utility>

#include "graph/protocol.hpp"

namespace zarn::graph {

// Equality of two exact, ready str (as str's own `==` answers it).
inline bool same_str(PyObject* a, PyObject* b) {
    if (a == b)
        return true;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b))
        return false;
    const Py_hash_t ha = reinterpret_cast<PyASCIIObject*>(a)->hash;
    const Py_hash_t hb = reinterpret_cast<PyASCIIObject*>(b)->hash;
    if (ha != -1 && hb != -1 && ha != hb)
        return false;
    const int kind = PyUnicode_KIND(a);
    return kind == PyUnicode_KIND(b) && memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), size_t(n) * size_t(kind)) == 0;
}

// A str that same_str() may read: exact and ready.
inline bool plain_str(PyObject* s) { return PyUnicode_CheckExact(s) && PyUnicode_IS_READY(s); }

// The object in the slot at `offset` of `o` (null when empty).
inline PyObject* slot_at(PyObject* o, Py_ssize_t offset) {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + offset);
}

// How far ahead of the record being compared the walks fetch records, and the strings of
// records (fetched earlier, so that the record's own line is there to read them from).
constexpr Py_ssize_t record_lead = 16;
constexpr Py_ssize_t field_lead = 8;

// Whether two consecutive records lie too far apart for the processor's own fetching of
// the lines that follow to have brought one with the other. Records allocated in list order
// (as a load makes them) are streamed by the processor, and fetching them (and their
// strings) ahead in software only slows that stream; scattered ones (as after many changes)
// are fetched ahead here.
inline bool apart(PyObject* a, PyObject* b) {
    const auto d = reinterpret_cast<uintptr_t>(a) - reinterpret_cast<uintptr_t>(b);
    return d + 512 > 1024;
}

// Fetches ahead of position `i` of `items` the record, and (by fetch_fields(record)) the
// strings that a walk reads later, where they lie apart from their predecessors.
template <class FetchFields>
inline void fetch_ahead(PyObject* const* items, Py_ssize_t i, Py_ssize_t size, FetchFields&& fetch_fields) {
    if (i + record_lead < size && apart(items[i + record_lead], items[i + record_lead - 1]))
        __builtin_prefetch(items[i + record_lead]);
    if (i + field_lead < size && apart(items[i + field_lead], items[i + field_lead - 1]))
        fetch_fields(items[i + field_lead]);
}

// [r for r in records if r.<name> <op> value], `op` Py_EQ or Py_NE, the record's value on
// the left.
Ref select(PyObject* records, PyObject* name, PyObject* value, int op = Py_EQ);

// [r.<out> for r in records if r.<name> == value], `out` read right after each kept record's
// test.
Ref select_field(PyObject* records, PyObject* name, PyObject* value, PyObject* out);

// The two walks of `self.<stored>` that replacing a role's records makes, each reading the
// attribute afresh: [r for r in self.<stored> if r.<name> == value], then
// [r for r in self.<stored> if r.<name> != value]. One pass serves both where nothing
// between them can run.
std::pair<Ref, Ref> split(PyObject* self, PyObject* stored, PyObject* name, PyObject* value);

}  // namespace zarn::graph
