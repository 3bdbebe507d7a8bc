#include "side_table.hpp"

#include <algorithm>

namespace quill {

namespace {

// The finaliser of splitmix64: spreads node ids, which are dense and often consecutive,
// over the whole table, so that linear probing stays short.  Its constants are that
// finaliser's, chosen for its avalanche.
std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ull;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

// The smallest table: few graphs have more than a handful of side records, and 16 slots
// of 8 bytes are one allocation of two cache lines.
constexpr std::size_t kFirstSlots = 16;

}  // namespace

std::uint32_t SideTable::index_of(NodeId id) const {
    // The node's flag says that its id is in the table, so the probe ends there.
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = mix(id) & mask;; i = (i + 1) & mask)
        if (slots_[i].node == id) return slots_[i].record;
}

void SideTable::reserve(std::uint64_t more) {
    // At most one record per node, so their count stays below kMaxNodes.  The table is
    // kept at most half full, which keeps probes short.
    const std::uint64_t want = records_.size() + more;
    if (want > records_.capacity())
        records_.reserve(std::max<std::uint64_t>(want, 2 * std::uint64_t(records_.capacity())));
    if (2 * want <= slots_.size()) return;
    std::size_t cap = kFirstSlots;
    while (cap < 2 * want) cap <<= 1;
    std::vector<Slot> slots(cap, Slot{kNone, 0});
    for (const Slot& s : slots_) {
        if (s.node == kNone) continue;
        std::size_t i = mix(s.node) & (cap - 1);
        while (slots[i].node != kNone) i = (i + 1) & (cap - 1);
        slots[i] = s;
    }
    slots_.swap(slots);
}

void SideTable::attach(NodeId id, SideRecord&& rec) {
    records_.push_back(std::move(rec));
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = mix(id) & mask;
    while (slots_[i].node != kNone) i = (i + 1) & mask;
    slots_[i] = {Idx(id), Idx(records_.size() - 1)};
}

}  // namespace quill
