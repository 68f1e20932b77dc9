// Where a key stands in a plain dict's entry array: searches mark reached nodes by that
// position, and the collection pass walks the marks in key order with no hashing at all.
//
// The dict's storage is the interpreter's own (CPython 3.11's combined table); the layout
// is mirrored here and checked once, at load, against the dict API (`entries_usable`).
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "runtime/refs.hpp"

namespace zarn::graph {

// Outcome of looking a key up by position.
enum : Py_ssize_t {
    entry_missing = -1,  // no such key
    entry_unknown = -2,  // cannot tell without running Python code (or no combined table)
};

// The position of `key` (whose hash is `hash`) in `dict`'s entry array, with its value;
// entry_missing or entry_unknown otherwise. Runs no Python code: a stored key that is not
// plain and has the same hash gives entry_unknown.
Py_ssize_t entry_of(PyObject* dict, PyObject* key, Py_hash_t hash, PyObject** value);

// The position of the pair (obj, act) of exact str, whose tuple hash is `hash`, as entry_of
// gives it for such a tuple, without a tuple: only exact 2-tuples of exact str equal it.
Py_ssize_t pair_entry_of(PyObject* dict, PyObject* obj, PyObject* act, Py_hash_t hash, PyObject** value);

// The interpreter's hash of a 2-tuple whose items hash to `h0` and `h1`, made without the
// tuple; usable when pair_hash_usable() (checked once against real tuples).
inline Py_hash_t pair_hash(Py_hash_t h0, Py_hash_t h1) {
    // The tuple hash of CPython 3.11 (xxHash's round over the item hashes), for 64-bit hashes.
    constexpr Py_uhash_t prime1 = 11400714785074694791ULL, prime2 = 14029467366897019727ULL,
                         prime5 = 2870177450012600261ULL;
    Py_uhash_t acc = prime5;
    for (Py_uhash_t lane : {Py_uhash_t(h0), Py_uhash_t(h1)}) {
        acc += lane * prime2;
        acc = (acc << 31) | (acc >> 33);
        acc *= prime1;
    }
    acc += Py_uhash_t(2) ^ (prime5 ^ 3527539UL);
    return acc == Py_uhash_t(-1) ? 1546275796 : Py_hash_t(acc);
}
bool pair_hash_usable();

// Asks the processor to fetch the index slot where a key of hash `hash` is looked up first.
void prefetch_slot(PyObject* dict, Py_hash_t hash);

// The number of entry slots in use (deleted ones included); positions are below it.
Py_ssize_t entry_count(PyObject* dict);

// The key at a position; empty for a deleted entry.
Borrowed entry_key(PyObject* dict, Py_ssize_t position);

// The value at a position; empty for a deleted entry.
Borrowed entry_value(PyObject* dict, Py_ssize_t position);

// The keys and values of a plain dict by position (below entry_count()), read inline: valid
// while the dict is not changed (a new key may move its entry array).
class EntryView {
public:
    EntryView() = default;
    explicit EntryView(PyObject* dict);
    PyObject* key(Py_ssize_t at) const { return slot(at, 0); }
    PyObject* value(Py_ssize_t at) const { return slot(at, 1); }
    // Where the entry at `at` lies, to fetch it ahead.
    const void* address(Py_ssize_t at) const { return base_ + size_t(at) * stride_; }

private:
    PyObject* slot(Py_ssize_t at, size_t which) const {
        return reinterpret_cast<PyObject* const*>(base_ + size_t(at) * stride_)[first_ + which];
    }
    const char* base_ = nullptr;
    size_t stride_ = 0, first_ = 0;  // bytes per entry; the key's place in it, in pointers
};

// Whether the mirrored layout matches this interpreter's dicts; checked once.
bool entries_usable();

// A copy of `tmpl`, a dict of exactly the two str keys k0 and k1 (in this order), with its
// values replaced by v0 and v1: the key table is cloned whole and the values written in
// place, which is the same dict as one built key by key, made with less work.
Ref two_key_dict(PyObject* tmpl, PyObject* k0, PyObject* v0, PyObject* k1, PyObject* v1);

// One bit per entry position. The bits live in one buffer shared by every search (the
// first to ask takes it; a search that meets it taken has its own), and only the words a
// search set are cleared when it ends: a search costs what it marks, not the size of the
// dict.
class EntryMarks {
public:
    explicit EntryMarks(Py_ssize_t count);
    ~EntryMarks() { release(); }
    EntryMarks(const EntryMarks&) = delete;
    EntryMarks& operator=(const EntryMarks&) = delete;

    // Sets the bit; true when it was clear.
    bool mark(Py_ssize_t position) {
        uint64_t& word = bits_[size_t(position) >> 6];
        const uint64_t bit = uint64_t(1) << (position & 63);
        if (word & bit)
            return false;
        if (word == 0)
            touched_.push_back(uint32_t(size_t(position) >> 6));
        word |= bit;
        return true;
    }
    bool marked(Py_ssize_t position) const {
        return bits_[size_t(position) >> 6] & (uint64_t(1) << (position & 63));
    }
    // Calls f(position) for every marked position, in increasing order.
    template <class F>
    void for_each(F&& f) {
        std::sort(touched_.begin(), touched_.end());
        for (uint32_t w : touched_)
            for (uint64_t word = bits_[w]; word; word &= word - 1)
                f(Py_ssize_t(size_t(w) * 64 + size_t(__builtin_ctzll(word))));
    }
    // Clears every bit and lets the buffer go.
    void release();

private:
    std::vector<uint64_t> own_;
    uint64_t* bits_ = nullptr;
    std::vector<uint32_t> touched_;  // the words with a bit set
    bool shared_ = false;
};

}  // namespace zarn::graph
