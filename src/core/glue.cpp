// The leaf gluing search: every distinct graph reached by gluing leaves onto partners of
// the same type, found depth first.
//
// What the search must produce is defined by a level that copies its graph at every glue
// step: level L holds a graph G_L, glues its leaf f onto a partner p on a fresh copy
// (clone_subgraph, then merge_value_nodes(copy, p', f')) and hands the copy to the level
// below.  This file gets the same results without the copies: one working graph W, the
// copy of the caller's graph, is glued in place and every glue step is undone when its
// branch is finished.
//
// Why that gives the same results, failures and orders.  Let S_L be the state of W at
// level L (L >= 2) and comp(S) the nodes that a copy of S would hold (reached from the
// root through the four link fields).  Then there is a bijection psi_L from comp(S_{L-1})
// onto the nodes of G_L that maps every link field of every such node of S_L onto the same
// field of its image, payloads and kinds included, and maps the level's leaves and
// candidates (ids of W) onto those of G_L:
//  - at level 2, psi is the correspondence of the copy of the caller's graph, and W is
//    that copy;
//  - a merge reads and writes only the lists of f, p and of the ops listed in f's parents
//    and options; all of them lie in comp(S_{L-1}) (f and p passed the membership test,
//    the others are linked from f), so the same merge on both sides keeps psi an
//    isomorphism;
//  - the lists of comp(S_{L-1}) name only nodes of comp(S_{L-1}), so comp(S_L), reached
//    from the root, stays inside it, and psi maps comp(S_L) onto comp(G_L).
// Everything a level observes is therefore the same: the range tests (ids of W and ids
// of a copy are always in range below the first level), the type test (payloads), the
// four "not in copy" tests (membership in comp), the connection hash and the recorded
// copy (both see only the root's component, up to renumbering, and the copy renumbers it
// canonically).  The caller's graph is never written: the first level reads it as the
// copying search does and W is a copy of it.
//
// Membership in comp(S_L).  When every link of W is stored on both of its ends in the
// fields of the nodes' kinds (see links_mirrored), the links form an undirected graph, a
// merge keeps that so, and gluing f onto p != f (both in the component, f not the root)
// leaves f without any link while every path through f can go through p instead: the
// component loses f and nothing else.  The search then keeps the glued-away leaves in a
// set, and a root glued away leaves a component of the root alone.  On any other graph
// the component is found afresh by a discovery walk before each glue step.
//
// Hashes.  A level's hash is computed unless the state of W was seen before at a level
// that hashed it: equal states of W have equal components, hence equal hashes, and a hash
// that was computed once is in the recorded set already.  The state is identified
// exactly, by the contents of every list that the glue steps on the way down have changed
// (those equal to the copy of the caller's graph are left out), so a known state never
// hides a graph whose hash is new.
#include "glue.hpp"

#include <algorithm>
#include <unordered_set>

#include "clone.hpp"
#include "hash.hpp"
#include "id_sets.hpp"
#include "merge.hpp"

namespace quill {

namespace {

// Partners of a leaf: the leaves after it, then the candidates, repeats included.
struct Partners {
    const NodeId* rest;
    std::size_t nrest;
    const NodeId* cands;
    std::size_t ncands;

