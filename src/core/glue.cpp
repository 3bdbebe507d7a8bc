// The leaf gluing search: every distinct graph reached by gluing leaves onto partners of
// the same type, found depth first, each glue step on a fresh copy of the graph at hand.
#include "glue.hpp"

#include <unordered_set>

#include "clone.hpp"
#include "hash.hpp"
#include "merge.hpp"

namespace quill {

namespace {

// One level of the depth-first gluing search (the work of one `glue_leaves_rec` call).
// The search keeps its levels on an explicit stack, so its depth costs heap memory only.
struct Level {
    Graph owned;                     // the level's graph (a glued copy) ...
    const Graph* input = nullptr;    // ... or, at the first level, the caller's graph
    std::vector<NodeId> leaves;      // leaves[head] is the leaf being glued, the rest follow
    std::size_t head = 0;
    std::vector<NodeId> candidates;
    std::size_t cursor = 0;          // partner index where the level goes on
    bool gluing = false;             // false: the level has not yet recorded its graph

    const Graph& graph() const { return input ? *input : owned; }
    std::size_t rest_size() const { return leaves.size() - head - 1; }
    std::size_t partner_count() const { return rest_size() + candidates.size(); }
    // Partners of the current leaf: the leaves after it, then the candidates.
    NodeId partner(std::size_t i) const {
        const std::size_t nrest = rest_size();
        return i < nrest ? leaves[head + 1 + i] : candidates[i - nrest];
    }
};

// The first partner index at or after `from` where the gluing loop has something to do:
// a partner (both nodes carry a value payload of the same type), or an id that fails the
// range test (partner first, then the leaf).  Returns partner_count() when there is none.
// Never throws, so the search can look ahead without changing which failure comes first.
std::size_t next_event(const Level& lv, std::size_t from, Poll& poll) {
    const Graph& g = lv.graph();
    const NodeId f = lv.leaves[lv.head];
    const std::size_t nrest = lv.rest_size();
    const std::size_t end = lv.partner_count();
    if (from >= end) return end;
    if (!g.valid(f)) return from;  // the range test fails at the first partner looked at
    const bool f_value = !g.is_op(f);
    const std::uint32_t type = g.type_id(f);
    auto stops = [&](NodeId p) {
        return !g.valid(p) || (f_value && !g.is_op(p) && g.type_id(p) == type);
    };
    std::size_t i = from;
    std::size_t found = end;
    for (const NodeId* rest = lv.leaves.data() + lv.head + 1; i < nrest; ++i)
        if (stops(rest[i])) {
            found = i;
            break;
        }
    if (found == end)
        for (const NodeId* cands = lv.candidates.data(); i < end; ++i)
            if (stops(cands[i - nrest])) {
                found = i;
                break;
            }
    poll.step(i - from);
    return found;
}

// Rewrites ids through `corr`, failing with `missing` at the first id without an entry.
std::vector<NodeId> map_ids(const Corr& corr, const NodeId* first, const NodeId* last,
                            Failure missing, Poll& poll) {
    poll.step(std::uint64_t(last - first));
    const std::size_t n = corr.to_new.size();
    const Idx* to_new = corr.to_new.data();
    std::vector<NodeId> out(std::size_t(last - first));
    NodeId* dst = out.data();
    for (const NodeId* it = first; it != last; ++it) {
        if (*it >= n || to_new[*it] == kNone) fail(missing);
        *dst++ = to_new[*it];
    }
    return out;
}

// Drops the leaves in front that have no partner, from this level on, and points the
// cursor at the first partner of the first leaf that has one; false when none has.
bool seek_first_partner(Level& lv, Poll& poll) {
    for (; lv.head < lv.leaves.size(); ++lv.head) {
        lv.cursor = next_event(lv, 0, poll);
        if (lv.cursor < lv.partner_count()) return true;
        poll.step();
    }
    return false;
}

// Glues the level's current leaf onto partner `i` on a fresh copy and returns the level
// that continues the search on that copy.
Level glue_step(const Level& lv, std::size_t i, Poll& poll) {
    const Graph& g = lv.graph();
    const NodeId f = lv.leaves[lv.head];
    const NodeId p = lv.partner(i);
    g.check(p);
    g.check(f);

    Clone c = clone_subgraph(g, poll);
    const std::optional<NodeId> f2 = c.corr.get(f);
    if (!f2) fail(Failure::LeafNotInCopy);
    const std::optional<NodeId> p2 = c.corr.get(p);
    if (!p2) fail(Failure::PartnerNotInCopy);
    merge_value_nodes(c.graph, *p2, *f2, {.upper = true, .lower = true});

    Level child;
    const NodeId* rest = lv.leaves.data() + lv.head + 1;
    child.leaves = map_ids(c.corr, rest, lv.leaves.data() + lv.leaves.size(),
                           Failure::RestNotInCopy, poll);
    child.candidates = map_ids(c.corr, lv.candidates.data(),
                               lv.candidates.data() + lv.candidates.size(),
                               Failure::CandidateNotInCopy, poll);
    child.owned = std::move(c.graph);
    return child;
}

// The recursive step of the search, run on an explicit stack of levels.  A level
// records its graph, then takes its leaves in order until one has a compatible partner;
// for each such partner it runs a child level on a glued copy, and after the last one it
// is done.  When a level starts its last child it has nothing left to do afterwards, so
// the child replaces it on the stack: a chain of single-partner leaves keeps only one
// level (and one graph copy) alive however long it is.
void glue_leaves_rec(const Graph& g, std::vector<NodeId> leaves, std::vector<NodeId> candidates,
                     std::unordered_set<std::uint64_t>& recorded, GlueOptions opts,
                     std::vector<Graph>& results) {
    auto within_limit = [&](std::size_t n) { return !opts.max_leaves || n <= *opts.max_leaves; };

    // Only the first level can be asked for trees: it records the graph as it is.
    if (opts.trees_only) {
        if (within_limit(leaves.size())) {
            Poll poll;
            results.push_back(clone_subgraph(g, poll).graph);
        }
        return;
    }

    Poll poll;
    std::vector<Level> stack;
    {
        Level first;
        first.input = &g;
        first.leaves = std::move(leaves);
        first.candidates = std::move(candidates);
        stack.push_back(std::move(first));
    }

    while (!stack.empty()) {
        Level& lv = stack.back();
        poll.step();

        if (!lv.gluing) {
            // Record the level's graph unless an equal shape was recorded before.  The
            // length limit only decides whether the level records, never whether the
            // search goes on.
            lv.gluing = true;
            if (within_limit(lv.leaves.size())) {
                const std::uint64_t h = connection_hash(lv.graph(), poll);
                if (recorded.insert(h).second)
                    results.push_back(clone_subgraph(lv.graph(), poll).graph);
            }
            if (!seek_first_partner(lv, poll)) {
                stack.pop_back();
                continue;
            }
        }

        // Glue the current leaf onto the partner at the cursor (the range test there
        // fails if the cursor stopped at a bad id), then find the next one.
        Level child = glue_step(lv, lv.cursor, poll);
        const std::size_t next = next_event(lv, lv.cursor + 1, poll);
        if (next < lv.partner_count()) {
            lv.cursor = next;
            stack.push_back(std::move(child));  // invalidates `lv`
        } else {
            stack.back() = std::move(child);
        }
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
