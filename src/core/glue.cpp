// The leaf gluing search: every distinct graph reached by gluing leaves onto partners of
// the same type, found depth first.
//
// What the search must produce is defined by a level that copies its graph at every glue
// step: level L holds a graph G_L, glues its leaf f onto a partner p on a fresh copy
// (clone_subgraph, then merge_value_nodes(copy, p', f')) and hands the copy to the level
// below.  This file gets the same results without the copies: one working graph W, the
// copy of the caller's graph, is glued in place and every glue step is undone when its
// branch is finished.
//
// Why that gives the same results, failures and orders.  Let S_L be the state of W at
// level L (L >= 2) and comp(S) the nodes that a copy of S would hold (reached from the
// root through the four link fields).  Then there is a bijection psi_L from comp(S_{L-1})
// onto the nodes of G_L that maps every link field of every such node of S_L onto the same
// field of its image, payloads and kinds included, and maps the level's leaves and
// candidates (ids of W) onto those of G_L:
//  - at level 2, psi is the correspondence of the copy of the caller's graph, and W is
//    that copy;
//  - a merge reads and writes only the lists of f, p and of the ops listed in f's parents
//    and options; all of them lie in comp(S_{L-1}) (f and p passed the membership test,
//    the others are linked from f), so the same merge on both sides keeps psi an
//    isomorphism;
//  - the lists of comp(S_{L-1}) name only nodes of comp(S_{L-1}), so comp(S_L), reached
//    from the root, stays inside it, and psi maps comp(S_L) onto comp(G_L).
// Everything a level observes is therefore the same: the range tests (ids of W and ids
// of a copy are always in range below the first level), the type test (payloads), the
// four "not in copy" tests (membership in comp), the connection hash and the recorded
// copy (both see only the root's component, up to renumbering, and the copy renumbers it
// canonically).  The caller's graph is never written: the first level reads it as the
// copying search does and W is a copy of it.
//
// Membership in comp(S_L).  When every link of W is stored on both of its ends in the
// fields of the nodes' kinds (see links_mirrored in glue_state.cpp), the links form an
// undirected graph, a merge keeps that so, and gluing f onto p != f (both in the
// component, f not the root) leaves f without any link while every path through f can go
// through p instead: the component loses f and nothing else.  The search then keeps the
// glued-away leaves in a set, and a root glued away leaves a component of the root alone.
// On any other graph the component is found afresh by a discovery walk before each glue
// step.
//
// Hashes.  A level's hash is computed unless the state of W was seen before at a level
// that hashed it: equal states of W have equal components, hence equal hashes, and a hash
// that was computed once is in the recorded set already.  The state is identified
// exactly, by the contents of every list that differs from the copy of the caller's
// graph: a fingerprint kept up by the glue steps finds the candidates, and a list-by-list
// comparison decides, so a known state never hides a graph whose hash is new.
//
// Finished levels.  What a level and the levels below it do (the glue steps, the tests,
// which graphs they hash) depends only on the state of W and on the level's leaves, the
// entries of the caller's list from the level's start on (the candidates never change):
// membership is found afresh from W on a graph whose links are not mirrored, and on one
// whose links are, the glued-away leaves are exactly the nodes other than the root that
// have lost every link (a glue step takes all of the leaf's links and no other node's,
// and a glued-away node is never glued onto again, as it fails the partner test first),
// and the root is glued away exactly when it has lost every link.  A level that has run
// to its end without failing has put the hash of every graph below it into the recorded
// set, so a level with the same state and the same start, met later, would record
// nothing and fail nowhere: it is passed over.  It is never met below itself, where
// every level starts further on.
//
// The working graph, its journal, the membership test and the set of hashed states are
// the search's state (GlueState, glue_state.hpp); this file holds the levels.
#include "glue.hpp"

#include <algorithm>

#include "clone.hpp"
#include "glue_state.hpp"
#include "hash.hpp"
#include "id_sets.hpp"

