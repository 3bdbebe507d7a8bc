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
            poll_.step(poll_.scan(sl.target_count, [&](std::size_t i) {
                Slot& t = slots_[targets_[sl.target_begin + i]];
                if (--t.users == 0) Conditions().swap(t.result);
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
    std::vector<std::uint8_t> selected_;

    bool is_value_leaf(NodeId x) const { return !g_.is_op(x) && g_.options(x).empty(); }

    Idx slot_for(NodeId x) {
        Idx& s = slot_of_.ref(x);
        if (s == 0) {
            slots_.emplace_back();
            slots_.back().node = Idx(x);
            s = Idx(slots_.size());
        }
        return s - 1;
    }

    // Marks in `selected_` the children positions named by `q`; a long condition polls
    // within, and the rest of it is counted here too.
    void select(const Condition& q, std::size_t k) {
        selected_.assign(k, 0);
        poll_.step(poll_.scan(q.size(), [&](std::size_t i) {
            if (q[i] < k) selected_[q[i]] = 1;
        }));
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
            adopted_.push_back(update_callable(g_, x, cache_, poll_));
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
            select(q, ch.size());
            poll_.step(1 + poll_.scan(ch.size(), [&](std::size_t p) {
                if (selected_[p]) {
                    check_range(ch[p]);
                    return;
                }
                auto opts = g_.options(ch[p]);
                if (opts.empty()) return;
                Idx t = slot_for(opts[0]);  // may grow slots_
                if (slots_[t].mark == s) return;
                slots_[t].mark = s;
                ++slots_[t].users;
                targets_.push_back(t);
                ++count;
            }));
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
        poll_.step(poll_.scan(k, [&](std::size_t p) {
            if (p > 0) offsets[p] = offsets[p - 1] + counts_.count_unique_leaves(ch[p - 1]);
        }));

        std::vector<Conditions> ranges(k);
        std::vector<const Conditions*> lists(k);
        Conditions out;
        for (const Condition& q : own) {
            select(q, k);
            poll_.step(poll_.scan(k, [&](std::size_t p) {
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
                    lists[p] = &slots_[slot_of_.get(g_.options(c)[0]) - 1].result;
                }
            }));
            combine_into(out, lists, offsets, poll_);
        }
        slots_[s].result = std::move(out);
    }
};

}  // namespace

Conditions tree_conditions_with(const Graph& g, NodeId node, const OpCache& cache,
                                ConditionOptions opts, LeafCounts& counts, Poll& poll) {
    TreeConditions tc(g, cache, opts, counts, poll);
    return tc.run(node);
}

Conditions _tree_conditions(const Graph& g, NodeId node, const OpCache& cache,
                            ConditionOptions opts) {
    g.check(node);
    Poll poll;
    LeafCounts counts(g, poll);
    return tree_conditions_with(g, node, cache, opts, counts, poll);
}

}  // namespace quill
