// Adding edges to `dag`: the edge a record stands for, one edge at a time, and runs of them
// (generation, replacing a role's successors) with a side index over long successor lists.
#pragma once

#include <unordered_map>

#include "graph/protocol.hpp"
#include "graph/search.hpp"

namespace zarn::graph {

// Membership of plain nodes in exact successor lists, answered from a hash set per list
// instead of a scan. The sets are only as good as the knowledge that nothing else changed
// the lists: whoever may have let Python code run calls clear(), and a list whose size is
// not what the set saw is indexed again.
class EdgeIndex {
public:
    // `to in successors`, for an exact list; `to` need not be plain. `ran_code`, when given,
    // is set when a comparison may have run Python code (the index is then cleared).
    bool contains(PyObject* successors, PyObject* to, bool* ran_code = nullptr);
    // After `successors.append(to)` made by the owner of the index.
    void appended(PyObject* successors, PyObject* to);
    void clear() { lists_.clear(); }

private:
    struct Entry {
        Ref list;  // held, so that its address names no other list while indexed
        Py_ssize_t size = 0;
        bool usable = true;  // every element plain
        NodeSet nodes;
    };
    Entry& indexed(PyObject* successors);

    std::unordered_map<PyObject*, Entry> lists_;
};

// An edge of `dag`, from a role to what it holds.
struct Edge {
    Ref from, to;
};

// The edge a record stands for, its fields read in this order by attribute access: a
// policy is the edge sub -> (obj, act), a group the edge child -> parent. `pure`, when
// given, is cleared when a read may have run Python code.
class EdgeReader {
public:
    Edge policy(PyObject* policy, bool* pure);
    Edge group(PyObject* group, bool* pure);

private:
    friend class EdgeRun;  // which reads the fields itself, to add plain edges without a pair tuple
    FieldReader sub_{names.sub}, obj_{names.obj}, act_{names.act}, child_{names.child}, parent_{names.parent};
};

// The edge `from -> to` added to `dag`: append `to` to the successor list of `from` unless
// it is there (creating `from` when missing), then make `to` a key. With an index, long
// lists are tested through it.
// True when the addition ran no Python code (plain nodes, exact dict and list).
bool add_edge(PyObject* dag, PyObject* from, PyObject* to, EdgeIndex* index = nullptr);

// A run of `self._dag_add_policy(record)` / `self._dag_add_group(record)` calls, each
// method looked up on the instance as a Python loop would look it up. Where that finds our
// own function, the edge is added here with the run's side index; anything that may run
// Python code (another callee, a record whose fields are not plain attribute reads, a node
// or container of another kind, an iterator written in Python) clears the index first.
//
// While nothing has run Python code since the last lookup, another lookup cannot find
// anything else, and `self.dag` cannot hold anything else: both are then taken as found.
class EdgeRun {
public:
    explicit EdgeRun(PyObject* self) : self_(self) {}
    void add_policy(PyObject* policy);
    void add_group(PyObject* group);
    // `self.<name>`, the stored list as the loop reads it; a read that may run Python code
    // counts as code that ran.
    Ref stored(PyObject* name);
    // `for record in records: add(record)`. Walking anything but an exact list or tuple runs
    // the iterator's code before each record: that counts as code that ran, every time.
    void add_all(PyObject* records, void (EdgeRun::*add)(PyObject*));
    // For callers that run other steps between additions: Python code may have run since
    // the last one.
    void disturbed();
    // Whether the last addition ran no Python code (its method lookup aside).
    bool quiet() const { return quiet_; }

private:
    // Looks the method up unless a quiet run already found our own; false (after calling
    // what was found) when it is not ours.
    bool ours(PyObject* name, bool& found, PyObject* record);
    // The edge from -> to, or from -> (obj, act) when `to` is null; `pure` as the reads left it.
    void add(PyObject* from, PyObject* to, PyObject* obj, PyObject* act, bool pure);
    // `self.dag` for the next addition; `pure` cleared when the read may have run code.
    Ref dag(bool& pure);
    // The edge from -> to, where `from` is an exact str and the end either the exact str
    // `to` or (with `to` null) the pair (obj, act) of exact str, added to the exact dict
    // `dag` without running Python code. False, with nothing changed, when a lookup
    // cannot tell without running code: the caller then adds it the general way. `ran_code`
    // is set when the membership test compared with a list item of another kind.
    bool add_plain(PyObject* dag, PyObject* from, PyObject* to, PyObject* obj, PyObject* act, bool& ran_code);

    PyObject* self_;
    EdgeIndex index_;
    EdgeReader read_;
    bool quiet_ = false;
    bool policy_found_ = false, group_found_ = false;
    Ref dag_;
    // A run that began on an empty `dag` and has run no Python code since: every key and
    // every successor list is one it made, and each list holds key objects only, so that a
    // node that is no key yet is in no list, and a key is in a list only as itself.
    enum class Fresh { unknown, yes, no } fresh_ = Fresh::unknown;
    // The last edge's start in a fresh run, with its list: records of one role come
    // together, and the next edge from it needs no lookup.
    Ref last_from_, last_successors_;
    int usable_ = 0;  // whether dicts and pair hashes can be read here (1) or not (-1); 0: not asked yet
};

}  // namespace zarn::graph
