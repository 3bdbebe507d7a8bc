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
#include <span>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quill {

template <class T>
class FlatLists {
public:
    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }

    // List i, valid until the next push_back.
    std::span<const T> operator[](std::size_t i) const {
        const Entry& e = index_[i >> kIndexShift][i & kIndexMask];
        return {items_[e.block].data() + e.offset, std::size_t(e.size)};
    }

    // Appends a copy of `list`.  Either succeeds or throws std::bad_alloc with the lists
    // as they were.
    void push_back(std::span<const T> list) {
        const std::size_t n = list.size();
        // Room first: the index slot and the entries.
        if ((count_ >> kIndexShift) == index_.size()) {
            index_.reserve(index_.size() + 1);
            index_.emplace_back();
        }
        std::vector<Entry>& slots = index_.back();
        room(slots, 1, std::size_t(1) << kIndexShift);
        if (items_.empty() || (!items_.back().empty() && items_.back().size() + n > kBlock)) {
            items_.reserve(items_.size() + 1);
            items_.emplace_back();
            // The first block grows from small, so that a short result costs little;
            // once one block is full the next ones are taken whole.
            if (items_.size() > 1) full_block(items_.back(), n);
        }
        std::vector<T>& block = items_.back();
        room(block, n, kBlock);
        // Nothing below can fail.
        const Entry e{std::uint32_t(items_.size() - 1), block.size(), n};
        block.insert(block.end(), list.begin(), list.end());
        slots.push_back(e);
        ++count_;
    }

    friend bool operator==(const FlatLists& a, const FlatLists& b) {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i)
            if (!std::ranges::equal(a[i], b[i])) return false;
        return true;
    }

    static constexpr std::size_t kBlock = std::size_t(1) << 20;  // entries of one block

private:
    static constexpr unsigned kIndexShift = 16;  // lists described by one index block
    static constexpr std::size_t kIndexMask = (std::size_t(1) << kIndexShift) - 1;

    // Room for `more` entries in `v`, doubling its capacity up to `limit` (or exactly what
    // one list beyond the limit needs).
    template <class V>
    static void room(V& v, std::size_t more, std::size_t limit) {
        const std::size_t need = v.size() + more;
        if (need <= v.capacity()) return;
        v.reserve(std::max(need, std::min(std::max<std::size_t>(64, 2 * v.capacity()), limit)));
    }

    // Room for a whole block (or one list longer than that) in the empty `v`.  Its pages
    // are offered to the kernel as huge pages: a result of gigabytes is then released in
    // a fraction of the time that its small pages would take to unmap.
    static void full_block(std::vector<T>& v, std::size_t n) {
        v.reserve(std::max(n, kBlock));
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        constexpr std::uintptr_t kHuge = std::uintptr_t(2) << 20;
        const std::uintptr_t from = (reinterpret_cast<std::uintptr_t>(v.data()) + kHuge - 1) & ~(kHuge - 1);
        const std::uintptr_t to = (reinterpret_cast<std::uintptr_t>(v.data() + v.capacity())) & ~(kHuge - 1);
        if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
#endif
    }

    struct Entry {
        std::uint32_t block;
        std::size_t offset;
        std::size_t size;
    };

    std::vector<std::vector<T>> items_;
    std::vector<std::vector<Entry>> index_;  // full blocks of 1 << kIndexShift, then the last
    std::size_t count_ = 0;
};

}  // namespace quill
