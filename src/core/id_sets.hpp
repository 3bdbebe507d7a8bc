// Sets of ids for the searches, in the few shapes they need: the stamped and counted
// sets over node ids, the stack and the path of a depth-first search, membership in one
// node's list or in the ids a caller hands in, and a set of any 64-bit values.  The maps
// and sets over node ids that they are built on are in node_map.hpp; the rare paths
// (growing, turning to a set) are in id_sets.cpp.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "graph.hpp"
#include "node_map.hpp"

namespace quill {

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
        if (++gen_ == 0) [[unlikely]]
            restart();
    }

private:
    NodeMap<std::uint32_t> marks_;
    std::uint32_t gen_ = 1;

    void restart();  // the stamps have wrapped: start them afresh
};

// A byte for every node id, zero for ids never set, for a search that runs often on a
// small part of a large graph (the states of traces).  Its first ids go into a table
// that the thread keeps from one search to the next: each slot carries the stamp of the
// search that filled it, so a new search starts empty without clearing anything, and a
// search of a few dozen nodes neither allocates nor grows a table again (a NodeMap
// would, on every call: from its short list to a table of 32 slots, then 64, then 128).
// Past kReusedIds ids the search moves what it holds to a NodeMap of its own, which
// grows from there as NodeMaps do, so that the thread keeps at most a few tens of KiB.
// One search per thread uses the table at a time; another one made meanwhile starts on
// a NodeMap.  References from ref() stay valid until the next id is added.
class ScratchBytes {
public:
    explicit ScratchBytes(std::uint64_t bound);
    ~ScratchBytes();
    ScratchBytes(const ScratchBytes&) = delete;
    ScratchBytes& operator=(const ScratchBytes&) = delete;

    // The byte of `id` (below the bound), to change in place.
    std::uint8_t& ref(NodeId id) {
        if (!table_) return own_.ref(id);
        return reused_ref(Idx(id));
    }

    struct Slot {
        Idx key;
        std::uint32_t stamp;  // the search that filled the slot; 0 never is one
        std::uint8_t value;
    };
    // The thread's table: its slots, the stamp of the search using it, and whether one is.
    struct Table {
        std::vector<Slot> slots;
        std::uint32_t stamp = 0;
        bool busy = false;
    };

private:
    // Ids held in the thread's table at most: 2048, in 4096 slots of 12 bytes (48 KiB).
    // A search up from a leaf of a tree of a thousand million nodes meets about 60; one
    // that meets thousands goes on in its own map, whose growth its work then repays.
    static constexpr std::uint32_t kReusedIds = 2048;
    // The table a thread starts with: 128 slots (1.5 KiB), 64 ids at the load limit of
    // one half, enough for such a leaf's search without growing.
    static constexpr std::size_t kFirstSlots = 128;

    Table* table_ = nullptr;  // the thread's table while this search uses it
    std::uint32_t live_ = 0;  // ids this search holds in it
    NodeMap<std::uint8_t> own_;

    std::uint8_t& reused_ref(Idx key) {
        std::vector<Slot>& slots = table_->slots;
        const std::size_t mask = slots.size() - 1;
        const unsigned shift = unsigned(64 - std::countr_zero(slots.size()));
        for (std::size_t i = fibonacci_home(key, shift);; i = (i + 1) & mask) {
            Slot& slot = slots[i];
            if (slot.stamp != table_->stamp) {  // free for this search: the key is not held
                if (2 * (std::size_t(live_) + 1) > slots.size()) [[unlikely]]
                    return grown_ref(key);
                slot = {key, table_->stamp, 0};
                ++live_;
                return slot.value;
            }
            if (slot.key == key) return slot.value;
        }
    }
    // Adds `key` after doubling the table, or after moving to own_ past kReusedIds.
    [[gnu::noinline]] std::uint8_t& grown_ref(Idx key);
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

// A growable array whose first N entries live in the object itself, so that a search
// that meets a handful of nodes takes no allocation; past them the entries move to a
// doubling array on the heap.  Entries are trivially copyable.  Growing either succeeds
// or throws std::bad_alloc with the array as it was.  Not movable: it points into itself.
template <class T, std::size_t N>
class InlineVector {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    InlineVector() = default;
    InlineVector(const InlineVector&) = delete;
    InlineVector& operator=(const InlineVector&) = delete;

