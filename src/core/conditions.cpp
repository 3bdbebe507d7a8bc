// Condition analysis over op trees.
//
// The analysis follows "leaf edges": from a node to every child of every one of its
// options.  A node without options is a leaf.  The leaf sequence of a node lists the
// leaves met when every leaf edge is followed (a leaf reached along several paths is
// listed once per path).  Two counts describe a node: its leaf occurrence count (the
// length of that sequence) and its distinct leaf count (the number of distinct ids in it).
//
// Everything here runs on explicit stacks, so tree depth costs heap, not native stack.
// Counts are memoised per node for the length of one call, and the tree conditions of an
// op reached along several paths are computed once per call, so graphs with shared values
// stay polynomial.  A cycle through leaf edges would make every count infinite; it is
// detected up front and reported as a failure naming a node on the cycle.

#include "conditions.hpp"

#include <algorithm>
#include <deque>

#include "id_sets.hpp"
#include "walk.hpp"

namespace quill {

namespace {

using u64 = std::uint64_t;

// A range of this many positions could never be materialised (it is beyond the largest
// vector of 64-bit values); asking for one is an error rather than an allocation that
// takes the process down.
constexpr u64 kMaxRange = u64(1) << 60;

// Cursor over the leaf edges of one node: (option index, child index within it).
struct EdgeCursor {
    std::uint32_t oi = 0;
    std::uint32_t ci = 0;

    // Stores the next leaf-edge target in `out`; false when the node has none left.
    bool next(const Graph& g, NodeId x, NodeId& out) {
        auto opts = g.options(x);
        while (oi < opts.size()) {
            auto ch = g.children(opts[oi]);
            if (ci < ch.size()) {
                out = ch[ci++];
                return true;
            }
            ++oi;
            ci = 0;
        }
        return false;
    }
};

template <class F>
void for_each_leaf_edge(const Graph& g, NodeId x, F&& f) {
    for (Idx o : g.options(x))
        for (Idx c : g.children(o)) f(NodeId(c));
}

// Per-call memo of leaf counts over the part of the graph reached by leaf edges.
class LeafCounts {
public:
    enum : std::uint8_t {
        kOnStack = 1,
        kDone = 2,
        kStateMask = 3,
        kOverflow = 4,    // occurrence count exceeds 64 bits
        kShared = 8,      // some node strictly below is reached by two or more leaf edges
        kUniqueKnown = 16,
    };

    LeafCounts(const Graph& g, Poll& poll)
        : g_(g), poll_(poll), flags_(g.size(), 0), rc_(g.size(), 0), indeg_(g.size(), 0),
          seen_(g.size()) {}

    // Counts every node reachable from `root` by leaf edges (root included) that was not
    // counted before.  Fails with LeafEdgeCycle when a leaf edge closes a cycle.
    void explore(NodeId root) {
        if (flags_[root] & kStateMask) return;
        struct Frame {
            NodeId node;
            EdgeCursor cur;
        };
        std::vector<Frame> stack;
        flags_[root] |= kOnStack;
        stack.push_back({root, {}});
        while (!stack.empty()) {
            poll_.step();
            Frame& top = stack.back();
            NodeId c;
            if (top.cur.next(g_, top.node, c)) {
                if (indeg_[c] < 2) ++indeg_[c];
                std::uint8_t st = flags_[c] & kStateMask;
                if (st == kOnStack) leaf_edge_cycle(c);
                if (st == 0) {
                    flags_[c] |= kOnStack;
                    stack.push_back({c, {}});
                }
                continue;
            }
            NodeId x = top.node;
            stack.pop_back();
            finish(x);
        }
    }

    // Marks the nodes below which some node is shared.  Valid for searches that stay
    // inside the part explored so far; call after the explorations it should cover.
    void mark_shared() {
        for (NodeId x : post_) {
            bool shared = false;
            for_each_leaf_edge(g_, x, [&](NodeId c) {
                if (indeg_[c] >= 2 || (flags_[c] & kShared)) shared = true;
            });
            if (shared) flags_[x] |= kShared;
        }
    }

