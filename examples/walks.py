r"""Walks and per-node queries: the canonical order that every whole-graph result uses.

The graph: root value R has two options, ops P and Q. P takes the values a and b,
Q takes b as well, so b has two parents.

        R         value (the root)
       / \
      P   Q       ops: the options of R
     / \ /
    a   b         values: the children of P and Q; b has two parents
"""
import quillnet

g = quillnet.CoreGraph()
R = g.add_value_with_payload(100, 1)  # val_id, type_id -> node id 0
P = g.add_op_with_payload(7)  # op_id -> node id 1
Q = g.add_op_with_payload(8)  # 2
a = g.add_value_with_payload(1, 5)  # 3
b = g.add_value_with_payload(2, 5)  # 4
g.connect_value_to_op(R, P)  # P becomes an option of R, R the parent of P
g.connect_value_to_op(R, Q)
g.connect_op_to_value(P, a)  # a becomes P's first child, P a parent of a
g.connect_op_to_value(P, b)
g.connect_op_to_value(Q, b)
g.set_root(R)

# Per-node queries return copies of the stored lists, in connection order.
print("options of R:", g.get_options(R))
print("children of P:", g.get_children(P))
print("parents of b:", g.get_parents(b))
print("parent of Q:", g.get_parent(Q))
print("payload of b:", g.get_value_payload(b), "op id of P:", g.get_op_id(P))
print("value nodes:", g.nodes(True, False), "op nodes:", g.nodes(False, True))

# Depth-first pre-order. From a value: its parents first, then its options; from an
# op: its children first, then its parent. Each node is listed once.
print("walk from the root:", g.walk_from_root(True, True))
print("walk from b, both ways:", g.walk(b))
print("walk from b, upward only:", g.walk(b, below=False))

# The leaves below the root, and the links of the root's component as pairs of walk
# positions (so they do not depend on how the nodes were numbered).
print("leaves:", g.leaves())
print("neighbours of b:", g.neighbors(b))
print("connections:", g.connections())
