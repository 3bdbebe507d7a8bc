"""Repeated calls of every method and function, on success and on failure paths, leave the
process no bigger: the reference counts of the argument objects, the Python allocations
(tracemalloc) and the native heap (glibc's allocator statistics, and resident memory)."""
import ctypes
import gc
import os
import signal
import sys
import tracemalloc

import pytest

import quillnet
from graphs import CHOICES, choice_forest, diamond_ladder, entry, star
from quillnet import CoreGraph
from support import Index

pytestmark = pytest.mark.slow

CALLS = 600  # calls per measured batch; the thresholds below scale with it
PAGE = os.sysconf("SC_PAGE_SIZE")


# ---- measurements -------------------------------------------------------------------

class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd",
        "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


def _heap_reader():
    """Bytes handed out by malloc (small blocks and mmapped ones), or None without glibc."""
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = _MallInfo2
    mallinfo2.argtypes = []

    def in_use():
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    return in_use


# Under AddressSanitizer (the sanitizer CI lane sets QUILLNET_SANITIZED=1) freed blocks sit
# in a quarantine and the allocator statistics are not glibc's, so the native measurements
# mean nothing there; the sanitizer's own leak check covers native memory instead.
SANITIZED = os.environ.get("QUILLNET_SANITIZED") == "1"
heap_in_use = None if SANITIZED else _heap_reader()


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def traced():
    return tracemalloc.get_traced_memory()[0]


def smallest_growth(measure, run, batches=3):
    """The smallest growth of `measure` over one batch of calls, after a warm-up batch.
    A leak grows every batch; a one-off effect (an arena or a cache filling) does not."""
    run()
    growths = []
    for _ in range(batches):
        gc.collect()
        before = measure()
        run()
        gc.collect()
        growths.append(measure() - before)
        if growths[-1] <= 0:
            break
    return min(growths)


def tracked_objects(fn, args, kwargs):
    """The objects whose reference counts a call must give back: the receiver, the
    arguments, and the items of container arguments (three levels deep)."""
    receiver = getattr(fn, "__self__", None)
    out = [fn, receiver if isinstance(receiver, CoreGraph) else None]

    def add(o, depth):
        out.append(o)
        if depth == 0:
            return
        if isinstance(o, (list, tuple)):
            for x in o:
                add(x, depth - 1)
        elif isinstance(o, dict):
            for k, v in o.items():
                add(k, 0)
                add(v, depth - 1)

    for a in list(args) + list(kwargs.values()):
        add(a, 3)
    # Objects shared with the whole interpreter (None, True, the cached small ints and
    # one-character strings; immortal or with huge counts on later versions) change with
    # unrelated code and say nothing about this call.
    def private(o):
        if o is None or isinstance(o, bool) or sys.getrefcount(o) >= 10**6:
            return False
        if type(o) is int and -5 <= o <= 256:
            return False
        return not (type(o) is str and len(o) <= 1)

    return [o for o in out if private(o)]


# ---- inputs -------------------------------------------------------------------------

class TypeErrorWithCause:
    def __index__(self):
        try:
            raise KeyError("inner")
        except KeyError as e:
            raise TypeError("outer") from e


class RaisingIndex:
    def __index__(self):
        raise ValueError("no index")


NumpyLikeBool = type("bool_", (), {"__module__": "numpy"})


def sample_graph():
    """Root value 0 with option op 1 (op id 1); op 1 has children 2..7 (values of type 5,
    value ids 10..15); each of those has one option op (op id 2) with three leaf children
    of types 5, 6 and 7.  32 nodes, 18 leaves."""
    g = CoreGraph()
    root = g.add_value_with_payload(0, 0)
    top = g.add_op_with_payload(1)
    g.connect_value_to_op(root, top)
    mids = []
    for i in range(6):
        v = g.add_value_with_payload(10 + i, 5)
        g.connect_op_to_value(top, v)
        mids.append(v)
    for v in mids:
        op = g.add_op_with_payload(2)
        g.connect_value_to_op(v, op)
        for t in (5, 6, 7):
            g.connect_op_to_value(op, g.add_value_with_payload(t, t))
    g.set_root(root)
    return g


