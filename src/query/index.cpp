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

// The next slot of an open-addressed table (the interpreter's dict probing).
inline size_t probe(size_t i, size_t& perturb, size_t mask) {
    perturb >>= 5;
    return (i * 5 + perturb + 1) & mask;
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

Id Names::find(PyObject* s) const {
    if (slots_.empty())
        return no_id;
    const size_t mask = slots_.size() - 1;
    size_t perturb = size_t(hash_str(s));
    size_t i = perturb & mask;
    for (;;) {
        const Id slot = slots_[i];
        if (slot == 0)
            return no_id;
        if (same_str(objects_[slot - 1].get(), s))
            return slot - 1;
        i = probe(i, perturb, mask);
    }
}

void Names::grow() {
    std::vector<Id> slots(slots_.empty() ? 64 : slots_.size() * 2, 0);
    const size_t mask = slots.size() - 1;
    for (Id id = 0; id < objects_.size(); ++id) {
        size_t perturb = size_t(hash_str(objects_[id].get()));
        size_t i = perturb & mask;
        while (slots[i] != 0)
            i = probe(i, perturb, mask);
        slots[i] = id + 1;
    }
    slots_.swap(slots);
}

Id Names::add(PyObject* s) {
    const Id found = find(s);
    if (found != no_id)
        return found;
    if ((objects_.size() + 1) * 2 > slots_.size())
        grow();
    const Id id = Id(objects_.size());
    objects_.push_back(Ref::borrow(s));
    const size_t mask = slots_.size() - 1;
    size_t perturb = size_t(hash_str(s));
    size_t i = perturb & mask;
    while (slots_[i] != 0)
        i = probe(i, perturb, mask);
    slots_[i] = id + 1;
    return id;
}

Id Pairs::find(PyObject* obj, PyObject* act) const {
    if (slots_.empty())
        return no_id;
    const size_t mask = slots_.size() - 1;
    size_t perturb = pair_hash(obj, act);
    size_t i = perturb & mask;
    for (;;) {
        const Id slot = slots_[i];
        if (slot == 0)
            return no_id;
        const Item& item = items_[slot - 1];
        if (same_str(item.obj.get(), obj) && same_str(item.act.get(), act))
            return slot - 1;
        i = probe(i, perturb, mask);
    }
}

void Pairs::grow() {
    std::vector<Id> slots(slots_.empty() ? 64 : slots_.size() * 2, 0);
    const size_t mask = slots.size() - 1;
    for (Id id = 0; id < items_.size(); ++id) {
        size_t perturb = pair_hash(items_[id].obj.get(), items_[id].act.get());
        size_t i = perturb & mask;
        while (slots[i] != 0)
            i = probe(i, perturb, mask);
        slots[i] = id + 1;
    }
    slots_.swap(slots);
}

Id Pairs::add(PyObject* obj, PyObject* act) {
    const Id found = find(obj, act);
    if (found != no_id)
        return found;
    if ((items_.size() + 1) * 2 > slots_.size())
        grow();
    const Id id = Id(items_.size());
    items_.push_back(Item{Ref::borrow(obj), Ref::borrow(act)});
    const size_t mask = slots_.size() - 1;
    size_t perturb = pair_hash(obj, act);
    size_t i = perturb & mask;
    while (slots_[i] != 0)
        i = probe(i, perturb, mask);
    slots_[i] = id + 1;
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

void Index::build(const std::vector<Fields>& groups, const std::vector<Fields>& policies) {
    // Roles take their ids in the order the stored lists name them first: groups (the
    // containing role, then the contained one), then policies, then "public".
    std::vector<std::pair<Id, Id>> subs, containers, grants, holders;
    subs.reserve(groups.size());
    containers.reserve(groups.size());
    grants.reserve(policies.size());
    holders.reserve(policies.size());
    for (const Fields& g : groups) {
        const Id child = role_for(g.a.get());
        const Id parent = role_for(g.b.get());
        ++refs_[child];
        ++refs_[parent];
        subs.emplace_back(child, parent);
        containers.emplace_back(parent, child);
    }
    for (const Fields& p : policies) {
        const Id sub = role_for(p.a.get());
        ++refs_[sub];
        const Id pair = pairs_.add(p.b.get(), p.c.get());
        grants.emplace_back(sub, pair);
        holders.emplace_back(pair, sub);
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
