// Cross sections of a target leaf.
//
// Every way of choosing one value node on each upward trace of the leaf is tried in
// odometer order (first trace slowest, positions upward).  A choice keeps only its
// topmost members: a chosen node is dropped when a node chosen for another trace stands
// on its own trace at or above it.  The given leaves that lie below none of the kept
// nodes complete the cut.  Cuts are told apart by the XOR of the member hashes, so the
// same set found again in another order is dropped.
#include "cross_sections.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "hash.hpp"
#include "id_sets.hpp"
#include "reach.hpp"
#include "traces.hpp"

namespace quill {

namespace {

using Trace = std::span<const NodeId>;

class CutSearch {
public:
    // `traces` are the upward paths of the leaf, value nodes only, none of them empty;
    // their entries are node ids met by the search, hence valid.
    CutSearch(const Graph& g, const Traces& traces, std::span<const NodeId> leaves, Poll& poll)
        : g_(g), trace_count_(traces.size()), leaves_(leaves), poll_(poll), choice_(trace_count_, 0),
          chosen_(trace_count_ ? g.size() : 0), index_(trace_count_), in_cut_(g.size()) {
        traces_.reserve(trace_count_);
        poll_.step(poll_.scan(trace_count_, [&](std::size_t i) {
            traces_.push_back(traces[i]);
            chosen_.insert(traces_[i][0]);
        }));
    }

    Cuts run() {
        Cuts result;
        U64Set seen;  // the signatures of the cuts found so far
        // With one trace every choice makes a cut of its own: the cut of a position holds
        // the node chosen there, and the cut of any position above it does not (that node
        // lies below the higher choice, so it is covered and never added as a leaf).  Its
        // cuts skip the set, whose probes of millions of signatures miss the cache.
        const bool distinct = trace_count_ == 1;
        do {
            poll_.step();
            std::uint64_t height = 0;
            std::uint64_t signature = 0;
            take_topmost(height, signature);
            if (!leaves_.empty()) add_uncovered_leaves(signature);
            if (distinct || seen.insert(signature)) {
                poll_.step(cut_.size());
                result.push_back(cut_, height);
            }
        } while (next_choice());
        return result;
    }

private:
    // What position_on answers for an id not on the trace: no position is that large.
    static constexpr std::size_t kNowhere = ~std::size_t(0);

    const Graph& g_;
    std::vector<Trace> traces_;  // spans over the traces, which outlive the search
    const std::size_t trace_count_;
    const std::span<const NodeId> leaves_;
    Poll& poll_;
    // choice_[i]: the chosen position on trace i.  chosen_: the chosen nodes, each as many
    // times as traces chose it.
    std::vector<std::size_t> choice_;
    NodeMultiset chosen_;
    // Where an id stands on a trace, for long traces: the choices of the other traces are
    // then looked up instead of scanning every entry above the chosen one.  Sorted by id
    // and built the first time a trace needs it; a trace holds each id at most once.
    std::vector<std::vector<std::pair<NodeId, std::size_t>>> index_;
    std::vector<NodeId> cut_;
    StampedSet in_cut_;  // the members of the current cut, while leaves are added

    std::size_t position_on(std::size_t i, NodeId x) {
        std::vector<std::pair<NodeId, std::size_t>>& index = index_[i];
        if (index.empty()) {
            const Trace trace = traces_[i];
            index.reserve(trace.size());
            poll_.step(poll_.scan(trace.size(), [&](std::size_t q) { index.emplace_back(trace[q], q); }));
            // The sort of a long trace polls as it compares.  Stopped half way, the index
            // is dropped with the search.
            std::sort(index.begin(), index.end(), [&](const auto& a, const auto& b) {
                poll_.step();
                return a < b;
            });
        }
        const auto it =
            std::lower_bound(index.begin(), index.end(), std::make_pair(x, std::size_t(0)));
        return it != index.end() && it->first == x ? it->second : kNowhere;
    }

    // Whether a node chosen for another trace stands on trace i at or above its choice.
    bool covered(std::size_t i) {
        const Trace trace = traces_[i];
        const std::size_t chosen_at = choice_[i];
        if (trace_count_ - 1 < trace.size() - chosen_at) {
            // Fewer other choices than entries from the choice up: look each of them up.
            for (std::size_t j = 0; j < trace_count_; ++j) {
                poll_.step();
                if (j == i) continue;
                const std::size_t q = position_on(i, traces_[j][choice_[j]]);
                if (q != kNowhere && q >= chosen_at) return true;
            }
            return false;
        }
        // A trace is a simple path, so only the choice itself can be this trace's own.
        if (chosen_.count(trace[chosen_at]) > 1) return true;
        for (std::size_t q = chosen_at + 1; q < trace.size(); ++q) {
            poll_.step();
            if (chosen_.count(trace[q]) > 0) return true;
        }
        return false;
    }

    // Starts the cut with the chosen nodes that no other choice covers.
    void take_topmost(std::uint64_t& height, std::uint64_t& signature) {
        cut_.clear();
        for (std::size_t i = 0; i < trace_count_; ++i) {
            poll_.step();
            if (covered(i)) continue;
            const Trace trace = traces_[i];
            const NodeId member = trace[choice_[i]];
            cut_.push_back(member);
            height += trace.size() - choice_[i] - 1;
            signature ^= hash_u64(member);
        }
    }

    // Completes the cut with the given leaves that lie below none of its members.  The
    // cut is kept as a set up to date (its members are valid ids: trace entries, and
    // leaves that passed the range check), so that each question costs the climb only,
    // not a copy of the growing cut.
    void add_uncovered_leaves(std::uint64_t& signature) {
        in_cut_.clear();
        poll_.step(cut_.size());
        for (NodeId x : cut_) in_cut_.insert(x);
        for (NodeId leaf : leaves_) {
            if (!is_below(g_, leaf, in_cut_, {.include_self = true}, poll_)) {
                cut_.push_back(leaf);
                signature ^= hash_u64(leaf);
                in_cut_.insert(leaf);
            }
        }
    }

    // Moves to the next choice, the last trace turning fastest; false after the last.
    bool next_choice() {
        for (std::size_t i = trace_count_; i-- > 0;) {
            const Trace trace = traces_[i];
            chosen_.erase_one(trace[choice_[i]]);
            if (++choice_[i] < trace.size()) {
                chosen_.insert(trace[choice_[i]]);
                return true;
            }
            choice_[i] = 0;
            chosen_.insert(trace[0]);
        }
        return false;
    }
};

}  // namespace

Cuts cross_sections_internal(const Graph& g, NodeId target_leaf, std::span<const NodeId> leaves) {
    Poll poll;
    const Traces upward = traces(g, target_leaf, {.op_nodes = false}, poll);
    bool none = false;
    poll.step(poll.scan(upward.size(), [&](std::size_t i) { none |= upward[i].empty(); }));
    if (none) return {};  // no choice at all
    CutSearch search(g, upward, leaves, poll);
    return search.run();
}

}  // namespace quill