    std::size_t size() const { return nrest + ncands; }
    NodeId operator[](std::size_t i) const { return i < nrest ? rest[i] : cands[i - nrest]; }
};

// The first partner index at or after `from` where the gluing loop has something to do:
// a partner (both nodes carry a value payload of the same type), or an id that fails the
// range test (partner first, then the leaf).  Returns ps.size() when there is none.
// Never throws, so the search can look ahead without changing which failure comes first.
std::size_t next_event(const Graph& g, NodeId f, const Partners& ps, std::size_t from,
                       Poll& poll) {
    const std::size_t end = ps.size();
    if (from >= end) return end;
    if (!g.valid(f)) return from;  // the range test fails at the first partner looked at
    const bool f_value = !g.is_op(f);
    const std::uint32_t type = g.type_id(f);
    auto stops = [&](NodeId p) {
        return !g.valid(p) || (f_value && !g.is_op(p) && g.type_id(p) == type);
    };
    // Looked through a part of at most kEvery partners at a time, each part counted.
    for (std::size_t i = from; i < end;) {
        const std::size_t part = std::min(end, i + Poll::kEvery), first = i;
        for (; i < part; ++i)
            if (stops(ps[i])) {
                poll.step(i - first + 1);
                return i;
            }
        poll.step(i - first);
    }
    poll.step();
    return end;
}

// Rewrites ids through `corr`, failing with `missing` at the first id without an entry.
std::vector<NodeId> map_ids(const Corr& corr, const std::vector<NodeId>& ids, std::size_t from,
                            Failure missing, Poll& poll) {
    std::vector<NodeId> out;
    out.reserve(ids.size() - from);
    poll.step(poll.scan(ids.size() - from, [&](std::size_t i) {
        const std::optional<NodeId> m = corr.get(ids[from + i]);
        if (!m) fail(missing);
        out.push_back(*m);
    }));
    return out;
}

// True when every link of `w` is stored on both of its ends, in the fields of the nodes'
// kinds: no op has parents or options and no value has children or a parent; an op lists
// a value among its children exactly when the value lists the op among its parents; a
// value lists an op among its options exactly when the op's parent is that value.  Lists
// longer than a few dozen entries are not searched; such a graph counts as not mirrored,
// which only costs speed.
bool links_mirrored(const Graph& w, Poll& poll) {
    constexpr std::size_t kScanLimit = 32;
    auto holds = [](std::span<const Idx> list, NodeId x) {
        return list.size() <= kScanLimit && std::find(list.begin(), list.end(), Idx(x)) != list.end();
    };
    const std::uint64_t n = w.size();
    std::vector<std::uint8_t> listed(n, 0);  // ops found among some value's options
    for (NodeId id = 0; id < n; ++id) {
        if (w.is_op(id)) {
            if (!w.parents(id).empty() || !w.options(id).empty()) return false;
            const std::span<const Idx> children = w.children(id);
            if (children.size() > kScanLimit) return false;
            for (Idx v : children)
                if (!holds(w.parents(v), id)) return false;
            poll.step(1 + children.size());
        } else {
            if (!w.children(id).empty() || w.parent(id) != kNone) return false;
            const std::span<const Idx> parents = w.parents(id), options = w.options(id);
            if (parents.size() > kScanLimit) return false;
            for (Idx o : parents)
                if (!holds(w.children(o), id)) return false;
            bool apart = false;
            poll.step(1 + parents.size() + poll.scan(options.size(), [&](std::size_t i) {
                apart |= w.parent(options[i]) != id;
                listed[options[i]] = 1;
            }));
            if (apart) return false;
        }
    }
    bool unlisted = false;
    poll.step(poll.scan(n, [&](std::size_t id) {
        unlisted |= w.is_op(id) && w.parent(id) != kNone && !listed[id];
    }));
    return !unlisted;
}

// The lists and parents that the glue steps on the current path have changed, each with
// its contents from before the change, so that the steps can be undone in reverse order.
class Journal {
public:
    enum What : std::uint32_t { kParents, kOptions, kChildren, kParent };

    std::size_t mark() const { return entries_.size(); }

    // Saves what merge_value_nodes(g, keep, other, both sides) will change.
    void save_merge(const Graph& g, NodeId keep, NodeId other) {
        save_list(g, keep, kParents);
        save_list(g, keep, kOptions);
        save_list(g, other, kParents);
        save_list(g, other, kOptions);
        for (Idx o : g.parents(other)) save_list(g, o, kChildren);
        for (Idx o : g.options(other)) save_parent(g, o);
    }

    // Puts back everything saved after `mark`, latest first.
    void undo(Graph& g, std::size_t mark) {
        while (entries_.size() > mark) {
            const Entry& e = entries_.back();
            if (e.what == kParent)
                g.set_parent(e.node, buf_[e.at]);
            else
                g.assign(e.node, field(e.what), saved(e));
            buf_.resize(e.at);
            entries_.pop_back();
        }
    }

