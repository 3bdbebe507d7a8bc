"""clone_and_attach against a reference built from two copies, plus failure order."""
import random

import pytest

import quillnet
from graphs import chain, ref_node, ref_numbering, snapshot
from graphs import loose_then_random, random_graph_by_kind
from support import NO_ROOT


def ref_attach(g, elem, leaf):
    corr1, order1 = ref_numbering(g)
    corr2, order2 = ref_numbering(elem)
    base = len(order1)
    corr3 = {x: base + corr2[x] - 1 for x in order2[1:]}
    nodes = [ref_node(g, x, corr1) for x in order1] + [ref_node(elem, x, corr3)
                                                        for x in order2[1:]]
    for o in elem.get_options(elem.get_root()):
        if o in corr3:
            nodes[corr1[leaf]][5].append(corr3[o])
            nodes[corr3[o]][3] = corr1[leaf]
    attached = [i for i in range(base, len(nodes)) if not nodes[i][5] and not nodes[i][6]]
    remaining = [corr1[x] for x in g.leaves() if x != leaf]
    return [tuple(n) for n in nodes] + [0], attached, remaining


def test_worked_example(graph_from):
    # receiver R(0) options [P(1)], P children [x(2), y(3)]; elem S options [Q], Q child u
    g = graph_from([("v", 0, 0), ("o", 1), ("v", 2, 0), ("v", 3, 0)],
                   [("vo", 0, 1), ("ov", 1, 2), ("ov", 1, 3)])
    elem = graph_from([("v", 10, 0), ("o", 11), ("v", 12, 0)], [("vo", 0, 1), ("ov", 1, 2)])
    new, attached, remaining = g.clone_and_attach(elem, 3)
    assert (new.num_nodes(), attached, remaining) == (6, [5], [2])
    assert new.get_options(3) == [4] and new.get_parent(4) == 3 and new.get_children(4) == [5]
    # the same graph as receiver and elem
    new, attached, remaining = g.clone_and_attach(g, 2)
    assert new.get_options(2) == [4] and new.get_children(4) == [5, 6]
    assert (attached, remaining) == ([5, 6], [3])
    assert g.num_nodes() == 4 and g.get_options(2) == []


def test_links_to_the_attached_root_from_every_field(graph_from):
    # elem: root Z (0) with options [Q (3), Z itself]; Z's parent (a value's, kept aside)
    # is Z; op X (1) takes Z as its parent list's only entry; value F (2) has Z as its only
    # child; Q takes u (4).  Every link to Z is dropped from the copies, and Z's reference
    # to itself among its options is skipped.
    g = graph_from([("v", 0, 0), ("o", 1), ("v", 2, 0), ("v", 3, 0)],
                   [("vo", 0, 1), ("ov", 1, 2), ("ov", 1, 3)])
    elem = graph_from([("v", 10, 0), ("o", 11), ("v", 12, 0), ("o", 13), ("v", 14, 0)],
                      [("vo", 0, 3), ("vo", 0, 0), ("ov", 0, 1), ("ov", 2, 0), ("ov", 3, 4)])
    before = snapshot(g), snapshot(elem)
    new, attached, remaining = g.clone_and_attach(elem, 3)
    assert (snapshot(new), attached, remaining) == ref_attach(g, elem, 3)
    # numbering of elem's copy: Z 0, F 1, Q 2, u 3, X 4; appended from 4 on without Z
    f, q, u, x = 4, 5, 6, 7
    assert new.num_nodes() == 8 and (attached, remaining) == ([f, u, x], [2])
    assert new.get_options(3) == [q] and new.get_parent(q) == 3 and new.get_children(q) == [u]
    assert new.get_parents(u) == [q]
    assert (new.get_children(f), new.get_parents(x), new.get_parent(x)) == ([], [], None)
    assert new.neighbors(f) == [] and new.neighbors(x) == []
    assert (snapshot(g), snapshot(elem)) == before


@pytest.mark.parametrize("seed", range(30))
def test_matches_reference(seed):
    rng = random.Random(seed)
    g = random_graph_by_kind(rng, rng.randrange(1, 25), rng.randrange(40), odd_links=seed % 3 == 0)
    elem = random_graph_by_kind(rng, rng.randrange(1, 25), rng.randrange(40), odd_links=seed % 3 == 1)
    g.set_root(rng.randrange(g.num_nodes()))
    elem.set_root(rng.randrange(elem.num_nodes()))
    leaf = rng.choice(sorted(ref_numbering(g)[0]))
    before = snapshot(g), snapshot(elem)
    new, attached, remaining = g.clone_and_attach(elem, leaf)
    assert (snapshot(new), attached, remaining) == ref_attach(g, elem, leaf)
    assert (snapshot(g), snapshot(elem)) == before


def test_failures_in_order(graph_from, panics):
    g = graph_from([("v", 0, 0), ("o", 1), ("v", 2, 0), ("v", 3, 0)], [("vo", 0, 1)])
    empty = quillnet.CoreGraph()
    g.set_root(4)
    with panics(NO_ROOT):  # the receiver's root comes first
        g.clone_and_attach(empty, 99)
    g.set_root(0)
    for leaf in (2, 4, 2**64 - 1):  # unconnected, just past the end, far beyond
        with panics("no entry found for key"):
            g.clone_and_attach(empty, leaf)
    with panics(NO_ROOT):  # elem's root last
        g.clone_and_attach(empty, 1)


def test_million_node_chain():
    g = chain(500_000)
    top = g.num_nodes() - 1
    g.set_root(top)
    new, attached, remaining = g.clone_and_attach(g, 0)
    assert new.num_nodes() == 2 * top + 1 and new.get_options(top) == [top + 1]
    assert (attached, remaining) == ([2 * top], [])


@pytest.mark.parametrize("seed", range(10))
def test_small_components_of_large_graphs(seed):

    rng = random.Random(seed)
    g = loose_then_random(rng, 6000, rng.randrange(1, 30), rng.randrange(40), 10)
    elem = loose_then_random(rng, 9000, rng.randrange(1, 30), rng.randrange(40), 0)
    leaf = rng.choice(sorted(ref_numbering(g)[0]))
    new, attached, remaining = g.clone_and_attach(elem, leaf)
    assert (snapshot(new), attached, remaining) == ref_attach(g, elem, leaf)
