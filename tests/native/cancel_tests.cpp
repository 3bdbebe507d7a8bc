// Cancellation inside a single huge list, and the flat storage of the long searches'
// results.
//
// Each graph below has a handful of nodes and one list of a million entries, so nearly
// all of a call's work is the scan of that list: a call that counted the list as one unit
// would consult the hook about once for it, one that polls within it about once per
// Poll::kEvery entries.
#include "harness.hpp"

namespace {

constexpr u64 kLong = 1'000'000;

u64 polls = 0;
u64 stop_at = 0;  // 0: never stop
bool counting_hook() { return ++polls == stop_at; }

struct HookGuard {
    ~HookGuard() {
        set_cancel_hook(nullptr);
        stop_at = 0;
    }
};

// Everything a node holds, for "the graph is unchanged".
std::vector<std::vector<u64>> snapshot(const Graph& g) {
    std::vector<std::vector<u64>> s;
    s.push_back({g.root_id, g.size()});
    for (NodeId i = 0; i < g.size(); ++i) {
        std::vector<u64> n{u64(g.is_op(i)), g.payload_id(i), g.type_id(i), g.parent(i)};
        for (Field f : kFields) {
            n.push_back(~u64(0));
            for (Idx m : g.list(i, f)) n.push_back(m);
        }
        s.push_back(std::move(n));
    }
    return s;
}

// Runs `run` with a hook that never stops it and checks that the hook was consulted at
// least `min_polls` times; then with a hook that stops it at its first poll and checks
// that it throws Interrupted.  The graph must be the same after both.
template <class Run>
void check_polls_within(const char* name, const Graph& g, u64 min_polls, Run run) {
    HookGuard guard;
    const auto before = snapshot(g);
    polls = 0;
    stop_at = 0;
    set_cancel_hook(&counting_hook);
    run();
    const u64 asked = polls;
    polls = 0;
    stop_at = 1;
    bool stopped = false;
    try {
        run();
    } catch (const Interrupted&) {
        stopped = true;
    }
    set_cancel_hook(nullptr);
    if (asked < min_polls || !stopped || !(snapshot(g) == before)) {
        std::fprintf(stderr, "  %s: %llu polls (at least %llu wanted), stopped %d\n", name,
                     (unsigned long long)asked, (unsigned long long)min_polls, int(stopped));
        CHECK(!"the scan of a long list answers the cancellation hook within it");
    }
}

// Value 0 (the root) with option op 1, whose children are value 2, kLong times over; value
// 2 lists op 1 as its parent as often.  Op 3 is another option of 0 with one child, 4.
Graph long_children() {
    Graph g;
    g.add_value(0, 0);
    g.add_op(1);
    g.add_value(2, 0);
    g.add_op(3);
    g.add_value(4, 0);
    g.connect_value_to_op(0, 1);
    g.connect_value_to_op(0, 3);
    for (u64 i = 0; i < kLong; ++i) g.connect_op_to_value(1, 2);
    g.connect_op_to_value(3, 4);
    g.root_id = 0;
    return g;
}

}  // namespace

TEST(walks_copies_and_hashes_poll_within_one_long_list) {
    const Graph g = long_children();
    const u64 one_list = kLong / Poll::kEvery;  // what a scan of one list alone asks
    check_polls_within("walk from the repeated child", g, 2 * one_list, [&] { walk(g, 2); });
    check_polls_within("walk below", g, one_list, [&] { walk(g, 0, {.above = false}); });
    check_polls_within("leaves", g, one_list, [&] { leaves(g); });
    check_polls_within("connections", g, 2 * one_list, [&] { connections(g); });
    check_polls_within("connection_hash", g, 2 * one_list, [&] { connection_hash(g); });
    check_polls_within("equality_hash", g, 2 * one_list, [&] { equality_hash(g); });
    check_polls_within("clone_subgraph", g, 2 * one_list, [&] { clone_subgraph(g); });
    check_polls_within("clone_and_attach", g, 4 * one_list, [&] { clone_and_attach(g, g, 4); });

}

TEST(searches_poll_within_one_long_list) {
    const Graph g = long_children();
    const u64 one_list = kLong / Poll::kEvery;

    // The climb's sets are built from the caller's lists with polls in between.
    std::vector<NodeId> far(kLong);
    for (u64 i = 0; i < kLong; ++i) far[i] = 10 + i;  // no node of g
    const std::vector<NodeId> none;
    check_polls_within("is_below, long target list", g, one_list, [&] { is_below(g, 4, far); });
    check_polls_within("is_below, long skip list", g, one_list,
                       [&] { is_below(g, 4, none, {.skip = far}); });

    OpCache cache;
    cache[1] = OpInfo{{Condition{0}}, false, false};
    cache[3] = OpInfo{{Condition{0}}, false, false};
    check_polls_within("_tree_conditions", g, one_list, [&] { _tree_conditions(g, 1, cache, {}); });

    // One condition each for a million children: one combination, a million positions.
    const std::vector<Conditions> by_child(kLong, Conditions{Condition{0}});
    check_polls_within("condition_combinations_internal", g, one_list,
                       [&] { condition_combinations_internal(by_child, {}); });

    // A million candidates of another type: the first leaf finds no partner among them.
    Graph glue;
    glue.add_value(0, 0);
    glue.add_op(1);
    glue.add_value(1, 7);
    glue.add_value(2, 8);
    glue.connect_value_to_op(0, 1);
    glue.connect_op_to_value(1, 2);
    glue.connect_op_to_value(1, 3);
    glue.root_id = 0;
    const std::vector<NodeId> candidates(kLong, 3);
    check_polls_within("glue_leaves, long candidate list", glue, one_list,
                       [&] { glue_leaves(glue, {2}, candidates); });
}

