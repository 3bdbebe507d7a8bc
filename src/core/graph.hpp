// The graph record: a dense, append-only list of op and value nodes and a root id.
//
// Node ids are handed out densely from 0 and never reused.  Ids are unsigned 64-bit
// values at the interface, but every id stored inside a node is smaller than the node
// count at the time it was stored, and the node count is capped below 2^32 - 1, so the
// links are stored as 32-bit indices (`Idx`).  A node is six 32-bit words, 24 bytes:
//
//   word  value node                                op node
//   0     parents size; bit 31 clear (is_op)        children size; bit 31 set (is_op)
//   1     its one parent, or an arena offset        first child, or an arena offset
//   2     options size; bit 31: has a side record   second child (0 while unused)
//   3     its one option, or an arena offset        parent (kNone if absent)
//   4     val_id                                    op_id
//   5     type_id                                   has a side record (0 or 1)
//
// The primary list is a value node's parents and an op node's children.  A list's
// entries stay in the node while they fit: one entry for a value's lists, two for an
// op's children (the words after the size word).  A longer list lives in the graph's
// arena: one growable array of Idx addressed by 32-bit offsets, cut into blocks of
// power-of-two sizes.  A list's block size is not stored; it follows from the list's size
// (the next power of two), so a list is only its size and one word.  Freed blocks are
// split and merged by the arena (see class Arena) and handed out again before the arena
// grows, so its size follows the lists held, not their history.  Sizes
// are 31-bit (kMaxListSize) and offsets 32-bit (kMaxArena entries): growing past either
// throws std::bad_alloc before any change.  A list that shrinks back to what its node
// holds returns to the node, so where a list lives follows from its size alone.
//
// The node array and the arena grow by doubling with realloc; only the pages written to
// become resident.  On the standard tree (each value has one parent and one option,
// each op two children and one parent) every node keeps all its links in its own 24
// bytes and the arena stays empty.
//
// The model allows any node to hold all four link fields (the connect operations do not
// check kinds), so the fields that do not belong to a node's kind (an op node's parents
// and options, a value node's parent and children) live in a side record that is only
// created when a caller actually fills one of them.  Side records are found through a
// small open-addressing table keyed by node id, looked at only for nodes whose flag says
// they have one.  Node::owns and Node::owns_parent say which field lives where;
// everything else reads and edits fields through them.
#pragma once

#include <algorithm>
#include <bit>
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
// When set, the list arena grows by exactly what it is asked for, so that nearly every
// block a mutation takes is a new allocation that a test can make fail.
extern bool tight_arena;
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

// Most entries one list can hold: its size is a 31-bit count (the top bit of the word
// holds a flag of the node).
inline constexpr std::uint64_t kMaxListSize = 0x7FFFFFFFull;

// Most entries the arena can hold: its offsets are 32-bit.
inline constexpr std::uint64_t kMaxArena = 0x100000000ull;

// The size class of a list of `size` entries whose node holds `cap` of them: 0 while the
// list is kept in the node, else k for a block of 2^k entries, the smallest power of two
// that holds it.
inline unsigned size_class(std::uint64_t size, std::uint64_t cap = 1) {
    return size <= cap ? 0u : unsigned(std::bit_width(size - 1));
}

