// Many short lists kept in a few large blocks: the results of the long searches.
//
// A search that stops half way (cancelled, or out of memory) drops what it has found so
// far; with one vector per list, millions of them, that release alone took seconds.
// Here the entries of all lists sit one after another in blocks of up to kBlock entries,
// and the lists are described by an index kept in blocks too, so that releasing tens of
// millions of lists frees a few thousand blocks.  No block grows past its limit, so
// adding a list never copies more than one block's worth of entries.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quill {

template <class T>
class FlatLists {
    // Entries of trivially copyable type, copied in with memcpy and never initialised
    // before: the copy of a short list is a few instructions.
    static_assert(std::is_trivially_copyable_v<T>);
    class Block {
    public:
        std::size_t size() const { return size_; }
        std::size_t capacity() const { return cap_; }
        bool empty() const { return size_ == 0; }
        const T* data() const { return data_.get(); }
        void reserve(std::size_t cap) {
            if (cap <= cap_) return;
            auto fresh = std::make_unique_for_overwrite<T[]>(cap);
            if (size_) std::memcpy(fresh.get(), data_.get(), size_ * sizeof(T));
            data_ = std::move(fresh);
            cap_ = cap;
        }
        // Within the capacity.
        void append(const T* from, std::size_t n) {
            if (n) std::memcpy(data_.get() + size_, from, n * sizeof(T));
            size_ += n;
        }

    private:
        std::unique_ptr<T[]> data_;
        std::size_t size_ = 0, cap_ = 0;
    };

public:
    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }

    // List i, valid until the next push_back.
    std::span<const T> operator[](std::size_t i) const {
        const std::size_t b = i >> kIndexShift;
        const Entry& e = (b == 0 ? index_ : more_index_[b - 1])[i & kIndexMask];
        return {block(e.block).data() + e.offset, std::size_t(e.size)};
    }

    // Appends a copy of `list`.  Either succeeds or throws std::bad_alloc with the lists
    // as they were.
    void push_back(std::span<const T> list) { add(list, nullptr); }
    // The same with one more entry after those of `list`.
    void push_back(std::span<const T> list, const T& tail) { add(list, &tail); }

    friend bool operator==(const FlatLists& a, const FlatLists& b) {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i)
            if (!std::ranges::equal(a[i], b[i])) return false;
        return true;
    }

    // Entries of one block: 2**20, 4 MiB of ids (two huge pages), 8 MiB of the 8-byte
    // positions of conditions.  Large enough that a result of a billion entries is a
    // thousand blocks (its release a few thousand frees), small enough that the copy a
    // growing block makes, at most one block, is a millisecond or so.
    static constexpr std::size_t kBlock = std::size_t(1) << 20;

private:
    void add(std::span<const T> list, const T* tail) {
        // While the first blocks have room: no allocation, and nothing that can fail.
        const std::size_t n = list.size() + (tail != nullptr);
        if (more_items_.empty() && items_.size() + n <= items_.capacity() &&
            index_.size() < index_.capacity()) [[likely]] {
            index_.push_back(Entry{0, std::uint32_t(items_.size()), n});
            items_.append(list.data(), list.size());
            if (tail) items_.append(tail, 1);
            ++count_;
            return;
        }
        add_growing(list, tail);
    }

    [[gnu::noinline]] void add_growing(std::span<const T> list, const T* tail) {
        const std::size_t n = list.size() + (tail != nullptr);
        // Room first: the index slot and the entries.
        const std::size_t b = count_ >> kIndexShift;
        if (b > more_index_.size()) {
            room(more_index_, 1, ~std::size_t(0));
            more_index_.emplace_back();
        }
        std::vector<Entry>& slots = b == 0 ? index_ : more_index_.back();
        room(slots, 1, std::size_t(1) << kIndexShift);
        Block* last = more_items_.empty() ? &items_ : &more_items_.back();
        if (!last->empty() && last->size() + n > kBlock) {
            room(more_items_, 1, ~std::size_t(0));
            more_items_.emplace_back();
            last = &more_items_.back();
            // The first block grows from small, so that a short result costs little;
            // once it is full the next ones are taken whole.
            full_block(*last, n);
        }
        room(*last, n, kBlock);
        // Nothing below can fail.
        const Entry e{std::uint32_t(more_items_.size()), std::uint32_t(last->size()), n};
        last->append(list.data(), list.size());
        if (tail) last->append(tail, 1);
        slots.push_back(e);
        ++count_;
    }

    // Lists described by one index block: 2**16, 1 MiB of 16-byte entries, for the same
    // reasons as kBlock at the index's size per list.
    static constexpr unsigned kIndexShift = 16;
    static constexpr std::size_t kIndexMask = (std::size_t(1) << kIndexShift) - 1;

    // Room for `more` entries in `v`, doubling its capacity up to `limit` (or exactly what
    // one list beyond the limit needs).
    template <class V>
    static void room(V& v, std::size_t more, std::size_t limit) {
        const std::size_t need = v.size() + more;
        if (need <= v.capacity()) return;
        v.reserve(std::max(need, std::min(std::max<std::size_t>(8, 2 * v.capacity()), limit)));
    }

    // Room for a whole block (or one list longer than that) in the empty `v`.  Its pages
    // are offered to the kernel as huge pages: a result of gigabytes is then released in
    // a fraction of the time that its small pages would take to unmap.
    static void full_block(Block& v, std::size_t n) {
        v.reserve(std::max(n, kBlock));
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        constexpr std::uintptr_t kHuge = std::uintptr_t(2) << 20;
        const auto at = reinterpret_cast<std::uintptr_t>(v.data());
        const std::uintptr_t from = (at + kHuge - 1) & ~(kHuge - 1);
        const std::uintptr_t to = (at + v.capacity() * sizeof(T)) & ~(kHuge - 1);
        if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
#endif
    }

    const Block& block(std::uint32_t b) const { return b == 0 ? items_ : more_items_[b - 1]; }

    // Where a list stands: its block, its first entry in the block (a block holds at most
    // kBlock entries, or one list alone from entry 0), its length.
    struct Entry {
        std::uint32_t block;
        std::uint32_t offset;
        std::uint64_t size;
    };

    // The first block of entries and of the index, then the others: a short result takes
    // two allocations.
    Block items_;
    std::vector<Entry> index_;
    std::vector<Block> more_items_;
    std::vector<std::vector<Entry>> more_index_;  // full index blocks but the last
    std::size_t count_ = 0;
};

}  // namespace quill
