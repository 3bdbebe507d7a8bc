// Native tests of the list arena: freed blocks are taken again (split, merged, every
// block of a free list, not only its head), the arena stays bounded under churn, and the
// integrity check holds after every mutation of long random sequences, failed ones
// included, and finds the faults it is there to find.
#include <set>

#include "harness.hpp"
#include "model.hpp"

namespace {

#define CHECK_SOUND(g)                                                               \
    do {                                                                             \
        const std::string problem_ = (g).check_integrity();                         \
        if (!problem_.empty()) std::fprintf(stderr, "  arena: %s\n", problem_.c_str()); \
        CHECK(problem_.empty());                                                     \
    } while (0)

// The arena offset of a list kept there.
u64 offset_of(Graph& g, NodeId id, Field f) { return GraphTestAccess::list_word(g, id, f); }

// A new value node whose parents list holds `n` entries (ids of node 0, an op).
NodeId value_with(Graph& g, u32 n) {
    const NodeId v = g.add_value(0, 0);
    const std::vector<Idx> ids(n, 0);
    g.assign(v, Field::Parents, ids);
    return v;
}

// The churn of a search that keeps merging: two fresh values take the same `width` ops
// as options (one after the other or in turns) and are folded into `keep`, which has
// them already.
void churn_round(Graph& g, NodeId keep, const std::vector<NodeId>& ops, bool in_turns) {
    const NodeId a = g.add_value(1, 1), b = g.add_value(2, 1);
    if (in_turns) {
        for (NodeId op : ops) {
            g.connect_value_to_op(a, op);
            g.connect_value_to_op(b, op);
        }
    } else {
        for (NodeId op : ops) g.connect_value_to_op(a, op);
        for (NodeId op : ops) g.connect_value_to_op(b, op);
    }
    merge_value_nodes(g, keep, a, {.upper = false, .lower = true});
    merge_value_nodes(g, keep, b, {.upper = false, .lower = true});
}

}  // namespace

TEST(every_block_of_a_free_list_is_taken_again) {
    // Blocks of one class freed with a held block between each two, so that no two of
    // them could merge: taking them one after another must hand out every one of them,
    // not only the head of the list, before the arena grows.  Small and large classes.
    for (u32 entries : {2u, 3u, 7u, 100u}) {
        Graph g;
        g.add_op(0);
        std::vector<NodeId> freed, held;
        for (int i = 0; i < 6; ++i) {
            freed.push_back(value_with(g, entries));
            held.push_back(value_with(g, entries));
        }
        std::set<u64> offsets;
        for (NodeId v : freed) offsets.insert(offset_of(g, v, Field::Parents));
        const u64 used = GraphTestAccess::arena_used(g), cap = GraphTestAccess::arena_cap(g);
        for (NodeId v : freed) g.clear(v, Field::Parents);
        CHECK_SOUND(g);
        std::set<u64> again;
        for (std::size_t i = 0; i < freed.size(); ++i) {
            const NodeId v = value_with(g, entries);
            again.insert(offset_of(g, v, Field::Parents));
            CHECK_SOUND(g);
        }
        CHECK(again == offsets);
        CHECK(GraphTestAccess::arena_used(g) == used && GraphTestAccess::arena_cap(g) == cap);
    }
}

