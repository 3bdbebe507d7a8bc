"""How soon a running call answers Ctrl-C: the time from a SIGINT to the KeyboardInterrupt
that reaches the caller, for calls over graphs with one huge list.

Each case runs in a child process of its own (its graph built there once); the call is
timed once without a signal, then interrupted by an interval timer at several points of
its run.  For each point the script records the signal's due time, the time the Python
handler ran (the core's next poll) and the time the exception arrived; the figure shown
is the worst signal-to-exception time over the points, with the worst handler delay
beside it.  A call that ends before its signal is counted as finished.

    python bench/cancel_latency.py [--scale F] [--only NAME ...] [--points 0.1,0.3,...]

--scale shrinks every size (0.1: a tenth).  The long searches (traces, cross sections,
condition combinations) have no end; their signal comes after --search-delay seconds.
"""
import argparse
import json
import signal
import subprocess
import sys
import time

import quillnet

M = 10_000_000


def op_with_children(n):
    """Root value 0 with one option op 1 whose n children are distinct leaf values."""
    g = quillnet.CoreGraph()
    r = g.add_value_with_payload(0, 0)
    op = g.add_op_with_payload(1)
    g.connect_value_to_op(r, op)
    add, connect = g.add_value_with_payload, g.connect_op_to_value
    for i in range(n):
        connect(op, add(i + 1, 5))
    g.set_root(r)
    return g, r, op


def op_with_repeated_child(n):
    """Root value 0 with one option op 1 that takes value 2 n times over: few nodes, and
    one list of n entries on each side (op 1's children, value 2's parents)."""
    g = quillnet.CoreGraph()
    r = g.add_value_with_payload(0, 0)
    op = g.add_op_with_payload(1)
    v = g.add_value_with_payload(1, 5)
    g.connect_value_to_op(r, op)
    connect = g.connect_op_to_value
    for _ in range(n):
        connect(op, v)
    g.set_root(r)
    return g, r, op


def root_with_options(n):
    """Root value 0 with n option ops, no children."""
    g = quillnet.CoreGraph()
    r = g.add_value_with_payload(0, 0)
    add, connect = g.add_op_with_payload, g.connect_value_to_op
    for i in range(n):
        connect(r, add(i))
    g.set_root(r)
    return g


def diamond_ladder(k):
    g = quillnet.CoreGraph()
    cur = g.add_value_with_payload(0, 0)
    for i in range(k):
        top = g.add_value_with_payload(i + 1, 0)
        for _ in range(2):
            op = g.add_op_with_payload(i)
            g.connect_value_to_op(top, op)
            g.connect_op_to_value(op, cur)
        cur = top
    g.set_root(cur)
    return g


def snapshot(children):
    # Op 1 selects its first child only, so every other child is a leaf without options:
    # the analysis reads the whole list.
    return {1: {"conditions": [[0]], "has_callable": False, "cumulative": False}}


def cases(scale):
    n = max(1000, int(M * scale))
    half = max(1000, int(M * scale / 2))
    out = {}

    def star():
        if "star" not in cache:
            cache["star"] = op_with_children(n)
        return cache["star"]

    cache = {}

    def elem():
        e = quillnet.CoreGraph()
        a = e.add_value_with_payload(0, 0)
        o = e.add_op_with_payload(9)
        b = e.add_value_with_payload(1, 1)
        e.connect_value_to_op(a, o)
        e.connect_op_to_value(o, b)
        e.set_root(a)
        return e

    out["walk_from_root"] = lambda: (lambda g: lambda: g.walk_from_root(True, True))(star()[0])
    out["walk"] = lambda: (lambda g, op: lambda: g.walk(op))(star()[0], star()[2])
    out["leaves"] = lambda: (lambda g: lambda: g.leaves())(star()[0])
    out["connection_hash"] = lambda: (lambda g: lambda: g.connection_hash())(star()[0])
    out["equality_hash"] = lambda: (lambda g: lambda: g.equality_hash())(star()[0])
    out["connections"] = lambda: (lambda g: lambda: g.connections())(star()[0])
    out["clone_subgraph"] = lambda: (lambda g: lambda: g.clone_subgraph())(star()[0])
    out["clone_and_attach"] = lambda: (
        lambda g, e: lambda: g.clone_and_attach(e, 2))(star()[0], elem())
    out["get_conditions"] = lambda: (
        lambda g, s: lambda: quillnet.get_conditions(g, 0, s, False))(star()[0], snapshot(n))
    out["tree_conditions"] = lambda: (
        lambda g, s: lambda: quillnet.tree_conditions(g, 1, s, False))(star()[0], snapshot(n))
    def rep():
        if "rep" not in cache:
            cache["rep"] = op_with_repeated_child(n)
        return cache["rep"][0]

    out["rep_walk_from_root"] = lambda: (lambda g: lambda: g.walk_from_root(True, True))(rep())
    out["rep_walk"] = lambda: (lambda g: lambda: g.walk(2))(rep())
    out["rep_leaves"] = lambda: (lambda g: lambda: g.leaves())(rep())
    out["rep_connection_hash"] = lambda: (lambda g: lambda: g.connection_hash())(rep())
    out["rep_equality_hash"] = lambda: (lambda g: lambda: g.equality_hash())(rep())
    out["rep_connections"] = lambda: (lambda g: lambda: g.connections())(rep())
    out["rep_clone_subgraph"] = lambda: (lambda g: lambda: g.clone_subgraph())(rep())
    out["rep_clone_and_attach"] = lambda: (
        lambda g, e: lambda: g.clone_and_attach(e, 2))(rep(), elem())
    out["rep_get_conditions"] = lambda: (
        lambda g, s: lambda: quillnet.get_conditions(g, 0, s, False))(rep(), snapshot(n))
    out["rep_tree_conditions"] = lambda: (
        lambda g, s: lambda: quillnet.tree_conditions(g, 1, s, False))(rep(), snapshot(n))
    out["clone_subgraph_options"] = lambda: (
        lambda g: lambda: g.clone_subgraph())(root_with_options(half))

    def below_nodes():
        g = diamond_ladder(3)
        ids = list(range(100, 100 + n))
        return lambda: g.is_below(0, ids)

    def below_skip():
        g = diamond_ladder(3)
        ids = list(range(100, 100 + n))
        return lambda: g.is_below(0, [], True, ids)

    out["is_below_nodes"] = below_nodes
    out["is_below_skip"] = below_skip
    out["traces"] = lambda: (lambda g: lambda: g.traces(0))(diamond_ladder(40))
    out["cross_sections"] = lambda: (lambda g: lambda: g.cross_sections(0, [0]))(diamond_ladder(40))
    out["condition_combinations"] = lambda: (
        lambda: quillnet.condition_combinations([[[0], [1]]] * 40, []))
    return out


