"""How conversion failures name types, and what a prefixed failure keeps."""
import collections
import datetime

import pytest

import quillnet
from graphs import entry, star
from quillnet import CoreGraph


def graph():
    g = CoreGraph()
    g.add_value_with_payload(0, 0)
    return g


class Outer:
    class Inner:
        pass


Renamed = type("Original", (), {})
Renamed.__name__ = "Renamed"


@pytest.mark.parametrize(
    "value, name",
    [
        (collections.OrderedDict(), "OrderedDict"),  # built-in types with a module prefix
        (datetime.date(2000, 1, 1), "date"),
        (Outer.Inner(), "Inner"),  # the bare name, not the qualified one
        (Renamed(), "Renamed"),
    ],
)
def test_cast_messages_use_the_bare_type_name(value, name):
    g = graph()
    with pytest.raises(TypeError) as info:
        g.is_below(0, value)
    assert str(info.value) == f"argument 'nodes': '{name}' object cannot be cast as 'Sequence'"
    with pytest.raises(TypeError) as info:
        g.clone_and_attach(value, 0)
    assert str(info.value) == f"argument 'elem': '{name}' object cannot be cast as 'CoreGraph'"


def test_prefixed_type_error_without_a_cause_gets_none():
    class Bad:
        def __index__(self):
            raise TypeError("plain")

    with pytest.raises(TypeError) as info:
        graph().get_parent(Bad())
    assert str(info.value) == "argument 'node_id': plain"
    assert info.value.__cause__ is None


@pytest.mark.parametrize("exc", [MemoryError, KeyboardInterrupt])
def test_failure_to_describe_an_argument_error_by_memory_or_interruption_propagates(exc):
    class Text:
        def __str__(self):
            raise exc

    class Bad:
        def __index__(self):
            raise TypeError(Text())

    g = graph()
    with pytest.raises(exc):
        g.get_parent(Bad())
    with pytest.raises(exc):
        g.is_below(0, [0, Bad()])
    assert g.get_parent(0) is None  # the borrow was released


# ---- sequences changed by their own items while they are read ----
#
# An id's __index__ may change the sequence being read, or any sequence around it:
# empty it, shrink it, grow it, or drop the reference to the item being converted.  The
# reader takes the size again before every item and holds each item while it converts,
# so the result is the one for exactly the items it read.

import copy

from support import Index


