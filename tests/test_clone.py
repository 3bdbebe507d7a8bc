"""clone_subgraph against a straightforward reference, plus its failures and depth."""
import random

import pytest

import quillnet
from graphs import chain, ref_node, ref_numbering, snapshot
from graphs import loose_then_random, random_graph_by_kind
from support import NO_ROOT


def test_shared_value_takes_its_parents_first(graph_from):
    # R(0) options [A(1), D(2)]; A children [v(3), w(4)]; D children [v]
    g = graph_from([("v", 0, 0), ("o", 1), ("o", 2), ("v", 3, 0), ("v", 4, 0)],
                   [("vo", 0, 1), ("vo", 0, 2), ("ov", 1, 3), ("ov", 1, 4), ("ov", 2, 3)])
    copy, corr = g.clone_subgraph()
    assert corr == {0: 0, 1: 1, 3: 2, 2: 3, 4: 4}
    assert copy.get_parents(2) == [1, 3] and copy.get_children(3) == [2]


@pytest.mark.parametrize("seed", range(40))
def test_matches_reference(seed):
    rng = random.Random(seed)
    n = rng.randrange(1, 40)
    g = random_graph_by_kind(rng, n, rng.randrange(0, 3 * n), odd_links=seed % 2 == 1)
    g.set_root(rng.randrange(n))
    before = snapshot(g)
    copy, corr = g.clone_subgraph()
    want_corr, order = ref_numbering(g)
    assert corr == want_corr
    assert snapshot(copy) == [tuple(ref_node(g, x, corr)) for x in order] + [0]
    assert snapshot(g) == before
    # a copy is compact and in discovery order already: copying it again is the identity
    again, corr2 = copy.clone_subgraph()
    assert corr2 == {i: i for i in range(copy.num_nodes())}
    assert snapshot(again) == snapshot(copy)
    again.add_value_with_payload(0, 0)  # independent of its source
    assert copy.num_nodes() == len(corr)


@pytest.mark.parametrize("nodes, root", [(0, 0), (2, 2), (2, 2**64 - 1)])
def test_no_valid_root(panics, nodes, root):
    g = quillnet.CoreGraph()
    for i in range(nodes):
        g.add_value_with_payload(i, 0)
    g.set_root(root)
    with panics(NO_ROOT):
        g.clone_subgraph()


def test_million_node_chain():
    g = chain(500_000)
    top = g.num_nodes() - 1
    g.set_root(top)
    copy, corr = g.clone_subgraph()
    assert copy.num_nodes() == len(corr) == top + 1
    assert corr[top] == 0 and corr[0] == top and copy.leaves() == [top]


@pytest.mark.parametrize("seed", range(20))
def test_small_component_of_a_large_graph(seed):
    # the correspondence starts as a small table keyed by the high ids of the component
    rng = random.Random(seed)
    n = rng.randrange(1, 60)
    g = loose_then_random(rng, rng.choice([5000, 70_000]), n, rng.randrange(2 * n), 3000)
    copy, corr = g.clone_subgraph()
    want_corr, order = ref_numbering(g)
    assert corr == want_corr and list(corr) == sorted(corr)
    assert snapshot(copy) == [tuple(ref_node(g, x, corr)) for x in order] + [0]


def test_component_that_outgrows_the_small_table():
    # 12,000 of 262,000 nodes reached: the table moves to a flat array on the way
    g = chain(6000)
    for i in range(250_000):
        g.add_value_with_payload(i, 0)
    top = 2 * 6000 - 2
    g.set_root(top)
    copy, corr = g.clone_subgraph()
    alone = chain(6000)
    alone.set_root(top)
    assert corr == alone.clone_subgraph()[1] and len(corr) == top + 1
    assert snapshot(copy) == snapshot(alone.clone_subgraph()[0])
    assert (g.connection_hash(), g.equality_hash()) == (alone.connection_hash(),
                                                        alone.equality_hash())
