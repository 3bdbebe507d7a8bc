// The rare paths of the sets in id_sets.hpp: growing, turning from a scan to a set, and
// taking in a long list.  The questions and the common adds stay inline in the header.
#include "id_sets.hpp"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <new>

namespace quill {

void StampedSet::restart() {
    marks_ = NodeMap<std::uint32_t>(marks_.bound());
    gen_ = 1;
}

namespace {

thread_local ScratchBytes::Table t_scratch;

}  // namespace

ScratchBytes::ScratchBytes(std::uint64_t bound) : own_(bound) {
    ScratchBytes::Table& t = t_scratch;
    if (t.busy) return;
    if (t.slots.empty()) t.slots.assign(kFirstSlots, Slot{0, 0, 0});
    if (++t.stamp == 0) [[unlikely]] {  // the stamps have wrapped: every slot is freed
        std::fill(t.slots.begin(), t.slots.end(), Slot{0, 0, 0});
        t.stamp = 1;
    }
    t.busy = true;
    table_ = &t;
}

ScratchBytes::~ScratchBytes() {
    if (table_) table_->busy = false;
}

std::uint8_t& ScratchBytes::grown_ref(Idx key) {
    const std::vector<Slot>& old = table_->slots;
    const std::uint32_t stamp = table_->stamp;
    if (live_ >= kReusedIds) {
        // Into a map of this search's own; the thread's table is left as it is, its
        // slots freed by the next search's stamp.  A failure leaves both as they were.
        NodeMap<std::uint8_t> own(own_.bound());
        for (const Slot& slot : old)
            if (slot.stamp == stamp) own.set(slot.key, slot.value);
        own_ = std::move(own);
        table_->busy = false;
        table_ = nullptr;
        return own_.ref(key);
    }
    std::vector<Slot> slots(2 * old.size(), Slot{0, 0, 0});
    const std::size_t mask = slots.size() - 1;
    const unsigned shift = unsigned(64 - std::countr_zero(slots.size()));
    for (const Slot& slot : old) {
        if (slot.stamp != stamp) continue;
        std::size_t i = fibonacci_home(slot.key, shift);
        while (slots[i].stamp == stamp) i = (i + 1) & mask;
        slots[i] = slot;
    }
    table_->slots.swap(slots);
    return reused_ref(key);
}

void SearchPath::go_deep() {
    auto deep = std::make_unique<NodeSet>(bound_);
    for (std::size_t i = 0; i < path_.size(); ++i) deep->insert(path_[i].node);
    deep_ = std::move(deep);
}

std::size_t ListMembership::mark(std::span<const Idx> list, Poll& poll) {
    marks_.clear();
    return poll.scan(list.size(), [&](std::size_t i) {
        if (list[i] < marks_.bound()) marks_.insert(list[i]);
    });
}

U64Set::Slots::Slots(std::size_t n) : n_(n) {
#ifdef QUILL_FAULT_INJECTION
    if (fault::tick()) throw std::bad_alloc();  // as operator new would
#endif
    p_ = static_cast<std::uint64_t*>(std::calloc(n, sizeof(std::uint64_t)));
    if (!p_) throw std::bad_alloc();
}

U64Set::Slots::~Slots() { std::free(p_); }

void U64Set::reserve(std::size_t n) {
    std::size_t cap = slots_.empty() ? kFirstSlots : slots_.size();
    while (2 * (n + 1) > cap) cap *= 2;
    if (cap > slots_.size()) grow(cap);
}

void U64Set::grow() { grow(slots_.empty() ? kFirstSlots : 2 * slots_.size()); }

void U64Set::grow(std::size_t cap) {
    Slots old(cap);
    old.swap(slots_);
    mask_ = cap - 1;
    shift_ = unsigned(64 - std::countr_zero(cap));
    for (std::uint64_t x : old) {
        if (x == kEmpty) continue;
        std::size_t i = home(x);
        while (slots_[i] != kEmpty) i = (i + 1) & mask_;
        slots_[i] = x;
    }
}

IdSet::IdSet(std::span<const NodeId> ids)
    : ids_(ids), hashed_(ids.size() > ScanLimit::kBeforeU64Set) {
    if (hashed_)
        for (NodeId id : ids) set_.insert(id);
}

IdSet::IdSet(std::span<const NodeId> ids, Poll& poll)
    : ids_(ids), hashed_(ids.size() > ScanLimit::kBeforeU64Set) {
    if (!hashed_) return;
    set_.reserve(ids.size());
    poll.step(poll.scan(ids.size(), [&](std::size_t i) { set_.insert(ids[i]); }));
}

}  // namespace quill
