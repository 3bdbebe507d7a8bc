"""Helpers shared by the benchmark scripts: graph builders, timing, child processes,
resident memory and table printing.

The scripts import this module from their own directory (Python puts a script's folder
first on sys.path); `quillnet` itself is imported only inside the builders, so a parent
process that only drives children (compare.py, peers.py) never needs it.
"""
import gc
import json
import os
import resource
import signal
import subprocess
import sys
import time
import timeit

TREE_NODES = 1_000_000

# --------------------------------------------------------------------------------------
# Graph builders


def build_tree(n=TREE_NODES):
    """The standard tree: a value root, and every value node gets one option op with two
    child values, expanded breadth first until n nodes (1 + 3k <= n) are used.

    Ids therefore run level by level: the root 0, its op 1, its children 2 and 3, the op
    of 2, ... Written with per-call adds and connects, as a Python user would."""
    import quillnet

    g = quillnet.CoreGraph()
    add_v, add_o = g.add_value_with_payload, g.add_op_with_payload
    cvo, cov = g.connect_value_to_op, g.connect_op_to_value
    values = [add_v(0, 0)]
    count = 1
    for v in values:  # the list grows while it is read: breadth-first order
        if count + 3 > n:
            break
        op = add_o(v & 0xFFFF)
        cvo(v, op)
        a = add_v(v, 1)
        cov(op, a)
        b = add_v(v, 1)
        cov(op, b)
        values.append(a)
        values.append(b)
        count += 3
    g.set_root(0)
    return g


