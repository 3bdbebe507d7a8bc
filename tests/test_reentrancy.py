"""Python signal handlers run inside the cancellation poll of a long search, while the
search holds its borrow of the graph.  A handler that reads the graph gets correct
answers, one that mutates it gets the borrow RuntimeError, neither disturbs the result,
and a KeyboardInterrupt from the handler ends the search with the graph unchanged."""
import contextlib
import signal

import pytest

import quillnet
from graphs import CHOICES, choice_forest, diamond_ladder, fans, star
from support import bounded_memory, hard_time_limit

TICK = 0.002  # seconds between handler runs
LIMIT = 20.0  # hard bound on every search below (seconds)


def contents(graphs):
    """Graphs compared by what they hold (CoreGraph compares by identity)."""
    return [(h.connections(), h.equality_hash()) for h in graphs]


def dump(g):
    n = g.num_nodes()
    return (n, g.get_root(), g.connections(), g.equality_hash(),
            [(g.get_value_payload(i), g.get_op_id(i), g.get_parent(i), g.get_parents(i),
              g.get_options(i), g.get_children(i)) for i in range(n)])


class GraphProbe:
    """What a signal handler does with the graph of the running search: it tells whether
    the search still holds its borrow (setting the root to itself changes nothing when it
    is allowed), reads, and tries every kind of mutation."""

    def __init__(self, g, nested_read):
        self.g = g
        self.nested_read = nested_read  # a small search of its own on the same graph
        self.expected = self.reads()
        self.refusals = set()
        self.wrong = []

    def reads(self):
        g = self.g
        return (g.num_nodes(), g.get_root(), g.get_children(1), g.connection_hash(),
                self.nested_read(g))

    def borrowed(self):
        try:
            self.g.set_root(self.g.get_root())
        except RuntimeError as e:
            self.refusals.add(str(e))
            return True
        return False

    def exercise(self):
        if self.reads() != self.expected:
            self.wrong.append("read")
        g = self.g
        for mutate in (lambda: g.add_op_with_payload(1), lambda: g.add_value_with_payload(1, 1),
                       lambda: g.connect_op_to_value(1, 0), lambda: g.connect_value_to_op(0, 1),
                       lambda: g.merge_value_nodes(0, 1, True, True), lambda: g.set_root(1)):
            try:
                mutate()
                self.wrong.append("mutated")
            except RuntimeError as e:
                self.refusals.add(str(e))


class Ticking:
    """Runs `on_tick(n)` from SIGALRM every TICK seconds inside the block (n counts the
    runs), under hard bounds on time and memory.  A run that starts while an earlier one
    is still going (its own calls poll for signals too) is skipped."""

    def __init__(self, on_tick):
        self.on_tick = on_tick
        self.count = 0
        self.busy = False

    def handler(self, signum, frame):
        if self.busy:
            return
        self.busy = True
        try:
            self.count += 1
            self.frame = frame
            self.on_tick(self.count)
        finally:
            self.busy = False

    def __enter__(self):
        self.bounds = contextlib.ExitStack()
        self.bounds.enter_context(hard_time_limit(LIMIT))
        self.bounds.enter_context(bounded_memory())
        self.previous = signal.signal(signal.SIGALRM, self.handler)
        signal.setitimer(signal.ITIMER_REAL, TICK, TICK)
        return self

    def __exit__(self, *exc):
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, self.previous)
        self.bounds.close()
        return False


# Each search: the graph, a small search on it for the handler to run, a search that ends
# after a fraction of a second, and one that does not end by itself.  The searches take
# fresh Python inputs from `inputs`, which the handler empties while they run.
def traces_search():
    g = diamond_ladder(60)
    return (g, lambda h: h.traces(172),
            lambda inputs: g.traces(127), lambda inputs: g.traces(0))


def is_below_search():
    g = diamond_ladder(60)
    return (g, lambda h: h.is_below(172, [g.get_root()]),
            lambda inputs: g.is_below(115, inputs([10**6]), True, inputs([])),
            lambda inputs: g.is_below(0, inputs([10**6])))


def cross_sections_search():
    g, (finite, endless, tiny) = fans(18, 60, 2)
    return (g, lambda h: h.cross_sections(tiny, [tiny]),
            lambda inputs: g.cross_sections(finite, inputs([finite])),
            lambda inputs: g.cross_sections(endless, inputs([endless])))