// The arena of a graph's list blocks: one growable array of Idx cut into blocks of
// power-of-two sizes, with a free list per size class and lazy merging of free neighbours.
//
// Layout.  Entries [0, kHeads) of the array are the heads of the free lists (entry k for
// class k = 1..31; entry 0 is unused, and offset 0 means "none").  The blocks follow from
// kHeads up to used(), one after the other; past used() is spare capacity.  A block of
// class k holds 2^k entries.  Every entry in [kHeads, used()) lies in exactly one block,
// either held by one list or free; nothing is ever lost in between.
//
// A free block is on the free list of its class, linked through its own entries:
//   entry 0: the next free block of the class (0: the last)
//   entry 1: its class
// A mask of the non-empty free lists finds the smallest free block that fits at once.
//
// Policy.  Taking a block of class k: from its free list; else by splitting the smallest
// larger free block (its upper halves go onto the free lists); else, when enough has
// been freed since the last time, after merging the free blocks (below) and trying again;
// else from the end.  Giving a block back puts it on its free list, or cuts it off the
// end when it ends at used().  Doubling a block that ends the arena grows it in place
// when no free block could take it; else the list moves to a block of the next class and
// hands its old one back.
//
// Merging is lazy.  Freeing and taking small blocks is what building a graph does all
// the time, and merging each freed block with its neighbours at once would only have the
// next list of its class split them again; finding a free neighbour at once would also
// need a second link and a map of the free blocks, kept up on every take and give.
// Instead, before the array would grow for a block that the free entries could hold, and
// once the entries freed since the last merge reach an eighth of the arena, one pass
// marks every free block in a bitmap (one bit per two entries), goes through them in
// address order and cuts each run of free neighbours anew into the fewest blocks, largest
// first (a run at the end is cut off it).  The bitmap lives in the spare capacity past
// used(), so merging allocates nothing; the pass is skipped while that is too little
// (within the last 64th of the capacity, until the array doubles).  Its cost, linear in
// the arena's size divided by 64 plus the free blocks, is paid for by those frees.  Memory therefore
// follows the lists that are held, not the history of their changes: freed storage of any
// class is split or merged into what later lists need before the array grows.
//
// Growing the array either succeeds or throws std::bad_alloc with the arena as it was;
// giving back never fails, and neither does taking while reserved room lasts.
class Arena {
public:
    static constexpr std::uint64_t kHeads = 32;  // a head for each class k = 1..31

    Arena() = default;
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    Arena(Arena&& o) noexcept
        : data_(o.data_), used_(o.used_), cap_(o.cap_), free_(o.free_), freed_(o.freed_),
          avail_(o.avail_) {
        o.forget();
    }
    Arena& operator=(Arena&& o) noexcept {
        if (this != &o) {
            block_free(data_);
            data_ = o.data_;
            used_ = o.used_;
            cap_ = o.cap_;
            free_ = o.free_;
            freed_ = o.freed_;
            avail_ = o.avail_;
            o.forget();
        }
        return *this;
    }
    ~Arena() { block_free(data_); }

    Idx* data() { return data_; }
    const Idx* data() const { return data_; }
    std::uint64_t used() const { return used_; }
    std::uint64_t capacity() const { return cap_; }

    // Room for `extra` more entries at the end, so that taking and doubling blocks of
    // that many new entries in all cannot fail.
    void reserve(std::uint64_t extra) {
        if (extra > cap_ - used_) grow(extra);
    }
    // A block of 2^k entries; its contents are unspecified.
    Idx take_block(unsigned k) {
        if (avail_ >> k & 1u) return pop_free(k);
        return take_other(k);
    }
    // Hands a block of 2^k entries back; never fails.
    void give_block(Idx off, unsigned k) {
        if (off + size_of(k) == used_) {
            used_ = off;
            return;
        }
        push_free(off, k);
        freed_ += size_of(k);
    }
    // Doubles the block of 2^k entries at `off` and returns where it now is, its first
    // 2^k entries kept.
    Idx double_block(Idx off, unsigned k) {
        const std::uint64_t n = size_of(k);
        if (off + n == used_ && (avail_ >> (k + 1)) == 0) {
            room(n);
            used_ += n;
            return off;
        }
        return move_block(off, k);
    }
    // Keeps the first 2^to entries of the block of 2^from entries at `off` and hands the
    // rest back in blocks of their own; never fails.
    void shrink_block(Idx off, unsigned from, unsigned to) {
        for (unsigned j = from; j-- > to;) give_block(Idx(off + (std::uint64_t(1) << j)), j);
    }

    // A block as the integrity check sees it.
    struct Block {
        std::uint64_t off;
        unsigned k;
        bool free;
        std::uint64_t owner;  // for a held block: the caller's tag (node id); else unused
    };
    // Checks the arena against the blocks the lists hold (`held`, each with k >= 1):
    // together with the free lists they must tile [kHeads, used()) exactly; every free
    // block must be on the free list of its class once, with its class recorded, and the
    // count of free entries and the mask of non-empty lists must match.  Returns the
    // first problem found, or an empty string.  For tests; allocates.
    std::string audit(std::vector<Block> held) const;

private:
    friend struct GraphTestAccess;

