"""How long each long call takes to answer Ctrl-C, phase by phase.

    python bench/latency.py [--scale S] [--trials N] [--only WORD]

For each call on its input (a 10,000,000-node tree, an op with 10,000,000 children, a
value with 5,000,000 options, a callable with 2,000,000 conditions, ...; --scale
multiplies every size, 2**k condition counts lose log2(1/S) from k), the call is first
run once to learn its run time T; then a kernel timer whose handler raises
KeyboardInterrupt (the way Ctrl-C reaches a native call that holds the interpreter lock)
is armed at several shares of T, --trials times each.  The latency of a trial is the time
from the timer's expiry to the caller's except clause; "after handler" is the part of it
after the handler ran (the call had polled and was unwinding).  A search that does not end
in reasonable time (traces and cross_sections on 2**60 paths, get_conditions with its
pruning of millions of conditions) is interrupted after 1 s and 2 s instead.
The table gives the worst trial of each call.  Inputs are built once, before their
first call; the whole run at scale 1 needs about 8 GiB.
"""
import argparse
import gc
import math
import signal
import time

import common

SHARES = (0.25, 0.5, 0.75, 0.95)
ENDLESS = (1.0, 2.0)


def interrupt(call, delay):
    """(latency, after handler) of one trial, None when the call ended first."""
    seen = []

    def on_alarm(signum, frame):
        seen.append(time.perf_counter())
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, on_alarm)
    result = None
    try:
        start = time.perf_counter()
        signal.setitimer(signal.ITIMER_REAL, delay)
        try:
            result = call()
            signal.setitimer(signal.ITIMER_REAL, 0)
            ended = time.perf_counter()
        except KeyboardInterrupt:
            ended = time.perf_counter()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    del result
    gc.collect()
    if not seen:
        return None
    return max(ended - start - delay, 0.0), ended - seen[0]


def worst(call, delays, trials):
    """The worst (latency, after handler, delay) over the trials; delays that always
    came after the end of the call are halved until one lands."""
    out = (0.0, 0.0, 0.0)
    for delay in delays:
        for _ in range(trials):
            d = delay
            for _ in range(5):
                r = interrupt(call, d)
                if r is not None:
                    out = max(out, (*r, d))
                    break
                d /= 2
    return out


# --------------------------------------------------------------------------------------
# Inputs


def tree(n):
    return common.build_tree(n)


def star(n):
    """Root value 0 with one option op 1 over n leaves."""
    import quillnet

    g = quillnet.CoreGraph()
    g.add_value_with_payload(0, 0)
    g.add_op_with_payload(1)
    g.connect_value_to_op(0, 1)
    add, cov = g.add_value_with_payload, g.connect_op_to_value
    for i in range(n):
        cov(1, add(i & 0xFFFF, 0))
    g.set_root(0)
    return g


def fan(n):
    """Root value 0 with n option ops and nothing below them."""
    import quillnet

    g = quillnet.CoreGraph()
    g.add_value_with_payload(0, 0)
    add, cvo = g.add_op_with_payload, g.connect_value_to_op
    for i in range(n):
        cvo(0, add(i & 0xFFFF))
    g.set_root(0)
    return g


def ladder(k=60):
    """Bottom value 0; level i adds a value with two ops over the value below: 2**k
    upward paths from node 0."""
    import quillnet

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


def callable_op():
    """Op 0 (op id 10) over a callable value (value id 50) and one more value."""
    import quillnet

    g = quillnet.CoreGraph()
    op, fn, x = g.add_op_with_payload(10), g.add_value_with_payload(50, 0), g.add_value_with_payload(1, 0)
    g.connect_op_to_value(op, fn)
    g.connect_op_to_value(op, x)
    return g


def choices(w):
    """An op (node 3w, op id 1) over w values that each have an option op (op id 2) over
    two leaves, under a root value (the graph's root): with CHOICES the op has 2**w
    conditions."""
    import quillnet

    g = quillnet.CoreGraph()
    values = []
    for i in range(w):
        v = g.add_value_with_payload(i, 0)
        op = g.add_op_with_payload(2)
        g.connect_value_to_op(v, op)
        for j in range(2):
            g.connect_op_to_value(op, g.add_value_with_payload(j, 0))
        values.append(v)
    top = g.add_op_with_payload(1)
    for v in values:
        g.connect_op_to_value(top, v)
    root = g.add_value_with_payload(100, 0)
    g.connect_value_to_op(root, top)
    g.set_root(root)
    return g, top, root


def entry(conditions, has_callable=False):
    return {"conditions": conditions, "has_callable": has_callable, "cumulative": False}


CHOICES = {1: entry([[]]), 2: entry([[0], [1]])}


