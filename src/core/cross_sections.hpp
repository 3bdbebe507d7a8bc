// Cross sections of a target leaf.
#pragma once

#include <span>
#include <utility>
#include <vector>

#include "flat_lists.hpp"
#include "graph.hpp"

namespace quill {

// The cuts found, in order, each its members and its height; the members are kept flat.
class Cuts {
public:
    std::size_t size() const { return members_.size(); }
    std::pair<std::span<const NodeId>, std::uint64_t> operator[](std::size_t i) const {
        return {members_[i], heights_[i]};
    }
    // Either succeeds or throws std::bad_alloc with the cuts as they were.
    void push_back(std::span<const NodeId> members, std::uint64_t height) {
        if (heights_.size() == heights_.capacity()) heights_.reserve(2 * heights_.size() + 16);
        members_.push_back(members);
        heights_.push_back(height);
    }
    friend bool operator==(const Cuts&, const Cuts&) = default;

private:
    FlatLists<NodeId> members_;
    std::vector<std::uint64_t> heights_;
};

Cuts cross_sections_internal(const Graph& g, NodeId target_leaf, std::span<const NodeId> leaves);

}  // namespace quill