class OldSeq:
    """A sequence by the old protocol (__getitem__ up to IndexError) over a list."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class SubList(list):
    pass


def storage(seq):
    return seq.items if isinstance(seq, OldSeq) else seq


# What each change does to the list that holds the item being converted (at position i)
# and what is read of that list's plain counterpart.
CHANGES = {
    "emptied": (lambda lst, i: lst.clear(), lambda plain, i: plain[: i + 1]),
    "shrunk": (lambda lst, i: lst.pop(), lambda plain, i: plain[:-1]),
    "grown": (lambda lst, i: lst.append(lst[-1]), lambda plain, i: plain + [plain[-1]]),
    "dropped": (lambda lst, i: lst.__setitem__(i, lst[-1]), lambda plain, i: plain),
}

# The plain inputs by depth: ids, conditions (lists of ids), conditions by child.  The
# changing item is the second id of the first innermost list (so the path to it takes
# position 0 at every outer level); the last item of every level is a plain one.
PLAIN = {
    1: [0, 1, 2, 3],
    2: [[0, 1, 2, 3], [3], [2]],
    3: [[[0, 1, 2, 3], [3], [2]], [[3]], [[2]]],
}


def changing_input(depth, level, change, kind, others):
    """The input of `depth` whose item changes the sequence at `level` (0 outermost) of
    type `kind`; the other levels have type `others` (tuple or list).  Returns it and
    the plain input of what a sound reader reads."""
    apply, reads = CHANGES[change]
    plain = copy.deepcopy(PLAIN[depth])
    expected = copy.deepcopy(plain)
    at = expected
    for _ in range(level):
        at = at[0]
    i = 1 if level == depth - 1 else 0
    at[:] = reads(list(at), i)

    holder = {}

    def build(node, lvl, on_path):
        if not isinstance(node, list):
            return node
        items = [build(x, lvl + 1, on_path and j == 0) for j, x in enumerate(node)]
        if on_path and lvl == depth - 1:
            items[1] = Index(1, lambda: apply(storage(holder["target"]), i))
        if on_path and lvl == level:
            holder["target"] = kind(items)
            return holder["target"]
        return others(items)

    return build(plain, 0, True), expected


CALLS = {  # depth, call
    "is_below_nodes": (1, lambda g, x: g.is_below(2, x)),
    "is_below_skip": (1, lambda g, x: g.is_below(2, [0], True, x)),
    "cross_sections_leaves": (1, lambda g, x: g.cross_sections(2, x)),
    "glue_leaves_leaves": (1, lambda g, x: quillnet.glue_leaves(g, x, [], False)),
    "glue_leaves_candidates": (1, lambda g, x: quillnet.glue_leaves(g, [2], x, False)),
    "combinations_offset_list": (1, lambda g, x: quillnet.condition_combinations([[[0], [1]]], x)),
    "snapshot_conditions": (2, lambda g, x: quillnet.update_callable_conditions(g, 1, {0: entry(x)})),
    "tree_conditions": (2, lambda g, x: quillnet.tree_conditions(g, 1, {0: entry(x)}, False)),
    "combinations_by_child": (3, lambda g, x: quillnet.condition_combinations(x, [])),
}


def outcome(call):
    try:
        result = call()
    except BaseException as e:
        return type(e).__name__, str(e)
    if isinstance(result, list) and result and isinstance(result[0], CoreGraph):
        return [r.connections() for r in result]
    return result


@pytest.mark.parametrize("name", list(CALLS))
def test_sequences_changed_by_their_items_during_conversion(name):
    depth, call = CALLS[name]
    g = star([5, 5], root_type=0)
    before = g.connections()
    checked = 0
    for level in range(depth):
        for change in CHANGES:
            for kind in (list, SubList, OldSeq):
                for others in (list, tuple):
                    changing, expected = changing_input(depth, level, change, kind, others)
                    got = outcome(lambda: call(g, changing))
                    assert got == outcome(lambda: call(g, expected)), (level, change, kind, others)
                    checked += 1
    assert checked == depth * len(CHANGES) * 6
    assert g.connections() == before


def test_changing_items_read_from_tuples():
    # A tuple cannot change, but the lists it holds can, while the tuple holds the only
    # reference to one of them.
    g = star([5, 5], root_type=0)
    box = []
    conds = ([0, Index(1, lambda: box.pop().clear()), 2], [3])
    box.append(conds[0])  # taken out by the hook: then the tuple and the reader hold it
    assert quillnet.update_callable_conditions(g, 1, {0: entry(conds)}) == [[0, 1], [3]]
    outer = [(0, None, 2), (3,)]
    outer[0] = (0, Index(1, lambda: outer.clear()), 2)
    assert quillnet.condition_combinations([outer], []) == [[0, 1, 2]]


def test_long_sequences_read_by_their_iterator_keep_every_id_in_order():
    # Past a million ids, a sequence without a known size is gathered in pieces and put
    # together at the end: the ids that decide these answers come last.
    g = quillnet.CoreGraph()
    root, op, leaf = g.add_value_with_payload(0, 0), g.add_op_with_payload(1), g.add_value_with_payload(1, 1)
    g.connect_value_to_op(root, op)
    g.connect_op_to_value(op, leaf)
    n = 3_000_000
    for nodes, skip, expected in [(range(n, -1, -1), (), True),   # only the root is above
                                  (range(n, 1, -1), (), False),
                                  ([0], range(n, 0, -1), False)]:  # the op is skipped
        assert g.is_below(leaf, nodes, False, skip) is expected
        assert g.is_below(leaf, list(nodes), False, list(skip)) is expected
