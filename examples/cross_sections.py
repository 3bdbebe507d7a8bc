r"""Cross sections of a leaf and their heights.

A cross section (cut) of a target leaf picks one value node on every upward path of
the leaf, keeps the topmost picks, and completes them with each given leaf that lies
below none of them. Its height adds up how many value nodes lie above each kept
pick on its path: 0 means the cut is at the tops.

        r            value (the root)
        |
        o2           op
       /  \
      m    L2        values; L2 is a leaf
      |
      o1             op
      |
      L              the target leaf
"""
import quillnet

g = quillnet.CoreGraph()
r = g.add_value_with_payload(0, 0)
o2 = g.add_op_with_payload(2)
m = g.add_value_with_payload(1, 0)
L2 = g.add_value_with_payload(3, 0)
o1 = g.add_op_with_payload(1)
L = g.add_value_with_payload(4, 0)
g.connect_value_to_op(r, o2)
g.connect_op_to_value(o2, m)
g.connect_op_to_value(o2, L2)
g.connect_value_to_op(m, o1)
g.connect_op_to_value(o1, L)
g.set_root(r)

names = {r: "r", m: "m", L: "L", L2: "L2"}
# The one upward path of L, value nodes only: L, m, r.
print("path:", [names[n] for n in g.traces(L, op_nodes=False)[0]])
for cut, height in g.cross_sections(L, [L, L2]):
    print("cut", [names[n] for n in cut], "height", height)

# Each extra upward path multiplies the number of choices: the search is exponential
# in the number of joins. It answers Ctrl-C on the main thread.
