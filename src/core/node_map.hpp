// The per-node maps of the searches: a value for every node id below a bound, stored in
// the few shapes a search that touches a small part of the graph, or all of it, needs.
//
// The maps hold ids below a bound given at construction (a graph's node count) and show
// how they store their members in one place only: a map that has turned flat lends its
// array to loops that read it at every link (the copies and the hashes), which ask
// is_flat() first and keep a sparse path beside it.  A map can therefore start small and
// grow only as far as a search reaches without any caller changing.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "graph.hpp"

namespace quill {

// The home slot of `key` in a table of 2**(64 - shift) slots: the top bits of the key
// times 2**64 divided by the golden ratio (Fibonacci hashing).  The multiplier is odd and
// its bits follow no pattern, so ids that differ only in their low bits (consecutive
// node ids, which the searches meet most) land far apart, at the cost of one multiply.
inline std::size_t fibonacci_home(std::uint64_t key, unsigned shift) {
    return std::size_t((key * 0x9E3779B97F4A7C15ull) >> shift);
}

namespace detail {

// Where a NodeMap keeps its values once it holds many ids: one per id below the bound,
// Empty::value() for ids never set.
template <class T, class Empty>
struct FlatValues {
    std::vector<T> values;

    static std::uint64_t bytes(std::uint64_t bound) { return bound * sizeof(T); }
    void init(std::uint64_t bound) { values.assign(bound, Empty::value()); }
    T get(Idx id) const { return values[id]; }
    void set(Idx id, T v) { values[id] = v; }
    T& ref(Idx id) { return values[id]; }
};

// Booleans take one bit each.
template <class Empty>
struct FlatValues<bool, Empty> {
    static_assert(!Empty::value(), "a set of booleans starts out false");
    std::vector<std::uint64_t> bits;

    static std::uint64_t bytes(std::uint64_t bound) { return (bound + 63) / 64 * 8; }
    void init(std::uint64_t bound) { bits.assign((bound + 63) / 64, 0); }
    bool get(Idx id) const { return (bits[id >> 6] >> (id & 63)) & 1u; }
    void set(Idx id, bool v) {
        const std::uint64_t bit = std::uint64_t(1) << (id & 63);
        if (v)
            bits[id >> 6] |= bit;
        else
            bits[id >> 6] &= ~bit;
    }
};

}  // namespace detail

// The value a NodeMap holds for ids never set: T{} unless named otherwise.
template <class T>
struct ZeroValue {
    static constexpr T value() { return T{}; }
};
struct NoIdx {
    static constexpr Idx value() { return kNone; }
};

// A value of type T for every node id below a bound, Empty::value() for ids never set.
//
// Storage follows the ids set so far, so that a search costs what it touches rather than
// the graph's size: a short list scanned in place (no allocation), then an open-addressing
// table, and a flat array over the whole bound once the ids set reach a small share of it
// (1/128 of the bound, or a table a quarter the size of the array).  Clearing the array
// then costs about what the search has already spent on the ids it holds, and a search
// that goes over the whole graph runs on it after its first percent.  References from
// ref() stay valid until the next id is added.  A caller that reads the map at every
// link may have it start flat when the flat array is small (`start_flat_bytes`): an array
// of a few cache lines costs one allocation, and every lookup after it is one load.
//
// Loops that run over a large part of the graph (the copies, the hashes) may ask once
// whether the map is flat and then read and write the flat array directly.
template <class T, class Empty = ZeroValue<T>>
class NodeMap {
    static_assert(std::is_trivially_copyable_v<T>);
    // What the list and the table store per id (booleans as bytes).
    using Slot = std::conditional_t<std::is_same_v<T, bool>, std::uint8_t, T>;

public:
    explicit NodeMap(std::uint64_t bound, std::uint64_t start_flat_bytes = 0)
        : bound_(bound) {
        if (detail::FlatValues<T, Empty>::bytes(bound) <= start_flat_bytes) {
            flat_.init(bound);
            mode_ = Mode::kFlat;
        }
    }

    std::uint64_t bound() const { return bound_; }

