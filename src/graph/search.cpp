// The reachability search `_dfs` and the cycle guard `_check_new_group`.
//
// Both searches use an explicit stack, never native recursion, so that containment of any
// depth is safe. `_dfs` marks in the same pre-order as its recursive definition: a node is
// marked before its successors are looked at, successors are taken in list order, each
// fully explored before the next, and a marked node is never entered from a predecessor.
#include "graph/search.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <vector>

#include "graph/methods.hpp"
#include "graph/protocol.hpp"

namespace zarn::graph {

namespace {

// `discovered[key] = True`
void mark(PyObject* discovered, PyObject* key) { setitem(discovered, key, Py_True); }

// The truth of `discovered[key]`
bool marked(PyObject* discovered, PyObject* key) {
    Ref flag = getitem(discovered, key);
    PyObject* f = flag.get();
    if (f == Py_True)
        return true;
    if (f == Py_False)
        return false;
    return truthy(f);
}

Ref dfs_body(Function*, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* start = args[1];
    PyObject* discovered = args[2];
    std::vector<Cursor> stack;
    // Entering a node is one step of the recursive definition: mark it, then read its
    // successor list from the instance's `dag` as it stands now.
    auto enter = [&](PyObject* node) {
        mark(discovered, node);
        Ref dag = field(self, names.dag);
        Ref successors = getitem(dag.get(), node);
        stack.emplace_back(successors.get());
    };
    enter(start);
    while (!stack.empty()) {
        Ref end = stack.back().next();
        if (!end) {
            stack.pop_back();
            continue;
        }
        if (marked(discovered, end.get()))
            continue;
        // The recursive step goes through the instance, so an override sees it; our own
        // function is entered on the explicit stack.
        Method recurse(self, interned<"_dfs">());
        if (recurse.is_own()) {
            enter(end.get());
        } else {
            PyObject* call_args[] = {end.get(), discovered};
            recurse.call(call_args, 2);
        }
    }
    return Ref::borrow(discovered);
}

constexpr const char* dfs_doc =
    "Deep First Search\n\n"
    "        Args:\n"
    "            start: start point\n"
    "            discovered: a dictionary [point, discovered] to mark if a point could be reached from start point\n\n"
    "        Returns:\n"
    "            discovered record after searching.\n"
    "        ";

constexpr MethodDecl dfs{.name = "_dfs",
                         .params = {"self", "start", "discovered"},
                         .annotations = {nullptr, "str", "dict"},
                         .returns = "dict",
                         .doc = dfs_doc,
                         .impl = entry<dfs_body>};

Ref check_new_group_body(Function*, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* new_group = args[1];
    Ref child = field(new_group, names.child);
    Ref dag = field(self, names.dag);
    if (!contains(dag.get(), child.get()))
        set_successors(dag.get(), child.get(), successor_list().get());
    Ref parent = field(new_group, names.parent);

    Method search(self, interned<"_dfs">());
    // Ends of other kinds compare through their own code, with each node of the flag
    // dictionary that shares their hash: they take the flag search, which makes those
    // comparisons as the flag dictionary's lookups do.
    if (PyDict_CheckExact(dag.get()) && search.is_own() && is_plain(child.get()) && is_plain(parent.get())) {
        // Our own search: it costs what the parent reaches, not the size of `dag`. It
        // explores all of it, as the flag search does, so that a successor that is no key
        // raises its KeyError here too.
        Reached reached(dag.get(), true);  // nothing runs between the search and the test
        reached.reach(parent.get());
        return Ref::borrow(reached.contains(child.get()) ? Py_False : Py_True);
    }

    // The flag dictionary over all nodes, for an overriding `_dfs` (or a `dag` that is no
    // plain dict).
    Ref discovered = Ref::own(PyDict_New());
    for_each(dag.get(), [&](PyObject* key) { check(PyDict_SetItem(discovered.get(), key, Py_False)); });
    PyObject* call_args[] = {parent.get(), discovered.get()};
    search.call(call_args, 2);
    return Ref::borrow(marked(discovered.get(), child.get()) ? Py_False : Py_True);
}

constexpr const char* check_new_group_doc =
    "Check if new added group will break DAG (making a circular)\n\n"
    "        Args:\n"
    "            new_group: New group to be added into DAG\n\n"
    "        Returns:\n"
    "            True if the new group is safe else False\n"
    "        ";

constexpr MethodDecl check_new_group{.name = "_check_new_group",
                                     .params = {"self", "new_group"},
                                     .annotations = {nullptr, "Group"},
                                     .returns = "bool",
                                     .doc = check_new_group_doc,
                                     .impl = entry<check_new_group_body>};

constexpr const MethodDecl* methods[] = {&dfs, &check_new_group};

}  // namespace

size_t NodeSet::find(const std::vector<Slot>& slots, PyObject* node, Py_hash_t hash) const {
    const size_t mask = slots.size() - 1;
    size_t i = size_t(hash) & mask;
    size_t perturb = size_t(hash);
    for (;;) {
        const Slot& slot = slots[i];
        if (!slot.node || slot.node.get() == node)
            return i;
        if (slot.hash == hash && check(PyObject_RichCompareBool(slot.node.get(), node, Py_EQ)))
            return i;
        perturb >>= 5;
        i = (i * 5 + perturb + 1) & mask;
    }
}

void NodeSet::grow() {
    std::vector<Slot> bigger(slots_.size() * 4);
    for (Slot& slot : slots_)
        if (slot.node) {
            // Distinct nodes: the first empty slot on the probe path is theirs.
            const size_t mask = bigger.size() - 1;
            size_t i = size_t(slot.hash) & mask;
            size_t perturb = size_t(slot.hash);
            while (bigger[i].node) {
                perturb >>= 5;
                i = (i * 5 + perturb + 1) & mask;
            }
            bigger[i] = std::move(slot);
        }
    slots_.swap(bigger);
}

bool NodeSet::insert(PyObject* node, Py_hash_t hash) {
    const size_t i = find(slots_, node, hash);
    if (slots_[i].node)
        return false;
    slots_[i].node = Ref::borrow(node);
    slots_[i].hash = hash;
    if (++used_ * 2 > slots_.size())
        grow();
    return true;
}

bool NodeSet::contains(PyObject* node, Py_hash_t hash) const {
    return bool(slots_[find(slots_, node, hash)].node);
}

Reached::Reached(PyObject* dag, bool by_position)
    : dag_(dag),
      by_position_(by_position && PyDict_CheckExact(dag) && entries_usable() && entry_count(dag) > 0),
      marks_(by_position_ ? entry_count(dag) : 0) {}

void Reached::reach(PyObject* start) {
    starts_.push_back(Ref::borrow(start));
    if (by_position_) {
        if (reach_by_position(start))
            return;
        to_values();  // redoes every start, this one included
        return;
    }
    reach_by_value(start);
}

namespace {

// The successors of the nodes of one plain dict as positions in its entry array, so that a
// search walks arrays instead of looking every edge's end up in the dict.
//
// A row (the successors of the node at one position) is built when a search first enters
// the node, and kept while the dict is known: the dict's version tag changes with every
// change of the dict, and is unique among all dicts, so that a dict and its tag name one
// state of one dict. Our own index operations report each change they make (a new key, a
// successor list replaced) and the index follows it; any other change of the dict leaves
// a tag the index does not know, and every row is made anew. While the dict is known, the
// key at each position stays (the dict holds it). A successor list changed in place leaves
// the tag as it was, so each use of a row checks the list against it: every successor must
// be the key at its position, or equal to it (plain nodes: a comparison that runs no code).
// A list that only grew (appends, ours or not) has its row extended; any other change makes
// the row again.
class Successors {
public:
    // Makes the index answer for `dict` as it stands; false when it cannot (too large).
    bool use(PyObject* dict) {
        const uint64_t version = tag(dict);
        const Py_ssize_t count = entry_count(dict);
        if (count >= Py_ssize_t(unbuilt))
            return false;
        // Rows moved or made again leave their old successors behind: once those outweigh
        // the rest, everything is made anew.
        const bool wasteful = targets_.size() > 2 * live_ + 4096;
        if (dict != dict_ || version != version_ || wasteful) {
            clear();
            dict_ = dict;
            version_ = version;
        }
        if (rows_.size() < size_t(count))
            rows_.resize(size_t(count));
        entries_ = EntryView(dict);
        return true;
    }

