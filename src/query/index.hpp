// The query index of one role matrix: its stored roles, grants and containment as ids and
// rows of ids, in both directions, for the questions callers ask (does a set of roles hold a
// permission, through which roles, who holds it, everything a set of roles holds).
//
// It is built from the stored lists `policies` and `groups` and then follows their changes
// record by record (appended records, removed records), so that it never has to be made
// anew for a change. Every walk runs without calling into the interpreter: a question is
// answered whole against one state of the index, and the Python objects of the answer are
// built only after the walk.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "runtime/refs.hpp"

namespace zarn::query {

using Id = uint32_t;
constexpr Id no_id = UINT32_MAX;

// Lists of ids, one per node, in one arena; each list keeps the order its ids were added in.
class Rows {
public:
    // Rows for `count` nodes made at once from (node, id) pairs, in their order.
    void build(size_t count, const std::vector<std::pair<Id, Id>>& pairs);
    std::span<const Id> row(Id node) const {
        if (node >= rows_.size())
            return {};
        const Row& r = rows_[node];
        return {data_.data() + r.begin, r.size};
    }
    void add(Id node, Id value);
    // Removes the first occurrence of `value` from the row of `node`; false when absent.
    bool remove(Id node, Id value);
    size_t bytes() const { return rows_.capacity() * sizeof(Row) + data_.capacity() * sizeof(Id); }

private:
    struct Row {
        uint32_t begin = 0, size = 0, capacity = 0;
    };
    void compact();
    std::vector<Row> rows_;
    std::vector<Id> data_;
    size_t spare_ = 0;  // ids of the arena that belong to no row (rows that moved)
};

// Exact str objects by id, each held; found again by value.
class Names {
public:
    Id find(PyObject* s) const;
    Id add(PyObject* s);  // the id of `s`, a new one when it has none
    // The same with the hash of `s` given (`hash_of`). `slot` reads the slot a later `add`
    // of that hash reads first, `entry` what that slot leads to: reads made ahead, many at
    // once, so that the add finds them in the cache.
    Id add(PyObject* s, size_t hash);
    uint64_t slot(size_t hash) const { return slots_.empty() ? 0 : slots_[uint32_t(hash) & (slots_.size() - 1)]; }
    uintptr_t entry(uint64_t slot) const {
        return uint32_t(slot) ? reinterpret_cast<uintptr_t>(objects_[uint32_t(slot) - 1].get()) : 0;
    }
    PyObject* at(Id id) const { return objects_[id].get(); }
    size_t size() const { return objects_.size(); }
    size_t bytes() const { return objects_.capacity() * sizeof(Ref) + slots_.capacity() * sizeof(uint64_t); }

private:
    std::vector<Ref> objects_;
    // id + 1 in the low half, 0 when empty; the low half of the hash in the high half, so
    // that a probe passes other entries, and the table grows, without reading the strings.
    std::vector<uint64_t> slots_;
};

// (obj, act) pairs by id, found again by value.
class Pairs {
public:
    Id find(PyObject* obj, PyObject* act) const;
    Id add(PyObject* obj, PyObject* act);
    Id add(PyObject* obj, PyObject* act, size_t hash);  // hash: hash_of(obj, act)
    uint64_t slot(size_t hash) const { return slots_.empty() ? 0 : slots_[uint32_t(hash) & (slots_.size() - 1)]; }
    PyObject* obj(Id id) const { return items_[id].obj.get(); }
    PyObject* act(Id id) const { return items_[id].act.get(); }
    size_t size() const { return items_.size(); }
    size_t bytes() const { return items_.capacity() * sizeof(Item) + slots_.capacity() * sizeof(uint64_t); }

private:
    struct Item {
        Ref obj, act;
    };
    std::vector<Item> items_;
    std::vector<uint64_t> slots_;  // as the names' slots
};

// The fields of a record read into owned references: (sub, obj, act) or (child, parent).
struct Fields {
    Ref a, b, c;
};

// The same fields as exact str objects that something else keeps alive while they are used.
struct Raw {
    PyObject *a, *b, *c;
};

// The hash of an exact str, and of an (obj, act) pair, as the index's tables take them.
size_t hash_of(PyObject* s);
size_t hash_of(PyObject* obj, PyObject* act);

class Index {
public:
    Index();
    // Made from the records of the stored lists, once, on an empty index.
    void build(const std::vector<Raw>& groups, const std::vector<Raw>& policies);
    void add_group(const Fields& g);
    void add_policy(const Fields& p);
    // How many records of the group's pair (child, parent) the index holds.
    size_t group_copies(const Fields& g) const;
    // False when the index holds no such record.
    bool remove_group(const Fields& g);
    bool remove_policy(const Fields& p);

