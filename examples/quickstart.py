"""A small tour of quillnet: build a graph, walk it, hash it and glue its leaves."""
import quillnet

# A value node R produced by op P, which takes three inputs a, b, c of one type.
g = quillnet.CoreGraph()
R = g.add_value_with_payload(100, 1)
P = g.add_op_with_payload(7)
a = g.add_value_with_payload(1, 5)
b = g.add_value_with_payload(2, 5)
c = g.add_value_with_payload(3, 5)
g.connect_value_to_op(R, P)
for child in (a, b, c):
    g.connect_op_to_value(P, child)
g.set_root(R)

print("nodes:", g.num_nodes())
print("walk from the root:", g.walk_from_root(True, True))
print("leaves:", g.leaves())
print("connections:", g.connections())
print("connection hash: %#018x" % g.connection_hash())
print("equality hash:   %#018x" % g.equality_hash())

# Glue the leaves a and b onto partners of the same type (later leaves, then c).
results = quillnet.glue_leaves(g, [a, b], [c], False)
print("glued graphs:", len(results))
for i, r in enumerate(results):
    print("  graph %d: %d nodes, children of the op: %s" % (i, r.num_nodes(), r.get_children(1)))

# Conditions: the op selects either its first input or its second and third together.
snapshot = {7: {"conditions": [[0], [1, 2]], "has_callable": False, "cumulative": False}}
print("conditions of R:", quillnet.get_conditions(g, R, snapshot, False))
