// The record's rare paths: growing the node array, making room before a mutation, the
// edits of fields by name, the links outside a node's kind, copying a node whose lists
// are not all in it, and the integrity check over every list.
#include "graph.hpp"

#include <algorithm>

namespace quill {

void Graph::grow() {
    if (size_ >= kMaxNodes) throw std::bad_alloc();
    // Doubling keeps appends amortised constant-time; 8 nodes (192 bytes) is the first
    // array, as most graphs a search builds are small.
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

}  // namespace

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
                need += arena_need(n.own_size(f), w.count(f), Node::list_cap(f));
            else
                side_needed = true;
        }
        if (!side_needed) continue;
        SideRecord& rec = n.has_side() ? side_.of(w.id) : fresh.emplace_back(w.id, SideRecord{}).second;
        for (Field f : kFields)
            if (w.count(f) && !n.owns(f)) reserve_more(rec.list(f), w.count(f));
    }
    if (!fresh.empty()) side_.reserve(fresh.size());
    if (need) arena_.reserve(need);
    for (auto& [id, rec] : fresh) attach_side(id, std::move(rec));
}

void Graph::push(NodeId id, Field f, Idx v) {
    if (nodes_[id].owns(f)) return nodes_[id].own(f).push(arena_, v);
    make_room({Growth::of(id, f, 1)});
    side_.of(id).list(f).push_back(v);
}

void Graph::clear(NodeId id, Field f) {
    Node& n = nodes_[id];
    if (n.owns(f))
        n.own(f).clear(arena_);
    else if (n.has_side())
        side_.of(id).list(f).clear();
}

// A side list is given its new contents only once it has room for them.
void Graph::assign(NodeId id, Field f, std::span<const Idx> v) {
    Node& n = nodes_[id];
    if (n.owns(f)) return n.own(f).assign(arena_, v);
    if (v.empty() && !n.has_side()) return;
    make_room({Growth::of(id, f, shortfall(list(id, f).size(), v.size()))});
    side_.of(id).list(f).assign(v.begin(), v.end());
}

std::span<Idx> Graph::list_mut(NodeId id, Field f) {
    Node& n = nodes_[id];
    if (n.owns(f)) return n.own(f).entries(arena_.data());
    if (!n.has_side()) return {};
    std::vector<Idx>& v = side_.of(id).list(f);
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
    side_.of(id).parent = v;
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
    std::uint64_t need = 0;
    for (Field f : kFields)
        if (s.owns(f)) need += block_entries(s.own_size(f), Node::list_cap(f));
    if (need) arena_.reserve(need);
    SideRecord rec;
    if (s.has_side()) [[unlikely]] {
        const SideRecord& from = src.side_.of(id);
        for (Field f : kFields) map_into(rec.list(f), from.list(f), map);
        rec.parent = from.parent == kNone ? kNone : map[from.parent];
        side_.reserve(1);
    }
    // The links the node holds itself are rewritten with it; a list in the arena gets a
    // block of its own.
    Node d = s.mapped(map);
    for (Field f : kFields) {
        if (!s.owns(f) || !s.in_arena(f)) continue;
        const std::uint32_t n = s.own_size(f);
        const Idx off = arena_.take_block(size_class(n, Node::list_cap(f)));
        d.own(f).offset() = off;
        Idx* out = arena_.data() + off;
        const Idx* in = src.arena_.data() + s.block_of(f);
        for (std::uint32_t i = 0; i < n; ++i) out[i] = map[in[i]];
    }
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
            const std::uint32_t s = n.own_size(f);
            if (s > kMaxListSize) return "list size past its limit at node " + std::to_string(id);
            if (n.in_arena(f)) held.push_back({n.block_of(f), size_class(s, Node::list_cap(f)), false, id});
        }
    }
    const std::uint64_t cap = arena_.capacity();
    for (const Arena::Block& b : held)
        if (b.off < Arena::kHeads || b.off + (std::uint64_t(1) << b.k) > arena_.used() || cap == 0)
            return "list block of node " + std::to_string(b.owner) + " outside the arena";
    return arena_.audit(std::move(held));
}

}  // namespace quill
