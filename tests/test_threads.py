"""Threads: separate graphs searched at once, readers sharing one graph, a writer racing
readers, and the caller's lists and dicts changed by another thread while a call reads
them.  On a build with the interpreter lock the threads take turns between calls; on a
free-threaded build they run at once, and the module must not turn the lock back on."""
import subprocess
import sys
import sysconfig
import threading
import time

import pytest

import quillnet as q
from graphs import diamond_chain, entry, one_op_with_leaves, op_over_leaves

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
THREADS = 4
# Each racing test stops after this long: long enough for thousands of overlapping
# calls on two cores, short enough to keep the file at a few seconds.
RACE_SECONDS = 0.4

BORROW_MESSAGES = ("Already borrowed", "Already mutably borrowed")


def run_threads(count, body):
    """Runs body(i) in `count` threads started together; returns their results in order
    and re-raises the first failure."""
    start = threading.Barrier(count)
    results, failures = [None] * count, []

    def run(i):
        try:
            start.wait()
            results[i] = body(i)
        except BaseException as e:  # noqa: B036 - PanicException derives from BaseException
            failures.append(e)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if failures:
        raise failures[0]
    return results


def is_borrow_conflict(e):
    """The refusal of a borrow: RuntimeError from a method, PanicException (same text)
    from a condition function that borrows its graph argument later."""
    if isinstance(e, RuntimeError):
        return str(e) in BORROW_MESSAGES
    return type(e).__name__ == "PanicException" and str(e).startswith(BORROW_MESSAGES)


def searches(g, leaves):
    """Results of the searches and hashes on one graph, for comparing threads."""
    return (
        g.traces(leaves[0]),
        g.cross_sections(leaves[0], leaves),
        g.connection_hash(),
        g.equality_hash(),
        g.walk(0),
        [(r.connection_hash(), r.num_nodes()) for r in q.glue_leaves(g, leaves[:4], leaves[4:6], False)],
        q.tree_conditions(g, 1, {1: entry([[0], [1, 2]])}, False),
    )


class TestIsolation:
    @pytest.mark.skipif(not FREE_THREADED, reason="the interpreter lock is always on here")
    def test_import_leaves_the_lock_off(self):
        # In a fresh interpreter: the suite's other imports must not hide the module's own.
        code = "import sys, quillnet; sys.exit(sys._is_gil_enabled())"
        done = subprocess.run([sys.executable, "-W", "error::RuntimeWarning", "-c", code],
                              capture_output=True, text=True)
        assert done.returncode == 0, done.stderr

    def test_threads_on_separate_graphs_match_one_thread(self):
        def build_and_search(_):
            g, leaves = one_op_with_leaves(8)
            return [searches(g, leaves) for _ in range(5)]

        expected = build_and_search(0)
        assert run_threads(THREADS, build_and_search) == [expected] * THREADS

    def test_readers_of_one_graph_match_one_thread(self):
        g, leaves = one_op_with_leaves(8)
        expected = searches(g, leaves)
        deep = diamond_chain(12)
        deep_traces = deep.traces(24)
        results = run_threads(THREADS, lambda _: [(searches(g, leaves), deep.traces(24)) for _ in range(10)])
        assert results == [[(expected, deep_traces)] * 10] * THREADS
        g.add_op_with_payload(5)  # no borrow left behind
        deep.add_op_with_payload(5)