    // Whether the index knows `dict` as it stands, so that a change reported to changed()
    // keeps it current.
    bool tracking(PyObject* dict) const { return dict == dict_ && PyDict_CheckExact(dict) && tag(dict) == version_; }

    // Drops every row at the next use.
    void forget() { dict_ = nullptr; }

    // The dict whose rows this index holds (perhaps of an earlier state of it), if any.
    PyObject* dict() const { return dict_; }

    // After our own `dict[key] = value`, on a dict that tracking() accepted just before and
    // that held `before` entries, where `key` was found at `at` (a new key: `before`) and
    // nothing else ran: the new key gets an empty row, a replaced value loses its row. When
    // the dict does not stand as that change leaves it, the index is dropped.
    void changed(PyObject* dict, PyObject* key, PyObject* value, Py_ssize_t at, Py_ssize_t before) {
        const Py_ssize_t count = entry_count(dict);
        const bool added = at == before;
        if (count != (added ? before + 1 : before) || (added && entry_key(dict, at).get() != key) ||
            entry_value(dict, at).get() != value) {
            forget();
            return;
        }
        if (rows_.size() > size_t(at))
            forget_row(size_t(at));
        version_ = tag(dict);
    }

    // The row of the node at `position` (a key of the dict in use): its successors'
    // positions are targets [begin, end). False when a successor is not plain or not a key:
    // the caller then searches by value.
    bool row(PyObject* dict, Py_ssize_t position, uint32_t& begin, uint32_t& end) {
        Row& r = rows_[size_t(position)];
        PyObject* successors = entries_.value(position);
        PyObject* const* items = nullptr;
        Py_ssize_t size = 0;
        if (!sequence(successors, items, size) || size > INT32_MAX || targets_.size() + size_t(size) >= unbuilt)
            return false;
        if (r.begin != unbuilt && size >= Py_ssize_t(r.size) && holds(r, items)) [[likely]] {
            if (size > Py_ssize_t(r.size) && !extend(dict, r, items, size))
                return false;
            begin = r.begin, end = r.begin + r.size;
            return true;
        }
        const size_t first = targets_.size();
        targets_.resize(first + size_t(size));
        keys_.resize(first + size_t(size));
        if (!resolve(dict, items, 0, size, first)) {
            targets_.resize(first);
            keys_.resize(first);
            return false;
        }
        if (r.begin != unbuilt)
            live_ -= r.capacity();
        r = Row{uint32_t(first), uint32_t(size), false};
        live_ += r.capacity();
        begin = r.begin, end = r.begin + r.size;
        return true;
    }

