"""Running out of memory raises MemoryError and leaves every graph as it was.

Each test runs a small script in a child process that lowers its own address-space limit
(RLIMIT_AS) to a little above what it uses at that moment, so an allocation fails after a
few megabytes whatever the machine has.  The child must not abort: its return code and
standard error are checked, and it reports what it saw as one line of JSON.

AddressSanitizer reserves terabytes of address space at start-up and cannot run under
RLIMIT_AS, so the sanitizer CI lane sets QUILLNET_SANITIZED=1 and this module is skipped
there.
"""
import json
import os
import subprocess
import sys
import textwrap

import pytest

if os.environ.get("QUILLNET_SANITIZED") == "1":
    pytest.skip("address-space limits cannot be used under AddressSanitizer", allow_module_level=True)
if not os.path.exists("/proc/self/statm"):
    pytest.skip("needs /proc/self/statm", allow_module_level=True)

pytestmark = pytest.mark.slow

MB = 1 << 20

PRELUDE = r'''
import json, resource, sys
import quillnet
from graphs import CHOICES, choice_forest, diamond_ladder, entry, star
from graphs import chain as unrooted_chain
from quillnet import CoreGraph

PAGE = resource.getpagesize()
HARD = resource.getrlimit(resource.RLIMIT_AS)[1]
MB = 1 << 20


def address_space():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[0]) * PAGE


def limit(headroom):
    resource.setrlimit(resource.RLIMIT_AS, (address_space() + headroom, HARD))


def unlimit():
    resource.setrlimit(resource.RLIMIT_AS, (HARD, HARD))


def under_limit(headroom, call):
    """'MemoryError' or 'ok': the outcome of call() with `headroom` bytes to spare."""
    limit(headroom)
    try:
        call()
        return "ok"
    except MemoryError:
        return "MemoryError"
    finally:
        unlimit()


def fingerprint(g):
    n = g.num_nodes()
    out = [n, g.get_root()]
    if g.get_root() < n:
        out += [g.equality_hash(), g.connection_hash()]
    if n <= 5000:
        out.append(g.connections() if g.get_root() < n else None)
        out.append([(g.get_value_payload(i), g.get_op_id(i), g.get_parent(i), g.get_parents(i),
                     g.get_options(i), g.get_children(i)) for i in range(n)])
    return out


def exhaust(call, graphs, headrooms, after):
    """Runs call() with each headroom (in MB); after each MemoryError small calls must
    still work under the limit and every graph must be unchanged; once the limit is gone
    after() (a real call) must answer True."""
    before = [fingerprint(g) for g in graphs]
    report = {"outcomes": [], "unchanged": True, "usable": True}
    for h in headrooms:
        report["outcomes"].append(under_limit(h * MB, call))
        limit(1 * MB)
        try:
            for g in graphs:
                g.get_root()
                g.num_nodes()
                g.get_value_payload(0)
            quillnet.condition_combinations([[[0], [1]]], [2])
        except MemoryError:
            report["usable"] = False
        finally:
            unlimit()
        if [fingerprint(g) for g in graphs] != before:
            report["unchanged"] = False
    report["after"] = bool(after())
    return report


def chain(n):
    """Values joined by ops, from value 0 up to the root at the top."""
    g = unrooted_chain(n)
    g.set_root(g.num_nodes() - 1)
    return g


def small():
    """Root value 0, op 1, leaves 2 and 3 of type 5."""
    return star([5, 5], root_type=0)
'''


def run_child(body, timeout=120):
    """Runs PRELUDE + body in a fresh interpreter and returns the JSON it printed last."""
    script = PRELUDE + textwrap.dedent(body)
    # A free-threaded interpreter allocates its objects through mimalloc, which reserves
    # address space in arenas of a gigabyte: objects made inside a reserved arena never
    # meet the address-space limit, so memory would not run out where the scripts expect.
    # Small arenas put the limit in force at once; other allocators ignore the setting.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), MIMALLOC_ARENA_RESERVE="4096")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=timeout, env=env)
    assert done.returncode == 0, f"child ended with {done.returncode}:\n{done.stderr[-3000:]}"
    assert "terminate called" not in done.stderr and "Fatal Python error" not in done.stderr, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


