// The reachability search `_dfs` and the cycle guard `_check_new_group`.
//
// Both searches use an explicit stack, never native recursion, so that containment of any
// depth is safe. `_dfs` marks in the same pre-order as its recursive definition: a node is
// marked before its successors are looked at, successors are taken in list order, each
// fully explored before the next, and a marked node is never entered from a predecessor.
#include "graph/search.hpp"

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
        setitem(dag.get(), child.get(), new_list().get());
    Ref parent = field(new_group, names.parent);

    Method search(self, interned<"_dfs">());
    if (PyDict_CheckExact(dag.get()) && search.is_own()) {
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

// How many successors of a node are hashed ahead when it is entered.
constexpr Py_ssize_t ahead = 16;

// One node being explored by the search by position: its successors (borrowed: no Python
// code runs, so nothing can change or free them) and the hashes computed ahead.
struct Frame {
    PyObject* const* items;
    Py_ssize_t size, next;
    Py_hash_t hashes[ahead];
};

// The successors of a node just entered are each hashed and looked up in `dag`, at places
// in memory that are unrelated: their objects are fetched together, then hashed, then
// their index slots fetched together, so that the cache misses overlap instead of
// queueing one after the other.
void warm(PyObject* dag, Frame& f) {
    const Py_ssize_t n = f.size < ahead ? f.size : ahead;
    for (Py_ssize_t i = 0; i < n; ++i)
        __builtin_prefetch(f.items[i]);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* node = f.items[i];
        if (PyTuple_CheckExact(node) && PyTuple_GET_SIZE(node) == 2) {
            __builtin_prefetch(PyTuple_GET_ITEM(node, 0));
            __builtin_prefetch(PyTuple_GET_ITEM(node, 1));
        }
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* node = f.items[i];
        // Plain nodes only: their hash runs no Python code (the others stop the search).
        f.hashes[i] = is_plain(node) ? hash_of(node) : -1;
        if (f.hashes[i] != -1)
            prefetch_slot(dag, f.hashes[i]);
    }
}

}  // namespace

bool Reached::reach_by_position(PyObject* start) {
    std::vector<Frame> stack;
    // Marks `node` and enters it unless it was reached before; false when the node or its
    // successor list is of a kind that could run Python code.
    auto visit = [&](PyObject* node, Py_hash_t hash) {
        if (!is_plain(node))
            return false;
        PyObject* successors = nullptr;
        const Py_ssize_t at = entry_of(dag_, node, hash != -1 ? hash : hash_of(node), &successors);
        if (at == entry_unknown)
            return false;
        if (at == entry_missing)
            raise_key_error(node);
        if (!marks_.mark(at))
            return true;
        Frame f;
        if (PyList_CheckExact(successors))
            f.items = reinterpret_cast<PyListObject*>(successors)->ob_item, f.size = PyList_GET_SIZE(successors);
        else if (PyTuple_CheckExact(successors))
            f.items = &PyTuple_GET_ITEM(successors, 0), f.size = PyTuple_GET_SIZE(successors);
        else
            return false;
        f.next = 0;
        warm(dag_, f);
        stack.push_back(f);
        return true;
    };
    if (!visit(start, -1))
        return false;
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next == top.size) {
            stack.pop_back();
            continue;
        }
        const Py_ssize_t i = top.next++;
        if (!visit(top.items[i], i < ahead ? top.hashes[i] : -1))
            return false;
    }
    return true;
}

void Reached::to_values() {
    by_position_ = false;
    marks_ = EntryMarks(0);
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
        // The keys first, held: building the entries allocates, and a collection run by the
        // allocator could run code that changes the dict.
        std::vector<Ref> pairs;
        marks_.for_each([&](Py_ssize_t at) {
            Borrowed key = entry_key(dag_, at);
            if (key && PyTuple_Check(key.get()))
                pairs.push_back(key.keep());
        });
        for (const Ref& pair : pairs)
            check(PyList_Append(out, pair_entry(pair.get()).get()));
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
