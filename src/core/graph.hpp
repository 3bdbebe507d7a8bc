// The graph record: a dense, append-only list of op and value nodes and a root id, and
// the narrow interface the algorithms read and edit it through: lists by field, the
// parent, connecting, making room before a mutation, and the fast paths of the walks and
// the copies.
//
// The storage behind it is in three parts: the nodes (node.hpp: six 32-bit words each,
// the lists they keep and where each field lives), the arena that holds the lists too
// long for their nodes (arena.hpp), and the side table of links that do not belong to a
// node's kind (side_table.hpp).  Only this file and graph.cpp use them directly.
//
// The node array and the arena grow by doubling with realloc; only the pages written to
// become resident.  On the standard tree (each value has one parent and one option,
// each op two children and one parent) every node keeps all its links in its own 24
// bytes and the arena stays empty.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "arena.hpp"
#include "error.hpp"
#include "node.hpp"
#include "side_table.hpp"

namespace quill {

class Graph {
public:
    std::uint64_t root_id = 0;

    Graph() = default;
    Graph(const Graph&) = delete;
    Graph& operator=(const Graph&) = delete;
    Graph(Graph&& o) noexcept
        : root_id(o.root_id), nodes_(o.nodes_), size_(o.size_), cap_(o.cap_),
          arena_(std::move(o.arena_)), side_(std::move(o.side_)) {
        o.nodes_ = nullptr;
        o.size_ = o.cap_ = 0;
        o.root_id = 0;
    }
    Graph& operator=(Graph&& o) noexcept {
        if (this != &o) {
            // The arena and the side table free what they held as they take o's.
            block_free(static_cast<void*>(nodes_));
            root_id = o.root_id;
            nodes_ = o.nodes_;
            size_ = o.size_;
            cap_ = o.cap_;
            arena_ = std::move(o.arena_);
            side_ = std::move(o.side_);
            o.nodes_ = nullptr;
            o.size_ = o.cap_ = 0;
            o.root_id = 0;
        }
        return *this;
    }
    // Nodes own no blocks of their own: the lists live in the arena and the side table.
    ~Graph() { block_free(static_cast<void*>(nodes_)); }

    // ---- size and checks ----
    std::uint64_t size() const { return size_; }
    bool valid(std::uint64_t id) const { return id < size_; }
    // Fails with the out-of-range message unless `id` names a node.
    void check(std::uint64_t id) const {
        if (id >= size_) out_of_range(size_, id);
    }

    // ---- reading (ids must be valid) ----
    bool is_op(NodeId id) const { return nodes_[id].is_op(); }
    std::uint32_t op_id(NodeId id) const { return nodes_[id].payload(); }
    std::uint32_t val_id(NodeId id) const { return nodes_[id].payload(); }
    std::uint32_t type_id(NodeId id) const { return nodes_[id].type_id(); }
    // The payload id: op_id of an op node, val_id of a value node.
    std::uint32_t payload_id(NodeId id) const { return nodes_[id].payload(); }

    std::span<const Idx> list(NodeId id, Field f) const {
        const Node& n = nodes_[id];
        if (n.owns(f)) return n.entries(f, arena_.data());
        if (!n.has_side()) return {};
        const std::vector<Idx>& v = side_.of(id).list(f);
        return {v.data(), v.size()};
    }
    std::span<const Idx> parents(NodeId id) const { return list(id, Field::Parents); }
    std::span<const Idx> options(NodeId id) const { return list(id, Field::Options); }
    std::span<const Idx> children(NodeId id) const { return list(id, Field::Children); }
    // The stored parent index, or kNone when absent.
    Idx parent(NodeId id) const {
        const Node& n = nodes_[id];
        if (n.owns_parent()) return n.own_parent();
        return n.has_side() ? side_.of(id).parent : kNone;
    }
    // The links of a node that keeps them all itself (see Node::links_in_node and
    // NodeLinks): fills `out` and returns true for such a node; false for any other.
    // Branch-free apart from that rare case (see Node::own_links).
    using OwnLinks = NodeLinks;
    bool own_links(NodeId id, OwnLinks& out) const {
        const Node& n = nodes_[id];
        if (!n.links_in_node()) [[unlikely]]
            return false;
        n.own_links(out);
        return true;
    }
    // Downward links of a node by its kind: options of a value, children of an op.
    std::span<const Idx> downward(NodeId id) const { return nodes_[id].downward(arena_.data()); }

    // ---- growing ----
    NodeId add_op(std::uint32_t op_id) { return append(true, op_id, 0); }
    NodeId add_value(std::uint32_t val_id, std::uint32_t type_id) {
        return append(false, val_id, type_id);
    }
    // Room for `n` nodes in all.
    void reserve(std::uint64_t n);

