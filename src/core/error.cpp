#include "error.hpp"

#include <utility>

namespace quill {

CancelHook g_cancel_hook = nullptr;

void set_cancel_hook(CancelHook hook) { g_cancel_hook = hook; }
void raise_interrupted() { throw Interrupted{}; }

namespace {

[[noreturn]] void raise(Failure failure, std::string message) {
    throw Error{failure, std::move(message)};
}

const char* fixed_message(Failure failure) {
    switch (failure) {
        case Failure::NoEntry: return "no entry found for key";
        case Failure::NoValidRoot: return "Cannot clone_subgraph: Graph has no valid root_id set";
        case Failure::CountTooLarge:
            return "leaf occurrence count too large: 2**60 positions or more";
        case Failure::LeafNotInCopy: return "first missing in corr map";
        case Failure::PartnerNotInCopy: return "candidate missing in corr map";
        case Failure::RestNotInCopy: return "rest id missing in corr";
        case Failure::CandidateNotInCopy: return "candidate id missing in corr";
        // These name a node and have their own raisers.
        case Failure::IdOutOfRange: return "index out of bounds";
        case Failure::LeafEdgeCycle: return "cycle through option and child edges";
    }
    return "internal failure";
}

}  // namespace

void out_of_range(std::uint64_t len, std::uint64_t index) {
    raise(Failure::IdOutOfRange, "index out of bounds: the len is " + std::to_string(len) +
                                     " but the index is " + std::to_string(index));
}

void leaf_edge_cycle(std::uint64_t node) {
    raise(Failure::LeafEdgeCycle,
          "cycle through option and child edges at node " + std::to_string(node));
}

void fail(Failure failure) { raise(failure, fixed_message(failure)); }

}  // namespace quill
