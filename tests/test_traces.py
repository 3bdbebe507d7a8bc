"""traces: worked examples, order and filters against a recursive reference, deep chains."""
import itertools
import random

import pytest

from graphs import chain, random_graph
from support import oob


def ref_traces(g, start, me_too=True, op_nodes=True, val_nodes=True, above=True,
               below=False):
    """The recursive definition, written out plainly."""
    size = g.num_nodes()
    on_path, path, result = set(), [], []

    def rec(n):
        if n in on_path:
            return
        on_path.add(n)
        if n >= size:
            raise IndexError(n)
        is_op = not g.is_value_node(n)
        recorded = me_too and (op_nodes if is_op else val_nodes)
        if recorded:
            path.append(n)
        if is_op:
            parent, children = g.get_parent(n), g.get_children(n)
            kept = [m for m in g.neighbors(n)
                    if (above and parent is not None and m == parent) or (below and m in children)]
        else:
            options, parents = g.get_options(n), g.get_parents(n)
            kept = [m for m in g.neighbors(n)
                    if (below and m in options) or (above and m in parents)]
        if not kept:
            result.append(list(path))
        for m in kept:
            rec(m)
        on_path.discard(n)
        if recorded:
            path.pop()

    rec(start)
    return result


FLAGS = list(itertools.product([True, False], repeat=5))


@pytest.mark.parametrize("seed", range(30))
def test_matches_recursive_definition(seed):
    rng = random.Random(seed)
    n = rng.randrange(2, 11)
    g = random_graph(rng, n, rng.randrange(n, 2 * n + 1), odd_links=seed % 2 == 1)
    for start in range(n):
        for me_too, op_nodes, val_nodes, above, below in FLAGS:
            kw = dict(me_too=me_too, op_nodes=op_nodes, val_nodes=val_nodes, above=above,
                      below=below)
            assert g.traces(start, **kw) == ref_traces(g, start, **kw), (start, kw)


def test_worked_examples(graph_from):
    # L (0) under o (1) under r (2).
    g = graph_from([("v", 0, 0), ("o", 1), ("v", 2, 0)], [("ov", 1, 0), ("vo", 2, 1)])
    assert g.traces(0) == [[0, 1, 2]]
    assert g.traces(0, op_nodes=False) == [[0, 2]]
    assert g.traces(0, val_nodes=False) == [[1]]
    assert g.traces(0, me_too=False) == [[]]
    assert g.traces(0, above=False, below=False) == [[0]]
    assert g.traces(1, above=False, below=False, op_nodes=False) == [[]]
    # Mirrored links with both directions on: every step can go back, nothing is recorded.
    assert g.traces(0, above=True, below=True) == []

    # v (0) with parents o1 (1), o2 (2), both under r (3).
    g = graph_from([("v", 0, 0), ("o", 1), ("o", 2), ("v", 3, 0)],
                   [("ov", 1, 0), ("ov", 2, 0), ("vo", 3, 1), ("vo", 3, 2)])
    assert g.traces(0) == [[0, 1, 3], [0, 2, 3]]

    # Downward: r (0) with options o1 (1) -> a (3), o2 (2) -> b (4).
    g = graph_from([("v", 0, 0), ("o", 1), ("o", 2), ("v", 3, 0), ("v", 4, 0)],
                   [("vo", 0, 1), ("vo", 0, 2), ("ov", 1, 3), ("ov", 2, 4)])
    assert g.traces(0, above=False, below=True) == [[0, 1, 3], [0, 2, 4]]


def test_out_of_range_start(panics, graph_from):
    g = graph_from([("v", 0, 0), ("o", 1)])
    with panics(oob(2, 2)):
        g.traces(2)
    with panics(oob(2, 2**64 - 1)):
        g.traces(2**64 - 1, me_too=False, above=False)


def test_high_degree_node(graph_from):
    # Value 0 lists many ops both as parents and, in reverse, as options; each op's parent
    # is the top value 1.  With above alone the filter tests membership in the parents,
    # so every options entry passes too and comes first.
    g = graph_from([("v", 0, 0), ("v", 1, 0)])
    ops = [g.add_op_with_payload(i) for i in range(3000)]
    for o in ops:
        g.connect_op_to_value(o, 0)
    for o in reversed(ops):
        g.connect_value_to_op(0, o)
    for o in ops:
        g.connect_value_to_op(1, o)
    expected = [[0, o, 1] for o in reversed(ops)] + [[0, o, 1] for o in ops]
    assert g.traces(0) == expected
    # Below alone: each op leads straight back to 0, so no path ends anywhere.
    assert g.traces(0, above=False, below=True) == []


@pytest.fixture(scope="module")
def deep_chain():
    return chain(500_000)   # 1,000,000 nodes


def test_deep_chain(deep_chain):
    g = deep_chain
    top = g.num_nodes() - 1
    up = g.traces(0, op_nodes=False)
    assert len(up) == 1 and len(up[0]) == 500_000
    assert up[0][:3] == [0, 2, 4] and up[0][-1] == top
    down = g.traces(top, above=False, below=True)
    assert len(down) == 1 and down[0] == list(range(top, -1, -1))
    assert g.is_below(0, [top])
    assert not g.is_below(0, [top], skip=[top - 1])
    assert not g.is_below(0, [])
    assert g.is_below(0, [1 + 2 * 400_000], include_self=False)


def test_nodes_met_on_many_traces(graph_from):
    # Value s (0) has many producer ops g_i; each g_i is an option of its own value u_i,
    # and every u_i is a child of one op f whose parent is the top t.  The g_i also stand
    # among t's options (listed before u_i takes them, so their parent stays u_i).  Each
    # trace meets t, f and s again: a visit must cost what it contributes, not a scan of
    # the long lists that the filter does not follow (t's options and f's children going
    # up, s's parents going down), or the search turns quadratic in the width.
    width = 100_000
    g = graph_from([("v", 0, 0), ("v", 1, 0), ("o", 2)], [("vo", 1, 2)])
    s, t, f = 0, 1, 2
    producers, middles = [], []
    for i in range(width):
        gi = g.add_op_with_payload(i)
        ui = g.add_value_with_payload(i, 0)
        g.connect_op_to_value(gi, s)
        g.connect_value_to_op(t, gi)
        g.connect_value_to_op(ui, gi)
        g.connect_op_to_value(f, ui)
        producers.append(gi)
        middles.append(ui)
    up = g.traces(s)
    assert len(up) == width
    assert up[0] == [s, producers[0], middles[0], f, t]
    assert up[-1] == [s, producers[-1], middles[-1], f, t]
    assert g.traces(s, op_nodes=False)[7] == [s, middles[7], t]
    down = g.traces(t, above=False, below=True)
    assert len(down) == 2 * width
    assert down[0] == [t, f, middles[0], producers[0], s]
    assert down[width] == [t, producers[0], s]
