r"""Traces (every dead-end path from a node) and upward reachability.

The graph: value L is a child of two ops, o1 and o2; both are options of value m,
and m is a child of op top, an option of the root r.

        r
        |
       top
        |
        m
       / \
     o1   o2
       \ /
        L
"""
import quillnet

g = quillnet.CoreGraph()
r = g.add_value_with_payload(0, 0)
top = g.add_op_with_payload(1)
m = g.add_value_with_payload(2, 0)
o1 = g.add_op_with_payload(3)
o2 = g.add_op_with_payload(4)
L = g.add_value_with_payload(5, 0)
g.connect_value_to_op(r, top)
g.connect_op_to_value(top, m)
g.connect_value_to_op(m, o1)
g.connect_value_to_op(m, o2)
g.connect_op_to_value(o1, L)
g.connect_op_to_value(o2, L)
g.set_root(r)

# By default a trace climbs (above=True, below=False) until no upward link is left,
# and records every node on the way: one trace per distinct path.
print("upward traces of L:", g.traces(L))
print("value nodes only:", g.traces(L, op_nodes=False))
# Downward from the root: one trace per path down to a leaf, in options order.
print("downward traces of r:", g.traces(r, above=False, below=True))

# is_below climbs from a node and answers whether it meets one of the given nodes.
print("L below r:", g.is_below(L, [r]))
print("L below o2:", g.is_below(L, [o2]))
# A value node matches only with include_self (the default); op nodes always match.
print("L below L, include_self=False:", g.is_below(L, [L], include_self=False))
# Nodes in skip cut the climb: with both ops skipped, L reaches nothing.
print("L below r, skipping o1 and o2:", g.is_below(L, [r], skip=[o1, o2]))
print("L below r, skipping o1 only:", g.is_below(L, [r], skip=[o1]))
