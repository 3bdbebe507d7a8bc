"""Structural hashes, type comparison and value-node merging.

Both hashes cover the part of the graph connected to the root and are computed over
walk positions, not node ids: two graphs built in a different id order hash the same.
connection_hash sees only the shape; equality_hash also sees op and value ids. Both
are the same in every process, so they can be stored and compared across runs.
"""
import quillnet


def build(order: str, leaf_val: int = 1) -> quillnet.CoreGraph:
    """A root value with one option op, whose children are the values a and b.

    order "ab" creates the nodes root first; "ba" creates them leaves first.
    """
    g = quillnet.CoreGraph()
    if order == "ab":
        root = g.add_value_with_payload(100, 1)
        op = g.add_op_with_payload(7)
        a = g.add_value_with_payload(leaf_val, 5)
        b = g.add_value_with_payload(2, 5)
    else:
        b = g.add_value_with_payload(2, 5)
        a = g.add_value_with_payload(leaf_val, 5)
        op = g.add_op_with_payload(7)
        root = g.add_value_with_payload(100, 1)
    g.connect_value_to_op(root, op)
    g.connect_op_to_value(op, a)
    g.connect_op_to_value(op, b)
    g.set_root(root)
    return g


g1, g2, g3 = build("ab"), build("ba"), build("ab", leaf_val=9)
print("same shape, other numbering:", g1.connection_hash() == g2.connection_hash(),
      g1.equality_hash() == g2.equality_hash())
print("other value id:", g1.connection_hash() == g3.connection_hash(),
      g1.equality_hash() == g3.equality_hash())
print("connection hash: %#018x" % g1.connection_hash())

# same_spec: two value nodes with the same type id (value ids are not compared).
print("a and b same type:", g1.same_spec(2, 3), " R and a:", g1.same_spec(0, 2))

# merge_value_nodes folds one value node into another, in place: with upper=True the
# ops that took `other` as a child take `keep` instead.
g1.merge_value_nodes(3, 2, True, True)  # keep b (3), fold a (2) into it
print("children of P after merging a into b:", g1.get_children(1))
print("parents of b:", g1.get_parents(3), " parents of a:", g1.get_parents(2))
print("leaves:", g1.leaves())
