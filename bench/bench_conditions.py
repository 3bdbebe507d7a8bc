"""Timing and peak memory of the condition analysis.

Run against an installed build:  python bench/bench_conditions.py [--quick]

Each scenario runs in fresh child processes, round-robin, and each figure is the best of
the rounds.  Peak memory is the peak resident growth across the measured call (the
kernel's peak mark is reset once the graph is built), so it covers native working memory
and the Python result objects alike.
"""
import argparse
import sys
import time

import common
import quillnet as q


def entry(conditions):
    return {"conditions": conditions, "has_callable": False, "cumulative": False}


def tree(n_ops):
    """Ops in breadth-first order, each with children [leaf, leaf, sub-values...]; the
    sub-values (up to two per op) hang the next ops.  Root value 0."""
    g = q.CoreGraph()
    root = g.add_value_with_payload(0, 0)
    frontier = [root]
    made = 0
    i = 0
    while made < n_ops:
        v = frontier[i]
        i += 1
        op = g.add_op_with_payload(1)
        made += 1
        g.connect_value_to_op(v, op)
        for _ in range(2):
            g.connect_op_to_value(op, g.add_value_with_payload(1, 0))
        for _ in range(2):
            sub = g.add_value_with_payload(2, 0)
            g.connect_op_to_value(op, sub)
            frontier.append(sub)
    g.set_root(root)
    return g


def scenario(name, scale):
    """(call, description) of one scenario; scale 1 is the full size."""
    if name == "combinations":
        # 6 children x 10 conditions of two positions each: 10**6 conditions of 12 ints
        per_child = 10 if scale == 1 else 5
        by_child = [[[j, j + 1] for j in range(per_child)] for _ in range(6)]
        offsets = [20 * i for i in range(6)]
        return (lambda: q.condition_combinations(by_child, offsets),
                f"{per_child ** 6:,} conditions")
    if name in ("tree_conditions", "get_conditions"):
        n_ops = 100_000 // scale
        g = tree(n_ops)
        # each op picks one of its two leaves and takes all of its sub-trees
        snap = {1: entry([[0, 2, 3], [1, 2, 3]])}
        fn = q.tree_conditions if name == "tree_conditions" else q.get_conditions
        node = 1 if name == "tree_conditions" else 0
        return lambda: fn(g, node, snap, False), f"{g.num_nodes():,} nodes, {n_ops:,} ops"
    if name.startswith("chain"):
        n_ops = 500_000 // scale
        g = common.build_chain(n_ops)
        snap = {1: entry([[]])}  # nothing selected: recursion through every op
        fn = q.tree_conditions if name == "chain_tree_conditions" else q.get_conditions
        node = 1 if name == "chain_tree_conditions" else 0
        return (lambda: fn(g, node, snap, False),
                f"{g.num_nodes():,} nodes, depth {n_ops:,} ops")
    raise SystemExit(f"unknown scenario {name}")


def run_one(name, scale):
    call, what = scenario(name, scale)

    def timed():
        t0 = time.perf_counter()
        out = call()
        return out, time.perf_counter() - t0

    (result, dt), peak = common.peak_growth(timed)
    common.emit({"seconds": dt, "peak": peak, "conditions": len(result),
                 "ints": sum(map(len, result)), "what": what})


SCENARIOS = ["combinations", "tree_conditions", "get_conditions",
             "chain_tree_conditions", "chain_get_conditions"]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="sizes cut tenfold or more")
    ap.add_argument("--rounds", type=int, help="fresh processes per scenario (default 3)")
    ap.add_argument("--child", choices=SCENARIOS, help=argparse.SUPPRESS)
    ap.add_argument("--scale", type=int, default=1, help=argparse.SUPPRESS)
    a = ap.parse_args()
    if a.child:
        return run_one(a.child, a.scale)
    scale = 10 if a.quick else 1
    rounds = a.rounds or (1 if a.quick else 3)
    best = {}
    for _ in range(rounds):                 # round-robin over the scenarios
        for s in SCENARIOS:
            r = common.run_child(sys.executable, __file__,
                                 ["--child", s, "--scale", scale], timeout=600)
            b = best.setdefault(s, r)
            b["seconds"] = min(b["seconds"], r["seconds"])
            b["peak"] = min(b["peak"], r["peak"])
    print(f"condition analysis, each scenario in {rounds} fresh process(es), best of them:")
    common.print_table(["scenario", "time", "peak growth", "result conditions / ints",
                        "input"],
                       [[s, common.fmt_seconds(r["seconds"]), common.fmt_bytes(r["peak"]),
                         f"{r['conditions']:,} / {r['ints']:,}", r["what"]]
                        for s, r in best.items()])

if __name__ == "__main__":
    main()