    bool overflowed(NodeId x) const { return flags_[x] & kOverflow; }
    // Whether the leaf sequence of `x`, placed at `base`, holds position `pos` >= base.
    bool covers(NodeId x, u64 base, u64 pos) const {
        return overflowed(x) || pos - base < rc_[x];
    }
    // Leaf occurrence count of an explored node (meaningless when overflowed).
    u64 count_repeated_leaves(NodeId x) const { return rc_[x]; }

    // Number of distinct leaves in the leaf sequence of an explored node.  Where nothing
    // below a node is shared, every leaf below it is reached by exactly one path, so the
    // distinct count equals the occurrence count.  Otherwise the search expands only the
    // nodes with sharing below them: the leaves under an unshared node are reachable
    // through that node alone, so adding its occurrence count once is exact.
    u64 count_unique_leaves(NodeId x) {
        if (!(flags_[x] & kShared)) return rc_[x];
        if (flags_[x] & kUniqueKnown) return unique_[x];
        if (unique_.empty()) unique_.assign(g_.size(), 0);
        seen_.clear();
        u64 total = 0;
        std::vector<NodeId> stack{x};
        while (!stack.empty()) {
            poll_.step();
            NodeId y = stack.back();
            stack.pop_back();
            if (seen_.contains(y)) continue;
            seen_.insert(y);
            if (!(flags_[y] & kShared))
                total += rc_[y];
            else
                for_each_leaf_edge(g_, y, [&](NodeId c) {
                    if (!seen_.contains(c)) stack.push_back(c);
                });
        }
        unique_[x] = total;
        flags_[x] |= kUniqueKnown;
        return total;
    }

private:
    const Graph& g_;
    Poll& poll_;
    std::vector<std::uint8_t> flags_;
    std::vector<u64> rc_;
    std::vector<std::uint8_t> indeg_;  // incoming leaf edges, saturating at 2
    std::vector<NodeId> post_;  // explored nodes, each after everything below it
    std::vector<u64> unique_;
    StampedSet seen_;  // nodes met by the current count_unique_leaves

    void finish(NodeId x) {
        std::uint8_t f = (flags_[x] & ~kStateMask) | kDone;
        u64 sum = 0;
        if (g_.options(x).empty()) {
            sum = 1;
        } else {
            for_each_leaf_edge(g_, x, [&](NodeId c) {
                if (flags_[c] & kOverflow) f |= kOverflow;
                if (__builtin_add_overflow(sum, rc_[c], &sum)) f |= kOverflow;
            });
            if (f & kOverflow) sum = ~u64(0);  // saturated; the flag says "2^64 or more"
        }
        rc_[x] = sum;
        flags_[x] = f;
        post_.push_back(x);
    }
};

// The combination step shared by the Python face and the tree analysis.  Children at
// index `shifts.size()` and beyond take part in the enumeration but not in the result.
void combine_into(Conditions& out, const std::vector<const Conditions*>& lists,
                  const std::vector<u64>& shifts, Poll& poll) {
    const std::size_t k = lists.size();
    for (const Conditions* l : lists)
        if (l->empty()) return;
    const std::size_t used = std::min(k, shifts.size());
    std::vector<std::size_t> pick(k, 0);
    for (;;) {
        std::size_t len = 0;
        for (std::size_t i = 0; i < used; ++i) len += (*lists[i])[pick[i]].size();
        poll.step(k + len);
        Condition cond;
        cond.reserve(len);
        for (std::size_t i = 0; i < used; ++i) {
            const u64 s = shifts[i];
            for (u64 e : (*lists[i])[pick[i]]) cond.push_back(e + s);  // wraps at 2^64
        }
        out.push_back(std::move(cond));
        // Odometer step: the last child moves fastest.
        std::size_t i = k;
        for (;;) {
            if (i == 0) return;
            --i;
            if (++pick[i] < lists[i]->size()) break;
            pick[i] = 0;
        }
    }
}

Conditions update_callable(const Graph& g, NodeId node, const OpCache& cache) {
    if (!g.is_op(node)) return {};
    auto it = cache.find(g.op_id(node));
    if (it == cache.end()) return {};
    const OpInfo& info = it->second;
    if (!info.has_callable || info.cumulative) return info.conditions;
    auto ch = g.children(node);
    if (ch.empty()) return info.conditions;
    NodeId callable = ch[0];
    if (g.is_op(callable)) return info.conditions;
    auto jt = cache.find(g.val_id(callable));
    if (jt == cache.end()) return {};
    // The callable's parameter i is the op's child i + 1; child 0 (the callable) is
    // always selected.
    Conditions out;
    out.reserve(jt->second.conditions.size());
    for (const Condition& q : jt->second.conditions) {
        Condition c;
        c.reserve(q.size() + 1);
        c.push_back(0);
        for (u64 p : q) c.push_back(p + 1);  // wraps at 2^64
        out.push_back(std::move(c));
    }
    return out;
}

const Conditions kNoConditions;
const Conditions kOneEmpty{Condition{}};

// Tree conditions of one node, evaluated bottom-up over the ops that the analysis
// recurses into (the first option of every child that some own condition leaves
// unselected).  Each such op is evaluated once; its result is kept until the last op
// that reads it has been evaluated.
class TreeConditions {
public:
    TreeConditions(const Graph& g, const OpCache& cache, ConditionOptions opts, LeafCounts& counts,
                   Poll& poll)
        : g_(g), cache_(cache), adopt_(opts.adopt_for_callable), counts_(counts), poll_(poll),
          slot_of_(g.size(), kNone) {}

