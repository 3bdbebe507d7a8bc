r"""The leaf gluing search: every distinct graph reached by gluing leaves onto
partners of the same type.

        R
        |
        P
      / | \
     a  b  c       three values of one type id

Gluing a onto b merges a into b: P then takes b where it took a. Partners of a leaf
are the later entries of `leaves`, then the `candidates`.
"""
import quillnet

g = quillnet.CoreGraph()
R = g.add_value_with_payload(0, 1)
P = g.add_op_with_payload(7)
a = g.add_value_with_payload(1, 5)
b = g.add_value_with_payload(2, 5)
c = g.add_value_with_payload(3, 5)
g.connect_value_to_op(R, P)
for v in (a, b, c):
    g.connect_op_to_value(P, v)
g.set_root(R)


def children_of_p(r: quillnet.CoreGraph) -> str:
    """P's children in a result, named by their value ids (P is node 1 in every copy,
    but the value nodes are renumbered)."""
    names: list[str] = []
    for child in r.get_children(1):
        payload = r.get_value_payload(child)
        assert payload is not None
        names.append("abc"[payload[0] - 1])
    return "".join(names)


def show(label: str, graphs: list[quillnet.CoreGraph]) -> None:
    print(label, [children_of_p(r) for r in graphs])


# g itself; a onto b; then b onto c; a onto c. Gluing a onto c and then b onto c
# gives a graph already found, which is recorded once (by its connection hash).
results = quillnet.glue_leaves(g, [a, b], [c], False)
show("all:", results)
# Results are copies made with clone_subgraph: root 0, glued-away leaves gone.
print("node counts:", [r.num_nodes() for r in results])
# max_leaves: record only graphs reached with at most that many leaves left to glue.
show("max_leaves=0:", quillnet.glue_leaves(g, [a, b], [c], False, max_leaves=0))
# trees_only: glue nothing, just return a copy of the graph.
show("trees_only:", quillnet.glue_leaves(g, [a, b], [c], True))
# No candidates: a can only go onto b.
show("no candidates:", quillnet.glue_leaves(g, [a, b], [], False))
print("g is unchanged:", children_of_p(g))
