// The in-place gluing search against a search that copies its graph at every glue step,
// built here from the public operations alone (clone_subgraph, merge_value_nodes,
// connection_hash, same_spec): results, their order, and which failure with which message.
#include <map>
#include <optional>
#include <random>

#include "glue_state.hpp"
#include "harness.hpp"

namespace {

using IdList = std::vector<NodeId>;

// Every node's kind, payload, type and four link fields, then the root: equal exactly
// for equal graphs.
std::vector<u64> contents(const Graph& g) {
    std::vector<u64> out{g.size(), g.root_id};
    for (NodeId id = 0; id < g.size(); ++id) {
        out.insert(out.end(), {u64(g.is_op(id)), g.payload_id(id), g.is_op(id) ? 0 : g.type_id(id),
                               g.parent(id)});
        for (Field f : {Field::Parents, Field::Options, Field::Children}) {
            const std::span<const Idx> list = g.list(id, f);
            out.push_back(list.size());
            out.insert(out.end(), list.begin(), list.end());
        }
    }
    return out;
}

// The copying search, the way one would first write it: at every glue step a fresh copy
// of the level's graph, the leaf merged into its partner there, and the ids of the
// leaves and candidates carried over through the copy's correspondence.
struct CopyingSearch {
    GlueOptions opts;
    std::vector<Graph> results;
    std::set<u64> hashes;

    bool records(std::size_t leaves) const { return !opts.max_leaves || leaves <= *opts.max_leaves; }

    static NodeId in_copy(const Clone& c, NodeId id, Failure missing) {
        const std::optional<NodeId> m = c.corr.get(id);
        if (!m) fail(missing);
        return *m;
    }

    void level(const Graph& g, const IdList& leaves, const IdList& cands) {
        if (records(leaves.size()) && hashes.insert(connection_hash(g)).second)
            results.push_back(clone_subgraph(g).graph);
        for (std::size_t head = 0; head < leaves.size(); ++head) {
            const NodeId leaf = leaves[head];
            const IdList rest(leaves.begin() + head + 1, leaves.end());
            IdList partners = rest;
            partners.insert(partners.end(), cands.begin(), cands.end());
            bool glued = false;
            for (NodeId partner : partners) {
                g.check(partner);
                g.check(leaf);
                if (!same_spec(g, leaf, partner)) continue;
                Clone c = clone_subgraph(g);
                const NodeId leaf2 = in_copy(c, leaf, Failure::LeafNotInCopy);
                const NodeId partner2 = in_copy(c, partner, Failure::PartnerNotInCopy);
                IdList rest2, cands2;
                for (NodeId x : rest) rest2.push_back(in_copy(c, x, Failure::RestNotInCopy));
                for (NodeId x : cands) cands2.push_back(in_copy(c, x, Failure::CandidateNotInCopy));
                merge_value_nodes(c.graph, partner2, leaf2, {.upper = true, .lower = true});
                level(c.graph, rest2, cands2);
                glued = true;
            }
            if (glued) return;  // only the first leaf with a partner is glued here
        }
    }