    Conditions run(NodeId start) {
        if (is_value_leaf(start)) return kOneEmpty;
        for (Idx c : g_.children(start)) counts_.explore(c);
        counts_.mark_shared();

        // Discover the ops to evaluate, depth first, recording each after those it reads.
        std::vector<Idx> order;
        {
            struct Frame {
                Idx slot;
                std::uint32_t next;
            };
            std::vector<Frame> stack;
            Idx root = slot_for(start);
            expand(root);
            stack.push_back({root, 0});
            while (!stack.empty()) {
                poll_.step();
                Frame& top = stack.back();
                const Slot& sl = slots_[top.slot];
                if (top.next < sl.target_count) {
                    Idx t = targets_[sl.target_begin + top.next++];
                    if (!slots_[t].own) {
                        expand(t);
                        stack.push_back({t, 0});
                    }
                    continue;
                }
                order.push_back(top.slot);
                stack.pop_back();
            }
        }

        for (Idx s : order) {
            evaluate(s);
            const Slot& sl = slots_[s];
            for (std::uint64_t i = 0; i < sl.target_count; ++i) {
                Slot& t = slots_[targets_[sl.target_begin + i]];
                if (--t.users == 0) Conditions().swap(t.result);
            }
        }
        return std::move(slots_[order.back()].result);
    }

private:
    struct Slot {
        Idx node = 0;
        std::uint32_t users = 0;         // slots that still have to read this one
        Idx mark = kNone;                // last slot that listed this one as a target
        std::uint32_t target_count = 0;
        std::uint64_t target_begin = 0;  // this slot's targets in targets_
        const Conditions* own = nullptr; // own conditions; null until expanded
        Conditions result;
    };

    const Graph& g_;
    const OpCache& cache_;
    bool adopt_;
    LeafCounts& counts_;
    Poll& poll_;
    std::vector<Idx> slot_of_;
    std::vector<Slot> slots_;
    std::vector<Idx> targets_;
    std::deque<Conditions> adopted_;  // own conditions built by adoption (stable addresses)
    std::vector<std::uint8_t> selected_;

    bool is_value_leaf(NodeId x) const { return !g_.is_op(x) && g_.options(x).empty(); }

    Idx slot_for(NodeId x) {
        if (slot_of_[x] == kNone) {
            slot_of_[x] = Idx(slots_.size());
            slots_.emplace_back();
            slots_.back().node = Idx(x);
        }
        return slot_of_[x];
    }

    // Marks in `selected_` the children positions named by `q`.
    void select(const Condition& q, std::size_t k) {
        selected_.assign(k, 0);
        for (u64 p : q)
            if (p < k) selected_[p] = 1;
    }

