// A node of the graph record, and the lists it keeps: the one place that knows what each
// of a node's six words holds.  The record (graph.hpp) reads and edits nodes only
// through the names here.
//
// Node ids are handed out densely from 0 and never reused.  Ids are unsigned 64-bit
// values at the interface, but every id stored inside a node is smaller than the node
// count at the time it was stored, and the node count is capped below 2^32 - 1, so the
// links are stored as 32-bit indices (`Idx`).  A node is six 32-bit words, 24 bytes;
// their meaning depends on the kind, so each kind names them itself (ValueWord, OpWord):
//
//   word  value node (ValueWord)                    op node (OpWord)
//   0     ParentsSize; bit 31 clear (is_op)         ChildrenSize; bit 31 set (is_op)
//   1     ParentsData: its one parent, or an        ChildrenData: first child, or an
//         arena offset                              arena offset
//   2     OptionsSize; bit 31: has a side record    SecondChild (0 while unused)
//   3     OptionsData: its one option, or an        Parent (kNone if absent)
//         arena offset
//   4     ValId                                     OpId
//   5     TypeId                                    SideFlag: has a side record (0 or 1)
//
// The primary list is a value node's parents and an op node's children; both start at
// word 0, with the kind bit in the top bit of their size.  A list's entries stay in the
// node while they fit: one entry for a value's lists, two for an op's children (the
// words after the size word).  A longer list lives in the graph's arena (arena.hpp): a
// block of a power-of-two size addressed by a 32-bit offset.  A list's block size is not
// stored; it follows from the list's size (the next power of two, see size_class), so a
// list is only its size and one word.  Sizes are 31-bit (kMaxListSize) and offsets
// 32-bit (kMaxArena entries): growing past either throws std::bad_alloc before any
// change.  A list that shrinks back to what its node holds returns to the node, so where
// a list lives follows from its size alone.
//
// On the standard tree (each value has one parent and one option, each op two children
// and one parent) every node keeps all its links in its own 24 bytes and the arena stays
// empty.
//
// The model allows any node to hold all four link fields (the connect operations do not
// check kinds), so the fields that do not belong to a node's kind (an op node's parents
// and options, a value node's parent and children) live in a side record
// (side_table.hpp) that is only created when a caller actually fills one of them; the
// node's side flag says whether it has one.  Node::owns and Node::owns_parent say which
// field lives where; everything else reads and edits fields through them.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <new>
#include <span>

#include "arena.hpp"

namespace quill {

using NodeId = std::uint64_t;
inline constexpr Idx kNone = 0xFFFFFFFFu;
// Largest node count a graph may reach; kNone stays free as the "absent" marker.
inline constexpr std::uint64_t kMaxNodes = 0xFFFFFFFEull;

// Most entries one list can hold: its size is a 31-bit count (the top bit of the word
// holds a flag of the node).
inline constexpr std::uint64_t kMaxListSize = 0x7FFFFFFFull;

// The three list fields of a node.
enum class Field : std::uint8_t { Parents, Options, Children };
inline constexpr Field kFields[] = {Field::Parents, Field::Options, Field::Children};

// Entries a list keeps in its node.  A value has two lists in its six words, so one
// entry each; an op has only its children there, and its second entry takes the word a
// value uses for its options' size, so the standard tree's two children fit.
inline constexpr std::uint32_t kValueListCap = 1;
inline constexpr std::uint32_t kChildrenCap = 2;

// ---- size classes: where a list of a given size lives ----
// `cap` is how many entries the list's node holds itself (ListRef::cap).

// 0 while the list is kept in the node, else k for a block of 2^k entries, the smallest
// power of two that holds it.
inline unsigned size_class(std::uint64_t size, std::uint64_t cap) {
    return size <= cap ? 0u : unsigned(std::bit_width(size - 1));
}
// Arena entries of the block of a list of `size` entries: 0 while it is in the node.
inline std::uint64_t block_entries(std::uint64_t size, std::uint64_t cap) {
    return size <= cap ? 0 : std::bit_ceil(size);
}
// Arena entries that growing a list of `size` entries by `extra`, one push at a time, may
// take: a new block for every size class it passes into (the first is the one that takes
// the list out of the node).  Throws std::bad_alloc when the list would pass kMaxListSize.
inline std::uint64_t arena_need(std::uint64_t size, std::uint64_t extra, std::uint64_t cap) {
    if (extra > kMaxListSize - size) throw std::bad_alloc();
    std::uint64_t need = 0;
    const unsigned first = std::max(size_class(size, cap) + 1, size_class(cap + 1, cap));
    for (unsigned k = first, last = size_class(size + extra, cap); k <= last; ++k)
        need += Arena::size_of(k);
    return need;
}

// A list kept by a node: its size word (the size, with a flag of the node in the top
// bit) and the words after it, which hold the entries while at most `cap` of them fit
// and else the arena offset of its block.  Every edit either succeeds or throws
// std::bad_alloc with the list as it was.  A handle: its const edits change the node.
struct ListRef {
    static constexpr std::uint32_t kFlag = 0x80000000u;
    std::uint32_t* word;
    std::uint32_t cap;  // kChildrenCap for an op's children, kValueListCap for a value's lists

