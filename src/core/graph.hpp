// The graph record: a dense, append-only list of op and value nodes and a root id.
//
// Node ids are handed out densely from 0 and never reused.  Ids are unsigned 64-bit
// values at the interface, but every id stored inside a node is smaller than the node
// count at the time it was stored, and the node count is capped below 2^32 - 1, so the
// links are stored as 32-bit indices (`Idx`).  That keeps a node at 48 bytes:
//
//   primary list   value node: parents     op node: children
//   secondary      value node: options     op node: parent (one index, kNone if absent)
//   payload        value node: val_id, type_id   op node: op_id
//   meta           is_op flag and the index of an optional side record
//
// The model allows any node to hold all four link fields (the connect operations do not
// check kinds), so the fields that do not belong to a node's kind (an op node's parents
// and options, a value node's parent and children) live in a side record that is only
// created when a caller actually fills one of them.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "error.hpp"

namespace quill {

#ifdef QUILL_FAULT_INJECTION
// Only in the build of the native tests: lets a test make one allocation fail.
namespace fault {
// When armed with n > 0, the n-th allocation from now fails; the count then stays at 0.
// The test binary counts its `operator new` calls here too.
extern std::uint64_t countdown;
// When set, every resize of a raw block moves it, so that a pointer kept across a
// growth is caught.
extern bool always_move;
// Counts one allocation; true when it is the one that fails.
inline bool tick() { return countdown != 0 && --countdown == 0; }
void* moving_resize(void* p, std::size_t bytes);
}  // namespace fault
#endif

// The raw blocks of the record (the node array and the list blocks) are taken, resized
// and freed through this pair only.  realloc(nullptr, n) allocates.
inline void* block_resize(void* p, std::size_t bytes) {
#ifdef QUILL_FAULT_INJECTION
    if (fault::tick()) return nullptr;
    if (fault::always_move) return fault::moving_resize(p, bytes);
#endif
    return std::realloc(p, bytes);
}
inline void block_free(void* p) { std::free(p); }

using NodeId = std::uint64_t;
using Idx = std::uint32_t;
inline constexpr Idx kNone = 0xFFFFFFFFu;
// Largest node count a graph may reach; kNone stays free as the "absent" marker.
inline constexpr std::uint64_t kMaxNodes = 0xFFFFFFFEull;

// Most entries one list can hold: its size is a 32-bit count.
inline constexpr std::uint64_t kMaxListSize = 0xFFFFFFFFull;

// A growable list of indices with room for two entries inside the record itself.  It is
// plain data: the owner (Node, Graph) decides when its heap block is released, which lets
// node arrays be moved with realloc.  Growing either succeeds or throws std::bad_alloc
// with the list as it was, also when the list would pass kMaxListSize entries.
struct IdxList {
    Idx size = 0;
    Idx cap = 2;
    union {
        Idx inl[2];
        Idx* heap;
    };

    IdxList() : inl{0, 0} {}

    bool on_heap() const { return cap > 2; }
    const Idx* data() const { return on_heap() ? heap : inl; }
    Idx* data() { return on_heap() ? heap : inl; }
    std::span<const Idx> view() const { return {data(), size}; }
    std::span<Idx> view_mut() { return {data(), size}; }

    void release() {
        if (on_heap()) block_free(heap);
        size = 0;
        cap = 2;
    }
    // Room for `want` entries in all.
    void reserve(std::uint64_t want) {
        if (want > cap) grow(want);
    }
    // Room for `extra` entries beyond the current ones.
    void reserve_more(std::uint64_t extra) { reserve(std::uint64_t(size) + extra); }
    void push(Idx v) {
        if (size == cap) grow(std::uint64_t(size) + 1);
        data()[size++] = v;
    }
    void assign(std::span<const Idx> src) {
        Idx* out = src.size() > cap ? grow(src.size()) : data();
        if (!src.empty()) std::memcpy(out, src.data(), src.size() * sizeof(Idx));
        size = Idx(src.size());
    }
    void clear() { size = 0; }

