#include "query/index.hpp"

#include <algorithm>
#include <cstring>

namespace zarn::query {

namespace {

// The hash of an exact str: computed by str's own code, which runs nothing else.
inline Py_hash_t hash_str(PyObject* s) {
    const Py_hash_t h = reinterpret_cast<PyASCIIObject*>(s)->hash;
    return h != -1 ? h : PyUnicode_Type.tp_hash(s);
}

inline bool same_str(PyObject* a, PyObject* b) {
    if (a == b)
        return true;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b))
        return false;
    const int kind = PyUnicode_KIND(a);
    return kind == PyUnicode_KIND(b) && memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), size_t(n) * size_t(kind)) == 0;
}

inline size_t pair_hash(PyObject* obj, PyObject* act) {
    return size_t(hash_str(obj)) * 1000003u ^ size_t(hash_str(act));
}

PyObject* star() {
    static PyObject* s = check(PyUnicode_InternFromString("*"));  // kept for the life of the process
    return s;
}

}  // namespace

// --- rows ------------------------------------------------------------------------------------

void Rows::build(size_t count, const std::vector<std::pair<Id, Id>>& pairs) {
    rows_.assign(count, Row{});
    for (const auto& [node, _] : pairs)
        ++rows_[node].size;
    uint32_t at = 0;
    for (Row& r : rows_) {
        r.begin = at;
        r.capacity = r.size;
        at += r.size;
        r.size = 0;
    }
    data_.assign(at, 0);
    for (const auto& [node, value] : pairs) {
        Row& r = rows_[node];
        data_[r.begin + r.size++] = value;
    }
    spare_ = 0;
}

void Rows::add(Id node, Id value) {
    if (node >= rows_.size())
        rows_.resize(size_t(node) + 1, Row{uint32_t(data_.size()), 0, 0});
    Row* r = &rows_[node];
    if (r->size == r->capacity) {
        const uint32_t capacity = r->capacity ? r->capacity * 2 : 1;
        if (size_t(r->begin) + r->capacity == data_.size()) {
            data_.resize(size_t(r->begin) + capacity);  // the last row grows where it is
        } else {
            if (spare_ + r->capacity > data_.size() / 2 + 1024) {
                compact();
                r = &rows_[node];
                if (r->size < r->capacity) {
                    data_[r->begin + r->size++] = value;
                    return;
                }
            }
            const size_t begin = data_.size();
            data_.resize(begin + capacity);
            std::copy_n(data_.begin() + r->begin, r->size, data_.begin() + std::ptrdiff_t(begin));
            spare_ += r->capacity;
            r->begin = uint32_t(begin);
        }
        r->capacity = capacity;
    }
    data_[r->begin + r->size++] = value;
}

bool Rows::remove(Id node, Id value) {
    if (node >= rows_.size())
        return false;
    Row& r = rows_[node];
    Id* first = data_.data() + r.begin;
    Id* last = first + r.size;
    Id* found = std::find(first, last, value);
    if (found == last)
        return false;
    std::copy(found + 1, last, found);
    --r.size;
    return true;
}

void Rows::compact() {
    std::vector<Id> data;
    size_t total = 0;
    for (const Row& r : rows_)
        total += r.size + (r.size + 1) / 2;  // room to grow by half again
    data.reserve(total);
    for (Row& r : rows_) {
        const uint32_t begin = uint32_t(data.size());
        data.insert(data.end(), data_.begin() + r.begin, data_.begin() + r.begin + r.size);
        const uint32_t capacity = r.size + (r.size + 1) / 2;
        data.resize(size_t(begin) + capacity);
        r.begin = begin;
        r.capacity = capacity;
    }
    data_.swap(data);
    spare_ = 0;
}

// --- names and pairs -------------------------------------------------------------------------
//
// Both tables are open-addressed on the low 32 bits of the hash (`tag`): a slot holds the
// tag and the id + 1. Probes start at tag & mask and go on to the next slot, mostly in the
// same line (the tags tell entries apart without reading them).

size_t hash_of(PyObject* s) { return size_t(hash_str(s)); }
size_t hash_of(PyObject* obj, PyObject* act) { return pair_hash(obj, act); }