    std::uint32_t size() const { return *word & ~kFlag; }
    void set_size(std::uint32_t s) const { *word = (*word & kFlag) | s; }
    Idx* in_node() const { return word + 1; }
    Idx& offset() const { return word[1]; }

    std::span<Idx> entries(Idx* arena) const {
        const std::uint32_t s = size();
        return {s <= cap ? in_node() : arena + offset(), s};
    }
    // Arena entries that pushing one entry may take; throws std::bad_alloc when the list
    // is full.
    std::uint64_t room_for_one() const {
        const std::uint32_t s = size();
        if (s >= kMaxListSize) throw std::bad_alloc();
        if (s < cap) return 0;
        if (s == cap) return std::bit_ceil(std::uint64_t(s) + 1);  // leaves the node
        return (s & (s - 1)) == 0 ? std::uint64_t(2) * s : 0;     // a full block doubles
    }
    void push(Arena& arena, Idx v) const {
        const std::uint32_t s = size();
        if (s >= kMaxListSize) throw std::bad_alloc();
        if (s < cap) {
            in_node()[s] = v;
        } else if (s == cap) {
            leave_node(arena, v);
        } else {
            if ((s & (s - 1)) == 0) offset() = arena.double_block(offset(), size_class(s, cap));
            arena.data()[offset() + s] = v;
        }
        set_size(s + 1);
    }
    // Empties the list; never fails.  Words of the node that it leaves unused read 0.
    void clear(Arena& arena) const {
        if (size() > cap) arena.give_block(offset(), size_class(size(), cap));
        set_size(0);
        in_node()[0] = 0;
        if (cap == kChildrenCap) in_node()[1] = 0;
    }
    // `v` must not point into the arena.
    void assign(Arena& arena, std::span<const Idx> v) const;

private:
    // push onto a full node: the entries leave it for a block with room for one more.
    void leave_node(Arena& arena, Idx v) const {
        const std::uint32_t s = size();
        const Idx off = arena.take_block(size_class(s + 1, cap));
        Idx* to = arena.data() + off;
        to[0] = in_node()[0];
        if (s == kChildrenCap) {
            to[1] = in_node()[1];
            in_node()[1] = 0;
        }
        to[s] = v;
        offset() = off;
    }
};

// The words of a node by kind; see the table at the top of this file.
enum class ValueWord : unsigned { ParentsSize, ParentsData, OptionsSize, OptionsData, ValId, TypeId };
enum class OpWord : unsigned { ChildrenSize, ChildrenData, SecondChild, Parent, OpId, SideFlag };

// The links of a node that keeps them all itself (see Node::links_in_node): the lead
// link (a value's option, an op's parent) when `has_lead`, then the primary list (a
// value's parents, an op's children), `primary_size` entries of `primary`; that is the
// order options, parents, parent, children.  Entries past the sizes are unspecified.
struct NodeLinks {
    Idx lead;
    Idx primary[2];
    int has_lead;
    int primary_size;
    int count() const { return has_lead + primary_size; }
};

class Node {
public:
    static constexpr std::uint32_t kFlag = ListRef::kFlag;

    Node(bool op, std::uint32_t payload, std::uint32_t type_id)
        : w_{op ? kFlag : 0u, 0u, 0u, op ? kNone : 0u, payload, op ? 0u : type_id} {}

    bool is_op() const { return (w_[kPrimarySize] & kFlag) != 0; }
    bool has_side() const {
        return is_op() ? word(OpWord::SideFlag) != 0 : (word(ValueWord::OptionsSize) & kFlag) != 0;
    }
    void set_side() {
        if (is_op())
            word(OpWord::SideFlag) = 1;
        else
            word(ValueWord::OptionsSize) |= kFlag;
    }
    // op_id of an op, val_id of a value.
    std::uint32_t payload() const { return w_[kPayload]; }
    // The type id of a value node, 0 on an op node (whose word 5 is its side flag):
    // masked without a branch by the kind bit spread over the whole word.
    std::uint32_t type_id() const {
        const std::uint32_t op_mask = std::uint32_t(std::int32_t(w_[kPrimarySize]) >> 31);
        return word(ValueWord::TypeId) & ~op_mask;
    }

    // Where the node keeps its links; the one place that knows which fields belong to
    // which kind.  A field the node owns lives in the node (a value's parents and
    // options, an op's children and parent); the others live in the side record.
    bool owns(Field f) const { return is_op() ? f == Field::Children : f != Field::Children; }
    bool owns_parent() const { return is_op(); }
    Field primary() const { return is_op() ? Field::Children : Field::Parents; }