def test_growing_a_graph_until_allocation_fails():
    report = run_child('''
        g = CoreGraph()
        limit(24 * MB)
        added = 0
        try:
            while True:
                g.add_value_with_payload(added & 0xFFFF, 7)
                added += 1
        except MemoryError:
            pass
        usable = g.num_nodes() == added and g.walk(added - 1) == [added - 1]
        unlimit()
        nodes_ok = g.nodes(True, False) == list(range(added)) and all(
            g.get_value_payload(i) == (i & 0xFFFF, 7) for i in range(0, added, 997))
        grows_again = g.add_op_with_payload(3) == added

        # One node's list (the failure of a link's second end is tested further down).
        h = CoreGraph()
        val, op = h.add_value_with_payload(0, 0), h.add_op_with_payload(0)
        limit(8 * MB)
        options = 0
        try:
            while True:
                h.connect_value_to_op(val, op)
                options += 1
        except MemoryError:
            pass
        unlimit()
        lists_ok = h.get_options(val) == [op] * options and h.get_parent(op) == val
        h.connect_value_to_op(val, op)
        print(json.dumps({"added": added, "usable": usable, "nodes_ok": nodes_ok,
                          "grows_again": grows_again, "options": options,
                          "lists_ok": lists_ok, "after": len(h.get_options(val))}))
    ''')
    assert report["added"] > 100_000 and report["options"] > 100_000
    assert report["after"] == report["options"] + 1
    assert report["usable"] and report["nodes_ok"] and report["grows_again"] and report["lists_ok"]


# Each entry: graphs to set up, the call that outgrows the limit, the headrooms in MB
# (several, so that the failure comes at different points: in the search, while its
# result is built, while it is turned into Python objects), and a real call afterwards.
OUTGROWING = {
    "clone_subgraph": ("g = chain(150_000)", "g.clone_subgraph()", [1, 2, 4],
                       "g.clone_subgraph()[0].equality_hash() == g.equality_hash()"),
    "clone_and_attach_large_receiver": (
        "g = chain(150_000); e = small()", "g.clone_and_attach(e, 0)", [1, 2, 4],
        "g.clone_and_attach(e, 0)[0].num_nodes() == g.num_nodes() + 3"),
    "clone_and_attach_large_elem": (
        "e = chain(150_000); g = small()", "g.clone_and_attach(e, 2)", [1, 2, 4],
        "g.clone_and_attach(e, 2)[0].num_nodes() == e.num_nodes() + 3"),
    "glue_leaves": ("g = star([5] * 14, root_type=0, padding=20_000)",
                    "quillnet.glue_leaves(g, list(range(2, 15)), [15], False)", [2, 8, 32],
                    "len(quillnet.glue_leaves(g, [2, 3], [], False)) == 2"),
    "connections": ("g = chain(150_000)", "g.connections()", [1, 12, 28, 40],
                    "len(g.connections()) == 2 * (g.num_nodes() - 1)"),
    "neighbors": ("g = star([5] * 300_000, root_type=0)", "[g.neighbors(1) for _ in range(8)]",
                  [1, 4], "len(g.neighbors(1)) == 300_001"),
    "traces": ("g = diamond_ladder(40)", "g.traces(0)", [1, 4, 16, 64],
               "len(g.traces(1, below=True, above=False)) == 2"),
    "cross_sections": ("g = diamond_ladder(40)", "g.cross_sections(0, [0])", [1, 16],
                       "len(g.cross_sections(g.get_root(), [])) == 1"),
    "cross_sections_one_trace": ("g = chain(100_000)", "g.cross_sections(0, [199_998])",
                                 [1, 4, 8], "len(g.cross_sections(2, [])) == 99_999"),
    "condition_combinations": ("g = small()",
                               "quillnet.condition_combinations([[[0], [1]]] * 40, [])",
                               [1, 4, 16, 64],
                               "len(quillnet.condition_combinations([[[0], [1]]] * 10, [])) == 1024"),
    "tree_conditions": ("g, (top,), _ = choice_forest(40)",
                        "quillnet.tree_conditions(g, top, CHOICES, False)", [1, 4, 16, 64],
                        "quillnet.tree_conditions(g, 1, CHOICES, False) == [[0], [1]]"),
    "get_conditions": ("g = choice_forest(40)[0]",
                       "quillnet.get_conditions(g, g.get_root(), CHOICES, False)", [1, 16, 64],
                       "quillnet.get_conditions(g, 0, CHOICES, False) == [[0], [1]]"),
    "op_snapshot_conditions": ("g = small()",
                               "quillnet.tree_conditions(g, 1, {0: entry([[0], range(10**12)])}, False)",
                               [16], "quillnet.tree_conditions(g, 1, {0: entry([[0]])}, False) == [[0]]"),
}