    int32_t target(uint32_t i) const { return targets_[i]; }

    // Reads ahead what row() reads for the nodes at `positions` (at most `block`), in three
    // steps, each a run of reads that do not wait for one another and need only what the
    // step before read: their entries and rows; their successor lists; the lists' items and
    // the rows' first targets and keys. Reads, not prefetches: a prefetch may be dropped (one
    // that misses the address translation, on some machines), a read is not, and nothing
    // waits for its value.
    static constexpr size_t block = 16;
    void warm(const int32_t* positions, size_t n) const {
        PyObject* lists[block];
        uint32_t begins[block];
        uintptr_t sink = 0;
        for (size_t k = 0; k < n; ++k) {
            const size_t at = size_t(positions[k]);
            lists[k] = entries_.value(Py_ssize_t(at));
            begins[k] = at < rows_.size() ? rows_[at].begin : unbuilt;
        }
        PyObject* const* items[block];
        for (size_t k = 0; k < n; ++k) {
            items[k] = nullptr;
            if (lists[k] && PyList_CheckExact(lists[k]) && PyList_GET_SIZE(lists[k]) > 0)
                items[k] = reinterpret_cast<PyListObject*>(lists[k])->ob_item;
        }
        for (size_t k = 0; k < n; ++k) {
            if (items[k])
                sink ^= reinterpret_cast<uintptr_t>(items[k][0]);
            if (begins[k] != unbuilt && begins[k] < targets_.size())
                sink ^= reinterpret_cast<uintptr_t>(keys_[begins[k]]) ^ uintptr_t(targets_[begins[k]]);
        }
        asm volatile("" : : "r"(sink));
    }

private:
    static constexpr uint32_t unbuilt = UINT32_MAX;
    struct Row {
        uint32_t begin = unbuilt;  // its first successor's place in targets_
        uint32_t size : 31 = 0;
        // Room up to the next power of two (a row that grew), else exactly its size.
        bool roomy : 1 = false;
        size_t capacity() const { return roomy ? std::bit_ceil(size_t(size)) : size_t(size); }
    };

