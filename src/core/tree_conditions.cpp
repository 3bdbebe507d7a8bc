// Tree conditions: the conditions of the tree below a node, as positions in its leaf
// sequence.
//
// The ops that the analysis recurses into are evaluated bottom-up on explicit stacks, so
// tree depth costs heap, not native stack, and an op reached along several paths is
// evaluated once per call, so graphs with shared values stay polynomial.
#include <deque>

#include "conditions_internal.hpp"

namespace quill {

namespace {

using u64 = std::uint64_t;

// A range of this many positions could never be materialised (it is beyond the largest
// vector of 64-bit values); asking for one is an error rather than an allocation that
// takes the process down.
constexpr u64 kMaxRange = u64(1) << 60;

// Tree conditions of one node, evaluated bottom-up over the ops that the analysis
// recurses into (the first option of every child that some own condition leaves
// unselected).  Each such op is evaluated once; its result is kept until the last op
// that reads it has been evaluated.
class TreeConditions {
public:
    TreeConditions(const Graph& g, const OpCache& cache, ConditionOptions opts, LeafCounts& counts,
                   Poll& poll)
        : g_(g), cache_(cache), adopt_(opts.adopt_for_callable), counts_(counts), poll_(poll),
          slot_of_(g.size()) {}

    Conditions run(NodeId start) {
        if (is_value_leaf(start)) return kOneEmpty;
        const std::span<const Idx> start_children = g_.children(start);
        poll_.step(poll_.scan(start_children.size(),
                              [&](std::size_t i) { counts_.explore(start_children[i]); }));
        counts_.mark_shared();

        // Discover the ops to evaluate, depth first, recording each after those it reads.
        std::vector<Idx> order;
        {
            struct Frame {
                Idx slot;
                std::uint32_t next;  // the next of the slot's targets to look at
            };
            std::vector<Frame> stack;
            const Idx root = slot_for(start);
            expand(root);
            stack.push_back({root, 0});
            while (!stack.empty()) {
                poll_.step();
                Frame& top = stack.back();
                const Slot& slot = slots_[top.slot];
                if (top.next < slot.target_count) {
                    const Idx target = targets_[slot.target_begin + top.next++];
                    if (!slots_[target].own) {
                        expand(target);
                        stack.push_back({target, 0});
                    }
                    continue;
                }
                order.push_back(top.slot);
                stack.pop_back();
            }
        }

        for (Idx s : order) {
            evaluate(s);
            const Slot& slot = slots_[s];
            poll_.step(poll_.scan(slot.target_count, [&](std::size_t i) {
                Slot& target = slots_[targets_[slot.target_begin + i]];
                if (--target.users == 0) Conditions().swap(target.result);
            }));
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
    NodeMap<Idx> slot_of_;  // slot + 1 of each node given one, 0 for the others
    std::vector<Slot> slots_;
    std::vector<Idx> targets_;
    std::deque<Conditions> adopted_;  // own conditions built by adoption (stable addresses)
    std::vector<std::uint8_t> selected_;  // per child position: whether a condition names it

    bool is_value_leaf(NodeId node) const { return !g_.is_op(node) && g_.options(node).empty(); }

    Idx slot_for(NodeId node) {
        Idx& slot_plus_one = slot_of_.ref(node);
        if (slot_plus_one == 0) {
            slots_.emplace_back();
            slots_.back().node = Idx(node);
            slot_plus_one = Idx(slots_.size());
        }
        return slot_plus_one - 1;
    }

    // Marks in `selected_` the children positions named by `q`; a long condition polls
    // within, and the rest of it is counted here too.
    void select(const Condition& condition, std::size_t child_count) {
        selected_.assign(child_count, 0);
        poll_.step(poll_.scan(condition.size(), [&](std::size_t i) {
            if (condition[i] < child_count) selected_[condition[i]] = 1;
        }));
    }

    // A selected child contributes all its positions.  Checked while discovering, top
    // down, so that an impossible range fails before lower levels build large results.
    void check_range(NodeId child) const {
        if (counts_.overflowed(child) || counts_.count_repeated_leaves(child) >= kMaxRange)
            fail(Failure::CountTooLarge);
    }

    // The conditions a node brings itself: a callable's adopted ones, an op's cached
    // ones, or none.
    const Conditions* own_conditions(NodeId node) {
        if (adopt_) {
            adopted_.push_back(update_callable(g_, node, cache_, poll_));
            return &adopted_.back();
        }
        if (g_.is_op(node)) {
            auto it = cache_.find(g_.op_id(node));
            if (it != cache_.end()) return &it->second.conditions;
        }
        return &kNoConditions;
    }

    // Works out a slot's own conditions and the slots whose results it will read.
    void expand(Idx s) {
        const NodeId node = slots_[s].node;
        if (is_value_leaf(node)) {
            slots_[s].own = &kNoConditions;
            return;
        }
        const Conditions* own = own_conditions(node);
        slots_[s].own = own;
        slots_[s].target_begin = targets_.size();
        const std::span<const Idx> children = g_.children(node);
        std::uint32_t count = 0;
        for (const Condition& condition : *own) {
            select(condition, children.size());
            poll_.step(1 + poll_.scan(children.size(), [&](std::size_t position) {
                if (selected_[position]) {
                    check_range(children[position]);
                    return;
                }
                const std::span<const Idx> options = g_.options(children[position]);
                if (options.empty()) return;
                const Idx target = slot_for(options[0]);  // may grow slots_
                if (slots_[target].mark == s) return;
                slots_[target].mark = s;
                ++slots_[target].users;
                targets_.push_back(target);
                ++count;
            }));
        }
        slots_[s].target_count = count;
    }

    // The one condition of a selected child: all its positions, built the first time
    // a condition selects it.
    const Conditions* whole_range(Conditions& range, NodeId child) {
        if (range.empty()) {
            Condition all(counts_.count_repeated_leaves(child));
            for (u64 i = 0; i < all.size(); ++i) {
                poll_.step();
                all[i] = i;
            }
            range.push_back(std::move(all));
        }
        return &range;
    }

    void evaluate(Idx s) {
        const NodeId node = slots_[s].node;
        if (is_value_leaf(node)) {
            slots_[s].result = kOneEmpty;
            return;
        }
        const Conditions& own = *slots_[s].own;
        if (own.empty()) return;
        const std::span<const Idx> children = g_.children(node);
        const std::size_t child_count = children.size();

        // Offsets come from the distinct leaf counts of the earlier children.
        std::vector<u64> offsets(child_count, 0);
        poll_.step(poll_.scan(child_count, [&](std::size_t p) {
            if (p > 0) offsets[p] = offsets[p - 1] + counts_.count_unique_leaves(children[p - 1]);
        }));

        // Per own condition, each child's list of conditions to combine: its whole range
        // when selected, the result of its first option otherwise (one empty condition
        // for a leaf).
        std::vector<Conditions> ranges(child_count);
        std::vector<const Conditions*> lists(child_count);
        Conditions out;
        for (const Condition& condition : own) {
            select(condition, child_count);
            poll_.step(poll_.scan(child_count, [&](std::size_t p) {
                const NodeId child = children[p];
                if (selected_[p])
                    lists[p] = whole_range(ranges[p], child);
                else if (g_.options(child).empty())
                    lists[p] = &kOneEmpty;
                else
                    lists[p] = &slots_[slot_of_.get(g_.options(child)[0]) - 1].result;
            }));
            combine_into(out, lists, offsets, poll_);
        }
        slots_[s].result = std::move(out);
    }
};

}  // namespace

Conditions tree_conditions_with(const Graph& g, NodeId node, const OpCache& cache,
                                ConditionOptions opts, LeafCounts& counts, Poll& poll) {
    TreeConditions search(g, cache, opts, counts, poll);
    return search.run(node);
}

Conditions _tree_conditions(const Graph& g, NodeId node, const OpCache& cache,
                            ConditionOptions opts) {
    g.check(node);
    Poll poll;
    LeafCounts counts(g, poll);
    return tree_conditions_with(g, node, cache, opts, counts, poll);
}

}  // namespace quill