@pytest.mark.parametrize("name", list(OUTGROWING))
def test_operations_that_outgrow_the_limit(name):
    setup, call, headrooms, after = OUTGROWING[name]
    graphs = [v for v in ("g", "e") if f"{v} = " in setup or f"{v}, " in setup]
    report = run_child(f'''
        {setup}
        print(json.dumps(exhaust(lambda: {call}, [{", ".join(graphs)}], {headrooms},
                                 lambda: {after})))
    ''')
    assert report == {"outcomes": ["MemoryError"] * len(headrooms), "unchanged": True,
                      "usable": True, "after": True}


HUGE = "range(10**12)"
ID_LISTS = {
    "is_below_nodes": f"g.is_below(2, {HUGE})",
    "is_below_skip": f"g.is_below(2, [0], True, {HUGE})",
    "cross_sections_leaves": f"g.cross_sections(2, {HUGE})",
    "glue_leaves_leaves": f"quillnet.glue_leaves(g, {HUGE}, [], False)",
    "glue_leaves_candidates": f"quillnet.glue_leaves(g, [2], {HUGE}, False)",
    "combinations_offset_list": f"quillnet.condition_combinations([[[0]]], {HUGE})",
    "combinations_nested": f"quillnet.condition_combinations([[[0]], [{HUGE}]], [])",
}


@pytest.mark.parametrize("name", list(ID_LISTS))
def test_a_huge_id_list_raises_memory_error(name):
    report = run_child(f'''
        g = small()
        print(json.dumps(exhaust(lambda: {ID_LISTS[name]}, [g], [16],
                                 lambda: g.is_below(2, range(3)))))
    ''', timeout=60)
    assert report == {"outcomes": ["MemoryError"], "unchanged": True, "usable": True,
                      "after": True}


def test_failed_connect_stores_no_half_link():
    # The value's parents list is full at 2**23 entries (32 MB): growing it needs more
    # address space than any limit below 32 MB of headroom allows, while the fresh op's
    # children need no allocation at all.  The entries come from a value node `a`, whose
    # children are kept apart from the other lists, so nothing else grows beside them
    # and leaves spare room where the value's list would grow.
    report = run_child('''
        g = CoreGraph()
        val, a, b = g.add_value_with_payload(0, 0), g.add_value_with_payload(1, 0), g.add_op_with_payload(1)
        for _ in range(1 << 23):
            g.connect_op_to_value(a, val)
        state = lambda: (g.get_children(b), len(g.get_parents(val)), g.get_parents(val)[-1])
        before = state()
        failures, half = 0, None
        for headroom in range(0, 96, 8):
            if under_limit(headroom * MB, lambda: g.connect_op_to_value(b, val)) == "ok":
                break
            failures += 1
            if state() != before:
                half = state()
                break
        print(json.dumps({"failures": failures, "half": half}))
    ''')
    assert report["failures"] > 0 and report["half"] is None, report


def test_failed_merge_changes_nothing():
    # Merging the lower side into a value with 2**22 options needs far more working memory
    # than the limit leaves; the upper side needs next to none.
    report = run_child('''
        g = CoreGraph()
        keep, other = g.add_value_with_payload(0, 0), g.add_value_with_payload(1, 0)
        a, b, o = g.add_op_with_payload(0), g.add_op_with_payload(1), g.add_op_with_payload(2)
        for _ in range(1 << 22):
            g.connect_value_to_op(keep, a)
        g.connect_op_to_value(b, other)
        g.connect_value_to_op(other, o)
        state = lambda: (g.get_parents(keep), g.get_children(b), g.get_parents(other),
                         len(g.get_options(keep)), g.get_options(other), g.get_parent(o))
        before = state()
        failures, changed = 0, None
        for headroom in range(0, 512, 16):
            if under_limit(headroom * MB, lambda: g.merge_value_nodes(keep, other, True, True)) == "ok":
                break
            failures += 1
            if state() != before:
                changed = state()[:3]
                break
        print(json.dumps({"failures": failures, "changed": changed}))
    ''')
    assert report["failures"] > 0 and report["changed"] is None, report


