"""Construction, per-node queries, walks, leaves, neighbours and connections."""
import random

import pytest

from graphs import random_graph
from quillnet import CoreGraph
from support import oob


def chain(n_values):
    """value 0 <- op <- value <- op ... built top-down, each link stored on both ends."""
    g = CoreGraph()
    top = g.add_value_with_payload(0, 0)
    prev = top
    for i in range(n_values - 1):
        op = g.add_op_with_payload(i)
        val = g.add_value_with_payload(i, 0)
        g.connect_value_to_op(prev, op)
        g.connect_op_to_value(op, val)
        prev = val
    return g, prev


class TestConstruction:
    def test_new_graph(self):
        g = CoreGraph()
        assert (g.get_root(), g.num_nodes(), g.nodes(True, True), g.leaves()) == (0, 0, [], [])

    def test_ids_and_payloads(self):
        g = CoreGraph()
        assert g.add_value_with_payload(7, 9) == 0
        assert g.add_op_with_payload(7) == 1
        assert g.get_value_payload(0) == (7, 9) and g.get_op_id(0) is None
        assert g.get_op_id(1) == 7 and g.get_value_payload(1) is None
        assert g.is_value_node(0) is True and g.is_value_node(1) is False
        assert g.nodes(True, False) == [0] and g.nodes(False, True) == [1] and g.nodes(False, False) == []

    def test_connect_fills_both_ends(self):
        g = CoreGraph()
        g.add_value_with_payload(7, 9)
        g.add_op_with_payload(7)
        g.connect_op_to_value(1, 0)
        g.connect_value_to_op(0, 1)
        assert (g.get_children(1), g.get_parent(1)) == ([0], 0)
        assert (g.get_parents(0), g.get_options(0)) == ([1], [1])
        assert g.get_parent(0) is None

    def test_repeats_and_reparenting(self):
        g = CoreGraph()
        a, b, op = g.add_value_with_payload(1, 1), g.add_value_with_payload(2, 1), g.add_op_with_payload(3)
        g.connect_value_to_op(a, op)
        g.connect_value_to_op(b, op)
        g.connect_op_to_value(op, a)
        g.connect_op_to_value(op, a)
        assert g.get_options(a) == [op] and g.get_options(b) == [op] and g.get_parent(op) == b
        assert g.get_children(op) == [a, a] and g.get_parents(a) == [op, op]

    def test_kinds_are_not_checked(self):
        g = CoreGraph()
        o1, o2, v = g.add_op_with_payload(1), g.add_op_with_payload(2), g.add_value_with_payload(0, 0)
        g.connect_op_to_value(o1, o2)  # op "child" of an op
        g.connect_value_to_op(o2, o1)  # op "option" of an op
        g.connect_op_to_value(v, v)  # a value with children, linked to itself
        g.connect_value_to_op(v, v)
        assert g.get_children(o1) == [o2] and g.get_parents(o2) == [o1]
        assert g.get_options(o2) == [o1] and g.get_parent(o1) == o2
        assert g.get_children(v) == [v] and g.get_parent(v) == v
        assert g.neighbors(v) == [v, v, v, v]
        assert g.neighbors(o2) == [o1, o1]

    def test_out_of_range_connect_changes_nothing(self, panics):
        g = CoreGraph()
        g.add_value_with_payload(0, 0)
        g.add_op_with_payload(0)
        with panics(oob(2, 5)):
            g.connect_op_to_value(0, 5)
        with panics(oob(2, 9)):
            g.connect_value_to_op(9, 5)  # the first id is reported
        assert [g.get_children(i) + g.get_parents(i) + g.get_options(i) for i in (0, 1)] == [[], []]

    def test_root_is_stored_unchecked(self):
        g = CoreGraph()
        for _ in range(3):
            g.add_op_with_payload(0)
        g.set_root(100)
        assert g.get_root() == 100
        g.set_root(2**64 - 1)
        assert g.get_root() == 2**64 - 1

    @pytest.mark.parametrize("method", ["get_children", "get_parents", "get_options", "get_parent",
                                        "is_value_node", "get_value_payload", "get_op_id", "neighbors"])
    def test_queries_check_the_id(self, method, panics):
        g = CoreGraph()
        g.add_op_with_payload(0)
        with panics(oob(1, 3)):
            getattr(g, method)(3)


def sample():
    # value 0 with option op 1, whose children are values 2 and 3
    g = CoreGraph()
    g.add_value_with_payload(10, 1)
    g.add_op_with_payload(20)
    g.add_value_with_payload(11, 1)
    g.add_value_with_payload(12, 1)
    g.connect_value_to_op(0, 1)
    g.connect_op_to_value(1, 2)
    g.connect_op_to_value(1, 3)
    return g