    // Appends to `key` an exact description of how `g` differs from its state before the
    // first saved change: for each changed list or parent, in order of node and field,
    // the node, the field, the length and the current contents.  Lists that are back to
    // their first saved contents are left out, so equal states give equal keys.
    void describe(const Graph& g, std::vector<Idx>& key) {
        order_.clear();
        for (std::size_t i = 0; i < entries_.size(); ++i)
            order_.push_back((std::uint64_t(entries_[i].node) << 34) |
                             (std::uint64_t(entries_[i].what) << 32) | i);
        std::sort(order_.begin(), order_.end());
        std::uint64_t last = ~std::uint64_t(0);
        for (std::uint64_t o : order_) {
            if ((o >> 32) == last) continue;  // the first saving holds the state before
            last = o >> 32;
            const Entry& e = entries_[std::uint32_t(o)];
            std::span<const Idx> now;
            Idx parent_now;
            if (e.what == kParent) {
                parent_now = g.parent(e.node);
                now = {&parent_now, 1};
            } else {
                now = g.list(e.node, field(e.what));
            }
            const std::span<const Idx> before = saved(e);
            if (std::equal(now.begin(), now.end(), before.begin(), before.end())) continue;
            key.push_back(e.node);
            key.push_back(e.what);
            key.push_back(Idx(now.size()));
            key.insert(key.end(), now.begin(), now.end());
        }
    }

private:
    struct Entry {
        Idx node;
        What what;
        std::size_t at;  // where its saved contents start in buf_
        std::size_t len;
    };
    std::vector<Entry> entries_;
    std::vector<Idx> buf_;
    std::vector<std::uint64_t> order_;

    static Field field(What w) {
        return w == kParents ? Field::Parents : w == kOptions ? Field::Options : Field::Children;
    }
    std::span<const Idx> saved(const Entry& e) const { return {buf_.data() + e.at, e.len}; }
    void save_list(const Graph& g, NodeId id, What what) {
        const std::span<const Idx> list = g.list(id, field(what));
        entries_.push_back({Idx(id), what, buf_.size(), list.size()});
        buf_.insert(buf_.end(), list.begin(), list.end());
    }
    void save_parent(const Graph& g, NodeId id) {
        entries_.push_back({Idx(id), kParent, buf_.size(), 1});
        buf_.push_back(g.parent(id));
    }
};

struct KeyHash {
    std::size_t operator()(const std::vector<Idx>& key) const {
        std::uint64_t h = 0x9e3779b97f4a7c15ull ^ key.size();
        for (Idx x : key) {
            h ^= x;
            h *= 0xbf58476d1ce4e5b9ull;
            h ^= h >> 29;
        }
        return std::size_t(h);
    }
};

// The search below the first level, on the working graph W (ids of W throughout).
class Search {
public:
    Search(Graph&& w, const GlueOptions& opts, std::unordered_set<std::uint64_t>& recorded,
           std::vector<Graph>& results, Poll& poll)
        : w_(std::move(w)), opts_(opts), recorded_(recorded), results_(results), poll_(poll),
          dead_(w_.size(), kWholeGraph), component_(w_.size()) {
        mirrored_ = links_mirrored(w_, poll_);
    }

    // The first level's leaf f, rest and candidates, mapped into W, take effect here.
    void set_lists(std::vector<NodeId> leaves, std::vector<NodeId> candidates) {
        leaves_ = std::move(leaves);
        cands_ = std::move(candidates);
    }

    // Glues f onto p in W, runs the levels below (whose leaves are all of leaves_) and
    // undoes the glue step.
    void branch(NodeId f, NodeId p) {
        Step step = glue(f, p);
        run();
        unglue(step);
    }

private:
    struct Step {
        std::size_t mark;
        Idx killed = kNone;  // the leaf that left the component, if any
        bool killed_root = false;
    };
    struct Level {
        std::size_t start;   // the level's leaves are leaves_[start..]
        std::size_t head;    // the leaf being glued
        std::size_t cursor;  // its partner being tried
        Step step;
    };

    Graph w_;
    const GlueOptions& opts_;
    std::unordered_set<std::uint64_t>& recorded_;
    std::vector<Graph>& results_;
    Poll& poll_;
    std::vector<NodeId> leaves_, cands_;
    Journal journal_;
    bool mirrored_ = false;
    bool root_killed_ = false;
    // W is a compacted copy: every node belongs to the search, so the set of glued-away
    // leaves is bits over all of W from the start.
    static constexpr std::uint64_t kWholeGraph = ~std::uint64_t(0);
    NodeSet dead_;         // glued-away leaves, while mirrored_
    StampedSet component_; // the component found by the last discovery, otherwise
    std::unordered_set<std::vector<Idx>, KeyHash> hashed_states_;
    std::uint64_t unrecorded_state_bytes_ = 0;
    std::vector<Idx> key_;

    static constexpr std::uint64_t kUnrecordedStateBudget = 32ull << 20;

