// The native test harness: TEST registers a test, CHECK and CHECK_THROWS fail it, and
// GraphTestAccess reaches the raw storage of a graph.  harness.cpp holds the runner and
// the counting operator new; every *_tests.cpp file adds its tests to the one program.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "clone.hpp"
#include "conditions.hpp"
#include "cross_sections.hpp"
#include "glue.hpp"
#include "graph.hpp"
#include "hash.hpp"
#include "id_sets.hpp"
#include "merge.hpp"
#include "reach.hpp"
#include "traces.hpp"
#include "walk.hpp"


namespace quill {
// Reaches the raw storage of a graph.
struct GraphTestAccess {
    // The size word of a node's primary list (a value's parents, an op's children).
    static std::uint32_t& primary_word(Graph& g, NodeId id) {
        Node& n = g.nodes_[id];
        return *n.own(n.primary()).word;
    }
    static std::uint32_t& second_child(Graph& g, NodeId op) { return g.nodes_[op].word(OpWord::SecondChild); }
    static const void* node_array(const Graph& g) { return g.nodes_; }
    static std::uint64_t& arena_used(Graph& g) { return g.arena_.used_; }
    static std::uint64_t& arena_cap(Graph& g) { return g.arena_.cap_; }
    static std::size_t side_records(const Graph& g) { return g.side_.size(); }
    // The word after a list's size word: its entries in the node, or its arena offset.
    // For a field the node owns.
    static std::uint32_t& list_word(Graph& g, NodeId id, Field f) { return g.nodes_[id].own(f).offset(); }
    static std::uint32_t& size_word(Graph& g, NodeId id, Field f) { return *g.nodes_[id].own(f).word; }
    static Idx* arena_data(Graph& g) { return g.arena_.data_; }
};
}  // namespace quill

namespace quill {
// The flat results as plain vectors, and compared with them, so that tests can state
// expected results as literals.
template <class T>
std::vector<std::vector<T>> unpack(const FlatLists<T>& f) {
    std::vector<std::vector<T>> out;
    for (std::size_t i = 0; i < f.size(); ++i) out.emplace_back(f[i].begin(), f[i].end());
    return out;
}

using Cut = std::pair<std::vector<NodeId>, std::uint64_t>;

inline std::vector<Cut> unpack(const Cuts& c) {
    std::vector<Cut> out;
    for (std::size_t i = 0; i < c.size(); ++i)
        out.emplace_back(std::vector<NodeId>(c[i].first.begin(), c[i].first.end()), c[i].second);
    return out;
}

template <class T>
bool operator==(const FlatLists<T>& a, const std::vector<std::vector<T>>& b) {
    return unpack(a) == b;
}
inline bool operator==(const Cuts& a, const std::vector<Cut>& b) { return unpack(a) == b; }
}  // namespace quill

using namespace quill;
using u32 = std::uint32_t;
using u64 = std::uint64_t;

// ---------------------------------------------------------------------------------------
// A tiny test harness.

namespace quill_test {

struct CheckFailed {};

inline std::vector<std::pair<const char*, void (*)()>>& registry() {
    static std::vector<std::pair<const char*, void (*)()>> tests;
    return tests;
}

struct Register {
    Register(const char* name, void (*fn)()) { registry().emplace_back(name, fn); }
};

[[noreturn]] inline void check_failed(const char* what, const char* file, int line) {
    std::fprintf(stderr, "  %s:%d: check failed: %s\n", file, line, what);
    throw CheckFailed{};
}

}  // namespace quill_test

using namespace quill_test;

#define TEST(name)                                  \
    static void name();                             \
    static const Register name##_registered{#name, name}; \
    static void name()

#define CHECK(cond)                                                   \
    do {                                                              \
        if (!(cond)) check_failed(#cond, __FILE__, __LINE__);         \
    } while (0)

// Runs `expr` and checks that it throws `Type`.
#define CHECK_THROWS(Type, expr)                                              \
    do {                                                                      \
        bool thrown_ = false;                                                 \
        try {                                                                 \
            expr;                                                             \
        } catch (const Type&) {                                               \
            thrown_ = true;                                                   \
        }                                                                     \
        if (!thrown_) check_failed("throws " #Type ": " #expr, __FILE__, __LINE__); \
    } while (0)