def glue_search():
    g = star([5] * 14, root_type=0)
    return (g, lambda h: len(quillnet.glue_leaves(h, [2, 3], [], False)),
            lambda inputs: contents(quillnet.glue_leaves(g, inputs(list(range(2, 12))), inputs([15]), False)),
            lambda inputs: quillnet.glue_leaves(g, inputs(list(range(2, 16))), [], False))


def tree_conditions_search():
    g, (endless, finite), _ = choice_forest(60, 18)
    return (g, lambda h: quillnet.tree_conditions(h, 1, CHOICES, False),
            lambda inputs: quillnet.tree_conditions(g, finite, inputs(dict(CHOICES)), False),
            lambda inputs: quillnet.tree_conditions(g, endless, inputs(dict(CHOICES)), False))


def get_conditions_search():
    g, _, (endless, finite) = choice_forest(60, 13)
    return (g, lambda h: quillnet.get_conditions(h, 0, CHOICES, False),
            lambda inputs: quillnet.get_conditions(g, finite, inputs(dict(CHOICES)), True),
            lambda inputs: quillnet.get_conditions(g, endless, inputs(dict(CHOICES)), True))


SEARCHES = {
    "traces": traces_search,
    "is_below": is_below_search,
    "cross_sections": cross_sections_search,
    "glue_leaves": glue_search,
    "tree_conditions": tree_conditions_search,
    "get_conditions": get_conditions_search,
}


class Inputs:
    """Hands fresh containers to a search and empties them all from the handler."""

    def __init__(self):
        self.made = []

    def __call__(self, container):
        self.made.append(container)
        return container

    def empty_all(self):
        for c in self.made:
            c.clear()


@pytest.mark.parametrize("name", list(SEARCHES))
def test_handler_reads_and_mutations_during_a_search(name):
    g, nested_read, finite, _ = SEARCHES[name]()
    expected = finite(Inputs())
    before = dump(g)
    probe = GraphProbe(g, nested_read)
    inputs = Inputs()
    inside = []

    def on_tick(n):
        if probe.borrowed():
            inside.append(n)
            probe.exercise()
            inputs.empty_all()

    with Ticking(on_tick):
        result = finite(inputs)
    assert len(inside) >= 3, "the handler should have run several times during the search"
    assert probe.wrong == []
    assert probe.refusals == {"Already borrowed"}
    assert result == expected
    assert dump(g) == before


@pytest.mark.parametrize("name", list(SEARCHES))
def test_keyboard_interrupt_from_the_handler_after_several_runs(name):
    g, nested_read, finite, endless = SEARCHES[name]()
    before = dump(g)
    probe = GraphProbe(g, nested_read)
    inputs = Inputs()
    inside = []

    def on_tick(n):
        if probe.borrowed():
            inside.append(n)
            probe.exercise()
            inputs.empty_all()
            if len(inside) == 4:
                raise KeyboardInterrupt

    with Ticking(on_tick), pytest.raises(KeyboardInterrupt):
        endless(inputs)
    assert len(inside) == 4 and probe.wrong == [] and probe.refusals == {"Already borrowed"}
    assert dump(g) == before
    assert probe.reads() == probe.expected  # usable: reads and a search of its own work
    assert finite(Inputs()) == finite(Inputs())
    g.add_op_with_payload(1)  # the borrow is gone
    assert g.num_nodes() == before[0] + 1


def test_combinations_unaffected_by_a_handler_that_empties_the_inputs():
    by_child = [[[0], [1]] for _ in range(18)]
    offsets = [0, 2]
    expected = quillnet.condition_combinations(by_child, offsets)

    def on_tick(n):
        for child in by_child:
            child.clear()
        offsets.clear()

    with Ticking(on_tick) as ticking:
        result = quillnet.condition_combinations(by_child, offsets)
    assert ticking.count >= 3 and result == expected

    fired = []

    def stop(n):
        # Once, and only while the call runs: its poll is where this test's own frame is
        # current.  A later tick may land in this frame after the call has ended (between
        # the two context exits); it must not raise again.
        if n >= 4 and not fired and ticking.frame.f_code is this_test:
            fired.append(n)
            raise KeyboardInterrupt

    this_test = test_combinations_unaffected_by_a_handler_that_empties_the_inputs.__code__
    with Ticking(stop) as ticking, pytest.raises(KeyboardInterrupt):
        quillnet.condition_combinations([[[0], [1]]] * 60, [])
    assert quillnet.condition_combinations([[[0], [1]]] * 2, []) == [[0, 0], [0, 1], [1, 0], [1, 1]]
