"""Long searches end with KeyboardInterrupt on Ctrl-C and leave the graph unchanged."""
import quillnet
from graphs import diamond_ladder, one_op_with_leaves
from support import interrupted_after


def test_searches_answer_ctrl_c():
    g = diamond_ladder(60)
    bottom = 0
    before = (g.num_nodes(), g.connection_hash(), g.equality_hash())
    with interrupted_after():
        g.traces(bottom)
    with interrupted_after():
        g.is_below(bottom, [])
    with interrupted_after():
        g.cross_sections(bottom, [bottom])
    with interrupted_after():
        quillnet.condition_combinations([[[0], [1]]] * 40, [])
    assert (g.num_nodes(), g.connection_hash(), g.equality_hash()) == before
    assert g.traces(bottom, above=False) == [[bottom]]  # borrows were released


def test_glue_search_answers_ctrl_c():
    g, leaves = one_op_with_leaves(30)
    candidates = leaves[-3:]
    before = g.connections()
    with interrupted_after():
        quillnet.glue_leaves(g, leaves[:-3], candidates, False)
    assert g.connections() == before


def soon():
    """An id whose conversion starts a 1 ms timer: the signal then comes while the rest of
    its sequence is read by native code alone, however long the call took to start."""
    import signal

    from support import Index

    return Index(0, lambda: signal.setitimer(signal.ITIMER_REAL, 0.001))


def test_long_argument_conversions_answer_ctrl_c():
    """Each input ends with an item that fails to convert: a reader that never polls reaches
    it and raises TypeError instead of KeyboardInterrupt.  The counts are shared across
    nesting levels, so lists of 4094 ids (short of the polling interval) inside lists of
    4094 are polled too."""
    g = one_op_with_leaves(2)[0]
    entry = lambda conditions: {0: {"conditions": conditions, "has_callable": True, "cumulative": False}}
    ids = [soon()] + [0] * 3_000_000 + ["x"]
    square = [[soon()]] + [[0] * 4094] * 4092 + [["x"]]  # 4094 lists
    many = [[soon()]] + [[0]] * 500_000 + [["x"]]
    for call in (
        lambda: g.is_below(2, ids),
        lambda: g.is_below(2, [0], True, ids),
        lambda: g.cross_sections(2, ids),
        lambda: quillnet.glue_leaves(g, [2], ids, False),
        lambda: quillnet.condition_combinations([[[0]]], ids),
        lambda: quillnet.condition_combinations([square], []),
        lambda: quillnet.condition_combinations([[[0]]] * 4093 + [square], []),
        lambda: quillnet.update_callable_conditions(g, 1, entry(square)),
        lambda: quillnet.update_callable_conditions(g, 1, entry(many)),
        lambda: quillnet.tree_conditions(g, 1, {**{k: entry([[0]])[0] for k in range(1, 4094)},
                                                **entry(square)}, False),
    ):
        with interrupted_after(seconds=10):
            call()


def test_signal_handler_that_changes_the_argument_being_read():
    """A handler that runs at a poll during conversion and empties the input, whose items
    have no other references: the item being converted stays held, the reading stops at
    the new end (or, for op_snapshot, fails on the changed size), nothing crashes."""
    import signal

    g = one_op_with_leaves(2)[0]
    inputs = {}

    def empty(signum, frame):
        inputs["seen"].clear()
        inputs["emptied"] = True

    previous = signal.signal(signal.SIGALRM, empty)
    try:
        ids = [soon()] + [2**40 + i for i in range(1_000_000)]
        inputs.update(seen=ids, emptied=False)
        outcome = g.is_below(2, ids)
        assert inputs["emptied"] and ids == [] and outcome in (True, False)

        entry = {"conditions": [[0]], "has_callable": False, "cumulative": False}
        snapshot = {soon(): entry}
        snapshot.update((1000 + i, entry) for i in range(300_000))
        inputs.update(seen=snapshot, emptied=False)
        try:
            quillnet.update_callable_conditions(g, 1, snapshot)
        except BaseException as e:
            outcome = type(e).__name__, str(e)
        assert inputs["emptied"] and snapshot == {}
        assert outcome == ("PanicException", "dictionary changed size during iteration")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