    // Both ends are checked, and every list that the link goes into has room for it,
    // before anything changes: a call that fails (an out-of-range id, std::bad_alloc)
    // leaves the graph as it was.  Links between nodes of their usual kinds stay in the
    // nodes; the others take the out-of-line path through the side table.
    void connect_op_to_value(NodeId op, NodeId val) {
        check(op);
        check(val);
        Node& o = nodes_[op];
        Node& v = nodes_[val];
        if (o.is_op() && !v.is_op()) [[likely]] {
            const ListRef children = o.own(Field::Children);
            const ListRef parents = v.own(Field::Parents);
            if (const std::uint64_t need = children.room_for_one() + parents.room_for_one())
                arena_.reserve(need);
            parents.push(arena_, Idx(op));
            children.push(arena_, Idx(val));
            return;
        }
        connect_op_to_value_any(op, val);
    }
    void connect_value_to_op(NodeId val, NodeId op) {
        check(val);
        check(op);
        Node& v = nodes_[val];
        Node& o = nodes_[op];
        if (!v.is_op() && o.is_op()) [[likely]] {
            v.own(Field::Options).push(arena_, Idx(op));
            o.own_parent() = Idx(val);
            return;
        }
        connect_value_to_op_any(val, op);
    }

    // What one mutation will add to a node: entries appended to each list, and whether
    // it sets the parent.
    struct Growth {
        NodeId id;
        std::uint64_t parents = 0;
        std::uint64_t options = 0;
        std::uint64_t children = 0;
        bool parent = false;

        std::uint64_t count(Field f) const {
            return f == Field::Parents ? parents : f == Field::Options ? options : children;
        }
        static Growth of(NodeId id, Field f, std::uint64_t n) {
            Growth w{id};
            (f == Field::Parents ? w.parents : f == Field::Options ? w.options : w.children) = n;
            return w;
        }
    };
    // Takes every block that the growths need (arena room, side records and their
    // lists) before a mutation changes anything; each node may be named once.  It either
    // throws std::bad_alloc with every link as it was, or guarantees that the edits the
    // growths describe (push, set_parent) cannot fail.  Ids must be valid.  Taking arena
    // room may move the arena: spans of lists read before it are stale.
    void make_room(std::span<const Growth> growths);
    void make_room(std::initializer_list<Growth> growths) {
        make_room(std::span<const Growth>(growths.begin(), growths.size()));
    }

    // ---- raw field edits (ids must be valid; no checks) ----
    // Each edit either succeeds or throws std::bad_alloc with the graph as it was; a
    // mutation that makes several takes room for all of them first (make_room).
    void push(NodeId id, Field f, Idx v);
    void clear(NodeId id, Field f);
    // `v` must not point into this graph.
    void assign(NodeId id, Field f, std::span<const Idx> v);
    std::span<Idx> list_mut(NodeId id, Field f);
    void set_parent(NodeId id, Idx v);  // kNone clears it

    // Appends a copy of node `id` of `src` with every stored link rewritten through
    // `map` (old id -> new id; every stored id must have an entry).  The fast path of
    // the copy operations.
    NodeId append_mapped(const Graph& src, NodeId id, const Idx* map) {
        const Node& s = src.nodes_[id];
        if (size_ == cap_ || !s.links_in_node()) [[unlikely]]
            return append_mapped_any(src, id, map);
        new (nodes_ + size_) Node(s.mapped(map));
        return size_++;
    }

    // Checks the storage of the lists: every block of the arena is held by exactly one
    // list of the right size class or is free on exactly one free list, and together they
    // fill the arena (see Arena::audit).  Returns the first problem found, or an empty
    // string.  Linear in the graph and allocating: only the tests call it.
    std::string check_integrity() const;

    // Appends a node with the same kind and payload as node `id` of `src`, no links.
    NodeId append_like(const Graph& src, NodeId id) {
        const Node& n = src.nodes_[id];
        return append(n.is_op(), n.payload(), n.type_id());
    }

private:
    friend struct GraphTestAccess;  // the native tests reach the raw storage through it

    Node* nodes_ = nullptr;
    std::uint64_t size_ = 0;
    std::uint64_t cap_ = 0;
    Arena arena_;
    SideTable side_;

    // Gives node `id` its side record; side_ must have room.
    void attach_side(NodeId id, SideRecord&& rec) {
        side_.attach(id, std::move(rec));
        nodes_[id].set_side();
    }
    // append_mapped for a node with lists in the arena or a side record, or when the
    // node array is full.
    NodeId append_mapped_any(const Graph& src, NodeId id, const Idx* map);
    void connect_op_to_value_any(NodeId op, NodeId val);
    void connect_value_to_op_any(NodeId val, NodeId op);
    void grow();
    NodeId append(bool op, std::uint32_t payload, std::uint32_t type_id) {
        if (size_ == cap_) grow();
        new (nodes_ + size_) Node(op, payload, type_id);
        return size_++;
    }
};

}  // namespace quill