namespace {

inline uint64_t tag_of(size_t hash) { return uint64_t(uint32_t(hash)) << 32; }
inline Id id_in(uint64_t slot) { return Id(uint32_t(slot) - 1); }

// The slots of a table grown to `size`: its entries placed again by their tags alone (the
// tag is all of the hash a table of up to 2^32 slots uses), without reading them.
std::vector<uint64_t> regrown(const std::vector<uint64_t>& old, size_t size) {
    std::vector<uint64_t> slots(size, 0);
    const size_t mask = size - 1;
    for (const uint64_t slot : old) {
        if (slot == 0)
            continue;
        size_t i = size_t(slot >> 32) & mask;
        while (slots[i] != 0)
            i = (i + 1) & mask;
        slots[i] = slot;
    }
    return slots;
}

// The id the table finds for a tag where `same(id)`, or the empty slot it ends at.
template <class Same>
inline Id lookup(const std::vector<uint64_t>& slots, size_t hash, Same&& same, size_t* empty = nullptr) {
    const size_t mask = slots.size() - 1;
    const uint64_t tag = tag_of(hash);
    size_t i = size_t(uint32_t(hash)) & mask;
    for (;;) {
        const uint64_t slot = slots[i];
        if (slot == 0) {
            if (empty)
                *empty = i;
            return no_id;
        }
        if ((slot & ~uint64_t(UINT32_MAX)) == tag && same(id_in(slot)))
            return id_in(slot);
        i = (i + 1) & mask;
    }
}

// Puts a new entry (`id`, the table then holding `count`) at the empty slot a lookup ended
// at, or grows the table first when it would be over half full.
inline void place(std::vector<uint64_t>& slots, size_t empty, size_t hash, Id id, size_t count) {
    const uint64_t entry = tag_of(hash) | (uint64_t(id) + 1);
    if (count * 2 > slots.size()) {
        slots = regrown(slots, slots.empty() ? 64 : slots.size() * 2);
        const size_t mask = slots.size() - 1;
        empty = uint32_t(hash) & mask;
        while (slots[empty] != 0)
            empty = (empty + 1) & mask;
    }
    slots[empty] = entry;
}

}  // namespace

Id Names::find(PyObject* s) const {
    if (slots_.empty())
        return no_id;
    return lookup(slots_, size_t(hash_str(s)), [&](Id id) { return same_str(objects_[id].get(), s); });
}

Id Names::add(PyObject* s) { return add(s, size_t(hash_str(s))); }

Id Names::add(PyObject* s, size_t hash) {
    size_t empty = 0;
    if (!slots_.empty()) {
        const Id found = lookup(slots_, hash, [&](Id id) { return same_str(objects_[id].get(), s); }, &empty);
        if (found != no_id)
            return found;
    }
    const Id id = Id(objects_.size());
    objects_.push_back(Ref::borrow(s));
    place(slots_, empty, hash, id, objects_.size());
    return id;
}

Id Pairs::find(PyObject* obj, PyObject* act) const {
    if (slots_.empty())
        return no_id;
    return lookup(slots_, pair_hash(obj, act), [&](Id id) {
        const Item& item = items_[id];
        return same_str(item.obj.get(), obj) && same_str(item.act.get(), act);
    });
}

Id Pairs::add(PyObject* obj, PyObject* act) { return add(obj, act, pair_hash(obj, act)); }

Id Pairs::add(PyObject* obj, PyObject* act, size_t hash) {
    size_t empty = 0;
    if (!slots_.empty()) {
        const Id found = lookup(slots_, hash, [&](Id id) {
            const Item& item = items_[id];
            return same_str(item.obj.get(), obj) && same_str(item.act.get(), act);
        }, &empty);
        if (found != no_id)
            return found;
    }
    const Id id = Id(items_.size());
    items_.push_back(Item{Ref::borrow(obj), Ref::borrow(act)});
    place(slots_, empty, hash, id, items_.size());
    return id;
}

// --- the index -------------------------------------------------------------------------------

Index::Index() = default;

Id Index::role_for(PyObject* name) {
    const Id id = roles_.add(name);
    if (refs_.size() <= id)
        refs_.resize(size_t(id) + 1, 0);
    return id;
}

namespace {

// Records are added in blocks: the hashes of a block's strings read first, then the table
// slots they lead to, then the entries those slots hold, each a run of reads that do not
// wait for one another (a prefetch that misses the address translation may be dropped; a
// read is not), and only then the records added, finding what they read in the cache.
constexpr size_t block = 16;

inline void keep(uint64_t value) { asm volatile("" : : "r"(value)); }

}  // namespace

