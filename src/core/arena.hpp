// The list arena of a graph record, and the one pair of calls through which the record
// takes, resizes and frees its raw blocks (the node array and the arena).  The record
// (graph.hpp) owns one Arena; node.hpp says which lists live in it.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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

// A stored link: the 32-bit index of a node, or an offset into the arena.  32 bits,
// because node counts stay below 2^32 - 1 (see kMaxNodes in node.hpp) and half the size
// of a 64-bit id keeps a node at 24 bytes.
using Idx = std::uint32_t;

// Most entries the arena can hold: its offsets are 32-bit Idx words.
inline constexpr std::uint64_t kMaxArena = 0x100000000ull;

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
// the arena's size divided by 64 plus the free blocks, is paid for by those frees.
// Memory therefore follows the lists that are held, not the history of their changes:
// freed storage of any class is split or merged into what later lists need before the
// array grows.
//
// Growing the array either succeeds or throws std::bad_alloc with the arena as it was;
// giving back never fails, and neither does taking while reserved room lasts.
class Arena {
public:
    // A head for each class k = 1..31: a block of class 32 would span every 32-bit
    // offset, so 31 is the largest class there is.
    static constexpr std::uint64_t kHeads = 32;
    static constexpr unsigned kMaxClass = 31;

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
    static constexpr std::uint64_t size_of(unsigned k) { return std::uint64_t(1) << k; }

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
            reserve(n);
            used_ += n;
            return off;
        }
        return move_block(off, k);
    }
    // Keeps the first 2^to entries of the block of 2^from entries at `off` and hands the
    // rest back in blocks of their own; never fails.
    void shrink_block(Idx off, unsigned from, unsigned to) {
        for (unsigned j = from; j-- > to;) give_block(Idx(off + size_of(j)), j);
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
    // Grows the array so that `extra` more entries fit past used().
    void grow(std::uint64_t extra);
    // The parts of audit: the free lists (each appended to `all`), then the tiling.
    std::string audit_free_lists(std::vector<Block>& all) const;
    std::string audit_tiling(std::vector<Block>& all) const;
};

}  // namespace quill
