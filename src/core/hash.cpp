// Structural hashes of the root's component and the type comparison of value nodes.
//
// Both hashes speak of walk positions, never of node ids, so that two graphs built in a
// different creation order hash alike while the order of every stored list still counts.
// The bytes go straight from the walk into a streaming zero-key SipHash-1-3; no byte
// buffer and no list of pairs is built.
#include "hash.hpp"

#include <array>

#include "id_sets.hpp"
#include "siphash.hpp"

namespace quill {

namespace {

// Compile-time proof of the hasher against the published SipHash-2-4 answers (key 00..0f,
// message 00 01 02 ... of the given length).
constexpr std::uint64_t reference_24(std::size_t len) {
    std::array<std::uint8_t, 64> msg{};
    for (std::size_t i = 0; i < msg.size(); ++i) msg[i] = std::uint8_t(i);
    SipHasher24 h(0x0706050403020100ull, 0x0f0e0d0c0b0a0908ull);
    h.write(msg.data(), len);
    return h.finish();
}
static_assert(reference_24(0) == 0x726fdb47dd0e0e31ull);
static_assert(reference_24(1) == 0x74f839c593dc67fdull);
static_assert(reference_24(2) == 0x0d6c8009d9a94f5aull);
static_assert(reference_24(3) == 0x85676696d7fb7e2dull);
static_assert(reference_24(4) == 0xcf2794e0277187b7ull);
static_assert(reference_24(5) == 0x18765564cd99a68dull);
static_assert(reference_24(6) == 0xcbc9466e58fee3ceull);
static_assert(reference_24(7) == 0xab0200f58b01d137ull);
static_assert(reference_24(8) == 0x93f5f5799a932462ull);
static_assert(reference_24(9) == 0x9e0082df0ba9e4b0ull);
static_assert(reference_24(10) == 0x7a5dbbc594ddb9f3ull);
static_assert(reference_24(11) == 0xf4b32f46226bada7ull);
static_assert(reference_24(12) == 0x751e8fbc860ee5fbull);
static_assert(reference_24(13) == 0x14ea5627c0843d90ull);
static_assert(reference_24(14) == 0xf723ca908e7af2eeull);
static_assert(reference_24(15) == 0xa129ca6149be45e5ull);
static_assert(reference_24(16) == 0x3f2acc7f57c29bdbull);
static_assert(reference_24(63) == 0x958a324ceb064572ull);

// The fixed-width writes must agree with the byte-wise path whatever the alignment.
constexpr bool widths_agree() {
    SipHasher13 a, b;
    const std::uint8_t bytes[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                  17, 18, 19, 20};
    a.write_u32_le(0x04030201u);
    a.write_u64_le(0x0c0b0a0908070605ull);
    a.write_u32_le(0x100f0e0du);
    a.write_u32_le(0x14131211u);
    b.write(bytes, sizeof bytes);
    return a.finish() == b.finish();
}
static_assert(widths_agree());

}  // namespace

std::uint64_t hash_u64(std::uint64_t x) {
    SipHasher13 h;
    h.write_u64_le(x);
    return h.finish();
}

namespace {

// The walk from the root in both directions (the canonical order), with each walked
// node's position.  Counts the connection pairs on the way: the links that the walk
// follows from a node (a value's parents and options, an op's parent and children) all
// end at walked nodes, so they count by their lengths; the rarely filled fields of the
// other kind are noted and counted afterwards, once every position is known.  Calls
// visit(id) for each node in walk order.
struct CanonicalWalk {
    std::vector<Idx> order;
    IdxMap position;
    std::uint64_t pairs = 0;

    template <class Visit>
    CanonicalWalk(const Graph& g, Poll& poll, Visit&& visit) : position(g.size()) {
        const std::uint64_t n = g.size();
        const NodeId root = g.root_id;
        if (root >= n) out_of_range(n, root);
        std::vector<Idx> stack;
        stack.push_back(Idx(root));
        bool odd = false;  // a walked node holds links in the fields of the other kind
        if (!position.is_flat())
            odd |= run(g, stack, poll, visit, [&](Idx m) { return position.get(m) != kNone; },
                       [&](Idx id, Idx at) { position.set(id, at); }, true);
        if (!stack.empty()) {
            // A sizeable share of the graph is reached: room for all of it saves the
            // order's growth steps, and the loop goes on through the flat array.
            order.reserve(n);
            Idx* flat = position.flat_mut();
            odd |= run(g, stack, poll, visit, [flat](Idx m) { return flat[m] != kNone; },
                       [flat](Idx id, Idx at) { flat[id] = at; }, false);
        }
        if (odd) count_other_kind(g, poll);
    }