    bool within_limit(std::size_t n) const { return !opts_.max_leaves || n <= *opts_.max_leaves; }

    Partners partners(std::size_t head) const {
        return {leaves_.data() + head + 1, leaves_.size() - head - 1, cands_.data(), cands_.size()};
    }

    // Membership in the component of W as it is now.
    bool alive(NodeId x) const {
        if (!mirrored_) return component_.contains(x);
        return root_killed_ ? x == w_.root_id : !dead_.contains(x);
    }

    void record() {
        key_.clear();
        journal_.describe(w_, key_);
        poll_.step(1 + key_.size());
        if (hashed_states_.count(key_)) return;
        const std::uint64_t h = connection_hash(w_, poll_);
        const bool fresh = recorded_.insert(h).second;
        if (fresh) results_.push_back(clone_subgraph(w_, poll_).graph);
        // The states of recorded graphs are kept (they take less than the graphs); the
        // others while they fit a budget.
        const std::uint64_t bytes = key_.size() * sizeof(Idx) + 64;
        if (!fresh) {
            if (unrecorded_state_bytes_ + bytes > kUnrecordedStateBudget) return;
            unrecorded_state_bytes_ += bytes;
        }
        hashed_states_.insert(key_);
    }

    // The membership tests of a glue step of leaves_[head] onto p, in the order of the
    // copying search: the leaf, the partner, the rest of the leaves, the candidates.
    void check_step(std::size_t head, NodeId p) {
        if (!mirrored_) discover_component();
        if (!alive(leaves_[head])) fail(Failure::LeafNotInCopy);
        if (!alive(p)) fail(Failure::PartnerNotInCopy);
        poll_.step(1 + poll_.scan(leaves_.size() - head - 1, [&](std::size_t i) {
            if (!alive(leaves_[head + 1 + i])) fail(Failure::RestNotInCopy);
        }));
        poll_.step(poll_.scan(cands_.size(), [&](std::size_t i) {
            if (!alive(cands_[i])) fail(Failure::CandidateNotInCopy);
        }));
    }

    // Marks the nodes that a copy of W would hold: a discovery from the root through the
    // four link fields.
    void discover_component() {
        component_.clear();
        std::vector<Idx>& stack = stack_;
        stack.clear();
        stack.push_back(Idx(w_.root_id));
        component_.insert(w_.root_id);
        // Returns the entries scanned but not yet counted: a long list polls within.
        auto push = [&](std::span<const Idx> ids) {
            return poll_.scan(ids.size(), [&](std::size_t i) {
                const Idx m = ids[i];
                if (!component_.contains(m)) {
                    component_.insert(m);
                    stack.push_back(m);
                }
            });
        };
        while (!stack.empty()) {
            const Idx x = stack.back();
            stack.pop_back();
            std::size_t scanned = push(w_.children(x)) + push(w_.options(x)) + push(w_.parents(x));
            if (Idx p = w_.parent(x); p != kNone) scanned += push({&p, 1});
            poll_.step(1 + scanned);
        }
    }
    std::vector<Idx> stack_;

    Step glue(NodeId f, NodeId p) {
        Step step{journal_.mark()};
        if (f == p) return step;  // the merge changes nothing
        journal_.save_merge(w_, p, f);
        poll_.step(w_.parents(f).size() + w_.options(f).size());
        merge_value_nodes(w_, p, f, {.upper = true, .lower = true});
        if (mirrored_) {
            if (f == w_.root_id) {
                if (!root_killed_) step.killed_root = root_killed_ = true;
            } else if (!dead_.contains(f)) {
                dead_.insert(f);
                step.killed = Idx(f);
            }
        }
        return step;
    }

    void unglue(const Step& step) {
        journal_.undo(w_, step.mark);
        if (step.killed != kNone) dead_.erase(step.killed);
        if (step.killed_root) root_killed_ = false;
    }

    // Drops the leaves in front that have no partner and points the level at the first
    // partner of the first leaf that has one; false when none has.
    bool seek(Level& lv) {
        for (; lv.head < leaves_.size(); ++lv.head) {
            const Partners ps = partners(lv.head);
            lv.cursor = next_event(w_, leaves_[lv.head], ps, 0, poll_);
            if (lv.cursor < ps.size()) return true;
        }
        return false;
    }

