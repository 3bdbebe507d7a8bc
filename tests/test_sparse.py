"""The searches answer alike on a graph alone and on the same graph beside many unconnected
nodes: their working state starts small and grows with what they touch, and must give the
same answers in each of its forms and across the switches between them."""
import random

import pytest

import quillnet
from quillnet import CoreGraph


def build(kinds, edges, loose):
    """`loose` unconnected values first, then the component: node i gets id loose + i."""
    g = CoreGraph()
    for i in range(loose):
        g.add_value_with_payload(i & 0xFF, 9)
    for kind, p in kinds:
        if kind == "v":
            g.add_value_with_payload(p, p % 2)
        else:
            g.add_op_with_payload(p)
    for a, b in edges:
        connect = g.connect_value_to_op if kinds[a][0] == "v" else g.connect_op_to_value
        connect(a + loose, b + loose)
    g.set_root(loose)
    return g


def random_shape(rng, n, deep):
    """A value root and n - 1 nodes below it, each under an earlier node of the other kind
    (one of the last few when `deep`), a few of them under a second one."""
    kinds = [("v", 0)] + [(rng.choice("vo"), rng.randrange(4)) for _ in range(n - 1)]
    edges = []
    for i in range(1, n):
        above = [j for j in range(i) if kinds[j][0] != kinds[i][0]]
        if not above:
            kinds[i] = ("o" if kinds[i][0] == "v" else "v", kinds[i][1])
            above = [j for j in range(i) if kinds[j][0] != kinds[i][0]]
        if deep:
            above = above[-3:]
        twice = rng.random() < (0.02 if deep else 0.08) and len(above) > 1
        for j in rng.sample(above, 2 if twice else 1):
            edges.append((j, i))
    return kinds, edges


def answers(g, loose, rng, n):
    """Answers of every search on the component, with ids given back relative to it."""
    def rel(x):
        return [rel(y) for y in x] if isinstance(x, list) else x - loose

    out = [rel(g.walk(loose)), rel(g.walk_from_root(False, True)), rel(g.leaves()),
           rel(g.traces(loose, above=False, below=True)),
           rel(g.traces(loose, me_too=False, above=True, below=True))]
    values = [i for i in range(n) if g.is_value_node(i + loose)]
    bottom = n - 1 + loose
    out.append([g.is_below(bottom, [x + loose], include_self) for x in range(n)
                for include_self in (True, False)])
    for _ in range(6):
        x = rng.randrange(n) + loose
        out.append(rel(g.walk(x, True, False)))
        for above, below in ((True, False), (False, True)):
            t = g.traces(x, above=above, below=below)
            out.append(rel(t))
            out.append(rel(g.traces(x, op_nodes=False, above=above, below=below)))
        nodes = [rng.randrange(n) + loose for _ in range(rng.randrange(4))]
        skip = [rng.randrange(n) + loose for _ in range(rng.randrange(2))]
        out.append(g.is_below(x, nodes, rng.random() < 0.5, skip))
        leaf = rng.choice(values) + loose
        up = g.traces(leaf, op_nodes=False)
        choices = 1
        for t in up:
            choices *= len(t)
        if choices <= 2000:
            leaves = [rng.choice(values) + loose for _ in range(3)]
            out.append([(rel(cut), h) for cut, h in g.cross_sections(leaf, leaves)])
    snap = {p: {"conditions": [[rng.randrange(3) for _ in range(rng.randrange(3))]
                               for _ in range(rng.randrange(3))],
                "has_callable": False, "cumulative": False} for p in range(4)}
    for node in (loose, loose + 1):
        out.append(quillnet.get_conditions(g, node, snap, False))
        out.append(quillnet.tree_conditions(g, node, snap, False))
    return out


@pytest.mark.parametrize("seed", range(12))
def test_same_answers_beside_loose_nodes(seed):
    rng = random.Random(seed)
    n = rng.choice([6, 40, 300])
    kinds, edges = random_shape(rng, n, deep=seed % 2 == 1)
    expected = answers(build(kinds, edges, 0), 0, random.Random(seed), n)
    # Far more loose nodes than the component has (its state never leaves the short and
    # hashed forms), and a few (it grows into the flat form part way through a search).
    for loose in (50 * n, n):
        got = answers(build(kinds, edges, loose), loose, random.Random(seed), n)
        assert got == expected, loose
