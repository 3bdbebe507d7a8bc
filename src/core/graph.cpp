#include "graph.hpp"

#include <algorithm>

#ifdef QUILL_FAULT_INJECTION
#include <malloc.h>
#endif

namespace quill {

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
    std::uint64_t ncap = cap_ ? cap_ * 2 : 64;
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
        if (c > 31) c = 31;
        push_free(from, c);
        from += size_of(c);
    }
}

bool Arena::merge_free() {
    // One bit per two entries (every block starts at an even offset): where a free block
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
    // Merging can only help when the free entries could hold the block; it is worth a
    // pass once an eighth of the arena has been handed back since the last one.
    if (free_ >= n && freed_ >= std::max(n, (used_ - kHeads) / 8) && merge_free()) {
        if (avail_ >> k & 1u) return pop_free(k);
        if (split_for(k, off)) return off;
    }
    // From the end; growing either succeeds or leaves the arena as it was.
    room(n);
    off = Idx(used_);
    used_ += n;
    return off;
}

std::string Arena::audit(std::vector<Block> held) const {
    auto fail = [](const char* what, std::uint64_t off) {
        return std::string(what) + " (offset " + std::to_string(off) + ")";
    };
    if (!cap_) {
        if (!held.empty()) return "lists in an arena that does not exist";
        return avail_ || used_ || free_ ? "an empty arena with counts" : "";
    }
    if (used_ < kHeads || used_ > cap_ || cap_ > kMaxArena) return fail("used past capacity", used_);
    if (data_[0] != 0) return "entry 0 is not 0";
    // The free lists: each block inside the arena with its class recorded, and each list
    // no longer than the arena has room for (no cycle).
    std::vector<Block> all = std::move(held);
    std::uint64_t free_entries = 0;
    for (unsigned k = 1; k < kHeads; ++k) {
        if (bool(avail_ >> k & 1u) != (data_[k] != 0)) return fail("mask disagrees with the free list", k);
        std::uint64_t steps = 0;
        for (std::uint64_t off = data_[k]; off; off = data_[off]) {
            if (++steps > (used_ - kHeads) / size_of(k)) return fail("free list runs in a cycle", k);
            if (off < kHeads || off + size_of(k) > used_) return fail("free block outside the arena", off);
            if (data_[off + 1] != k) return fail("free block records another class", off);
            all.push_back({off, k, true, 0});
            free_entries += size_of(k);
        }
    }
    if (free_entries != free_) return "count of free entries is wrong";
    // Held and free blocks tile [kHeads, used_) exactly.
    std::sort(all.begin(), all.end(), [](const Block& a, const Block& b) { return a.off < b.off; });
    std::uint64_t at = kHeads;
    for (const Block& b : all) {
        if (b.k < 1 || b.k > 31) return fail("block of no class", b.off);
        if (b.off < at) return fail(b.free ? "free block overlaps another" : "held block overlaps another", b.off);
        if (b.off > at) return fail("entries in no block", at);
        at = b.off + size_of(b.k);
    }
    if (at != used_) return fail("blocks do not reach the end", at);
    return "";
}

void Graph::grow() {
    if (size_ >= kMaxNodes) throw std::bad_alloc();
    std::uint64_t ncap = cap_ ? cap_ * 2 : 8;
    if (ncap > kMaxNodes) ncap = kMaxNodes;
    reserve(ncap);
}

void Graph::reserve(std::uint64_t n) {
    if (n <= cap_) return;
    if (n > kMaxNodes) throw std::bad_alloc();
    // Nodes are plain data, so realloc may move them; for large arrays it remaps pages
    // instead of copying them.  Only the pages that nodes are written to become resident.
    void* block = block_resize(static_cast<void*>(nodes_), n * sizeof(Node));
    if (!block) throw std::bad_alloc();
    nodes_ = static_cast<Node*>(block);
    cap_ = n;
}

namespace {

// Room for `extra` more entries in a side list.  Capacity grows geometrically, so that
// appending to one list again and again stays amortised constant-time.
void reserve_more(std::vector<Idx>& v, std::uint64_t extra) {
    const std::uint64_t want = std::uint64_t(v.size()) + extra;
    if (want <= v.capacity()) return;
    if (want > kMaxListSize) throw std::bad_alloc();
    v.reserve(std::max<std::uint64_t>(want, 2 * std::uint64_t(v.capacity())));
}

std::uint64_t shortfall(std::size_t have, std::size_t want) { return want > have ? want - have : 0; }

// Arena entries that growing a list of `size` entries, `cap` of which its node holds, by
// `extra`, one push at a time, may take: a new block for every size class it passes into
// (the first is the one that takes the list out of the node).  Throws std::bad_alloc when
// the list would pass kMaxListSize.
std::uint64_t arena_need(std::uint64_t size, std::uint64_t extra, std::uint64_t cap) {
    if (extra > kMaxListSize - size) throw std::bad_alloc();
    std::uint64_t need = 0;
    const unsigned first = std::max(size_class(size, cap) + 1, size_class(cap + 1, cap));
    for (unsigned k = first, last = size_class(size + extra, cap); k <= last; ++k)
        need += std::uint64_t(1) << k;
    return need;
}

// Arena entries of the block of a list of `size` entries, `cap` of which its node holds.
std::uint64_t block_size(std::uint64_t size, std::uint64_t cap) {
    return size <= cap ? 0 : std::bit_ceil(size);
}

std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ull;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

}  // namespace