    // Starts the glue step of the level at its cursor and the level below it.
    void descend(std::vector<Level>& stack) {
        Level& lv = stack.back();
        const NodeId p = partners(lv.head)[lv.cursor];
        check_step(lv.head, p);
        lv.step = glue(leaves_[lv.head], p);
        const std::size_t next = lv.head + 1;
        stack.push_back({next, next, 0, {}});
    }

    // The levels below the first, on an explicit stack.  A level records its state, then
    // takes its leaves in order until one has a partner; for each partner it glues, runs
    // the level below and undoes the glue.
    void run() {
        std::vector<Level> stack;
        stack.push_back({0, 0, 0, {}});
        bool entering = true;
        while (!stack.empty()) {
            poll_.step();
            Level& lv = stack.back();
            if (entering) {
                if (within_limit(leaves_.size() - lv.start)) record();
                if (!seek(lv)) {
                    stack.pop_back();
                    entering = false;
                    continue;
                }
                descend(stack);
                continue;
            }
            // Back from the level below: undo its glue step and go on with the next
            // partner.
            unglue(lv.step);
            const Partners ps = partners(lv.head);
            lv.cursor = next_event(w_, leaves_[lv.head], ps, lv.cursor + 1, poll_);
            if (lv.cursor == ps.size()) {
                stack.pop_back();
                continue;
            }
            descend(stack);
            entering = true;
        }
    }
};

void glue_leaves_rec(const Graph& g, std::vector<NodeId> leaves, std::vector<NodeId> candidates,
                     std::unordered_set<std::uint64_t>& recorded, GlueOptions opts,
                     std::vector<Graph>& results) {
    auto within_limit = [&](std::size_t n) { return !opts.max_leaves || n <= *opts.max_leaves; };
    Poll poll;

    // Only the first level can be asked for trees: it records the graph as it is.
    if (opts.trees_only) {
        if (within_limit(leaves.size())) results.push_back(clone_subgraph(g, poll).graph);
        return;
    }

    // The first level reads the caller's graph.  The length limit only decides whether
    // a level records, never whether the search goes on.
    poll.step(leaves.size() + candidates.size());
    if (within_limit(leaves.size())) {
        const std::uint64_t h = connection_hash(g, poll);
        if (recorded.insert(h).second) results.push_back(clone_subgraph(g, poll).graph);
    }

    // The copy of g that the levels below work on, made at the first glue step: the
    // copies of the copying search are all made at that point or later.
    std::optional<Search> search;
    std::optional<Corr> corr;
    for (std::size_t head = 0; head < leaves.size(); ++head) {
        const NodeId f = leaves[head];
        const Partners ps{leaves.data() + head + 1, leaves.size() - head - 1, candidates.data(),
                          candidates.size()};
        std::size_t i = next_event(g, f, ps, 0, poll);
        if (i == ps.size()) continue;
        NodeId f2 = 0;
        for (; i < ps.size(); i = next_event(g, f, ps, i + 1, poll)) {
            const NodeId p = ps[i];
            g.check(p);
            g.check(f);
            if (!search) {
                Clone c = clone_subgraph(g, poll);
                const std::optional<NodeId> mf = c.corr.get(f);
                if (!mf) fail(Failure::LeafNotInCopy);
                if (!c.corr.get(p)) fail(Failure::PartnerNotInCopy);
                std::vector<NodeId> rest = map_ids(c.corr, leaves, head + 1, Failure::RestNotInCopy, poll);
                std::vector<NodeId> cands = map_ids(c.corr, candidates, 0, Failure::CandidateNotInCopy, poll);
                f2 = *mf;
                corr.emplace(std::move(c.corr));
                search.emplace(std::move(c.graph), opts, recorded, results, poll);
                search->set_lists(std::move(rest), std::move(cands));
            }
            // The copy, the leaf and the lists are those of the first step; only the
            // partner is new.
            const std::optional<NodeId> p2 = corr->get(p);
            if (!p2) fail(Failure::PartnerNotInCopy);
            search->branch(f2, *p2);
        }
        return;
    }
}

}  // namespace

std::vector<Graph> glue_leaves(const Graph& g, std::vector<NodeId> leaves,
                               std::vector<NodeId> candidates, GlueOptions opts) {
    std::unordered_set<std::uint64_t> recorded;
    std::vector<Graph> results;
    glue_leaves_rec(g, std::move(leaves), std::move(candidates), recorded, opts, results);
    return results;
}

}  // namespace quill
