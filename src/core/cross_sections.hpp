// Cross sections of a target leaf.
#pragma once

#include <span>
#include <utility>
#include <vector>

#include "flat_lists.hpp"
#include "graph.hpp"

namespace quill {

// The cuts found, in order, each its members and its height, kept flat: a cut is stored
// as its members followed by its height.
class Cuts {
public:
    std::size_t size() const { return lists_.size(); }
    std::pair<std::span<const NodeId>, std::uint64_t> operator[](std::size_t i) const {
        const std::span<const NodeId> l = lists_[i];
        return {l.first(l.size() - 1), l.back()};
    }
    // Either succeeds or throws std::bad_alloc with the cuts as they were.
    void push_back(std::span<const NodeId> members, std::uint64_t height) {
        lists_.push_back(members, height);
    }
    friend bool operator==(const Cuts&, const Cuts&) = default;

private:
    FlatLists<NodeId> lists_;
};

Cuts cross_sections_internal(const Graph& g, NodeId target_leaf, std::span<const NodeId> leaves);

}  // namespace quill
