import contextlib

import pytest

import quillnet
from support import hard_time_limit, keep_stderr

# Every test runs under a hard time bound: a loop that never ends must fail the run
# instead of hanging it.
TEST_TIME_LIMIT = 300.0


def pytest_configure(config):
    keep_stderr()


@pytest.fixture(autouse=True)
def _bounded_test():
    with hard_time_limit(TEST_TIME_LIMIT):
        yield


@contextlib.contextmanager
def _panics(message=None):
    """Expects the call inside the block to end with PanicException.

    PanicException derives from BaseException and is not a module attribute, so it is
    caught as BaseException and recognised by its class name and base.
    """
    with pytest.raises(BaseException) as info:
        yield info
    exc = info.value
    assert type(exc).__name__ == "PanicException", repr(exc)
    assert not isinstance(exc, Exception)
    if message is not None:
        assert str(exc) == message


@pytest.fixture
def panics():
    return _panics


@pytest.fixture
def graph_from():
    """Builds a graph from a compact description.

    nodes: a list of ("v", val_id, type_id) or ("o", op_id) tuples, created in order.
    edges: a list of ("ov", op, val) / ("vo", val, op) connect calls, made in order.
    """

    def build(nodes, edges=(), root=0):
        g = quillnet.CoreGraph()
        for n in nodes:
            if n[0] == "v":
                g.add_value_with_payload(n[1], n[2])
            else:
                g.add_op_with_payload(n[1])
        for kind, a, b in edges:
            if kind == "ov":
                g.connect_op_to_value(a, b)
            else:
                g.connect_value_to_op(a, b)
        g.set_root(root)
        return g

    return build
