// Structural hashes of the root's component and the type comparison of value nodes.
//
// Both hashes speak of walk positions, never of node ids, so that two graphs built in a
// different creation order hash alike while the order of every stored list still counts.
// The bytes go from the canonical walk and its connection pairs (canonical_walk.hpp) into a
// streaming zero-key SipHash-1-3, a block of pairs at a time; no byte buffer and no
// list of pairs is built.
#include "hash.hpp"

#include <array>

#include "siphash.hpp"
#include "canonical_walk.hpp"

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
    SipHasher13 hasher;
    hasher.write_u64_le(x);
    return hasher.finish();
}

namespace {

// Feeds the connection pairs of the walk to the hasher, a gathered block at a time.
void hash_connections(const Graph& g, const CanonicalWalk& canonical, SipHasher13& hasher,
                      Poll& poll) {
    gather_connections(g, canonical, poll, [&](const std::uint64_t* words, std::size_t n) {
        for (std::size_t k = 0; k < n; ++k) hasher.write_u64_le(words[k]);
    });
}

}  // namespace

std::uint64_t connection_hash(const Graph& g) {
    Poll poll;
    return connection_hash(g, poll);
}

std::uint64_t connection_hash(const Graph& g, Poll& poll) {
    const CanonicalWalk canonical(g, poll, [](Idx) {});
    SipHasher13 hasher;
    hasher.write_u64_le(canonical.pairs);
    hash_connections(g, canonical, hasher, poll);
    return hasher.finish();
}

std::uint64_t connection_hash(const Graph& g, Poll& poll, Corr& numbering) {
    CanonicalWalk canonical(g, poll, [](Idx) {});
    SipHasher13 hasher;
    hasher.write_u64_le(canonical.pairs);
    hash_connections(g, canonical, hasher, poll);
    numbering.to_old.clear();
    if (canonical.in_copy_order(g, poll)) {
        numbering.to_new = std::move(canonical.position);
        numbering.to_old = std::move(canonical.order);
    }
    return hasher.finish();
}

std::uint64_t equality_hash(const Graph& g) {
    Poll poll;
    // The payload ids come first in the stream, in walk order: they are hashed as the
    // walk meets the nodes.
    SipHasher13 hasher;
    const CanonicalWalk canonical(g, poll,
                                  [&](Idx id) { hasher.write_u32_le(g.payload_id(id)); });
    hash_connections(g, canonical, hasher, poll);
    return hasher.finish();
}

bool same_spec(const Graph& g, NodeId a, NodeId b) {
    g.check(a);
    g.check(b);
    if (g.is_op(a) || g.is_op(b)) return false;
    return g.type_id(a) == g.type_id(b);
}

}  // namespace quill