    void run(const Graph& g, const IdList& leaves, const IdList& cands) {
        if (!opts.trees_only) return level(g, leaves, cands);
        if (records(leaves.size())) results.push_back(clone_subgraph(g).graph);
    }
};

// What a search gave: the contents of its results in order, or its failure.
struct Outcome {
    std::vector<std::vector<u64>> results;
    std::optional<Failure> failure;
    std::string message;
    bool operator==(const Outcome&) const = default;
};

Outcome outcome_of(const std::function<std::vector<Graph>()>& search) {
    Outcome out;
    try {
        for (const Graph& r : search()) out.results.push_back(contents(r));
    } catch (const Error& e) {
        out.failure = e.failure;
        out.message = e.message;
    }
    return out;
}

// A small random graph grown from a value root, each node linked below one of the
// other kind already there, then a few more links: between an op and a value, repeats
// possible, and with `odd` now and then between any two nodes in either direction.  The
// root is node 0, now and then another node or one past the last.
Graph random_graph(std::mt19937_64& rng, bool odd) {
    auto pick = [&](u64 n) { return u64(rng() % n); };
    Graph g;
    const u64 n = 1 + pick(16);
    IdList ops, values{g.add_value(0, 9)};
    for (u64 i = 1; i < n; ++i) {
        if (pick(2)) {
            ops.push_back(g.add_op(u32(pick(4))));
            g.connect_value_to_op(values[pick(values.size())], ops.back());
        } else if (!ops.empty()) {
            values.push_back(g.add_value(u32(pick(6)), u32(pick(2))));
            g.connect_op_to_value(ops[pick(ops.size())], values.back());
        }
    }
    const u64 extra = pick(n / 2 + 2);
    for (u64 i = 0; i < extra; ++i) {
        const bool any = odd && pick(3) == 0;
        if (!any && ops.empty()) break;
        const NodeId op = any ? pick(g.size()) : ops[pick(ops.size())];
        const NodeId value = any ? pick(g.size()) : values[pick(values.size())];
        if (pick(2)) g.connect_op_to_value(op, value);
        else g.connect_value_to_op(value, op);
    }
    const u64 root = pick(16);
    g.root_id = root == 0 ? g.size() : root < 3 ? pick(g.size()) : 0;
    return g;
}

// Leaves: mostly leaves of the root's component, now and then any value, a repeat, or an
// id past the end; candidates: any node.
std::pair<IdList, IdList> random_lists(std::mt19937_64& rng, const Graph& g) {
    auto pick = [&](u64 n) { return u64(rng() % n); };
    const IdList below = leaves(g);
    IdList lv, cands;
    const u64 want = 1 + pick(6);
    for (u64 i = 0; i < want; ++i) {
        const u64 kind = pick(10);
        if (kind < 8 && !below.empty()) lv.push_back(below[pick(below.size())]);
        else if (kind < 9 || lv.empty()) lv.push_back(pick(g.size() + (pick(8) == 0)));
        else lv.push_back(lv[pick(lv.size())]);
    }
    const u64 ncands = pick(4);
    for (u64 i = 0; i < ncands; ++i) cands.push_back(pick(g.size() + (pick(10) == 0)));
    return {lv, cands};
}

GlueOptions random_options(std::mt19937_64& rng) {
    GlueOptions o;
    o.trees_only = rng() % 12 == 0;
    if (const u64 limit = rng() % 9; limit < 3) o.max_leaves = limit;
    return o;
}

}  // namespace

TEST(glue_in_place_matches_the_copying_search_on_random_graphs) {
    std::map<Failure, int> failures;
    int mirrored = 0, unmirrored = 0, several_results = 0;
    for (u64 seed = 0; seed < 2000; ++seed) {
        std::mt19937_64 rng(seed);
        const Graph g = random_graph(rng, seed % 3 != 0);
        const auto [lv, cands] = random_lists(rng, g);
        const GlueOptions opts = random_options(rng);
        const std::vector<u64> before = contents(g);

        const Outcome got = outcome_of([&] { return glue_leaves(g, lv, cands, opts); });
        const Outcome want = outcome_of([&] {
            CopyingSearch ref{opts};
            ref.run(g, lv, cands);
            return std::move(ref.results);
        });
        if (!(got == want)) std::fprintf(stderr, "  seed %llu differs\n", (unsigned long long)seed);
        CHECK(got == want);
        CHECK(contents(g) == before);  // the caller's graph is only read

        if (want.failure) ++failures[*want.failure];
        several_results += want.results.size() > 1;
        if (g.valid(g.root_id)) {
            Poll poll;
            (links_mirrored(clone_subgraph(g).graph, poll) ? mirrored : unmirrored)++;
        }
    }
    // The seeds reach both ways of telling the component, every failure of the search,
    // and searches that record several graphs.
    CHECK(mirrored > 50 && unmirrored > 50);
    CHECK(several_results > 40);
    for (Failure f : {Failure::IdOutOfRange, Failure::NoValidRoot, Failure::LeafNotInCopy,
                      Failure::PartnerNotInCopy, Failure::RestNotInCopy, Failure::CandidateNotInCopy})
        CHECK(failures[f] > 0);
}