    bool empty() const { return size_ == 0; }
    std::size_t size() const { return size_; }
    const T* data() const { return data_; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    T& back() { return data_[size_ - 1]; }
    const T& back() const { return data_[size_ - 1]; }
    operator std::span<const T>() const { return {data_, size_}; }

    void pop_back() { --size_; }
    void push_back(const T& v) {
        if (size_ == cap_) [[unlikely]]
            grow(size_ + 1);
        data_[size_++] = v;
    }
    void append(std::span<const T> more) {
        if (more.size() > cap_ - size_) [[unlikely]]
            grow(size_ + more.size());
        std::copy(more.begin(), more.end(), data_ + size_);
        size_ += more.size();
    }
    // Drops the entries from `n` on (n at most size()).
    void truncate(std::size_t n) { size_ = n; }

private:
    T inline_[N];
    T* data_ = inline_;
    std::size_t size_ = 0;
    std::size_t cap_ = N;
    std::unique_ptr<T[]> heap_;

    // The new block is not initialised: only the entries copied in are written, so a
    // path of millions of frames is written once per doubling, not twice.
    [[gnu::noinline]] void grow(std::size_t need) {
        const std::size_t cap = std::max(need, 2 * cap_);
        auto more = std::make_unique_for_overwrite<T[]>(cap);
        std::copy(data_, data_ + size_, more.get());
        heap_ = std::move(more);
        data_ = heap_.get();
        cap_ = cap;
    }
};

// The stack of a depth-first search over node ids: 32 entries, 128 bytes, on the
// caller's stack.  A walk keeps on it the links of the nodes on its path not yet taken,
// about one per level of a binary tree, so a search over a few thousand nodes of such a
// graph (depth a dozen) and every search of a handful of nodes needs no allocation; the
// hashes and copies of small graphs, called millions of times by the glue search, are of
// that kind.
using IdStack = InlineVector<Idx, 32>;

// Scan while short, a set when long: the one rule of the membership tests over lists of
// ids (the path of a climb, the list of one node, the ids a caller hands in).  A list of
// up to the limit is scanned at each question; a longer one is put into a set once and
// the set is asked.  The limit is where a scan stops being cheaper than one probe of the
// set that takes over, measured with random ids, half of them members (tests of that
// kind, on a busy 2-core machine, ns per question):
//
//      ids in the list        4     8    12    16    24    32    48    64
//      scan                 6.7   7.4   8.3  10.8  12.9  14.7  20.5  23.3
//      U64Set probe         5.3   6.5   5.8   7.6   9.4   9.9   9.3  10.1
//      NodeSet probe        6.4   7.7   8.8  10.4  10.6  11.1  10.5  11.4
//
// so one limit per kind of set.  The set is built once per list (a climb's path once per
// search, a caller's ids once per call, a node's list once per node, before the questions
// about its links), which the questions asked of it repay.
struct ScanLimit {
    // Against a node set or map (NodeSet, StampedSet: a sparse table or a flat array over
    // the graph's ids): a scan of 16 costs one probe, of 24 already a fifth more.
    static constexpr std::size_t kBeforeNodeSet = 16;
    // Against a U64Set (one hashed probe of a table of 64-bit values): a scan of 8 costs
    // one probe, of 16 two fifths more.
    static constexpr std::size_t kBeforeU64Set = 8;
    // Against a set that one call would first have to allocate and fill (a merge's lists):
    // up to 16 ids searched in a list of up to 4 * 16 make at most 16 * (64 + 16)
    // comparisons of ids in cache, less than allocating and filling the set costs.
    static constexpr std::size_t kBeforeBuiltSet = 16;
};

// The nodes on a depth-first search path, in path order, each at most once and each with
// a cursor (the next of its links that the search takes), and a membership test: a scan
// while the path is short, a NodeSet once it grows deep.  The entries of a short path
// live in the object, so that a search which stays shallow (a climb of a few levels,
// asked once per cut by cross_sections) takes no allocation.
class SearchPath {
public:
    explicit SearchPath(std::uint64_t bound) : bound_(bound) {}

