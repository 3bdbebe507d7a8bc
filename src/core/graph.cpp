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

Idx* IdxList::grow(std::uint64_t want) {
    // Checked in 64 bits: a full list of kMaxListSize entries must not wrap to empty.
    if (want > kMaxListSize) throw std::bad_alloc();
    std::uint64_t ncap = cap;
    while (ncap < want) ncap *= 2;
    if (ncap > kMaxListSize) ncap = kMaxListSize;
    void* block = block_resize(on_heap() ? heap : nullptr, ncap * sizeof(Idx));
    if (!block) throw std::bad_alloc();
    if (!on_heap()) std::memcpy(block, inl, size * sizeof(Idx));
    heap = static_cast<Idx*>(block);
    cap = Idx(ncap);
    return heap;
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
    // Nodes are plain data apart from the heap blocks they own, so realloc may move them;
    // for large arrays it remaps pages instead of copying them.
    void* block = block_resize(static_cast<void*>(nodes_), n * sizeof(Node));
    if (!block) throw std::bad_alloc();
    nodes_ = static_cast<Node*>(block);
    cap_ = n;
}

void Graph::destroy() {
    for (std::uint64_t i = 0; i < size_; ++i) nodes_[i].release();
    block_free(static_cast<void*>(nodes_));
    nodes_ = nullptr;
    size_ = cap_ = 0;
    side_.clear();
}

namespace {

// Most side records a graph can hold: their index + 1 is kept in 31 bits of a node.
constexpr std::uint64_t kMaxSideRecords = 0x7FFFFFFFu;

// Room for `extra` more entries in a side list.  Capacity grows geometrically, so that
// appending to one list again and again stays amortised constant-time.
void reserve_more(std::vector<Idx>& v, std::uint64_t extra) {
    const std::uint64_t want = std::uint64_t(v.size()) + extra;
    if (want <= v.capacity()) return;
    if (want > kMaxListSize) throw std::bad_alloc();
    v.reserve(std::max<std::uint64_t>(want, 2 * std::uint64_t(v.capacity())));
}

std::uint64_t shortfall(std::size_t have, std::size_t want) { return want > have ? want - have : 0; }

}  // namespace

void Graph::reserve_side(std::uint64_t more) {
    const std::uint64_t want = side_.size() + more;
    if (want > kMaxSideRecords) throw std::bad_alloc();
    if (want > side_.capacity())
        side_.reserve(std::max<std::uint64_t>(want, 2 * std::uint64_t(side_.capacity())));
}

void Graph::attach_side(Node& n, SideRecord&& rec) {
    side_.push_back(std::move(rec));
    n.set_side(std::uint32_t(side_.size()));
}

void Graph::make_room(std::span<const Growth> growths) {
    // Side records that do not exist yet are built aside, with room in their lists, and
    // attached only after every other block is in place; attaching cannot fail.
    std::vector<std::pair<NodeId, SideRecord>> fresh;
    for (const Growth& w : growths) {
        Node& n = nodes_[w.id];
        bool side_needed = w.parent && !n.owns_parent();
        for (Field f : kFields) {
            if (!w.count(f)) continue;
            if (n.owns(f))
                n.own(f).reserve_more(w.count(f));
            else
                side_needed = true;
        }
        if (!side_needed) continue;
        SideRecord& rec = n.side() ? side_of(n) : fresh.emplace_back(w.id, SideRecord{}).second;
        for (Field f : kFields)
            if (w.count(f) && !n.owns(f)) reserve_more(rec.list(f), w.count(f));
    }
    if (fresh.empty()) return;
    reserve_side(fresh.size());
    for (auto& [id, rec] : fresh) attach_side(nodes_[id], std::move(rec));
}

void Graph::push(NodeId id, Field f, Idx v) {
    if (nodes_[id].owns(f)) return nodes_[id].own(f).push(v);
    make_room({Growth::of(id, f, 1)});
    side_of(nodes_[id]).list(f).push_back(v);
}

void Graph::clear(NodeId id, Field f) {
    Node& n = nodes_[id];
    if (n.owns(f))
        n.own(f).clear();
    else if (n.side())
        side_of(n).list(f).clear();
}

// A side list is given its new contents only once it has room for them.
void Graph::assign(NodeId id, Field f, std::span<const Idx> v) {
    Node& n = nodes_[id];
    if (n.owns(f)) return n.own(f).assign(v);
    if (v.empty() && !n.side()) return;
    make_room({Growth::of(id, f, shortfall(list(id, f).size(), v.size()))});
    side_of(n).list(f).assign(v.begin(), v.end());
}

std::span<Idx> Graph::list_mut(NodeId id, Field f) {
    Node& n = nodes_[id];
    if (n.owns(f)) return n.own(f).view_mut();
    if (!n.side()) return {};
    std::vector<Idx>& v = side_of(n).list(f);
    return {v.data(), v.size()};
}

void Graph::set_parent(NodeId id, Idx v) {
    Node& n = nodes_[id];
    if (n.owns_parent()) {
        n.own_parent() = v;
        return;
    }
    if (!n.side()) {
        if (v == kNone) return;
        make_room({{.id = id, .parent = true}});
    }
    side_of(n).parent = v;
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

// Fills an empty list with `src` rewritten through `map`.
void map_into(IdxList& dst, std::span<const Idx> src, const Idx* map) {
    if (src.empty()) return;
    dst.reserve(src.size());
    Idx* out = dst.data();
    for (std::size_t i = 0; i < src.size(); ++i) out[i] = map[src[i]];
    dst.size = Idx(src.size());
}

void map_into(std::vector<Idx>& dst, const std::vector<Idx>& src, const Idx* map) {
    dst.resize(src.size());
    for (std::size_t i = 0; i < src.size(); ++i) dst[i] = map[src[i]];
}

Idx map_parent(Idx parent, const Idx* map) { return parent == kNone ? kNone : map[parent]; }

}  // namespace

NodeId Graph::append_mapped(const Graph& src, NodeId id, const Idx* map) {
    if (size_ == cap_) grow();
    // The copy is written into the first free slot, which joins the graph only when
    // nothing can fail any more; until then the guard owns the slot's blocks.  The copy
    // has the kind of its source, so each field goes to the same storage as there.
    const Node& s = src.nodes_[id];
    Node* d = new (nodes_ + size_) Node(s.is_op(), s.pay_a, s.pay_b);
    struct Guard {
        Node* n;
        ~Guard() {
            if (n) n->release();
        }
    } guard{d};
    map_into(d->primary, s.primary.view(), map);
    if (s.is_op())
        d->parent = map_parent(s.parent, map);
    else
        map_into(d->options, s.options.view(), map);
    if (s.side()) {
        const SideRecord& from = src.side_of(s);
        SideRecord rec;
        for (Field f : kFields) map_into(rec.list(f), from.list(f), map);
        rec.parent = map_parent(from.parent, map);
        reserve_side(1);
        attach_side(*d, std::move(rec));
    }
    guard.n = nullptr;
    return size_++;
}

}  // namespace quill