std::uint32_t Graph::side_index(NodeId id) const {
    // The node's flag says that its id is in the table, so the probe ends there.
    const std::size_t mask = side_slots_.size() - 1;
    for (std::size_t i = mix(id) & mask;; i = (i + 1) & mask)
        if (side_slots_[i].node == id) return side_slots_[i].record;
}

void Graph::reserve_side(std::uint64_t more) {
    // At most one record per node, so their count stays below kMaxNodes.
    const std::uint64_t want = side_.size() + more;
    if (want > side_.capacity())
        side_.reserve(std::max<std::uint64_t>(want, 2 * std::uint64_t(side_.capacity())));
    if (2 * want <= side_slots_.size()) return;
    std::size_t cap = 16;
    while (cap < 2 * want) cap <<= 1;
    std::vector<SideSlot> slots(cap, SideSlot{kNone, 0});
    for (const SideSlot& s : side_slots_) {
        if (s.node == kNone) continue;
        std::size_t i = mix(s.node) & (cap - 1);
        while (slots[i].node != kNone) i = (i + 1) & (cap - 1);
        slots[i] = s;
    }
    side_slots_.swap(slots);
}

void Graph::attach_side(NodeId id, SideRecord&& rec) {
    side_.push_back(std::move(rec));
    const std::size_t mask = side_slots_.size() - 1;
    std::size_t i = mix(id) & mask;
    while (side_slots_[i].node != kNone) i = (i + 1) & mask;
    side_slots_[i] = {Idx(id), Idx(side_.size() - 1)};
    nodes_[id].set_side();
}

void Graph::make_room(std::span<const Growth> growths) {
    // Arena room for every list that grows is counted first and taken after the side
    // records; side records that do not exist yet are built aside, with room in their
    // lists, and attached only after every other block is in place.  Attaching cannot fail.
    std::uint64_t need = 0;
    std::vector<std::pair<NodeId, SideRecord>> fresh;
    for (const Growth& w : growths) {
        const Node& n = nodes_[w.id];
        bool side_needed = w.parent && !n.owns_parent();
        for (Field f : kFields) {
            if (!w.count(f)) continue;
            if (n.owns(f))
                need += arena_need(n.own_size(f), w.count(f), Node::cap_of(f));
            else
                side_needed = true;
        }
        if (!side_needed) continue;
        SideRecord& rec = n.has_side() ? side_of(w.id) : fresh.emplace_back(w.id, SideRecord{}).second;
        for (Field f : kFields)
            if (w.count(f) && !n.owns(f)) reserve_more(rec.list(f), w.count(f));
    }
    if (!fresh.empty()) reserve_side(fresh.size());
    if (need) arena_.reserve(need);
    for (auto& [id, rec] : fresh) attach_side(id, std::move(rec));
}

void Graph::push(NodeId id, Field f, Idx v) {
    if (nodes_[id].owns(f)) return push_list(nodes_[id].own(f), v);
    make_room({Growth::of(id, f, 1)});
    side_of(id).list(f).push_back(v);
}

void Graph::clear(NodeId id, Field f) {
    Node& n = nodes_[id];
    if (n.owns(f))
        clear_list(n.own(f));
    else if (n.has_side())
        side_of(id).list(f).clear();
}

void Graph::assign_list(ListRef h, std::span<const Idx> v) {
    if (v.size() > kMaxListSize) throw std::bad_alloc();
    const std::uint32_t n = std::uint32_t(v.size()), old = h.size();
    if (n <= h.cap) {
        // The new contents fit in the node; a block the list had is handed back.  Words
        // of the node that the list leaves unused read 0.
        if (old > h.cap) arena_.give_block(h.offset(), size_class(old, h.cap));
        Idx* in = h.in_node();
        in[0] = n ? v[0] : 0;
        if (h.cap == 2) in[1] = n == 2 ? v[1] : 0;
        h.set_size(n);
        return;
    }
    const unsigned from = size_class(old, h.cap), to = size_class(n, h.cap);
    if (to > from) {
        // A larger block is taken before the old one is handed back.
        const Idx off = arena_.take_block(to);
        if (from) arena_.give_block(h.offset(), from);
        if (h.cap == 2) h.in_node()[1] = 0;
        h.offset() = off;
    } else if (to < from) {
        arena_.shrink_block(h.offset(), from, to);
    }
    std::memcpy(arena_.data() + h.offset(), v.data(), v.size() * sizeof(Idx));
    h.set_size(n);
}

