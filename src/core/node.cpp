// The rare edit of a node's list: replacing its contents at once.
#include "node.hpp"

namespace quill {

void ListRef::assign(Arena& arena, std::span<const Idx> v) const {
    if (v.size() > kMaxListSize) throw std::bad_alloc();
    const std::uint32_t n = std::uint32_t(v.size()), old = size();
    if (n <= cap) {
        // The new contents fit in the node; a block the list had is handed back.  Words
        // of the node that the list leaves unused read 0.
        if (old > cap) arena.give_block(offset(), size_class(old, cap));
        Idx* in = in_node();
        in[0] = n ? v[0] : 0;
        if (cap == kChildrenCap) in[1] = n == 2 ? v[1] : 0;
        set_size(n);
        return;
    }
    const unsigned from = size_class(old, cap), to = size_class(n, cap);
    if (to > from) {
        // A larger block is taken before the old one is handed back.
        const Idx off = arena.take_block(to);
        if (from) arena.give_block(offset(), from);
        if (cap == kChildrenCap) in_node()[1] = 0;
        offset() = off;
    } else if (to < from) {
        arena.shrink_block(offset(), from, to);
    }
    std::memcpy(arena.data() + offset(), v.data(), v.size() * sizeof(Idx));
    set_size(n);
}

}  // namespace quill
