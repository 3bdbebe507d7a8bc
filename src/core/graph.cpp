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

CancelHook g_cancel_hook = nullptr;

void set_cancel_hook(CancelHook hook) { g_cancel_hook = hook; }
void raise_interrupted() { throw Interrupted{}; }

void fail(std::string message) { throw Error{ErrorKind::Panic, std::move(message)}; }
void fail(ErrorKind kind, std::string message) { throw Error{kind, std::move(message)}; }

void out_of_range(std::uint64_t len, std::uint64_t index) {
    fail("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
         std::to_string(index));
}

void missing_key() { fail("no entry found for key"); }

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
    for (std::uint64_t i = 0; i < size_; ++i) {
        Node& n = nodes_[i];
        n.primary.release();
        if (!n.is_op()) n.options.release();
    }
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

void Graph::make_room(std::span<const Growth> growths) {
    // Side records that do not exist yet are built aside, with room in their lists, and
    // attached only after every other block is in place; attaching cannot fail.
    std::vector<std::pair<NodeId, OffKind>> fresh;
    for (const Growth& w : growths) {
        Node& n = nodes_[w.id];
        std::uint64_t side_a, side_b;
        bool side_parent;
        if (n.is_op()) {
            n.primary.reserve_more(w.children);
            side_a = w.parents;
            side_b = w.options;
            side_parent = false;
        } else {
            n.primary.reserve_more(w.parents);
            n.options.reserve_more(w.options);
            side_a = w.children;
            side_b = 0;
            side_parent = w.parent;
        }
        if (!side_a && !side_b && !side_parent) continue;
        OffKind* rec;
        if (n.side()) {
            rec = &side_of(n);
        } else {
            fresh.emplace_back(w.id, OffKind{});
            rec = &fresh.back().second;
        }
        reserve_more(rec->list_a, side_a);
        reserve_more(rec->list_b, side_b);
    }
    if (fresh.empty()) return;
    const std::uint64_t want = side_.size() + fresh.size();
    if (want > kMaxSideRecords) throw std::bad_alloc();
    if (want > side_.capacity())
        side_.reserve(std::max<std::uint64_t>(want, 2 * std::uint64_t(side_.capacity())));
    for (auto& [id, rec] : fresh) {
        side_.push_back(std::move(rec));
        Node& n = nodes_[id];
        n.meta = (n.meta & 0x80000000u) | std::uint32_t(side_.size());
    }
}

void Graph::push_parent(NodeId id, Idx v) {
    if (!nodes_[id].is_op()) return nodes_[id].primary.push(v);
    make_room({{.id = id, .parents = 1}});
    side_of(nodes_[id]).list_a.push_back(v);
}

void Graph::push_option(NodeId id, Idx v) {
    if (!nodes_[id].is_op()) return nodes_[id].options.push(v);
    make_room({{.id = id, .options = 1}});
    side_of(nodes_[id]).list_b.push_back(v);
}

void Graph::push_child(NodeId id, Idx v) {
    if (nodes_[id].is_op()) return nodes_[id].primary.push(v);
    make_room({{.id = id, .children = 1}});
    side_of(nodes_[id]).list_a.push_back(v);
}

void Graph::set_parent(NodeId id, Idx v) {
    Node& n = nodes_[id];
    if (n.is_op()) {
        n.parent = v;
        return;
    }
    if (!n.side()) {
        if (v == kNone) return;
        make_room({{.id = id, .parent = true}});
    }
    side_of(n).parent = v;
}

void Graph::clear_parents(NodeId id) {
    Node& n = nodes_[id];
    if (!n.is_op())
        n.primary.clear();
    else if (n.side())
        side_of(n).list_a.clear();
}

void Graph::clear_options(NodeId id) {
    Node& n = nodes_[id];
    if (!n.is_op())
        n.options.clear();
    else if (n.side())
        side_of(n).list_b.clear();
}

void Graph::connect_op_to_value_any(NodeId op, NodeId val) {
    if (op == val)
        make_room({{.id = op, .parents = 1, .children = 1}});
    else
        make_room({{.id = op, .children = 1}, {.id = val, .parents = 1}});
    push_child(op, Idx(val));
    push_parent(val, Idx(op));
}

void Graph::connect_value_to_op_any(NodeId val, NodeId op) {
    if (val == op)
        make_room({{.id = val, .options = 1, .parent = true}});
    else
        make_room({{.id = val, .options = 1}, {.id = op, .parent = true}});
    push_option(val, Idx(op));
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

}  // namespace

NodeId Graph::append_mapped(const Graph& src, NodeId id, const Idx* map) {
    if (size_ == cap_) grow();
    // The copy is written into the first free slot, which joins the graph only when
    // nothing can fail any more; until then the guard owns the slot's blocks.
    const Node& s = src.nodes_[id];
    Node* d = new (nodes_ + size_) Node(s.is_op(), s.pay_a, s.pay_b);
    struct Guard {
        Node* n;
        ~Guard() {
            if (!n) return;
            n->primary.release();
            if (!n->is_op()) n->options.release();
        }
    } guard{d};
    map_into(d->primary, s.primary.view(), map);
    if (s.is_op())
        d->parent = s.parent == kNone ? kNone : map[s.parent];
    else
        map_into(d->options, s.options.view(), map);
    if (s.side()) {
        const OffKind& from = src.side_of(s);
        OffKind rec;
        map_into(rec.list_a, from.list_a, map);
        map_into(rec.list_b, from.list_b, map);
        rec.parent = from.parent == kNone ? kNone : map[from.parent];
        const std::uint64_t want = side_.size() + 1;
        if (want > kMaxSideRecords) throw std::bad_alloc();
        if (want > side_.capacity())
            side_.reserve(std::max<std::uint64_t>(want, 2 * std::uint64_t(side_.capacity())));
        side_.push_back(std::move(rec));
        d->meta = (d->meta & 0x80000000u) | std::uint32_t(side_.size());
    }
    guard.n = nullptr;
    return size_++;
}

static std::span<Idx> vec_span(std::vector<Idx>& v) { return {v.data(), v.size()}; }

std::span<Idx> Graph::children_mut(NodeId id) {
    Node& n = nodes_[id];
    if (n.is_op()) return n.primary.view_mut();
    return n.side() ? vec_span(side_of(n).list_a) : std::span<Idx>{};
}

// An off-kind list is given its new contents only once it has room for them.
void Graph::assign_parents(NodeId id, std::span<const Idx> v) {
    Node& n = nodes_[id];
    if (!n.is_op()) return n.primary.assign(v);
    if (v.empty() && !n.side()) return;
    make_room({{.id = id, .parents = shortfall(parents(id).size(), v.size())}});
    side_of(nodes_[id]).list_a.assign(v.begin(), v.end());
}

void Graph::assign_options(NodeId id, std::span<const Idx> v) {
    Node& n = nodes_[id];
    if (!n.is_op()) return n.options.assign(v);
    if (v.empty() && !n.side()) return;
    make_room({{.id = id, .options = shortfall(options(id).size(), v.size())}});
    side_of(nodes_[id]).list_b.assign(v.begin(), v.end());
}

void Graph::assign_children(NodeId id, std::span<const Idx> v) {
    Node& n = nodes_[id];
    if (n.is_op()) return n.primary.assign(v);
    if (v.empty() && !n.side()) return;
    make_room({{.id = id, .children = shortfall(children(id).size(), v.size())}});
    side_of(nodes_[id]).list_a.assign(v.begin(), v.end());
}

}  // namespace quill
