// Native tests of the core: what the Python suite cannot reach.  The growth paths of the
// graph record (lists moving from inline to heap storage, the node array moving, the side
// table of links that do not belong to a node's kind), failures that must leave a graph
// exactly as it was (out-of-range ids, and allocation failure at every allocation a
// mutation makes), and the cancellation hook of the long searches.
//
// The core is compiled into this program with QUILL_FAULT_INJECTION, which routes the
// record's raw blocks through a countdown; `operator new` in harness.cpp counts against the same
// countdown, so "the n-th allocation fails" covers both.
#include "harness.hpp"
#include "model.hpp"

#include <map>

// ---------------------------------------------------------------------------------------
// Fault sweeps over the reference model of model.hpp.

namespace {

// Makes the n-th allocation of `op` fail, for n = 1, 2, ... until `op` runs through
// without reaching it.  After each failure the graph must read exactly as before and take
// further mutations; the run that succeeds must leave `expected`.  Returns the number of
// allocations that the successful run made.
u64 sweep(const std::function<Graph()>& make, const std::function<void(Graph&)>& op,
          const State& expected) {
    // The arena grows by exactly what it is asked for, so that blocks come from new
    // allocations rather than spare room.
    fault::tight_arena = true;
    struct Loose {
        ~Loose() { fault::tight_arena = false; }
    } loose;
    for (u64 n = 1;; ++n) {
        Graph g = make();
        const State before = dump(g);
        bool failed = false;
        fault::countdown = n;
        try {
            op(g);
        } catch (const std::bad_alloc&) {
            failed = true;
        }
        const u64 left = fault::countdown;
        fault::countdown = 0;
        if (!failed) {
            CHECK(left != 0);
            CHECK(dump(g) == expected);
            return n - 1;
        }
        CHECK(dump(g) == before);
        // The graph is still whole: the mutation succeeds when retried.
        op(g);
        CHECK(dump(g) == expected);
    }
}

std::function<Graph()> builder(const std::vector<Step>& steps) {
    return [steps] { return build(steps); };
}

// Sweeps one step applied to the graph that `setup` builds.
u64 check_step(const std::vector<Step>& setup, Step s) {
    State want = model(setup);
    s.apply(want);
    return sweep(builder(setup), [s](Graph& g) { s.apply(g); }, want);
}

// Steps that make `count` nodes of alternating kinds, the first a value node.
std::vector<Step> nodes(std::size_t count) {
    std::vector<Step> s;
    for (std::size_t i = 0; i < count; ++i)
        s.push_back(i % 2 ? Step{Step::AddOp, i} : Step{Step::AddValue, i, 1});
    return s;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Growth paths of the record.

// A value node with `n` op parents, the ops made first: its parents list takes every
// size class up to n's.
NodeId value_with_parents(Graph& g, Idx n) {
    std::vector<NodeId> ops;
    for (Idx i = 0; i < n; ++i) ops.push_back(g.add_op(i));
    const NodeId val = g.add_value(1, 1);
    for (NodeId op : ops) g.connect_op_to_value(op, val);
    return val;
}

TEST(lists_move_to_the_arena_and_grow_with_contents_intact) {
    // Two values collect parents in turn, so that neither block sits at the end of the
    // arena and every growth moves it (and, with always_move, the arena moves too); a
    // lone list at the end grows in place.
    for (bool moving : {false, true}) {
        fault::always_move = moving;
        Graph g;
        const NodeId a = g.add_value(1, 1), b = g.add_value(2, 2);
        for (Idx i = 0; i < 3000; ++i) {
            const NodeId op = g.add_op(i);
            g.connect_op_to_value(op, a);
            g.connect_op_to_value(op, b);
            CHECK(g.parents(a).size() == i + 1 && g.children(op).size() == 2);
            if ((i & (i + 1)) == 0 || i < 8)  // after every growth
                for (Idx j = 0; j <= i; ++j)
                    CHECK(g.parents(a)[j] == j + 2 && g.parents(b)[j] == j + 2);
        }
        // The blocks the two lists left behind are all on free lists: what the arena holds
        // is their final blocks, the ops' blocks of two children, and the abandoned ones.
        CHECK(GraphTestAccess::arena_used(g) <= Arena::kHeads + 2 * 4096 + 2 * 3000 + 2 * 4096);
        fault::always_move = false;
    }
    Graph g;
    const NodeId lone = value_with_parents(g, 1000);
    CHECK(GraphTestAccess::arena_used(g) == Arena::kHeads + 1024);  // grown in place
    for (Idx j = 0; j < 1000; ++j) CHECK(g.parents(lone)[j] == j);
}

TEST(an_op_keeps_two_children_in_the_node) {
    // An op's children stay in the node up to two; the third moves them to a block of
    // four, and a list that shrinks back to two or fewer returns to the node and hands its
    // block back.  Contents read right at every size, on the way up and down.
    Graph g;
    const NodeId op = g.add_op(7);
    std::vector<NodeId> vals;
    for (Idx i = 0; i < 9; ++i) vals.push_back(g.add_value(i, 1));
    std::vector<Idx> want;
    for (std::size_t k = 0; k < vals.size(); ++k) {
        CHECK((GraphTestAccess::arena_cap(g) == 0) == (k <= 2));  // two children in the node
        g.connect_op_to_value(op, vals[k]);
        want.push_back(Idx(vals[k]));
        CHECK(to_vec(g.children(op)) == want && to_vec(g.downward(op)) == want);
        CHECK(g.parents(op).empty() && g.options(op).empty() && g.type_id(op) == 0);
    }
    // Shrinking: 9 -> 3 keeps a block, 2 and fewer come home; the free block of four is
    // then taken by a second op's third child before the arena grows.
    for (std::size_t n : {5, 3, 2, 1, 0, 2, 4, 2}) {
        g.assign(op, Field::Children, std::span<const Idx>(want.data(), n));
        CHECK(to_vec(g.children(op)) == std::vector<Idx>(want.begin(), want.begin() + n));
    }
    const NodeId other = g.add_op(8);
    std::vector<Idx> fresh;
    for (Idx i = 0; i < 3; ++i) fresh.push_back(Idx(g.add_value(i, 2)));
    // (A free block at the end is cut off it, so the block is taken there again: the
    // arena's capacity stays.)
    const u64 cap = GraphTestAccess::arena_cap(g);
    for (Idx v : fresh) g.connect_op_to_value(other, v);
    CHECK(GraphTestAccess::arena_cap(g) == cap);
    CHECK(GraphTestAccess::arena_used(g) == Arena::kHeads + 4);
    CHECK(to_vec(g.children(other)) == fresh);
    CHECK(to_vec(g.children(op)) == std::vector<Idx>(want.begin(), want.begin() + 2));

    // An op's side flag is its own word: a second child with the top bit set (an id past
    // 2^31) must not make the op look for a side record.
    std::uint32_t& second = GraphTestAccess::second_child(g, op);
    const std::uint32_t kept = second;
    second |= ListRef::kFlag;
    CHECK(g.parents(op).empty() && g.options(op).empty() && g.parent(op) == kNone);
    second = kept;
    // And its side record leaves its children and type id alone.
    const NodeId val = g.add_value(3, 9);
    g.connect_op_to_value(val, op);  // an op's parents: the side table
    g.connect_value_to_op(op, op);   // an op's options and its own parent
    CHECK(to_vec(g.parents(op)) == std::vector<Idx>{Idx(val)});
    CHECK(to_vec(g.options(op)) == std::vector<Idx>{Idx(op)} && g.parent(op) == op);
    CHECK(to_vec(g.children(op)) == std::vector<Idx>(want.begin(), want.begin() + 2));
    CHECK(g.type_id(op) == 0 && g.op_id(op) == 7 && g.type_id(val) == 9);
}

TEST(the_standard_tree_needs_no_arena) {
    // Each value one option op with two child values: every link fits in its node, in
    // the graph and in a copy of it.
    Graph g;
    std::vector<NodeId> queue{g.add_value(0, 0)};
    for (std::size_t i = 0; i < 500; ++i) {
        const NodeId op = g.add_op(Idx(i));
        g.connect_value_to_op(queue[i], op);
        for (int k = 0; k < 2; ++k) {
            const NodeId child = g.add_value(Idx(i), Idx(k));
            g.connect_op_to_value(op, child);
            queue.push_back(child);
        }
    }
    std::vector<Idx> map(g.size());
    for (u64 i = 0; i < g.size(); ++i) map[i] = Idx(i);
    Graph h;
    for (u64 i = 0; i < g.size(); ++i) h.append_mapped(g, i, map.data());
    CHECK(GraphTestAccess::arena_cap(g) == 0 && GraphTestAccess::arena_cap(h) == 0);
    CHECK(dump(h) == dump(g));
}

// A graph with every in-node shape of both kinds (values with 0 or 1 parents and
// options, ops with 0 to 2 children, with and without a parent) beside nodes whose lists
// have moved to the arena and nodes with side records.
Graph mixed_shapes() {
    Graph g;
    std::vector<NodeId> vals, ops;
    for (Idx i = 0; i < 12; ++i) vals.push_back(g.add_value(i, i % 3));
    for (Idx i = 0; i < 8; ++i) ops.push_back(g.add_op(100 + i));
    g.connect_value_to_op(vals[0], ops[0]);  // ops[0]: parent, two children
    g.connect_op_to_value(ops[0], vals[1]);
    g.connect_op_to_value(ops[0], vals[2]);
    g.connect_op_to_value(ops[1], vals[3]);  // ops[1]: one child, no parent
    g.connect_value_to_op(vals[4], ops[2]);  // ops[2]: parent, no children
    g.connect_value_to_op(vals[5], ops[3]);  // ops[3]: parent, four children (arena)
    for (int k = 6; k < 10; ++k) g.connect_op_to_value(ops[3], vals[k]);
    g.connect_value_to_op(vals[6], ops[4]);  // vals[6]: parent and option
    g.connect_value_to_op(vals[6], ops[5]);  // vals[6]: a second option (arena)
    g.connect_op_to_value(ops[6], vals[6]);  // vals[6]: two parents (arena)
    g.connect_op_to_value(ops[6], ops[7]);   // side records on both kinds
    g.connect_value_to_op(vals[10], vals[11]);
    g.connect_op_to_value(ops[1], ops[1]);   // an op among its own children
    g.root_id = vals[0];
    return g;
}

TEST(own_links_give_the_links_of_nodes_that_keep_them_in_the_node) {
    // own_links answers exactly for nodes with no side record and no arena list, and
    // then lists options, parents, parent, children in that order.
    const Graph g = mixed_shapes();
    int own = 0;
    for (NodeId id = 0; id < g.size(); ++id) {
        std::vector<Idx> want;
        for_each_neighbor(g, id, [&](NodeId m) { want.push_back(Idx(m)); });
        const bool in_node = g.is_op(id)
                                 ? g.children(id).size() <= 2 && g.parents(id).empty() &&
                                       g.options(id).empty()
                                 : g.parents(id).size() <= 1 && g.options(id).size() <= 1 &&
                                       g.children(id).empty() && g.parent(id) == kNone;
        Graph::OwnLinks l;
        const bool got = g.own_links(id, l);
        CHECK(got == in_node);
        if (!got) continue;
        ++own;
        std::vector<Idx> have;
        if (l.has_lead) have.push_back(l.lead);
        for (int k = 0; k < l.primary_size; ++k) have.push_back(l.primary[k]);
        CHECK(have == want && l.count() == int(want.size()));
    }
    CHECK(own == 15);
}

TEST(append_mapped_rewrites_every_shape_through_the_map) {
    // Nodes copied in reverse id order through the reversing map: each link of the copy
    // is the mapped link of the source, in both the in-node and the general path.
    const Graph g = mixed_shapes();
    const u64 n = g.size();
    std::vector<Idx> map(n);
    for (u64 i = 0; i < n; ++i) map[i] = Idx(n - 1 - i);
    Graph h;
    for (u64 k = 0; k < n; ++k) h.append_mapped(g, n - 1 - k, map.data());
    auto mapped = [&](std::span<const Idx> l) {
        std::vector<Idx> v;
        for (Idx m : l) v.push_back(map[m]);
        return v;
    };
    for (u64 i = 0; i < n; ++i) {
        const NodeId c = map[i];
        CHECK(h.is_op(c) == g.is_op(i) && h.payload_id(c) == g.payload_id(i));
        CHECK(h.type_id(c) == g.type_id(i));
        CHECK(to_vec(h.parents(c)) == mapped(g.parents(i)));
        CHECK(to_vec(h.options(c)) == mapped(g.options(i)));
        CHECK(to_vec(h.children(c)) == mapped(g.children(i)));
        CHECK(h.parent(c) == (g.parent(i) == kNone ? kNone : map[g.parent(i)]));
    }
}

TEST(lists_take_back_saved_contents_whichever_storage_they_are_in) {
    // What undoing a glue step does: a list is given back earlier contents.  From every
    // size to every size (crossing the node / arena border both ways) for an op's
    // children and a value's parents and options, with the n-th allocation failing.
    // A neighbouring list in the arena must be untouched.
    struct Shape {
        Field field;
        NodeId node;
        Step (*link)(u64 node, u64 other);
        u64 first_other;  // the other ends are first_other, first_other + 2, ...
    };
    const Shape shapes[] = {
        {Field::Children, 1, [](u64 n, u64 o) { return Step{Step::OpToValue, n, o}; }, 0},
        {Field::Parents, 0, [](u64 n, u64 o) { return Step{Step::OpToValue, o, n}; }, 1},
        {Field::Options, 0, [](u64 n, u64 o) { return Step{Step::ValueToOp, n, o}; }, 1},
    };
    for (const Shape& sh : shapes) {
        for (u64 from = 0; from <= 5; ++from) {
            std::vector<Step> setup = nodes(24);
            for (u64 k = 0; k < 3; ++k) setup.push_back({Step::OpToValue, 23, 2 * k});
            for (u64 k = 0; k < from; ++k) setup.push_back(sh.link(sh.node, sh.first_other + 2 * k));
            for (u64 k = 3; k < 6; ++k) setup.push_back({Step::OpToValue, 23, 2 * k});
            for (u64 to = 0; to <= 5; ++to) {
                std::vector<Idx> saved;
                for (u64 k = 0; k < to; ++k) saved.push_back(Idx(sh.first_other + 2 * (to - k)));
                State want = model(setup);
                NodeState& n = want.nodes[sh.node];
                (sh.field == Field::Children ? n.children : sh.field == Field::Parents ? n.parents : n.options) = saved;
                sweep(builder(setup), [&](Graph& g) { g.assign(sh.node, sh.field, saved); }, want);
            }
        }
    }
}

TEST(freed_blocks_are_taken_again) {
    // Emptying a list hands its block back; shrinking one hands back the part it no
    // longer needs.  Lists that grow later take those blocks before the arena grows.
    Graph g;
    const NodeId big = value_with_parents(g, 5);  // a block of 8
    const NodeId spare = g.add_value(0, 0);
    g.connect_op_to_value(0, spare);  // keeps the block of `big` off the end
    g.connect_op_to_value(1, spare);
    const u64 used = GraphTestAccess::arena_used(g);
    g.clear(big, Field::Parents);
    CHECK(g.parents(big).empty());
    const std::vector<Idx> six{0, 1, 2, 3, 4, 5};
    const NodeId again = g.add_value(0, 0);
    g.assign(again, Field::Parents, six);
    CHECK(GraphTestAccess::arena_used(g) == used);
    CHECK(to_vec(g.parents(again)) == six);

    // Replacing a block of 16 by two entries leaves pieces of 2, 4 and 8 free.
    std::vector<Idx> sixteen(16, 7);
    const NodeId target = g.add_value(0, 0);
    g.assign(target, Field::Parents, sixteen);
    g.connect_op_to_value(2, spare);
    const u64 used2 = GraphTestAccess::arena_used(g);
    g.assign(target, Field::Parents, std::span<const Idx>(sixteen.data(), 2));
    CHECK(to_vec(g.parents(target)) == std::vector<Idx>(2, 7));
    std::vector<NodeId> filled;
    for (Idx n : {2, 3, 7}) {
        const NodeId v = g.add_value(0, 0);
        g.assign(v, Field::Parents, std::span<const Idx>(sixteen.data(), n));
        filled.push_back(v);
    }
    CHECK(GraphTestAccess::arena_used(g) == used2);
    CHECK(to_vec(g.parents(target)) == std::vector<Idx>(2, 7));
    for (std::size_t i = 0; i < 3; ++i) CHECK(g.parents(filled[i]).size() == std::size_t(i == 0 ? 2 : i == 1 ? 3 : 7));
    // Back to one entry: the list is kept in the node again.
    g.assign(target, Field::Parents, std::span<const Idx>(sixteen.data(), 1));
    CHECK(to_vec(g.parents(target)) == std::vector<Idx>{7});
}

TEST(full_list_refuses_to_grow_past_its_count) {
    // A list holding the most entries a 31-bit count allows.  Filling one takes 8 GiB, so
    // the count is set by hand over a small block: growing must fail before anything is
    // written, in both lists a connect appends to, and the lists must read as before.
    Graph g;
    const NodeId val = g.add_value(1, 1), op = g.add_op(2);
    for (int i = 0; i < 3; ++i) g.connect_op_to_value(op, val);
    for (std::uint32_t* full : {&GraphTestAccess::primary_word(g, val), &GraphTestAccess::primary_word(g, op)}) {
        const std::uint32_t word = *full;
        *full = (word & ListRef::kFlag) | std::uint32_t(kMaxListSize);
        CHECK(g.is_op(op) && !g.is_op(val));
        CHECK_THROWS(std::bad_alloc, g.connect_op_to_value(op, val));
        *full = word;
        CHECK(g.children(op).size() == 3 && g.parents(val).size() == 3);
    }
    CHECK(g.is_op(op) && !g.is_op(val));
}

TEST(arena_refuses_to_pass_32_bit_offsets) {
    // An arena whose next block would end past 2^32 entries refuses it before anything
    // changes, rather than handing out an offset that wraps.  The counts are set by hand
    // over the small real block; restored before the graph is dropped.
    Graph g;
    const NodeId val = value_with_parents(g, 2);
    const NodeId op = g.add_op(9);
    g.connect_op_to_value(op, g.add_value(3, 3));
    const State before = dump(g);
    u64& used = GraphTestAccess::arena_used(g);
    u64& cap = GraphTestAccess::arena_cap(g);
    const u64 real_used = used, real_cap = cap;
    for (u64 left : {u64(0), u64(1), u64(3)}) {
        used = cap = kMaxArena - left;
        CHECK_THROWS(std::bad_alloc, g.connect_op_to_value(op, val));  // blocks of 2 and 4
        CHECK(used == kMaxArena - left && cap == kMaxArena - left);
        used = real_used;
        cap = real_cap;
        CHECK(dump(g) == before);
    }
}

TEST(side_records_are_found_by_id_as_the_table_grows) {
    // Off-kind links on many nodes, added in scattered order: every node must find its
    // own record through each growth of the table, and nodes without one read empty.
    Graph g;
    State m;
    auto step = [&](Step s) {
        s.apply(g);
        s.apply(m);
    };
    const u64 n = 3000;
    for (u64 i = 0; i < n; ++i) step(i % 2 ? Step{Step::AddOp, i} : Step{Step::AddValue, i, 1});
    for (u64 k = 0; k < n / 2; ++k) {
        const u64 i = (k * 1237) % n;
        if (i % 3 == 0) continue;
        if (i % 2)  // an op's parents and options
            step({Step::OpToValue, (i + 2) % n, i}), step({Step::ValueToOp, i, (i + 1) % n});
        else  // a value's children and parent
            step({Step::OpToValue, i, (i + 1) % n}), step({Step::ValueToOp, (i + 2) % n, i});
    }
    CHECK(GraphTestAccess::side_records(g) > 1000);
    CHECK(dump(g) == m);
}

TEST(node_array_moves_with_every_list_intact) {
    // Every growth of the node array moves it; lists inline, on the heap and in the side
    // table must survive each move.
    fault::always_move = true;
    std::size_t n = 0;
    std::vector<const void*> arrays;
    Graph g;
    State m;
    auto step = [&](Step s) {
        s.apply(g);
        s.apply(m);
    };
    for (std::size_t i = 0; i < 3000; ++i) {
        step(i % 3 ? Step{Step::AddOp, i} : Step{Step::AddValue, i, u64(i % 5)});
        ++n;
        if (arrays.empty() || arrays.back() != GraphTestAccess::node_array(g))
            arrays.push_back(GraphTestAccess::node_array(g));
        const u64 a = (i * 31) % n, b = (i * 17 + 3) % n;
        step({Step::OpToValue, a, b});
        step({Step::ValueToOp, b, a});
        step({Step::OpToValue, 0, i});  // node 0 collects a long list
    }
    fault::always_move = false;
    CHECK(arrays.size() >= 8);
    CHECK(dump(g) == m);
}

TEST(random_mutations_match_the_model) {
    for (u64 seed = 1; seed <= 40; ++seed) {
        const std::vector<Step> steps = random_steps(seed, 600, seed % 2 ? 12 : 60);
        Graph g;
        State m;
        for (const Step& s : steps) {
            s.apply(g);
            s.apply(m);
            CHECK(dump(g) == m);
        }
    }
}

TEST(copies_of_nodes_keep_every_link) {
    // append_mapped copies a node with its links rewritten through a map, side-table
    // links included; here once in id order and once reversed.
    for (u64 seed = 100; seed < 130; ++seed) {
        const Graph g = build(random_steps(seed, 400, 30));
        const State src = dump(g);
        const u64 n = g.size();
        for (bool reversed : {false, true}) {
            std::vector<Idx> map(n);
            for (u64 i = 0; i < n; ++i) map[i] = Idx(reversed ? n - 1 - i : i);
            Graph h;
            for (u64 k = 0; k < n; ++k) h.append_mapped(g, reversed ? n - 1 - k : k, map.data());
            const State copy = dump(h);
            for (u64 i = 0; i < n; ++i) {
                NodeState want = src.nodes[i];
                for (auto* v : {&want.parents, &want.options, &want.children})
                    for (Idx& x : *v) x = map[x];
                if (want.parent != kNone) want.parent = map[want.parent];
                CHECK(copy.nodes[map[i]] == want);
            }
        }
    }
}

// ---------------------------------------------------------------------------------------
// Failures leave the graph exactly as it was.

TEST(out_of_range_ids_change_nothing) {
    Graph g = build(random_steps(7, 300, 20));
    const State before = dump(g);
    const u64 n = g.size();
    auto refused = [&](auto&& call) {
        CHECK_THROWS(Error, call());
        CHECK(dump(g) == before);
    };
    refused([&] { g.connect_op_to_value(1, n); });
    refused([&] { g.connect_op_to_value(n, 0); });
    refused([&] { g.connect_value_to_op(0, n + 5); });
    refused([&] { g.connect_value_to_op(~u64(0), 1); });
    NodeId with_parents = 0;
    while (g.parents(with_parents).empty()) ++with_parents;
    refused([&] { merge_value_nodes(g, n, with_parents, {.upper = true}); });
    refused([&] { merge_value_nodes(g, 0, n, {.lower = true}); });
    refused([&] { merge_value_nodes(g, 0, n, {.upper = true, .lower = true}); });
    // With nothing to move, keep is not looked at, whatever it names.
    const NodeId bare = g.add_value(9, 9);
    const State with_bare = dump(g);
    merge_value_nodes(g, n + 1000000, bare, {.upper = true, .lower = true});
    CHECK(dump(g) == with_bare);
}

TEST(allocation_failure_in_a_connect_changes_nothing) {
    // Every allocating shape: lists leaving the node (a value's second parent, an op's
    // third child), full arena blocks (the arena takes room for both ends in one growth),
    // links kept in the side table (new side records, growing side lists).
    std::vector<Step> full = nodes(6);
    CHECK(check_step(full, {Step::OpToValue, 1, 2}) == 0);  // both ends stay in the node
    full.push_back({Step::OpToValue, 1, 0});
    CHECK(check_step(full, {Step::OpToValue, 1, 2}) == 0);  // an op's second child too
    full.push_back({Step::OpToValue, 3, 0});
    CHECK(check_step(full, {Step::OpToValue, 1, 0}) >= 1);  // value 0's parents leave
    full.push_back({Step::OpToValue, 1, 2});  // op 1: two children, both in the node
    CHECK(check_step(full, {Step::OpToValue, 1, 4}) >= 1);  // op 1's children leave
    CHECK(check_step(full, {Step::OpToValue, 1, 0}) >= 1);  // both ends leave
    for (u64 v : {0, 2}) {  // op 1 and op 3 get three children, value 0 four parents
        full.push_back({Step::OpToValue, 1, v});
        full.push_back({Step::OpToValue, 3, v});
    }
    CHECK(check_step(full, {Step::OpToValue, 1, 2}) >= 1);  // value 2's block doubles
    CHECK(check_step(full, {Step::OpToValue, 3, 0}) >= 1);  // value 0's block doubles
    // op 1's children: a full block of 4 that does not end the arena moves to a new
    // block of 8 at the end.
    CHECK(check_step(full, {Step::OpToValue, 1, 4}) >= 1);
    full.push_back({Step::OpToValue, 1, 4});
    CHECK(check_step(full, {Step::OpToValue, 1, 4}) >= 1);
    // Side table: a value node's children and an op node's parents.
    CHECK(check_step(nodes(4), {Step::OpToValue, 0, 1}) >= 2);
    CHECK(check_step(nodes(4), {Step::OpToValue, 2, 2}) >= 1);  // a node below itself
    // A value's options in place, an op's options and a value's parent in the side table.
    std::vector<Step> opts = nodes(6);
    opts.push_back({Step::ValueToOp, 0, 1});
    opts.push_back({Step::ValueToOp, 0, 3});
    CHECK(check_step(opts, {Step::ValueToOp, 0, 2}) >= 2);
    CHECK(check_step(opts, {Step::ValueToOp, 1, 4}) >= 2);
    CHECK(check_step(opts, {Step::ValueToOp, 3, 3}) >= 1);
}

TEST(allocation_failure_in_a_merge_changes_nothing) {
    // Merges of every shape that random graphs produce: kinds mixed, keep's lists full or
    // not, moved options that are value nodes (their parent is kept in the side table).
    u64 allocating = 0;
    for (u64 seed = 200; seed < 260; ++seed) {
        const std::vector<Step> setup = random_steps(seed, 200, 16);
        const u64 n = model(setup).nodes.size();
        Rng r{seed};
        for (int k = 0; k < 4; ++k) {
            const Step s{Step::Merge, r.below(n), r.below(n), r.below(3) != 0, r.below(3) != 0};
            if (check_step(setup, s) > 0) ++allocating;
        }
    }
    CHECK(allocating > 100);

    // A merge that moves many links onto a keep whose lists are full.
    std::vector<Step> big = nodes(80);
    for (u64 op = 1; op < 80; op += 2) {
        big.push_back({Step::OpToValue, op, 2});
        big.push_back({Step::ValueToOp, 2, op});
        if (op < 5) {
            big.push_back({Step::OpToValue, op, 0});
            big.push_back({Step::ValueToOp, 0, op});
        }
    }
    big.push_back({Step::ValueToOp, 2, 4});  // a value node among the options
    CHECK(check_step(big, {Step::Merge, 0, 2, true, true}) >= 4);
}


TEST(allocation_failure_in_a_copy_changes_nothing) {
    const Graph g = build(random_steps(42, 500, 20));
    const u64 n = g.size();
    std::vector<Idx> map(n);
    for (u64 i = 0; i < n; ++i) map[i] = Idx(i);
    for (u64 id = 0; id < n; ++id) {
        // Copies the nodes before `id` without faults, then `id` under the sweep.
        Graph full;
        for (u64 k = 0; k <= id; ++k) full.append_mapped(g, k, map.data());
        sweep(
            [&] {
                Graph h;
                for (u64 k = 0; k < id; ++k) h.append_mapped(g, k, map.data());
                return h;
            },
            [&](Graph& h) { h.append_mapped(g, id, map.data()); }, dump(full));
    }
}

// ---------------------------------------------------------------------------------------
// The sets of the searches answer like a plain set, across the switch from their short
// form to their long one.

TEST(id_sets_answer_like_a_plain_set) {
    Rng r{77};
    const u64 bound = 300;

    StampedSet stamped(bound);
    CHECK(!stamped.contains(5) && !stamped.contains(~u64(0)));
    for (int round = 0; round < 50; ++round) {
        std::set<u64> model;
        stamped.clear();
        for (u64 k = r.below(40); k-- > 0;) {
            const u64 id = r.below(bound);
            stamped.insert(id);
            model.insert(id);
        }
        for (u64 id = 0; id < bound + 5; ++id) CHECK(stamped.contains(id) == (model.count(id) > 0));
    }

    // A path deeper than its scan limit, unwound and grown again.
    SearchPath path(bound);
    std::vector<u64> model;
    for (int step = 0; step < 2000; ++step) {
        if (!model.empty() && r.below(5) < 2) {
            CHECK(path.back() == model.back());
            path.pop();
            model.pop_back();
        } else {
            const u64 id = r.below(bound);
            if (path.contains(id)) continue;
            path.push(id);
            model.push_back(id);
        }
        const u64 probe = r.below(bound);
        CHECK(path.contains(probe) == (std::find(model.begin(), model.end(), probe) != model.end()));
        CHECK(path.empty() == model.empty());
    }

    // Lists short and long, with repeats and ids beyond the bound; the caller's ids also
    // take the values a table might reserve.
    ListMembership in_list(bound);
    Poll poll;
    for (std::size_t len : {0, 3, 16, 17, 200}) {
        std::vector<Idx> list;
        for (std::size_t i = 0; i < len; ++i) list.push_back(Idx(r.below(bound + 20)));
        in_list.reset(list, poll);
        std::vector<NodeId> ids(list.begin(), list.end());
        ids.push_back(~u64(0));
        ids.push_back(u64(1) << 40);
        const IdSet id_set(ids);
        const IdSet polled_set(ids, poll);  // sized for all of them before the first
        for (u64 id = 0; id < bound + 25; ++id) {
            const bool listed = std::find(list.begin(), list.end(), Idx(id)) != list.end();
            CHECK(in_list.contains(id) == listed);
            CHECK(id_set.contains(id) == listed);
            CHECK(polled_set.contains(id) == listed);
        }
        CHECK(id_set.contains(~u64(0)) && id_set.contains(u64(1) << 40));
        CHECK(polled_set.contains(~u64(0)) && polled_set.contains(u64(1) << 40));
        CHECK(!id_set.contains(~u64(0) - 1));
    }
}

// The per-node maps keep every value through their moves from the short list to the table
// and on to the flat array, for bounds where each move comes early, late or never; an
// allocation failure during a move leaves the map as it was.
TEST(id_stacks_keep_their_entries_across_growth) {
    // Past the entries held in the object, then past several doublings, entries come back
    // in reverse order; a growth that fails leaves the stack as it was.
    IdStack st;
    for (Idx i = 0; i < 1000; ++i) st.push_back(i * 3);
    for (Idx i = 1000; i-- > 0;) {
        CHECK(!st.empty() && st.back() == i * 3);
        st.pop_back();
    }
    CHECK(st.empty());
#ifdef QUILL_FAULT_INJECTION
    for (u64 fail_at = 1; fail_at < 4; ++fail_at) {
        IdStack s;
        Idx pushed = 0;
        try {
            fault::countdown = fail_at;
            for (; pushed < 200; ++pushed) s.push_back(pushed);
            fault::countdown = 0;
        } catch (const std::bad_alloc&) {
            fault::countdown = 0;
        }
        CHECK(pushed > 0 && pushed < 200);
        for (Idx i = pushed; i-- > 0;) {
            CHECK(s.back() == i);
            s.pop_back();
        }
        CHECK(s.empty());
    }
#endif
}

// Appends that overflow the entries held in the object, one past them and far past
// them, keep every entry in order; a truncated array grows again from where it was cut;
// an append whose growth fails leaves the array as it was.
TEST(inline_vectors_keep_their_entries_across_appends) {
    InlineVector<u64, 4> v;
    std::vector<u64> model;
    const std::vector<u64> chunk{7, 8, 9};
    for (int round = 0; round < 40; ++round) {
        if (round % 5 == 4) {
            v.truncate(model.size() / 2);
            model.resize(model.size() / 2);
        } else if (round % 2) {
            v.append(chunk);
            model.insert(model.end(), chunk.begin(), chunk.end());
        } else {
            v.push_back(u64(round));
            model.push_back(u64(round));
        }
        CHECK(v.size() == model.size());
        CHECK(std::equal(model.begin(), model.end(), v.data()));
    }
    const std::vector<u64> many(1000, 5);
    v.append(many);
    CHECK(v.size() == model.size() + 1000 && v.back() == 5 && v[0] == model[0]);
#ifdef QUILL_FAULT_INJECTION
    InlineVector<u64, 4> w;
    w.append(chunk);
    fault::countdown = 1;
    CHECK_THROWS(std::bad_alloc, w.append(many));
    fault::countdown = 0;
    CHECK(w.size() == 3 && w[0] == 7 && w[2] == 9);
#endif
}

// Searches that reuse the thread's table start empty, keep their bytes through its
// doublings and through the move to a map of their own, and a second search made while
// one holds the table works on its own map.
TEST(scratch_bytes_start_empty_and_keep_their_values) {
    const u64 bound = 1'000'000;
    Rng r{17};
    for (const u64 ids : {u64(5), u64(60), u64(700), u64(5000)}) {
        std::map<u64, std::uint8_t> model;
        ScratchBytes bytes(bound);
        ScratchBytes nested(bound);
        for (u64 k = 0; k < 3 * ids; ++k) {
            const u64 id = r.below(bound);
            CHECK(bytes.ref(id) == (model.count(id) ? model[id] : 0));
            const auto v = std::uint8_t(1 + r.below(200));
            bytes.ref(id) = v;
            model[id] = v;
            nested.ref(id) |= 1;
            if (model.size() >= ids) break;
        }
        for (const auto& [id, v] : model) CHECK(bytes.ref(id) == v && nested.ref(id) == 1);
    }
    ScratchBytes fresh(bound);  // after searches that filled the table
    for (u64 id = 0; id < 3000; ++id) CHECK(fresh.ref(id) == 0);
}

TEST(node_maps_keep_their_values_across_growth) {
    Rng r{91};
    for (const u64 bound : {u64(5), u64(300), u64(100000)}) {
        NodeMap<u64> map(bound);
        NodeSet set(bound);
        NodeMultiset multi(bound);
        std::vector<u64> model(bound, 0), counts(bound, 0);
        std::vector<bool> members(bound, false);
        const u64 steps = std::min<u64>(3 * bound, 20000);
        for (u64 step = 0; step < steps; ++step) {
            // Ids from a window that widens, so that the maps grow step by step.
            const u64 id = r.below(std::min(bound, 4 + step / 2));
            const u64 v = r.next();
            map.set(id, v);
            model[id] = v;
            if (r.below(3) == 0) {
                set.erase(id);
                members[id] = false;
            } else {
                set.insert(id);
                members[id] = true;
            }
            if (counts[id] > 0 && r.below(2) == 0) {
                multi.erase_one(id);
                --counts[id];
            } else {
                multi.insert(id);
                ++counts[id];
            }
            if (step % 97 == 0 || step + 1 == steps) {
                for (u64 x = 0; x < bound; ++x) {
                    CHECK(map.get(x) == model[x]);
                    CHECK(set.contains(x) == members[x]);
                    CHECK(multi.count(x) == counts[x]);
                }
            }
        }
        map.ref(bound - 1) += 3;
        CHECK(map.get(bound - 1) == model[bound - 1] + 3);
    }

    // A map whose empty value is kNone (walk positions, a copy's new ids): unset ids read
    // kNone in every form, the flat view agrees with get(), and the ascending listing
    // gives exactly the ids set, in order, whichever form the map is in.
    for (const u64 bound : {u64(3), u64(300), u64(100000)}) {
        for (const u64 held : {u64(0), u64(2), u64(8), u64(9), u64(40), u64(3000)}) {
            if (held > bound) continue;
            IdxMap map(bound);
            std::vector<Idx> model(bound, kNone);
            for (u64 k = 0; k < held; ++k) {
                const u64 id = r.below(bound);
                if (model[id] != kNone) continue;
                model[id] = Idx(k);
                map.set(id, Idx(k));
            }
            for (u64 x = 0; x < bound; ++x) CHECK(map.get(x) == model[x]);
            if (map.is_flat())
                for (u64 x = 0; x < bound; ++x) CHECK(map.flat()[x] == model[x]);
            std::vector<std::pair<u64, Idx>> listed, want;
            for (u64 x = 0; x < bound; ++x)
                if (model[x] != kNone) want.emplace_back(x, model[x]);
            CHECK(map.for_each_ascending([&](NodeId id, Idx v) {
                listed.emplace_back(id, v);
                return true;
            }));
            CHECK(listed == want);
            // Stopping early: f sees one pair and the listing reports that it stopped.
            u64 calls = 0;
            CHECK(map.for_each_ascending([&](NodeId, Idx) { return ++calls, false; }) ==
                  want.empty());
            CHECK(calls == std::min<u64>(1, want.size()));
        }
    }

#ifdef QUILL_FAULT_INJECTION
    // Failing every allocation in turn while a map grows into its table and its flat form.
    for (u64 fail_at = 1; fail_at < 12; ++fail_at) {
        NodeMap<u64> map(400);
        u64 held = 0;
        try {
            fault::countdown = fail_at;
            for (; held < 400; ++held) map.set(held, held + 1);
            fault::countdown = 0;
        } catch (const std::bad_alloc&) {
            fault::countdown = 0;
        }
        for (u64 x = 0; x < 400; ++x) CHECK(map.get(x) == (x < held ? x + 1 : 0));
    }
    for (u64 fail_at = 1; fail_at < 12; ++fail_at) {
        IdxMap map(400);
        u64 held = 0;
        try {
            fault::countdown = fail_at;
            for (; held < 400; ++held) map.set(held, Idx(held));
            fault::countdown = 0;
        } catch (const std::bad_alloc&) {
            fault::countdown = 0;
        }
        for (u64 x = 0; x < 400; ++x) CHECK(map.get(x) == (x < held ? Idx(x) : kNone));
    }
#endif
}

// ---------------------------------------------------------------------------------------
// Each failure says what went wrong, with its message.

namespace {

template <class Call>
void check_failure(Failure want, const std::string& message, Call&& call) {
    try {
        call();
    } catch (const Error& e) {
        if (e.failure == want && e.message == message) return;
        std::fprintf(stderr, "  failure %d \"%s\"\n", int(e.failure), e.message.c_str());
    }
    CHECK(!"the call fails with the expected failure and message");
}

}  // namespace

TEST(each_failure_names_what_went_wrong) {
    // Root value 0, its option op 1, the op's children 2 and 3, and 4 beside them; the
    // three values share one type.
    Graph g;
    g.add_value(0, 0);
    g.add_op(1);
    for (u32 v : {2, 3, 4}) g.add_value(v, 5);
    g.connect_value_to_op(0, 1);
    g.connect_op_to_value(1, 2);
    g.connect_op_to_value(1, 3);
    const std::vector<NodeId> none;

    check_failure(Failure::IdOutOfRange, "index out of bounds: the len is 5 but the index is 9",
                  [&] { walk(g, 9); });
    check_failure(Failure::NoEntry, "no entry found for key", [&] { clone_and_attach(g, g, 4); });
    check_failure(Failure::NoValidRoot, "Cannot clone_subgraph: Graph has no valid root_id set",
                  [&] { clone_subgraph(Graph{}); });
    check_failure(Failure::LeafNotInCopy, "first missing in corr map",
                  [&] { glue_leaves(g, {4}, {2}); });
    check_failure(Failure::PartnerNotInCopy, "candidate missing in corr map",
                  [&] { glue_leaves(g, {2}, {4}); });
    check_failure(Failure::RestNotInCopy, "rest id missing in corr",
                  [&] { glue_leaves(g, {2, 3, 4}, none); });
    check_failure(Failure::CandidateNotInCopy, "candidate id missing in corr",
                  [&] { glue_leaves(g, {2, 3}, {4}); });

    // Value 0 -> op 1 -> value 2 -> op 3 -> value 0 again.
    Graph cyclic;
    for (int i = 0; i < 2; ++i) {
        cyclic.add_value(0, 0);
        cyclic.add_op(1);
    }
    cyclic.connect_value_to_op(0, 1);
    cyclic.connect_op_to_value(1, 2);
    cyclic.connect_value_to_op(2, 3);
    cyclic.connect_op_to_value(3, 0);
    check_failure(Failure::LeafEdgeCycle, "cycle through option and child edges at node 2",
                  [&] { _tree_conditions(cyclic, 1, {}, {}); });

    // Every level doubles the leaf occurrences: 2**60 positions under op 1's one child.
    Graph doubling;
    const int depth = 61;
    for (int i = 0; i < depth; ++i) {
        doubling.add_value(0, 0);
        doubling.add_op(1);
    }
    doubling.add_value(0, 0);
    for (NodeId i = 0; i < depth; ++i) {
        doubling.connect_value_to_op(2 * i, 2 * i + 1);
        doubling.connect_op_to_value(2 * i + 1, 2 * i + 2);
        doubling.connect_op_to_value(2 * i + 1, 2 * i + 2);
    }
    OpCache select_first;
    select_first[1] = OpInfo{{Condition{0}}, false, false};
    check_failure(Failure::CountTooLarge, "leaf occurrence count too large: 2**60 positions or more",
                  [&] { _tree_conditions(doubling, 1, select_first, {}); });
}

// ---------------------------------------------------------------------------------------
// The cancellation hook.

namespace {

u64 polls = 0;
u64 stop_at = 0;  // 0: never stop
bool counting_hook() { return ++polls == stop_at; }

// A bottom value with 2**k upward paths: each value has two parent ops below one value.
Graph ladder(int k, NodeId& bottom) {
    Graph g;
    bottom = g.add_value(0, 0);
    NodeId cur = bottom;
    for (int i = 0; i < k; ++i) {
        const NodeId top = g.add_value(u32(i + 1), 0);
        for (int j = 0; j < 2; ++j) {
            const NodeId op = g.add_op(u32(i));
            g.connect_value_to_op(top, op);
            g.connect_op_to_value(op, cur);
        }
        cur = top;
    }
    g.root_id = cur;
    return g;
}

// A value over an op whose `width` children each offer an op with two leaves; op 2
// picks either leaf, so the tree has 2**width conditions.
Graph fan(int width) {
    Graph g;
    const NodeId root = g.add_value(0, 0);
    const NodeId top = g.add_op(1);
    g.connect_value_to_op(root, top);
    for (int i = 0; i < width; ++i) {
        const NodeId v = g.add_value(u32(i + 1), 0);
        g.connect_op_to_value(top, v);
        const NodeId op = g.add_op(2);
        g.connect_value_to_op(v, op);
        for (int j = 0; j < 2; ++j) g.connect_op_to_value(op, g.add_value(100, 5));
    }
    g.root_id = root;
    return g;
}

bool same(const std::vector<Graph>& a, const std::vector<Graph>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!(dump(a[i]) == dump(b[i]))) return false;
    return true;
}

// Runs a search without a hook, then with one that never stops (same result, and the
// hook is asked), then with one that stops at its second poll.
template <class Run, class Same>
void check_cancellation(const char* name, Run run, Same same_result) {
    set_cancel_hook(nullptr);
    const auto plain = run();
    polls = 0;
    stop_at = 0;
    set_cancel_hook(&counting_hook);
    const auto watched = run();
    const u64 asked = polls;
    bool stopped = false;
    polls = 0;
    stop_at = 2;
    try {
        run();
    } catch (const Interrupted&) {
        stopped = true;
    }
    set_cancel_hook(nullptr);
    stop_at = 0;
    if (!same_result(plain, watched) || asked < 2 || !stopped || polls != 2) {
        std::fprintf(stderr, "  %s: same result %d, polls %llu, stopped %d at poll %llu\n", name,
                     int(same_result(plain, watched)), (unsigned long long)asked, int(stopped),
                     (unsigned long long)polls);
        CHECK(!"the search answers the cancellation hook");
    }
}

template <class T>
bool equal(const T& a, const T& b) {
    return a == b;
}

}  // namespace

TEST(long_searches_answer_the_cancellation_hook) {
    NodeId bottom;
    const Graph g = ladder(14, bottom);
    const std::vector<NodeId> none;
    const std::vector<NodeId> leaf{bottom};
    check_cancellation("traces", [&] { return traces(g, bottom); },
                       equal<Traces>);
    check_cancellation("is_below", [&] { return is_below(g, bottom, none); }, equal<bool>);
    NodeId small_bottom;
    const Graph small = ladder(3, small_bottom);
    const std::vector<NodeId> small_leaf{small_bottom};
    check_cancellation("cross_sections_internal",
                       [&] { return cross_sections_internal(small, small_bottom, small_leaf); },
                       equal<Cuts>);

    Graph glue;
    const NodeId root = glue.add_value(0, 0);
    const NodeId op = glue.add_op(0);
    glue.connect_value_to_op(root, op);
    std::vector<NodeId> leaves;
    for (int i = 0; i < 9; ++i) {
        leaves.push_back(glue.add_value(u32(i), 7));
        glue.connect_op_to_value(op, leaves.back());
    }
    const std::vector<NodeId> candidates(leaves.end() - 2, leaves.end());
    leaves.resize(leaves.size() - 2);
    check_cancellation("glue_leaves",
                       [&] { return glue_leaves(glue, leaves, candidates); },
                       same);

    const Graph tree = fan(15);
    OpCache cache;
    cache[1] = OpInfo{{Condition{}}, false, false};
    cache[2] = OpInfo{{Condition{0}, Condition{1}}, false, false};
    check_cancellation("_tree_conditions", [&] { return _tree_conditions(tree, 1, cache, {}); },
                       equal<Conditions>);
    const Graph small_tree = fan(12);  // pruning makes this one far slower
    check_cancellation("get_conditions", [&] { return get_conditions(small_tree, 0, cache, {}); },
                       equal<Conditions>);
    const std::vector<Conditions> by_child(16, Conditions{Condition{0}, Condition{1}});
    check_cancellation("condition_combinations_internal",
                       [&] { return condition_combinations_internal(by_child, {}); },
                       equal<FlatConditions>);
}

TEST(work_in_long_lists_answers_the_cancellation_hook) {
    // Four nodes and 80,000 links: root value 0 with the options op 1 and op 3, each of
    // which takes value 2 twenty thousand times.  Work that grows with the links, not
    // the nodes, must count.
    Graph g;
    g.add_value(0, 0);
    g.add_op(1);
    g.add_value(2, 0);
    g.add_op(3);
    for (NodeId op : {1, 3}) {
        g.connect_value_to_op(0, op);
        for (int i = 0; i < 20000; ++i) g.connect_op_to_value(op, 2);
    }
    auto same_graph = [](const Graph& a, const Graph& b) { return dump(a) == dump(b); };
    check_cancellation("walk", [&] { return walk(g, 2); }, equal<std::vector<NodeId>>);
    check_cancellation("leaves", [&] { return leaves(g); }, equal<std::vector<NodeId>>);
    check_cancellation("connection_hash", [&] { return connection_hash(g); }, equal<u64>);
    check_cancellation("equality_hash", [&] { return equality_hash(g); }, equal<u64>);
    check_cancellation("clone_subgraph", [&] { return clone_subgraph(g).graph; }, same_graph);
    check_cancellation("clone_and_attach", [&] { return clone_and_attach(g, g, 2).graph; },
                       same_graph);

    // A value with twenty thousand options that take nothing, below op 1.
    Graph wide;
    wide.add_value(0, 0);
    wide.add_op(1);
    wide.add_value(2, 0);
    wide.connect_value_to_op(0, 1);
    wide.connect_op_to_value(1, 2);
    for (int i = 0; i < 20000; ++i) wide.connect_value_to_op(2, wide.add_op(3));
    OpCache cache;
    cache[1] = OpInfo{{Condition{0}}, false, false};
    check_cancellation("_tree_conditions", [&] { return _tree_conditions(wide, 1, cache, {}); },
                       equal<Conditions>);

    // An op whose callable (value id 7) has twenty thousand conditions.
    Graph call;
    call.add_op(1);
    call.add_value(7, 0);
    call.connect_op_to_value(0, 1);
    OpCache callables;
    callables[1] = OpInfo{{}, true, false};
    for (u64 i = 0; i < 20000; ++i) callables[7].conditions.push_back(Condition{i});
    check_cancellation("_update_callable_conditions",
                       [&] { return _update_callable_conditions(call, 0, callables); },
                       equal<Conditions>);
}


// Every membership test that scans a short list and asks a set for a long one answers
// alike at its limit and on both sides of it: the path of a climb, one node's list and a
// caller's ids, each at one below, at and one past the limit it follows, and a path that
// turns to its set and is unwound back below the limit.
TEST(membership_answers_alike_on_both_sides_of_each_scan_limit) {
    const u64 bound = 64;
    Poll poll;
    for (std::size_t limit : {ScanLimit::kBeforeNodeSet, ScanLimit::kBeforeU64Set}) {
        for (std::size_t len = limit - 1; len <= limit + 1; ++len) {
            std::vector<Idx> list;  // even ids, the last one twice
            for (std::size_t i = 0; i < len; ++i) list.push_back(Idx(2 * i));
            list.push_back(list.back());
            std::vector<NodeId> ids(list.begin(), list.end() - 1);
            ListMembership in_list(bound);
            in_list.reset(std::span<const Idx>(list).first(len), poll);
            const IdSet id_set(ids), polled_set(ids, poll);
            SearchPath path(bound);
            for (Idx id : std::span<const Idx>(list).first(len)) path.push(id);
            for (u64 id = 0; id < bound; ++id) {
                const bool member = id % 2 == 0 && id < 2 * len;
                CHECK(in_list.contains(id) == member);
                CHECK(id_set.contains(id) == member);
                CHECK(polled_set.contains(id) == member);
                CHECK(path.contains(id) == member);
            }
            // Unwound to one entry: the set it may have turned to forgets the others.
            while (path.back() != 0) path.pop();
            for (u64 id = 0; id < bound; ++id) CHECK(path.contains(id) == (id == 0));
        }
    }
}
