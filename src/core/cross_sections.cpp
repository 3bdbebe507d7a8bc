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
#include <unordered_set>
#include <utility>

#include "hash.hpp"
#include "id_sets.hpp"
#include "reach.hpp"
#include "traces.hpp"

namespace quill {

std::vector<Cut> cross_sections_internal(const Graph& g, NodeId target_leaf,
                                         std::span<const NodeId> leaves) {
    // The upward paths of the leaf, value nodes only.
    const std::vector<std::vector<NodeId>> tr = traces(g, target_leaf, {.op_nodes = false});
    std::vector<Cut> result;
    for (const std::vector<NodeId>& t : tr)
        if (t.empty()) return result;  // no choice at all
    const std::size_t k = tr.size();

    // choice[i]: chosen position on trace i.  chosen: the chosen nodes, each as many times
    // as traces chose it (trace entries are node ids met by the search, hence valid).
    std::vector<std::size_t> choice(k, 0);
    NodeMultiset chosen(k ? g.size() : 0);
    for (std::size_t i = 0; i < k; ++i) chosen.insert(tr[i][0]);

    // Where an id stands on a trace, for long traces: the choices of the other traces are
    // then looked up instead of scanning every entry above the chosen one.  Sorted by id
    // and built the first time a trace needs it; a trace holds each id at most once.
    constexpr std::size_t kNowhere = ~std::size_t(0);
    std::vector<std::vector<std::pair<NodeId, std::size_t>>> index(k);
    auto position_on = [&](std::size_t i, NodeId x) {
        std::vector<std::pair<NodeId, std::size_t>>& ix = index[i];
        if (ix.empty()) {
            ix.reserve(tr[i].size());
            for (std::size_t q = 0; q < tr[i].size(); ++q) ix.emplace_back(tr[i][q], q);
            std::sort(ix.begin(), ix.end());
        }
        const auto it = std::lower_bound(ix.begin(), ix.end(), std::make_pair(x, std::size_t(0)));
        return it != ix.end() && it->first == x ? it->second : kNowhere;
    };

    std::unordered_set<std::uint64_t> seen;
    std::vector<NodeId> cut;
    StampedSet in_cut(g.size());  // the members of the current cut
    Poll poll;
    for (;;) {
        poll.step();
        cut.clear();
        std::uint64_t height = 0;
        std::uint64_t signature = 0;
        for (std::size_t i = 0; i < k; ++i) {
            poll.step();
            const std::vector<NodeId>& t = tr[i];
            const std::size_t p = choice[i];
            const NodeId f = t[p];
            bool covered = false;
            if (k - 1 < t.size() - p) {
                // Fewer other choices than entries from f up: look each of them up.
                for (std::size_t j = 0; j < k && !covered; ++j) {
                    poll.step();
                    if (j == i) continue;
                    const std::size_t q = position_on(i, tr[j][choice[j]]);
                    covered = q != kNowhere && q >= p;
                }
            } else {
                // A trace is a simple path, so only f itself can be this trace's own choice.
                covered = chosen.count(f) > 1;
                for (std::size_t q = p + 1; q < t.size() && !covered; ++q) {
                    poll.step();
                    covered = chosen.count(t[q]) > 0;
                }
            }
            if (covered) continue;
            cut.push_back(f);
            height += t.size() - p - 1;
            signature ^= hash_u64(f);
        }
        if (!leaves.empty()) {
            // The cut as a set kept up to date (its members are valid ids: trace
            // entries, and leaves that passed the range check), so that each question
            // costs the climb only, not a copy of the growing cut.
            in_cut.clear();
            for (NodeId x : cut) in_cut.insert(x);
            for (NodeId l : leaves) {
                if (!is_below(g, l, in_cut, {.include_self = true}, poll)) {
                    cut.push_back(l);
                    signature ^= hash_u64(l);
                    in_cut.insert(l);
                }
            }
        }
        if (seen.insert(signature).second) result.emplace_back(cut, height);

        // Next choice: the last trace turns fastest.
        std::size_t i = k;
        while (i > 0) {
            --i;
            const std::vector<NodeId>& t = tr[i];
            chosen.erase_one(t[choice[i]]);
            if (++choice[i] < t.size()) {
                chosen.insert(t[choice[i]]);
                break;
            }
            choice[i] = 0;
            chosen.insert(t[0]);
            if (i == 0) return result;
        }
        if (k == 0) return result;
    }
}

}  // namespace quill
