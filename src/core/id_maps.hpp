// Sets and maps keyed by node id for the copies, the hashes and the gluing search.
//
// IdMap is the map from old id to new id (or walk position) of a copy or hash: it starts
// as a small open-addressing table, so that a call that reaches a few nodes of a huge
// graph costs in proportion to what it reaches, and moves to a flat array indexed by id
// once it holds a sizeable share of the graph, where a lookup is one load.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "graph.hpp"

namespace quill {

// A set of ids below a bound, as bits.
class BitSet {
public:
    explicit BitSet(std::uint64_t bound) : bits_((bound + 63) / 64, 0) {}
    bool contains(NodeId id) const { return (bits_[id >> 6] >> (id & 63)) & 1u; }
    void insert(NodeId id) { bits_[id >> 6] |= std::uint64_t(1) << (id & 63); }
    void erase(NodeId id) { bits_[id >> 6] &= ~(std::uint64_t(1) << (id & 63)); }

private:
    std::vector<std::uint64_t> bits_;
};

// A set of ids below a bound that empties in constant time (its members carry the
// current generation); storage is taken at the first insert.
class StampSet {
public:
    explicit StampSet(std::uint64_t bound) : bound_(bound) {}
    bool contains(NodeId id) const { return id < marks_.size() && marks_[id] == gen_; }
    void insert(NodeId id) {
        if (marks_.empty()) marks_.assign(bound_, 0);
        marks_[id] = gen_;
    }
    void clear() {
        if (++gen_ == 0) {
            std::fill(marks_.begin(), marks_.end(), 0);
            gen_ = 1;
        }
    }

private:
    std::uint64_t bound_;
    std::vector<std::uint32_t> marks_;
    std::uint32_t gen_ = 1;
};

// A map from node ids below a bound to 32-bit values (kNone is "no entry").  Sparse while
// small, flat once it holds more than bound / kFlatShare entries (or a few thousand,
// whichever is more).  The owner of the map works out which form it is in once per phase
// (flat() / table()) and reads it through that form in its hot loops.
class IdMap {
public:
    explicit IdMap(std::uint64_t bound) : bound_(bound) {
        threshold_ = bound / kFlatShare;
        if (threshold_ < kMinSparse) threshold_ = kMinSparse;
        if (bound <= kMinSparse) {
            flat_.assign(bound, kNone);  // small graphs: flat from the start
            is_flat_ = true;
        } else {
            rehash(64);
        }
    }

    std::uint64_t bound() const { return bound_; }
    bool is_flat() const { return is_flat_; }
    // The flat array (valid while is_flat()).
    const Idx* flat() const { return flat_.data(); }
    // Entries may be written through it directly once the map is flat.
    Idx* flat_mut() { return flat_.data(); }

    Idx get(NodeId id) const {
        if (is_flat_) return flat_[id];
        return find(Idx(id));
    }
    // Sets the entry of an id that has none yet.
    void insert(NodeId id, Idx v) {
        if (is_flat_) {
            ++count_;
            flat_[id] = v;
            return;
        }
        if (count_ + 1 > threshold_) {
            to_flat();
            flat_[id] = v;
        } else {
            if (2 * (count_ + 1) > mask_ + 1) rehash(2 * (mask_ + 1));
            place(Idx(id), v);
        }
        ++count_;
    }
    // Calls f(id, value) for every entry, in no particular order.
    template <class F>
    void for_each(F&& f) const {
        if (is_flat_) {
            for (std::uint64_t id = 0; id < flat_.size(); ++id)
                if (flat_[id] != kNone) f(NodeId(id), flat_[id]);
        } else {
            for (const Slot& s : slots_)
                if (s.key != kNone) f(NodeId(s.key), s.value);
        }
    }

    // The sparse form's lookup, for loops that have checked !is_flat().
    Idx find(Idx key) const {
        for (std::size_t i = mix(key) & mask_;; i = (i + 1) & mask_) {
            const Slot& s = slots_[i];
            if (s.key == key) return s.value;
            if (s.key == kNone) return kNone;
        }
    }

private:
    static constexpr std::uint64_t kFlatShare = 32;
    static constexpr std::uint64_t kMinSparse = 4096;
    struct Slot {
        Idx key;
        Idx value;
    };
    std::uint64_t bound_;
    std::uint64_t threshold_ = 0;
    std::uint64_t count_ = 0;
    bool is_flat_ = false;
    std::vector<Idx> flat_;
    std::vector<Slot> slots_;
    std::size_t mask_ = 0;

    static std::size_t mix(Idx key) {
        std::uint64_t x = std::uint64_t(key) * 0x9e3779b97f4a7c15ull;
        return std::size_t(x >> 32);
    }
    void place(Idx key, Idx v) {
        std::size_t i = mix(key) & mask_;
        while (slots_[i].key != kNone) i = (i + 1) & mask_;
        slots_[i] = {key, v};
    }
    void rehash(std::size_t cap) {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(cap, Slot{kNone, kNone});
        mask_ = cap - 1;
        for (const Slot& s : old)
            if (s.key != kNone) place(s.key, s.value);
    }
    void to_flat() {
        flat_.assign(bound_, kNone);
        for (const Slot& s : slots_)
            if (s.key != kNone) flat_[s.key] = s.value;
        std::vector<Slot>().swap(slots_);
        is_flat_ = true;
    }
};

}  // namespace quill
