// The arena's rare operations (growing, splitting, merging, taking from the end) and
// its integrity check; the frequent ones are inline in arena.hpp.  The fault-injection
// hooks of the native tests are defined here too, beside the raw blocks they act on.
#include "arena.hpp"

#include <algorithm>
#include <bit>
#include <new>

#ifdef QUILL_FAULT_INJECTION
#include <malloc.h>
#endif

namespace quill {

namespace {
// A merging pass waits until 1/kMergeShare of the arena has been freed (see take_other).
constexpr std::uint64_t kMergeShare = 8;
}  // namespace

#ifdef QUILL_FAULT_INJECTION
namespace fault {
std::uint64_t countdown = 0;
bool always_move = false;
bool tight_arena = false;

void* moving_resize(void* p, std::size_t bytes) {
    void* q = std::malloc(bytes);
    if (!q) return nullptr;
    if (p) {
        const std::size_t old = malloc_usable_size(p);
        std::memcpy(q, p, old < bytes ? old : bytes);
        std::free(p);
    }
    return q;
}
}  // namespace fault
#endif

void Arena::grow(std::uint64_t extra) {
    // Checked in 64 bits: offsets are 32-bit, so the arena never passes kMaxArena entries.
    const std::uint64_t base = cap_ ? used_ : kHeads;  // a new array starts with the heads
    if (extra > kMaxArena - base) throw std::bad_alloc();
    const std::uint64_t want = base + extra;
    // Doubling keeps growth amortised; the first array is the 32 heads and as many
    // entries again, enough for the first few lists that leave their nodes.
    std::uint64_t ncap = cap_ ? cap_ * 2 : 2 * kHeads;
    if (ncap < want) ncap = want;
    if (ncap > kMaxArena) ncap = kMaxArena;
#ifdef QUILL_FAULT_INJECTION
    if (fault::tight_arena) ncap = want;
#endif
    void* block = block_resize(data_, ncap * sizeof(Idx));
    if (!block) throw std::bad_alloc();
    data_ = static_cast<Idx*>(block);
    if (!cap_) {
        std::memset(data_, 0, kHeads * sizeof(Idx));
        used_ = kHeads;
    }
    cap_ = ncap;
}

bool Arena::split_for(unsigned k, Idx& out) {
    // The smallest free block larger than 2^k, split down: its lower part is the block,
    // each upper half goes onto the free list of its class.
    const std::uint32_t larger = avail_ >> k;
    if (!larger) return false;
    unsigned j = k + unsigned(std::countr_zero(larger));
    const Idx off = pop_free(j);
    while (j > k) {
        --j;
        push_free(off + size_of(j), j);
    }
    out = off;
    return true;
}

void Arena::free_run(std::uint64_t from, std::uint64_t to) {
    // At each point the largest block that fits before `to`: the run's length in binary.
    while (from < to) {
        unsigned c = unsigned(std::bit_width(to - from)) - 1;
        if (c > kMaxClass) c = kMaxClass;
        push_free(from, c);
        from += size_of(c);
    }
}

bool Arena::merge_free() {
    // One bit per two entries (every block has at least 2 entries, kHeads is even, so
    // every block starts at an even offset), packed 32 to a word: where a free block
    // starts.  The bitmap is kept in the spare capacity past used(), so that merging
    // allocates nothing (and cannot fail); without room for it the pass is skipped.  The
    // lists are then emptied and rebuilt from the runs of free neighbours, in address
    // order; each block's class is read before the run it ends is written.
    const std::uint64_t words = ((used_ - kHeads) / 2 + 31) / 32;
    if (words > cap_ - used_) return false;
    std::uint32_t* bits = data_ + used_;
    std::memset(bits, 0, words * sizeof(std::uint32_t));
    for (unsigned k = 1; k < kHeads; ++k) {
        for (std::uint64_t b = data_[k]; b; b = data_[b]) {
            const std::uint64_t u = (b - kHeads) / 2;
            bits[u / 32] |= std::uint32_t(1) << (u % 32);
        }
        data_[k] = 0;
    }
    avail_ = 0;
    free_ = 0;
    std::uint64_t from = 0, to = 0;  // the run being gathered; empty while from == to
    for (std::uint64_t w = 0; w < words; ++w) {
        for (std::uint32_t x = bits[w]; x; x &= x - 1) {
            const std::uint64_t b = kHeads + 2 * (32 * w + unsigned(std::countr_zero(x)));
            const std::uint64_t end = b + size_of(data_[b + 1]);
            if (b != to) {
                free_run(from, to);
                from = b;
            }
            to = end;
        }
    }
    if (to == used_)
        used_ = from;  // the last run ends the arena: cut it off
    else
        free_run(from, to);
    freed_ = 0;
    return true;
}

Idx Arena::take_other(unsigned k) {
    Idx off;
    if (split_for(k, off)) return off;
    const std::uint64_t n = size_of(k);
    // Merging can only help when the free entries could hold the block.  A pass reads
    // the arena's size / 64 bitmap words plus the free blocks; waiting until an eighth of
    // the arena has been handed back since the last pass makes each freed entry pay a
    // small constant for it, while freed storage is still reused long before the arena
    // would double.
    if (free_ >= n && freed_ >= std::max(n, (used_ - kHeads) / kMergeShare) && merge_free()) {
        if (avail_ >> k & 1u) return pop_free(k);
        if (split_for(k, off)) return off;
    }
    // From the end; growing either succeeds or leaves the arena as it was.
    reserve(n);
    off = Idx(used_);
    used_ += n;
    return off;
}

namespace {

std::string problem_at(const char* what, std::uint64_t off) {
    return std::string(what) + " (offset " + std::to_string(off) + ")";
}

}  // namespace

std::string Arena::audit(std::vector<Block> held) const {
    if (!cap_) {
        if (!held.empty()) return "lists in an arena that does not exist";
        return avail_ || used_ || free_ ? "an empty arena with counts" : "";
    }
    if (used_ < kHeads || used_ > cap_ || cap_ > kMaxArena) return problem_at("used past capacity", used_);
    if (data_[0] != 0) return "entry 0 is not 0";
    std::vector<Block> all = std::move(held);
    if (std::string problem = audit_free_lists(all); !problem.empty()) return problem;
    return audit_tiling(all);
}

std::string Arena::audit_free_lists(std::vector<Block>& all) const {
    // Each free block inside the arena with its class recorded, and each list no longer
    // than the arena has room for (no cycle); the mask and the count agree with them.
    std::uint64_t free_entries = 0;
    for (unsigned k = 1; k < kHeads; ++k) {
        if (bool(avail_ >> k & 1u) != (data_[k] != 0)) return problem_at("mask disagrees with the free list", k);
        std::uint64_t steps = 0;
        for (std::uint64_t off = data_[k]; off; off = data_[off]) {
            if (++steps > (used_ - kHeads) / size_of(k)) return problem_at("free list runs in a cycle", k);
            if (off < kHeads || off + size_of(k) > used_) return problem_at("free block outside the arena", off);
            if (data_[off + 1] != k) return problem_at("free block records another class", off);
            all.push_back({off, k, true, 0});
            free_entries += size_of(k);
        }
    }
    return free_entries == free_ ? "" : "count of free entries is wrong";
}

std::string Arena::audit_tiling(std::vector<Block>& all) const {
    // Held and free blocks tile [kHeads, used_) exactly.
    std::sort(all.begin(), all.end(), [](const Block& a, const Block& b) { return a.off < b.off; });
    std::uint64_t at = kHeads;
    for (const Block& b : all) {
        if (b.k < 1 || b.k > kMaxClass) return problem_at("block of no class", b.off);
        if (b.off < at)
            return problem_at(b.free ? "free block overlaps another" : "held block overlaps another", b.off);
        if (b.off > at) return problem_at("entries in no block", at);
        at = b.off + size_of(b.k);
    }
    return at == used_ ? "" : problem_at("blocks do not reach the end", at);
}

}  // namespace quill
