// Edge additions to `dag`, one at a time or in runs with a side index (see edges.hpp).
#include "graph/edges.hpp"

#include <cassert>

#include "graph/entries.hpp"
#include "graph/protocol.hpp"

namespace zarn::graph {

namespace {

// Lists shorter than this are scanned: their index would cost more than it saves.
constexpr Py_ssize_t index_from = 16;

// The pair node of a policy: a new (obj, act) tuple, left out of the collector when it
// holds two strings (it can be part of no reference cycle).
Ref make_pair(PyObject* obj, PyObject* act) {
    Ref pair = Ref::own(PyTuple_Pack(2, obj, act));
    if (PyUnicode_CheckExact(obj) && PyUnicode_CheckExact(act))
        PyObject_GC_UnTrack(pair.get());
    return pair;
}

}  // namespace

Edge EdgeReader::policy(PyObject* policy, bool* pure) {
    Ref sub = sub_(policy, pure);
    Ref obj = obj_(policy, pure);
    Ref act = act_(policy, pure);
    return {std::move(sub), make_pair(obj.get(), act.get())};
}

Edge EdgeReader::group(PyObject* group, bool* pure) {
    Ref child = child_(group, pure);
    Ref parent = parent_(group, pure);
    return {std::move(child), std::move(parent)};
}

EdgeIndex::Entry& EdgeIndex::indexed(PyObject* successors) {
    Entry& e = lists_[successors];
    if (e.list && e.size == PyList_GET_SIZE(successors))
        return e;
    e = Entry{};
    e.list = Ref::borrow(successors);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(successors); ++i) {
        PyObject* node = PyList_GET_ITEM(successors, i);
        if (!is_plain(node)) {
            e.usable = false;
            break;
        }
        e.nodes.insert(node, hash_of(node));
    }
    e.size = PyList_GET_SIZE(successors);
    return e;
}

bool EdgeIndex::contains(PyObject* successors, PyObject* to, bool* ran_code) {
    if (PyList_GET_SIZE(successors) >= index_from && is_plain(to)) {
        Entry& e = indexed(successors);
        if (e.usable) {
            const bool found = e.nodes.contains(to, hash_of(to));
            // The index answers as the scan would (plain nodes: the scan runs no Python code).
            assert(found == graph::contains(successors, to));
            return found;
        }
    }
    // A scan, as `to in successors` makes it (element on the left, live size). Comparing
    // nodes that are not both plain may run Python code: the index is then cleared.
    bool pure = true, found = false;
    for (Py_ssize_t i = 0; !found && i < PyList_GET_SIZE(successors); ++i) {
        PyObject* element = PyList_GET_ITEM(successors, i);
        const int r = plain_equal(element, to);
        if (r >= 0) {
            found = r == 1;
            continue;
        }
        pure = false;
        Ref hold = Ref::borrow(element);
        found = check(PyObject_RichCompareBool(element, to, Py_EQ)) != 0;
    }
    if (!pure) {
        clear();
        if (ran_code != nullptr)
            *ran_code = true;
    }
    return found;
}

void EdgeIndex::appended(PyObject* successors, PyObject* to) {
    auto it = lists_.find(successors);
    if (it == lists_.end())
        return;
    Entry& e = it->second;
    if (e.usable && e.size + 1 == PyList_GET_SIZE(successors) && is_plain(to)) {
        e.nodes.insert(to, hash_of(to));
        e.size += 1;
    } else {
        lists_.erase(it);
    }
}

namespace {

// The key of `dag` equal to `to` when a lookup finds it without running code, else `to`: a
// successor list then holds the node's key object itself, whichever record named it (one
// pair tuple for a permission however many roles hold it), and a search finds each list
// item to be the key at its position by identity. `known` tells whether it was found.
Ref as_key(PyObject* dag, PyObject* to, bool& known) {
    known = false;
    if (PyDict_CheckExact(dag) && is_plain(to) && entries_usable()) {
        PyObject* value = nullptr;
        const Py_ssize_t at = entry_of(dag, to, hash_of(to), &value);
        if (at >= 0) {
            known = true;
            return entry_key(dag, at).keep();
        }
    }
    return Ref::borrow(to);
}

// `dag[from].append(to)`: the list read again, since the membership test before it may
// have run code that put another list in its place.
void append_successor(PyObject* dag, PyObject* from, PyObject* to) {
    Ref successors = getitem(dag, from);
    track_for(successors.get(), to);
    append(successors.get(), to);
}

}  // namespace