    // The value of `id` (below the bound).
    T get(NodeId id) const {
        if (mode_ == Mode::kFlat) return flat_.get(Idx(id));
        return find(Idx(id));
    }

    void set(NodeId id, T v) {
        if (mode_ != Mode::kFlat)
            if (Slot* slot = place(Idx(id))) {
                *slot = Slot(v);
                return;
            }
        flat_.set(Idx(id), v);
    }

    // The value of `id`, to change in place; Empty::value() if it was never set.
    T& ref(NodeId id)
        requires(!std::is_same_v<T, bool>)
    {
        if (mode_ != Mode::kFlat)
            if (Slot* slot = place(Idx(id))) return *slot;
        return flat_.ref(Idx(id));
    }

    bool is_flat() const { return mode_ == Mode::kFlat; }
    // The flat array, one value per id below the bound; only while is_flat(), which stays
    // true once it holds.
    const T* flat() const
        requires(!std::is_same_v<T, bool>)
    {
        return flat_.values.data();
    }
    T* flat_mut()
        requires(!std::is_same_v<T, bool>)
    {
        return flat_.values.data();
    }

    // Calls f(id, value) for every id whose value is not Empty::value(), in ascending
    // order of id, while f returns true; false when f stopped it.  The table form sorts
    // a copy of its entries, which may fail to allocate (before any call of f).
    template <class F>
    bool for_each_ascending(F&& f) const
        requires(!std::is_same_v<T, bool>)
    {
        if (mode_ == Mode::kFlat) {
            const T* v = flat_.values.data();
            for (std::uint64_t id = 0; id < bound_; ++id)
                if (v[id] != Empty::value() && !f(NodeId(id), v[id])) return false;
            return true;
        }
        auto by_key = [](const Entry& a, const Entry& b) { return a.key < b.key; };
        auto run = [&](std::span<Entry> held) {
            std::sort(held.begin(), held.end(), by_key);
            for (const Entry& e : held)
                if (e.value != Empty::value() && !f(NodeId(e.key), T(e.value))) return false;
            return true;
        };
        if (mode_ == Mode::kList) {
            Entry held[kListMax];
            const std::uint32_t k = std::min(count_, kListMax);
            std::copy(list_, list_ + k, held);
            return run(std::span<Entry>(held, k));
        }
        std::vector<Entry> held;
        held.reserve(count_);
        for (const Entry& e : table_)
            if (e.key != kFree) held.push_back(e);
        return run(held);
    }

private:
    enum class Mode : std::uint8_t { kList, kTable, kFlat };
    // The list kept in the map itself: 8 entries of 8 bytes (an id and a value of up to
    // 4 bytes, the positions, stamps, counts and flags of the searches), one cache line.
    // A search that meets a handful of nodes then allocates nothing, and a scan of 8 costs
    // about one probe of the table (ScanLimit in id_sets.hpp measures that crossover).
    static constexpr std::uint32_t kListMax = 8;
    // The table that takes over from the list: 32 slots, which hold 16 ids at the load
    // limit of one half, twice what the full list held, so that the first doubling comes
    // after as many adds again as the list took.
    static constexpr std::size_t kFirstTable = 32;
    static constexpr Idx kFree = kNone;  // never a node id
    struct Entry {
        Idx key;
        Slot value;
    };

    std::uint64_t bound_;
    Mode mode_ = Mode::kList;
    std::uint32_t count_ = 0;  // ids held by the list or the table
    Entry list_[kListMax] = {};
    std::vector<Entry> table_;
    std::size_t mask_ = 0;
    unsigned shift_ = 64;
    detail::FlatValues<T, Empty> flat_;

    static std::size_t home(Idx key, unsigned shift) { return fibonacci_home(key, shift); }

    // Whether a table of `cap` slots holding `count` ids should give way to the flat array.
    bool go_flat(std::size_t cap, std::uint64_t count) const {
        return count > bound_ / 128 ||
               4 * cap * sizeof(Entry) >= detail::FlatValues<T, Empty>::bytes(bound_);
    }

