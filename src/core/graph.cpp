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

OffKind& Graph::side_of(NodeId id) {
    Node& n = nodes_[id];
    if (!n.side()) {
        if (side_.size() >= 0x7FFFFFFFu) throw std::bad_alloc();
        side_.emplace_back();
        n.meta = (n.meta & 0x80000000u) | std::uint32_t(side_.size());
    }
    return side_[n.side() - 1];
}

void Graph::push_parent(NodeId id, Idx v) {
    Node& n = nodes_[id];
    if (!n.is_op())
        n.primary.push(v);
    else
        side_of(id).list_a.push_back(v);
}

void Graph::push_option(NodeId id, Idx v) {
    Node& n = nodes_[id];
    if (!n.is_op())
        n.options.push(v);
    else
        side_of(id).list_b.push_back(v);
}

void Graph::push_child(NodeId id, Idx v) {
    Node& n = nodes_[id];
    if (n.is_op())
        n.primary.push(v);
    else
        side_of(id).list_a.push_back(v);
}

void Graph::set_parent(NodeId id, Idx v) {
    Node& n = nodes_[id];
    if (n.is_op())
        n.parent = v;
    else if (v != kNone || n.side())
        side_of(id).parent = v;
}

void Graph::clear_parents(NodeId id) {
    Node& n = nodes_[id];
    if (!n.is_op())
        n.primary.clear();
    else if (n.side())
        side_[n.side() - 1].list_a.clear();
}

void Graph::clear_options(NodeId id) {
    Node& n = nodes_[id];
    if (!n.is_op())
        n.options.clear();
    else if (n.side())
        side_[n.side() - 1].list_b.clear();
}

namespace {

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
    const Node& s = src.nodes_[id];
    const NodeId nid = append(s.is_op(), s.pay_a, s.pay_b);
    Node& d = nodes_[nid];
    map_into(d.primary, s.primary.view(), map);
    if (s.is_op()) {
        d.parent = s.parent == kNone ? kNone : map[s.parent];
    } else {
        map_into(d.options, s.options.view(), map);
    }
    if (s.side()) {
        const OffKind& from = src.side_[s.side() - 1];
        OffKind& to = side_of(nid);
        map_into(to.list_a, from.list_a, map);
        map_into(to.list_b, from.list_b, map);
        to.parent = from.parent == kNone ? kNone : map[from.parent];
    }
    return nid;
}

static std::span<Idx> vec_span(std::vector<Idx>& v) { return {v.data(), v.size()}; }

std::span<Idx> Graph::children_mut(NodeId id) {
    Node& n = nodes_[id];
    if (n.is_op()) return n.primary.view_mut();
    return n.side() ? vec_span(side_[n.side() - 1].list_a) : std::span<Idx>{};
}

void Graph::assign_parents(NodeId id, std::span<const Idx> v) {
    Node& n = nodes_[id];
    if (!n.is_op())
        n.primary.assign(v);
    else if (!v.empty() || n.side())
        side_of(id).list_a.assign(v.begin(), v.end());
}

void Graph::assign_options(NodeId id, std::span<const Idx> v) {
    Node& n = nodes_[id];
    if (!n.is_op())
        n.options.assign(v);
    else if (!v.empty() || n.side())
        side_of(id).list_b.assign(v.begin(), v.end());
}

void Graph::assign_children(NodeId id, std::span<const Idx> v) {
    Node& n = nodes_[id];
    if (n.is_op())
        n.primary.assign(v);
    else if (!v.empty() || n.side())
        side_of(id).list_a.assign(v.begin(), v.end());
}

}  // namespace quill