    // A stored role: named by a stored record, or "public".
    Id role(PyObject* name) const;
    bool stored(Id r) const { return r < refs_.size() && (refs_[r] > 0 || r == public_); }
    size_t role_ids() const { return roles_.size(); }
    PyObject* role_name(Id r) const { return roles_.at(r); }
    PyObject* pair_obj(Id p) const { return pairs_.obj(p); }
    PyObject* pair_act(Id p) const { return pairs_.act(p); }
    std::span<const Id> subs(Id r) const { return subs_.row(r); }
    std::span<const Id> containers(Id r) const { return containers_.row(r); }
    std::span<const Id> grants(Id r) const { return grants_.row(r); }
    size_t policy_count() const { return policies_; }
    size_t group_count() const { return groups_; }
    size_t bytes() const;

    // Roles granted a pair that covers (obj, act) (equal, or "*" in place of either), each
    // with the pair that covers it: the exact one first, then (obj, *), (*, act), (*, *).
    // Marks them in the target marks of the current walk.
    std::vector<Id> targets(PyObject* obj, PyObject* act);

    // The shortest chain of containment from one of `sources` (stored roles) to a role
    // granted a covering pair: empty when there is none. Searched from both ends, a level
    // of the smaller side at a time. `granted` is the covering pair.
    std::vector<Id> why(const std::vector<Id>& sources, PyObject* obj, PyObject* act, Id& granted);
    // Every stored role holding (obj, act), by id from `from` on: at most `limit` (each with
    // its chain to the role granted the pair, and that pair), `total` of them from id 0.
    struct Holder {
        Id role;
        std::vector<Id> path;
        Id granted;
    };
    std::vector<Holder> who(PyObject* obj, PyObject* act, Id from, size_t limit, size_t& total, Id& next);
    // Every pair the sources reach, by id; with `via`, the role each was first reached at
    // (breadth first) and, in `previous`, the role each reached role came from.
    std::vector<Id> reach(const std::vector<Id>& sources, std::vector<Id>* via = nullptr,
                          std::vector<Id>* previous = nullptr);
    // Whether the sources reach a pair whose object is `obj` or "*".
    bool holds_object(const std::vector<Id>& sources, PyObject* obj);
    // The shortest chain of containment from `start` to `goal` (both stored); empty when none.
    std::vector<Id> path(Id start, Id goal);
    // Every role containing `role` at any depth, itself first, breadth first; `towards` gets
    // for each the next role on its way down to `role`.
    std::vector<Id> containing(Id role, std::vector<Id>& towards);

    // Scratch marks of one walk: a walk begins a new epoch.
    void begin();

private:
    Id role_for(PyObject* name);
    void unref(Id r);
    bool marked(const std::vector<uint32_t>& marks, Id r) const { return marks[r] == epoch_; }

    Names roles_;
    Pairs pairs_;
    Rows subs_, containers_, grants_, holders_;
    std::vector<uint32_t> refs_;  // records naming each role
    Id public_ = no_id;
    size_t policies_ = 0, groups_ = 0;

    uint32_t epoch_ = 0;
    std::vector<uint32_t> down_, up_, target_, pair_mark_;
    std::vector<Id> down_prev_, up_prev_, down_depth_, up_depth_, target_pair_;
};

}  // namespace zarn::query