ENDLESS = {"traces", "cross_sections", "condition_combinations"}

state = {}


def handler(signum, frame):
    # A signal taken once the call is over (the timer was stopped after it was due)
    # is dropped.
    if state.get("armed"):
        state["handled"] = time.perf_counter()
        raise KeyboardInterrupt


def interrupt_at(call, delay):
    """Runs call with a SIGINT due after `delay` s; returns (latency, handler delay) or None
    when the call ended first."""
    state.clear()
    state["armed"] = True
    try:
        try:
            start = time.perf_counter()
            signal.setitimer(signal.ITIMER_REAL, delay)
            result = call()
        finally:
            # A signal that came just before the timer is stopped is taken here, still
            # inside the outer try.
            signal.setitimer(signal.ITIMER_REAL, 0)
            state["armed"] = False
    except KeyboardInterrupt:
        caught = time.perf_counter()
        due = start + delay
        return caught - due, state["handled"] - due
    del result
    return None


def child(name, scale, points, search_delay):
    # The timer's signal is SIGALRM; its handler does what the default SIGINT handler
    # does (raises KeyboardInterrupt), and reaches the call the same way: through the
    # core's poll of the cancellation hook.
    signal.signal(signal.SIGALRM, handler)
    make = cases(scale)[name]
    t = time.perf_counter()
    call = make()
    built = time.perf_counter() - t
    report = {"name": name, "built": built}
    if name in ENDLESS:
        delays = [search_delay]
        report["plain"] = None
    else:
        t = time.perf_counter()
        result = call()
        report["plain"] = time.perf_counter() - t
        del result
        delays = [report["plain"] * p for p in points]
    worst = worst_handler = None
    finished = 0
    for d in delays:
        r = interrupt_at(call, d)
        if r is None:
            finished += 1
            continue
        worst = r[0] if worst is None else max(worst, r[0])
        worst_handler = r[1] if worst_handler is None else max(worst_handler, r[1])
    report.update(worst=worst, worst_handler=worst_handler, finished=finished, points=len(delays))
    print(json.dumps(report), flush=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--scale", type=float, default=1.0)
    ap.add_argument("--only", nargs="*")
    ap.add_argument("--points", default="0.02,0.1,0.25,0.5,0.75,0.9")
    ap.add_argument("--search-delay", type=float, default=8.0)
    ap.add_argument("--child")
    a = ap.parse_args()
    points = [float(x) for x in a.points.split(",")]
    if a.child:
        child(a.child, a.scale, points, a.search_delay)
        return
    names = a.only or list(cases(a.scale))
    print(f"{'call':26} {'plain s':>9} {'worst s':>9} {'handler s':>10}  finished")
    for name in names:
        p = subprocess.run([sys.executable, __file__, "--child", name, "--scale", str(a.scale),
                            "--points", a.points, "--search-delay", str(a.search_delay)],
                           capture_output=True, text=True)
        line = p.stdout.strip().splitlines()[-1:] if p.returncode == 0 else []
        if not line:
            print(f"{name:26} failed: {p.stderr.strip().splitlines()[-1:]}")
            continue
        r = json.loads(line[0])
        fmt = lambda x: "-" if x is None else f"{x:.3f}"
        print(f"{name:26} {fmt(r['plain']):>9} {fmt(r['worst']):>9} {fmt(r['worst_handler']):>10}"
              f"  {r['finished']}/{r['points']}", flush=True)


if __name__ == "__main__":
    main()
