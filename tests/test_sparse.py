"""The searches answer alike on a graph alone and on the same graph beside many unconnected
nodes: their working state starts small and grows with what they touch, and must give the
same answers in each of its forms and across the switches between them."""
import random

import pytest

import quillnet
from graphs import component_after_loose, random_component


def answers(g, loose, rng, n):
    """Answers of every search on the component, with ids given back relative to it."""
    def rel(x):
        return [rel(y) for y in x] if isinstance(x, list) else x - loose

    out = [rel(g.walk(loose)), rel(g.walk_from_root(False, True)), rel(g.leaves()),
           rel(g.traces(loose, above=False, below=True)),
           rel(g.traces(loose, me_too=False, above=True, below=True))]
    # Walk positions and copies speak of the component alone, whatever lies beside it.
    copy, corr = g.clone_subgraph()
    out += [g.connections(), g.connection_hash(), g.equality_hash(), copy.connections(),
            sorted((old - loose, new) for old, new in corr.items())]
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
    kinds, edges = random_component(rng, n, deep=seed % 2 == 1)
    expected = answers(component_after_loose(kinds, edges, 0), 0, random.Random(seed), n)
    # Far more loose nodes than the component has (its state never leaves the short and
    # hashed forms), and a few (it grows into the flat form part way through a search).
    for loose in (50 * n, n):
        got = answers(component_after_loose(kinds, edges, loose), loose, random.Random(seed), n)
        assert got == expected, loose