TEST(freed_blocks_are_split_and_merged_into_what_lists_need) {
    Graph g;
    g.add_op(0);
    // A block of 64 freed under a held one is split into blocks of 4 for 16 lists.
    const NodeId big = value_with(g, 64);
    const NodeId pin = value_with(g, 64);
    const u64 used = GraphTestAccess::arena_used(g);
    g.clear(big, Field::Parents);
    std::vector<NodeId> small;
    for (int i = 0; i < 16; ++i) small.push_back(value_with(g, 4));
    CHECK(GraphTestAccess::arena_used(g) == used);
    CHECK_SOUND(g);
    // Freed again, the 16 blocks merge back into one that a list of 64 takes.
    for (NodeId v : small) g.clear(v, Field::Parents);
    CHECK_SOUND(g);
    const NodeId again = value_with(g, 64);
    CHECK(offset_of(g, again, Field::Parents) == Arena::kHeads);
    CHECK(GraphTestAccess::arena_used(g) == used);
    // A list that grows one entry at a time at the end stays where it is, and a freed
    // block of 64 below it is split for short lists.
    std::vector<NodeId> ops;  // each with one child, in its node
    for (int i = 0; i < 62; ++i) ops.push_back(g.add_op(0));
    const NodeId tail = value_with(g, 64);
    const NodeId grower = value_with(g, 2);
    const u64 at = offset_of(g, grower, Field::Parents);
    CHECK(at == GraphTestAccess::arena_used(g) - 2);
    for (NodeId op : ops) g.connect_op_to_value(op, grower);
    CHECK(offset_of(g, grower, Field::Parents) == at && g.parents(grower).size() == 64);
    const u64 used_now = GraphTestAccess::arena_used(g);
    g.clear(pin, Field::Parents);
    small.clear();
    for (int i = 0; i < 16; ++i) small.push_back(value_with(g, 3));
    CHECK(GraphTestAccess::arena_used(g) == used_now);
    CHECK_SOUND(g);
    for (NodeId v : small) g.clear(v, Field::Parents);
    // Everything freed: the arena comes down to its heads.
    // Everything freed and a block taken that needs it all merged: the arena holds it.
    for (NodeId v : {again, tail, grower}) g.clear(v, Field::Parents);
    CHECK_SOUND(g);
    const NodeId whole = value_with(g, 128);
    CHECK(offset_of(g, whole, Field::Parents) == Arena::kHeads);
    CHECK(GraphTestAccess::arena_used(g) <= used_now);
    CHECK_SOUND(g);
}

TEST(churn_of_merged_values_keeps_the_arena_bounded) {
    // Each round adds two values whose 100 options are merged away: the graph keeps only
    // the two new nodes, so after the first rounds the arena must not grow at all.
    for (bool in_turns : {false, true}) {
        Graph g;
        const NodeId keep = g.add_value(0, 0);
        std::vector<NodeId> ops;
        for (Idx i = 0; i < 100; ++i) ops.push_back(g.add_op(i));
        for (NodeId op : ops) g.connect_value_to_op(keep, op);
        for (int r = 0; r < 8; ++r) churn_round(g, keep, ops, in_turns);
        CHECK_SOUND(g);
        const u64 used = GraphTestAccess::arena_used(g), cap = GraphTestAccess::arena_cap(g);
        for (int r = 0; r < 2000; ++r) churn_round(g, keep, ops, in_turns);
        CHECK_SOUND(g);
        CHECK(GraphTestAccess::arena_used(g) <= used && GraphTestAccess::arena_cap(g) == cap);
        // What is held: keep's 100 options in a block of 128, below two blocks' worth.
        CHECK(GraphTestAccess::arena_used(g) <= Arena::kHeads + 4 * 128);
        CHECK(g.options(keep).size() == 100 && g.parent(ops[7]) == keep);
    }
}