    // A selected child contributes all its positions.  Checked while discovering, top
    // down, so that an impossible range fails before lower levels build large results.
    void check_range(NodeId c) const {
        if (counts_.overflowed(c) || counts_.count_repeated_leaves(c) >= kMaxRange)
            fail(Failure::CountTooLarge);
    }

    // Works out a slot's own conditions and the slots whose results it will read.
    void expand(Idx s) {
        const NodeId x = slots_[s].node;
        const Conditions* own = &kNoConditions;
        if (is_value_leaf(x)) {
            slots_[s].own = own;
            return;
        }
        if (adopt_) {
            adopted_.push_back(update_callable(g_, x, cache_));
            own = &adopted_.back();
        } else if (g_.is_op(x)) {
            auto it = cache_.find(g_.op_id(x));
            if (it != cache_.end()) own = &it->second.conditions;
        }
        slots_[s].own = own;
        slots_[s].target_begin = targets_.size();
        auto ch = g_.children(x);
        std::uint32_t count = 0;
        for (const Condition& q : *own) {
            poll_.step();
            select(q, ch.size());
            for (std::size_t p = 0; p < ch.size(); ++p) {
                if (selected_[p]) {
                    check_range(ch[p]);
                    continue;
                }
                auto opts = g_.options(ch[p]);
                if (opts.empty()) continue;
                Idx t = slot_for(opts[0]);  // may grow slots_
                if (slots_[t].mark == s) continue;
                slots_[t].mark = s;
                ++slots_[t].users;
                targets_.push_back(t);
                ++count;
            }
        }
        slots_[s].target_count = count;
    }

