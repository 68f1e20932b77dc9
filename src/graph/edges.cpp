// Edge additions to `dag`, one at a time or in runs with a side index (see edges.hpp).
#include "graph/edges.hpp"

#include <cassert>

#include "graph/protocol.hpp"

namespace zarn::graph {

namespace {

// Lists shorter than this are scanned: their index would cost more than it saves.
constexpr Py_ssize_t index_from = 16;

}  // namespace

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

bool EdgeIndex::contains(PyObject* successors, PyObject* to) {
    if (PyList_GET_SIZE(successors) >= index_from && is_plain(to)) {
        Entry& e = indexed(successors);
        if (e.usable) {
            const bool found = e.nodes.contains(to, hash_of(to));
            // The index answers as the scan would (plain nodes: the scan runs no Python code).
            assert(found == graph::contains(successors, to));
            return found;
        }
    }
    // A scan; comparing with a node that is not plain may run Python code.
    bool plain = is_plain(to);
    for (Py_ssize_t i = 0; plain && i < PyList_GET_SIZE(successors); ++i)
        plain = is_plain(PyList_GET_ITEM(successors, i));
    const bool found = graph::contains(successors, to);
    if (!plain)
        clear();
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

void add_edge(PyObject* dag, PyObject* from, PyObject* to, EdgeIndex* index) {
    // Plain nodes in a plain dict and list: no Python code runs, and the index may answer.
    bool pure = index != nullptr && PyDict_CheckExact(dag) && is_plain(from) && is_plain(to);
    if (contains(dag, from)) {
        Ref successors = getitem(dag, from);
        if (pure && PyList_CheckExact(successors.get())) {
            if (!index->contains(successors.get(), to)) {
                check(PyList_Append(successors.get(), to));
                index->appended(successors.get(), to);
            }
        } else {
            pure = false;
            if (!contains(successors.get(), to))
                append(successors.get(), to);
        }
    } else {
        Ref successors = list_of(to);
        setitem(dag, from, successors.get());
    }
    if (!contains(dag, to))
        setitem(dag, to, new_list().get());
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
}

Ref make_pair(PyObject* obj, PyObject* act) {
    Ref pair = Ref::own(PyTuple_Pack(2, obj, act));
    if (PyUnicode_CheckExact(obj) && PyUnicode_CheckExact(act))
        PyObject_GC_UnTrack(pair.get());
    return pair;
}

void EdgeRun::add_policy(PyObject* policy) {
    Method add(self_, names._dag_add_policy);
    if (!add.is_own(spec::dag_add_policy)) {
        add.call(spec::dag_add_policy, &policy, 1);
        index_.clear();
        return;
    }
    // What our `_dag_add_policy` does, in its order.
    bool pure = true;
    Ref sub = field(policy, names.sub, &pure);
    Ref obj = field(policy, names.obj, &pure);
    Ref act = field(policy, names.act, &pure);
    Ref pair = make_pair(obj.get(), act.get());
    Ref dag = field(self_, names.dag, &pure);
    if (!pure)
        index_.clear();
    add_edge(dag.get(), sub.get(), pair.get(), &index_);
}

void EdgeRun::add_group(PyObject* group) {
    Method add(self_, names._dag_add_group);
    if (!add.is_own(spec::dag_add_group)) {
        add.call(spec::dag_add_group, &group, 1);
        index_.clear();
        return;
    }
    bool pure = true;
    Ref child = field(group, names.child, &pure);
    Ref parent = field(group, names.parent, &pure);
    Ref dag = field(self_, names.dag, &pure);
    if (!pure)
        index_.clear();
    add_edge(dag.get(), child.get(), parent.get(), &index_);
}

}  // namespace zarn::graph
