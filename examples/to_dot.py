r"""Draw a graph with Graphviz: its nodes and stored links as DOT text, read through the
public methods only.

Value nodes are ellipses labelled with their value id and type id, op nodes grey boxes
labelled with their op id; the root has a double outline. Every edge points down: a
dashed one from a value node to each of its options, a solid one from an op node to each
of its children, labelled with the child's position (the positions that conditions
name). Both lists are drawn in stored order, left to right (`ordering=out`), repeated
entries as repeated edges. A node is named by the id it has in the graph unless `names`
gives it a name.

Run as a script, it prints the DOT of the model graph: the root R over its options P
and Q, P over its children a and b, Q over b. Graphviz draws it:

    python examples/to_dot.py | dot -Tsvg > model.svg
"""
from __future__ import annotations

from collections.abc import Mapping

import quillnet


def quote(text: str) -> str:
    """A DOT string literal holding `text`; a newline becomes a centred line break."""
    escaped = text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")
    return '"' + escaped + '"'


def to_dot(graph: quillnet.CoreGraph, names: Mapping[int, str] | None = None,
           title: str = "quillnet") -> str:
    """Returns the DOT text of every node of `graph` and of its options and children."""
    names = names or {}
    root = graph.get_root()
    lines = [
        f"digraph {quote(title)} {{",
        "    graph [ordering=out, nodesep=0.35, ranksep=0.45];",
        '    node [fontname="Helvetica", fontsize=11, margin="0.12,0.04"];',
        '    edge [arrowsize=0.6, fontname="Helvetica", fontsize=9, fontcolor="#555555"];',
    ]
    edges = []
    for node in graph.nodes(True, True):
        name = names.get(node, str(node))
        outline = ", peripheries=2" if node == root else ""
        payload = graph.get_value_payload(node)
        if payload is not None:
            label = f"{name}\nvalue {payload[0]}, type {payload[1]}"
            lines.append(f"    n{node} [shape=ellipse{outline}, label={quote(label)}];")
            edges += [f"    n{node} -> n{op} [style=dashed];" for op in graph.get_options(node)]
        else:
            label = f"{name}\nop {graph.get_op_id(node)}"
            lines.append(f'    n{node} [shape=box, style="rounded,filled", fillcolor="#e4e4e4"'
                         f"{outline}, label={quote(label)}];")
            edges += [f'    n{node} -> n{child} [taillabel="{position}"];'
                      for position, child in enumerate(graph.get_children(node))]
    return "\n".join(lines + edges + ["}"]) + "\n"


def model_graph() -> tuple[quillnet.CoreGraph, dict[int, str]]:
    """The model graph and the names of its nodes."""
    g = quillnet.CoreGraph()
    R = g.add_value_with_payload(100, 1)
    P = g.add_op_with_payload(7)
    Q = g.add_op_with_payload(8)
    a = g.add_value_with_payload(1, 5)
    b = g.add_value_with_payload(2, 5)
    g.connect_value_to_op(R, P)
    g.connect_value_to_op(R, Q)
    g.connect_op_to_value(P, a)
    g.connect_op_to_value(P, b)
    g.connect_op_to_value(Q, b)
    g.set_root(R)
    return g, {R: "R", P: "P", Q: "Q", a: "a", b: "b"}


if __name__ == "__main__":
    graph, names = model_graph()
    print(to_dot(graph, names, "model"), end="")