bool add_edge(PyObject* dag, PyObject* from, PyObject* to_given, EdgeIndex* index) {
    bool known = false;
    Ref node = as_key(dag, to_given, known);
    PyObject* to = node.get();
    // Plain nodes in a plain dict: no Python code runs, so `x in dag` followed by `dag[x]`
    // is one lookup, each hash is computed once, and the index may answer for the list.
    bool pure = index != nullptr && PyDict_CheckExact(dag) && is_plain(from) && is_plain(to);
    if (pure) {
        const Py_hash_t from_hash = hash_of(from);
        if (Borrowed found = dict_get(dag, from, from_hash)) {
            Ref hold = found.keep();
            PyObject* successors = hold.get();
            if (PyList_CheckExact(successors)) {
                bool ran_code = false;
                if (!index->contains(successors, to, &ran_code)) {
                    if (ran_code) {
                        append_successor(dag, from, to);
                    } else {
                        track_for(successors, to);
                        check(PyList_Append(successors, to));
                        index->appended(successors, to);
                    }
                }
                pure = !ran_code;
            } else {
                pure = false;
                if (!contains(successors, to))
                    append_successor(dag, from, to);
            }
        } else {
            Ref fresh = successor_list(to);
            set_successors(dag, from, from_hash, fresh.get());
        }
        if (pure) {
            // A key found above is a key still: what ran since only added keys.
            const Py_hash_t to_hash = hash_of(to);
            if (!known && !dict_get(dag, to, to_hash))
                set_successors(dag, to, to_hash, successor_list().get());
        } else if (!contains(dag, to)) {
            set_successors(dag, to, successor_list().get());
        }
    } else {
        if (contains(dag, from)) {
            Ref successors = getitem(dag, from);
            if (!contains(successors.get(), to))
                append_successor(dag, from, to);
        } else {
            Ref successors = successor_list(to);
            set_successors(dag, from, successors.get());
        }
        if (!contains(dag, to))
            set_successors(dag, to, successor_list().get());
    }
    if (index != nullptr && !pure)
        index->clear();
#ifdef ZARN_DEBUG_CHECKS
    if (pure) {
        // What a pure addition guarantees, whatever else `dag` holds: both ends are keys and
        // `to` stands in the list of `from` (more than once only if someone else put it there).
        PyObject* successors = PyDict_GetItemWithError(dag, from);
        assert(successors != nullptr && PyList_CheckExact(successors));
        Py_ssize_t count = 0;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(successors); ++i)
            count += plain_equal(PyList_GET_ITEM(successors, i), to) == 1;
        assert(count >= 1);
        assert(PyDict_GetItemWithError(dag, to) != nullptr);
    }
#endif
    return pure;
}

void EdgeRun::disturbed() {
    quiet_ = false;
    policy_found_ = group_found_ = false;
    dag_.reset();
    index_.clear();
    fresh_ = Fresh::no;
    last_from_.reset();
    last_successors_.reset();
}

bool EdgeRun::ours(PyObject* name, bool& found, PyObject* record) {
    if (quiet_ && found)
        return true;
    Method add(self_, name);
    if (!add.is_own()) {
        add.call(&record, 1);
        disturbed();
        return false;
    }
    found = true;
    quiet_ = true;
    return true;
}

Ref EdgeRun::dag(bool& pure) {
    // `self.dag`, read after the record's fields as our own function reads it.
    Ref dag = quiet_ && pure && dag_ ? dag_ : field(self_, names.dag, &pure);
    if (!pure)
        disturbed();
    if (fresh_ == Fresh::unknown)
        fresh_ = quiet_ && pure && PyDict_CheckExact(dag.get()) && PyDict_GET_SIZE(dag.get()) == 0 ? Fresh::yes
                                                                                                   : Fresh::no;
    return dag;
}

void EdgeRun::add(PyObject* from, PyObject* to, PyObject* obj, PyObject* act, bool pure) {
    Ref dag = this->dag(pure);
    const bool plain = PyUnicode_CheckExact(from) &&
                       (to != nullptr ? PyUnicode_CheckExact(to) : PyUnicode_CheckExact(obj) && PyUnicode_CheckExact(act));
    bool ran_code = false;
    if (pure && plain && PyDict_CheckExact(dag.get()) && add_plain(dag.get(), from, to, obj, act, ran_code)) {
        if (ran_code)
            disturbed();
        else if (quiet_)
            dag_ = dag;
        return;
    }
    // The general way, which knows nothing of a fresh run's lists.
    fresh_ = Fresh::no;
    last_from_.reset();
    last_successors_.reset();
    Ref pair = to != nullptr ? Ref() : make_pair(obj, act);
    if (add_edge(dag.get(), from, to != nullptr ? to : pair.get(), &index_) && pure) {
        if (quiet_)
            dag_ = dag;
    } else {
        disturbed();
    }
}

