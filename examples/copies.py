r"""Compacted copies and attaching one graph below a leaf of another.

    receiver:   R          elem:   S
                |                  |
                P                  Q
               / \                 |
              x   y                u

clone_and_attach(elem, y) copies both graphs and hangs elem's options (Q and
everything below it) under the copy of y; elem's root S itself is not copied.
"""
import quillnet


def fan(op_id: int, children: int) -> quillnet.CoreGraph:
    """A root value with one option op that takes `children` values of type 5."""
    g = quillnet.CoreGraph()
    root = g.add_value_with_payload(0, 0)
    op = g.add_op_with_payload(op_id)
    g.connect_value_to_op(root, op)
    for i in range(children):
        g.connect_op_to_value(op, g.add_value_with_payload(i + 1, 5))
    g.set_root(root)
    return g


receiver = fan(7, 2)  # R 0, P 1, x 2, y 3
elem = fan(8, 1)  # S 0, Q 1, u 2

# clone_subgraph copies the root's component, renumbered from 0 in discovery order.
# Nodes not connected to the root are left out of the copy.
receiver.add_value_with_payload(99, 9)  # node 4: connected to nothing
copy, corr = receiver.clone_subgraph()
print("copy has", copy.num_nodes(), "of", receiver.num_nodes(), "nodes; corr:", sorted(corr.items()))
copy.add_op_with_payload(1)  # the copy is independent
print("receiver still has", receiver.num_nodes(), "nodes")

graph, attached, remaining = receiver.clone_and_attach(elem, 3)
print("new graph:", graph.num_nodes(), "nodes; options of y:", graph.get_options(3))
print("attached leaves:", attached, " remaining leaves:", remaining)
print("leaves of the new graph:", graph.leaves())