def cases(scale):
    """(call name, input text, build() -> state, call(state) -> result, endless)."""
    import quillnet

    def n(x):
        return max(int(x * scale), 16)

    def k(x):
        return max(x + int(math.floor(math.log2(scale))), 4)

    big, half = n(10_000_000), n(5_000_000)
    conds, exp = n(2_000_000), k(21)
    tree_in = f"tree of {common.tree_node_count(big):,} nodes"
    star_in = f"op with {big:,} children"
    fan_in = f"value with {half:,} options"
    ids_in = f"{tree_in}, {big:,}-id list"
    return [
        ("connections()", tree_in, lambda: tree(big), lambda g: g.connections(), False),
        ("nodes(True, True)", tree_in, lambda: tree(big), lambda g: g.nodes(True, True), False),
        ("nodes(True, False)", tree_in, lambda: tree(big), lambda g: g.nodes(True, False), False),
        ("walk_from_root(True, True)", tree_in, lambda: tree(big),
         lambda g: g.walk_from_root(True, True), False),
        ("clone_subgraph()", tree_in, lambda: tree(big), lambda g: g.clone_subgraph(), False),
        ("is_below(leaf, ids)", ids_in, lambda: (tree(big), list(range(big))),
         lambda s: s[0].is_below(s[0].num_nodes() - 1, s[1]), False),
        ("is_below(leaf, [], skip=ids)", ids_in, lambda: (tree(big), list(range(big))),
         lambda s: s[0].is_below(s[0].num_nodes() - 1, [], skip=s[1]), False),
        ("walk(op)", star_in, lambda: star(big), lambda g: g.walk(1), False),
        ("walk_from_root(True, True)", star_in, lambda: star(big),
         lambda g: g.walk_from_root(True, True), False),
        ("leaves()", star_in, lambda: star(big), lambda g: g.leaves(), False),
        ("get_children(op)", star_in, lambda: star(big), lambda g: g.get_children(1), False),
        ("connection_hash()", star_in, lambda: star(big), lambda g: g.connection_hash(), False),
        ("equality_hash()", star_in, lambda: star(big), lambda g: g.equality_hash(), False),
        ("clone_subgraph()", fan_in, lambda: fan(half), lambda g: g.clone_subgraph(), False),
        ("clone_and_attach(elem, 0)", "elem: " + fan_in, lambda: (fan(half), fan(0)),
         lambda s: s[1].clone_and_attach(s[0], 0), False),
        ("traces(bottom)", "2**60 upward paths", ladder, lambda g: g.traces(0), True),
        ("cross_sections(bottom, [bottom])", "2**60 upward paths", ladder,
         lambda g: g.cross_sections(0, [0]), True),
        ("update_callable_conditions", f"callable with {conds:,} conditions",
         lambda: (callable_op(), {10: entry([], True), 50: entry([[0]] * conds)}),
         lambda s: quillnet.update_callable_conditions(s[0], 0, s[1]), False),
        ("condition_combinations", f"2**{exp} combinations", lambda: [[[0], [1]]] * exp,
         lambda c: quillnet.condition_combinations(c, []), False),
        ("tree_conditions", f"op with 2**{exp} conditions", lambda: choices(exp),
         lambda s: quillnet.tree_conditions(s[0], s[1], CHOICES, False), False),
        # The pruning of conditions that contain another grows with the square of
        # their number: interrupted after 1 s and 2 s, as an endless search.
        ("get_conditions", f"value with 2**{exp} conditions", lambda: choices(exp),
         lambda s: quillnet.get_conditions(s[0], s[2], CHOICES, False), True),
    ]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--scale", type=float, default=1.0, help="multiplies every input size")
    ap.add_argument("--trials", type=int, default=2, help="trials per timer position")
    ap.add_argument("--only", default=None, help="only calls whose name contains this")
    args = ap.parse_args()
    rows, built = [], {}
    for name, text, build, call, endless in cases(args.scale):
        if args.only and args.only not in name:
            continue
        if text not in built:
            built.clear()  # one input at a time keeps the memory down
            gc.collect()
            built[text] = build()
        state = built[text]
        run = lambda: call(state)  # noqa: E731
        if endless:
            run_time, delays = float("inf"), ENDLESS
        else:
            start = time.perf_counter()
            result = run()
            run_time = time.perf_counter() - start
            del result
            gc.collect()
            delays = [s * run_time for s in SHARES]
        latency, after, delay = worst(run, delays, args.trials)
        rows.append([name, text, "endless" if endless else common.fmt_seconds(run_time),
                     common.fmt_seconds(latency), common.fmt_seconds(after),
                     common.fmt_seconds(delay)])
        print(f"{name} on {text}: {latency:.3f} s", flush=True)
    print()
    common.print_table(["call", "input", "run time", "worst latency", "after handler",
                        "timer at"], rows)


if __name__ == "__main__":
    main()
