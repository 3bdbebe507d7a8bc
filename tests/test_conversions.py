"""How conversion failures name types, and what a prefixed failure keeps."""
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


def test_prefixed_type_error_without_a_cause_gets_none():
    class Bad:
        def __index__(self):
            raise TypeError("plain")

    with pytest.raises(TypeError) as info:
        graph().get_parent(Bad())
    assert str(info.value) == "argument 'node_id': plain"
    assert info.value.__cause__ is None