bool EdgeRun::add_plain(PyObject* dag, PyObject* from, PyObject* to, PyObject* obj, PyObject* act,
                        bool& ran_code) {
    if (usable_ == 0)
        usable_ = entries_usable() && pair_hash_usable() ? 1 : -1;
    if (usable_ < 0)
        return false;
    const bool fresh = fresh_ == Fresh::yes;
    // Both ends looked up before anything changes: a lookup that cannot tell leaves all as it was.
    const Py_hash_t from_hash = hash_of(from);
    Ref successors;
    bool from_known;
    PyObject* value = nullptr;
    if (fresh && last_from_.get() == from) {
        successors = last_successors_;
        from_known = true;
    } else {
        const Py_ssize_t at = entry_of(dag, from, from_hash, &value);
        if (at == entry_unknown || (at >= 0 && !PyList_CheckExact(value)))
            return false;
        from_known = at >= 0;
        if (from_known)
            successors = Ref::borrow(value);
    }
    const Py_hash_t to_hash = to != nullptr ? hash_of(to) : pair_hash(hash_of(obj), hash_of(act));
    const Py_ssize_t to_at = to != nullptr ? entry_of(dag, to, to_hash, &value) : pair_entry_of(dag, obj, act, to_hash, &value);
    if (to_at == entry_unknown)
        return false;
    // The node the list gets: the key object when `to` is a key (whichever record named it),
    // else a new node; a new role that is its own parent is the key `from` becomes.
    Ref node;
    bool to_known = to_at >= 0, loop = false;
    if (to_known)
        node = entry_key(dag, to_at).keep();
    else if (to == nullptr)
        node = make_pair(obj, act);
    else if (!from_known && plain_equal(from, to) == 1)
        node = Ref::borrow(from), loop = true;
    else
        node = Ref::borrow(to);

    if (from_known) {
        PyObject* list = successors.get();
        bool present;
        if (fresh && !to_known) {
            present = false;  // a node that is no key is in no list
        } else if (fresh && PyList_GET_SIZE(list) < index_from) {
            present = false;  // each list holds key objects only: the key is there as itself
            for (Py_ssize_t i = 0; !present && i < PyList_GET_SIZE(list); ++i)
                present = PyList_GET_ITEM(list, i) == node.get();
        } else {
            present = index_.contains(list, node.get(), &ran_code);
        }
        if (!present && ran_code) {
            append_successor(dag, from, node.get());
        } else if (!present) {
            check(PyList_Append(list, node.get()));
            index_.appended(list, node.get());
        }
    } else {
        successors = successor_list(node.get());
        set_successors(dag, from, from_hash, successors.get());
    }
    if (ran_code) {
        // A comparison ran code, which may have changed the keys: the end is looked up again.
        if (!contains(dag, node.get()))
            set_successors(dag, node.get(), successor_list().get());
        return true;
    }
    if (!to_known && !loop)
        set_successors(dag, node.get(), to_hash, successor_list().get());
    if (fresh) {
        last_from_ = Ref::borrow(from);
        last_successors_ = std::move(successors);
    }
    return true;
}

Ref EdgeRun::stored(PyObject* name) {
    bool pure = true;
    Ref records = field(self_, name, &pure);
    if (!pure)
        disturbed();
    return records;
}

void EdgeRun::add_all(PyObject* records, void (EdgeRun::*add)(PyObject*)) {
    Cursor cursor(records);
    while (Ref record = cursor.next()) {
        if (!cursor.by_index())
            disturbed();
        (this->*add)(record.get());
    }
}

void EdgeRun::add_policy(PyObject* policy) {
    if (!ours(interned<"_dag_add_policy">(), policy_found_, policy))
        return;
    // What our `_dag_add_policy` does, in its order.
    bool pure = true;
    Ref sub = read_.sub_(policy, &pure);
    Ref obj = read_.obj_(policy, &pure);
    Ref act = read_.act_(policy, &pure);
    add(sub.get(), nullptr, obj.get(), act.get(), pure);
}

void EdgeRun::add_group(PyObject* group) {
    if (!ours(interned<"_dag_add_group">(), group_found_, group))
        return;
    bool pure = true;
    Ref child = read_.child_(group, &pure);
    Ref parent = read_.parent_(group, &pure);
    add(child.get(), parent.get(), nullptr, nullptr, pure);
}

}  // namespace zarn::graph