    Idx* data_ = nullptr;
    std::uint64_t used_ = 0;   // kHeads once the array exists
    std::uint64_t cap_ = 0;
    std::uint64_t free_ = 0;   // entries in free blocks
    std::uint64_t freed_ = 0;  // entries handed back since the last merging pass
    std::uint32_t avail_ = 0;  // bit k: the free list of class k is not empty

    void forget() {
        data_ = nullptr;
        used_ = cap_ = free_ = freed_ = 0;
        avail_ = 0;
    }
    static constexpr std::uint64_t size_of(unsigned k) { return std::uint64_t(1) << k; }
    void push_free(std::uint64_t off, unsigned k) {
        data_[off] = data_[k];
        data_[off + 1] = k;
        data_[k] = Idx(off);
        avail_ |= 1u << k;
        free_ += size_of(k);
    }
    Idx pop_free(unsigned k) {
        const Idx off = data_[k];
        data_[k] = data_[off];
        if (!data_[k]) avail_ &= ~(1u << k);
        free_ -= size_of(k);
        return off;
    }
    // take_block when the free list of class k is empty: a split, a merge or the end.
    Idx take_other(unsigned k);
    // Takes the smallest free block larger than 2^k and splits it down to 2^k; false
    // when there is none.
    bool split_for(unsigned k, Idx& out);
    // Cuts every run of free neighbours anew into the fewest blocks; false when the spare
    // capacity cannot hold its bitmap (nothing is changed then).
    bool merge_free();
    // Puts the free run [from, to) onto the free lists as the fewest blocks.
    void free_run(std::uint64_t from, std::uint64_t to);
    // double_block for a block that has to move.
    Idx move_block(Idx off, unsigned k) {
        const Idx to = take_block(k + 1);
        std::memcpy(data_ + to, data_ + off, size_of(k) * sizeof(Idx));
        give_block(off, k);
        return to;
    }
    // Makes sure that `exact` more entries fit past used(); grows the array if not.
    void room(std::uint64_t exact) { reserve(exact); }
    // Grows the array so that `extra` more entries fit past used().
    void grow(std::uint64_t extra);
};

// The three list fields of a node.
enum class Field : std::uint8_t { Parents, Options, Children };
inline constexpr Field kFields[] = {Field::Parents, Field::Options, Field::Children};

// The fields that do not belong to a node's kind (an op node's parents and options, a
// value node's children and parent); rare, so they sit in a side table.
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

// A list kept by a node: its size word (the size, with a flag of the node in the top
// bit) and the words after it, which hold the entries while at most `cap` of them fit
// and else the arena offset of its block.
struct ListRef {
    static constexpr std::uint32_t kFlag = 0x80000000u;
    std::uint32_t* word;
    std::uint32_t cap;  // 2 for an op's children, 1 for a value's lists

    std::uint32_t size() const { return *word & ~kFlag; }
    void set_size(std::uint32_t s) { *word = (*word & kFlag) | s; }
    Idx* in_node() const { return word + 1; }
    Idx& offset() const { return word[1]; }
};

struct Node {
    static constexpr std::uint32_t kFlag = ListRef::kFlag;
    // The words by their use; see the table at the top of this file.
    enum : unsigned { kPrimary = 0, kOptions = 2, kParent = 3, kPayload = 4, kType = 5 };
    std::uint32_t w[6];

    Node(bool op, std::uint32_t a, std::uint32_t b)
        : w{op ? kFlag : 0u, 0u, 0u, op ? kNone : 0u, a, op ? 0u : b} {}

    bool is_op() const { return (w[kPrimary] & kFlag) != 0; }
    bool has_side() const { return is_op() ? w[kType] != 0 : (w[kOptions] & kFlag) != 0; }
    void set_side() {
        if (is_op())
            w[kType] = 1;
        else
            w[kOptions] |= kFlag;
    }
    std::uint32_t payload() const { return w[kPayload]; }
    // The type id of a value node, 0 on an op node (whose word 5 is its side flag).
    std::uint32_t type_id() const {
        return w[kType] & ~std::uint32_t(std::int32_t(w[kPrimary]) >> 31);
    }