    void evaluate(Idx s) {
        const NodeId x = slots_[s].node;
        if (is_value_leaf(x)) {
            slots_[s].result = kOneEmpty;
            return;
        }
        const Conditions& own = *slots_[s].own;
        if (own.empty()) return;
        auto ch = g_.children(x);
        const std::size_t k = ch.size();

        // Offsets come from the distinct leaf counts of the earlier children.
        std::vector<u64> offsets(k, 0);
        for (std::size_t p = 1; p < k; ++p) offsets[p] = offsets[p - 1] + counts_.count_unique_leaves(ch[p - 1]);

        std::vector<Conditions> ranges(k);
        std::vector<const Conditions*> lists(k);
        Conditions out;
        for (const Condition& q : own) {
            select(q, k);
            for (std::size_t p = 0; p < k; ++p) {
                NodeId c = ch[p];
                if (selected_[p]) {
                    if (ranges[p].empty()) {
                        Condition r(counts_.count_repeated_leaves(c));
                        for (u64 i = 0; i < r.size(); ++i) {
                            poll_.step();
                            r[i] = i;
                        }
                        ranges[p].push_back(std::move(r));
                    }
                    lists[p] = &ranges[p];
                } else if (g_.options(c).empty()) {
                    lists[p] = &kOneEmpty;
                } else {
                    lists[p] = &slots_[slot_of_[g_.options(c)[0]]].result;
                }
            }
            combine_into(out, lists, offsets, poll_);
        }
        slots_[s].result = std::move(out);
    }
};

// Tree conditions with counts shared with the caller.
Conditions tree_conditions_with(const Graph& g, NodeId node, const OpCache& cache, ConditionOptions opts,
                                LeafCounts& counts, Poll& poll) {
    TreeConditions tc(g, cache, opts, counts, poll);
    return tc.run(node);
}

// The leaf sequence of `start`, described without materialising it: the distinct index
// of each leaf (order of first appearance) and the number of times it occurs.
struct SequenceIndex {
    std::vector<Idx> rank;   // distinct index of each leaf in the sequence, kNone otherwise
    std::vector<u64> occ;    // occurrences of each leaf (number of leaf-edge paths to it)
};

SequenceIndex index_sequence(const Graph& g, NodeId start, const LeafCounts& counts, Poll& poll) {
    SequenceIndex si{std::vector<Idx>(g.size(), kNone), std::vector<u64>(g.size(), 0)};
    // A depth-first search that skips nodes already entered meets the leaves in the order
    // of their first appearance: a repeated subtree only repeats leaves seen before.
    NodeSet seen(g.size());
    std::vector<NodeId> post;
    struct Frame {
        NodeId node;
        EdgeCursor cur;
    };
    std::vector<Frame> stack;
    Idx next_rank = 0;
    auto enter = [&](NodeId x) {
        seen.insert(x);
        if (g.options(x).empty()) si.rank[x] = next_rank++;
        stack.push_back({x, {}});
    };
    enter(start);
    while (!stack.empty()) {
        poll.step();
        Frame& top = stack.back();
        NodeId c;
        if (top.cur.next(g, top.node, c)) {
            if (!seen.contains(c)) enter(c);
            continue;
        }
        post.push_back(top.node);
        stack.pop_back();
    }
    // Path counts in topological order, saturating: a saturated count is 2^64 - 1 or more,
    // which no set of selected positions can match.  Nodes with an empty sequence lead to
    // no leaf and are skipped.
    std::vector<u64>& paths = si.occ;
    paths[start] = 1;
    for (std::size_t i = post.size(); i-- > 0;) {
        poll.step();
        NodeId y = post[i];
        if (g.options(y).empty() || counts.count_repeated_leaves(y) == 0) continue;
        for_each_leaf_edge(g, y, [&](NodeId c) {
            if (__builtin_add_overflow(paths[c], paths[y], &paths[c])) paths[c] = ~u64(0);
        });
    }
    return si;
}

// Translates one condition (positions in the leaf sequence of `start`) into the sorted
// distinct indices of the leaves it selects.  Returns false when some leaf occurs both at
// a selected and at an unselected position.
bool translate(const Graph& g, NodeId start, const Condition& q, const LeafCounts& counts,
               const SequenceIndex& si, std::vector<u64>& hits, Poll& poll, Condition& out) {
    Condition pos;
    pos.reserve(q.size());
    for (u64 p : q)
        if (counts.covers(start, 0, p)) pos.push_back(p);
    std::sort(pos.begin(), pos.end());
    pos.erase(std::unique(pos.begin(), pos.end()), pos.end());

    // Walk the sequence as a tree of position ranges, entering only the ranges that hold
    // a selected position; each selected position lands on exactly one leaf.
    std::vector<NodeId> touched;
    std::size_t j = 0;
    struct Frame {
        NodeId node;
        EdgeCursor cur;
        u64 base;  // position of the next child's first leaf
    };
    std::vector<Frame> stack;
    auto enter = [&](NodeId x, u64 base) {
        if (g.options(x).empty()) {
            if (hits[x]++ == 0) touched.push_back(x);
            ++j;
        } else {
            stack.push_back({x, {}, base});
        }
    };
    if (!pos.empty()) enter(start, 0);
    while (!stack.empty() && j < pos.size()) {
        poll.step();
        Frame& top = stack.back();
        NodeId c;
        if (!top.cur.next(g, top.node, c)) {
            stack.pop_back();
            continue;
        }
        // Positions still to place are >= base.  A child whose range reaches past 2^64
        // takes every remaining position, so the wrapped base is never used.
        const u64 base = top.base;
        top.base += counts.count_repeated_leaves(c);
        if (counts.covers(c, base, pos[j])) enter(c, base);
    }

    bool consistent = true;
    out.clear();
    for (NodeId l : touched) {
        if (hits[l] != si.occ[l]) consistent = false;
        out.push_back(si.rank[l]);
        hits[l] = 0;
    }
    std::sort(out.begin(), out.end());
    return consistent;
}

// Drops every entry that contains an earlier (shorter or equal) entry; an empty entry
// only removes entries holding at least `leaf_count` elements.  Entries are strictly
// increasing lists.
Conditions prune(const Conditions& translated, u64 leaf_count, Poll& poll) {
    std::vector<const Condition*> sorted;
    sorted.reserve(translated.size());
    for (const Condition& c : translated) sorted.push_back(&c);
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Condition* a, const Condition* b) { return a->size() < b->size(); });