    bool empty() const { return path_.empty(); }
    NodeId back() const { return path_.back().node; }
    Idx& cursor() { return path_.back().cursor; }
    bool contains(NodeId id) const {
        if (deep_) return deep_->contains(id);
        for (std::size_t i = 0; i < path_.size(); ++i)
            if (path_[i].node == id) return true;
        return false;
    }
    // Adds `id` with its cursor at 0.
    void push(NodeId id) {
        path_.push_back({Idx(id), 0});
        if (deep_)
            deep_->insert(id);
        else if (path_.size() > ScanLimit::kBeforeNodeSet) [[unlikely]]
            go_deep();
    }
    void pop() {
        if (deep_) deep_->erase(path_.back().node);
        path_.pop_back();
    }

private:
    struct Entry {
        Idx node;
        Idx cursor;
    };
    std::uint64_t bound_;
    // As many entries in the object as the scan takes: a path that outgrows them turns
    // to its set at the same time.
    InlineVector<Entry, ScanLimit::kBeforeNodeSet> path_;
    std::unique_ptr<NodeSet> deep_;

    void go_deep();  // the path has grown past the scan: its nodes go into a NodeSet
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
        marked_ = list.size() > ScanLimit::kBeforeNodeSet;
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
    [[gnu::noinline]] std::size_t mark(std::span<const Idx> list, Poll& poll);

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
        if (2 * (count_ + 1) > slots_.size()) [[unlikely]]
            grow();
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
    void reserve(std::size_t n);

private:
    static constexpr std::uint64_t kEmpty = 0;
    // The first table: 64 slots (512 bytes) hold 32 values at the load limit of one half,
    // which most sets of a call (the ids of one call, the cuts of a small leaf) never
    // pass; a larger one doubles.
    static constexpr std::size_t kFirstSlots = 64;
    // Zeroed storage from calloc: a large table comes as fresh zero pages, touched as
    // the values go in rather than all at once before the first, which for a table of
    // millions of slots is a pause of its own.
    class Slots {
    public:
        Slots() = default;
        explicit Slots(std::size_t n);
        Slots(const Slots&) = delete;
        Slots& operator=(const Slots&) = delete;
        ~Slots();
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
        std::uint64_t* p_ = nullptr;
        std::size_t n_ = 0;
    };
    static_assert(kEmpty == 0, "calloc's zeroes are the empty slots");

    Slots slots_;
    std::size_t mask_ = 0;
    unsigned shift_ = 64;
    std::size_t count_ = 0;
    bool has_empty_ = false;

    std::size_t home(std::uint64_t x) const { return fibonacci_home(x, shift_); }
    void grow();
    void grow(std::size_t cap);
};

// A set of ids that a caller hands in, any 64-bit values (they are never range-checked):
// a scan while the list is short, a U64Set once it is long.  The list must outlive the
// set.
class IdSet {
public:
    explicit IdSet(std::span<const NodeId> ids);
    // The same, polling while a long list is taken in (room for all of it first, so that
    // no rehash of millions of entries comes between two checks).
    IdSet(std::span<const NodeId> ids, Poll& poll);

    bool contains(NodeId id) const {
        if (hashed_) [[unlikely]]
            return set_.contains(id);
        for (NodeId x : ids_)
            if (x == id) return true;
        return false;
    }

private:
    std::span<const NodeId> ids_;
    bool hashed_;
    U64Set set_;
};

}  // namespace quill