    // The walk over one form of the position map; with `until_flat` it returns as soon
    // as the map has turned flat, leaving the rest of the work on the stack.  Returns
    // whether a walked node holds links in the fields of the other kind.
    template <class Visit, class Seen, class Place>
    bool run(const Graph& g, std::vector<Idx>& stack, Poll& poll, Visit& visit, Seen&& seen,
             Place&& place, bool until_flat) {
        bool odd = false;
        Graph::OwnLinks l;
        auto push_reversed = [&](std::span<const Idx> ids) {
            for (std::size_t i = ids.size(); i-- > 0;)
                if (!seen(ids[i])) stack.push_back(ids[i]);
            return ids.size();
        };
        while (!stack.empty()) {
            const Idx id = stack.back();
            stack.pop_back();
            if (seen(id)) continue;
            place(id, Idx(order.size()));
            order.push_back(id);
            visit(id);
            std::size_t scanned;
            if (g.own_links(id, l)) [[likely]] {
                // The lead link, then the primary list reversed: as the paths below.
                if (l.has_lead && !seen(l.lead)) stack.push_back(l.lead);
                for (int k = l.primary_size; k-- > 0;)
                    if (!seen(l.primary[k])) stack.push_back(l.primary[k]);
                scanned = std::size_t(l.count());
                pairs += scanned;
            } else if (g.is_op(id)) {
                const Idx p = g.parent(id);
                if (p != kNone && !seen(p)) stack.push_back(p);
                scanned = push_reversed(g.children(id));
                pairs += scanned + (p != kNone);
                odd |= !g.parents(id).empty() || !g.options(id).empty();
            } else {
                scanned = push_reversed(g.options(id));
                scanned += push_reversed(g.parents(id));
                pairs += scanned;
                odd |= !g.children(id).empty() || g.parent(id) != kNone;
            }
            poll.step(1 + scanned);
            if (until_flat && position.is_flat()) break;
        }
        return odd;
    }

    // Adds the pairs of the links stored in the fields of the other kind that end at
    // walked nodes.
    void count_other_kind(const Graph& g, Poll& poll) {
        auto walked = [&](Idx m) { return position.get(m) != kNone; };
        for (Idx id : order) {
            std::size_t scanned = 0;
            if (g.is_op(id)) {
                for (Field f : {Field::Parents, Field::Options}) {
                    const std::span<const Idx> l = g.list(id, f);
                    scanned += l.size();
                    for (Idx m : l) pairs += walked(m);
                }
            } else {
                const std::span<const Idx> l = g.children(id);
                scanned = l.size();
                for (Idx m : l) pairs += walked(m);
                if (Idx p = g.parent(id); p != kNone) pairs += walked(p);
            }
            poll.step(1 + scanned);
        }
    }
};

// Feeds every connection pair, in canonical order, to the hasher: for each walked node,
// the positions of its options, parents, parent and children that were walked.  `pos`
// gives a node's position or kNone.  The pairs are gathered a block at a time and then
// hashed in one run, so that the lookups of a block (independent loads) overlap instead
// of waiting behind the hasher's long chain of dependent rounds.  The links read here are
// those the walk has just scanned and counted, so each node counts one unit.
template <class Pos>
void hash_pairs(const Graph& g, const std::vector<Idx>& order, Pos&& pos, SipHasher13& h,
                Poll& poll) {
    constexpr std::size_t kBlock = 1024;  // words
    std::uint64_t block[kBlock + 64];
    std::size_t fill = 0;
    auto flush = [&] {
        for (std::size_t k = 0; k < fill; ++k) h.write_u64_le(block[k]);
        fill = 0;
    };
    auto emit = [&](std::uint64_t i, Idx m) {
        const Idx at = pos(m);
        block[fill] = i;
        block[fill + 1] = at;
        fill += at != kNone ? 2 : 0;
    };
    auto emit_list = [&](std::uint64_t i, std::span<const Idx> list) {
        for (Idx m : list) {
            if (fill >= kBlock) flush();
            emit(i, m);
        }
    };
    Graph::OwnLinks l;
    for (std::size_t i = 0; i < order.size(); ++i) {
        poll.step();
        const Idx id = order[i];
        if (fill >= kBlock) flush();
        if (g.own_links(id, l)) [[likely]] {
            const int count = l.count();
            const Idx pair[3] = {l.has_lead ? l.lead : l.primary[0],
                                 l.has_lead ? l.primary[0] : l.primary[1], l.primary[1]};
            for (int k = 0; k < 3; ++k) {
                block[fill + 2 * k] = i;
                block[fill + 2 * k + 1] = pos(k < count ? pair[k] : id);
            }
            fill += 2 * std::size_t(count);
            continue;
        }
        emit_list(i, g.options(id));
        emit_list(i, g.parents(id));
        if (Idx p = g.parent(id); p != kNone) {
            if (fill >= kBlock) flush();
            emit(i, p);
        }
        emit_list(i, g.children(id));
    }
    flush();
}

// The same through whichever form the position map has taken.
void hash_pairs(const Graph& g, const CanonicalWalk& w, SipHasher13& h, Poll& poll) {
    if (w.position.is_flat()) {
        const Idx* flat = w.position.flat();
        hash_pairs(g, w.order, [flat](Idx m) { return flat[m]; }, h, poll);
    } else {
        hash_pairs(g, w.order, [&w](Idx m) { return w.position.get(m); }, h, poll);
    }
}

}  // namespace

std::uint64_t connection_hash(const Graph& g) {
    Poll poll;
    return connection_hash(g, poll);
}

std::uint64_t connection_hash(const Graph& g, Poll& poll) {
    const CanonicalWalk w(g, poll, [](Idx) {});
    SipHasher13 h;
    h.write_u64_le(w.pairs);
    hash_pairs(g, w, h, poll);
    return h.finish();
}

std::uint64_t equality_hash(const Graph& g) {
    Poll poll;
    // The payload ids come first in the stream, in walk order: they are hashed as the
    // walk meets the nodes.
    SipHasher13 h;
    const CanonicalWalk w(g, poll, [&](Idx id) { h.write_u32_le(g.payload_id(id)); });
    hash_pairs(g, w, h, poll);
    return h.finish();
}

bool same_spec(const Graph& g, NodeId a, NodeId b) {
    g.check(a);
    g.check(b);
    if (g.is_op(a) || g.is_op(b)) return false;
    return g.type_id(a) == g.type_id(b);
}

}  // namespace quill