    // Moves the entries to a block with room for at least `want` (> cap) entries and
    // returns it.
    Idx* grow(std::uint64_t want);
};

// The fields that do not belong to a node's kind; rare, so they sit in a side table.
struct OffKind {
    std::vector<Idx> list_a;  // op node: parents   value node: children
    std::vector<Idx> list_b;  // op node: options   value node: unused
    Idx parent = kNone;       // value node: parent
};

struct Node {
    IdxList primary;  // value: parents, op: children
    union {
        IdxList options;  // value node
        Idx parent;       // op node
    };
    std::uint32_t pay_a;  // op_id or val_id
    std::uint32_t pay_b;  // type_id (value nodes)
    std::uint32_t meta;   // bit 31: is_op; low 31 bits: side record index + 1, 0 if none

    Node(bool op, std::uint32_t a, std::uint32_t b)
        : primary(), pay_a(a), pay_b(b), meta(op ? 0x80000000u : 0u) {
        if (op)
            parent = kNone;
        else
            new (&options) IdxList();
    }

    bool is_op() const { return (meta >> 31) != 0; }
    std::uint32_t side() const { return meta & 0x7FFFFFFFu; }
};
static_assert(sizeof(Node) == 48, "Node should stay at 48 bytes");

class Graph {
public:
    std::uint64_t root_id = 0;

    Graph() = default;
    Graph(const Graph&) = delete;
    Graph& operator=(const Graph&) = delete;
    Graph(Graph&& o) noexcept
        : root_id(o.root_id), nodes_(o.nodes_), size_(o.size_), cap_(o.cap_),
          side_(std::move(o.side_)) {
        o.nodes_ = nullptr;
        o.size_ = o.cap_ = 0;
        o.root_id = 0;
    }
    Graph& operator=(Graph&& o) noexcept {
        if (this != &o) {
            destroy();
            root_id = o.root_id;
            nodes_ = o.nodes_;
            size_ = o.size_;
            cap_ = o.cap_;
            side_ = std::move(o.side_);
            o.nodes_ = nullptr;
            o.size_ = o.cap_ = 0;
            o.root_id = 0;
        }
        return *this;
    }
    ~Graph() { destroy(); }

    // ---- size and checks ----
    std::uint64_t size() const { return size_; }
    bool valid(std::uint64_t id) const { return id < size_; }
    // Fails with the out-of-range message unless `id` names a node.
    void check(std::uint64_t id) const {
        if (id >= size_) out_of_range(size_, id);
    }

    // ---- reading (ids must be valid) ----
    bool is_op(NodeId id) const { return nodes_[id].is_op(); }
    std::uint32_t op_id(NodeId id) const { return nodes_[id].pay_a; }
    std::uint32_t val_id(NodeId id) const { return nodes_[id].pay_a; }
    std::uint32_t type_id(NodeId id) const { return nodes_[id].pay_b; }
    // The payload id: op_id of an op node, val_id of a value node.
    std::uint32_t payload_id(NodeId id) const { return nodes_[id].pay_a; }

    std::span<const Idx> parents(NodeId id) const {
        const Node& n = nodes_[id];
        if (!n.is_op()) return n.primary.view();
        return side_list(n, &OffKind::list_a);
    }
    std::span<const Idx> options(NodeId id) const {
        const Node& n = nodes_[id];
        if (!n.is_op()) return n.options.view();
        return side_list(n, &OffKind::list_b);
    }
    std::span<const Idx> children(NodeId id) const {
        const Node& n = nodes_[id];
        if (n.is_op()) return n.primary.view();
        return side_list(n, &OffKind::list_a);
    }
    // The stored parent index, or kNone when absent.
    Idx parent(NodeId id) const {
        const Node& n = nodes_[id];
        if (n.is_op()) return n.parent;
        return n.side() ? side_[n.side() - 1].parent : kNone;
    }
    // Downward links of a node by its kind: options of a value, children of an op.
    std::span<const Idx> downward(NodeId id) const {
        return nodes_[id].is_op() ? children(id) : options(id);
    }

