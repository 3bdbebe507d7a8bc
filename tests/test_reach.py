"""is_below: worked examples, a recursive reference on random graphs, and cycles."""
import random

import pytest

from graphs import random_graph
from support import oob


def ref_is_below(g, start, nodes, include_self=True, skip=()):
    """The recursive definition; an op chain that comes back on itself answers false."""
    size, targets, skipped, path = g.num_nodes(), set(nodes), set(skip), []

    def rec(n):
        climbed = set()
        while True:
            if n in skipped:
                return False
            if n >= size:
                raise IndexError(n)
            if g.is_value_node(n):
                break
            if n in targets:
                return True
            parent = g.get_parent(n)
            if parent is None or parent in climbed:
                return False
            climbed.add(n)
            n = parent
        if n in path:
            return False
        if include_self and n in targets:
            return True
        path.append(n)
        found = any(rec(p) for p in g.get_parents(n))
        path.pop()
        return found

    return rec(start)


@pytest.mark.parametrize("seed", range(40))
def test_matches_recursive_definition(seed):
    rng = random.Random(seed)
    n = rng.randrange(2, 14)
    g = random_graph(rng, n, rng.randrange(n, 2 * n + 1), odd_links=seed % 2 == 1)
    for start in range(n):
        for _ in range(6):
            nodes = rng.sample(range(n + 2), rng.randrange(0, 4))
            skip = rng.sample(range(n), rng.randrange(0, 3))
            for include_self in (True, False):
                assert (g.is_below(start, nodes, include_self, skip)
                        == ref_is_below(g, start, nodes, include_self, skip)), \
                    (start, nodes, include_self, skip)


def test_worked_examples(graph_from):
    # L (0) under o (1) under r (2).
    g = graph_from([("v", 0, 0), ("o", 1), ("v", 2, 0)], [("ov", 1, 0), ("vo", 2, 1)])
    assert g.is_below(0, [1])
    assert g.is_below(0, [2])
    assert not g.is_below(0, [2], include_self=False)
    assert not g.is_below(0, [2], skip=[1])
    assert not g.is_below(0, [])
    assert g.is_below(0, (0,)) and not g.is_below(0, [0], include_self=False)
    assert g.is_below(1, [1], include_self=False)          # op nodes match regardless
    assert g.is_below(0, [1], include_self=False)
    assert not g.is_below(2, [0, 1])                       # only upward links count
    # Ids in nodes and skip are never range-checked; a skipped start is not either.
    assert g.is_below(0, [2**64 - 1, 2], skip=[2**64 - 2])
    assert not g.is_below(2**64 - 1, [0], skip=[2**64 - 1])
    assert not g.is_below(0, [1], skip=[0])


def test_many_targets(graph_from):
    g = graph_from([("v", 0, 0), ("o", 1), ("v", 2, 0)], [("ov", 1, 0), ("vo", 2, 1)])
    far = list(range(1000, 1100))
    assert not g.is_below(0, far, skip=far)
    assert g.is_below(0, far + [2], skip=far)
    assert not g.is_below(0, far + [2], skip=far + [1])


@pytest.mark.parametrize("seed", range(12))
def test_long_lists_answer_like_short_ones(seed, panics):
    # Lists past a few entries are looked up through a hash table: ids that collide,
    # repeat, or equal 2**64 - 1 (the table's empty-slot value) must not change an answer.
    rng = random.Random(500 + seed)
    n = rng.randrange(3, 14)
    g = random_graph(rng, n, rng.randrange(n, 2 * n + 1), odd_links=seed % 2 == 1)
    for start in range(n):
        for _ in range(8):
            nodes = rng.sample(range(n), rng.randrange(0, 3))
            skip = rng.sample(range(n), rng.randrange(0, 3))
            pad = [rng.randrange(n, 4 * n + 40) for _ in range(rng.randrange(9, 60))] + [2**64 - 1]
            long_nodes, long_skip = pad + nodes + pad[:5], skip + pad[::-1]
            for include_self in (True, False):
                want = ref_is_below(g, start, nodes, include_self, skip)
                assert g.is_below(start, long_nodes, include_self, skip) == want
                assert g.is_below(start, nodes, include_self, long_skip) == want
                assert g.is_below(start, long_nodes, include_self, long_skip) == want
    far = list(range(n, n + 20))
    assert not g.is_below(2**64 - 1, [0], skip=far + [2**64 - 1])  # skipped, so never range-checked
    with panics(oob(n, 2**64 - 1)):
        g.is_below(2**64 - 1, [0], skip=far)


def test_out_of_range(panics, graph_from):
    g = graph_from([("v", 0, 0), ("o", 1)])
    with panics(oob(2, 5)):
        g.is_below(5, [0])
    with panics(oob(2, 2**64 - 1)):
        g.is_below(2**64 - 1, [], skip=[5])


@pytest.mark.parametrize("loop", [1, 2, 5])
def test_op_chain_loop_ends(graph_from, loop):
    # A value under the first op of a chain of ops that name each other as parent in a
    # loop (the connect methods do not check kinds).  The climb must end.
    nodes = [("v", 0, 0)] + [("o", i) for i in range(loop)] + [("v", 9, 0)]
    ops = list(range(1, loop + 1))
    edges = [("ov", 1, 0)] + [("vo", ops[(i + 1) % loop], ops[i]) for i in range(loop)]
    g = graph_from(nodes, edges)
    top = loop + 1
    assert g.get_parent(ops[0]) == ops[1 % loop]
    assert not g.is_below(0, [top])
    assert not g.is_below(0, [])
    assert g.is_below(0, [ops[-1]])          # every op of the loop is still looked at
    assert not g.is_below(0, [ops[-1]], skip=[ops[(loop - 1) // 2 + 1] if loop > 1 else 0])
    # Leaving the loop through a value node works as before.
    g.connect_value_to_op(top, ops[-1])
    assert g.is_below(0, [top])
    assert {tuple(t) for t in g.traces(0, op_nodes=False)} == {(0, top)}


@pytest.mark.parametrize("seed", range(6))
def test_long_paths_with_back_edges(seed):
    # Paths far longer than a few dozen value nodes, with links that lead back down.
    rng = random.Random(seed)
    g = random_graph(rng, 2, 0)
    values = [0] + [g.add_value_with_payload(i, 0) for i in range(120)]
    for below, above in zip(values, values[1:]):
        op = g.add_op_with_payload(0)
        g.connect_op_to_value(op, below)
        g.connect_value_to_op(above, op)
    for _ in range(6):
        low, high = sorted(rng.sample(range(len(values)), 2))
        op = g.add_op_with_payload(1)
        g.connect_op_to_value(op, values[high])
        g.connect_value_to_op(values[low], op)
    for _ in range(20):
        start = rng.choice(values)
        nodes = rng.sample(range(g.num_nodes()), rng.randrange(0, 3))
        skip = rng.sample(range(g.num_nodes()), rng.randrange(0, 2))
        assert g.is_below(start, nodes, True, skip) == ref_is_below(g, start, nodes, True, skip)
