"""cross_sections: worked examples, failures, and a direct reference on random graphs."""
import itertools
import random

import pytest

from graphs import chain, random_graph
from support import oob


def ref_cross_sections(g, target, leaves):
    traces = g.traces(target, True, False, True, True, False)
    if any(not t for t in traces):
        return []
    result, seen = [], set()
    for choice in itertools.product(*(list(enumerate(t)) for t in traces)):
        cut, height = [], 0
        for i, (p, f) in enumerate(choice):
            others = [c[1] for j, c in enumerate(choice) if j != i]
            if any(x in others for x in traces[i][p:]):
                continue
            cut.append(f)
            height += len(traces[i]) - p - 1
        for leaf in leaves:
            if not g.is_below(leaf, cut, True, []):
                cut.append(leaf)
        key = frozenset(cut)   # a cut never holds an id twice
        if key not in seen:
            seen.add(key)
            result.append((cut, height))
    return result


# L (0) under o1 (1) under m (2) under o2 (3) under r (4); L2 (5) a second child of o2.
CHAIN = ([("v", 0, 0), ("o", 1), ("v", 2, 0), ("o", 3), ("v", 4, 0), ("v", 5, 0)],
         [("ov", 1, 0), ("vo", 2, 1), ("ov", 3, 2), ("vo", 4, 3), ("ov", 3, 5)])


def test_chain_examples(graph_from):
    g = graph_from(*CHAIN)
    assert g.cross_sections(0, [0]) == [([0], 2), ([2], 1), ([4], 0)]
    assert g.cross_sections(0, (0, 5)) == [([0, 5], 2), ([2, 5], 1), ([4], 0)]
    assert g.cross_sections(0, []) == [([0], 2), ([2], 1), ([4], 0)]
    assert g.cross_sections(1, [0]) == [([2], 1), ([4], 0)]   # an op target: not recorded
    assert g.cross_sections(4, [0, 5]) == [([4], 0)]


def test_two_traces_to_one_top(graph_from):
    # L (0) under o1 (1) and o2 (2), both under r (3).
    g = graph_from([("v", 0, 0), ("o", 1), ("o", 2), ("v", 3, 0)],
                   [("ov", 1, 0), ("ov", 2, 0), ("vo", 3, 1), ("vo", 3, 2)])
    assert g.cross_sections(0, [0]) == [([0], 0), ([3], 0)]
    assert g.cross_sections(0, []) == [([], 0), ([3], 0)]


def test_op_target_without_parent(graph_from):
    g = graph_from([("v", 0, 0), ("o", 1)])
    assert g.cross_sections(1, [0, 99]) == []      # no choice: leaves are never examined


def test_no_traces_gives_one_empty_choice(graph_from):
    # The only way up from v (0) leads back to v, so there is no trace at all; the single
    # empty choice is completed by the leaves.
    g = graph_from([("v", 0, 0), ("o", 1), ("v", 2, 0)], [("ov", 1, 0), ("vo", 0, 1)])
    assert g.traces(0, op_nodes=False) == []
    assert g.cross_sections(0, [2, 0, 2]) == [([2, 0], 0)]


def test_one_trace_whose_nodes_are_leaves_too(graph_from):
    # Every choice on a single trace makes a cut of its own, also when the trace's own
    # nodes come among the leaves (repeated, above or below the choice).
    g = graph_from(*CHAIN)
    for leaves in ([0, 2, 4], [4, 2, 0, 5, 2], [5, 4], [2]):
        assert g.cross_sections(0, leaves) == ref_cross_sections(g, 0, leaves), leaves
    assert g.cross_sections(0, [4, 2, 0]) == [([0, 4], 2), ([2, 4], 1), ([4], 0)]


def test_out_of_range(panics, graph_from):
    g = graph_from(*CHAIN)
    with panics(oob(6, 6)):
        g.cross_sections(6, [0])
    with panics(oob(6, 10)):
        g.cross_sections(0, [0, 10])


@pytest.mark.parametrize("seed", range(40))
def test_matches_reference(seed):
    rng = random.Random(seed)
    n = rng.randrange(3, 12)
    g = random_graph(rng, n, rng.randrange(n, 2 * n), odd_links=seed % 4 == 3)
    values = [i for i in range(n) if g.is_value_node(i)]
    for target in range(n):
        if len(g.traces(target, True, False, True, True, False)) > 6:
            continue
        leaves = rng.sample(values, min(len(values), rng.randrange(0, 4)))
        assert g.cross_sections(target, leaves) == ref_cross_sections(g, target, leaves)


def test_long_trace_and_many_leaves(graph_from):
    # A single trace of 500,000 value nodes: each choice keeps its one node, with no
    # other choice to compare against it (a scan of the trace above each choice would be
    # quadratic).
    g = chain(500_000)
    top = g.num_nodes() - 1
    result = g.cross_sections(0, [])
    assert len(result) == 500_000
    assert result[:2] == [([0], 499_999), ([2], 499_998)] and result[-1] == ([top], 0)
    assert g.cross_sections(2, [top])[:2] == [([2, top], 499_998), ([4, top], 499_997)]

    # r (0) -> o (1) -> m (2) -> o2 (3) -> L (4), and many leaves beside m under o: cuts
    # low on the trace take them all, and each leaf is asked about against a cut that
    # has grown to thousands of members.
    g = graph_from([("v", 0, 0), ("o", 1), ("v", 2, 0), ("o", 3), ("v", 4, 0)],
                   [("vo", 0, 1), ("ov", 1, 2), ("vo", 2, 3), ("ov", 3, 4)])
    extra = []
    for _ in range(50_000):
        x = g.add_value_with_payload(0, 0)
        g.connect_op_to_value(1, x)
        extra.append(x)
    result = g.cross_sections(4, [4] + extra + extra[:3])
    assert result == [([4] + extra, 2), ([2] + extra, 1), ([0], 0)]


def test_deep_climbs_on_a_million_node_chain():
    # Every cut asks whether the target lies below the chosen node, a climb of as many
    # value levels as the choice stands above it: thousands of climbs far deeper than a
    # short path, on a graph of a million nodes.
    g = chain(500_000)
    top = g.num_nodes() - 1
    target = top - 2 * 3000
    assert g.cross_sections(target, [target]) == [([target + 2 * p], 3000 - p) for p in range(3001)]
    assert g.is_below(0, [top]) and not g.is_below(0, [top], skip=[top - 1])
    # Ops match whatever include_self says, values only with it; nothing lies above the top.
    assert g.is_below(0, [top - 1], include_self=False) and not g.is_below(0, [top], False)
    assert not g.is_below(top, [0])