    [[gnu::noinline]] T find(Idx key) const {
        if (mode_ == Mode::kList) {
            for (std::uint32_t i = 0; i < count_; ++i)
                if (list_[i].key == key) return T(list_[i].value);
            return Empty::value();
        }
        for (std::size_t i = home(key, shift_);; i = (i + 1) & mask_) {
            if (table_[i].key == key) return T(table_[i].value);
            if (table_[i].key == kFree) return Empty::value();
        }
    }

    // The slot of `key` in the list or the table, added with Empty::value() if missing;
    // null when adding it has moved the map to the flat array, which then holds the key's
    // value.
    [[gnu::noinline]] Slot* place(Idx key) {
        if (mode_ == Mode::kList) {
            for (std::uint32_t i = 0; i < count_; ++i)
                if (list_[i].key == key) return &list_[i].value;
            if (count_ < kListMax) {
                list_[count_] = {key, Slot(Empty::value())};
                return &list_[count_++].value;
            }
            regrow(kFirstTable);
            if (mode_ == Mode::kFlat) return nullptr;
        }
        std::size_t i = home(key, shift_);
        for (;; i = (i + 1) & mask_) {
            if (table_[i].key == key) return &table_[i].value;
            if (table_[i].key == kFree) break;
        }
        if (2 * (std::size_t(count_) + 1) > table_.size()) {
            regrow(2 * table_.size());
            if (mode_ == Mode::kFlat) return nullptr;
            for (i = home(key, shift_); table_[i].key != kFree; i = (i + 1) & mask_) {
            }
        }
        table_[i] = {key, Slot(Empty::value())};
        ++count_;
        return &table_[i].value;
    }

    // Moves every id held to a table of `cap` slots, or to the flat array when that is
    // due.  Allocates before it changes anything, so a failed allocation leaves the map
    // as it was.
    void regrow(std::size_t cap) {
        const std::span<const Entry> held =
            mode_ == Mode::kList ? std::span<const Entry>(list_, count_)
                                 : std::span<const Entry>(table_);
        if (go_flat(cap, std::uint64_t(count_) + 1)) {
            detail::FlatValues<T, Empty> flat;
            flat.init(bound_);
            for (const Entry& e : held)
                if (e.key != kFree) flat.set(e.key, T(e.value));
            flat_ = std::move(flat);
            std::vector<Entry>().swap(table_);
            mode_ = Mode::kFlat;
            return;
        }
        std::vector<Entry> table(cap, Entry{kFree, Slot(Empty::value())});
        const std::size_t mask = cap - 1;
        const unsigned shift = unsigned(64 - std::countr_zero(cap));
        for (const Entry& e : held) {
            if (e.key == kFree) continue;
            std::size_t i = home(e.key, shift);
            while (table[i].key != kFree) i = (i + 1) & mask;
            table[i] = e;
        }
        table_.swap(table);
        mask_ = mask;
        shift_ = shift;
        mode_ = Mode::kTable;
    }
};

// A map from node id to a position or an id of another graph (a walk position, a copy's
// new id), kNone for ids that have none.  The copies and hashes look it up at every link
// and often take the whole graph, so on a graph of up to a few thousand nodes it starts
// flat (16 KiB at most, cleared in about the time that copying a few dozen nodes takes).
class IdxMap : public NodeMap<Idx, NoIdx> {
public:
    explicit IdxMap(std::uint64_t bound) : NodeMap(bound, kStartFlatBytes) {}

private:
    static constexpr std::uint64_t kStartFlatBytes = 16 << 10;
};

// A set of node ids below a bound (flat from the start when its bits take at most
// `start_flat_bytes`).
class NodeSet {
public:
    explicit NodeSet(std::uint64_t bound, std::uint64_t start_flat_bytes = 0)
        : map_(bound, start_flat_bytes) {}

    bool contains(NodeId id) const { return map_.get(id); }
    void insert(NodeId id) { map_.set(id, true); }
    void erase(NodeId id) {
        if (map_.get(id)) map_.set(id, false);  // a sparse map takes no slot for an absent id
    }

private:
    NodeMap<bool> map_;
};

}  // namespace quill
