// Cross sections of a target leaf.
//
// Every way of choosing one value node on each upward trace of the leaf is tried in
// odometer order (first trace slowest, positions upward).  A choice keeps only its
// topmost members: a chosen node is dropped when a node chosen for another trace stands
// on its own trace at or above it.  The given leaves that lie below none of the kept
// nodes complete the cut.  Cuts are told apart by the XOR of the member hashes, so the
// same set found again in another order is dropped.
#include "cross_sections.hpp"

#include <unordered_set>

#include "hash.hpp"
#include "reach.hpp"
#include "traces.hpp"

namespace quill {

std::vector<Cut> cross_sections_internal(const Graph& g, NodeId target_leaf,
                                         std::span<const NodeId> leaves) {
    const std::vector<std::vector<NodeId>> tr =
        traces(g, target_leaf, true, false, true, true, false);
    std::vector<Cut> result;
    for (const std::vector<NodeId>& t : tr)
        if (t.empty()) return result;  // no choice at all
    const std::size_t k = tr.size();

    // choice[i]: chosen position on trace i.  chosen[x]: how many traces chose node x
    // (trace entries are node ids met by the search, hence valid).
    std::vector<std::size_t> choice(k, 0);
    std::vector<std::uint32_t> chosen(k ? g.size() : 0, 0);
    for (std::size_t i = 0; i < k; ++i) ++chosen[tr[i][0]];

    std::unordered_set<std::uint64_t> seen;
    std::vector<NodeId> cut;
    Poll poll;
    for (;;) {
        poll.step();
        cut.clear();
        std::uint64_t height = 0;
        std::uint64_t signature = 0;
        for (std::size_t i = 0; i < k; ++i) {
            const std::vector<NodeId>& t = tr[i];
            const std::size_t p = choice[i];
            const NodeId f = t[p];
            // A trace is a simple path, so only f itself can be this trace's own choice.
            bool covered = chosen[f] > 1;
            for (std::size_t q = p + 1; q < t.size() && !covered; ++q) covered = chosen[t[q]] > 0;
            if (covered) continue;
            cut.push_back(f);
            height += t.size() - p - 1;
            signature ^= hash_u64(f);
        }
        for (NodeId l : leaves) {
            if (!is_below(g, l, cut, true, {})) {
                cut.push_back(l);
                signature ^= hash_u64(l);
            }
        }
        if (seen.insert(signature).second) result.emplace_back(cut, height);

        // Next choice: the last trace turns fastest.
        std::size_t i = k;
        while (i > 0) {
            --i;
            const std::vector<NodeId>& t = tr[i];
            --chosen[t[choice[i]]];
            if (++choice[i] < t.size()) {
                ++chosen[t[choice[i]]];
                break;
            }
            choice[i] = 0;
            ++chosen[t[0]];
            if (i == 0) return result;
        }
        if (k == 0) return result;
    }
}

}  // namespace quill
