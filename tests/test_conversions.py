"""How conversion failures name types, and which failures keep their own form."""
import collections
import datetime

import pytest

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


@pytest.mark.parametrize("name, accepted", [("bool_", True), ("bool", True), ("int_", False)])
def test_numpy_booleans_are_recognised_by_module_and_name(name, accepted):
    fake = type(name, (), {"__module__": "numpy", "__bool__": lambda self: False})
    g = graph()
    if accepted:
        assert g.walk(0, fake(), True) == [0]
    else:
        with pytest.raises(TypeError, match=f"^argument 'above': '{name}' object cannot be cast as 'bool'$"):
            g.walk(0, fake(), True)


class Index:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


def test_type_error_subclass_passes_through_unprefixed():
    class Special(TypeError):
        pass

    original = Special("mine")
    with pytest.raises(Special) as info:
        graph().get_parent(Index(original))
    assert info.value is original and str(info.value) == "mine"


def test_prefixed_type_error_without_cause_has_none():
    with pytest.raises(TypeError) as info:
        graph().get_parent(Index(TypeError("plain")))
    assert str(info.value) == "argument 'node_id': plain"
    assert info.value.__cause__ is None


def test_unprintable_type_error_is_prefixed_with_an_empty_message():
    class Unprintable(Exception):
        pass

    err = TypeError()
    err.args = (Unprintable(),)

    def boom(self):
        raise RuntimeError("no text")

    Unprintable.__str__ = boom
    with pytest.raises(TypeError) as info:
        graph().get_parent(Index(err))
    assert str(info.value) == "argument 'node_id': "