// A side list is given its new contents only once it has room for them.
void Graph::assign(NodeId id, Field f, std::span<const Idx> v) {
    Node& n = nodes_[id];
    if (n.owns(f)) return assign_list(n.own(f), v);
    if (v.empty() && !n.has_side()) return;
    make_room({Growth::of(id, f, shortfall(list(id, f).size(), v.size()))});
    side_of(id).list(f).assign(v.begin(), v.end());
}

std::span<Idx> Graph::list_mut(NodeId id, Field f) {
    Node& n = nodes_[id];
    if (n.owns(f)) return view_mut(n.own(f));
    if (!n.has_side()) return {};
    std::vector<Idx>& v = side_of(id).list(f);
    return {v.data(), v.size()};
}

void Graph::set_parent(NodeId id, Idx v) {
    Node& n = nodes_[id];
    if (n.owns_parent()) {
        n.own_parent() = v;
        return;
    }
    if (!n.has_side()) {
        if (v == kNone) return;
        make_room({{.id = id, .parent = true}});
    }
    side_of(id).parent = v;
}

void Graph::connect_op_to_value_any(NodeId op, NodeId val) {
    if (op == val)
        make_room({{.id = op, .parents = 1, .children = 1}});
    else
        make_room({{.id = op, .children = 1}, {.id = val, .parents = 1}});
    push(op, Field::Children, Idx(val));
    push(val, Field::Parents, Idx(op));
}

void Graph::connect_value_to_op_any(NodeId val, NodeId op) {
    if (val == op)
        make_room({{.id = val, .options = 1, .parent = true}});
    else
        make_room({{.id = val, .options = 1}, {.id = op, .parent = true}});
    push(val, Field::Options, Idx(op));
    set_parent(op, Idx(val));
}

namespace {

void map_into(std::vector<Idx>& dst, const std::vector<Idx>& src, const Idx* map) {
    dst.resize(src.size());
    for (std::size_t i = 0; i < src.size(); ++i) dst[i] = map[src[i]];
}

}  // namespace

NodeId Graph::append_mapped_any(const Graph& src, NodeId id, const Idx* map) {
    // Every block the copy needs (a node slot, arena room for its lists, its side record)
    // is taken before the node is written; writing it then cannot fail.  The copy starts
    // as the source node itself (kind, payload, list sizes, side flag) and has its links
    // rewritten, so each field goes to the same storage as there.
    if (size_ == cap_) grow();
    const Node& s = src.nodes_[id];
    const bool op = s.is_op();
    const Field primary = op ? Field::Children : Field::Parents;
    const std::uint32_t cp = Node::cap_of(primary);
    const std::uint32_t np = s.own_size(primary), ns = op ? 0 : s.own_size(Field::Options);
    if (np > cp || ns > 1) arena_.reserve(block_size(np, cp) + block_size(ns, 1));
    SideRecord rec;
    if (s.has_side()) [[unlikely]] {
        const SideRecord& from = src.side_of(id);
        for (Field f : kFields) map_into(rec.list(f), from.list(f), map);
        rec.parent = from.parent == kNone ? kNone : map[from.parent];
        reserve_side(1);
    }
    // The links the node holds itself are rewritten with it; a list in the arena gets a
    // block of its own.
    Node d = s.mapped(map);
    auto map_block = [&](unsigned word, std::uint32_t n, std::uint32_t cap) {
        const Idx off = arena_.take_block(size_class(n, cap));
        d.w[word + 1] = off;
        Idx* out = arena_.data() + off;
        const Idx* in = src.arena_.data() + s.w[word + 1];
        for (std::uint32_t i = 0; i < n; ++i) out[i] = map[in[i]];
    };
    if (np > cp) map_block(Node::kPrimary, np, cp);
    if (ns > 1) map_block(Node::kOptions, ns, 1);
    new (nodes_ + size_) Node(d);
    if (s.has_side()) [[unlikely]]
        attach_side(size_, std::move(rec));
    return size_++;
}

std::string Graph::check_integrity() const {
    // Every list a node keeps in the arena holds one block of its size class; the arena
    // checks that those blocks and its free ones tile it.
    std::vector<Arena::Block> held;
    for (NodeId id = 0; id < size_; ++id) {
        const Node& n = nodes_[id];
        for (Field f : kFields) {
            if (!n.owns(f)) continue;
            const std::uint32_t s = n.own_size(f), cap = Node::cap_of(f);
            if (s > kMaxListSize) return "list size past its limit at node " + std::to_string(id);
            if (s > cap) held.push_back({n.w[Node::word_of(f) + 1], size_class(s, cap), false, id});
        }
    }
    const std::uint64_t cap = arena_.capacity();
    for (const Arena::Block& b : held)
        if (b.off < Arena::kHeads || b.off + (std::uint64_t(1) << b.k) > arena_.used() || cap == 0)
            return "list block of node " + std::to_string(b.owner) + " outside the arena";
    return arena_.audit(std::move(held));
}

}  // namespace quill