void Index::build(const std::vector<Raw>& groups, const std::vector<Raw>& policies) {
    // Roles take their ids in the order the stored lists name them first: groups (the
    // containing role, then the contained one), then policies, then "public".
    std::vector<std::pair<Id, Id>> subs, containers, grants, holders;
    subs.reserve(groups.size());
    containers.reserve(groups.size());
    grants.reserve(policies.size());
    holders.reserve(policies.size());
    size_t ha[block], hb[block];
    uint64_t sa[block], sb[block];
    for (size_t at = 0; at < groups.size(); at += block) {
        const size_t n = std::min(block, groups.size() - at);
        const Raw* g = groups.data() + at;
        for (size_t k = 0; k < n; ++k) {
            ha[k] = hash_of(g[k].a);
            hb[k] = hash_of(g[k].b);
        }
        for (size_t k = 0; k < n; ++k) {
            sa[k] = roles_.slot(ha[k]);
            sb[k] = roles_.slot(hb[k]);
        }
        uint64_t sink = 0;
        for (size_t k = 0; k < n; ++k)
            sink ^= roles_.entry(sa[k]) ^ roles_.entry(sb[k]);
        keep(sink);
        for (size_t k = 0; k < n; ++k) {
            const Id child = roles_.add(g[k].a, ha[k]);
            const Id parent = roles_.add(g[k].b, hb[k]);
            if (refs_.size() <= std::max(child, parent))
                refs_.resize(size_t(std::max(child, parent)) + 1, 0);
            ++refs_[child];
            ++refs_[parent];
            subs.emplace_back(child, parent);
            containers.emplace_back(parent, child);
        }
    }
    for (size_t at = 0; at < policies.size(); at += block) {
        const size_t n = std::min(block, policies.size() - at);
        const Raw* p = policies.data() + at;
        for (size_t k = 0; k < n; ++k) {
            ha[k] = hash_of(p[k].a);
            hb[k] = hash_of(p[k].b, p[k].c);
        }
        for (size_t k = 0; k < n; ++k) {
            sa[k] = roles_.slot(ha[k]);
            sb[k] = pairs_.slot(hb[k]);
        }
        uint64_t sink = 0;
        for (size_t k = 0; k < n; ++k)
            sink ^= roles_.entry(sa[k]) ^ sb[k];
        keep(sink);
        for (size_t k = 0; k < n; ++k) {
            const Id sub = roles_.add(p[k].a, ha[k]);
            if (refs_.size() <= sub)
                refs_.resize(size_t(sub) + 1, 0);
            ++refs_[sub];
            const Id pair = pairs_.add(p[k].b, p[k].c, hb[k]);
            grants.emplace_back(sub, pair);
            holders.emplace_back(pair, sub);
        }
    }
    Ref name = Ref::own(PyUnicode_FromString("public"));
    public_ = role_for(name.get());
    subs_.build(roles_.size(), subs);
    containers_.build(roles_.size(), containers);
    grants_.build(roles_.size(), grants);
    holders_.build(pairs_.size(), holders);
    groups_ = groups.size();
    policies_ = policies.size();
}

void Index::add_group(const Fields& g) {
    const Id child = role_for(g.a.get());
    const Id parent = role_for(g.b.get());
    ++refs_[child];
    ++refs_[parent];
    subs_.add(child, parent);
    containers_.add(parent, child);
    ++groups_;
}

void Index::add_policy(const Fields& p) {
    const Id sub = role_for(p.a.get());
    ++refs_[sub];
    const Id pair = pairs_.add(p.b.get(), p.c.get());
    grants_.add(sub, pair);
    holders_.add(pair, sub);
    ++policies_;
}

void Index::unref(Id r) {
    if (refs_[r] > 0)
        --refs_[r];
}

size_t Index::group_copies(const Fields& g) const {
    const Id child = roles_.find(g.a.get());
    const Id parent = roles_.find(g.b.get());
    if (child == no_id || parent == no_id)
        return 0;
    const std::span<const Id> row = subs_.row(child);
    return size_t(std::count(row.begin(), row.end(), parent));
}

bool Index::remove_group(const Fields& g) {
    const Id child = roles_.find(g.a.get());
    const Id parent = roles_.find(g.b.get());
    if (child == no_id || parent == no_id || !subs_.remove(child, parent))
        return false;
    containers_.remove(parent, child);
    unref(child);
    unref(parent);
    --groups_;
    return true;
}

bool Index::remove_policy(const Fields& p) {
    const Id sub = roles_.find(p.a.get());
    const Id pair = pairs_.find(p.b.get(), p.c.get());
    if (sub == no_id || pair == no_id || !grants_.remove(sub, pair))
        return false;
    holders_.remove(pair, sub);
    unref(sub);
    --policies_;
    return true;
}