// ---------------------------------------------------------------------------------------
// Flat result storage.

namespace {


}  // namespace

TEST(flat_lists_keep_every_list_across_block_boundaries) {
    FlatLists<u64> f;
    std::vector<std::vector<u64>> expect;
    auto add = [&](std::vector<u64> l) {
        f.push_back(l);
        expect.push_back(std::move(l));
    };
    add({});
    add({7});
    // Past one index block of lists, and lists that do not fit the current entry block
    // (one of them longer than a whole block).
    for (u64 i = 0; i < 70'000; ++i) add({i, i + 1});
    add(std::vector<u64>(FlatLists<u64>::kBlock - 5, 3));
    add({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    add(std::vector<u64>(FlatLists<u64>::kBlock + 3, 4));
    add({});
    add({9, 9});
    CHECK(f.size() == expect.size());
    CHECK(unpack(f) == expect);
    FlatLists<u64> g;
    for (const auto& l : expect) g.push_back(l);
    CHECK(f == g);
    g.push_back(std::vector<u64>{1});
    CHECK(!(f == g));
}

TEST(long_search_results_are_those_of_the_list_of_lists) {
    // Root 0 with options 1 and 2; both take value 4 (a leaf), op 1 also takes value 3.
    Graph g;
    const NodeId r = g.add_value(100, 1), p = g.add_op(7), q = g.add_op(8);
    const NodeId a = g.add_value(1, 5), b = g.add_value(2, 5);
    g.connect_value_to_op(r, p);
    g.connect_value_to_op(r, q);
    g.connect_op_to_value(p, a);
    g.connect_op_to_value(p, b);
    g.connect_op_to_value(q, b);
    g.root_id = r;
    using Lists = std::vector<std::vector<NodeId>>;
    CHECK(unpack(traces(g, b)) == (Lists{{4, 1, 0}, {4, 2, 0}}));
    CHECK(unpack(traces(g, b, {.op_nodes = false})) == (Lists{{4, 0}, {4, 0}}));
    CHECK(unpack(traces(g, b, {.me_too = false})) == (Lists{{}, {}}));
    CHECK(unpack(traces(g, r, {.above = false, .below = true})) ==
          (Lists{{0, 1, 3}, {0, 1, 4}, {0, 2, 4}}));

    // r - o2 - (m - o1 - L, L2): the cuts of L, in the search's order.
    Graph c;
    const NodeId cr = c.add_value(0, 0), o2 = c.add_op(2), m = c.add_value(1, 0);
    const NodeId l2 = c.add_value(3, 0), o1 = c.add_op(1), l = c.add_value(4, 0);
    c.connect_value_to_op(cr, o2);
    c.connect_value_to_op(m, o1);
    c.connect_op_to_value(o2, m);
    c.connect_op_to_value(o2, l2);
    c.connect_op_to_value(o1, l);
    c.root_id = cr;
    const std::vector<NodeId> given{l, l2};
    using CutList = std::vector<std::pair<std::vector<NodeId>, u64>>;
    CHECK(unpack(cross_sections_internal(c, l, given)) ==
          (CutList{{{5, 3}, 2}, {{2, 3}, 1}, {{0}, 0}}));
    CHECK(cross_sections_internal(c, l, given) == cross_sections_internal(c, l, given));
    // Two upward paths from b through the same values: a choice of b on both covers
    // itself away; the choices of 0 give one cut, found once.
    CHECK(unpack(cross_sections_internal(g, b, {})) ==
          (CutList{{std::vector<NodeId>{}, 0}, {{0}, 0}}));

    // The last child turns fastest; each pick shifted by its child's offset.
    const std::vector<Conditions> by_child{{{0}, {1, 2}}, {{}, {5}}};
    CHECK(unpack(condition_combinations_internal(by_child, {0, 10})) ==
          (std::vector<std::vector<u64>>{{0}, {0, 15}, {1, 2}, {1, 2, 15}}));
    CHECK(unpack(condition_combinations_internal(by_child, {3})) ==
          (std::vector<std::vector<u64>>{{3}, {3, 8}, {4, 5}, {4, 5, 8}}));
    CHECK(condition_combinations_internal({{}, {{1}}}, {}).size() == 0);
}