TEST(glue_in_place_matches_the_copying_search_on_deep_searches) {
    // Up to 6 leaves and 3 candidates of one type below one or two ops: searches that
    // reach the same graph along many paths, where the in-place search skips the hashes
    // of states it has met and the levels it has finished.
    for (u64 seed = 0; seed < 400; ++seed) {
        std::mt19937_64 rng(1000 + seed);
        auto pick = [&](u64 n) { return u64(rng() % n); };
        Graph g;
        const NodeId root = g.add_value(0, 9);
        const u64 nops = 1 + pick(2), nvals = 3 + pick(6);
        IdList ops, values;
        for (u64 i = 0; i < nops; ++i) {
            ops.push_back(g.add_op(u32(i)));
            g.connect_value_to_op(root, ops.back());
        }
        for (u64 i = 0; i < nvals; ++i) {
            values.push_back(g.add_value(u32(pick(3)), u32(pick(4) == 0)));
            g.connect_op_to_value(ops[pick(nops)], values.back());
            if (pick(5) == 0) g.connect_op_to_value(ops[pick(nops)], values.back());
        }
        g.root_id = root;
        std::shuffle(values.begin(), values.end(), rng);
        IdList lv(values.begin(), values.begin() + std::min<u64>(nvals, 2 + pick(5)));
        IdList cands(values.end() - pick(4), values.end());
        // Now and then an id listed twice: a leaf glued onto itself, a partner tried twice,
        // both of which meet one state at one start along two paths.
        if (pick(3) == 0) lv.insert(lv.begin() + pick(lv.size() + 1), lv[pick(lv.size())]);
        if (pick(3) == 0 && !cands.empty()) cands.push_back(cands[pick(cands.size())]);
        GlueOptions opts;
        if (pick(3) == 0) opts.max_leaves = pick(3);

        const Outcome got = outcome_of([&] { return glue_leaves(g, lv, cands, opts); });
        const Outcome want = outcome_of([&] {
            CopyingSearch ref{opts};
            ref.run(g, lv, cands);
            return std::move(ref.results);
        });
        CHECK(got == want);
    }
}

// Makes g a value root over one op with `leaves` values of type 5 below it, and returns
// their ids in order.
IdList leaves_of_one_op(Graph& g, u32 leaves) {
    const NodeId root = g.add_value(0, 9), op = g.add_op(1);
    g.connect_value_to_op(root, op);
    g.root_id = root;
    IdList vals;
    for (u32 i = 0; i < leaves; ++i) {
        vals.push_back(g.add_value(i, 5));
        g.connect_op_to_value(op, vals.back());
    }
    return vals;
}

TEST(glue_journal_undoes_and_describes_glue_steps) {
    // Two leaves of one op glued one after the other onto a third, then undone: the graph
    // comes back word for word, and no list differs from the copy exactly when it is back.
    Graph g;
    const IdList vals = leaves_of_one_op(g, 3);
    const NodeId below = g.add_op(2);  // an option of the first leaf moves with it
    g.connect_value_to_op(vals[0], below);
    const std::vector<u64> start = contents(g);
    Poll poll;
    GlueState state(std::move(g), poll);
    CHECK(state.changed_lists() == 0);

    const GlueState::Step first = state.glue(vals[0], vals[2]);
    const std::size_t one_step = state.changed_lists();
    state.look_up();
    CHECK(one_step > 0 && !state.known());
    state.remember(true);
    state.look_up();
    CHECK(state.known());
    state.refresh();
    CHECK(!state.in_component(vals[0]) && state.in_component(vals[2]) && state.in_component(below));
    CHECK(state.graph().parent(below) == vals[2]);

    const GlueState::Step second = state.glue(vals[1], vals[2]);
    state.look_up();
    CHECK(state.changed_lists() > one_step && !state.known());
    state.unglue(second);
    state.look_up();
    CHECK(state.changed_lists() == one_step && state.known());  // the same state as before
    state.unglue(first);
    CHECK(state.changed_lists() == 0);
    state.look_up();
    CHECK(!state.known());
    state.refresh();
    for (NodeId v : vals) CHECK(state.in_component(v));
    CHECK(contents(state.graph()) == start);
}