Id Index::role(PyObject* name) const {
    const Id id = roles_.find(name);
    return id != no_id && stored(id) ? id : no_id;
}

size_t Index::bytes() const {
    const size_t scratch = (down_.capacity() + up_.capacity() + target_.capacity() + pair_mark_.capacity() +
                            down_prev_.capacity() + up_prev_.capacity() + down_depth_.capacity() +
                            up_depth_.capacity() + target_pair_.capacity()) *
                           sizeof(uint32_t);
    return sizeof(*this) + roles_.bytes() + pairs_.bytes() + subs_.bytes() + containers_.bytes() + grants_.bytes() +
           holders_.bytes() + refs_.capacity() * sizeof(uint32_t) + scratch;
}

void Index::begin() {
    const size_t roles = roles_.size();
    const size_t pairs = pairs_.size();
    if (++epoch_ == 0) {  // wrapped: every old mark could read as current
        for (auto* marks : {&down_, &up_, &target_, &pair_mark_})
            std::fill(marks->begin(), marks->end(), 0);
        epoch_ = 1;
    }
    if (down_.size() < roles) {
        for (auto* v : {&down_, &up_, &target_})
            v->resize(roles, 0);
        for (auto* v : {&down_prev_, &up_prev_, &down_depth_, &up_depth_, &target_pair_})
            v->resize(roles, no_id);
    }
    if (pair_mark_.size() < pairs)
        pair_mark_.resize(pairs, 0);
}

std::vector<Id> Index::targets(PyObject* obj, PyObject* act) {
    std::vector<Id> out;
    PyObject* covering[4][2] = {{obj, act}, {obj, star()}, {star(), act}, {star(), star()}};
    for (auto& [o, a] : covering) {
        const Id pair = pairs_.find(o, a);
        if (pair == no_id)
            continue;
        for (Id r : holders_.row(pair))
            if (!marked(target_, r)) {
                target_[r] = epoch_;
                target_pair_[r] = pair;
                out.push_back(r);
            }
    }
    return out;
}

std::vector<Id> Index::why(const std::vector<Id>& sources, PyObject* obj, PyObject* act, Id& granted) {
    begin();
    granted = no_id;
    std::vector<Id> targets = this->targets(obj, act);
    if (targets.empty() || sources.empty())
        return {};
    for (Id s : sources)
        if (marked(target_, s)) {
            granted = target_pair_[s];
            return {s};
        }
    std::vector<Id> front_down, front_up;
    for (Id s : sources)
        if (!marked(down_, s)) {
            down_[s] = epoch_;
            down_prev_[s] = no_id;
            down_depth_[s] = 0;
            front_down.push_back(s);
        }
    for (Id t : targets) {
        up_[t] = epoch_;
        up_prev_[t] = no_id;
        up_depth_[t] = 0;
        front_up.push_back(t);
    }
    std::vector<Id> following;
    while (!front_down.empty() && !front_up.empty()) {
        const bool forward = front_down.size() <= front_up.size();
        auto& seen = forward ? down_ : up_;
        auto& previous = forward ? down_prev_ : up_prev_;
        auto& depth = forward ? down_depth_ : up_depth_;
        const auto& other = forward ? up_ : down_;
        const auto& other_depth = forward ? up_depth_ : down_depth_;
        const Rows& links = forward ? subs_ : containers_;
        following.clear();
        Id best = no_id, best_depth = 0;
        for (Id node : forward ? front_down : front_up)
            for (Id near : links.row(node)) {
                if (marked(seen, near))
                    continue;
                seen[near] = epoch_;
                previous[near] = node;
                depth[near] = depth[node] + 1;
                following.push_back(near);
                if (marked(other, near) && (best == no_id || other_depth[near] < best_depth)) {
                    best = near;
                    best_depth = other_depth[near];
                }
            }
        if (best != no_id) {
            std::vector<Id> path;
            for (Id n = best; n != no_id; n = down_prev_[n])
                path.push_back(n);
            std::reverse(path.begin(), path.end());
            for (Id n = up_prev_[best]; n != no_id; n = up_prev_[n])
                path.push_back(n);
            granted = target_pair_[path.back()];
            return path;
        }
        (forward ? front_down : front_up).swap(following);
    }
    return {};
}

