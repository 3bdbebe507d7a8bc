// Sets of ids for the searches, in the few shapes they need.
//
// The node sets and maps hold ids below a bound given at construction (a graph's node
// count) and show how they store their members in one place only: a map that has turned
// flat lends its array to loops that read it at every link (the copies and the hashes),
// which ask is_flat() first and keep a sparse path beside it.  A set or map can therefore
// start small and grow only as far as a search reaches without any caller changing.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>
#include <memory>
#include <span>
#include <type_traits>
#include <vector>

#include "graph.hpp"

namespace quill {

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
    static constexpr std::uint32_t kListMax = 8;
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

    static std::size_t home(Idx key, unsigned shift) {
        return std::size_t((std::uint64_t(key) * 0x9E3779B97F4A7C15ull) >> shift);
    }

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
    void erase(NodeId id) { map_.set(id, false); }

private:
    NodeMap<bool> map_;
};

// A set of node ids below a bound that empties in constant time: its members are the ids
// stamped with the current generation.
class StampedSet {
public:
    explicit StampedSet(std::uint64_t bound) : marks_(bound) {}

    std::uint64_t bound() const { return marks_.bound(); }
    // Any id may be asked about; ids at or beyond the bound are never members.
    bool contains(NodeId id) const { return id < marks_.bound() && marks_.get(id) == gen_; }
    void insert(NodeId id) { marks_.set(id, gen_); }
    void clear() {
        if (++gen_ == 0) {  // wrapped: start the stamps afresh
            marks_ = NodeMap<std::uint32_t>(marks_.bound());
            gen_ = 1;
        }
    }

private:
    NodeMap<std::uint32_t> marks_;
    std::uint32_t gen_ = 1;
};

// How many times each node id below a bound is held.
class NodeMultiset {
public:
    explicit NodeMultiset(std::uint64_t bound) : counts_(bound) {}

    std::uint32_t count(NodeId id) const { return counts_.get(id); }
    void insert(NodeId id) { ++counts_.ref(id); }
    void erase_one(NodeId id) { --counts_.ref(id); }

private:
    NodeMap<std::uint32_t> counts_;
};

// The stack of a depth-first search over node ids.  Its first kInline entries live in
// the object itself, so a search that meets a handful of nodes takes no allocation; a
// deeper one moves to a growable array.  Growing either succeeds or throws
// std::bad_alloc with the stack as it was.
class IdStack {
public:
    IdStack() = default;
    IdStack(const IdStack&) = delete;
    IdStack& operator=(const IdStack&) = delete;

    bool empty() const { return size_ == 0; }
    Idx back() const { return data_[size_ - 1]; }
    void pop_back() { --size_; }
    void push_back(Idx m) {
        if (size_ == cap_) grow();
        data_[size_++] = m;
    }

private:
    static constexpr std::size_t kInline = 32;
    Idx inline_[kInline];
    Idx* data_ = inline_;
    std::size_t size_ = 0;
    std::size_t cap_ = kInline;
    std::vector<Idx> heap_;

    void grow() {
        std::vector<Idx> more(2 * cap_);
        std::copy(data_, data_ + size_, more.begin());
        heap_.swap(more);
        data_ = heap_.data();
        cap_ = heap_.size();
    }
};

// The nodes on a depth-first search path, in path order, each at most once and each with
// a cursor (the next of its links that the search takes), and a membership test: a scan
// while the path is short, a NodeSet once it grows deep.
class SearchPath {
public:
    explicit SearchPath(std::uint64_t bound) : bound_(bound) {}

    bool empty() const { return path_.empty(); }
    NodeId back() const { return path_.back().node; }
    Idx& cursor() { return path_.back().cursor; }
    bool contains(NodeId id) const {
        if (deep_) return deep_->contains(id);
        for (const Entry& e : path_)
            if (e.node == id) return true;
        return false;
    }
    // Adds `id` with its cursor at 0.
    void push(NodeId id) {
        path_.push_back({Idx(id), 0});
        if (deep_) {
            deep_->insert(id);
        } else if (path_.size() > kScanLimit) {
            deep_ = std::make_unique<NodeSet>(bound_);
            for (const Entry& e : path_) deep_->insert(e.node);
        }
    }
    void pop() {
        if (deep_) deep_->erase(path_.back().node);
        path_.pop_back();
    }

private:
    static constexpr std::size_t kScanLimit = 32;
    struct Entry {
        Idx node;
        Idx cursor;
    };
    std::uint64_t bound_;
    std::vector<Entry> path_;
    std::unique_ptr<NodeSet> deep_;
};

// Membership in one node's list, asked many times before the next list: a scan while the
// list is short, marks once it is long, so that a node with many links does not cost a
// quadratic scan.  The list must outlive the questions.
class ListMembership {
public:
    explicit ListMembership(std::uint64_t bound) : marks_(bound) {}

    // Takes the list of the next questions.  A long list is marked, polling within;
    // returns the entries marked but not yet counted (0 for a list short enough to be
    // scanned).
    std::size_t reset(std::span<const Idx> list, Poll& poll) {
        list_ = list;
        marked_ = list.size() > kScanLimit;
        if (!marked_) [[likely]]
            return 0;
        return mark(list, poll);
    }
    bool contains(NodeId m) const {
        // Only the scan can find an id beyond the bound.
        if (marked_ && m < marks_.bound()) return marks_.contains(m);
        for (Idx x : list_)
            if (x == m) return true;
        return false;
    }

private:
    static constexpr std::size_t kScanLimit = 16;

