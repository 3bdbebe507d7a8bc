// Sets of ids for the searches, in the few shapes they need.
//
// The node sets hold ids below a bound given at construction (a graph's node count) and
// never show how they store their members: nothing outside this header indexes their
// storage or assumes that it spans the bound.  A set can therefore start small and grow
// only as far as a search reaches without any caller changing.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "graph.hpp"

namespace quill {

// A set of node ids below a bound.
class NodeSet {
public:
    explicit NodeSet(std::uint64_t bound) : bits_((bound + 63) / 64, 0) {}

    bool contains(NodeId id) const { return (bits_[id >> 6] >> (id & 63)) & 1u; }
    void insert(NodeId id) { bits_[id >> 6] |= std::uint64_t(1) << (id & 63); }
    void erase(NodeId id) { bits_[id >> 6] &= ~(std::uint64_t(1) << (id & 63)); }

private:
    std::vector<std::uint64_t> bits_;
};

// A set of node ids below a bound that empties in constant time: its members are the ids
// stamped with the current generation.  Its storage is taken at the first insert, so a
// set that stays empty costs nothing.
class StampedSet {
public:
    explicit StampedSet(std::uint64_t bound) : bound_(bound) {}

    std::uint64_t bound() const { return bound_; }
    // Any id may be asked about; ids at or beyond the bound are never members.
    bool contains(NodeId id) const { return id < marks_.size() && marks_[id] == gen_; }
    void insert(NodeId id) {
        if (marks_.empty()) marks_.assign(bound_, 0);
        marks_[id] = gen_;
    }
    void clear() {
        if (++gen_ == 0) {  // wrapped: start the stamps afresh
            std::fill(marks_.begin(), marks_.end(), 0);
            gen_ = 1;
        }
    }

private:
    std::uint64_t bound_;
    std::vector<std::uint32_t> marks_;
    std::uint32_t gen_ = 1;
};

// How many times each node id below a bound is held.
class NodeMultiset {
public:
    explicit NodeMultiset(std::uint64_t bound) : counts_(bound, 0) {}

    std::uint32_t count(NodeId id) const { return counts_[id]; }
    void insert(NodeId id) { ++counts_[id]; }
    void erase_one(NodeId id) { --counts_[id]; }

private:
    std::vector<std::uint32_t> counts_;
};

// The nodes on a depth-first search path, in path order, each at most once and each with
// a cursor (the next of its links that the search takes), and a membership test: a scan
// while the path is short, a NodeSet once it grows deep.
class SearchPath {
public:
    explicit SearchPath(std::uint64_t bound) : bound_(bound) {}

    bool empty() const { return path_.empty(); }
    NodeId back() const { return path_.back().node; }
    Idx& cursor() { return path_.back().cursor; }
    bool contains(NodeId id) const {
        if (deep_) return deep_->contains(id);
        for (const Entry& e : path_)
            if (e.node == id) return true;
        return false;
    }
    // Adds `id` with its cursor at 0.
    void push(NodeId id) {
        path_.push_back({Idx(id), 0});
        if (deep_) {
            deep_->insert(id);
        } else if (path_.size() > kScanLimit) {
            deep_ = std::make_unique<NodeSet>(bound_);
            for (const Entry& e : path_) deep_->insert(e.node);
        }
    }
    void pop() {
        if (deep_) deep_->erase(path_.back().node);
        path_.pop_back();
    }

private:
    static constexpr std::size_t kScanLimit = 32;
    struct Entry {
        Idx node;
        Idx cursor;
    };
    std::uint64_t bound_;
    std::vector<Entry> path_;
    std::unique_ptr<NodeSet> deep_;
};

// Membership in one node's list, asked many times before the next list: a scan while the
// list is short, marks once it is long, so that a node with many links does not cost a
// quadratic scan.  The list must outlive the questions.
class ListMembership {
public:
    explicit ListMembership(std::uint64_t bound) : marks_(bound) {}

    void reset(std::span<const Idx> list) {
        list_ = list;
        marked_ = list.size() > kScanLimit;
        if (!marked_) return;
        marks_.clear();
        for (Idx m : list)
            if (m < marks_.bound()) marks_.insert(m);
    }
    bool contains(NodeId m) const {
        // Only the scan can find an id beyond the bound.
        if (marked_ && m < marks_.bound()) return marks_.contains(m);
        for (Idx x : list_)
            if (x == m) return true;
        return false;
    }

private:
    static constexpr std::size_t kScanLimit = 16;
    std::span<const Idx> list_;
    StampedSet marks_;
    bool marked_ = false;
};

// A set of ids that a caller hands in, any 64-bit values (they are never range-checked):
// a scan while the list is short, an open-addressing table once it is long.  The list
// must outlive the set.
class IdSet {
public:
    explicit IdSet(std::span<const NodeId> ids) : ids_(ids) {
        if (ids.size() <= kScanLimit) return;
        std::size_t cap = 16;
        while (cap < ids.size() * 2) cap <<= 1;
        slots_.assign(cap, kEmpty);
        mask_ = cap - 1;
        for (NodeId id : ids) insert(id);
    }

    bool contains(NodeId id) const {
        if (slots_.empty()) {
            for (NodeId x : ids_)
                if (x == id) return true;
            return false;
        }
        if (id == kEmpty) return has_empty_key_;
        for (std::size_t i = mix(id) & mask_;; i = (i + 1) & mask_) {
            if (slots_[i] == id) return true;
            if (slots_[i] == kEmpty) return false;
        }
    }

private:
    static constexpr std::size_t kScanLimit = 8;
    static constexpr NodeId kEmpty = ~NodeId(0);
    std::span<const NodeId> ids_;
    std::vector<NodeId> slots_;
    std::size_t mask_ = 0;
    bool has_empty_key_ = false;

    static std::uint64_t mix(std::uint64_t x) {
        x ^= x >> 30;
        x *= 0xbf58476d1ce4e5b9ull;
        x ^= x >> 27;
        x *= 0x94d049bb133111ebull;
        return x ^ (x >> 31);
    }
    void insert(NodeId id) {
        if (id == kEmpty) {
            has_empty_key_ = true;
            return;
        }
        std::size_t i = mix(id) & mask_;
        while (slots_[i] != kEmpty && slots_[i] != id) i = (i + 1) & mask_;
        slots_[i] = id;
    }
};

}  // namespace quill
