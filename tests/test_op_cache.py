import pytest

import quillnet as q
from graphs import entry, op_over_leaves


@pytest.fixture(scope="module")
def g():
    """value 0 -> op 1 (op_id 1) -> leaves 2, 3."""
    return op_over_leaves(2)


def conds(g, snap):
    return q.tree_conditions(g, 1, snap, False)


class Key:
    """An integer-like key hashed by identity; `hook` runs when it is converted."""

    def __init__(self, value, hook=None):
        self.value, self.hook = value, hook

    def __index__(self):
        if self.hook:
            self.hook()
        return self.value


class NoItems(dict):
    def __getitem__(self, k):
        raise AssertionError("the subclass's item access must not be used")

    def __missing__(self, k):
        return False


def test_accepted_shapes_and_later_keys_win(g):
    assert conds(g, {}) == []
    assert conds(g, {1: dict(entry(((0,), range(1, 2))), extra=5)}) == [[0], [1]]
    assert conds(g, NoItems({1: NoItems(entry([[0]]))})) == [[0]]
    assert conds(g, {1: entry([[0]]), Key(1): entry([[1]])}) == [[1]]


@pytest.mark.parametrize("snap, exc, message", [
    ({1: [1]}, TypeError, "'list' object cannot be cast as 'dict'"),
    ({1: {"has_callable": 1}}, KeyError, "missing 'conditions'"),
    ({1: {"conditions": "01"}}, KeyError, "missing 'has_callable'"),
    ({1: NoItems(conditions=[], has_callable=False)}, KeyError, "missing 'cumulative'"),
    ({1: entry("01")}, TypeError, "Can't extract `str` to `Vec`"),
    ({1: entry([[0], "01"])}, TypeError, "Can't extract `str` to `Vec`"),
    ({1: entry({0})}, TypeError, "'set' object cannot be cast as 'Sequence'"),
    ({1: entry([[0]], 1)}, TypeError, None),
    ({1: entry([[0]], False, None)}, TypeError, None),
    ({-1: "value not looked at"}, OverflowError, None),
    ({2**32: entry([])}, OverflowError, "out of range integral type conversion attempted"),
    ({0: entry([]), 1: entry([[-1]])}, OverflowError, None),
])
def test_malformed_entries_raise_unprefixed(g, snap, exc, message):
    for call in (lambda: q.tree_conditions(g, 1, snap, False), lambda: q.get_conditions(g, 1, snap, True),
                 lambda: q.update_callable_conditions(g, 1, snap)):
        with pytest.raises(exc) as ei:
            call()
        assert message is None or ei.value.args[0] == message
        assert not str(ei.value).startswith("argument")


class Clash:
    """A key that hashes like `name`; once armed, comparing it fails."""

    armed = False

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        if Clash.armed:
            raise ValueError(f"cannot compare with {other!r}")
        return False


@pytest.mark.parametrize("name", ["conditions", "has_callable", "cumulative"])
def test_failing_key_comparison_in_an_entry_propagates(g, name):
    e = {Clash(name): None, Clash("other"): None}  # met before the real key
    e.update(entry([[0]]))

    def fails():
        Clash.armed = True
        try:
            with pytest.raises(ValueError, match=f"^cannot compare with '{name}'$"):
                conds(g, {1: e})
        finally:
            Clash.armed = False

    fails()
    del e[name]  # with the key missing too: the comparison's failure, not KeyError
    fails()
    assert conds(g, {1: {Clash("other"): None, **entry([[0]])}}) == [[0]]


def panic_message(g, snap):
    with pytest.raises(BaseException) as ei:
        conds(g, snap)
    assert type(ei.value).__name__ == "PanicException" and not isinstance(ei.value, Exception)
    return str(ei.value)


def test_snapshot_changed_while_walked(g):
    snap = {}
    snap[Key(1, lambda: snap.__setitem__(5, entry([])))] = entry([[0]])
    assert panic_message(g, snap) == "dictionary changed size during iteration"

    snap = {}  # same size, but the walk meets a third entry
    a = Key(1, lambda: (snap.pop(a), snap.__setitem__(Key(3), entry([]))) if a in snap else None)
    snap[a] = entry([[0]])
    snap[2] = entry([])
    assert panic_message(g, snap) == "dictionary keys changed during iteration"


def test_objects_dropped_by_hooks_stay_alive(g):
    e = entry(None)
    e["conditions"] = [[Key(0, e.clear)], [1]]  # empties its own entry while converting
    assert conds(g, {1: e}) == [[0], [1]]
    snap = {}
    k = Key(1, lambda: snap.__setitem__(k, entry([[1]])))  # replaces the entry being read
    snap[k] = entry([[0]])
    assert conds(g, snap) == [[0]]