    static uint64_t tag(PyObject* dict) { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }

    // Whether the first r.size items are still the successors the row was made from: each
    // the key at its position or equal to it.
    // The key each successor was found at is remembered beside it: while the dict is the
    // state the index knows, the key at each position stays that very object (the dict holds
    // it), so an item that is that object needs no look at the dict's entries.
    bool holds(const Row& r, PyObject* const* items) const {
        const int32_t* targets = targets_.data() + r.begin;
        PyObject* const* keys = keys_.data() + r.begin;
        for (uint32_t i = 0; i < r.size; ++i) {
            if (items[i] == keys[i]) [[likely]]
                continue;
            PyObject* key = entries_.key(targets[i]);
            if (items[i] != key && (key == nullptr || plain_equal(items[i], key) != 1))
                return false;
        }
        return true;
    }

    void forget_row(size_t at) {
        Row& r = rows_[at];
        if (r.begin != unbuilt)
            live_ -= r.capacity();
        r = Row{};
    }

    // The row of a list that grew by `size - r.size` items after those it was made from:
    // the new items are resolved in place when the row has room or is the last one, else
    // the row moves to the end with room to grow again.
    bool extend(PyObject* dict, Row& r, PyObject* const* items, Py_ssize_t size) {
        const size_t n = size_t(size);
        if (n <= r.capacity()) {
            if (!resolve(dict, items, r.size, size, r.begin + r.size))
                return false;
            r.size = uint32_t(n);
            return true;
        }
        const size_t capacity = std::bit_ceil(n);
        if (r.begin + r.capacity() == targets_.size()) {
            if (size_t(r.begin) + capacity >= unbuilt)
                return false;
            const size_t old = r.capacity();
            targets_.resize(r.begin + capacity);
            keys_.resize(r.begin + capacity);
            if (!resolve(dict, items, r.size, size, r.begin + r.size)) {
                targets_.resize(r.begin + old);
                keys_.resize(r.begin + old);
                return false;
            }
            live_ += capacity - old;
        } else {
            if (targets_.size() + capacity >= unbuilt)
                return false;
            const size_t first = targets_.size();
            targets_.resize(first + capacity);
            keys_.resize(first + capacity);
            std::copy_n(targets_.begin() + std::ptrdiff_t(r.begin), r.size, targets_.begin() + std::ptrdiff_t(first));
            std::copy_n(keys_.begin() + std::ptrdiff_t(r.begin), r.size, keys_.begin() + std::ptrdiff_t(first));
            if (!resolve(dict, items, r.size, size, first + r.size)) {
                targets_.resize(first);
                keys_.resize(first);
                return false;
            }
            live_ += capacity - r.capacity();
            r.begin = uint32_t(first);
        }
        r.size = uint32_t(n);
        r.roomy = true;
        return true;
    }

