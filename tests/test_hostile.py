"""Inputs a hostile caller can pass: huge sequences, hooks that raise, searches whose
single steps are large.  Each must end with the right Python exception, promptly."""
import contextlib
import faulthandler
import signal
import time

import pytest

import quillnet as q
from graphs import diamond_chain, one_op_with_leaves
from quillnet import CoreGraph


@contextlib.contextmanager
def signal_after(seconds, bound=20.0):
    """Raises KeyboardInterrupt from a SIGALRM handler after `seconds` and yields a dict
    that receives the delay between the signal and the end of the block.  A hard bound
    ends the whole process if the block never returns."""
    sent = {}

    def on_alarm(signum, frame):
        sent["at"] = time.monotonic()
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, on_alarm)
    faulthandler.dump_traceback_later(bound, exit=True)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    result = {}
    try:
        with pytest.raises(KeyboardInterrupt):
            yield result
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        faulthandler.cancel_dump_traceback_later()
        signal.signal(signal.SIGALRM, previous)
    result["delay"] = time.monotonic() - sent["at"]


def test_long_sequence_arguments_answer_ctrl_c():
    """A range of a trillion ids is read item by item; the reading polls for signals."""
    g, leaves = one_op_with_leaves(2)
    for call in (
        lambda: g.is_below(0, range(10**12)),
        lambda: g.is_below(0, [], skip=range(10**12)),
        lambda: g.cross_sections(0, range(10**12)),
        lambda: q.glue_leaves(g, range(10**12), [], False),
        lambda: q.condition_combinations([], range(10**12)),
        lambda: q.condition_combinations([[range(10**12)]], []),
    ):
        with signal_after(0.1) as r:
            call()
        assert r["delay"] < 2.0
    assert g.leaves() == leaves


def test_searches_with_large_steps_answer_ctrl_c():
    """The poll counts nodes copied, hashed and asked about, not levels or choices."""
    # Every level of this search copies and hashes 200,000 nodes.
    g, leaves = one_op_with_leaves(200_000)
    before = g.connection_hash()
    with signal_after(0.3) as r:
        q.glue_leaves(g, leaves[:20], [], False)
    assert r["delay"] < 2.0
    assert g.connection_hash() == before

    # Two upward traces of 100 values give 10,000 choices; each asks about 200,000 leaves.
    g = CoreGraph()
    leaf = g.add_value_with_payload(0, 0)
    top = g.add_value_with_payload(1, 0)
    for _ in range(2):
        op = g.add_op_with_payload(0)
        g.connect_value_to_op(top, op)
        g.connect_op_to_value(op, leaf)
    for i in range(99):
        above = g.add_value_with_payload(i, 0)
        op = g.add_op_with_payload(0)
        g.connect_value_to_op(above, op)
        g.connect_op_to_value(op, top)
        top = above
    with signal_after(0.3) as r:
        g.cross_sections(leaf, [leaf] * 200_000)
    assert r["delay"] < 2.0


def test_failed_module_lookup_of_a_bool_argument_propagates():
    """Only a missing __module__ means "not a numpy boolean"; other failures of the
    lookup are the caller's own exception."""
    g, _ = one_op_with_leaves(1)

    def raising(exc):
        class Meta(type):
            def __getattribute__(cls, name):
                if name == "__module__":
                    raise exc
                return super().__getattribute__(name)

        return Meta("bool_", (), {})()

    with pytest.raises(ValueError, match="hook"):
        g.walk(0, raising(ValueError("hook")))
    with pytest.raises(KeyboardInterrupt):
        g.walk(0, True, raising(KeyboardInterrupt()))
    with pytest.raises(TypeError, match="argument 'above': 'bool_' object cannot be cast as 'bool'"):
        g.walk(0, raising(AttributeError("no module")))


def test_range_of_two_to_the_sixty_positions_is_an_overflow():
    """A selected child with exactly 2**60 leaf occurrences cannot be materialised."""
    g = diamond_chain(61)  # v0 -> op1 -> [v2, v2]; v2 -> op3 -> [v4, v4]; ...
    snap = {1: {"conditions": [[0]], "has_callable": False, "cumulative": False}}
    with pytest.raises(OverflowError, match="leaf occurrence count too large"):
        q.tree_conditions(g, 1, snap, False)