@pytest.mark.parametrize("call", ["g.add_value_with_payload(7, 8)", "g.add_op_with_payload(7)"])
def test_an_add_whose_id_cannot_be_returned_adds_nothing(call):
    # Were the node added before its id's int, a failed call would leave a node behind,
    # and a caller retrying after the MemoryError would get two.  The ids from 257 up are
    # ints of their own (not the cached small ones); every id returned is kept, so the
    # calls go on until making one fails, then twice more.  Nothing in the loop allocates
    # but the calls.  The node array has room for 16,383 more nodes (it doubles from 8),
    # so the ints run out first.
    report = run_child(f'''
        g = CoreGraph()
        for i in range(16_385):
            g.add_value_with_payload(i, 0)
        slots = list(range(100_000))
        kept = [None] * len(slots)
        filler = [None] * 4_000_000
        limit(0)
        taken = 0
        try:
            while True:
                filler[taken] = taken + 2 ** 40
                taken += 1
        except MemoryError:
            pass
        failures = 0
        for i in slots:
            try:
                kept[i] = {call}
            except MemoryError:
                failures += 1
                if failures == 3:
                    break
        del filler
        unlimit()
        ids = [k for k in kept if k is not None]
        new = {call}
        print(json.dumps({{"failures": failures, "ids": ids, "count": g.num_nodes() - 1,
                          "new": new, "payload": [g.get_value_payload(new), g.get_op_id(new)]}}))
    ''')
    assert report["failures"] == 3
    assert report["count"] < 1 << 15
    assert report["ids"] == list(range(16_385, report["count"])), "a failed add left a node"
    assert report["new"] == report["count"]
    assert report["payload"] == ([[7, 8], None] if "value" in call else [None, 7])


def test_memory_error_while_an_argument_error_is_described_stays_a_memory_error():
    # The message of the argument's TypeError needs a large allocation to become text;
    # failing it must not turn into a TypeError "argument 'node_id': " without detail.
    report = run_child('''
        detail = "x" * (64 * MB)

        class Bad:
            def __index__(self):
                raise TypeError(detail, 0)  # its text is the repr of both arguments

        g = small()
        seen = []
        for call in (lambda: g.get_parent(Bad()), lambda: g.is_below(2, [0, Bad()]),
                     lambda: quillnet.condition_combinations([[[Bad()]]], [])):
            limit(8 * MB)
            try:
                call()
                seen.append("ok")
            except BaseException as e:
                seen.append(type(e).__name__)
            finally:
                unlimit()
        try:
            g.get_parent(Bad())
        except TypeError as e:
            prefixed = str(e) == "argument 'node_id': " + repr((detail, 0))
        print(json.dumps({"seen": seen, "prefixed": prefixed}))
    ''')
    assert report == {"seen": ["MemoryError"] * 3, "prefixed": True}


def test_first_exception_of_the_process_under_exhaustion_does_not_abort():
    # The C++ runtime's per-thread exception state lives in thread-local storage that the
    # dynamic loader allocates on first use, and a failure there ends the process.  The
    # module sets it up at import; here the process's first C++ exception comes with every
    # allocator (the interpreter's and malloc's) exhausted.
    report = run_child('''
        import ctypes
        malloc = ctypes.CDLL(None).malloc
        malloc.restype, malloc.argtypes = ctypes.c_void_p, [ctypes.c_size_t]
        g = small()
        filler = [None] * 4_000_000
        limit(0)
        taken = 0
        try:
            while True:
                filler[taken] = object()
                taken += 1
        except MemoryError:
            pass
        for i in range(max(taken - 2000, 0), taken):
            filler[i] = None  # room for the ints of the pointers below
        for size in (1 << 16, 4096, 256, 64, 32, 16, 1):
            while malloc(size):
                pass  # never freed: the process ends soon
        outcomes = []
        for call in (lambda: g.get_parent(99), lambda: g.connect_op_to_value(1, 99)):
            try:
                call()
                outcomes.append("ok")
            except BaseException as e:
                outcomes.append(type(e).__name__)
        unlimit()
        print(json.dumps({"outcomes": outcomes, "taken": taken}))
    ''')
    assert report["taken"] > 0
    assert set(report["outcomes"]) <= {"MemoryError", "PanicException"}, report