class PendingInterrupt(Index):
    """An id whose conversion starts a short timer, so that the search after it meets the
    signal at a poll, where the handler raises KeyboardInterrupt.  (A signal sent with
    os.kill would be handled before os.kill returns, inside the conversion.)"""

    def __index__(self):
        signal.setitimer(signal.ITIMER_REAL, 0.0001)
        return self.value


def _on_alarm(signum, frame):
    if frame is not None and frame.f_code is PendingInterrupt.__index__.__code__:
        signal.setitimer(signal.ITIMER_REAL, 0.0001)  # still converting: wait for the search
        return
    raise KeyboardInterrupt


def _panic_type():
    try:
        CoreGraph().get_parent(0)
    except BaseException as e:  # noqa: B036 - PanicException derives from BaseException
        return type(e)


Panic = _panic_type()


def fill_fresh_graph(a, b):
    """Every mutating method on a new graph, which is dropped again."""
    h = CoreGraph()
    r = h.add_value_with_payload(a, b)
    o = h.add_op_with_payload(a)
    x = h.add_value_with_payload(a, b)
    y = h.add_value_with_payload(b, b)
    o2 = h.add_op_with_payload(b)
    h.connect_value_to_op(r, o)
    h.connect_op_to_value(o, x)
    h.connect_op_to_value(o, y)
    h.connect_value_to_op(y, o2)
    h.connect_op_to_value(o2, h.add_value_with_payload(b, a))
    h.set_root(Index(r))
    h.merge_value_nodes(x, y, True, True)
    return h.get_root()


def resizing_snapshot(base):
    """A snapshot whose first key's conversion adds an entry."""
    d = {}
    d[Index(1, lambda: d.__setitem__(99, base))] = base
    d[2] = base
    return d


def key_replacing_snapshot(base):
    """A snapshot whose first entry, while its conditions convert, replaces its own key by
    a new one at the end: the walk then meets more entries than the dictionary held."""
    d = {}

    def replace():
        del d[0]
        d[3] = base

    d[0] = entry([[Index(0, replace)]])
    d[1] = d[2] = base
    return d