    // The node's storage of list `f`, which the node must own.
    ListRef own(Field f) { return {w_ + kPlaces[unsigned(f)].size_word, kPlaces[unsigned(f)].cap}; }
    std::uint32_t own_size(Field f) const { return w_[kPlaces[unsigned(f)].size_word] & ~kFlag; }
    // The entries of list `f`, which the node must own; `arena` is the graph's arena.
    std::span<const Idx> entries(Field f, const Idx* arena) const {
        const ListPlace at = kPlaces[unsigned(f)];
        const std::uint32_t s = w_[at.size_word] & ~kFlag;
        return {s <= at.cap ? w_ + at.size_word + 1 : arena + w_[at.size_word + 1], s};
    }
    // Entries list `f` keeps in its node before it moves to the arena.
    static std::uint32_t list_cap(Field f) { return kPlaces[unsigned(f)].cap; }
    // True when list `f`, which the node must own, lives in the arena.
    bool in_arena(Field f) const { return own_size(f) > list_cap(f); }
    // The arena offset of list `f`, which the node must own and keep in the arena.
    Idx block_of(Field f) const { return w_[kPlaces[unsigned(f)].size_word + 1]; }
    // Downward links by kind: a value's options, an op's children.
    std::span<const Idx> downward(const Idx* arena) const {
        return entries(is_op() ? Field::Children : Field::Options, arena);
    }
    Idx& own_parent() { return word(OpWord::Parent); }
    Idx own_parent() const { return word(OpWord::Parent); }

    // True when the node has no side record and keeps every entry of its lists itself.
    bool links_in_node() const {
        if (is_op())
            return (word(OpWord::ChildrenSize) & ~kFlag) <= kChildrenCap && word(OpWord::SideFlag) == 0;
        // The options' size word with its side flag set is past 1.
        return word(ValueWord::ParentsSize) <= kValueListCap && word(ValueWord::OptionsSize) <= kValueListCap;
    }
    // The links of a node for which links_in_node() holds.  Branch-free, so that a walk
    // whose node kinds follow no fixed pattern does not pay a mispredicted branch per
    // node: the two kinds line up (static_asserts below), a value keeping its option in
    // word 3 and its one parent in word 1, an op its parent in word 3 and its children in
    // words 1 and 2 (a value's word 2 is its options' size, past its primary_size).
    void own_links(NodeLinks& out) const {
        out.lead = w_[kLead];
        out.primary[0] = w_[kPrimaryData];
        out.primary[1] = word(OpWord::SecondChild);
        out.has_lead = is_op() ? word(OpWord::Parent) != kNone : word(ValueWord::OptionsSize) != 0;
        out.primary_size = int(w_[kPrimarySize] & ~kFlag);
    }
    // This node with every link that it keeps in its own words rewritten through `map`;
    // the offsets of lists in the arena are left as they are, for the caller to replace.
    Node mapped(const Idx* map) const {
        Node d = *this;
        const std::uint32_t np = w_[kPrimarySize] & ~kFlag;
        if (is_op()) {
            if (np == 1 || np == 2) d.word(OpWord::ChildrenData) = map[word(OpWord::ChildrenData)];
            if (np == 2) d.word(OpWord::SecondChild) = map[word(OpWord::SecondChild)];
            if (word(OpWord::Parent) != kNone) d.word(OpWord::Parent) = map[word(OpWord::Parent)];
        } else {
            if (np == 1) d.word(ValueWord::ParentsData) = map[word(ValueWord::ParentsData)];
            if ((word(ValueWord::OptionsSize) & ~kFlag) == 1)
                d.word(ValueWord::OptionsData) = map[word(ValueWord::OptionsData)];
        }
        return d;
    }

private:
    friend struct GraphTestAccess;  // the native tests set words by hand through word()

    // The words both kinds use alike: the primary list's size (with the kind bit) and
    // its first entry, the lead link and the payload id.
    static constexpr unsigned kPrimarySize = 0, kPrimaryData = 1, kLead = 3, kPayload = 4;
    static_assert(unsigned(ValueWord::ParentsSize) == kPrimarySize && unsigned(OpWord::ChildrenSize) == kPrimarySize);
    static_assert(unsigned(ValueWord::ParentsData) == kPrimaryData && unsigned(OpWord::ChildrenData) == kPrimaryData);
    static_assert(unsigned(ValueWord::OptionsData) == kLead && unsigned(OpWord::Parent) == kLead);
    static_assert(unsigned(ValueWord::ValId) == kPayload && unsigned(OpWord::OpId) == kPayload);

    // Where each field's list lives in a node that owns it, indexed by the field: lists
    // are often read by a field known only at run time, and a table read costs no branch.
    struct ListPlace {
        unsigned size_word;
        std::uint32_t cap;
    };
    static constexpr ListPlace kPlaces[] = {
        {unsigned(ValueWord::ParentsSize), kValueListCap},  // Field::Parents
        {unsigned(ValueWord::OptionsSize), kValueListCap},  // Field::Options
        {unsigned(OpWord::ChildrenSize), kChildrenCap},     // Field::Children
    };

    std::uint32_t& word(ValueWord i) { return w_[unsigned(i)]; }
    std::uint32_t word(ValueWord i) const { return w_[unsigned(i)]; }
    std::uint32_t& word(OpWord i) { return w_[unsigned(i)]; }
    std::uint32_t word(OpWord i) const { return w_[unsigned(i)]; }

    std::uint32_t w_[6];
};
static_assert(sizeof(Node) == 24, "Node should stay at 24 bytes");

}  // namespace quill
