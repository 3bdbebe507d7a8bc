// The side table of a graph record: the links that do not belong to a node's kind (an op
// node's parents and options, a value node's children and parent).  The model allows
// them (the connect operations do not check kinds) but they are rare, so they live here
// rather than in every node: a record per node that has any, found through a small
// open-addressing table keyed by node id.  The record (graph.hpp) looks here only for
// nodes whose side flag is set (node.hpp).
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "node.hpp"

namespace quill {

struct SideRecord {
    std::vector<Idx> parents;
    std::vector<Idx> options;
    std::vector<Idx> children;
    Idx parent = kNone;

    std::vector<Idx>& list(Field f) {
        return f == Field::Parents ? parents : f == Field::Options ? options : children;
    }
    const std::vector<Idx>& list(Field f) const { return const_cast<SideRecord*>(this)->list(f); }
};

// Records and the table that finds them.  Records are never removed: a node keeps its
// record once it has one, as nodes are never removed either.
class SideTable {
public:
    // The record of node `id`, which must have one.
    SideRecord& of(NodeId id) { return records_[index_of(id)]; }
    const SideRecord& of(NodeId id) const { return records_[index_of(id)]; }
    // Room for `more` records, so that attaching them cannot fail.
    void reserve(std::uint64_t more);
    // Adds a record and ties node `id` to it; reserve must have made room.  The caller
    // sets the node's side flag.
    void attach(NodeId id, SideRecord&& rec);
    std::size_t size() const { return records_.size(); }

private:
    // A slot of the table: a node id (kNone when free) and its record's index.
    struct Slot {
        Idx node;
        Idx record;
    };

    std::vector<SideRecord> records_;
    std::vector<Slot> slots_;  // open addressing, a power of two, at most half full

    std::uint32_t index_of(NodeId id) const;
};

}  // namespace quill