def build_cases():
    G = sample_graph()
    E = sample_graph()
    EMPTY = CoreGraph()
    BADROOT = sample_graph()
    BADROOT.set_root(999)
    LADDER = diamond_ladder(60)
    SMALL_LADDER = diamond_ladder(6)
    STAR = star([5] * 12, root_type=0)
    WIDE, (WIDE_TOP,), (WIDE_ROOT,) = choice_forest(40)
    leaves = G.leaves()
    same_type = [l for l in leaves if G.get_value_payload(l)[1] == 5]
    SNAP = {1: entry([[0, 1], [2]]), 2: entry([[0], [1, 2]]), 10: entry([[0, 1]]),
            Index(3): entry(((0,), (Index(1),)), True, False)}
    CALLABLE = {1: entry([[0]], True, False), 10: entry([[0], [1, 2]])}
    # More conditions than the call frees itself: the native lists go to the release queue.
    MANY = {1: entry([[0]], True, False), 10: entry([[0], [1, 2]] * 5_000)}
    good = entry([[0]])
    VICTIM = sample_graph()  # exclusively borrowed while other calls try to use it

    c = {}

    def case(name, fn, *args, raises=None, calls=CALLS, **kwargs):
        assert name not in c
        c[name] = (fn, args, kwargs, raises, calls)

    # -- successes: every method and function --
    case("fill_fresh_graph", fill_fresh_graph, Index(3), 4)
    case("constructor", CoreGraph)
    case("get_root", G.get_root)
    case("set_root", G.set_root, Index(0))
    case("walk_from_root", G.walk_from_root, True, True)
    case("get_children", G.get_children, Index(1))
    case("get_parents", G.get_parents, leaves[0])
    case("get_options", G.get_options, 2)
    case("neighbors", G.neighbors, 1)
    case("leaves", G.leaves)
    case("get_parent", G.get_parent, Index(1))
    case("is_value_node", G.is_value_node, Index(1))
    case("get_value_payload", G.get_value_payload, 2)
    case("get_op_id", G.get_op_id, 1)
    case("num_nodes", G.num_nodes)
    case("nodes", G.nodes, True, False)
    case("walk", G.walk, 2, above=True, below=False)
    case("clone_subgraph", G.clone_subgraph)
    case("connection_hash", G.connection_hash)
    case("connections", G.connections)
    case("equality_hash", G.equality_hash)
    case("same_spec", G.same_spec, Index(2), 3)
    case("clone_and_attach", G.clone_and_attach, E, Index(leaves[0]))
    case("clone_and_attach_self", G.clone_and_attach, G, leaves[1])
    case("traces", G.traces, leaves[0], below=True)
    case("is_below", G.is_below, leaves[0], [Index(2), 3], False, skip=(Index(1),))
    case("cross_sections", G.cross_sections, leaves[0], [Index(leaves[1]), leaves[4]])
    case("condition_combinations", quillnet.condition_combinations,
         [[[0], [Index(1)]], ((0, 2),)], [Index(0), 4])
    case("tree_conditions", quillnet.tree_conditions, G, Index(1), SNAP, False)
    case("get_conditions", quillnet.get_conditions, G, 0, SNAP, True)
    case("update_callable_conditions", quillnet.update_callable_conditions, G, 1, CALLABLE)
    case("update_callable_many_conditions", quillnet.update_callable_conditions, G, 1, MANY,
         calls=40)
    case("glue_leaves", quillnet.glue_leaves, G, same_type[:4], [Index(same_type[4])], False)
    case("glue_leaves_limited", quillnet.glue_leaves, G, same_type[:3], [], False, Index(1))
    case("glue_leaves_trees_only", quillnet.glue_leaves, graph=G, leaves=[0], candidates=[],
         trees_only=True, max_leaves=None)

    # -- internal failures (PanicException), and the other classes operations raise --
    for name in ("get_children", "neighbors", "get_parent", "get_value_payload", "walk",
                 "traces"):
        case(f"{name}_out_of_range", getattr(G, name), 999, raises=Panic)
    case("same_spec_out_of_range", G.same_spec, 0, Index(999), raises=Panic)
    case("connect_op_to_value_out_of_range", G.connect_op_to_value, 1, 999, raises=Panic)
    case("connect_value_to_op_out_of_range", G.connect_value_to_op, Index(999), 1, raises=Panic)
    case("merge_out_of_range", G.merge_value_nodes, 0, 999, True, True, raises=Panic)
    case("is_below_out_of_range", G.is_below, 999, [0], raises=Panic)
    case("cross_sections_bad_leaf", G.cross_sections, leaves[0], [999], raises=Panic)
    case("clone_subgraph_empty", EMPTY.clone_subgraph, raises=Panic)
    case("connections_empty", EMPTY.connections, raises=Panic)
    case("walk_from_root_bad_root", BADROOT.walk_from_root, True, True, raises=ValueError)
    case("clone_and_attach_no_entry", G.clone_and_attach, E, 999, raises=Panic)
    case("clone_and_attach_bad_receiver", BADROOT.clone_and_attach, E, 0, raises=Panic)
    case("clone_and_attach_bad_elem", G.clone_and_attach, BADROOT, 0, raises=Panic)
    case("glue_leaves_bad_partner", quillnet.glue_leaves, G, [same_type[0], 999], [], False,
         raises=Panic)
    case("glue_leaves_listed_twice", quillnet.glue_leaves, G, same_type[:2] + same_type[:1], [], False,
         raises=Panic)
    case("glue_leaves_trees_only_empty", quillnet.glue_leaves, EMPTY, [], [], True, raises=Panic)
    case("tree_conditions_out_of_range", quillnet.tree_conditions, G, 999, SNAP, False,
         raises=Panic)
    case("get_conditions_out_of_range", quillnet.get_conditions, G, 999, SNAP, False,
         raises=Panic)
    case("update_callable_out_of_range", quillnet.update_callable_conditions, G, 999, SNAP,
         raises=Panic)

    # -- argument kinds --
    case("id_str", G.get_parent, "0", raises=TypeError)
    case("id_negative", G.get_parent, -1, raises=OverflowError)
    case("id_type_error_with_cause", G.get_children, TypeErrorWithCause(), raises=TypeError)
    case("id_other_error", G.get_children, RaisingIndex(), raises=ValueError)
    case("u32_too_large", G.add_op_with_payload, 2**32, raises=OverflowError)
    case("u32_str", G.add_value_with_payload, 1, "x", raises=TypeError)
    case("bool_int", G.walk, 0, 1, raises=TypeError)
    case("bool_numpy_like_without_slot", G.nodes, NumpyLikeBool(), True, raises=TypeError)
    case("id_list_str", G.is_below, 0, "01", raises=TypeError)
    case("id_list_set", G.is_below, 0, {1}, raises=TypeError)
    case("id_list_bad_item", G.is_below, 0, [0, Index(1), "x"], raises=TypeError)
    case("id_list_negative_item", G.is_below, 0, (0, -1), raises=OverflowError)
    case("graph_kind_elem", G.clone_and_attach, 5, 0, raises=TypeError)
    case("graph_kind_glue", quillnet.glue_leaves, [], [], [], False, raises=TypeError)
    case("max_leaves_negative", quillnet.glue_leaves, G, [], [], False, -1, raises=OverflowError)
    case("combinations_str", quillnet.condition_combinations, "ab", [], raises=TypeError)
    case("combinations_inner_str", quillnet.condition_combinations, [[[0]], ["ab"]], [],
         raises=TypeError)
    case("combinations_bad_item", quillnet.condition_combinations, [[[0, Index(1), "x"]]], [],
         raises=TypeError)
    case("snapshot_not_dict", quillnet.tree_conditions, G, 1, [], False, raises=TypeError)
    case("adopt_not_bool", quillnet.get_conditions, G, 0, SNAP, 1, raises=TypeError)

    # -- malformed op_snapshot, each way the op cache can fail --
    class MissingDict(dict):
        def __missing__(self, key):
            return False

    bad_snapshots = {
        "key_str": ({"x": good}, TypeError),
        "key_negative": ({-1: good}, OverflowError),
        "key_too_large": ({2**32: good}, OverflowError),
        "key_raises": ({RaisingIndex(): good}, ValueError),
        "value_not_dict": ({1: [good]}, TypeError),
        "missing_conditions": ({1: {"has_callable": False, "cumulative": False}}, KeyError),
        "missing_has_callable": ({1: {"conditions": [], "cumulative": False}}, KeyError),
        "missing_cumulative": ({1: {"conditions": [], "has_callable": False}}, KeyError),
        "missing_in_subclass": ({1: MissingDict(conditions=[], has_callable=False)}, KeyError),
        "conditions_str": ({1: entry("01")}, TypeError),
        "condition_str": ({1: entry([[0], "01"])}, TypeError),
        "conditions_not_sequence": ({1: entry(5)}, TypeError),
        "condition_bad_item": ({1: entry([[0, Index(1), "x"]])}, TypeError),
        "condition_negative": ({1: entry([[-1]])}, OverflowError),
        "has_callable_int": ({1: entry([], 1)}, TypeError),
        "cumulative_none": ({1: entry([], False, None)}, TypeError),
    }
    for name, (snap, exc) in bad_snapshots.items():
        case(f"snapshot_{name}", quillnet.tree_conditions, G, 1, snap, False, raises=exc)
    # These two change as they are read, so each call gets a new one.
    case("snapshot_changes_size",
         lambda: quillnet.get_conditions(G, 0, resizing_snapshot(good), False), raises=Panic)
    case("snapshot_keys_replaced",
         lambda: quillnet.update_callable_conditions(G, 1, key_replacing_snapshot(good)),
         raises=Panic)

    # -- binding --
    case("new_positional", CoreGraph, 1, raises=TypeError)
    case("missing", G.get_children, raises=TypeError)
    case("too_many_with_defaults", G.walk, 0, True, True, 1, raises=TypeError)
    case("duplicate", G.get_children, 0, node_id=0, raises=TypeError)
    case("unknown_keyword", G.get_children, node=0, raises=TypeError)
    case("noargs_given_one", G.num_nodes, 1, raises=TypeError)
    case("function_missing", quillnet.glue_leaves, G, raises=TypeError)
    case("function_unknown_keyword", quillnet.tree_conditions, G, 1, SNAP, False, extra=1,
         raises=TypeError)

    # -- borrow conflicts, from argument conversions that use a graph being called --
    case("mutate_during_query", G.get_children, Index(1, lambda: G.add_op_with_payload(1)),
         raises=RuntimeError)
    case("read_during_mutation", G.set_root, Index(0, G.num_nodes), raises=RuntimeError)
    case("merge_during_query", G.traces, Index(2, lambda: G.merge_value_nodes(2, 3, True, True)),
         raises=RuntimeError)
    case("mutate_elem_during_attach", G.clone_and_attach, E,
         Index(0, lambda: E.set_root(0)), raises=RuntimeError)
    case("mutate_graph_during_glue", quillnet.glue_leaves, G,
         [Index(2, lambda: G.add_value_with_payload(1, 1))], [], False, raises=RuntimeError)
    case("elem_exclusively_borrowed", VICTIM.set_root,
         Index(0, lambda: G.clone_and_attach(VICTIM, 0)), raises=RuntimeError)
    case("glue_graph_exclusively_borrowed", VICTIM.set_root,
         Index(0, lambda: quillnet.glue_leaves(VICTIM, [], [], False)), raises=RuntimeError)
    case("conditions_graph_exclusively_borrowed", VICTIM.set_root,
         Index(0, lambda: quillnet.tree_conditions(VICTIM, 1, SNAP, False)), raises=Panic)

    # -- Ctrl-C at the first poll of each long search --
    interrupt = dict(raises=KeyboardInterrupt, calls=CALLS // 10)
    case("interrupt_traces", LADDER.traces, PendingInterrupt(0), **interrupt)
    case("interrupt_is_below", LADDER.is_below, PendingInterrupt(0), [], **interrupt)
    case("interrupt_cross_sections", SMALL_LADDER.cross_sections, PendingInterrupt(0), [0],
         **interrupt)
    case("interrupt_glue_leaves", quillnet.glue_leaves, STAR,
         [PendingInterrupt(2)] + list(range(3, 14)), [], False, **interrupt)
    case("interrupt_combinations", quillnet.condition_combinations, [[[0], [1]]] * 40,
         [PendingInterrupt(0)], **interrupt)
    case("interrupt_tree_conditions", quillnet.tree_conditions, WIDE, PendingInterrupt(WIDE_TOP),
         CHOICES, False, **interrupt)
    case("interrupt_get_conditions", quillnet.get_conditions, WIDE, PendingInterrupt(WIDE_ROOT),
         CHOICES, False, **interrupt)
    return c


CASES = build_cases()


@pytest.fixture(scope="module", autouse=True)
def alarm_handler():
    previous = signal.signal(signal.SIGALRM, _on_alarm)
    yield
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)


