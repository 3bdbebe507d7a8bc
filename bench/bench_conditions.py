"""Timing and peak memory of the condition analysis.

Run by hand:  PYTHONPATH=<build dir> python bench/bench_conditions.py

Each scenario runs in a fresh child process.  Peak memory is the growth of the process's
peak resident set size (resource.getrusage ru_maxrss) across the measured call, so it
covers native working memory and the Python result objects alike; the graph is built
before the baseline is taken.
"""

import resource
import subprocess
import sys
import time

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


def chain(n_ops):
    g = q.CoreGraph()
    v = g.add_value_with_payload(0, 0)
    for _ in range(n_ops):
        o = g.add_op_with_payload(1)
        g.connect_value_to_op(v, o)
        v = g.add_value_with_payload(0, 0)
        g.connect_op_to_value(o, v)
    return g


def scenario(name):
    if name == "combinations":
        # 6 children x 10 conditions of two positions each: 10**6 conditions of 12 ints
        by_child = [[[j, j + 1] for j in range(10)] for _ in range(6)]
        offsets = [20 * i for i in range(6)]
        return lambda: q.condition_combinations(by_child, offsets), "1,000,000 conditions"
    if name in ("tree_conditions", "get_conditions"):
        g = tree(100_000)
        # each op picks one of its two leaves and takes all of its sub-trees
        snap = {1: entry([[0, 2, 3], [1, 2, 3]])}
        fn = q.tree_conditions if name == "tree_conditions" else q.get_conditions
        node = 1 if name == "tree_conditions" else 0
        return lambda: fn(g, node, snap, False), f"{g.num_nodes()} nodes, 100,000 ops"
    if name.startswith("chain"):
        g = chain(500_000)
        snap = {1: entry([[]])}  # nothing selected: recursion through every op
        fn = q.tree_conditions if name == "chain_tree_conditions" else q.get_conditions
        node = 1 if name == "chain_tree_conditions" else 0
        return lambda: fn(g, node, snap, False), f"{g.num_nodes()} nodes, depth 500,000 ops"
    raise SystemExit(f"unknown scenario {name}")


def run_one(name):
    call, what = scenario(name)
    base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    t0 = time.perf_counter()
    result = call()
    dt = time.perf_counter() - t0
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    size = sum(map(len, result))
    print(f"{name:24s} {dt * 1000:9.1f} ms  peak RSS +{(peak - base) / 1024:7.1f} MiB  "
          f"result {len(result)} conditions / {size} ints  ({what})")


SCENARIOS = ["combinations", "tree_conditions", "get_conditions",
             "chain_tree_conditions", "chain_get_conditions"]

if __name__ == "__main__":
    if len(sys.argv) > 1:
        run_one(sys.argv[1])
    else:
        for s in SCENARIOS:
            subprocess.run([sys.executable, __file__, s], check=True)