class TestWriterAndReaders:
    def test_conflicts_are_refused_and_the_graph_stays_whole(self):
        g = op_over_leaves(3)
        done = threading.Event()
        made = []  # the writer's calls that went through, in order, with their results
        refused = []

        def writer():
            deadline = time.monotonic() + RACE_SECONDS
            try:
                i = 0
                while time.monotonic() < deadline:
                    i += 1
                    for name, args in (("add_value_with_payload", (i, 0)), ("add_op_with_payload", (i,)),
                                       ("connect_value_to_op", (0, None)), ("connect_op_to_value", (None, 2))):
                        if None in args:  # the op just made
                            if not made or made[-1][0] != "add_op_with_payload":
                                continue
                            args = tuple(made[-1][2] if a is None else a for a in args)
                        try:
                            made.append((name, args, getattr(g, name)(*args)))
                        except BaseException as e:  # noqa: B036
                            if not is_borrow_conflict(e):
                                raise
                            refused.append(e)
            finally:
                done.set()

        def reader():
            sizes = []
            while not done.is_set():
                try:
                    sizes.append(g.num_nodes())
                    g.traces(2)
                    g.connection_hash()
                    q.tree_conditions(g, 1, {1: entry([[0]])}, False)
                except BaseException as e:  # noqa: B036
                    if not is_borrow_conflict(e):
                        raise
                    refused.append(e)
            return sizes

        results = run_threads(3, lambda i: writer() if i == 0 else reader())
        for sizes in results[1:]:
            assert sizes == sorted(sizes)  # a reader never sees nodes go away
        # The graph holds exactly the calls that went through: replayed alone on a fresh
        # copy of the start, they give the same graph.
        replay = op_over_leaves(3)
        for name, args, result in made:
            assert getattr(replay, name)(*args) == result
        assert g.num_nodes() == replay.num_nodes()
        assert g.connections() == replay.connections()
        assert g.connection_hash() == replay.connection_hash()
        assert g.equality_hash() == replay.equality_hash()
        g.add_op_with_payload(0)  # no borrow left behind
        if not FREE_THREADED:
            assert refused == []  # with the lock, calls never overlap


class TestContainersChangedMeanwhile:
    """Another thread changes a list or an op_snapshot dict while a call converts it: the
    call reads some state of the container (or reports the dict's change as before), and
    nothing crashes."""

    @staticmethod
    def race(change, call, allowed=()):
        """Runs change() in a loop in another thread while call() runs in a loop here."""
        stop = threading.Event()

        def changer():
            while not stop.is_set():
                change()

        t = threading.Thread(target=changer)
        t.start()
        outcomes, refusals = [], 0
        try:
            deadline = time.monotonic() + RACE_SECONDS
            while time.monotonic() < deadline:
                try:
                    outcomes.append(call())
                except BaseException as e:  # noqa: B036
                    if (type(e).__name__, str(e)) not in allowed:
                        raise
                    refusals += 1
        finally:
            stop.set()
            t.join()
        assert outcomes or refusals
        return outcomes

    def test_id_list_changed_while_converted(self):
        g, leaves = one_op_with_leaves(8)
        ids = leaves * 5000
        spare = list(leaves)

        def change():
            ids.extend(spare)
            del ids[-len(spare):]
            ids[len(ids) // 2] = leaves[1]
            ids.append(leaves[0])
            ids.pop()

        outcomes = self.race(change, lambda: g.is_below(leaves[0], ids))
        assert outcomes and all(isinstance(o, bool) for o in outcomes)

    def test_nested_lists_changed_while_converted(self):
        rows = [[0, 1, 2]] * 2000

        def change():
            rows.append([3, 4])
            rows[0] = [5]
            rows.pop()
            rows[0] = [0, 1, 2]

        outcomes = self.race(change, lambda: q.condition_combinations([rows, [[7]]], [0, 10]))
        assert outcomes and all(isinstance(o, list) for o in outcomes)

    def test_op_snapshot_changed_while_converted(self):
        g = op_over_leaves(2)
        conditions = [[0], [1]] * 500
        snap = {k: entry(conditions) for k in range(2, 300)}
        snap[1] = entry(conditions)

        def change():
            snap[1] = entry([[0], [1]])
            snap[1]["conditions"] = conditions
            conditions.append([1])
            conditions.pop()
            snap[400] = entry([])
            del snap[400]

        allowed = {("PanicException", "dictionary changed size during iteration"),
                   ("PanicException", "dictionary keys changed during iteration")}
        # Whichever state of the entry of op 1 the call read.
        states = [[[0], [1]], conditions, conditions + [[1]]]
        expected = [q.tree_conditions(g, 1, {1: entry(c)}, False) for c in states]
        outcomes = self.race(change, lambda: q.tree_conditions(g, 1, snap, False), allowed)
        assert all(o in expected for o in outcomes)