    // The items of an exact list or tuple.
    static bool sequence(PyObject* s, PyObject* const*& items, Py_ssize_t& size) {
        if (PyList_CheckExact(s)) {
            items = reinterpret_cast<PyListObject*>(s)->ob_item, size = PyList_GET_SIZE(s);
            return true;
        }
        if (PyTuple_CheckExact(s)) {
            items = &PyTuple_GET_ITEM(s, 0), size = PyTuple_GET_SIZE(s);
            return true;
        }
        return false;
    }

    // Writes items [from, to) and their positions at `out` on, a few at a time: their objects
    // are fetched together, then hashed, then their index slots fetched together, so that
    // the cache misses of unrelated places in memory overlap instead of queueing one after
    // the other.
    bool resolve(PyObject* dict, PyObject* const* items, Py_ssize_t from, Py_ssize_t to, size_t out) {
        constexpr Py_ssize_t ahead = 16;
        Py_hash_t hashes[ahead];
        for (Py_ssize_t at = from; at < to; at += ahead) {
            const Py_ssize_t n = to - at < ahead ? to - at : ahead;
            for (Py_ssize_t i = 0; i < n; ++i)
                __builtin_prefetch(items[at + i]);
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject* node = items[at + i];
                if (PyTuple_CheckExact(node) && PyTuple_GET_SIZE(node) == 2) {
                    __builtin_prefetch(PyTuple_GET_ITEM(node, 0));
                    __builtin_prefetch(PyTuple_GET_ITEM(node, 1));
                }
            }
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject* node = items[at + i];
                // Plain nodes only: their hash and equality run no Python code.
                if (!is_plain(node))
                    return false;
                hashes[i] = hash_of(node);
                prefetch_slot(dict, hashes[i]);
            }
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject* ignored = nullptr;
                const Py_ssize_t position = entry_of(dict, items[at + i], hashes[i], &ignored);
                if (position < 0)
                    return false;
                targets_[out] = int32_t(position);
                keys_[out] = entries_.key(position);
                ++out;
            }
        }
        return true;
    }

    // Drops every row.
    void clear() {
        rows_.clear();
        targets_.clear();
        keys_.clear();
        live_ = 0;
        dict_ = nullptr;
    }

    PyObject* dict_ = nullptr;  // not held: with `version_` it only names a state
    EntryView entries_;         // of dict_, made by use() for the search that follows
    uint64_t version_ = 0;
    std::vector<Row> rows_;         // by position
    std::vector<int32_t> targets_;  // the positions of the successors, row after row
    std::vector<PyObject*> keys_;   // beside each of targets_, the key found there (not held)
    size_t live_ = 0;               // how many of targets_ belong to current rows (their room included)
};

// The rows of the few dicts searched last, one index each, so that a process holding
// several matrices does not make a matrix's rows anew each time it comes back to it from
// another. Never destroyed: only ever released through clear(), with the interpreter running.
class SuccessorsCache {
public:
    // The index holding rows of `dict`, if any.
    Successors* known(PyObject* dict) {
        for (size_t i = 0; i < ways; ++i)
            if (indexes_[i].dict() == dict) {
                used_[i] = ++clock_;
                return &indexes_[i];
            }
        return nullptr;
    }
    // The index for a search of `dict`: its own, else the one used least recently.
    Successors& for_search(PyObject* dict) {
        if (Successors* found = known(dict))
            return *found;
        size_t oldest = 0;
        for (size_t i = 1; i < ways; ++i)
            if (used_[i] < used_[oldest])
                oldest = i;
        used_[oldest] = ++clock_;
        return indexes_[oldest];
    }

private:
    static constexpr size_t ways = 8;
    Successors indexes_[ways];
    uint64_t used_[ways] = {};
    uint64_t clock_ = 0;
};