    // Where the node keeps its links; the one place that knows which fields belong to
    // which kind.  A field the node owns lives in the node (a value's parents and
    // options, an op's children and parent); the others live in the side record.
    bool owns(Field f) const { return is_op() ? f == Field::Children : f != Field::Children; }
    bool owns_parent() const { return is_op(); }
    // The node's storage of list `f`, or of its parent; the node must own the field.
    // Options: word 2, else word 0; children: two entries in the node, else one.  Worked
    // out by arithmetic on the field's number, as lists are often read by a field that is
    // only known at run time.
    static unsigned word_of(Field f) { return (unsigned(f) & 1u) << 1; }
    static std::uint32_t cap_of(Field f) { return 1u + (unsigned(f) >> 1); }
    ListRef own(Field f) { return {w + word_of(f), cap_of(f)}; }
    std::uint32_t own_size(Field f) const { return w[word_of(f)] & ~kFlag; }
    // This node with every link that it keeps in its own words rewritten through `map`;
    // the offsets of lists in the arena are left as they are, for the caller to replace.
    Node mapped(const Idx* map) const {
        Node d = *this;
        const std::uint32_t np = w[kPrimary] & ~kFlag;
        if (is_op()) {
            if (np == 1 || np == 2) d.w[1] = map[w[1]];
            if (np == 2) d.w[2] = map[w[2]];
            if (w[kParent] != kNone) d.w[kParent] = map[w[kParent]];
        } else {
            if (np == 1) d.w[1] = map[w[1]];
            if ((w[kOptions] & ~kFlag) == 1) d.w[3] = map[w[3]];
        }
        return d;
    }
    // True when the node has no side record and keeps every entry of its lists itself.
    bool links_in_node() const {
        const std::uint32_t np = w[kPrimary] & ~kFlag;
        return is_op() ? np <= 2 && w[kType] == 0 : np <= 1 && w[kOptions] <= 1;
    }
    Idx& own_parent() { return w[kParent]; }
    Idx own_parent() const { return w[kParent]; }
};
static_assert(sizeof(Node) == 24, "Node should stay at 24 bytes");

class Graph {
public:
    std::uint64_t root_id = 0;

    Graph() = default;
    Graph(const Graph&) = delete;
    Graph& operator=(const Graph&) = delete;
    Graph(Graph&& o) noexcept
        : root_id(o.root_id), nodes_(o.nodes_), size_(o.size_), cap_(o.cap_),
          arena_(std::move(o.arena_)), side_(std::move(o.side_)),
          side_slots_(std::move(o.side_slots_)) {
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
            side_slots_ = std::move(o.side_slots_);
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
        if (n.owns(f)) return view(n, f);
        if (!n.has_side()) return {};
        const std::vector<Idx>& v = side_of(id).list(f);
        return {v.data(), v.size()};
    }
    std::span<const Idx> parents(NodeId id) const { return list(id, Field::Parents); }
    std::span<const Idx> options(NodeId id) const { return list(id, Field::Options); }
    std::span<const Idx> children(NodeId id) const { return list(id, Field::Children); }
    // The stored parent index, or kNone when absent.
    Idx parent(NodeId id) const {
        const Node& n = nodes_[id];
        if (n.owns_parent()) return n.own_parent();
        return n.has_side() ? side_of(id).parent : kNone;
    }
    // The links of a node that keeps them all itself (see Node::links_in_node): the
    // lead link (a value's option, an op's parent) when `has_lead`, then the primary list
    // (a value's parents, an op's children), `primary_size` entries of `primary`; that is
    // the order options, parents, parent, children.  Entries past the sizes are
    // unspecified.
    struct OwnLinks {
        Idx lead;
        Idx primary[2];
        int has_lead;
        int primary_size;
        int count() const { return has_lead + primary_size; }
    };
    // Fills `out` and returns true for such a node; false for any other.  Branch-free
    // apart from that rare case, so that a walk whose node kinds follow no fixed pattern
    // does not pay a mispredicted branch per node.  The two kinds line up: a value keeps
    // its option in word 3 and its one parent in word 1, an op its parent in word 3 and
    // its children in words 1 and 2.
    bool own_links(NodeId id, OwnLinks& out) const {
        const Node& n = nodes_[id];
        if (!n.links_in_node()) [[unlikely]]
            return false;
        out.lead = n.w[3];
        out.primary[0] = n.w[1];
        out.primary[1] = n.w[2];
        out.has_lead = n.is_op() ? n.w[Node::kParent] != kNone : n.w[Node::kOptions] != 0;
        out.primary_size = int(n.w[Node::kPrimary] & ~Node::kFlag);
        return true;
    }
    // Downward links of a node by its kind: options of a value, children of an op.
    std::span<const Idx> downward(NodeId id) const {
        const Node& n = nodes_[id];
        return n.is_op() ? view(n, Field::Children) : view(n, Field::Options);
    }

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
            if (const std::uint64_t need = room_for_one(children) + room_for_one(parents))
                arena_.reserve(need);
            push_list(parents, Idx(op));
            push_list(children, Idx(val));
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
            push_list(v.own(Field::Options), Idx(op));
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