namespace quill {

namespace {

// Partners of a leaf: the leaves after it, then the candidates, repeats included.
struct Partners {
    const NodeId* later_leaves;
    std::size_t later_count;
    const NodeId* candidates;
    std::size_t candidate_count;

    std::size_t size() const { return later_count + candidate_count; }
    NodeId operator[](std::size_t i) const {
        return i < later_count ? later_leaves[i] : candidates[i - later_count];
    }
};

// The partners of leaves[head] in a level whose leaves are `leaves`.
Partners partners_of(const std::vector<NodeId>& leaves, const std::vector<NodeId>& cands,
                     std::size_t head) {
    return {leaves.data() + head + 1, leaves.size() - head - 1, cands.data(), cands.size()};
}

// Whether a level with n leaves records its graph.
bool leaves_within_limit(const GlueOptions& opts, std::size_t n) {
    return !opts.max_leaves || n <= *opts.max_leaves;
}

// The first partner index at or after `from` where the gluing loop has something to do:
// a partner (both nodes carry a value payload of the same type), or an id that fails the
// range test (partner first, then the leaf).  Returns pool.size() when there is none.
// Never throws, so the search can look ahead without changing which failure comes first.
std::size_t next_event(const Graph& g, NodeId leaf, const Partners& pool, std::size_t from,
                       Poll& poll) {
    const std::size_t end = pool.size();
    if (from >= end) return end;
    if (!g.valid(leaf)) return from;  // the range test fails at the first partner looked at
    const bool leaf_is_value = !g.is_op(leaf);
    const std::uint32_t type = g.type_id(leaf);
    auto stops = [&](NodeId p) {
        return !g.valid(p) || (leaf_is_value && !g.is_op(p) && g.type_id(p) == type);
    };
    // Looked through a part of at most kEvery partners at a time, each part counted.
    for (std::size_t i = from; i < end;) {
        const std::size_t part = std::min(end, i + Poll::kEvery), first = i;
        for (; i < part; ++i)
            if (stops(pool[i])) {
                poll.step(i - first + 1);
                return i;
            }
        poll.step(i - first);
    }
    poll.step();
    return end;
}

// Rewrites ids through `corr`, failing with `missing` at the first id without an entry.
std::vector<NodeId> map_ids(const Corr& corr, const std::vector<NodeId>& ids, std::size_t from,
                            Failure missing, Poll& poll) {
    std::vector<NodeId> out;
    out.reserve(ids.size() - from);
    poll.step(poll.scan(ids.size() - from, [&](std::size_t i) {
        const std::optional<NodeId> mapped = corr.get(ids[from + i]);
        if (!mapped) fail(missing);
        out.push_back(*mapped);
    }));
    return out;
}

// The search below the first level, on the working graph W (ids of W throughout).
class Search {
public:
    Search(Graph&& w, const GlueOptions& opts, U64Set& recorded,
           std::vector<Graph>& results, Poll& poll)
        : state_(std::move(w), poll), opts_(opts), recorded_(recorded), results_(results),
          poll_(poll) {}

    // The first level's rest of the leaves and candidates, mapped into W: the leaves and
    // candidates of the level below it.
    void set_lists(std::vector<NodeId> leaves, std::vector<NodeId> candidates) {
        leaves_ = std::move(leaves);
        cands_ = std::move(candidates);
    }

    // Glues f onto p in W, runs the levels below (whose leaves are all of leaves_) and
    // undoes the glue step.
    void branch(NodeId f, NodeId p) {
        const GlueState::Step step = state_.glue(f, p);
        run();
        state_.unglue(step);
    }

private:
    struct Level {
        std::size_t start;   // the level's leaves are leaves_[start..]
        std::size_t head;    // the leaf being glued
        std::size_t cursor;  // its partner being tried
        GlueState::Step step;
    };

    GlueState state_;
    const GlueOptions& opts_;
    U64Set& recorded_;
    std::vector<Graph>& results_;
    Poll& poll_;
    std::vector<NodeId> leaves_, cands_;

    bool within_limit(std::size_t n) const { return leaves_within_limit(opts_, n); }
    Partners partners(std::size_t head) const { return partners_of(leaves_, cands_, head); }

