// A reference model of the graph record for the native tests: plain node states, the
// mutations written out plainly (Step applies one alike to a Graph and to the model),
// full dumps, and random mutation sequences.  Shared by the test files.
#pragma once

#include "harness.hpp"

namespace quill_test {

struct NodeState {
    bool op = false;
    u32 a = 0, b = 0;
    std::vector<Idx> parents, options, children;
    Idx parent = kNone;
    bool operator==(const NodeState&) const = default;
};

struct State {
    u64 root = 0;
    std::vector<NodeState> nodes;
    bool operator==(const State&) const = default;
};

inline std::vector<Idx> to_vec(std::span<const Idx> s) { return {s.begin(), s.end()}; }

inline State dump(const Graph& g) {
    State s;
    s.root = g.root_id;
    for (NodeId i = 0; i < g.size(); ++i) {
        NodeState n;
        n.op = g.is_op(i);
        n.a = g.payload_id(i);
        n.b = g.type_id(i);
        n.parents = to_vec(g.parents(i));
        n.options = to_vec(g.options(i));
        n.children = to_vec(g.children(i));
        n.parent = g.parent(i);
        s.nodes.push_back(std::move(n));
    }
    return s;
}

inline bool holds(const std::vector<Idx>& v, Idx x) {
    for (Idx y : v)
        if (y == x) return true;
    return false;
}

// The merge as a sequence of plain steps: copy, append what is missing, rewrite, empty.
inline void model_merge(State& m, NodeId keep, NodeId other, bool upper, bool lower) {
    if (keep == other) return;
    if (upper) {
        const std::vector<Idx> moved = m.nodes[other].parents;
        for (Idx f : moved) {
            if (!holds(m.nodes[keep].parents, f)) m.nodes[keep].parents.push_back(f);
            for (Idx& c : m.nodes[f].children)
                if (c == other) c = Idx(keep);
        }
        m.nodes[other].parents.clear();
    }
    if (lower) {
        const std::vector<Idx> moved = m.nodes[other].options;
        for (Idx f : moved) {
            if (!holds(m.nodes[keep].options, f)) m.nodes[keep].options.push_back(f);
            m.nodes[f].parent = Idx(keep);
        }
        m.nodes[other].options.clear();
    }
}

// One mutation, applied alike to a graph and to the model.
struct Step {
    enum Kind { AddOp, AddValue, OpToValue, ValueToOp, Merge } kind;
    u64 x = 0, y = 0;
    bool upper = false, lower = false;

    void apply(Graph& g) const {
        switch (kind) {
            case AddOp: g.add_op(u32(x)); break;
            case AddValue: g.add_value(u32(x), u32(y)); break;
            case OpToValue: g.connect_op_to_value(x, y); break;
            case ValueToOp: g.connect_value_to_op(x, y); break;
            case Merge: merge_value_nodes(g, x, y, {.upper = upper, .lower = lower}); break;
        }
    }
    void apply(State& m) const {
        switch (kind) {
            case AddOp: m.nodes.push_back({true, u32(x), 0}); break;
            case AddValue: m.nodes.push_back({false, u32(x), u32(y)}); break;
            case OpToValue:
                m.nodes[x].children.push_back(Idx(y));
                m.nodes[y].parents.push_back(Idx(x));
                break;
            case ValueToOp:
                m.nodes[x].options.push_back(Idx(y));
                m.nodes[y].parent = Idx(x);
                break;
            case Merge: model_merge(m, x, y, upper, lower); break;
        }
    }
};

inline Graph build(const std::vector<Step>& steps) {
    Graph g;
    for (const Step& s : steps) s.apply(g);
    return g;
}

inline State model(const std::vector<Step>& steps) {
    State m;
    for (const Step& s : steps) s.apply(m);
    return m;
}

struct Rng {
    u64 s;
    u64 next() {
        u64 z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    u64 below(u64 n) { return next() % n; }
};

// Random mutations over nodes of both kinds, links of every kind included (a value's
// parent and children, an op's parents and options).  A few hot nodes collect long lists.
inline std::vector<Step> random_steps(u64 seed, std::size_t count, std::size_t max_nodes) {
    Rng r{seed};
    std::vector<Step> steps;
    std::size_t n = 0;
    auto pick = [&] {
        return r.below(3) == 0 ? r.below(n < 4 ? n : 4) : r.below(n);
    };
    for (std::size_t i = 0; i < count; ++i) {
        const u64 roll = r.below(100);
        if (n < 2 || (n < max_nodes && roll < 15)) {
            if (r.below(2))
                steps.push_back({Step::AddOp, r.below(5)});
            else
                steps.push_back({Step::AddValue, r.below(5), r.below(3)});
            ++n;
        } else if (roll < 55) {
            steps.push_back({Step::OpToValue, pick(), pick()});
        } else if (roll < 90) {
            steps.push_back({Step::ValueToOp, pick(), pick()});
        } else {
            steps.push_back({Step::Merge, pick(), pick(), r.below(4) != 0, r.below(4) != 0});
        }
    }
    return steps;
}

}  // namespace quill_test
