r"""The condition analysis: which leaves an op needs, under each of its conditions.

An op's conditions name the children it selects, by position. `op_snapshot` maps each
op id to an entry with three keys:
    "conditions":   a list of conditions, each a list of child positions;
    "has_callable": the op's first child is a callable, whose own entry (keyed by the
                    callable's value id) tells which of the op's other children it uses;
    "cumulative":   the op keeps its own conditions even when it has a callable.

        out                     value (the root)
         |
       where(c, x, y)           op 10: needs c and x, or c and y
       /   |    \
      c    x     y
           |
      apply(f, u, v)            op 20: calls f on u and v
          /  |  \
         f   u   v              f is the callable (value id 50)
"""
import quillnet

WHERE, APPLY, F = 10, 20, 50

g = quillnet.CoreGraph()
out = g.add_value_with_payload(1, 0)
where = g.add_op_with_payload(WHERE)
c = g.add_value_with_payload(2, 0)
x = g.add_value_with_payload(3, 0)
y = g.add_value_with_payload(4, 0)
apply = g.add_op_with_payload(APPLY)
f = g.add_value_with_payload(F, 0)
u = g.add_value_with_payload(5, 0)
v = g.add_value_with_payload(6, 0)
g.connect_value_to_op(out, where)
for child in (c, x, y):
    g.connect_op_to_value(where, child)
g.connect_value_to_op(x, apply)
for child in (f, u, v):
    g.connect_op_to_value(apply, child)
g.set_root(out)

# A plain dict literal is all an op_snapshot needs to be.
snapshot = {
    WHERE: {"conditions": [[0, 1], [0, 2]], "has_callable": False, "cumulative": False},
    APPLY: {"conditions": [[0, 1, 2]], "has_callable": True, "cumulative": False},
    F: {"conditions": [[0], [1]], "has_callable": False, "cumulative": False},  # f uses u, or v
}

# The leaves below `out`, in the order the positions count them: c, f, u, v, y.
print("leaves:", g.leaves())
# apply adopts f's conditions, moved to its own child positions: the callable itself
# (position 0), then u (1) or v (2). A cumulative op keeps its own conditions.
print("apply, adopted:", quillnet.update_callable_conditions(g, apply, snapshot))
cumulative = dict(snapshot)
cumulative[APPLY] = {"conditions": [[0, 1, 2]], "has_callable": True, "cumulative": True}
print("apply, cumulative:", quillnet.update_callable_conditions(g, apply, cumulative))
# Conditions of the tree below `where`, as positions among its leaves.
print("where, own conditions:", quillnet.tree_conditions(g, where, snapshot, False))
print("where, callables adopted:", quillnet.tree_conditions(g, where, snapshot, True))
# Conditions of a value node: sets of distinct leaves, pruned and sorted.
print("out:", quillnet.get_conditions(g, out, snapshot, True))

# The combination step on its own: one list of conditions per child, shifted by offsets.
print("combinations:", quillnet.condition_combinations([[[0], [1]], [[0]]], [0, 2]))
