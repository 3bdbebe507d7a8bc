// Trace enumeration: every dead-end path from a node in the enabled directions.
#pragma once

#include "flat_lists.hpp"
#include "graph.hpp"

namespace quill {

// Which nodes a trace records and which links it follows.
struct TraceOptions {
    bool me_too = true;     // record nodes at all: without, one empty trace per dead end
    bool op_nodes = true;   // record op nodes
    bool val_nodes = true;  // record value nodes
    bool above = true;      // follow an op's parent and a value's parents
    bool below = false;     // follow an op's children and a value's options
};

// The paths found, each the list of its recorded nodes, kept flat.
using Traces = FlatLists<NodeId>;

// Every path from `start` that follows the enabled links until none leads on, each as the
// list of its recorded nodes, in depth-first order.
Traces traces(const Graph& g, NodeId start, TraceOptions opts = {});
// The same, counting its work against a running call's poll.
Traces traces(const Graph& g, NodeId start, TraceOptions opts, Poll& poll);

}  // namespace quill