TEST(glue_state_knows_a_state_whatever_the_path_to_it) {
    // Leaves a, b, c of one op: a onto b then b onto c reaches the graph that a onto c
    // then b onto c reaches (every child c, a and b without parents), along other lists
    // changed on the way; a state that only some of the lists agree with is not known.
    Graph g;
    const IdList vals = leaves_of_one_op(g, 4);
    const NodeId a = vals[0], b = vals[1], c = vals[2], d = vals[3];
    Poll poll;
    GlueState state(std::move(g), poll);
    const GlueState::Step ab = state.glue(a, b), bc = state.glue(b, c);
    state.look_up();
    CHECK(!state.known());
    state.remember(false);
    state.unglue(bc);
    state.unglue(ab);

    const GlueState::Step ac = state.glue(a, c);
    state.look_up();
    CHECK(!state.known());  // b still below the op: one list short of the state kept
    const GlueState::Step bc2 = state.glue(b, c);
    state.look_up();
    CHECK(state.known());
    const GlueState::Step cd = state.glue(c, d);  // one list more than the state kept
    state.look_up();
    CHECK(!state.known());
    state.unglue(cd);
    state.unglue(bc2);
    state.unglue(ac);
    CHECK(state.changed_lists() == 0);
}

TEST(state_table_tells_keys_with_one_fingerprint_apart) {
    // Every key under one of four fingerprints, through several doublings of the table:
    // each is found by its own words only, and a lookup hands over only keys of its
    // fingerprint.
    StateTable table;
    auto key_of = [](u32 i) { return std::vector<Idx>{i, i * 7 + 1, i % 3}; };
    for (u32 i = 0; i < 300; ++i) table.add(i % 4, key_of(i));
    for (u32 i = 0; i < 310; ++i) {
        const std::vector<Idx> want = key_of(i);
        std::size_t compared = 0, handed = 0;
        const bool found = table.find(i % 4, [&](std::span<const Idx> key) {
            ++handed;
            CHECK(key[0] % 4 == i % 4);
            return std::equal(key.begin(), key.end(), want.begin(), want.end());
        }, compared);
        CHECK(found == (i < 300));
        CHECK(compared == 3 * handed && handed >= 1);
    }
    std::size_t compared = 0;
    CHECK(!table.find(5, [](std::span<const Idx>) { return true; }, compared) && compared == 0);
}

TEST(connection_hash_hands_over_the_numbering_of_a_copy_exactly_when_it_is_one) {
    // On random graphs, with links of any kind now and then: whenever the hash's walk hands
    // its numbering over, it is the copy's numbering, and the copy made through it is the
    // copy word for word; the hash is the same either way.  Trees and the glue searches'
    // stars hand it over.
    int handed = 0, kept = 0;
    for (u64 seed = 0; seed < 600; ++seed) {
        std::mt19937_64 rng(5000 + seed);
        Graph g = random_graph(rng, seed % 2 == 0);
        if (!g.valid(g.root_id)) g.root_id = 0;
        if (!g.valid(g.root_id)) continue;
        Poll poll;
        Corr numbering;
        CHECK(connection_hash(g, poll, numbering) == connection_hash(g));
        if (numbering.to_old.empty()) {
            ++kept;
            continue;
        }
        ++handed;
        const Clone want = clone_subgraph(g);
        CHECK(numbering.to_old == want.corr.to_old);
        CHECK(contents(copy_numbered(g, numbering, poll)) == contents(want.graph));
    }
    CHECK(handed > 100 && kept > 100);
}
