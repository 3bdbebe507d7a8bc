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
    explicit SequenceIndex(std::uint64_t bound) : rank(bound), occurrences(bound) {}
    NodeMap<Idx> rank;  // distinct index of each leaf in the sequence
    NodeMap<u64> occurrences;  // of each leaf: the number of leaf-edge paths to it
};

SequenceIndex index_sequence(const Graph& g, NodeId start, const LeafCounts& counts, Poll& poll) {
    SequenceIndex sequence(g.size());
    // A depth-first search that skips nodes already entered meets the leaves in the order
    // of their first appearance: a repeated subtree only repeats leaves seen before.
    NodeSet seen(g.size());
    std::vector<NodeId> post_order;  // each node after everything below it
    struct Frame {
        NodeId node;
        EdgeCursor cursor;
    };
    std::vector<Frame> stack;
    Idx next_rank = 0;
    auto enter = [&](NodeId node) {
        seen.insert(node);
        if (g.options(node).empty()) sequence.rank.set(node, next_rank++);
        stack.push_back({node, {}});
    };
    enter(start);
    while (!stack.empty()) {
        poll.step();
        Frame& top = stack.back();
        NodeId child;
        if (top.cursor.next(g, top.node, child, poll)) {
            if (!seen.contains(child)) enter(child);
            continue;
        }
        post_order.push_back(top.node);
        stack.pop_back();
    }
    // Path counts in topological order, saturating: a saturated count is 2^64 - 1 or more,
    // which no set of selected positions can match.  Nodes with an empty sequence lead to
    // no leaf and are skipped.
    NodeMap<u64>& paths = sequence.occurrences;
    paths.set(start, 1);
    for (std::size_t i = post_order.size(); i-- > 0;) {
        poll.step();
        const NodeId node = post_order[i];
        if (g.options(node).empty() || counts.count_repeated_leaves(node) == 0) continue;
        const u64 paths_to_node = paths.get(node);
        for_each_leaf_edge(g, node, poll, [&](NodeId child) {
            u64& paths_to_child = paths.ref(child);
            if (__builtin_add_overflow(paths_to_child, paths_to_node, &paths_to_child))
                paths_to_child = ~u64(0);
        });
    }
    return sequence;
}

// The positions of `condition` that lie in the leaf sequence of `start`, ascending,
// each once.
Condition positions_in_sequence(NodeId start, const Condition& condition,
                                const LeafCounts& counts, Poll& poll) {
    Condition positions;
    positions.reserve(condition.size());
    poll.step(poll.scan(condition.size(), [&](std::size_t i) {
        if (counts.covers(start, 0, condition[i])) positions.push_back(condition[i]);
    }));
    std::sort(positions.begin(), positions.end(), polled_less(poll));
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
    return positions;
}

// Places the ascending `positions` on the leaves of the sequence of `start`, counting
// in `hits` how many land on each leaf, and returns the leaves hit, each once, in the
// order first hit.  The sequence is walked as a tree of position ranges, entering only
// the ranges that hold a position still to place; each position lands on exactly one
// leaf.
std::vector<NodeId> place_positions(const Graph& g, NodeId start, const Condition& positions,
                                    const LeafCounts& counts, NodeMap<u64>& hits, Poll& poll) {
    std::vector<NodeId> touched;
    std::size_t placed = 0;  // the positions placed so far
    struct Frame {
        NodeId node;
        EdgeCursor cursor;
        u64 base;  // position of the next child's first leaf
    };
    std::vector<Frame> stack;
    auto enter = [&](NodeId node, u64 base) {
        if (g.options(node).empty()) {
            if (hits.ref(node)++ == 0) touched.push_back(node);
            ++placed;
        } else {
            stack.push_back({node, {}, base});
        }
    };
    if (!positions.empty()) enter(start, 0);
    while (!stack.empty() && placed < positions.size()) {
        poll.step();
        Frame& top = stack.back();
        NodeId child;
        if (!top.cursor.next(g, top.node, child, poll)) {
            stack.pop_back();
            continue;
        }
        // Positions still to place are >= base.  A child whose range reaches past 2^64
        // takes every remaining position, so the wrapped base is never used.
        const u64 base = top.base;
        top.base += counts.count_repeated_leaves(child);
        if (counts.covers(child, base, positions[placed])) enter(child, base);
    }
    return touched;
}

// Stores in `out` the sorted distinct indices of the `touched` leaves and clears their
// hits.  Returns false when some leaf was hit fewer times than it occurs: it stands at
// an unselected position too.
bool leaf_indices(const std::vector<NodeId>& touched, const SequenceIndex& sequence,
                  NodeMap<u64>& hits, Poll& poll, Condition& out) {
    bool consistent = true;
    out.clear();
    poll.step(poll.scan(touched.size(), [&](std::size_t i) {
        const NodeId leaf = touched[i];
        if (hits.get(leaf) != sequence.occurrences.get(leaf)) consistent = false;
        out.push_back(sequence.rank.get(leaf));
        hits.set(leaf, 0);
    }));
    std::sort(out.begin(), out.end(), polled_less(poll));
    return consistent;
}

