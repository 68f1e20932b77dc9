// Key positions in a plain dict's entry array (see entries.hpp).
#include "graph/entries.hpp"

#include <cstddef>

#include "graph/protocol.hpp"

namespace zarn::graph {

namespace {

// CPython 3.11's dict keys object (Objects/dictobject.c, Include/internal/pycore_dict.h).
struct Keys {
    Py_ssize_t dk_refcnt;
    uint8_t dk_log2_size;
    uint8_t dk_log2_index_bytes;
    uint8_t dk_kind;
    uint32_t dk_version;
    Py_ssize_t dk_usable;
    Py_ssize_t dk_nentries;
    // the index table follows (`char dk_indices[]` in C), then the entries
};
static_assert(sizeof(Keys) == 4 * sizeof(Py_ssize_t), "index table right after the header");

const char* indices_of(const Keys* dk) { return reinterpret_cast<const char*>(dk) + sizeof(Keys); }
struct GeneralEntry {
    Py_hash_t hash;
    PyObject* key;
    PyObject* value;
};
struct UnicodeEntry {
    PyObject* key;
    PyObject* value;
};
constexpr uint8_t keys_general = 0;
constexpr uint8_t keys_unicode = 1;

Keys* keys_of(PyObject* dict) {
    auto* mp = reinterpret_cast<PyDictObject*>(dict);
    if (mp->ma_values != nullptr)
        return nullptr;  // a split table (instance dicts): not ours to read
    auto* dk = reinterpret_cast<Keys*>(mp->ma_keys);
    return dk->dk_kind == keys_general || dk->dk_kind == keys_unicode ? dk : nullptr;
}

// Slot i of the index table, whose width follows from the table's size.
Py_ssize_t index_at(const Keys* dk, size_t i) {
    const int log2 = dk->dk_log2_size;
    if (log2 < 8)
        return reinterpret_cast<const int8_t*>(indices_of(dk))[i];
    if (log2 < 16)
        return reinterpret_cast<const int16_t*>(indices_of(dk))[i];
    if (log2 < 32)
        return reinterpret_cast<const int32_t*>(indices_of(dk))[i];
    return Py_ssize_t(reinterpret_cast<const int64_t*>(indices_of(dk))[i]);
}

const char* entries_of(const Keys* dk) { return indices_of(dk) + (size_t(1) << dk->dk_log2_index_bytes); }

// -1 unequal, 1 equal, 0 undecidable without Python code
int same_key(PyObject* stored, PyObject* key) {
    if (stored == key)
        return 1;
    const int r = plain_equal(stored, key);
    return r == 1 ? 1 : r == 0 ? -1 : 0;
}

bool usable = false;
bool checked = false;

// The probe sequence of a lookup of `hash` in `dk`: calls found(stored key, its hash, its
// value, its position) for every entry met on the way, until it answers other than
// `keep_going` (its answer returned) or an empty slot ends the sequence (entry_missing).
constexpr Py_ssize_t keep_going = -3;
template <class Found>
Py_ssize_t probe(const Keys* dk, Py_hash_t hash, Found&& found) {
    const size_t mask = (size_t(1) << dk->dk_log2_size) - 1;
    size_t perturb = size_t(hash);
    size_t i = size_t(hash) & mask;
    const bool general = dk->dk_kind == keys_general;
    for (;;) {
        const Py_ssize_t ix = index_at(dk, i);
        if (ix == -1)
            return entry_missing;
        if (ix >= 0) {
            PyObject* stored;
            Py_hash_t stored_hash;
            PyObject* stored_value;
            if (general) {
                const auto* e = reinterpret_cast<const GeneralEntry*>(entries_of(dk)) + ix;
                stored = e->key, stored_hash = e->hash, stored_value = e->value;
            } else {
                const auto* e = reinterpret_cast<const UnicodeEntry*>(entries_of(dk)) + ix;
                stored = e->key, stored_value = e->value;
                stored_hash = reinterpret_cast<PyASCIIObject*>(stored)->hash;
            }
            const Py_ssize_t r = found(stored, stored_hash, stored_value, ix);
            if (r != keep_going)
                return r;
        }
        perturb >>= 5;
        i = (i * 5 + perturb + 1) & mask;
    }
}

}  // namespace

Py_ssize_t entry_of(PyObject* dict, PyObject* key, Py_hash_t hash, PyObject** value) {
    const Keys* dk = keys_of(dict);
    if (dk == nullptr)
        return entry_unknown;
    return probe(dk, hash, [&](PyObject* stored, Py_hash_t stored_hash, PyObject* stored_value, Py_ssize_t ix) -> Py_ssize_t {
        if (stored != key && stored_hash != hash)
            return keep_going;
        const int same = same_key(stored, key);
        if (same == 0)
            return entry_unknown;
        if (same == -1)
            return keep_going;
        *value = stored_value;
        return ix;
    });
}

Py_ssize_t pair_entry_of(PyObject* dict, PyObject* obj, PyObject* act, Py_hash_t hash, PyObject** value) {
    const Keys* dk = keys_of(dict);
    if (dk == nullptr)
        return entry_unknown;
    return probe(dk, hash, [&](PyObject* stored, Py_hash_t stored_hash, PyObject* stored_value, Py_ssize_t ix) -> Py_ssize_t {
        if (stored_hash != hash)
            return keep_going;
        // A key of another kind would compare by code of its own.
        if (PyUnicode_CheckExact(stored))
            return keep_going;
        if (!is_plain(stored))
            return entry_unknown;
        if (plain_equal(PyTuple_GET_ITEM(stored, 0), obj) != 1 || plain_equal(PyTuple_GET_ITEM(stored, 1), act) != 1)
            return keep_going;
        *value = stored_value;
        return ix;
    });
}

bool pair_hash_usable() {
    static int usable = -1;
    if (usable >= 0)
        return usable == 1;
    bool ok = true;
    for (const char* text : {"", "a", "read", "o9_12345", "*"}) {
        Ref a = Ref::steal(PyUnicode_FromString(text));
        Ref b = Ref::steal(PyUnicode_FromString("write"));
        Ref pair = a && b ? Ref::steal(PyTuple_Pack(2, a.get(), b.get())) : Ref();
        const Py_hash_t expected = pair ? PyObject_Hash(pair.get()) : -1;
        ok = ok && expected != -1 && pair_hash(PyObject_Hash(a.get()), PyObject_Hash(b.get())) == expected;
    }
    if (PyErr_Occurred())
        PyErr_Clear();
    usable = ok ? 1 : 0;
    return ok;
}

void prefetch_slot(PyObject* dict, Py_hash_t hash) {
    const Keys* dk = keys_of(dict);
    if (dk == nullptr)
        return;
    const size_t i = size_t(hash) & ((size_t(1) << dk->dk_log2_size) - 1);
    const int log2 = dk->dk_log2_size;
    const size_t width = log2 < 8 ? 1 : log2 < 16 ? 2 : log2 < 32 ? 4 : 8;
    __builtin_prefetch(indices_of(dk) + i * width);
}

Py_ssize_t entry_count(PyObject* dict) {
    const Keys* dk = keys_of(dict);
    return dk ? dk->dk_nentries : 0;
}

Borrowed entry_key(PyObject* dict, Py_ssize_t position) {
    const Keys* dk = keys_of(dict);
    if (dk->dk_kind == keys_general)
        return Borrowed(reinterpret_cast<const GeneralEntry*>(entries_of(dk))[position].key);
    return Borrowed(reinterpret_cast<const UnicodeEntry*>(entries_of(dk))[position].key);
}

Borrowed entry_value(PyObject* dict, Py_ssize_t position) {
    const Keys* dk = keys_of(dict);
    if (dk->dk_kind == keys_general)
        return Borrowed(reinterpret_cast<const GeneralEntry*>(entries_of(dk))[position].value);
    return Borrowed(reinterpret_cast<const UnicodeEntry*>(entries_of(dk))[position].value);
}

EntryView::EntryView(PyObject* dict) {
    const Keys* dk = keys_of(dict);
    if (dk == nullptr)
        return;
    base_ = entries_of(dk);
    const bool general = dk->dk_kind == keys_general;
    stride_ = general ? sizeof(GeneralEntry) : sizeof(UnicodeEntry);
    first_ = general ? offsetof(GeneralEntry, key) / sizeof(PyObject*) : 0;
}

Ref two_key_dict(PyObject* tmpl, PyObject* k0, PyObject* v0, PyObject* k1, PyObject* v1) {
    Ref d = Ref::own(PyDict_Copy(tmpl));
    Keys* dk = entries_usable() ? keys_of(d.get()) : nullptr;
    // Values that the collector tracks would make the dict one it must track too: those
    // take the ordinary way, as does anything but a fresh two-entry table of str keys.
    const bool atomic = !(PyType_IS_GC(Py_TYPE(v0)) && PyObject_GC_IsTracked(v0)) &&
                        !(PyType_IS_GC(Py_TYPE(v1)) && PyObject_GC_IsTracked(v1));
    if (dk != nullptr && atomic && dk->dk_kind == keys_unicode && dk->dk_nentries == 2 && dk->dk_refcnt == 1) {
        auto* e = reinterpret_cast<UnicodeEntry*>(const_cast<char*>(entries_of(dk)));
        if (e[0].key == k0 && e[1].key == k1) {
            Ref old0 = Ref::steal(e[0].value), old1 = Ref::steal(e[1].value);
            e[0].value = Py_NewRef(v0);
            e[1].value = Py_NewRef(v1);
            return d;
        }
    }
    check(PyDict_SetItem(d.get(), k0, v0));
    check(PyDict_SetItem(d.get(), k1, v1));
    return d;
}

bool entries_usable() {
    if (checked)
        return usable;
    checked = true;
    // Dicts of both key kinds (str keys, pair keys) and of one- and two-byte index tables,
    // with a deleted entry:
    // every key must be found at its position in iteration order, with its value.
    bool ok = true;
    for (int kind = 0; kind < 2 && ok; ++kind) {
        for (int size : {5, 300}) {
            Ref d = Ref::steal(PyDict_New());
            if (!d)
                break;
            for (int n = 0; n < size && ok; ++n) {
                Ref text = Ref::steal(PyUnicode_FromFormat("k%d", n));
                Ref key = !text ? Ref() : kind == 0 ? text : Ref::steal(PyTuple_Pack(2, text.get(), text.get()));
                ok = key && PyDict_SetItem(d.get(), key.get(), key.get()) == 0;
            }
            Ref one = Ref::steal(PyUnicode_FromString("k1"));
            Ref gone = !one ? Ref() : kind == 0 ? one : Ref::steal(PyTuple_Pack(2, one.get(), one.get()));
            ok = ok && gone && PyDict_DelItem(d.get(), gone.get()) == 0;
            Py_ssize_t pos = 0, seen = 0;
            PyObject *key, *value;
            Py_hash_t hash;
            while (ok && _PyDict_Next(d.get(), &pos, &key, &value, &hash)) {
                PyObject* found = nullptr;
                const Py_ssize_t at = entry_of(d.get(), key, hash, &found);
                ok = at == pos - 1 && found == value && entry_key(d.get(), at).get() == key &&
                     entry_value(d.get(), at).get() == value;
                ++seen;
            }
            ok = ok && seen == size - 1 && !entry_key(d.get(), 1) && entry_count(d.get()) == size;
            if (!ok)
                break;
        }
    }
    if (PyErr_Occurred())
        PyErr_Clear();
    usable = ok;
    if (usable) {
        // The in-place values must give the dict that insertion gives.
        Ref a = Ref::steal(PyUnicode_FromString("a")), b = Ref::steal(PyUnicode_FromString("b"));
        Ref tmpl = Ref::steal(PyDict_New());
        bool same = a && b && tmpl && PyDict_SetItem(tmpl.get(), a.get(), Py_None) == 0 &&
                    PyDict_SetItem(tmpl.get(), b.get(), Py_None) == 0;
        if (same) {
            try {
                Ref made = two_key_dict(tmpl.get(), a.get(), b.get(), b.get(), a.get());
                Ref expected = Ref::steal(Py_BuildValue("{OO}", a.get(), b.get()));
                same = expected && PyDict_SetItem(expected.get(), b.get(), a.get()) == 0 &&
                       PyObject_RichCompareBool(made.get(), expected.get(), Py_EQ) == 1 && PyDict_GET_SIZE(made.get()) == 2;
                Ref keys = Ref::steal(PyDict_Keys(made.get()));
                same = same && keys && PyList_GET_ITEM(keys.get(), 0) == a.get();
            } catch (const PyErrOccurred&) {
                same = false;
            }
        }
        if (PyErr_Occurred())
            PyErr_Clear();
        usable = same;
    }
    return usable;
}

namespace {

// The buffer of EntryMarks, all clear while free.
struct SharedMarks {
    std::vector<uint64_t> bits;
    bool taken = false;
};

SharedMarks& shared_marks() {
    static SharedMarks* marks = new SharedMarks;  // never destroyed, as the module's other state
    return *marks;
}

}  // namespace

EntryMarks::EntryMarks(Py_ssize_t count) {
    const size_t words = (size_t(count) + 63) / 64;
    if (words == 0)
        return;
    SharedMarks& shared = shared_marks();
    if (!shared.taken) {
        if (shared.bits.size() < words)
            shared.bits.resize(words, 0);
        shared.taken = shared_ = true;
        bits_ = shared.bits.data();
    } else {
        own_.assign(words, 0);
        bits_ = own_.data();
    }
}

void EntryMarks::release() {
    if (!shared_)
        return;
    for (uint32_t w : touched_)
        bits_[w] = 0;
    touched_.clear();
    shared_marks().taken = shared_ = false;
    bits_ = nullptr;
}

}  // namespace zarn::graph