class TestWholeGraphQueries:
    def test_sample(self):
        g = sample()
        assert g.leaves() == [2, 3]
        assert g.neighbors(1) == [0, 2, 3]
        assert g.walk_from_root(True, True) == [0, 1, 2, 3]
        assert g.connections() == [(0, 1), (1, 0), (1, 2), (1, 3), (2, 1), (3, 1)]

    def test_single_node(self):
        g = CoreGraph()
        g.add_value_with_payload(0, 0)
        assert (g.leaves(), g.connections(), g.neighbors(0)) == ([0], [], [])

    def test_bad_root(self, panics):
        g = CoreGraph()
        with panics(oob(0, 0)):
            g.connections()
        g = sample()
        g.set_root(4)
        assert g.leaves() == []
        with panics(oob(4, 4)):
            g.connections()

    def test_shared_leaf_listed_once(self):
        g = CoreGraph()
        r, o1, o2, leaf = (g.add_value_with_payload(0, 0), g.add_op_with_payload(1),
                           g.add_op_with_payload(2), g.add_value_with_payload(3, 0))
        g.connect_value_to_op(r, o1)
        g.connect_value_to_op(r, o2)
        g.connect_op_to_value(o1, leaf)
        g.connect_op_to_value(o2, leaf)
        assert g.leaves() == [leaf] and g.get_parents(leaf) == [o1, o2]

    def test_ops_without_children_are_not_leaves_and_unreached_nodes_are_ignored(self):
        g = sample()
        lone = g.add_value_with_payload(0, 0)
        op = g.add_op_with_payload(0)
        g.connect_value_to_op(3, op)
        assert g.leaves() == [2]
        assert lone not in g.walk_from_root(True, True)

    def test_connections_ignore_node_numbering(self):
        a = sample()
        b = CoreGraph()
        b.add_value_with_payload(11, 1)  # 0 plays node 2
        b.add_op_with_payload(20)  # 1 plays node 1
        b.add_value_with_payload(12, 1)  # 2 plays node 3
        b.add_value_with_payload(10, 1)  # 3 is the root
        b.connect_value_to_op(3, 1)
        b.connect_op_to_value(1, 0)
        b.connect_op_to_value(1, 2)
        b.set_root(3)
        assert a.connections() == b.connections()


    def test_neighbors_are_the_four_lists_in_order(self):
        # Random graphs with links of every kind, lists long enough to live in the arena,
        # repeats and empty parts: neighbors is options, parents, parent, children.
        for seed in range(12):
            rng = random.Random(seed)
            n = rng.randrange(2, 24)
            g = random_graph(rng, n, rng.randrange(n, 10 * n), odd_links=seed % 2 == 1)
            for x in range(n):
                parent = g.get_parent(x)
                assert g.neighbors(x) == (g.get_options(x) + g.get_parents(x)
                                          + ([] if parent is None else [parent])
                                          + g.get_children(x)), (seed, x)

    def test_connections_of_a_wide_component(self):
        # Positions shared by many pairs (an op with 5,000 children, each child under a
        # second op too), and a lone root without a pair.
        g = CoreGraph()
        root, op, other = g.add_value_with_payload(0, 0), g.add_op_with_payload(1), g.add_op_with_payload(2)
        g.connect_value_to_op(root, op)
        g.connect_value_to_op(root, other)
        kids = [g.add_value_with_payload(i, 0) for i in range(5000)]
        for k in kids:
            g.connect_op_to_value(op, k)
            g.connect_op_to_value(other, k)
        g.set_root(root)
        order = g.walk(root)
        pos = {x: i for i, x in enumerate(order)}
        want = [(i, pos[m]) for i, x in enumerate(order) for m in g.neighbors(x)]
        got = g.connections()
        assert got == want and len(got) == 4 * 5000 + 4
        assert all(type(p) is tuple and len(p) == 2 for p in got)
        g.set_root(g.add_value_with_payload(0, 0))
        assert g.connections() == []


class TestWalks:
    def test_walk_directions(self):
        g = CoreGraph()
        v, p, q = g.add_value_with_payload(0, 0), g.add_op_with_payload(1), g.add_op_with_payload(2)
        g.connect_op_to_value(p, v)
        g.connect_value_to_op(v, q)
        assert g.walk(v) == [v, p, q]
        assert g.walk(v, above=False) == [v, q]
        assert g.walk(v, below=False) == [v, p]
        assert g.walk(v, above=False, below=False) == [v]

    def test_diamond_lists_top_once(self):
        g = CoreGraph()
        v, p1, p2, r = (g.add_value_with_payload(0, 0), g.add_op_with_payload(1),
                        g.add_op_with_payload(2), g.add_value_with_payload(3, 0))
        g.connect_op_to_value(p1, v)
        g.connect_op_to_value(p2, v)
        g.connect_value_to_op(r, p1)
        g.connect_value_to_op(r, p2)
        assert g.walk(v, below=False) == [v, p1, r, p2]
        # From the top: options in order, then each op's children, then its parent.
        assert g.walk(r) == [r, p1, v, p2]

    def test_op_children_before_parent(self):
        g = CoreGraph()
        top, op, c1, c2 = (g.add_value_with_payload(0, 0), g.add_op_with_payload(1),
                           g.add_value_with_payload(2, 0), g.add_value_with_payload(3, 0))
        g.connect_value_to_op(top, op)
        g.connect_op_to_value(op, c1)
        g.connect_op_to_value(op, c2)
        g.connect_op_to_value(op, c1)
        assert g.walk(op) == [op, c1, c2, top]

    def test_walk_from_root_needs_a_root(self):
        g = CoreGraph()
        with pytest.raises(ValueError, match="^Graph has no valid root_id set$"):
            g.walk_from_root(True, True)
        g.add_value_with_payload(0, 0)
        assert g.walk_from_root(False, False) == [0]
        g.set_root(1)
        with pytest.raises(ValueError):
            g.walk_from_root(True, True)

    def test_walk_bad_start(self, panics):
        g = sample()
        with panics(oob(4, 4)):
            g.walk(4)

    def test_million_node_chain(self):
        g, deepest = chain(500_000)
        assert g.num_nodes() == 999_999
        up = g.walk(deepest, True, False)
        assert len(up) == 999_999 and up[0] == deepest and up[-1] == 0
        assert g.walk_from_root(False, True) == list(range(999_999))
        assert g.leaves() == [deepest]
        conns = g.connections()
        assert len(conns) == 2 * 999_998 and conns[:3] == [(0, 1), (1, 0), (1, 2)]