    // Slot of the side table: a node id (kNone when free) and its record's index.
    struct SideSlot {
        Idx node;
        Idx record;
    };

    Node* nodes_ = nullptr;
    std::uint64_t size_ = 0;
    std::uint64_t cap_ = 0;
    Arena arena_;
    std::vector<SideRecord> side_;
    std::vector<SideSlot> side_slots_;  // open addressing, a power of two, at most half full

    // The entries of list `f`, which node `n` owns.
    std::span<const Idx> view(const Node& n, Field f) const {
        const std::uint32_t* word = n.w + Node::word_of(f);
        const std::uint32_t s = *word & ~Node::kFlag;
        return {s <= Node::cap_of(f) ? word + 1 : arena_.data() + word[1], s};
    }
    std::span<Idx> view_mut(ListRef h) {
        const std::uint32_t s = h.size();
        return {s <= h.cap ? h.in_node() : arena_.data() + h.offset(), s};
    }
    // Arena entries that pushing one entry onto `h` may take; throws std::bad_alloc when
    // the list is full.
    static std::uint64_t room_for_one(ListRef h) {
        const std::uint32_t s = h.size();
        if (s >= kMaxListSize) throw std::bad_alloc();
        if (s < h.cap) return 0;
        if (s == h.cap) return std::bit_ceil(std::uint64_t(s) + 1);  // leaves the node
        return (s & (s - 1)) == 0 ? std::uint64_t(2) * s : 0;
    }
    // Appends `v`; either succeeds or throws std::bad_alloc with the list as it was.
    void push_list(ListRef h, Idx v) {
        const std::uint32_t s = h.size();
        if (s >= kMaxListSize) throw std::bad_alloc();
        if (s < h.cap) {
            h.in_node()[s] = v;
        } else if (s == h.cap) {
            // The entries leave the node for a block with room for one more.
            const Idx off = arena_.take_block(size_class(s + 1, h.cap));
            Idx* to = arena_.data() + off;
            to[0] = h.in_node()[0];
            if (s == 2) {
                to[1] = h.in_node()[1];
                h.in_node()[1] = 0;
            }
            to[s] = v;
            h.offset() = off;
        } else {
            if ((s & (s - 1)) == 0) h.offset() = arena_.double_block(h.offset(), size_class(s, h.cap));
            arena_.data()[h.offset() + s] = v;
        }
        h.set_size(s + 1);
    }
    void clear_list(ListRef h) {
        if (h.size() > h.cap) arena_.give_block(h.offset(), size_class(h.size(), h.cap));
        h.set_size(0);
        h.in_node()[0] = 0;
        if (h.cap == 2) h.in_node()[1] = 0;
    }
    void assign_list(ListRef h, std::span<const Idx> v);

    // The side record of node `id`, which must have one.
    std::uint32_t side_index(NodeId id) const;
    SideRecord& side_of(NodeId id) { return side_[side_index(id)]; }
    const SideRecord& side_of(NodeId id) const { return side_[side_index(id)]; }
    // Adds a side record to the table and ties node `id` to it; the table must have room.
    void attach_side(NodeId id, SideRecord&& rec);
    void reserve_side(std::uint64_t more);
    // append_mapped for a node with lists in the arena or a side record, or when the
    // node array is full.
    NodeId append_mapped_any(const Graph& src, NodeId id, const Idx* map);
    void connect_op_to_value_any(NodeId op, NodeId val);
    void connect_value_to_op_any(NodeId val, NodeId op);
    void grow();
    NodeId append(bool op, std::uint32_t a, std::uint32_t b) {
        if (size_ == cap_) grow();
        new (nodes_ + size_) Node(op, a, b);
        return size_++;
    }
};

}  // namespace quill