SuccessorsCache& successors() {
    static SuccessorsCache* cache = new SuccessorsCache;
    return *cache;
}

}  // namespace

void set_successors(PyObject* dag, PyObject* key, Py_hash_t hash, PyObject* value) {
    Successors* known = successors().known(dag);
    if (known == nullptr || !known->tracking(dag)) {
        check(_PyDict_SetItem_KnownHash(dag, key, value, hash));
        return;
    }
    // The key's place found first, without running code: the assignment then compares it
    // with plain keys only, and the value it replaces is freed only once the index has
    // followed the change (freeing it might run code that changes `dag` again).
    Successors& index = *known;
    PyObject* old = nullptr;
    const Py_ssize_t before = entry_count(dag);
    const Py_ssize_t at = entry_of(dag, key, hash, &old);
    if (at == entry_unknown) {
        index.forget();
        setitem(dag, key, value);
        return;
    }
    Ref replaced = old ? Ref::borrow(old) : Ref();
    check(_PyDict_SetItem_KnownHash(dag, key, value, hash));
    index.changed(dag, key, value, at >= 0 ? at : before, before);
}

void set_successors(PyObject* dag, PyObject* key, PyObject* value) {
    if (!is_plain(key) || !PyDict_CheckExact(dag)) {
        if (Successors* known = successors().known(dag); known && known->tracking(dag))
            known->forget();
        setitem(dag, key, value);
        return;
    }
    set_successors(dag, key, hash_of(key), value);
}

Ref successor_list(PyObject* first) {
    Ref list = first ? list_of(first) : new_list();
    if (first == nullptr || is_plain(first))
        PyObject_GC_UnTrack(list.get());
    return list;
}

namespace {

// No collection of cyclic garbage while it lives (and so no finalizer, no code of anyone's),
// then collections as they were.
class CollectionPause {
public:
    CollectionPause() : enabled_(PyGC_Disable()) {}
    ~CollectionPause() {
        if (enabled_)
            PyGC_Enable();
    }
    CollectionPause(const CollectionPause&) = delete;
    CollectionPause& operator=(const CollectionPause&) = delete;

private:
    int enabled_;
};

}  // namespace

bool Reached::reach_by_position(PyObject* start) {
    if (!is_plain(start))
        return false;
    PyObject* ignored = nullptr;
    const Py_ssize_t at = entry_of(dag_, start, hash_of(start), &ignored);
    if (at == entry_unknown)
        return false;
    if (at == entry_missing)
        raise_key_error(start);
    Successors& index = successors().for_search(dag_);
    if (!index.use(dag_))
        return false;
    // Breadth first: only the reached set matters here, and a queue lets the lines of a
    // block of nodes be read together before the nodes are explored, so that their cache
    // misses overlap.
    std::vector<int32_t> queue;
    if (!marks_.mark(at))
        return true;
    queue.push_back(int32_t(at));
    size_t warmed = 0;  // the queue's nodes up to here were read ahead
    for (size_t head = 0; head < queue.size(); ++head) {
        if (head == warmed) {
            const size_t n = std::min(Successors::block, queue.size() - head);
            index.warm(queue.data() + head, n);
            warmed += n;
        }
        uint32_t next, end;
        if (!index.row(dag_, queue[head], next, end))
            return false;
        for (; next < end; ++next) {
            const int32_t target = index.target(next);
            if (marks_.mark(target))
                queue.push_back(target);
        }
    }
    return true;
}

void Reached::to_values() {
    by_position_ = false;
    marks_.release();
    std::vector<Ref> starts;
    starts.swap(starts_);
    for (Ref& start : starts) {
        starts_.push_back(start);
        reach_by_value(start.get());
    }
}