def tree_node_count(n=TREE_NODES):
    """The number of nodes build_tree(n) makes."""
    return 1 + 3 * ((n - 1) // 3)


def build_chain(n_ops, root_first=True):
    """A chain value - op - value - ... with n_ops ops and n_ops + 1 values, the root on
    top.  root_first numbers it from the root down (root 0); otherwise from the bottom
    leaf up, the root getting the last id."""
    import quillnet

    g = quillnet.CoreGraph()
    add_v, add_o = g.add_value_with_payload, g.add_op_with_payload
    cvo, cov = g.connect_value_to_op, g.connect_op_to_value
    if root_first:
        v = add_v(0, 0)
        for i in range(1, n_ops + 1):
            op = add_o(1)
            cvo(v, op)
            v = add_v(i & 0xFFFF, 0)
            cov(op, v)
        g.set_root(0)
    else:
        below = add_v(0, 0)
        for i in range(1, n_ops + 1):
            op = add_o(1)
            val = add_v(i & 0xFFFF, 0)
            cov(op, below)
            cvo(val, op)
            below = val
        g.set_root(below)
    return g


WIDE_VALUES = 200_000
WIDE_WIDTH = 1_000


def build_wide(n_values=WIDE_VALUES, width=WIDE_WIDTH):
    """A layered graph whose lists live in the arena: n_values values in layers of
    `width`; each value above the last layer gets 3 option ops, each op 4 children in the
    next layer, so a value there has about 12 parents.  Root 0.  Written with per-call
    adds and connects, ops and children in creation order.  Returns (graph, links)."""
    import quillnet

    g = quillnet.CoreGraph()
    add_v, add_o = g.add_value_with_payload, g.add_op_with_payload
    cvo, cov = g.connect_value_to_op, g.connect_op_to_value
    layers = max(2, n_values // width)
    ids = [[add_v(i & 0xFFFF, layer & 7) for i in range(width)] for layer in range(layers)]
    links = 0
    for layer in range(layers - 1):
        below = ids[layer + 1]
        for i, v in enumerate(ids[layer]):
            for j in range(3):
                op = add_o(j)
                cvo(v, op)
                for k in range(4):
                    cov(op, below[(7 * i + 13 * j + 31 * k) % width])
                links += 5
    g.set_root(ids[0][0])
    return g, links


def add_chain(g, levels):
    """Add to g a chain of levels + 1 value nodes, each but the top one below an op of
    the value above it; returns (top, bottom)."""
    top = v = g.add_value_with_payload(0, 0)
    for i in range(levels):
        op = g.add_op_with_payload(1)
        g.connect_value_to_op(v, op)
        v = g.add_value_with_payload(i + 1, 0)
        g.connect_op_to_value(op, v)
    return top, v


def add_loose_values(g, count):
    """Add count value nodes that nothing links to."""
    add_v = g.add_value_with_payload
    for i in range(count):
        add_v(i & 0xFFFF, 3)


def star(leaves, candidates, padding):
    """The gluing workload: root R with op P; P takes `leaves` + `candidates` value nodes
    of one type (5).  A chain of `padding` further nodes hangs below R, so that every copy
    the search makes has that much more work.  Returns (graph, leaf ids, candidate ids);
    7 leaves, 2 candidates and padding 0 / 100 / 1000 give 11 / 111 / 1,011 nodes."""
    import quillnet

    g = quillnet.CoreGraph()
    r = g.add_value_with_payload(0, 99)
    p = g.add_op_with_payload(0)
    g.connect_value_to_op(r, p)
    ls = [g.add_value_with_payload(i, 5) for i in range(leaves)]
    cs = [g.add_value_with_payload(i, 5) for i in range(candidates)]
    for x in ls + cs:
        g.connect_op_to_value(p, x)
    prev = r
    for i in range(padding // 2):
        o = g.add_op_with_payload(1)
        g.connect_value_to_op(prev, o)
        prev = g.add_value_with_payload(i, 7)
        g.connect_op_to_value(o, prev)
    return g, ls, cs


def glue_levels(leaves, candidates):
    """Levels of the gluing search on star(): a level with k leaves left glues its first
    leaf onto each of its k - 1 + candidates partners."""
    levels = 1
    for k in range(1, leaves + 1):
        levels = 1 + (k - 1 + candidates) * levels
    return levels


# --------------------------------------------------------------------------------------
# Timing.  Every figure is a best of several runs: the machine is shared, and the best
# run is the one the fewest other processes disturbed.


def best_of(fn, repeat=5):
    """Best wall time of fn() in seconds, and the result of the last call.  The cyclic
    collector is paused while a call runs (as timeit does), and each result stays alive
    until that call's timing is over, so releasing it is not counted."""
    best, result = float("inf"), None
    for _ in range(repeat):
        result = None
        gc.collect()
        was_enabled = gc.isenabled()
        gc.disable()
        try:
            t = time.perf_counter()
            result = fn()
            dt = time.perf_counter() - t
        finally:
            if was_enabled:
                gc.enable()
        best = min(best, dt)
    return best, result


def per_call(fn, repeat=5, min_time=0.02):
    """Best time of one fn() call in seconds, for calls short enough to need a loop:
    each repeat runs fn as often as it takes to last min_time."""
    number = 1
    timer = timeit.Timer(fn)
    while True:
        t = timer.timeit(number)
        if t >= min_time or number >= 1 << 24:
            break
        number *= 10 if t < min_time / 10 else 2
    best = t / number
    for _ in range(repeat - 1):
        best = min(best, timer.timeit(number) / number)
    return best


def alternating(fns, rounds, looped):
    """Best time of one call in seconds of each function in fns ({name: fn}), over
    `rounds` rounds in which the functions take turns, the order reversed every other
    round.  looped: each turn times a loop of calls lasting at least 20 ms (per_call);
    otherwise one call, its result alive until the timing is over (best_of)."""
    best = {k: float("inf") for k in fns}
    names = list(fns)
    for r in range(rounds):
        for k in (names if r % 2 == 0 else names[::-1]):
            t = per_call(fns[k], repeat=1) if looped else best_of(fns[k], 1)[0]
            best[k] = min(best[k], t)
    return best


def interleaved(stmts, env, rounds=9, number=1_000_000):
    """Best time per execution in seconds of each timeit statement in stmts ({name:
    statement}).  The rounds interleave the statements, so that a noisy moment hits them
    all alike."""
    best = {k: float("inf") for k in stmts}
    for _ in range(rounds):
        for k, stmt in stmts.items():
            best[k] = min(best[k], timeit.timeit(stmt, globals=env, number=number) / number)
    return best


# --------------------------------------------------------------------------------------
# Resident memory (Linux /proc)

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes():
    """Current resident set size of this process."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def _hwm_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise OSError("no VmHWM in /proc/self/status")


def _reset_hwm():
    """Reset the kernel's peak-resident mark to the current size; False if refused."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def peak_growth(fn):
    """Run fn() and return (result, peak resident growth in bytes during the call).

    The peak mark is reset just before the call, so an earlier peak (from building the
    graph, say) does not hide the call's own.  Where the kernel refuses the reset, the
    process's lifetime peak (ru_maxrss) serves, which only shows growth past that peak."""
    gc.collect()
    base = rss_bytes()
    if _reset_hwm():
        result = fn()
        return result, max(0, _hwm_bytes() - base)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    result = fn()
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    return result, after - before


def measure_build(build, *args):
    """Build a graph with build(*args) and return (graph, seconds, resident growth in
    bytes).  Meant for a fresh process, where the growth is the graph's own memory plus
    whatever the allocator keeps; the cyclic collector runs as it would in user code."""
    gc.collect()
    base = rss_bytes()
    t = time.perf_counter()
    g = build(*args)
    dt = time.perf_counter() - t
    gc.collect()
    return g, dt, rss_bytes() - base


# --------------------------------------------------------------------------------------
# Child processes.  A child prints one line "RESULT <json>" on stdout; anything else it
# prints is passed through to the parent's stderr on failure only.

RESULT_TAG = "RESULT "


class ChildError(Exception):
    pass


def emit(obj):
    """Print a child's result for run_child to pick up."""
    sys.stdout.write(RESULT_TAG + json.dumps(obj) + "\n")
    sys.stdout.flush()


def _failure_line(stderr):
    """The most telling line of a failed child's stderr: after a crash the innermost
    Python frame of the fault handler's dump, otherwise the last line (an exception)."""
    lines = [s.strip() for s in stderr.splitlines() if s.strip()]
    for i, line in enumerate(lines):
        if line.startswith("Fatal Python error"):
            frames = [s for s in lines[i + 1:] if s.startswith("File ")]
            return line + (" in " + frames[0] if frames else "")
    return lines[-1] if lines else "no output"


def _run(python, script, args, timeout):
    """The finished process of `python script *args`; ChildError if it cannot start or
    times out."""
    cmd = [python, script, *map(str, args)]
    env = dict(os.environ, PYTHONFAULTHANDLER="1")   # a crash names the Python frame
    try:
        return subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=env)
    except subprocess.TimeoutExpired:
        raise ChildError(f"timed out after {timeout:.0f} s") from None
    except OSError as e:
        raise ChildError(f"cannot start {python}: {e.strerror}") from None


def _failure(proc):
    """ChildError with a one-line reason for a process that failed or emitted nothing."""
    tail = _failure_line(proc.stderr)
    if proc.returncode < 0:
        try:
            name = signal.Signals(-proc.returncode).name
        except ValueError:
            name = f"signal {-proc.returncode}"
        return ChildError(f"killed by {name}; {tail}")
    return ChildError(f"exit {proc.returncode}: {tail}")


def run_child(python, script, args=(), timeout=None):
    """Run `python script *args` in a fresh process and return the object it emitted.
    Raises ChildError with a one-line reason when the child fails, dies, times out or
    emits nothing."""
    proc = _run(python, script, args, timeout)
    for line in reversed(proc.stdout.splitlines()):
        if line.startswith(RESULT_TAG) and proc.returncode == 0:
            return json.loads(line[len(RESULT_TAG):])
    raise _failure(proc)


def run_script(python, script, args=(), timeout=None):
    """Run `python script *args` in a fresh process and return what it printed on
    stdout; ChildError as for run_child when it fails, dies or times out."""
    proc = _run(python, script, args, timeout)
    if proc.returncode != 0:
        raise _failure(proc)
    return proc.stdout


def guarded(fn, *args):
    """fn(*args), or {"error": "<type>: <message>"} if it raises anything but Ctrl-C
    (PanicException derives from BaseException, so Exception alone would miss it)."""
    try:
        return fn(*args)
    except KeyboardInterrupt:
        raise
    except BaseException as e:  # noqa: BLE001 - a failing build must not stop the run
        return {"error": f"{type(e).__name__}: {e}"}


# --------------------------------------------------------------------------------------
# Formatting


def fmt_seconds(s):
    if s < 1e-6:
        return f"{s * 1e9:.1f} ns"
    if s < 1e-3:
        return f"{s * 1e6:.2f} µs"
    if s < 1:
        return f"{s * 1e3:.1f} ms"
    return f"{s:.2f} s"


def fmt_bytes(b):
    if abs(b) < 1024:
        return f"{b:.0f} B"
    if abs(b) < 2**20:
        return f"{b / 1024:.0f} KiB"
    return f"{b / 2**20:.1f} MiB"


def fmt_value(v, unit):
    """A figure in its unit: "s" seconds, "s/node" and "s/link" seconds per item, "B"
    bytes, "B/node" bytes per node, "B/s" bytes per second, "1/s" calls per second, "x"
    a ratio."""
    if unit == "s":
        return fmt_seconds(v)
    if unit in ("s/node", "s/link"):
        return f"{v * 1e9:.1f} ns/{unit[2:]}"
    if unit == "B/node":
        return f"{v:.1f} B/node"
    if unit == "B":
        return fmt_bytes(v)
    if unit == "B/s":
        return f"{v / 1e9:.2f} GB/s"
    if unit == "1/s":
        return f"{v:,.0f}/s"
    return f"{v:.2f}x"


def print_table(headers, rows, out=None):
    """Print rows (lists of cells, converted with str) as a Markdown pipe table with
    aligned columns: the first column left-aligned, the others right-aligned."""
    out = out or sys.stdout
    cells = [[str(c) for c in headers]] + [[str(c) for c in r] for r in rows]
    widths = [max(len(r[i]) for r in cells) for i in range(len(headers))]

    def line(r):
        parts = [r[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(r[1:], widths[1:])]
        return "| " + " | ".join(parts) + " |"

    print(line(cells[0]), file=out)
    print("|" + "|".join(["-" * (widths[0] + 2)] + ["-" * (w + 1) + ":" for w in widths[1:]])
          + "|", file=out)
    for r in cells[1:]:
        print(line(r), file=out)
