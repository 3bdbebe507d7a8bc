// The conditions of a value node: the tree conditions of its first option, translated
// from positions in the leaf sequence into sorted indices of distinct leaves, with the
// inconsistent ones dropped and those that contain another pruned.
#include <algorithm>

#include "conditions_internal.hpp"
#include "walk.hpp"

namespace quill {

namespace {

using u64 = std::uint64_t;

// The order of u64 values, counting each comparison, so that the sort of a long list is
// checked within.  A sort stopped half way leaves a scratch list that is dropped.
inline auto polled_less(Poll& poll) {
    return [&poll](u64 a, u64 b) {
        poll.step();
        return a < b;
    };
}

// The leaf sequence of `start`, described without materialising it: the distinct index
// of each leaf (order of first appearance) and the number of times it occurs.
struct SequenceIndex {
    explicit SequenceIndex(std::uint64_t bound) : rank(bound), occ(bound) {}
    NodeMap<Idx> rank;  // distinct index of each leaf in the sequence
    NodeMap<u64> occ;   // occurrences of each leaf (number of leaf-edge paths to it)
};

SequenceIndex index_sequence(const Graph& g, NodeId start, const LeafCounts& counts, Poll& poll) {
    SequenceIndex si(g.size());
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
        if (g.options(x).empty()) si.rank.set(x, next_rank++);
        stack.push_back({x, {}});
    };
    enter(start);
    while (!stack.empty()) {
        poll.step();
        Frame& top = stack.back();
        NodeId c;
        if (top.cur.next(g, top.node, c, poll)) {
            if (!seen.contains(c)) enter(c);
            continue;
        }
        post.push_back(top.node);
        stack.pop_back();
    }
    // Path counts in topological order, saturating: a saturated count is 2^64 - 1 or more,
    // which no set of selected positions can match.  Nodes with an empty sequence lead to
    // no leaf and are skipped.
    NodeMap<u64>& paths = si.occ;
    paths.set(start, 1);
    for (std::size_t i = post.size(); i-- > 0;) {
        poll.step();
        NodeId y = post[i];
        if (g.options(y).empty() || counts.count_repeated_leaves(y) == 0) continue;
        const u64 py = paths.get(y);
        for_each_leaf_edge(g, y, poll, [&](NodeId c) {
            u64& pc = paths.ref(c);
            if (__builtin_add_overflow(pc, py, &pc)) pc = ~u64(0);
        });
    }
    return si;
}

// Translates one condition (positions in the leaf sequence of `start`) into the sorted
// distinct indices of the leaves it selects.  Returns false when some leaf occurs both at
// a selected and at an unselected position.
bool translate(const Graph& g, NodeId start, const Condition& q, const LeafCounts& counts,
               const SequenceIndex& si, NodeMap<u64>& hits, Poll& poll, Condition& out) {
    Condition pos;
    pos.reserve(q.size());
    poll.step(poll.scan(q.size(), [&](std::size_t i) {
        if (counts.covers(start, 0, q[i])) pos.push_back(q[i]);
    }));
    std::sort(pos.begin(), pos.end(), polled_less(poll));
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
            if (hits.ref(x)++ == 0) touched.push_back(x);
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
        if (!top.cur.next(g, top.node, c, poll)) {
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
    poll.step(poll.scan(touched.size(), [&](std::size_t i) {
        const NodeId l = touched[i];
        if (hits.get(l) != si.occ.get(l)) consistent = false;
        out.push_back(si.rank.get(l));
        hits.set(l, 0);
    }));
    std::sort(out.begin(), out.end(), polled_less(poll));
    return consistent;
}

// Drops every entry that contains an earlier (shorter or equal) entry; an empty entry
// only removes entries holding at least `leaf_count` elements.  Entries are strictly
// increasing lists.
Conditions prune(const Conditions& translated, u64 leaf_count, Poll& poll) {
    poll.step(translated.size());
    std::vector<const Condition*> sorted;
    sorted.reserve(translated.size());
    for (const Condition& c : translated) sorted.push_back(&c);
    std::stable_sort(sorted.begin(), sorted.end(), [&](const Condition* a, const Condition* b) {
        poll.step();
        return a->size() < b->size();
    });

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
            poll.step(poll.scan(x.size(), [&](std::size_t i) { mark[x[i]] = gen; }));
            for (u64 e : x) {
                poll.step();
                for (std::size_t j : by_first[e]) {
                    if (j >= k) break;  // indices are ascending
                    const Condition& y = *sorted[j];
                    // Whether y holds marked elements only; stops at the first that
                    // is not, and counts what it reads a part at a time.
                    poll.step();
                    bool all = true;
                    for (std::size_t i = 0; all && i < y.size();) {
                        const std::size_t from = i, end = std::min(y.size(), i + Poll::kEvery);
                        while (i < end && mark[y[i]] == gen) ++i;
                        all = i == end;
                        poll.step(i - from);
                    }
                    if (all) {
                        drop = true;
                        break;
                    }
                }
                if (drop) break;
            }
        }
        if (!drop) kept.push_back(x);
    }
    poll.step(kept.size());
    std::sort(kept.begin(), kept.end(), [&](const Condition& a, const Condition& b) {
        poll.step();
        if (a.size() != b.size()) return a.size() < b.size();
        return a < b;
    });
    return kept;
}

}  // namespace

Conditions get_conditions(const Graph& g, NodeId node, const OpCache& cache,
                          ConditionOptions opts) {
    Poll poll;
    const u64 leaf_count = leaves(g, poll).size();
    g.check(node);
    const std::span<const Idx> options = g.options(node);
    if (options.empty()) return kOneEmpty;
    const NodeId op = options[0];

    LeafCounts counts(g, poll);
    Conditions tree = tree_conditions_with(g, op, cache, opts, counts, poll);

    const Idx parent = g.parent(op);
    const NodeId start = parent != kNone ? NodeId(parent) : op;
    counts.explore(start);

    Conditions translated;
    if (!tree.empty()) {
        SequenceIndex si = index_sequence(g, start, counts, poll);
        NodeMap<u64> hits(g.size());
        Condition t;
        for (const Condition& q : tree) {
            if (translate(g, start, q, counts, si, hits, poll, t)) translated.push_back(t);
        }
    }
    if (translated.empty()) {
        poll.step(leaf_count);
        Condition all(leaf_count);
        for (u64 i = 0; i < leaf_count; ++i) all[i] = i;
        translated.push_back(std::move(all));
    }
    return prune(translated, leaf_count, poll);
}

}  // namespace quill
