// Native tests of the algorithms' results: walks, traces, reachability, hashes, copies,
// attachment, merges, gluing, cross sections and the condition analysis.
//
// Two kinds of test.  Small graphs whose results were worked out by hand pin the exact
// lists and orders.  Plain references, written out from the documented definitions
// (recursive, with ordinary containers, no shortcuts), are compared with the core on
// seeded random graphs that hold links of the other kind (the side table), repeated
// entries, shared sub-graphs, cycles, and lists long enough that the searches switch to
// their marked sets; each search also runs twice on one graph and over many start nodes
// in a row, so that state kept between calls or between lists must be reset.
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <tuple>

#include "canonical_walk.hpp"
#include "harness.hpp"
#include "leaf_counts.hpp"
#include "siphash.hpp"

namespace {

using Ids = std::vector<NodeId>;

// ---------------------------------------------------------------------------------------
// Graphs: a recorded list of nodes and connect calls, so that a graph can be built again
// with its node ids permuted.

struct Rng {
    u64 s;
    u64 next() {
        s += 0x9e3779b97f4a7c15ull;
        u64 z = s;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    u64 below(u64 n) { return next() % n; }
    bool chance(unsigned pct) { return below(100) < pct; }
};

struct Recipe {
    struct N {
        bool op;
        u32 a, b;
    };
    struct L {
        bool op_to_value;  // connect_op_to_value(x, y), else connect_value_to_op(x, y)
        NodeId x, y;
    };
    std::vector<N> nodes;
    std::vector<L> links;
    NodeId root = 0;
};

// Builds the graph; with `perm`, old node i becomes node perm[i] and the same connect
// calls are replayed in the same order, so every list holds the same entries in order.
Graph build(const Recipe& s, const std::vector<NodeId>* perm = nullptr) {
    const std::size_t n = s.nodes.size();
    std::vector<NodeId> inv(n);
    for (std::size_t i = 0; i < n; ++i) inv[perm ? (*perm)[i] : i] = i;
    auto id = [&](NodeId i) { return perm ? (*perm)[i] : i; };
    Graph g;
    for (std::size_t k = 0; k < n; ++k) {
        const Recipe::N& x = s.nodes[inv[k]];
        x.op ? g.add_op(x.a) : g.add_value(x.a, x.b);
    }
    for (const Recipe::L& l : s.links) {
        if (l.op_to_value)
            g.connect_op_to_value(id(l.x), id(l.y));
        else
            g.connect_value_to_op(id(l.x), id(l.y));
    }
    g.root_id = s.root < n ? id(s.root) : s.root;
    return g;
}

// n nodes (node 0 a value, node 1 an op), `links` connect calls.  With `odd`, a call may
// join any two nodes, which fills the fields of the other kind.  With `hub`, one node
// takes a further 17 to 20 links (repeats likely), so that its lists pass the length at
// which the searches mark list members in a set.
Recipe random_recipe(Rng& r, std::size_t n, std::size_t links, bool odd, bool hub = false,
                 u32 types = 3) {
    Recipe s;
    for (std::size_t i = 0; i < n; ++i) {
        const bool op = i == 1 || (i > 1 && r.chance(50));
        s.nodes.push_back({op, u32(r.below(100)), op ? 0u : u32(r.below(types))});
    }
    auto kind_ok = [&](NodeId a, NodeId b, bool op_to_value) {
        return odd || (op_to_value ? s.nodes[a].op && !s.nodes[b].op
                                   : !s.nodes[a].op && s.nodes[b].op);
    };
    if (n < 2 && !odd) links = 0;  // no op and value to join
    for (std::size_t made = 0; made < links;) {
        const NodeId a = r.below(n), b = r.below(n);
        const bool ov = r.chance(50);
        if (!kind_ok(a, b, ov)) continue;
        s.links.push_back({ov, a, b});
        ++made;
    }
    if (hub && n >= 2) {
        const NodeId h = r.below(n);
        const std::size_t extra = 17 + r.below(4);
        for (std::size_t made = 0; made < extra;) {
            const NodeId m = r.below(n);
            const bool ov = r.chance(50);
            const bool h_first = r.chance(50);
            const NodeId a = h_first ? h : m, b = h_first ? m : h;
            if (!kind_ok(a, b, ov)) continue;
            s.links.push_back({ov, a, b});
            ++made;
        }
    }
    s.root = r.below(n);
    return s;
}

std::vector<NodeId> random_perm(Rng& r, std::size_t n) {
    std::vector<NodeId> p(n);
    for (std::size_t i = 0; i < n; ++i) p[i] = i;
    for (std::size_t i = n; i > 1; --i) std::swap(p[i - 1], p[r.below(i)]);
    return p;
}

Ids to_ids(std::span<const Idx> s) { return {s.begin(), s.end()}; }

// Every field of every node, and the root.
struct Dump {
    struct N {
        bool op;
        u32 a, b;
        Ids parents, options, children;
        Idx parent;
        bool operator==(const N&) const = default;
    };
    std::vector<N> nodes;
    u64 root;
    bool operator==(const Dump&) const = default;
};

Dump dump_of(const Graph& g) {
    Dump d;
    d.root = g.root_id;
    for (NodeId i = 0; i < g.size(); ++i)
        d.nodes.push_back({g.is_op(i), g.payload_id(i), g.type_id(i), to_ids(g.parents(i)),
                           to_ids(g.options(i)), to_ids(g.children(i)), g.parent(i)});
    return d;
}

// Small hand-built graphs.
struct G {
    Graph g;
    NodeId v(u32 val, u32 type = 0) { return g.add_value(val, type); }
    NodeId o(u32 op) { return g.add_op(op); }
    // Value x takes op y as an option.
    void vo(NodeId x, NodeId y) { g.connect_value_to_op(x, y); }
    // Op x takes value y as a child.
    void ov(NodeId x, NodeId y) { g.connect_op_to_value(x, y); }
};

// The graph of the README:  R(0) options P(1), Q(2); P children a(3), b(4); Q child b.
Graph readme_graph() {
    G b;
    const NodeId R = b.v(100, 1), P = b.o(7), Q = b.o(8), a = b.v(1, 5), bb = b.v(2, 5);
    b.vo(R, P);
    b.vo(R, Q);
    b.ov(P, a);
    b.ov(P, bb);
    b.ov(Q, bb);
    b.g.root_id = R;
    return std::move(b.g);
}

template <class F>
std::optional<Failure> failure_of(F&& f) {
    try {
        f();
    } catch (const Error& e) {
        return e.failure;
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------------------
// References.

// Depth-first pre-order: from an op its children then its parent, from a value its
// parents then its options.
Ids ref_walk(const Graph& g, NodeId start, bool above, bool below) {
    Ids out;
    std::vector<bool> seen(g.size());
    std::function<void(NodeId)> rec = [&](NodeId n) {
        if (seen[n]) return;
        seen[n] = true;
        out.push_back(n);
        if (g.is_op(n)) {
            if (below)
                for (Idx c : g.children(n)) rec(c);
            if (above && g.parent(n) != kNone) rec(g.parent(n));
        } else {
            if (above)
                for (Idx p : g.parents(n)) rec(p);
            if (below)
                for (Idx o : g.options(n)) rec(o);
        }
    };
    rec(start);
    return out;
}

Ids ref_neighbors(const Graph& g, NodeId n) {
    Ids out = to_ids(g.options(n));
    for (Idx p : g.parents(n)) out.push_back(p);
    if (g.parent(n) != kNone) out.push_back(g.parent(n));
    for (Idx c : g.children(n)) out.push_back(c);
    return out;
}

std::vector<std::pair<u64, u64>> ref_connections(const Graph& g) {
    const Ids order = ref_walk(g, g.root_id, true, true);
    std::map<NodeId, u64> pos;
    for (std::size_t i = 0; i < order.size(); ++i) pos[order[i]] = i;
    std::vector<std::pair<u64, u64>> out;
    for (std::size_t i = 0; i < order.size(); ++i)
        for (NodeId m : ref_neighbors(g, order[i]))
            if (pos.count(m)) out.emplace_back(i, pos[m]);
    return out;
}

u64 ref_connection_hash(const Graph& g) {
    const auto pairs = ref_connections(g);
    SipHasher13 h;
    h.write_u64_le(pairs.size());
    for (auto [a, b] : pairs) {
        h.write_u64_le(a);
        h.write_u64_le(b);
    }
    return h.finish();
}

u64 ref_equality_hash(const Graph& g) {
    SipHasher13 h;
    for (NodeId n : ref_walk(g, g.root_id, true, true)) h.write_u32_le(g.payload_id(n));
    for (auto [a, b] : ref_connections(g)) {
        h.write_u64_le(a);
        h.write_u64_le(b);
    }
    return h.finish();
}

// The recursive definition of the traces; false when more than `limit` traces come out.
bool ref_traces(const Graph& g, NodeId start, TraceOptions o, std::vector<Ids>& result,
                std::size_t limit = 20000) {
    std::set<NodeId> on_path;
    Ids path;
    result.clear();
    bool ok = true;
    std::function<void(NodeId)> rec = [&](NodeId n) {
        if (!ok || on_path.count(n)) return;
        on_path.insert(n);
        const bool op = g.is_op(n);
        const bool recorded = o.me_too && (op ? o.op_nodes : o.val_nodes);
        if (recorded) path.push_back(n);
        Ids kept;
        auto in = [](std::span<const Idx> l, NodeId m) {
            return std::find(l.begin(), l.end(), Idx(m)) != l.end();
        };
        for (NodeId m : ref_neighbors(g, n)) {
            const bool pass = op ? (o.above && g.parent(n) != kNone && m == g.parent(n)) ||
                                       (o.below && in(g.children(n), m))
                                 : (o.below && in(g.options(n), m)) ||
                                       (o.above && in(g.parents(n), m));
            if (pass) kept.push_back(m);
        }
        if (kept.empty()) {
            result.push_back(path);
            if (result.size() > limit) ok = false;
        }
        for (NodeId m : kept) rec(m);
        on_path.erase(n);
        if (recorded) path.pop_back();
    };
    rec(start);
    return ok;
}

// The climb: op nodes match when targeted, value nodes with include_self; a value on the
// current path and an op chain that comes back on itself end their branch.
bool ref_is_below(const Graph& g, NodeId start, const Ids& nodes, bool include_self,
                  const Ids& skip) {
    const std::set<NodeId> target(nodes.begin(), nodes.end()), cut(skip.begin(), skip.end());
    std::set<NodeId> path;
    std::function<bool(NodeId)> rec = [&](NodeId n) -> bool {
        std::set<NodeId> chain;
        while (true) {
            if (cut.count(n)) return false;
            if (!g.is_op(n)) break;
            if (target.count(n)) return true;
            chain.insert(n);
            const Idx p = g.parent(n);
            if (p == kNone || chain.count(p)) return false;
            n = p;
        }
        if (path.count(n)) return false;
        if (include_self && target.count(n)) return true;
        path.insert(n);
        for (Idx p : g.parents(n))
            if (rec(p)) return true;
        path.erase(n);
        return false;
    };
    return rec(start);
}

// The numbering of a copy: from the root, depth first, a node's parents, then its parent,
// then its options, then its children.
Ids ref_numbering(const Graph& g) {
    Ids out;
    std::vector<bool> seen(g.size());
    std::function<void(NodeId)> rec = [&](NodeId n) {
        if (seen[n]) return;
        seen[n] = true;
        out.push_back(n);
        for (Idx p : g.parents(n)) rec(p);
        if (g.parent(n) != kNone) rec(g.parent(n));
        for (Idx o : g.options(n)) rec(o);
        for (Idx c : g.children(n)) rec(c);
    };
    rec(g.root_id);
    return out;
}

// The copy of the nodes in `order`, every link renamed; links to nodes outside dropped
// (a copied component has none).
Dump ref_copy(const Graph& g, const Ids& order) {
    std::map<NodeId, Idx> to_new;
    for (std::size_t i = 0; i < order.size(); ++i) to_new[order[i]] = Idx(i);
    auto map_list = [&](std::span<const Idx> l) {
        Ids out;
        for (Idx m : l)
            if (to_new.count(m)) out.push_back(to_new[m]);
        return out;
    };
    Dump d;
    d.root = 0;
    for (NodeId old : order) {
        const Idx p = g.parent(old);
        d.nodes.push_back({g.is_op(old), g.payload_id(old), g.type_id(old),
                           map_list(g.parents(old)), map_list(g.options(old)),
                           map_list(g.children(old)),
                           p != kNone && to_new.count(p) ? to_new[p] : kNone});
    }
    return d;
}

// ---------------------------------------------------------------------------------------
// Walks.

TEST(walks_follow_the_documented_order_on_the_readme_graph) {
    const Graph g = readme_graph();
    CHECK(walk(g, 0) == (Ids{0, 1, 3, 4, 2}));
    CHECK(walk(g, 4) == (Ids{4, 1, 3, 0, 2}));
    CHECK(walk(g, 4, {.above = true, .below = false}) == (Ids{4, 1, 0, 2}));
    CHECK(walk(g, 0, {.above = false, .below = true}) == (Ids{0, 1, 3, 4, 2}));
    CHECK(walk(g, 1, {.above = false, .below = true}) == (Ids{1, 3, 4}));
    CHECK(walk(g, 2, {.above = true, .below = false}) == (Ids{2, 0}));
    CHECK(walk(g, 2, {.above = false, .below = false}) == (Ids{2}));
    // From an op: children first, then the parent.
    CHECK(walk(g, 2) == (Ids{2, 4, 1, 3, 0}));
    CHECK(leaves(g) == (Ids{3, 4}));
    CHECK(neighbors(g, 1) == (Ids{0, 3, 4}));
    CHECK(neighbors(g, 4) == (Ids{1, 2}));
    CHECK(neighbors(g, 0) == (Ids{1, 2}));
    const std::vector<std::pair<u64, u64>> want = {{0, 1}, {0, 4}, {1, 0}, {1, 2}, {1, 3},
                                                   {2, 1}, {3, 1}, {3, 4}, {4, 0}, {4, 3}};
    CHECK(connections(g) == want);
    CHECK(connections(g) == want);  // a second call on the same graph
}

TEST(walks_on_repeats_shared_parts_and_cycles) {
    // r(0) options o1(1), o2(2); o1 children x(3), x, s(4); o2 children s, y(5);
    // s option o3(6) with child x: s is shared, x is repeated and reached three ways.
    G b;
    const NodeId r = b.v(0), o1 = b.o(1), o2 = b.o(2), x = b.v(3), s = b.v(4), y = b.v(5),
                 o3 = b.o(6);
    b.vo(r, o1);
    b.vo(r, o2);
    b.ov(o1, x);
    b.ov(o1, x);
    b.ov(o1, s);
    b.ov(o2, s);
    b.ov(o2, y);
    b.vo(s, o3);
    b.ov(o3, x);
    Graph& g = b.g;
    g.root_id = r;
    CHECK(walk(g, r, {.above = false, .below = true}) == (Ids{0, 1, 3, 4, 6, 2, 5}));
    // x's parents come before o1's other children: o3, then s, o2, y.
    CHECK(walk(g, r) == (Ids{0, 1, 3, 6, 4, 2, 5}));
    CHECK(walk(g, x, {.above = true, .below = false}) == (Ids{3, 1, 0, 6, 4, 2}));
    CHECK(leaves(g) == (Ids{3, 5}));
    CHECK(neighbors(g, o1) == (Ids{0, 3, 3, 4}));
    CHECK(neighbors(g, x) == (Ids{1, 1, 6}));
    // A cycle: x takes o1 as an option as well, so o1's parent becomes x.
    b.vo(x, o1);
    CHECK(g.parent(o1) == x);
    CHECK(walk(g, r, {.above = false, .below = true}) == (Ids{0, 1, 3, 4, 6, 2, 5}));
    CHECK(walk(g, o1, {.above = true, .below = false}) == (Ids{1, 3, 6, 4, 2, 0}));
    CHECK(leaves(g) == (Ids{5}));
    CHECK(leaves(g) == (Ids{5}));
}

TEST(walks_leave_out_links_of_the_other_kind_and_connections_keep_them) {
    // r(0) option p(1) with child a(2).  Side links: connect_op_to_value(a, p) puts p among
    // a's children and a among p's parents; connect_value_to_op(r, a) puts a among r's
    // options and makes r a's parent.
    G b;
    const NodeId r = b.v(10), p = b.o(11), a = b.v(12);
    b.vo(r, p);
    b.ov(p, a);
    b.g.connect_op_to_value(a, p);  // a's children (side) gain p, p's parents (side) gain a
    b.g.connect_value_to_op(r, a);  // r's options gain a, a's parent (side) becomes r
    Graph& g = b.g;
    g.root_id = r;
    CHECK(to_ids(g.children(a)) == (Ids{p}));
    CHECK(to_ids(g.parents(p)) == (Ids{a}));
    CHECK(g.parent(a) == r);
    CHECK(to_ids(g.options(r)) == (Ids{p, a}));
    // The walk follows a value's options (a among them) but never a's side fields.
    CHECK(walk(g, r) == (Ids{0, 1, 2}));
    CHECK(walk(g, a, {.above = true, .below = false}) == (Ids{2, 1, 0}));
    CHECK(walk(g, p, {.above = true, .below = false}) == (Ids{1, 0}));
    CHECK(leaves(g) == (Ids{2}));
    CHECK(neighbors(g, a) == (Ids{1, 0, 1}));  // parents, side parent, side children
    CHECK(neighbors(g, p) == (Ids{2, 0, 2}));  // side parents, parent, children
    // Connections: walk 0 1 2; every neighbour entry of a walked node is a pair.
    const std::vector<std::pair<u64, u64>> want = {{0, 1}, {0, 2}, {1, 2}, {1, 0}, {1, 2},
                                                   {2, 1}, {2, 0}, {2, 1}};
    CHECK(connections(g) == want);
    Poll poll;
    const CanonicalWalk w(g, poll, [](Idx) {});
    CHECK(w.pairs == want.size());
}

TEST(walks_match_the_reference_on_random_graphs) {
    Rng r{11};
    for (int round = 0; round < 120; ++round) {
        const std::size_t n = 2 + r.below(14);
        const Recipe s = random_recipe(r, n, r.below(2 * n + 1), round % 2 == 1, round % 3 == 0);
        const Graph g = build(s);
        for (NodeId start = 0; start < n; ++start) {
            CHECK(walk(g, start) == ref_walk(g, start, true, true));
            CHECK(walk(g, start, {.above = true, .below = false}) ==
                  ref_walk(g, start, true, false));
            CHECK(walk(g, start, {.above = false, .below = true}) ==
                  ref_walk(g, start, false, true));
            CHECK(walk(g, start, {.above = false, .below = false}) == (Ids{start}));
            CHECK(neighbors(g, start) == ref_neighbors(g, start));
        }
        Ids want_leaves;
        for (NodeId m : ref_walk(g, g.root_id, false, true))
            if (!g.is_op(m) && g.options(m).empty()) want_leaves.push_back(m);
        CHECK(leaves(g) == want_leaves);
        const auto want = ref_connections(g);
        CHECK(connections(g) == want);
        Poll poll;
        std::vector<Idx> visited;
        const CanonicalWalk w(g, poll, [&](Idx id) { visited.push_back(id); });
        CHECK(w.pairs == want.size());
        const Ids order = ref_walk(g, g.root_id, true, true);
        CHECK(to_ids(w.order) == order);
        CHECK(to_ids(visited) == order);
        for (std::size_t i = 0; i < order.size(); ++i) CHECK(w.position.get(order[i]) == i);
    }
}

TEST(walks_of_a_large_component_turn_to_the_flat_map_with_the_same_order) {
    // Many nodes reached: the canonical walk's sparse map turns flat on the way.
    Rng r{5};
    for (int round = 0; round < 4; ++round) {
        const Recipe s = random_recipe(r, 600, 1500, round % 2 == 1, true);
        const Graph g = build(s);
        CHECK(walk(g, g.root_id) == ref_walk(g, g.root_id, true, true));
        CHECK(connections(g) == ref_connections(g));
        Poll poll;
        const CanonicalWalk w(g, poll, [](Idx) {});
        CHECK(w.pairs == ref_connections(g).size());
        CHECK(connection_hash(g) == ref_connection_hash(g));
        CHECK(equality_hash(g) == ref_equality_hash(g));
    }
}

TEST(walks_fail_on_a_start_or_root_that_names_no_node) {
    Graph g = readme_graph();
    CHECK(failure_of([&] { walk(g, 5); }) == Failure::IdOutOfRange);
    g.root_id = 9;
    CHECK(leaves(g).empty());
    CHECK(failure_of([&] { connections(g); }) == Failure::IdOutOfRange);
    CHECK(failure_of([&] { connection_hash(g); }) == Failure::IdOutOfRange);
    CHECK(failure_of([&] { neighbors(g, 5); }) == Failure::IdOutOfRange);
}

// ---------------------------------------------------------------------------------------
// Traces and is_below.

TEST(traces_list_every_path_in_order_with_each_option) {
    const Graph g = readme_graph();
    std::vector<Ids> want = {{4, 1, 0}, {4, 2, 0}};
    CHECK(traces(g, 4) == want);
    CHECK(traces(g, 4) == want);
    CHECK(traces(g, 4, {.op_nodes = false}) == (std::vector<Ids>{{4, 0}, {4, 0}}));
    CHECK(traces(g, 4, {.val_nodes = false}) == (std::vector<Ids>{{1}, {2}}));
    CHECK(traces(g, 4, {.me_too = false}) == (std::vector<Ids>{{}, {}}));
    CHECK(traces(g, 0, {.above = false, .below = true}) ==
          (std::vector<Ids>{{0, 1, 3}, {0, 1, 4}, {0, 2, 4}}));
    CHECK(traces(g, 0) == (std::vector<Ids>{{0}}));
    CHECK(traces(g, 3, {.above = false, .below = false}) == (std::vector<Ids>{{3}}));
    // Both directions: every step can go back, so no path ends.
    CHECK(traces(g, 4, {.above = true, .below = true}).empty());
    CHECK(failure_of([&] { traces(g, 5); }) == Failure::IdOutOfRange);
}

TEST(traces_count_repeated_entries_and_test_other_kinds_by_membership) {
    // v(0) with parents o1(1), o1 again, o2(2); both ops options of t(3).
    G b;
    const NodeId v = b.v(0), o1 = b.o(1), o2 = b.o(2), t = b.v(3);
    b.ov(o1, v);
    b.ov(o1, v);
    b.ov(o2, v);
    b.vo(t, o1);
    b.vo(t, o2);
    Graph& g = b.g;
    CHECK(traces(g, v) == (std::vector<Ids>{{0, 1, 3}, {0, 1, 3}, {0, 2, 3}}));
    // A side parent of v that is also one of its parents passes (membership in the
    // parents), as do side children that stand among them.
    g.connect_value_to_op(o1, v);  // v's side parent: o1; o1's side options gain v
    CHECK(g.parent(v) == o1);
    CHECK(traces(g, v) ==
          (std::vector<Ids>{{0, 1, 3}, {0, 1, 3}, {0, 2, 3}, {0, 1, 3}}));
    CHECK(traces(g, v, {.above = false, .below = true}) == (std::vector<Ids>{{0}}));
    // Going down from o1: its children (v, v), and v's side-option entry in o1's options
    // passes as a child too; v has no options, so each is a dead end.
    CHECK(traces(g, o1, {.above = false, .below = true}) ==
          (std::vector<Ids>{{1, 0}, {1, 0}, {1, 0}}));
}

TEST(traces_reset_list_marks_between_nodes) {
    // One search meets two value nodes whose lists are long enough to be marked in a set:
    // a(0) has parents ps (17 ops), each an option of y; y has parents qs (17 ops), each
    // an option of t(1).  Side children that stand in the other node's list but not in
    // their own must not pass: y's side children hold ps[0] (a parent of a) and qs[3]
    // (one of its own); a's side children hold qs[0] and ps[5].
    G bld;
    const NodeId a = bld.v(0), t = bld.v(1);
    Ids ps, qs;
    for (u32 i = 0; i < 17; ++i) ps.push_back(bld.o(i));
    const NodeId y = bld.v(2);
    for (u32 i = 0; i < 17; ++i) qs.push_back(bld.o(100 + i));
    Graph& g = bld.g;
    for (NodeId p : ps) {
        bld.ov(p, a);
        bld.vo(y, p);
    }
    for (NodeId q : qs) {
        bld.ov(q, y);
        bld.vo(t, q);
    }
    g.connect_op_to_value(y, ps[0]);
    g.connect_op_to_value(y, qs[3]);
    g.connect_op_to_value(a, qs[0]);
    g.connect_op_to_value(a, ps[5]);
    for (int twice = 0; twice < 2; ++twice) {
        // Up from a: its 17 parents and the side child ps[5]; ps[0] holds y as its parent
        // and among its side parents, so it leads on twice: 19 ways to y.  From y: its
        // 17 parents and the side child qs[3], not ps[0]: 18 ways to t.
        const std::vector<Ids> up = unpack(traces(g, a, {.op_nodes = false}));
        CHECK(up.size() == 19 * 18);
        for (const Ids& tr : up) CHECK(tr == (Ids{a, y, t}));
        std::vector<Ids> want;
        CHECK(ref_traces(g, a, {}, want, 1000));
        CHECK(traces(g, a) == want);
        // Down from t: its 17 options, qs[3] twice (y is its child and a side parent): 18
        // ways to y.  From y: its 17 options and the side child ps[0] (one of them), not
        // qs[3]; ps[5] twice (a is its child and a side parent): 19 ways to a, a dead end.
        const std::vector<Ids> down = unpack(traces(g, t, {.op_nodes = false, .above = false, .below = true}));
        CHECK(down.size() == 18 * 19);
        CHECK(ref_traces(g, t, {.above = false, .below = true}, want, 1000));
        CHECK(traces(g, t, {.above = false, .below = true}) == want);
    }
    // An op with long lists of children, side parents and side options, met twice.
    const NodeId j = g.add_op(77);
    for (int i = 0; i < 18; ++i) g.connect_op_to_value(j, i % 2 ? a : y);
    g.connect_op_to_value(ps[3], j);  // j's side parents gain ps[3]
    g.connect_op_to_value(a, j);      // and a, one of its children
    g.connect_value_to_op(j, y);      // j's side options gain y
    g.connect_value_to_op(t, j);
    for (TraceOptions o : {TraceOptions{.above = false, .below = true},
                           TraceOptions{.above = true, .below = true},
                           TraceOptions{.op_nodes = false, .above = true, .below = false}}) {
        for (NodeId s : {t, j, a, y}) {
            std::vector<Ids> want;
            if (!ref_traces(g, s, o, want, 20000)) continue;
            CHECK(traces(g, s, o) == want);
        }
    }
}

TEST(traces_filter_an_op_whose_lists_are_long_by_membership) {
    // An op j with more children than one poll step covers (its entries are scanned in
    // parts), some of them also among its side parents and side options, a side parent
    // z that is no child of it, and a real parent t.  Below, the side entries that are
    // children pass as children; z passes only nowhere.
    G b;
    const NodeId t = b.v(0), j = b.o(1), z = b.v(2);
    b.vo(t, j);
    Ids kids;
    for (u32 i = 0; i < Poll::kEvery + 400; ++i) {
        kids.push_back(b.v(10 + i));
        b.ov(j, kids.back());
    }
    for (std::size_t k : {std::size_t(0), std::size_t(7), kids.size() - 1}) b.ov(kids[k], j);
    b.ov(z, j);
    b.vo(j, kids[5]);
    const Graph& g = b.g;
    for (TraceOptions o : {TraceOptions{.above = false, .below = true},
                           TraceOptions{.above = true, .below = true}}) {
        for (NodeId s : {j, t}) {
            std::vector<Ids> want;
            CHECK(ref_traces(g, s, o, want, 20000));
            CHECK(traces(g, s, o) == want);
        }
    }
    // j alone below: every child entry, then the three side parents and the side option
    // that stand among the children.
    CHECK(traces(g, j, {.above = false, .below = true}).size() == kids.size() + 4);
}

TEST(traces_match_the_reference_on_random_graphs) {
    Rng r{21};
    const TraceOptions opts[] = {
        {},
        {.op_nodes = false},
        {.val_nodes = false},
        {.me_too = false},
        {.above = false, .below = true},
        {.above = true, .below = true},
        {.above = false, .below = false},
        {.op_nodes = false, .above = false, .below = true},
    };
    for (int round = 0; round < 90; ++round) {
        const std::size_t n = 2 + r.below(9);
        const Recipe s = random_recipe(r, n, n + r.below(n + 1), round % 2 == 1, round % 3 == 0);
        const Graph g = build(s);
        for (NodeId start = 0; start < n; ++start)
            for (const TraceOptions& o : opts) {
                std::vector<Ids> want;
                if (!ref_traces(g, start, o, want, 3000)) continue;
                CHECK(traces(g, start, o) == want);
            }
    }
}

TEST(is_below_answers_with_targets_skips_and_include_self) {
    const Graph g = readme_graph();  // R 0, P 1, Q 2, a 3, b 4
    const Ids R{0}, b{4}, none{};
    CHECK(is_below(g, 4, R));
    CHECK(!is_below(g, 4, R, {.skip = Ids{1, 2}}));
    CHECK(is_below(g, 4, R, {.skip = Ids{1}}));  // the way through Q stays open
    CHECK(!is_below(g, 3, Ids{2}));
    CHECK(is_below(g, 3, Ids{1}));
    CHECK(is_below(g, 3, Ids{1}, {.include_self = false}));  // op targets always match
    CHECK(!is_below(g, 3, R, {.include_self = false}));       // value targets never
    CHECK(is_below(g, 4, b));
    CHECK(!is_below(g, 4, b, {.include_self = false}));
    CHECK(!is_below(g, 4, none));
    CHECK(!is_below(g, 4, Ids{4}, {.skip = Ids{4}}));
    CHECK(!is_below(g, 0, Ids{3}));  // never downwards
    CHECK(failure_of([&] { is_below(g, 7, R); }) == Failure::IdOutOfRange);
    CHECK(!is_below(g, 7, R, {.skip = Ids{7}}));  // a skipped id is never checked
}

TEST(is_below_matches_the_reference_on_random_graphs) {
    Rng r{31};
    for (int round = 0; round < 150; ++round) {
        const std::size_t n = 2 + r.below(12);
        const Recipe s = random_recipe(r, n, n + r.below(2 * n), round % 2 == 1, round % 4 == 0);
        const Graph g = build(s);
        // The same targets for many questions, and a set the caller keeps and updates.
        StampedSet kept(n);
        Poll poll;
        for (int q = 0; q < 12; ++q) {
            Ids nodes, skip;
            for (NodeId m = 0; m < n; ++m) {
                if (r.chance(20)) nodes.push_back(m);
                if (r.chance(10)) skip.push_back(m);
            }
            kept.clear();
            for (NodeId m : nodes) kept.insert(m);
            for (NodeId start = 0; start < n; ++start)
                for (bool self : {true, false}) {
                    const bool want = ref_is_below(g, start, nodes, self, skip);
                    CHECK(is_below(g, start, nodes, {.include_self = self, .skip = skip}) == want);
                    CHECK(is_below(g, start, kept, {.include_self = self, .skip = skip}, poll) ==
                          want);
                }
        }
    }
}

TEST(is_below_ends_op_chains_that_loop) {
    // Ops o1(0) -> o2(1) -> o3(2) -> o1 through their parent fields (op to op links),
    // with value v(3) as a child of o1 and target t(4) not reachable.
    G b;
    const NodeId o1 = b.o(1), o2 = b.o(2), o3 = b.o(3), v = b.v(4), t = b.v(5);
    b.g.connect_value_to_op(o2, o1);  // o1's parent: o2
    b.g.connect_value_to_op(o3, o2);
    b.g.connect_value_to_op(o1, o3);
    b.ov(o1, v);
    const Graph& g = b.g;
    CHECK(!is_below(g, v, Ids{t}));
    CHECK(is_below(g, v, Ids{o3}));
    CHECK(is_below(g, v, Ids{o3}, {.include_self = false}));
    CHECK(!is_below(g, v, Ids{o3}, {.skip = Ids{o2}}));
    CHECK(!is_below(g, o2, Ids{t}));
    CHECK(is_below(g, o2, Ids{o1}));
}

// ---------------------------------------------------------------------------------------
// Hashes.

TEST(hashes_are_pinned_and_follow_the_definition) {
    const Graph g = readme_graph();
    CHECK(connection_hash(g) == 0x68ca73ff3324f994ull);
    CHECK(equality_hash(g) == 0xebeee985052dd05bull);
    CHECK(connection_hash(g) == ref_connection_hash(g));
    CHECK(equality_hash(g) == ref_equality_hash(g));
    CHECK(hash_u64(0) == [] {
        SipHasher13 h;
        h.write_u64_le(0);
        return h.finish();
    }());
    // The same graph built leaves first hashes the same.
    G b;
    const NodeId bb = b.v(2, 5), a = b.v(1, 5), Q = b.o(8), P = b.o(7), R = b.v(100, 1);
    b.vo(R, P);
    b.vo(R, Q);
    b.ov(P, a);
    b.ov(P, bb);
    b.ov(Q, bb);
    b.g.root_id = R;
    CHECK(connection_hash(b.g) == connection_hash(g));
    CHECK(equality_hash(b.g) == equality_hash(g));
    // Another type id changes neither; another payload changes only equality_hash.
    G c;
    const NodeId R2 = c.v(100, 9), P2 = c.o(7), Q2 = c.o(8), a2 = c.v(1, 3), b2 = c.v(3, 5);
    c.vo(R2, P2);
    c.vo(R2, Q2);
    c.ov(P2, a2);
    c.ov(P2, b2);
    c.ov(Q2, b2);
    c.g.root_id = R2;
    CHECK(connection_hash(c.g) == connection_hash(g));
    CHECK(equality_hash(c.g) != equality_hash(g));
    // Swapping P's children changes the shape's order: both hashes differ.
    G d;
    const NodeId R3 = d.v(100, 1), P3 = d.o(7), Q3 = d.o(8), a3 = d.v(1, 5), b3 = d.v(2, 5);
    d.vo(R3, P3);
    d.vo(R3, Q3);
    d.ov(P3, b3);
    d.ov(P3, a3);
    d.ov(Q3, b3);
    d.g.root_id = R3;
    CHECK(connection_hash(d.g) != connection_hash(g));
    CHECK(equality_hash(d.g) != equality_hash(g));
    CHECK(connection_hash(d.g) == ref_connection_hash(d.g));
}

TEST(hashes_see_links_of_the_other_kind) {
    // A side parent of a value node and a side child: each link counts in the pairs and in
    // the pair count, so a graph with it hashes apart from the same graph without it.
    Graph base = readme_graph();
    const u64 ch = connection_hash(base), eh = equality_hash(base);
    Graph side_parent = readme_graph();
    side_parent.connect_value_to_op(0, 3);  // a's side parent: R (R's options gain a)
    Graph side_parent_only = readme_graph();
    side_parent_only.connect_value_to_op(2, 3);  // a's side parent: Q; Q's side options gain a
    Graph side_child = readme_graph();
    side_child.connect_op_to_value(3, 1);  // a's side children gain P, P's side parents gain a
    for (Graph* x : {&side_parent, &side_parent_only, &side_child}) {
        CHECK(connection_hash(*x) != ch);
        CHECK(equality_hash(*x) != eh);
        CHECK(connection_hash(*x) == ref_connection_hash(*x));
        CHECK(equality_hash(*x) == ref_equality_hash(*x));
        Poll poll;
        const CanonicalWalk w(*x, poll, [](Idx) {});
        CHECK(w.pairs == connections(*x).size());
        CHECK(w.pairs == ref_connections(*x).size());
    }
    CHECK(connection_hash(side_parent_only) != connection_hash(side_child));
    // Walk R 0, P 1, a 2, b 3, Q 4: a's side parent Q gives (2, 4), Q's side option a
    // gives (4, 2), before Q's parent and child.
    const std::vector<std::pair<u64, u64>> want = {{0, 1}, {0, 4}, {1, 0}, {1, 2},
                                                   {1, 3}, {2, 1}, {2, 4}, {3, 1},
                                                   {3, 4}, {4, 2}, {4, 0}, {4, 3}};
    CHECK(connections(side_parent_only) == want);
    // Pinned: the values are stored by callers, so they must not move.
    CHECK(connection_hash(side_parent) == 0x19d19e5438099ecdull);
    CHECK(equality_hash(side_parent) == 0xb8a10450bb604b9full);
    CHECK(connection_hash(side_parent_only) == 0x1b33121b371c1c94ull);
    CHECK(equality_hash(side_parent_only) == 0x9f3a7c3d98b93b58ull);
    CHECK(connection_hash(side_child) == 0xf5189882a1bf832cull);
    CHECK(equality_hash(side_child) == 0x35a56834461f1613ull);
}

TEST(hashes_match_the_reference_and_ignore_node_numbering) {
    Rng r{41};
    for (int round = 0; round < 150; ++round) {
        const std::size_t n = 1 + r.below(16);
        const Recipe s = random_recipe(r, n, r.below(2 * n + 1), round % 2 == 1, round % 3 == 0);
        const Graph g = build(s);
        const std::vector<NodeId> perm = random_perm(r, n);
        const Graph h = build(s, &perm);
        const u64 ch = connection_hash(g), eh = equality_hash(g);
        CHECK(ch == ref_connection_hash(g));
        CHECK(eh == ref_equality_hash(g));
        CHECK(connection_hash(g) == ch);  // a second call
        CHECK(connection_hash(h) == ch);
        CHECK(equality_hash(h) == eh);
        Poll poll;
        CHECK(connection_hash(h, poll) == ch);
    }
}

TEST(the_type_comparison_asks_for_two_value_nodes_of_one_type_id) {
    G b;
    const NodeId x = b.v(1, 5), y = b.v(2, 5), z = b.v(1, 6), p = b.o(5);
    const Graph& g = b.g;
    CHECK(same_spec(g, x, y));
    CHECK(same_spec(g, x, x));
    CHECK(!same_spec(g, x, z));
    CHECK(!same_spec(g, x, p));
    CHECK(!same_spec(g, p, x));
    CHECK(!same_spec(g, p, p));
    CHECK(failure_of([&] { same_spec(g, x, 9); }) == Failure::IdOutOfRange);
    CHECK(failure_of([&] { same_spec(g, 9, x); }) == Failure::IdOutOfRange);
}

// ---------------------------------------------------------------------------------------
// Copies, attachment and merges.

TEST(clone_numbers_parents_parent_options_children_and_keeps_every_link) {
    // The README graph rooted at b(4): b's parents P, Q come first, then P's parent R,
    // then P's children a ...
    Graph g = readme_graph();
    g.root_id = 4;
    const Clone c = clone_subgraph(g);
    CHECK(to_ids(c.corr.to_old) == (Ids{4, 1, 0, 2, 3}));
    CHECK(c.corr.get(4) == 0u && c.corr.get(1) == 1u && c.corr.get(0) == 2u &&
          c.corr.get(2) == 3u && c.corr.get(3) == 4u);
    CHECK(!c.corr.get(5));
    CHECK(c.graph.root_id == 0);
    CHECK(to_ids(c.graph.parents(0)) == (Ids{1, 3}));
    CHECK(to_ids(c.graph.options(2)) == (Ids{1, 3}));
    CHECK(to_ids(c.graph.children(1)) == (Ids{4, 0}));
    CHECK(to_ids(c.graph.children(3)) == (Ids{0}));
    CHECK(c.graph.parent(1) == 2 && c.graph.parent(3) == 2);
    CHECK(dump_of(c.graph) == ref_copy(g, ref_numbering(g)));
    // Nodes outside the root's component are left out.
    g.add_value(50, 0);
    g.connect_op_to_value(g.add_op(51), 5);
    const Clone c2 = clone_subgraph(g);
    CHECK(c2.graph.size() == 5);
    CHECK(!c2.corr.get(5) && !c2.corr.get(6));
    g.root_id = 99;
    CHECK(failure_of([&] { clone_subgraph(g); }) == Failure::NoValidRoot);
}

TEST(clone_matches_the_reference_on_random_graphs) {
    Rng r{51};
    for (int round = 0; round < 150; ++round) {
        const std::size_t n = 1 + r.below(20);
        const Recipe s = random_recipe(r, n, r.below(2 * n + 1), round % 2 == 1, round % 3 == 0);
        const Graph g = build(s);
        const Clone c = clone_subgraph(g);
        const Ids order = ref_numbering(g);
        CHECK(to_ids(c.corr.to_old) == order);
        CHECK(dump_of(c.graph) == ref_copy(g, order));
        for (NodeId m = 0; m < n + 2; ++m) {
            const auto at = std::find(order.begin(), order.end(), m);
            const std::optional<NodeId> want =
                at == order.end() ? std::nullopt : std::optional<NodeId>(at - order.begin());
            CHECK(c.corr.get(m) == want);
        }
        // A copy of the copy numbers alike.
        const Clone cc = clone_subgraph(c.graph);
        CHECK(dump_of(cc.graph) == dump_of(c.graph));
        CHECK(connection_hash(c.graph) == connection_hash(g));
        CHECK(equality_hash(c.graph) == equality_hash(g));
    }
    // A large component: the numbering's map turns flat on the way.
    for (int round = 0; round < 3; ++round) {
        const Recipe s = random_recipe(r, 700, 1600, round == 1, true);
        const Graph g = build(s);
        const Clone c = clone_subgraph(g);
        const Ids order = ref_numbering(g);
        CHECK(to_ids(c.corr.to_old) == order);
        CHECK(dump_of(c.graph) == ref_copy(g, order));
    }
}

TEST(clone_and_attach_hangs_the_copy_below_the_leaf) {
    // Receiver: the README graph (R 0, P 1, Q 2, a 3, b 4), attached below b.
    // Element: e(0) with options u(1), w(2); u children x(3), y(4); w child y; x has an
    // option z(5) with child x2(6).
    const Graph g = readme_graph();
    G e;
    const NodeId er = e.v(20, 1), u = e.o(21), w = e.o(22), x = e.v(23, 2), y = e.v(24, 2),
                 z = e.o(25), x2 = e.v(26, 3);
    e.vo(er, u);
    e.vo(er, w);
    e.ov(u, x);
    e.ov(u, y);
    e.ov(w, y);
    e.vo(x, z);
    e.ov(z, x2);
    e.g.root_id = er;
    const Attached at = clone_and_attach(g, e.g, 4);
    // Receiver numbering from R: R 0, P 1, Q 2 ... parents first: R has none, options P:
    // P's parent R (seen), children a, b; b's parents P, Q; Q ... so R P a b Q.
    const Graph& r = at.graph;
    CHECK(r.size() == 5 + 6);
    CHECK(r.payload_id(0) == 100 && r.payload_id(1) == 7 && r.payload_id(2) == 1 &&
          r.payload_id(3) == 2 && r.payload_id(4) == 8);
    // Element numbering without its root: u 5, x 6, z 7, x2 8, y 9, w 10.
    const u32 want_payloads[] = {21, 23, 25, 26, 24, 22};
    for (int i = 0; i < 6; ++i) CHECK(r.payload_id(5 + i) == want_payloads[i]);
    CHECK(to_ids(r.options(3)) == (Ids{5, 10}));
    CHECK(r.parent(5) == 3 && r.parent(10) == 3);
    CHECK(to_ids(r.children(5)) == (Ids{6, 9}));
    CHECK(to_ids(r.children(10)) == (Ids{9}));
    CHECK(to_ids(r.parents(9)) == (Ids{5, 10}));
    CHECK(to_ids(r.options(6)) == (Ids{7}));
    CHECK(r.parent(7) == 6);
    CHECK(to_ids(r.children(7)) == (Ids{8}));
    CHECK(at.attached_leaves == (Ids{8, 9}));
    CHECK(at.remaining_leaves == (Ids{2}));
    CHECK(r.root_id == 0);
    // Attached below a: b stays a remaining leaf.
    const Attached at2 = clone_and_attach(g, e.g, 3);
    CHECK(at2.remaining_leaves == (Ids{3}));
    CHECK(to_ids(at2.graph.options(2)) == (Ids{5, 10}));
    // Attaching a graph to itself below one of its leaves.
    const Attached self = clone_and_attach(g, g, 3);
    CHECK(self.graph.size() == 9);
    CHECK(to_ids(self.graph.options(2)) == (Ids{5, 8}));
    CHECK(self.attached_leaves == (Ids{6, 7}));
    CHECK(self.remaining_leaves == (Ids{3}));
    CHECK(failure_of([&] { clone_and_attach(g, e.g, 9); }) == Failure::NoEntry);
}

TEST(clone_and_attach_matches_the_copy_of_the_copy_on_random_graphs) {
    Rng r{61};
    int done = 0;
    for (int round = 0; round < 200; ++round) {
        const std::size_t n = 2 + r.below(10), m = 1 + r.below(10);
        const Recipe s = random_recipe(r, n, r.below(2 * n + 1), round % 2 == 1, round % 5 == 0);
        const Recipe re = random_recipe(r, m, r.below(2 * m + 1), round % 3 == 1, round % 4 == 0);
        const Graph g = build(s), e = build(re);
        const Ids own = leaves(g);
        const NodeId leaf = r.below(n);
        const Ids num = ref_numbering(g);
        if (std::find(num.begin(), num.end(), leaf) == num.end()) {
            CHECK(failure_of([&] { clone_and_attach(g, e, leaf); }) == Failure::NoEntry);
            continue;
        }
        bool leaves_in = true;
        for (NodeId l : own)
            leaves_in &= std::find(num.begin(), num.end(), l) != num.end();
        if (!leaves_in) continue;  // a leaf outside the copy fails; the Python suite covers it
        const Attached at = clone_and_attach(g, e, leaf);
        // The reference: the receiver's copy, then the element's copy but its root
        // appended, links to that root dropped, the root's options hung below the leaf.
        Dump want = ref_copy(g, num);
        const Dump ec = ref_copy(e, ref_numbering(e));
        const std::size_t base = want.nodes.size();
        auto shift = [&](const Ids& l) {
            Ids out;
            for (NodeId x : l)
                if (x != 0) out.push_back(base + x - 1);
            return out;
        };
        for (std::size_t i = 1; i < ec.nodes.size(); ++i) {
            Dump::N x = ec.nodes[i];
            x.parents = shift(x.parents);
            x.options = shift(x.options);
            x.children = shift(x.children);
            x.parent = x.parent == kNone || x.parent == 0 ? kNone : Idx(base + x.parent - 1);
            want.nodes.push_back(x);
        }
        const NodeId nl = std::find(num.begin(), num.end(), leaf) - num.begin();
        for (NodeId o : ec.nodes[0].options) {
            if (o == 0) continue;
            want.nodes[nl].options.push_back(base + o - 1);
            want.nodes[base + o - 1].parent = Idx(nl);
        }
        CHECK(dump_of(at.graph) == want);
        Ids attached, remaining;
        for (NodeId i = base; i < want.nodes.size(); ++i)
            if (want.nodes[i].children.empty() && want.nodes[i].options.empty())
                attached.push_back(i);
        for (NodeId l : own)
            if (l != leaf) remaining.push_back(std::find(num.begin(), num.end(), l) - num.begin());
        CHECK(at.attached_leaves == attached);
        CHECK(at.remaining_leaves == remaining);
        ++done;
    }
    CHECK(done > 50);
}

TEST(merges_move_parents_and_options_without_repeats) {
    // k(0) and o(1) values; ops A(2), B(3) take o as children (A twice), C(4) takes k;
    // D(5), E(6) are options of o, E also an option of k.
    G b;
    const NodeId k = b.v(0), o = b.v(1), A = b.o(2), B = b.o(3), C = b.o(4), D = b.o(5),
                 E = b.o(6);
    b.ov(A, o);
    b.ov(C, k);
    b.ov(A, k);
    b.ov(A, o);
    b.ov(B, o);
    b.vo(o, D);
    b.vo(k, E);
    b.vo(o, E);
    Graph& g = b.g;
    merge_value_nodes(g, k, o, {.upper = true, .lower = false});
    CHECK(to_ids(g.parents(k)) == (Ids{C, A, B}));
    CHECK(to_ids(g.children(A)) == (Ids{k, k, k}));
    CHECK(to_ids(g.children(B)) == (Ids{k}));
    CHECK(g.parents(o).empty());
    CHECK(to_ids(g.options(o)) == (Ids{D, E}));  // the lower side stays
    merge_value_nodes(g, k, o, {.upper = false, .lower = true});
    CHECK(to_ids(g.options(k)) == (Ids{E, D}));
    CHECK(g.parent(D) == k && g.parent(E) == k);
    CHECK(g.options(o).empty());
    // A merge of a node into itself changes nothing; an empty side needs no keep.
    const Dump before = dump_of(g);
    merge_value_nodes(g, k, k, {.upper = true, .lower = true});
    merge_value_nodes(g, 99, o, {.upper = true, .lower = true});
    CHECK(dump_of(g) == before);
    CHECK(failure_of([&] { merge_value_nodes(g, k, 99, {.upper = true}); }) ==
          Failure::IdOutOfRange);
    CHECK(dump_of(g) == before);
}

TEST(merges_of_long_lists_keep_order_and_drop_repeats) {
    // More than the direct-scan limit on both sides: keep and other share ops 0..9,
    // other has 30 more (with repeats), in an order that differs from id order.
    G b;
    const NodeId k = b.v(0), o = b.v(1);
    Ids ops;
    for (u32 i = 0; i < 40; ++i) ops.push_back(b.o(i));
    Graph& g = b.g;
    for (int i = 0; i < 10; ++i) g.connect_op_to_value(ops[i], k);
    Ids want = {};
    for (int i = 0; i < 10; ++i) want.push_back(ops[i]);
    for (int i = 39; i >= 0; --i) {
        g.connect_op_to_value(ops[i], o);
        if (i % 3 == 0) g.connect_op_to_value(ops[i], o);
        if (i >= 10) want.push_back(ops[i]);
    }
    for (int i = 0; i < 40; ++i) g.connect_value_to_op(i % 2 ? k : o, ops[(i * 7) % 40]);
    Ids want_options = to_ids(g.options(k));
    for (Idx x : g.options(o))
        if (std::find(want_options.begin(), want_options.end(), x) == want_options.end())
            want_options.push_back(x);
    const Ids moved = to_ids(g.options(o));
    merge_value_nodes(g, k, o, {.upper = true, .lower = true});
    CHECK(to_ids(g.parents(k)) == want);
    CHECK(to_ids(g.options(k)) == want_options);
    for (NodeId x : moved) CHECK(g.parent(x) == k);
    for (NodeId x : ops)
        for (Idx c : g.children(x)) CHECK(c == k);
}

// ---------------------------------------------------------------------------------------
// Gluing.

struct GlueRef {
    std::optional<u64> max_leaves;
    std::vector<Graph> results;
    std::set<std::pair<bool, u64>> recorded;

    bool within(std::size_t n) const { return !max_leaves || n <= *max_leaves; }

    void rec(const Graph& g, Ids lv, Ids cands, bool trees_only) {
        if (trees_only || within(lv.size())) {
            const std::pair<bool, u64> h =
                trees_only ? std::make_pair(false, u64(0)) : std::make_pair(true, connection_hash(g));
            if (within(lv.size()) && !recorded.count(h)) {
                results.push_back(clone_subgraph(g).graph);
                recorded.insert(h);
            }
        }
        while (!lv.empty() && !trees_only) {
            const NodeId f = lv[0];
            const Ids rest(lv.begin() + 1, lv.end());
            Ids partners = rest;
            partners.insert(partners.end(), cands.begin(), cands.end());
            bool glued = false;
            for (NodeId p : partners) {
                for (NodeId i : {p, f})
                    if (i >= g.size()) out_of_range(g.size(), i);
                if (!same_spec(g, f, p)) continue;
                Clone c = clone_subgraph(g);
                if (!c.corr.get(f)) fail(Failure::LeafNotInCopy);
                if (!c.corr.get(p)) fail(Failure::PartnerNotInCopy);
                merge_value_nodes(c.graph, *c.corr.get(p), *c.corr.get(f),
                                  {.upper = true, .lower = true});
                Ids r2, c2;
                for (NodeId x : rest) {
                    if (!c.corr.get(x)) fail(Failure::RestNotInCopy);
                    r2.push_back(*c.corr.get(x));
                }
                for (NodeId x : cands) {
                    if (!c.corr.get(x)) fail(Failure::CandidateNotInCopy);
                    c2.push_back(*c.corr.get(x));
                }
                rec(c.graph, r2, c2, false);
                glued = true;
            }
            lv = rest;
            if (glued) return;
        }
    }
};

// Both searches' results as dumps, or the failure of each.
using GlueOutcome = std::pair<std::optional<Failure>, std::vector<Dump>>;

GlueOutcome glue_outcome(bool reference, const Graph& g, const Ids& lv, const Ids& cands,
                         GlueOptions o) {
    GlueOutcome out;
    try {
        std::vector<Graph> got;
        if (reference) {
            GlueRef ref{o.max_leaves};
            ref.rec(g, lv, cands, o.trees_only);
            got = std::move(ref.results);
        } else {
            got = glue_leaves(g, lv, cands, o);
        }
        for (const Graph& x : got) out.second.push_back(dump_of(x));
    } catch (const Error& e) {
        out.first = e.failure;
    }
    return out;
}

// P's children by value id, in each result (P is node 1 in every copy of a star).
std::vector<std::vector<u32>> kids(const std::vector<Graph>& gs) {
    std::vector<std::vector<u32>> out;
    for (const Graph& x : gs) {
        std::vector<u32> k;
        for (Idx c : x.children(1)) k.push_back(x.payload_id(c));
        out.push_back(k);
    }
    return out;
}

Graph star(std::initializer_list<u32> types) {
    G b;
    const NodeId R = b.v(0, 9), P = b.o(7);
    b.vo(R, P);
    u32 i = 1;
    for (u32 t : types) b.ov(P, b.v(i++, t));
    b.g.root_id = R;
    return std::move(b.g);
}

TEST(glue_leaves_gives_the_documented_results) {
    const Graph t = star({5, 5, 5});  // a 2, b 3, c 4
    using K = std::vector<std::vector<u32>>;
    CHECK(kids(glue_leaves(t, {2, 3}, {4})) == (K{{1, 2, 3}, {2, 2, 3}, {3, 3, 3}, {3, 2, 3}}));
    CHECK(kids(glue_leaves(t, {2, 3}, {4}, {.max_leaves = 0})) == (K{{3, 3, 3}}));
    CHECK(kids(glue_leaves(t, {2, 3}, {4}, {.max_leaves = 1})) ==
          (K{{2, 2, 3}, {3, 3, 3}, {3, 2, 3}}));
    CHECK(kids(glue_leaves(t, {2, 3}, {4}, {.trees_only = true})) == (K{{1, 2, 3}}));
    CHECK(glue_leaves(t, {2, 3}, {4}, {.trees_only = true, .max_leaves = 1}).empty());
    CHECK(kids(glue_leaves(t, {2, 3}, {})) == (K{{1, 2, 3}, {2, 2, 3}}));
    // b of another type: only a onto c.
    const Graph u = star({5, 6, 5});
    CHECK(kids(glue_leaves(u, {2, 3}, {4})) == (K{{1, 2, 3}, {3, 2, 3}}));
    // A leaf without a partner is passed over; later leaves are glued.
    CHECK(kids(glue_leaves(u, {3, 2}, {4})) == (K{{1, 2, 3}, {3, 2, 3}}));
    // The caller's graph is never changed, and a second run gives the same.
    const Dump before = dump_of(t);
    CHECK(kids(glue_leaves(t, {2, 3, 4}, {})) == kids(glue_leaves(t, {2, 3, 4}, {})));
    CHECK(dump_of(t) == before);
}

TEST(glue_leaves_fails_like_the_copying_search) {
    Graph g = star({5, 5, 5});
    g.add_value(13, 5);  // node 5, outside the component
    auto fails = [&](Ids lv, Ids c) { return glue_outcome(false, g, lv, c, {}).first; };
    CHECK(fails({2, 3}, {4, 50}) == Failure::CandidateNotInCopy);
    CHECK(fails({2, 3, 50}, {4}) == Failure::RestNotInCopy);
    CHECK(fails({2, 3, 2}, {4}) == Failure::PartnerNotInCopy);
    CHECK(fails({5, 2}, {2}) == Failure::LeafNotInCopy);
    CHECK(fails({2}, {5}) == Failure::PartnerNotInCopy);
    CHECK(fails({2, 99}, {}) == Failure::IdOutOfRange);
    CHECK(fails({99}, {2}) == Failure::IdOutOfRange);
    for (const auto& [lv, c] : std::vector<std::pair<Ids, Ids>>{
             {{2, 3}, {4, 50}}, {{2, 3, 50}, {4}}, {{2, 3, 2}, {4}}, {{5, 2}, {2}}, {{2}, {5}}})
        CHECK(glue_outcome(false, g, lv, c, {}) == glue_outcome(true, g, lv, c, {}));
}

TEST(glue_leaves_matches_the_copying_search_on_random_graphs) {
    Rng r{71};
    int compared = 0;
    for (int round = 0; round < 500; ++round) {
        const std::size_t n = 2 + r.below(8);
        const bool odd = round % 2 == 1;
        Recipe s = random_recipe(r, n, n + r.below(n + 1), odd, false, 2);
        const Graph g = build(s);
        Ids vals;
        for (NodeId m = 0; m < n; ++m)
            if (!g.is_op(m)) vals.push_back(m);
        // Half leaves of the root's component, which the glue steps keep in the copies;
        // half any value node: one with options moves them, one outside the component
        // fails the membership tests.
        const Ids own = leaves(g);
        auto pick = [&] {
            return !own.empty() && r.chance(50) ? own[r.below(own.size())]
                                                : vals[r.below(vals.size())];
        };
        Ids lv, cands;
        const std::size_t nl = r.below(5), nc = r.below(3);
        for (std::size_t i = 0; i < nl; ++i) lv.push_back(pick());
        for (std::size_t i = 0; i < nc; ++i) cands.push_back(pick());
        if (r.chance(5)) cands.push_back(n + 3);
        for (GlueOptions o : {GlueOptions{}, GlueOptions{.max_leaves = 1},
                              GlueOptions{.max_leaves = 0}, GlueOptions{.trees_only = true}}) {
            const GlueOutcome want = glue_outcome(true, g, lv, cands, o);
            const Dump before = dump_of(g);
            CHECK(glue_outcome(false, g, lv, cands, o) == want);
            CHECK(dump_of(g) == before);
            compared += !want.first && want.second.size() > 1;
        }
    }
    CHECK(compared > 40);
}

TEST(glue_leaves_matches_the_copying_search_on_shared_ops_hubs_and_lost_roots) {
    auto same = [](const Graph& g, const Ids& lv, const Ids& c) {
        const GlueOutcome want = glue_outcome(true, g, lv, c, {});
        CHECK(glue_outcome(false, g, lv, c, {}) == want);
        return want;
    };
    // One op among the options of two values (its parent is the second): gluing moves the
    // op's parent while the options lists may come out alike.
    Graph g2 = star({5, 5, 5, 5, 5});  // values 2 .. 6
    const NodeId op = g2.add_op(1);
    g2.connect_value_to_op(2, op);
    g2.connect_value_to_op(3, op);
    g2.connect_op_to_value(op, g2.add_value(0, 5));
    CHECK(!same(g2, {2, 3, 4, 7}, {5, 6}).first);
    CHECK(same(g2, {2, 3}, {4}).second.size() > 2);
    same(g2, {3, 2, 4}, {2});
    // A value below 40 ops, each an option of one of the star's leaves.
    Graph g = star({5, 5, 5, 5, 5, 5});
    const NodeId hub = g.add_value(0, 5);
    for (u32 i = 0; i < 40; ++i) {
        const NodeId o = g.add_op(i);
        g.connect_value_to_op(2 + i % 6, o);
        g.connect_op_to_value(o, hub);
    }
    CHECK(!same(g, {2, 3, 4}, {hub}).first);
    // The root is a leaf glued onto another: the glued graph holds the root alone.
    G b;
    for (u32 i = 0; i < 3; ++i) b.v(i, 5);
    const NodeId o3 = b.o(0);
    b.ov(o3, 0);
    b.ov(o3, 1);
    b.vo(2, o3);
    b.g.root_id = 0;
    for (const auto& [lv, c] : std::vector<std::pair<Ids, Ids>>{
             {{0, 1}, {}}, {{0}, {1, 2}}, {{0, 1}, {2}}, {{1, 0}, {2}}})
        same(b.g, lv, c);
    // Ids that leave the component further down, with and without a value taking a value
    // as a child (which keeps a link up to the glued-away leaf).
    for (bool odd : {false, true}) {
        Graph s6 = star({5, 5, 5, 5, 5, 5});
        if (odd) s6.connect_op_to_value(2, 3);
        for (const auto& [lv, c] : std::vector<std::pair<Ids, Ids>>{
                 {{2, 3, 4, 5, 3}, {}}, {{2, 3, 4}, {2}}, {{2, 3, 4, 2}, {5}}, {{2, 3, 2}, {4}},
                 {{3, 2, 3}, {}}})
            same(s6, lv, c);
    }
}

// ---------------------------------------------------------------------------------------
// Cross sections.

std::vector<Cut> ref_cross_sections(const Graph& g, NodeId target, const Ids& lv) {
    std::vector<Ids> tr;
    ref_traces(g, target, {.op_nodes = false}, tr);
    for (const Ids& t : tr)
        if (t.empty()) return {};
    std::vector<Cut> out;
    std::set<std::set<NodeId>> seen;
    std::vector<std::size_t> choice(tr.size(), 0);
    while (true) {
        Ids cut;
        u64 height = 0;
        for (std::size_t i = 0; i < tr.size(); ++i) {
            bool covered = false;
            for (std::size_t q = choice[i]; q < tr[i].size(); ++q)
                for (std::size_t j = 0; j < tr.size(); ++j)
                    covered |= j != i && tr[j][choice[j]] == tr[i][q];
            if (covered) continue;
            cut.push_back(tr[i][choice[i]]);
            height += tr[i].size() - choice[i] - 1;
        }
        for (NodeId l : lv)
            if (!ref_is_below(g, l, cut, true, {})) cut.push_back(l);
        if (seen.insert(std::set<NodeId>(cut.begin(), cut.end())).second)
            out.emplace_back(cut, height);
        std::size_t i = tr.size();
        while (i > 0 && ++choice[i - 1] == tr[i - 1].size()) choice[--i] = 0;
        if (i == 0) break;
    }
    return out;
}

TEST(cross_sections_give_the_documented_cuts) {
    // L(0) under o1(1) under m(2) under o2(3) under r(4); L2(5) a second child of o2.
    G b;
    const NodeId L = b.v(0), o1 = b.o(1), m = b.v(2), o2 = b.o(3), r = b.v(4), L2 = b.v(5);
    b.ov(o1, L);
    b.vo(m, o1);
    b.ov(o2, m);
    b.vo(r, o2);
    b.ov(o2, L2);
    const Graph& g = b.g;
    CHECK(cross_sections_internal(g, L, Ids{L}) == (std::vector<Cut>{{{0}, 2}, {{2}, 1}, {{4}, 0}}));
    CHECK(cross_sections_internal(g, L, Ids{L, L2}) ==
          (std::vector<Cut>{{{0, 5}, 2}, {{2, 5}, 1}, {{4}, 0}}));
    CHECK(cross_sections_internal(g, L, Ids{}) == (std::vector<Cut>{{{0}, 2}, {{2}, 1}, {{4}, 0}}));
    CHECK(cross_sections_internal(g, o1, Ids{L}) == (std::vector<Cut>{{{2}, 1}, {{4}, 0}}));
    CHECK(cross_sections_internal(g, r, Ids{L, L2}) == (std::vector<Cut>{{{4}, 0}}));
    // Two traces to one top: a node chosen on both is covered on both.
    G d;
    const NodeId v = d.v(0), p1 = d.o(1), p2 = d.o(2), t = d.v(3);
    d.ov(p1, v);
    d.ov(p2, v);
    d.vo(t, p1);
    d.vo(t, p2);
    CHECK(cross_sections_internal(d.g, v, Ids{v}) == (std::vector<Cut>{{{0}, 0}, {{3}, 0}}));
    CHECK(cross_sections_internal(d.g, v, Ids{}) == (std::vector<Cut>{{{}, 0}, {{3}, 0}}));
}

TEST(cross_sections_match_the_reference_on_random_graphs) {
    Rng r{81};
    for (int round = 0; round < 120; ++round) {
        const std::size_t n = 2 + r.below(9);
        const Recipe s = random_recipe(r, n, n + r.below(n + 1), round % 2 == 1);
        const Graph g = build(s);
        Ids lv;
        for (NodeId m = 0; m < n; ++m)
            if (r.chance(30)) lv.push_back(m);
        for (NodeId target = 0; target < n; ++target) {
            std::vector<Ids> tr;
            if (!ref_traces(g, target, {.op_nodes = false}, tr, 6)) continue;
            u64 choices = 1;
            for (const Ids& t : tr) choices *= std::max<std::size_t>(t.size(), 1);
            if (choices > 2000) continue;
            CHECK(cross_sections_internal(g, target, lv) == ref_cross_sections(g, target, lv));
        }
    }
    // Long traces: the lookup of the other choices through a sorted index.
    // A chain of 13 values with a second way from the fourth up to the tenth, and a leaf
    // beside the chain.
    G b;
    Ids vals{b.v(0)};
    for (u32 i = 0; i < 12; ++i) {
        const NodeId op = b.o(i), up = b.v(i + 1);
        b.ov(op, vals.back());
        b.vo(up, op);
        vals.push_back(up);
    }
    const NodeId op2 = b.o(50), side = b.v(99);
    b.ov(op2, vals[3]);
    b.ov(op2, side);
    b.vo(vals[9], op2);
    const Graph& g = b.g;
    std::vector<Ids> tr;
    CHECK(ref_traces(g, vals[0], {.op_nodes = false}, tr) && tr.size() == 2);
    for (const Ids& lv : {Ids{vals[0]}, Ids{vals[0], side}, Ids{side, vals[5], vals[11]}})
        CHECK(cross_sections_internal(g, vals[0], lv) == ref_cross_sections(g, vals[0], lv));
}

// ---------------------------------------------------------------------------------------
// The condition analysis.

using Conds = Conditions;

Conds ref_combinations(const std::vector<Conds>& by_child, const std::vector<u64>& offsets) {
    Conds out;
    std::vector<std::size_t> idx(by_child.size(), 0);
    for (const Conds& c : by_child)
        if (c.empty()) return out;
    while (true) {
        Condition cond;
        for (std::size_t i = 0; i < by_child.size(); ++i) {
            if (offsets.size() >= 2 && i >= offsets.size()) continue;
            const u64 shift = offsets.empty() ? 0 : offsets.size() == 1 ? offsets[0] : offsets[i];
            for (u64 e : by_child[i][idx[i]]) cond.push_back(e + shift);
        }
        out.push_back(cond);
        std::size_t i = by_child.size();
        while (i > 0 && ++idx[i - 1] == by_child[i - 1].size()) idx[--i] = 0;
        if (i == 0) break;
    }
    return out;
}

Ids leaf_edges(const Graph& g, NodeId x) {
    Ids out;
    for (Idx o : g.options(x))
        for (Idx c : g.children(o)) out.push_back(c);
    return out;
}

u64 ref_rc(const Graph& g, NodeId x) {
    if (g.options(x).empty()) return 1;
    u64 s = 0;
    for (NodeId c : leaf_edges(g, x)) s += ref_rc(g, c);
    return s;
}

std::set<NodeId> ref_leafset(const Graph& g, NodeId x) {
    if (g.options(x).empty()) return {x};
    std::set<NodeId> out;
    for (NodeId c : leaf_edges(g, x))
        for (NodeId l : ref_leafset(g, c)) out.insert(l);
    return out;
}

Conds ref_update(const Graph& g, NodeId node, const OpCache& snap) {
    if (!g.is_op(node)) return {};
    const auto it = snap.find(g.op_id(node));
    if (it == snap.end()) return {};
    const OpInfo& info = it->second;
    const auto ch = g.children(node);
    if (!info.has_callable || info.cumulative || ch.empty() || g.is_op(ch[0]))
        return info.conditions;
    const auto cb = snap.find(g.val_id(ch[0]));
    if (cb == snap.end()) return {};
    Conds out;
    for (const Condition& c : cb->second.conditions) {
        Condition x{0};
        for (u64 p : c) x.push_back(p + 1);
        out.push_back(x);
    }
    return out;
}

Conds ref_tree(const Graph& g, NodeId node, const OpCache& snap, bool adopt) {
    if (!g.is_op(node) && g.options(node).empty()) return {Condition{}};
    Conds own;
    if (adopt) {
        own = ref_update(g, node, snap);
    } else if (g.is_op(node)) {
        const auto it = snap.find(g.op_id(node));
        if (it != snap.end()) own = it->second.conditions;
    }
    const auto ch = g.children(node);
    std::vector<u64> offsets;
    u64 at = 0;
    for (Idx c : ch) {
        offsets.push_back(at);
        at += ref_leafset(g, c).size();
    }
    Conds out;
    for (const Condition& qc : own) {
        std::vector<Conds> per;
        for (std::size_t p = 0; p < ch.size(); ++p) {
            const NodeId c = ch[p];
            if (std::find(qc.begin(), qc.end(), p) != qc.end()) {
                Condition all;
                for (u64 i = 0; i < ref_rc(g, c); ++i) all.push_back(i);
                per.push_back({all});
            } else if (g.options(c).empty()) {
                per.push_back({Condition{}});
            } else {
                per.push_back(ref_tree(g, g.options(c)[0], snap, adopt));
            }
        }
        for (Condition& x : ref_combinations(per, offsets)) out.push_back(std::move(x));
    }
    return out;
}

Conds ref_get(const Graph& g, NodeId node, const OpCache& snap, bool adopt) {
    const std::size_t n = leaves(g).size();
    if (g.options(node).empty()) return {Condition{}};
    const NodeId op = g.options(node)[0];
    const NodeId start = g.parent(op) == kNone ? op : g.parent(op);
    Ids seq, stack{start};
    while (!stack.empty()) {
        const NodeId x = stack.back();
        stack.pop_back();
        if (g.options(x).empty()) seq.push_back(x);
        const Ids e = leaf_edges(g, x);
        stack.insert(stack.end(), e.rbegin(), e.rend());
    }
    Conds translated;
    for (const Condition& qc : ref_tree(g, op, snap, adopt)) {
        std::map<NodeId, bool> flags;
        Condition out;
        bool ok = true;
        for (std::size_t i = 0; i < seq.size() && ok; ++i) {
            const bool in = std::find(qc.begin(), qc.end(), i) != qc.end();
            const auto f = flags.find(seq[i]);
            if (f == flags.end()) {
                flags[seq[i]] = in;
                if (in) out.push_back(flags.size() - 1);
            } else if (f->second != in) {
                ok = false;
            }
        }
        if (ok) translated.push_back(out);
    }
    if (translated.empty()) {
        Condition all;
        for (u64 i = 0; i < n; ++i) all.push_back(i);
        translated.push_back(all);
    }
    std::stable_sort(translated.begin(), translated.end(),
                     [](const Condition& a, const Condition& b) { return a.size() < b.size(); });
    Conds kept;
    for (std::size_t k = 0; k < translated.size(); ++k) {
        const Condition& x = translated[k];
        bool drop = false;
        for (std::size_t j = 0; j < k && !drop; ++j) {
            const Condition& y = translated[j];
            bool subset = true;
            for (u64 e : y) subset &= std::find(x.begin(), x.end(), e) != x.end();
            drop = subset && (!y.empty() || x.size() >= n);
        }
        if (!drop) kept.push_back(x);
    }
    std::sort(kept.begin(), kept.end());
    std::stable_sort(kept.begin(), kept.end(),
                     [](const Condition& a, const Condition& b) { return a.size() < b.size(); });
    return kept;
}

OpInfo info(Conds c, bool callable = false, bool cumulative = false) {
    return {std::move(c), callable, cumulative};
}

TEST(conditions_give_the_documented_results) {
    // out(0) option where(1, op 10) over c(2), x(3), y(4); x option apply(5, op 20) over
    // f(6, value 50), u(7), v(8).
    G b;
    const NodeId out = b.v(1), where = b.o(10), c = b.v(2), x = b.v(3), y = b.v(4),
                 apply = b.o(20), f = b.v(50), u = b.v(5), v = b.v(6);
    b.vo(out, where);
    b.vo(x, apply);
    for (NodeId ch : {c, x, y}) b.ov(where, ch);
    for (NodeId ch : {f, u, v}) b.ov(apply, ch);
    Graph& g = b.g;
    g.root_id = out;
    const OpCache snap = {{10, info({{0, 1}, {0, 2}})},
                          {20, info({{0, 1, 2}}, true)},
                          {50, info({{0}, {1}})}};
    CHECK(leaves(g) == (Ids{2, 6, 7, 8, 4}));
    CHECK(_update_callable_conditions(g, apply, snap) == (Conds{{0, 1}, {0, 2}}));
    CHECK(_update_callable_conditions(g, where, snap) == (Conds{{0, 1}, {0, 2}}));
    CHECK(_tree_conditions(g, where, snap, {}) == (Conds{{0, 1, 2, 3}, {0, 1, 2, 3, 4}}));
    CHECK(_tree_conditions(g, where, snap, {.adopt_for_callable = true}) ==
          (Conds{{0, 1, 2, 3}, {0, 1, 2, 4}, {0, 1, 3, 4}}));
    CHECK(get_conditions(g, out, snap, {.adopt_for_callable = true}) ==
          (Conds{{0, 1, 2, 3}, {0, 1, 2, 4}, {0, 1, 3, 4}}));
    CHECK(get_conditions(g, out, snap, {}) == (Conds{{0, 1, 2, 3}}));
    CHECK(condition_combinations_internal({{{0}, {1}}, {{0}}}, {0, 2}) == (Conds{{0, 2}, {1, 2}}));
    // A cumulative op keeps its own conditions.
    OpCache cum = snap;
    cum[20].cumulative = true;
    CHECK(_update_callable_conditions(g, apply, cum) == (Conds{{0, 1, 2}}));
    // The callable without an entry: no conditions.
    OpCache lost = snap;
    lost.erase(50);
    CHECK(_update_callable_conditions(g, apply, lost).empty());
}

TEST(condition_combinations_shift_and_cut_like_the_reference) {
    const std::vector<std::pair<std::vector<Conds>, std::vector<u64>>> cases = {
        {{{{0}, {1}}, {{0}}}, {0, 2}},
        {{{{0}, {1}}, {{0}, {2, 3}}}, {5}},
        {{{{0}, {1}}, {{0}, {2, 3}}, {{9}}}, {0, 10}},  // the third list only multiplies
        {{{{0}, {1}}, {{0}, {2, 3}}, {{9}, {8}}}, {0, 10}},
        {{{{0}, {1}}, {}}, {0, 1}},
        {{}, {}},
        {{{{}}}, {}},
        {{{{1}}, {{~u64(0)}}}, {0, 3}},  // positions wrap around
        {{{{1, 2}, {3}}, {{0}}, {{4}, {}}}, {}},
    };
    for (const auto& [by, off] : cases)
        CHECK(condition_combinations_internal(by, off) == ref_combinations(by, off));
}

// An acyclic graph with sharing and repeats: every link goes from a lower id to a higher.
Recipe acyclic_recipe(Rng& r, std::size_t n, bool odd) {
    Recipe s;
    for (std::size_t i = 0; i < n; ++i) {
        const bool op = i > 0 && !r.chance(55);
        s.nodes.push_back({op, u32(r.below(4)), 0});
    }
    for (std::size_t i = 0; i + 1 < n; ++i) {
        Ids targets;
        for (std::size_t j = i + 1; j < n && targets.size() < 4; ++j)
            if (odd || s.nodes[j].op != s.nodes[i].op) targets.push_back(j);
        if (targets.empty()) continue;
        const std::size_t k = std::vector<std::size_t>{0, 1, 1, 2, 3}[r.below(5)];
        for (std::size_t e = 0; e < k; ++e)
            s.links.push_back({s.nodes[i].op, i, targets[r.below(targets.size())]});
    }
    s.root = 0;
    return s;
}

OpCache random_snapshot(Rng& r) {
    OpCache c;
    for (u32 pid = 0; pid < 4; ++pid) {
        if (r.chance(15)) continue;
        Conds conds(r.below(4));
        for (Condition& x : conds) {
            x.resize(r.below(4));
            for (u64& e : x) e = r.below(5);
        }
        c[pid] = info(conds, r.chance(40), r.chance(30));
    }
    return c;
}

TEST(conditions_match_the_reference_on_random_graphs) {
    Rng r{91};
    for (int round = 0; round < 160; ++round) {
        const Recipe s = acyclic_recipe(r, 2 + r.below(14), round % 3 == 2);
        const Graph g = build(s);
        const OpCache snap = random_snapshot(r);
        for (NodeId node = 0; node < g.size(); ++node) {
            CHECK(_update_callable_conditions(g, node, snap) == ref_update(g, node, snap));
            for (bool adopt : {false, true}) {
                const ConditionOptions o{.adopt_for_callable = adopt};
                CHECK(_tree_conditions(g, node, snap, o) == ref_tree(g, node, snap, adopt));
                CHECK(get_conditions(g, node, snap, o) == ref_get(g, node, snap, adopt));
            }
        }
    }
}

TEST(leaf_counts_count_occurrences_and_distinct_leaves) {
    Rng r{101};
    for (int round = 0; round < 150; ++round) {
        const Recipe s = acyclic_recipe(r, 2 + r.below(16), round % 3 == 2);
        const Graph g = build(s);
        Poll poll;
        LeafCounts counts(g, poll);
        // Explore from a few starts, one memo for all, then ask in an order of its own.
        Ids starts;
        for (NodeId m = 0; m < g.size(); ++m)
            if (r.chance(40)) starts.push_back(m);
        starts.push_back(0);
        for (NodeId x : starts) counts.explore(x);
        counts.mark_shared();  // the distinct counts read what it marks
        std::set<NodeId> reached;
        for (NodeId x : starts) {
            Ids stack{x};
            while (!stack.empty()) {
                const NodeId y = stack.back();
                stack.pop_back();
                if (!reached.insert(y).second) continue;
                for (NodeId c : leaf_edges(g, y)) stack.push_back(c);
            }
        }
        for (int twice = 0; twice < 2; ++twice)
            for (auto it = reached.rbegin(); it != reached.rend(); ++it) {
                CHECK(counts.count_repeated_leaves(*it) == ref_rc(g, *it));
                CHECK(counts.count_unique_leaves(*it) == ref_leafset(g, *it).size());
            }
    }
}

TEST(leaf_counts_and_conditions_report_leaf_edge_cycles) {
    // r(0) option p(1) child m(2); m option q(3) child r: a cycle through leaf edges.
    G b;
    const NodeId r = b.v(0), p = b.o(1), m = b.v(2), q = b.o(3);
    b.vo(r, p);
    b.ov(p, m);
    b.vo(m, q);
    b.ov(q, r);
    Poll poll;
    LeafCounts counts(b.g, poll);
    CHECK(failure_of([&] { counts.explore(r); }) == Failure::LeafEdgeCycle);
    const OpCache snap = {{1, info({{0}})}, {3, info({{0}})}};
    CHECK(failure_of([&] { _tree_conditions(b.g, p, snap, {}); }) == Failure::LeafEdgeCycle);
    b.g.root_id = r;
    CHECK(failure_of([&] { get_conditions(b.g, r, snap, {}); }) == Failure::LeafEdgeCycle);
    // Shared leaves: a diamond counts the shared leaf once per path.
    G d;
    const NodeId top = d.v(0), o = d.o(0), x = d.v(1), y = d.v(2), ox = d.o(1), oy = d.o(2),
                 leaf = d.v(3);
    d.vo(top, o);
    d.ov(o, x);
    d.ov(o, y);
    d.vo(x, ox);
    d.vo(y, oy);
    d.ov(ox, leaf);
    d.ov(oy, leaf);
    d.ov(oy, leaf);
    Poll poll2;
    LeafCounts c2(d.g, poll2);
    c2.explore(top);
    c2.mark_shared();
    CHECK(c2.count_repeated_leaves(top) == 3);
    CHECK(c2.count_unique_leaves(top) == 1);
    CHECK(c2.count_unique_leaves(y) == 1);
    CHECK(c2.count_repeated_leaves(y) == 2);
    CHECK(c2.count_repeated_leaves(leaf) == 1);
}

}  // namespace
