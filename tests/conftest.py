import contextlib

import pytest

import quillnet


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


def oob(length, index):
    return f"index out of bounds: the len is {length} but the index is {index}"


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


@contextlib.contextmanager
def interrupted_after(seconds=0.2):
    """Raises KeyboardInterrupt from a signal handler after `seconds`; the block must end
    with it.  The signal comes from a kernel timer, the way Ctrl-C reaches a long native
    call that holds the interpreter lock."""
    import signal

    def on_alarm(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, on_alarm)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        with pytest.raises(KeyboardInterrupt):
            yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