def batch(fn, args, kwargs, raises, calls):
    def run():
        if raises is None:
            for _ in range(calls):
                fn(*args, **kwargs)
        else:
            for _ in range(calls):
                try:
                    fn(*args, **kwargs)
                except raises:
                    pass

    return run


@pytest.mark.parametrize("name", list(CASES))
def test_repeated_calls_do_not_grow_the_process(name):
    fn, args, kwargs, raises, calls = CASES[name]
    # The case takes the path it names.
    if raises is None:
        fn(*args, **kwargs)
    else:
        with pytest.raises(BaseException) as info:
            fn(*args, **kwargs)
        assert type(info.value) is raises, repr(info.value)
        del info

    run = batch(fn, args, kwargs, raises, calls)
    tracked = tracked_objects(fn, args, kwargs)
    gc.collect()
    counts = [sys.getrefcount(o) for o in tracked]

    if heap_in_use is not None:
        # The smallest block malloc hands out is 32 bytes: a native leak of one block per
        # call grows a batch by at least 32 * calls.
        grew = smallest_growth(heap_in_use, run)
        assert grew < 8 * calls, f"native heap grew by {grew} bytes over {calls} calls"
    if not SANITIZED:
        grew = smallest_growth(rss, run)
        assert grew < 4 * 2**20, f"resident memory grew by {grew} bytes over {calls} calls"

    # Python objects are at least 16 bytes; a leaked one per call doubles the threshold.
    traced_calls = max(calls // 4, 25)
    tracemalloc.start()
    try:
        grew = smallest_growth(traced, batch(fn, args, kwargs, raises, traced_calls))
    finally:
        tracemalloc.stop()
    assert grew < 8 * traced_calls, f"Python allocations grew by {grew} bytes over {traced_calls} calls"

    assert [sys.getrefcount(o) for o in tracked] == counts, "argument reference counts changed"
