"""Random graphs for comparing the searches with straightforward Python references."""
import quillnet


def random_graph(rng, n, edges, odd_links=False, op_share=0.5):
    """n nodes (node 0 a value node, node 1 an op), `edges` connect calls between random nodes.

    With odd_links the connect calls may join nodes of the same kind, which the graph
    allows; it fills the link fields that do not belong to a node's kind.
    """
    g = quillnet.CoreGraph()
    kinds = []
    for i in range(n):
        if i == 1 or (i and rng.random() < op_share):
            g.add_op_with_payload(rng.randrange(100))
            kinds.append("o")
        else:
            g.add_value_with_payload(rng.randrange(100), rng.randrange(3))
            kinds.append("v")
    if n < 2 and not odd_links:
        edges = 0  # no op/value pair to join
    made = 0
    while made < edges:
        a, b = rng.randrange(n), rng.randrange(n)
        if rng.random() < 0.5:
            if odd_links or (kinds[a], kinds[b]) == ("o", "v"):
                g.connect_op_to_value(a, b)
                made += 1
        elif odd_links or (kinds[a], kinds[b]) == ("v", "o"):
            g.connect_value_to_op(a, b)
            made += 1
    return g


def chain(length):
    """A chain leaf value 0 <- op 1 <- value 2 <- op 3 ... up to a top value node.

    `length` value nodes; the top is the last node.  Each op is an option of the value
    above it and has the value below it as its only child.
    """
    g = quillnet.CoreGraph()
    add_v, add_o = g.add_value_with_payload, g.add_op_with_payload
    up, down = g.connect_value_to_op, g.connect_op_to_value
    below = add_v(0, 0)
    for i in range(1, length):
        op = add_o(i)
        val = add_v(i, 0)
        down(op, below)
        up(val, op)
        below = val
    return g