// Translates one condition (positions in the leaf sequence of `start`) into the sorted
// distinct indices of the leaves it selects.  Returns false when some leaf occurs both at
// a selected and at an unselected position.
bool translate(const Graph& g, NodeId start, const Condition& condition,
               const LeafCounts& counts, const SequenceIndex& sequence, NodeMap<u64>& hits,
               Poll& poll, Condition& out) {
    const Condition positions = positions_in_sequence(start, condition, counts, poll);
    const std::vector<NodeId> touched = place_positions(g, start, positions, counts, hits, poll);
    return leaf_indices(touched, sequence, hits, poll, out);
}

// Pointers to the entries, shortest first, entries of one size in their given order.
std::vector<const Condition*> sorted_by_size(const Conditions& entries, Poll& poll) {
    poll.step(entries.size());
    std::vector<const Condition*> sorted;
    sorted.reserve(entries.size());
    for (const Condition& c : entries) sorted.push_back(&c);
    std::stable_sort(sorted.begin(), sorted.end(), [&](const Condition* a, const Condition* b) {
        poll.step();
        return a->size() < b->size();
    });
    return sorted;
}

// Answers, for the entries sorted by size, whether an entry contains a non-empty entry
// sorted before it.  The candidates contained in an entry X are the non-empty entries
// whose first element is in X, indexed by first element; X's elements are stamped, and a
// candidate is contained when all its elements carry the stamp.
class ContainmentTest {
public:
    ContainmentTest(const std::vector<const Condition*>& sorted, Poll& poll)
        : sorted_(sorted), poll_(poll) {
        u64 max_elem = 0;
        for (const Condition* c : sorted)
            if (!c->empty()) max_elem = std::max(max_elem, c->back());
        bool any_nonempty = false;
        for (std::size_t i = 0; i < sorted.size(); ++i) {
            if (sorted[i]->empty()) {
                first_empty_ = std::min(first_empty_, i);
                continue;
            }
            if (!any_nonempty) by_first_.resize(max_elem + 1);
            any_nonempty = true;
            by_first_[sorted[i]->front()].push_back(i);
        }
        stamp_of_.assign(any_nonempty ? max_elem + 1 : 0, 0);
    }

    // The position of the first empty entry, sorted.size() when there is none.
    std::size_t first_empty() const { return first_empty_; }

    // Whether entry k (non-empty) contains some non-empty entry sorted before it.
    bool contains_earlier(std::size_t k) {
        const Condition& entry = *sorted_[k];
        ++stamp_;
        poll_.step(poll_.scan(entry.size(), [&](std::size_t i) { stamp_of_[entry[i]] = stamp_; }));
        for (u64 e : entry) {
            poll_.step();
            for (std::size_t j : by_first_[e]) {
                if (j >= k) break;  // indices are ascending
                if (all_stamped(*sorted_[j])) return true;
            }
        }
        return false;
    }

private:
    const std::vector<const Condition*>& sorted_;
    Poll& poll_;
    std::size_t first_empty_ = sorted_.size();
    std::vector<std::vector<std::size_t>> by_first_;  // by_first_[e]: entries starting with e
    std::vector<std::size_t> stamp_of_;  // per element, the stamp of the last entry holding it
    std::size_t stamp_ = 0;              // the stamp of the entry being tested

    // Whether every element of `candidate` carries the current stamp; stops at the first
    // that does not, and counts what it reads a part at a time.
    bool all_stamped(const Condition& candidate) {
        poll_.step();
        for (std::size_t i = 0; i < candidate.size();) {
            const std::size_t from = i, end = std::min(candidate.size(), i + Poll::kEvery);
            while (i < end && stamp_of_[candidate[i]] == stamp_) ++i;
            poll_.step(i - from);
            if (i != end) return false;
        }
        return true;
    }
};

// The kept entries in their final order: by size, then element by element.
void sort_by_size_then_elements(Conditions& kept, Poll& poll) {
    poll.step(kept.size());
    std::sort(kept.begin(), kept.end(), [&](const Condition& a, const Condition& b) {
        poll.step();
        if (a.size() != b.size()) return a.size() < b.size();
        return a < b;
    });
}

// Drops every entry that contains an earlier (shorter or equal) entry; an empty entry
// only removes entries holding at least `leaf_count` elements.  Entries are strictly
// increasing lists.
Conditions prune(const Conditions& translated, u64 leaf_count, Poll& poll) {
    const std::vector<const Condition*> sorted = sorted_by_size(translated, poll);
    ContainmentTest containment(sorted, poll);
    Conditions kept;
    for (std::size_t k = sorted.size(); k-- > 0;) {
        poll.step();
        const Condition& entry = *sorted[k];
        const bool drop = (containment.first_empty() < k && entry.size() >= leaf_count) ||
                          (!entry.empty() && containment.contains_earlier(k));
        if (!drop) kept.push_back(entry);
    }
    sort_by_size_then_elements(kept, poll);
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
        const SequenceIndex sequence = index_sequence(g, start, counts, poll);
        NodeMap<u64> hits(g.size());  // per leaf, the selected positions that land on it
        Condition leaf_indices;
        for (const Condition& condition : tree) {
            if (translate(g, start, condition, counts, sequence, hits, poll, leaf_indices))
                translated.push_back(leaf_indices);
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