    // ---- growing ----
    NodeId add_op(std::uint32_t op_id) { return append(true, op_id, 0); }
    NodeId add_value(std::uint32_t val_id, std::uint32_t type_id) {
        return append(false, val_id, type_id);
    }
    void reserve(std::uint64_t n);

    // Both ends are checked, and every list that the link goes into has room for it,
    // before anything changes: a call that fails (an out-of-range id, std::bad_alloc)
    // leaves the graph as it was.  Links between nodes of their usual kinds stay in the
    // node; the others take the out-of-line path through the side table.
    void connect_op_to_value(NodeId op, NodeId val) {
        check(op);
        check(val);
        Node& o = nodes_[op];
        Node& v = nodes_[val];
        if (o.is_op() && !v.is_op()) [[likely]] {
            o.primary.reserve_more(1);
            v.primary.push(Idx(op));
            o.primary.push(Idx(val));
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
            v.options.push(Idx(op));
            o.parent = Idx(val);
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
    };
    // Takes every block that the growths need (list blocks, side records and their
    // lists) before a mutation changes anything; each node may be named once.  It either
    // throws std::bad_alloc with every link as it was, or guarantees that the edits the
    // growths describe (push_*, set_parent) cannot fail.  Ids must be valid.
    void make_room(std::span<const Growth> growths);
    void make_room(std::initializer_list<Growth> growths) {
        make_room(std::span<const Growth>(growths.begin(), growths.size()));
    }

    // ---- raw field edits (ids must be valid; no checks) ----
    // Each edit either succeeds or throws std::bad_alloc with the graph as it was; a
    // mutation that makes several takes room for all of them first (make_room).
    void push_parent(NodeId id, Idx v);
    void push_option(NodeId id, Idx v);
    void push_child(NodeId id, Idx v);
    void set_parent(NodeId id, Idx v);  // kNone clears it
    void clear_parents(NodeId id);
    void clear_options(NodeId id);
    std::span<Idx> children_mut(NodeId id);
    void assign_parents(NodeId id, std::span<const Idx> v);
    void assign_options(NodeId id, std::span<const Idx> v);
    void assign_children(NodeId id, std::span<const Idx> v);

    // Appends a copy of node `id` of `src` with every stored link rewritten through
    // `map` (old id -> new id; every stored id must have an entry).  The fast path of
    // the copy operations.
    NodeId append_mapped(const Graph& src, NodeId id, const Idx* map);

    // Appends a node with the same kind and payload as node `id` of `src`, no links.
    NodeId append_like(const Graph& src, NodeId id) {
        const Node& n = src.nodes_[id];
        return append(n.is_op(), n.pay_a, n.pay_b);
    }

private:
    friend struct GraphTestAccess;  // the native tests reach the raw storage through it

    Node* nodes_ = nullptr;
    std::uint64_t size_ = 0;
    std::uint64_t cap_ = 0;
    std::vector<OffKind> side_;

    std::span<const Idx> side_list(const Node& n, std::vector<Idx> OffKind::*field) const {
        if (!n.side()) return {};
        const std::vector<Idx>& v = side_[n.side() - 1].*field;
        return {v.data(), v.size()};
    }
    OffKind& side_of(const Node& n) { return side_[n.side() - 1]; }
    const OffKind& side_of(const Node& n) const { return side_[n.side() - 1]; }
    void connect_op_to_value_any(NodeId op, NodeId val);
    void connect_value_to_op_any(NodeId val, NodeId op);
    void grow();
    NodeId append(bool op, std::uint32_t a, std::uint32_t b) {
        if (size_ == cap_) grow();
        new (nodes_ + size_) Node(op, a, b);
        return size_++;
    }
    void destroy();
};

}  // namespace quill