    // Candidate containers of an entry X are the non-empty entries whose first element is
    // in X; index them by first element.
    u64 max_elem = 0;
    for (const Condition* c : sorted)
        if (!c->empty()) max_elem = std::max(max_elem, c->back());
    std::size_t first_empty = sorted.size();
    std::vector<std::vector<std::size_t>> by_first;
    bool any_nonempty = false;
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        if (sorted[i]->empty()) {
            first_empty = std::min(first_empty, i);
        } else {
            if (!any_nonempty) by_first.resize(max_elem + 1);
            any_nonempty = true;
            by_first[sorted[i]->front()].push_back(i);
        }
    }
    std::vector<std::size_t> mark(any_nonempty ? max_elem + 1 : 0, 0);
    std::size_t gen = 0;

    Conditions kept;
    for (std::size_t k = sorted.size(); k-- > 0;) {
        poll.step();
        const Condition& x = *sorted[k];
        bool drop = first_empty < k && x.size() >= leaf_count;
        if (!drop && !x.empty()) {
            ++gen;
            for (u64 e : x) mark[e] = gen;
            for (u64 e : x) {
                for (std::size_t j : by_first[e]) {
                    if (j >= k) break;  // indices are ascending
                    poll.step();
                    const Condition& y = *sorted[j];
                    if (std::all_of(y.begin(), y.end(), [&](u64 v) { return mark[v] == gen; })) {
                        drop = true;
                        break;
                    }
                }
                if (drop) break;
            }
        }
        if (!drop) kept.push_back(x);
    }
    std::sort(kept.begin(), kept.end(), [](const Condition& a, const Condition& b) {
        if (a.size() != b.size()) return a.size() < b.size();
        return a < b;
    });
    return kept;
}

}  // namespace

Conditions condition_combinations_internal(std::vector<Conditions> by_child,
                                           std::vector<std::uint64_t> offsets) {
    Poll poll;
    std::vector<const Conditions*> lists;
    lists.reserve(by_child.size());
    for (const Conditions& c : by_child) lists.push_back(&c);
    // No offsets: every child unshifted.  One offset: every child shifted by it.  More:
    // child i shifted by offset i, children without an offset left out.
    std::vector<u64> shifts;
    if (offsets.size() <= 1)
        shifts.assign(by_child.size(), offsets.empty() ? 0 : offsets[0]);
    else
        shifts = std::move(offsets);
    Conditions out;
    combine_into(out, lists, shifts, poll);
    return out;
}

Conditions _update_callable_conditions(const Graph& g, NodeId node, const OpCache& cache) {
    g.check(node);
    return update_callable(g, node, cache);
}

Conditions _tree_conditions(const Graph& g, NodeId node, const OpCache& cache,
                            ConditionOptions opts) {
    g.check(node);
    Poll poll;
    LeafCounts counts(g, poll);
    return tree_conditions_with(g, node, cache, opts, counts, poll);
}

Conditions get_conditions(const Graph& g, NodeId node, const OpCache& cache,
                          ConditionOptions opts) {
    const u64 leaf_count = leaves(g).size();
    g.check(node);
    const std::span<const Idx> options = g.options(node);
    if (options.empty()) return kOneEmpty;
    const NodeId op = options[0];

    Poll poll;
    LeafCounts counts(g, poll);
    Conditions tree = tree_conditions_with(g, op, cache, opts, counts, poll);

    const Idx parent = g.parent(op);
    const NodeId start = parent != kNone ? NodeId(parent) : op;
    counts.explore(start);

    Conditions translated;
    if (!tree.empty()) {
        SequenceIndex si = index_sequence(g, start, counts, poll);
        std::vector<u64> hits(g.size(), 0);
        Condition t;
        for (const Condition& q : tree) {
            if (translate(g, start, q, counts, si, hits, poll, t)) translated.push_back(t);
        }
    }
    if (translated.empty()) {
        Condition all(leaf_count);
        for (u64 i = 0; i < leaf_count; ++i) all[i] = i;
        translated.push_back(std::move(all));
    }
    return prune(translated, leaf_count, poll);
}

}  // namespace quill