    // Records W when its hash is new.  A state met before at a level that hashed it is
    // passed over: its hash is in the recorded set already.
    void record() {
        poll_.step(1 + state_.look_up());
        if (state_.known()) return;
        const Graph& w = state_.graph();
        // The hash's walk numbers W as its copy does on most graphs; the copy then takes
        // that numbering instead of walking W again.
        Corr numbering;
        const bool fresh = recorded_.insert(connection_hash(w, poll_, numbering));
        if (fresh)
            results_.push_back(numbering.to_old.empty() ? clone_subgraph(w, poll_).graph
                                                        : copy_numbered(w, numbering, poll_));
        state_.remember(fresh);
    }

    // The membership tests of a glue step of leaves_[head] onto p, in the order of the
    // copying search: the leaf, the partner, the rest of the leaves, the candidates.
    void check_step(std::size_t head, NodeId p) {
        state_.refresh();
        if (!state_.in_component(leaves_[head])) fail(Failure::LeafNotInCopy);
        if (!state_.in_component(p)) fail(Failure::PartnerNotInCopy);
        poll_.step(1 + poll_.scan(leaves_.size() - head - 1, [&](std::size_t i) {
            if (!state_.in_component(leaves_[head + 1 + i])) fail(Failure::RestNotInCopy);
        }));
        poll_.step(poll_.scan(cands_.size(), [&](std::size_t i) {
            if (!state_.in_component(cands_[i])) fail(Failure::CandidateNotInCopy);
        }));
    }

    // Drops the leaves in front that have no partner and points the level at the first
    // partner of the first leaf that has one; false when none has.
    bool seek(Level& level) {
        for (; level.head < leaves_.size(); ++level.head) {
            const Partners pool = partners(level.head);
            level.cursor = next_event(state_.graph(), leaves_[level.head], pool, 0, poll_);
            if (level.cursor < pool.size()) return true;
        }
        return false;
    }

    // Starts the glue step of the level at its cursor and the level below it.
    void descend(std::vector<Level>& stack) {
        Level& level = stack.back();
        const NodeId p = partners(level.head)[level.cursor];
        check_step(level.head, p);
        level.step = state_.glue(leaves_[level.head], p);
        const std::size_t next = level.head + 1;
        stack.push_back({next, next, 0, {}});
    }

    // True when a level like this one (the same state of W, the same leaves) has run to
    // its end before: it records nothing new and fails nowhere, so it is passed over.
    bool ran_before(const Level& level) {
        std::size_t compared = 0;
        const bool ran = state_.finished(level.start, compared);
        poll_.step(compared);
        return ran;
    }

    // The levels below the first, on an explicit stack.  A level records its state, then
    // takes its leaves in order until one has a partner; for each partner it glues, runs
    // the level below and undoes the glue.  A level that has run to its end is
    // remembered as finished.
    void run() {
        std::vector<Level> stack;
        stack.push_back({0, 0, 0, {}});
        bool entering = true;
        while (!stack.empty()) {
            poll_.step();
            Level& level = stack.back();
            if (entering) {
                if (ran_before(level)) {
                    stack.pop_back();
                    entering = false;
                    continue;
                }
                if (within_limit(leaves_.size() - level.start)) record();
                if (!seek(level)) {
                    state_.remember_finished(level.start);
                    stack.pop_back();
                    entering = false;
                    continue;
                }
                descend(stack);
                continue;
            }
            // Back from the level below: undo its glue step and go on with the next
            // partner.
            state_.unglue(level.step);
            const Partners pool = partners(level.head);
            level.cursor =
                next_event(state_.graph(), leaves_[level.head], pool, level.cursor + 1, poll_);
            if (level.cursor == pool.size()) {
                state_.remember_finished(level.start);
                stack.pop_back();
                continue;
            }
            descend(stack);
            entering = true;
        }
    }
};

// The first level, on the caller's graph (ids of the caller throughout).  Only it can be
// asked for trees; it records the graph as it is, then glues the first leaf that has a
// partner onto each partner, the levels below running on one working copy.
class FirstLevel {
public:
    FirstLevel(const Graph& g, std::vector<NodeId> leaves, std::vector<NodeId> candidates,
               GlueOptions opts)
        : g_(g), leaves_(std::move(leaves)), cands_(std::move(candidates)), opts_(opts) {}