void Reached::reach_by_value(PyObject* start) {
    std::vector<Cursor> stack;
    auto visit = [&](PyObject* node) {
        const Py_hash_t hash = hash_of(node);
        if (!nodes_.insert(node, hash))
            return;
        if (!is_plain(node))
            plain_ = false;
        else if (PyTuple_CheckExact(node))
            ++pairs_;
        Borrowed successors = dict_get(dag_, node, hash);
        if (!successors)
            raise_key_error(node);
        stack.emplace_back(successors.get());
    };
    visit(start);
    while (!stack.empty()) {
        Ref end = stack.back().next();
        if (!end) {
            stack.pop_back();
            continue;
        }
        visit(end.get());
    }
}

void Reached::collect(PyObject* out) {
    if (by_position_) {
        // One pass over the reached positions in key order, each pair's entry built as its
        // key is read. Building allocates, and a collection run by the allocator could run
        // code that changes the dict: none runs while the pass lasts. The keys reached are
        // plain (exact pairs of exact str), whose entries are built without running code.
        // The keys, and the strings of pairs, are fetched some positions ahead.
        std::vector<uint32_t> reached;
        marks_.for_each([&](Py_ssize_t at) { reached.push_back(uint32_t(at)); });
        const EntryView entries(dag_);
        const size_t n = reached.size();
        constexpr size_t key_lead = 16, string_lead = 8;
        CollectionPause pause;
        for (size_t i = 0; i < n; ++i) {
            if (i + key_lead < n)
                __builtin_prefetch(entries.key(reached[i + key_lead]));
            if (i + string_lead < n) {
                PyObject* ahead = entries.key(reached[i + string_lead]);
                if (ahead && PyTuple_CheckExact(ahead) && PyTuple_GET_SIZE(ahead) == 2) {
                    __builtin_prefetch(PyTuple_GET_ITEM(ahead, 0));
                    __builtin_prefetch(PyTuple_GET_ITEM(ahead, 1));
                }
            }
            PyObject* key = entries.key(reached[i]);
            if (key && PyTuple_Check(key))
                check(PyList_Append(out, pair_entry(key).get()));
        }
        return;
    }
    // One pass over `dag` in its key order. The dict keeps each key's hash beside it: a
    // one-bit-per-slot filter on the hashes of the reached nodes rules most keys out
    // without touching the key object at all.
    size_t slots = 64;
    while (slots < nodes_.size() * 16)
        slots <<= 1;
    const uint64_t mask = slots - 1;
    std::vector<uint64_t> bits(slots / 64, 0);
    nodes_.for_each_hash([&](Py_hash_t h) {
        const uint64_t slot = uint64_t(h) & mask;
        bits[slot >> 6] |= uint64_t(1) << (slot & 63);
    });
    // With plain nodes only, each reached pair equals exactly one key: the pass may stop
    // once it has found them all.
    size_t remaining = pairs_;
    if (plain_ && remaining == 0)
        return;
    Ref hold = Ref::borrow(dag_);  // the pass holds `dag` even if the instance lets go of it
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    Py_hash_t hash;
    while (_PyDict_Next(dag_, &pos, &key, &value, &hash)) {
        const uint64_t slot = uint64_t(hash) & mask;
        if (!(bits[slot >> 6] & (uint64_t(1) << (slot & 63))) || !PyTuple_Check(key))
            continue;
        Ref node = Ref::borrow(key);
        if (!nodes_.contains(node.get(), hash))
            continue;
        check(PyList_Append(out, pair_entry(node.get()).get()));
        if (plain_ && --remaining == 0)
            break;
    }
}

bool Reached::contains(PyObject* node) {
    if (by_position_ && is_plain(node)) {
        PyObject* ignored = nullptr;
        const Py_ssize_t at = entry_of(dag_, node, hash_of(node), &ignored);
        if (at >= 0)
            return marks_.marked(at);
        if (at == entry_missing)
            return false;
    }
    if (by_position_)
        to_values();
    return nodes_.contains(node, hash_of(node));
}

const MethodList search_methods = methods;

}  // namespace zarn::graph