TEST(random_mutations_keep_the_arena_sound) {
    // Random adds, connects and merges, and between them list assignments (as undoing a
    // glue step makes) and clears, and now and then a copy of the whole graph: after every
    // step the graph matches the model and its arena passes the integrity check.  Some
    // steps are made to fail at an allocation first: the graph must then read as before,
    // sound, and take the step when it is retried.
    fault::tight_arena = true;
    struct Loose {
        ~Loose() {
            fault::tight_arena = false;
            fault::countdown = 0;
        }
    } loose;
    u64 failures = 0;
    for (u64 seed = 1; seed <= 24; ++seed) {
        const std::vector<Step> steps = random_steps(seed * 7919, 700, seed % 3 ? 40 : 10);
        Rng r{seed};
        Graph g;
        State m;
        auto run = [&](const std::function<void(Graph&)>& op, const std::function<void(State&)>& mod) {
            if (r.below(6) == 0) {
                fault::countdown = 1 + r.below(3);
                bool failed = false;
                try {
                    op(g);
                } catch (const std::bad_alloc&) {
                    failed = true;
                }
                fault::countdown = 0;
                if (failed) {
                    ++failures;
                    CHECK(dump(g) == m);
                    CHECK_SOUND(g);
                    op(g);
                }
            } else {
                op(g);
            }
            mod(m);
            CHECK(dump(g) == m);
            CHECK_SOUND(g);
        };
        for (std::size_t i = 0; i < steps.size(); ++i) {
            const u64 n = m.nodes.size(), roll = r.below(100);
            if (n > 2 && roll < 16) {
                // A list of a random node set to new contents of a random length, or cleared.
                const NodeId id = r.below(n);
                const Field f = kFields[r.below(3)];
                std::vector<Idx> v(roll < 4 ? 0 : r.below(3) == 0 ? r.below(40) : r.below(6));
                for (Idx& x : v) x = Idx(r.below(n));
                auto field = [f](NodeState& ns) -> std::vector<Idx>& {
                    return f == Field::Parents ? ns.parents : f == Field::Options ? ns.options : ns.children;
                };
                if (roll < 4)
                    run([=](Graph& h) { h.clear(id, f); }, [=](State& st) { field(st.nodes[id]).clear(); });
                else
                    run([=](Graph& h) { h.assign(id, f, v); }, [=](State& st) { field(st.nodes[id]) = v; });
            }
            const Step s = steps[i];
            run([s](Graph& h) { s.apply(h); }, [s](State& st) { s.apply(st); });
            if (i % 100 == 99) {
                // A copy in reversed id order.
                const u64 count = g.size();
                std::vector<Idx> map(count);
                for (u64 k = 0; k < count; ++k) map[k] = Idx(count - 1 - k);
                Graph h;
                for (u64 k = 0; k < count; ++k) h.append_mapped(g, count - 1 - k, map.data());
                CHECK_SOUND(h);
                CHECK(h.size() == count);
            }
        }
    }
    CHECK(failures > 50);
}

TEST(the_integrity_check_finds_broken_arenas) {
    // Each fault is made by hand and undone: the check must name it, and pass again.
    Graph g;
    g.add_op(0);
    // Blocks: a [0, 2), d [2, 4), e [4, 8), b [8, 10), c [10, 18).
    const NodeId a = value_with(g, 2), d = value_with(g, 2), e = value_with(g, 3);
    const NodeId b = value_with(g, 2), c = value_with(g, 5);
    g.clear(d, Field::Parents);  // a free block of 2 (between held ones)
    g.clear(e, Field::Parents);  // a free block of 4, beside the one of 2
    CHECK_SOUND(g);
    auto broken = [&](auto&& spoil, auto&& mend) {
        spoil();
        const bool found = !g.check_integrity().empty();
        mend();
        CHECK(found);
        CHECK_SOUND(g);
    };
    u32& off_b = GraphTestAccess::list_word(g, b, Field::Parents);
    const u32 kept_b = off_b;
    // Two lists in one block (and the block of the other in none).
    broken([&] { off_b = GraphTestAccess::list_word(g, a, Field::Parents); }, [&] { off_b = kept_b; });
    // A block shifted onto its neighbour.
    broken([&] { off_b = kept_b + 1; }, [&] { off_b = kept_b; });
    // A list whose size no longer matches its block: a block of 8 read as one of 16.
    u32& size_c = GraphTestAccess::size_word(g, c, Field::Parents);
    broken([&] { size_c += 4; }, [&] { size_c -= 4; });
    // A free list that drops its blocks: the head emptied.
    Idx* data = GraphTestAccess::arena_data(g);
    for (unsigned k : {1u, 2u}) {
        const Idx head = data[k];
        CHECK(head != 0);
        broken([&] { data[k] = 0; }, [&] { data[k] = head; });
    }
    // A free block that records another class.
    for (unsigned k : {1u, 2u}) {
        Idx& cls = data[data[k] + 1];
        broken([&] { cls = k + 1; }, [&] { cls = k; });
    }
    // A free list that runs in a cycle.
    {
        Idx& next = data[data[1]];
        const Idx kept = next;
        broken([&] { next = data[1]; }, [&] { next = kept; });
    }
    // The end moved past the blocks.
    u64& used = GraphTestAccess::arena_used(g);
    broken([&] { used += 2; }, [&] { used -= 2; });
}