    std::vector<Graph> run() {
        if (opts_.trees_only) {
            if (within_limit(leaves_.size())) results_.push_back(clone_subgraph(g_, poll_).graph);
            return std::move(results_);
        }
        // The length limit only decides whether a level records, never whether the search
        // goes on.
        poll_.step(leaves_.size() + cands_.size());
        if (within_limit(leaves_.size())) {
            Corr numbering;
            const std::uint64_t h = connection_hash(g_, poll_, numbering);
            if (recorded_.insert(h))
                results_.push_back(numbering.to_old.empty() ? clone_subgraph(g_, poll_).graph
                                                            : copy_numbered(g_, numbering, poll_));
        }
        for (std::size_t head = 0; head < leaves_.size(); ++head) {
            const Partners pool = partners(head);
            std::size_t i = next_event(g_, leaves_[head], pool, 0, poll_);
            if (i == pool.size()) continue;  // no partner: the next leaf is glued
            for (; i < pool.size(); i = next_event(g_, leaves_[head], pool, i + 1, poll_))
                branch(head, pool[i]);
            break;
        }
        return std::move(results_);
    }

private:
    const Graph& g_;
    std::vector<NodeId> leaves_, cands_;
    GlueOptions opts_;
    Poll poll_;
    U64Set recorded_;  // the connection hashes of the results
    std::vector<Graph> results_;
    // The copy of g that the levels below work on, made at the first glue step (the
    // copies of the copying search are all made at that point or later), with its
    // correspondence and the copy's id of the leaf being glued.
    std::optional<Search> search_;
    std::optional<Corr> corr_;
    NodeId leaf_in_copy_ = 0;

    bool within_limit(std::size_t n) const { return leaves_within_limit(opts_, n); }
    Partners partners(std::size_t head) const { return partners_of(leaves_, cands_, head); }

    // The glue step of leaves_[head] onto p and the levels below it.  The range tests come
    // first, partner then leaf; the copy, the leaf and the lists are those of the first
    // step, so that at later steps only the partner is new.
    void branch(std::size_t head, NodeId p) {
        g_.check(p);
        g_.check(leaves_[head]);
        if (!search_) start_search(head, p);
        const std::optional<NodeId> p_in_copy = corr_->get(p);
        if (!p_in_copy) fail(Failure::PartnerNotInCopy);
        search_->branch(leaf_in_copy_, *p_in_copy);
    }

    // Copies g and maps the leaf, the partner, the rest of the leaves and the candidates
    // into the copy, failing at the first that it lacks, in that order.
    void start_search(std::size_t head, NodeId p) {
        Clone copy = clone_subgraph(g_, poll_);
        const std::optional<NodeId> leaf = copy.corr.get(leaves_[head]);
        if (!leaf) fail(Failure::LeafNotInCopy);
        if (!copy.corr.get(p)) fail(Failure::PartnerNotInCopy);
        std::vector<NodeId> rest =
            map_ids(copy.corr, leaves_, head + 1, Failure::RestNotInCopy, poll_);
        std::vector<NodeId> cands = map_ids(copy.corr, cands_, 0, Failure::CandidateNotInCopy, poll_);
        leaf_in_copy_ = *leaf;
        corr_.emplace(std::move(copy.corr));
        search_.emplace(std::move(copy.graph), opts_, recorded_, results_, poll_);
        search_->set_lists(std::move(rest), std::move(cands));
    }
};

}  // namespace

std::vector<Graph> glue_leaves(const Graph& g, std::vector<NodeId> leaves,
                               std::vector<NodeId> candidates, GlueOptions opts) {
    return FirstLevel(g, std::move(leaves), std::move(candidates), opts).run();
}

}  // namespace quill
