// Structural hashes of the root's component and the type comparison of value nodes.
#pragma once

#include <cstdint>

#include "clone.hpp"
#include "graph.hpp"

namespace quill {

// Zero-key SipHash-1-3 of the 8 little-endian bytes of x.
std::uint64_t hash_u64(std::uint64_t x);

// Hash of the connection list: the pair count, then every pair, as 8-byte words.
std::uint64_t connection_hash(const Graph& g);
// The same, reporting its work to a running search's poll.
std::uint64_t connection_hash(const Graph& g, Poll& poll);
// The same, handing over the walk's numbering in `numbering` when it is the numbering a
// copy of g makes (the walk met the nodes in the copy's order), so that a copy of g can
// take it instead of numbering g again (copy_numbered, clone.hpp); `numbering` is left
// empty otherwise.
std::uint64_t connection_hash(const Graph& g, Poll& poll, Corr& numbering);
// Hash of the payload ids in walk order (4 bytes each), then every connection pair.
std::uint64_t equality_hash(const Graph& g);
// True when both nodes are value nodes with equal type ids; checks a, then b.
bool same_spec(const Graph& g, NodeId a, NodeId b);

}  // namespace quill
