"""Graphs whose searches grow without bound, shared by the reliability tests (and by the
scripts they run in child processes)."""
from quillnet import CoreGraph


def entry(conditions, has_callable=False, cumulative=False):
    """One op_snapshot value."""
    return {"conditions": conditions, "has_callable": has_callable, "cumulative": cumulative}


# With these, op 1 of choice_forest selects no child and op 2 either of its two leaves.
CHOICES = {1: entry([[]]), 2: entry([[0], [1]])}


def diamond_ladder(k):
    """Bottom value 0; level i adds value 1 + 3i with two ops over the value below, so value
    1 + 3i has 2**(k - 1 - i) upward paths.  The top value is the root."""
    g = CoreGraph()
    cur = g.add_value_with_payload(0, 0)
    for i in range(k):
        top = g.add_value_with_payload(i + 1, 0)
        for _ in range(2):
            op = g.add_op_with_payload(i)
            g.connect_value_to_op(top, op)
            g.connect_op_to_value(op, cur)
        cur = top
    g.set_root(cur)
    return g


def star(n, padding=0):
    """Root 0 with op 1 over n leaves of type 5 (nodes 2 .. n+1); with padding, a second
    option of the root over that many values of type 9 makes every copy large."""
    g = CoreGraph()
    g.add_value_with_payload(0, 0)
    g.add_op_with_payload(0)
    g.connect_value_to_op(0, 1)
    for i in range(n):
        g.connect_op_to_value(1, g.add_value_with_payload(i, 5))
    if padding:
        pad = g.add_op_with_payload(1)
        g.connect_value_to_op(0, pad)
        for i in range(padding):
            g.connect_op_to_value(pad, g.add_value_with_payload(i, 9))
    return g


def fans(*widths):
    """Top value 0; for each width w a leaf under w ops that are all options of the top, so
    its cross sections try 2**w choices.  Returns the graph and the leaves."""
    g = CoreGraph()
    top = g.add_value_with_payload(0, 0)
    leaves = []
    for w in widths:
        leaf = g.add_value_with_payload(w, 1)
        for i in range(w):
            op = g.add_op_with_payload(i)
            g.connect_value_to_op(top, op)
            g.connect_op_to_value(op, leaf)
        leaves.append(leaf)
    return g, leaves


def choice_forest(*widths):
    """60 values (node 0 the first), each with an option op (op id 2, node 1 the first) over
    two leaves; for each width w an op (op id 1) over the first w values and a root value
    above it.  Returns the graph, those ops and their roots; under CHOICES op w has 2**w
    conditions.  The first root is the graph's root."""
    g = CoreGraph()
    values = []
    for i in range(60):
        v = g.add_value_with_payload(i, 0)
        op = g.add_op_with_payload(2)
        g.connect_value_to_op(v, op)
        for j in range(2):
            g.connect_op_to_value(op, g.add_value_with_payload(j, 0))
        values.append(v)
    tops, roots = [], []
    for w in widths:
        top = g.add_op_with_payload(1)
        for v in values[:w]:
            g.connect_op_to_value(top, v)
        root = g.add_value_with_payload(100 + w, 0)
        g.connect_value_to_op(root, top)
        tops.append(top)
        roots.append(root)
    g.set_root(roots[0])
    return g, tops, roots