std::vector<Index::Holder> Index::who(PyObject* obj, PyObject* act, Id from, size_t limit, size_t& total, Id& next) {
    begin();
    total = 0;
    next = no_id;
    std::vector<Id> queue = targets(obj, act);
    for (Id t : queue) {
        up_[t] = epoch_;
        up_prev_[t] = no_id;
    }
    for (size_t at = 0; at < queue.size(); ++at) {
        const Id role = queue[at];
        for (Id child : containers_.row(role))
            if (!marked(up_, child)) {
                up_[child] = epoch_;
                up_prev_[child] = role;
                queue.push_back(child);
            }
    }
    std::vector<Holder> out;
    const Id roles = Id(roles_.size());
    for (Id r = 0; r < roles; ++r) {
        if (!marked(up_, r) || !stored(r))
            continue;
        ++total;
        if (r < from)
            continue;
        if (out.size() == limit) {
            if (next == no_id)
                next = r;
            continue;
        }
        Holder h{r, {}, no_id};
        for (Id n = r; n != no_id; n = up_prev_[n])
            h.path.push_back(n);
        h.granted = target_pair_[h.path.back()];
        out.push_back(std::move(h));
    }
    return out;
}

std::vector<Id> Index::reach(const std::vector<Id>& sources, std::vector<Id>* via, std::vector<Id>* previous) {
    begin();
    std::vector<Id> queue, pairs;
    for (Id s : sources)
        if (!marked(down_, s)) {
            down_[s] = epoch_;
            down_prev_[s] = no_id;
            queue.push_back(s);
        }
    for (size_t at = 0; at < queue.size(); ++at) {
        const Id role = queue[at];
        for (Id pair : grants_.row(role))
            if (pair_mark_[pair] != epoch_) {
                pair_mark_[pair] = epoch_;
                pairs.push_back(pair);
                if (via)
                    via->push_back(role);
            }
        for (Id sub : subs_.row(role))
            if (!marked(down_, sub)) {
                down_[sub] = epoch_;
                down_prev_[sub] = role;
                queue.push_back(sub);
            }
    }
    if (previous) {
        previous->assign(roles_.size(), no_id);
        for (Id r : queue)
            (*previous)[r] = down_prev_[r];
    }
    if (via) {
        std::vector<size_t> order(pairs.size());
        for (size_t i = 0; i < order.size(); ++i)
            order[i] = i;
        std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return pairs[a] < pairs[b]; });
        std::vector<Id> sorted(pairs.size()), roles(pairs.size());
        for (size_t i = 0; i < order.size(); ++i) {
            sorted[i] = pairs[order[i]];
            roles[i] = (*via)[order[i]];
        }
        via->swap(roles);
        return sorted;
    }
    std::sort(pairs.begin(), pairs.end());
    return pairs;
}

bool Index::holds_object(const std::vector<Id>& sources, PyObject* obj) {
    begin();
    std::vector<Id> queue;
    for (Id s : sources)
        if (!marked(down_, s)) {
            down_[s] = epoch_;
            queue.push_back(s);
        }
    for (size_t at = 0; at < queue.size(); ++at) {
        const Id role = queue[at];
        for (Id pair : grants_.row(role)) {
            PyObject* o = pairs_.obj(pair);
            if (same_str(o, obj) || same_str(o, star()))
                return true;
        }
        for (Id sub : subs_.row(role))
            if (!marked(down_, sub)) {
                down_[sub] = epoch_;
                queue.push_back(sub);
            }
    }
    return false;
}

std::vector<Id> Index::path(Id start, Id goal) {
    begin();
    std::vector<Id> queue{start};
    down_[start] = epoch_;
    down_prev_[start] = no_id;
    for (size_t at = 0; at < queue.size(); ++at) {
        const Id role = queue[at];
        if (role == goal) {
            std::vector<Id> out;
            for (Id n = role; n != no_id; n = down_prev_[n])
                out.push_back(n);
            std::reverse(out.begin(), out.end());
            return out;
        }
        for (Id sub : subs_.row(role))
            if (!marked(down_, sub)) {
                down_[sub] = epoch_;
                down_prev_[sub] = role;
                queue.push_back(sub);
            }
    }
    return {};
}

std::vector<Id> Index::containing(Id role, std::vector<Id>& towards) {
    begin();
    std::vector<Id> queue{role};
    up_[role] = epoch_;
    towards.assign(1, no_id);
    for (size_t at = 0; at < queue.size(); ++at) {
        const Id r = queue[at];
        for (Id child : containers_.row(r))
            if (!marked(up_, child)) {
                up_[child] = epoch_;
                queue.push_back(child);
                towards.push_back(r);
            }
    }
    return queue;
}

}  // namespace zarn::query
