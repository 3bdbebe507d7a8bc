// The combination step and the callable update of the condition analysis.
#include <algorithm>
#include <type_traits>

#include "conditions_internal.hpp"

namespace quill {

using u64 = std::uint64_t;

namespace {

// Every way of picking one condition per list, in odometer order (the last list moves
// fastest), each pick shifted and added to `out`: a list of conditions, or flat lists.
// The lists of many children and the positions of long conditions are counted as they
// are read.
template <class Out>
void combine(Out& out, const std::vector<const Conditions*>& lists,
             const std::vector<u64>& shifts, Poll& poll) {
    const std::size_t list_count = lists.size();
    bool none = false;
    poll.step(poll.scan(list_count, [&](std::size_t i) { none |= lists[i]->empty(); }));
    if (none) return;
    // The lists whose picks go into the result; the others only multiply the count.
    const std::size_t used = std::min(list_count, shifts.size());
    std::vector<std::size_t> pick(list_count, 0);  // per list, the index of its pick
    Condition cond;
    for (;;) {
        std::size_t len = 0;
        poll.step(poll.scan(used, [&](std::size_t i) { len += (*lists[i])[pick[i]].size(); }));
        poll.step(len);  // the copy below, at memory speed
        cond.clear();
        cond.reserve(len);
        poll.step(poll.scan(used, [&](std::size_t i) {
            const u64 s = shifts[i];
            for (u64 e : (*lists[i])[pick[i]]) cond.push_back(e + s);  // wraps at 2^64
        }));
        if constexpr (std::is_same_v<Out, Conditions>) {
            out.push_back(std::move(cond));
            cond = Condition();
        } else {
            out.push_back(cond);
        }
        // Odometer step: the last child moves fastest.
        std::size_t i = list_count;
        for (;;) {
            poll.step();
            if (i == 0) return;
            --i;
            if (++pick[i] < lists[i]->size()) break;
            pick[i] = 0;
        }
    }
}

}  // namespace

void combine_into(Conditions& out, const std::vector<const Conditions*>& lists,
                  const std::vector<u64>& shifts, Poll& poll) {
    combine(out, lists, shifts, poll);
}

namespace {

// A copy of an op's own conditions, each counted as an item produced.
Conditions copy_of(const Conditions& conditions, Poll& poll) {
    poll.step(conditions.size());
    return conditions;
}

}  // namespace

Conditions update_callable(const Graph& g, NodeId node, const OpCache& cache, Poll& poll) {
    if (!g.is_op(node)) return {};
    auto it = cache.find(g.op_id(node));
    if (it == cache.end()) return {};
    const OpInfo& info = it->second;
    if (!info.has_callable || info.cumulative) return copy_of(info.conditions, poll);
    const std::span<const Idx> children = g.children(node);
    if (children.empty()) return copy_of(info.conditions, poll);
    const NodeId callable = children[0];
    if (g.is_op(callable)) return copy_of(info.conditions, poll);
    auto callable_it = cache.find(g.val_id(callable));
    if (callable_it == cache.end()) return {};
    // The callable's parameter i is the op's child i + 1; child 0 (the callable) is
    // always selected.
    Conditions out;
    out.reserve(callable_it->second.conditions.size());
    for (const Condition& parameters : callable_it->second.conditions) {
        poll.step(1 + parameters.size());
        Condition moved;
        moved.reserve(parameters.size() + 1);
        moved.push_back(0);
        for (u64 p : parameters) moved.push_back(p + 1);  // wraps at 2^64
        out.push_back(std::move(moved));
    }
    return out;
}

FlatConditions condition_combinations_internal(std::vector<Conditions> by_child,
                                               std::vector<std::uint64_t> offsets) {
    Poll poll;
    std::vector<const Conditions*> lists;
    lists.reserve(by_child.size());
    poll.step(poll.scan(by_child.size(), [&](std::size_t i) { lists.push_back(&by_child[i]); }));
    // No offsets: every child unshifted.  One offset: every child shifted by it.  More:
    // child i shifted by offset i, children without an offset left out.
    std::vector<u64> shifts;
    if (offsets.size() <= 1)
        shifts.assign(by_child.size(), offsets.empty() ? 0 : offsets[0]);
    else
        shifts = std::move(offsets);
    FlatConditions out;
    combine(out, lists, shifts, poll);
    return out;
}

Conditions _update_callable_conditions(const Graph& g, NodeId node, const OpCache& cache) {
    g.check(node);
    Poll poll;
    return update_callable(g, node, cache, poll);
}

}  // namespace quill