    [[gnu::noinline]] std::size_t mark(std::span<const Idx> list, Poll& poll) {
        marks_.clear();
        return poll.scan(list.size(), [&](std::size_t i) {
            if (list[i] < marks_.bound()) marks_.insert(list[i]);
        });
    }

    std::span<const Idx> list_;
    StampedSet marks_;
    bool marked_ = false;
};

// A set of any 64-bit values (cut signatures, ids a caller hands in): an open-addressing
// table, which a search that adds millions of values probes far faster than a node-based
// set.  Growing either succeeds or throws std::bad_alloc with the set as it was.
class U64Set {
public:
    // Adds `x`; false when it was there already.
    bool insert(std::uint64_t x) {
        if (x == kEmpty) {
            const bool added = !has_empty_;
            has_empty_ = true;
            return added;
        }
        if (2 * (count_ + 1) > slots_.size()) grow();
        std::size_t i = home(x);
        for (; slots_[i] != kEmpty; i = (i + 1) & mask_)
            if (slots_[i] == x) return false;
        slots_[i] = x;
        ++count_;
        return true;
    }
    bool contains(std::uint64_t x) const {
        if (x == kEmpty) return has_empty_;
        if (slots_.empty()) return false;
        for (std::size_t i = home(x);; i = (i + 1) & mask_) {
            if (slots_[i] == x) return true;
            if (slots_[i] == kEmpty) return false;
        }
    }

    // Room for `n` values in all without growing.
    void reserve(std::size_t n) {
        std::size_t cap = slots_.empty() ? 64 : slots_.size();
        while (2 * (n + 1) > cap) cap *= 2;
        if (cap > slots_.size()) grow(cap);
    }

private:
    static constexpr std::uint64_t kEmpty = 0;
    // Zeroed storage from calloc: a large table comes as fresh zero pages, touched as
    // the values go in rather than all at once before the first, which for a table of
    // millions of slots is a pause of its own.
    class Slots {
    public:
        Slots() = default;
        explicit Slots(std::size_t n)
            : p_(take(n)), n_(n) {
        }
        Slots(const Slots&) = delete;
        Slots& operator=(const Slots&) = delete;
        ~Slots() { std::free(p_); }
        void swap(Slots& o) noexcept {
            std::swap(p_, o.p_);
            std::swap(n_, o.n_);
        }
        std::size_t size() const { return n_; }
        bool empty() const { return n_ == 0; }
        std::uint64_t& operator[](std::size_t i) { return p_[i]; }
        std::uint64_t operator[](std::size_t i) const { return p_[i]; }
        const std::uint64_t* begin() const { return p_; }
        const std::uint64_t* end() const { return p_ + n_; }

    private:
        static std::uint64_t* take(std::size_t n) {
#ifdef QUILL_FAULT_INJECTION
            if (fault::tick()) throw std::bad_alloc();  // as operator new would
#endif
            auto* p = static_cast<std::uint64_t*>(std::calloc(n, sizeof(std::uint64_t)));
            if (!p) throw std::bad_alloc();
            return p;
        }
        std::uint64_t* p_ = nullptr;
        std::size_t n_ = 0;
    };
    static_assert(kEmpty == 0, "calloc's zeroes are the empty slots");

    Slots slots_;
    std::size_t mask_ = 0;
    unsigned shift_ = 64;
    std::size_t count_ = 0;
    bool has_empty_ = false;

    std::size_t home(std::uint64_t x) const {
        return std::size_t((x * 0x9E3779B97F4A7C15ull) >> shift_);
    }
    void grow() { grow(slots_.empty() ? 64 : 2 * slots_.size()); }
    void grow(std::size_t cap) {
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
};

// A set of ids that a caller hands in, any 64-bit values (they are never range-checked):
// a scan while the list is short, a U64Set once it is long.  The list must outlive the
// set.
class IdSet {
public:
    explicit IdSet(std::span<const NodeId> ids) : ids_(ids), hashed_(ids.size() > kScanLimit) {
        if (hashed_)
            for (NodeId id : ids) set_.insert(id);
    }
    // The same, polling while a long list is taken in (room for all of it first, so that
    // no rehash of millions of entries comes between two checks).
    IdSet(std::span<const NodeId> ids, Poll& poll) : ids_(ids), hashed_(ids.size() > kScanLimit) {
        if (!hashed_) return;
        set_.reserve(ids.size());
        poll.step(poll.scan(ids.size(), [&](std::size_t i) { set_.insert(ids[i]); }));
    }

    bool contains(NodeId id) const {
        if (hashed_) [[unlikely]]
            return set_.contains(id);
        for (NodeId x : ids_)
            if (x == id) return true;
        return false;
    }

private:
    static constexpr std::size_t kScanLimit = 8;
    std::span<const NodeId> ids_;
    bool hashed_;
    U64Set set_;
};

}  // namespace quill
