"""merge_value_nodes: effects, order of checks, and untouched graphs on failure."""
import pytest

import quillnet
from graphs import snapshot
from support import oob


def two_producers():
    """x (0) under op a (1); y (2) under op b (3); y has option q (4); x has option p (5)."""
    g = quillnet.CoreGraph()
    x = g.add_value_with_payload(1, 1)
    a = g.add_op_with_payload(10)
    y = g.add_value_with_payload(2, 1)
    b = g.add_op_with_payload(11)
    q = g.add_op_with_payload(12)
    p = g.add_op_with_payload(13)
    g.connect_op_to_value(a, x)
    g.connect_op_to_value(b, y)
    g.connect_value_to_op(y, q)
    g.connect_value_to_op(x, p)
    return g


def test_one_side_at_a_time():
    g = two_producers()
    g.merge_value_nodes(0, 2, True, False)
    assert (g.get_parents(0), g.get_children(3), g.get_parents(2)) == ([1, 3], [0], [])
    assert g.get_options(2) == [4] and g.get_parent(4) == 2  # lower side untouched

    g = two_producers()
    g.merge_value_nodes(0, 2, False, True)
    assert (g.get_options(0), g.get_parent(4), g.get_options(2)) == ([5, 4], 0, [])
    assert g.get_parents(2) == [3] and g.get_children(3) == [2]  # upper side untouched


def test_both_sides_and_existing_entries():
    g = two_producers()
    # b already produces x as well, twice over; it must not be listed again in x's
    # parents, but its children still get y replaced (without de-duplication).
    g.connect_op_to_value(3, 0)
    g.connect_op_to_value(3, 2)
    g.connect_value_to_op(0, 4)       # q already an option of x (its parent becomes x)
    g.connect_value_to_op(2, 4)       # ... and again of y
    g.connect_value_to_op(2, 5)       # p now an option of y too (parent y)
    g.merge_value_nodes(0, 2, True, True)
    assert g.get_parents(0) == [1, 3]
    assert g.get_children(3) == [0, 0, 0]
    assert g.get_options(0) == [5, 4]
    assert g.get_parent(4) == 0 and g.get_parent(5) == 0
    assert g.get_parents(2) == [] and g.get_options(2) == []


def test_new_entries_follow_in_other_order():
    g = quillnet.CoreGraph()
    keep = g.add_value_with_payload(0, 0)
    other = g.add_value_with_payload(0, 0)
    ops = [g.add_op_with_payload(i) for i in range(5)]
    for o in (ops[3], ops[1]):
        g.connect_op_to_value(o, keep)
    for o in (ops[4], ops[1], ops[0], ops[4]):
        g.connect_op_to_value(o, other)
    g.merge_value_nodes(keep, other, True, False)
    assert g.get_parents(keep) == [ops[3], ops[1], ops[4], ops[0]]
    assert g.get_children(ops[4]) == [keep, keep]


@pytest.mark.parametrize("keep, other, upper, lower", [
    (0, 0, True, True),
    (99, 99, True, True),        # equal ids: nothing is checked
    (0, 2, False, False),
    (99, 98, False, False),      # no side: no id is checked
    (99, 6, True, True),         # nothing to move: keep is never checked
])
def test_no_change(keep, other, upper, lower):
    g = two_producers()
    g.add_value_with_payload(3, 3)  # 6: no links
    before = snapshot(g)
    g.merge_value_nodes(keep, other, upper, lower)
    assert snapshot(g) == before


@pytest.mark.parametrize("keep, other, upper, lower, bad", [
    (0, 50, True, False, 50),
    (0, 50, False, True, 50),
    (50, 2, True, False, 50),
    (50, 2, False, True, 50),
    (50, 2, True, True, 50),     # fails on the upper side before any change
    (50, 7, True, True, 50),     # 7 has no parents but options: fails on the lower side
    (2**64 - 1, 2, True, True, 2**64 - 1),
])
def test_failure_leaves_graph_unchanged(panics, keep, other, upper, lower, bad):
    g = two_producers()
    g.add_value_with_payload(3, 3)   # 6
    v7 = g.add_value_with_payload(4, 4)
    g.connect_value_to_op(v7, g.add_op_with_payload(20))
    before = snapshot(g)
    with panics(oob(g.num_nodes(), bad)):
        g.merge_value_nodes(keep, other, upper, lower)
    assert snapshot(g) == before


def test_large_merge_is_linear():
    # Two nodes with many producers each: a quadratic membership test would take minutes.
    g = quillnet.CoreGraph()
    keep = g.add_value_with_payload(0, 0)
    other = g.add_value_with_payload(0, 0)
    n = 60_000
    for i in range(n):
        o = g.add_op_with_payload(i)
        g.connect_op_to_value(o, keep if i % 2 else other)
        if i % 3 == 0:
            g.connect_op_to_value(o, keep if i % 2 == 0 else other)
    expected = g.get_parents(keep)
    held = set(expected)
    expected += [o for o in dict.fromkeys(g.get_parents(other)) if o not in held]
    g.merge_value_nodes(keep, other, True, False)
    assert g.get_parents(keep) == expected
    assert g.get_parents(other) == []


def test_op_listed_many_times_among_the_parents():
    # One op joined to `other` many times over: other's parents hold it once per link and
    # its children hold `other` as often.  Every entry is redirected, the op is added to
    # keep's parents once, and the call stays linear in the links (rewriting the op's
    # children once per parents entry would be quadratic).
    g = quillnet.CoreGraph()
    keep = g.add_value_with_payload(0, 0)
    other = g.add_value_with_payload(1, 0)
    f = g.add_op_with_payload(2)
    n = 200_000
    for _ in range(n):
        g.connect_op_to_value(f, other)
        g.connect_value_to_op(other, f)
    g.merge_value_nodes(keep, other, True, True)
    assert g.get_parents(keep) == [f] and g.get_options(keep) == [f]
    assert g.get_parents(other) == [] and g.get_options(other) == []
    children = g.get_children(f)
    assert len(children) == n and set(children) == {keep}
    assert g.get_parent(f) == keep
