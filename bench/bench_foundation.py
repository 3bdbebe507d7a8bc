"""Binding call overhead, construction speed, walk speed and memory per node.

Run by hand against an optimised build:  python bench/bench_foundation.py
(rustworkx is only needed for the construction comparison: pip install rustworkx)
"""
import gc
import os
import subprocess
import sys
import timeit
from array import array

import quillnet

N = 1_000_000


def per_call_ns(stmt, setup_globals, number=2_000_000, repeat=5):
    best = min(timeit.repeat(stmt, globals=setup_globals, number=number, repeat=repeat))
    return best / number * 1e9


def call_overhead(rounds=9, number=1_000_000):
    g = quillnet.CoreGraph()
    for i in range(100):
        g.add_value_with_payload(i, 0)
    g.add_op_with_payload(1)
    g.connect_value_to_op(5, 100)
    d = {i: i for i in range(100)}
    env = {"d": d, "x": 5, "op": 100, "is_value_node": g.is_value_node,
           "get_parent": g.get_parent, "dget": d.get}
    stmts = {
        "d.get(x)": "dget(x)",
        "g.is_value_node(i)": "is_value_node(x)",
        "g.get_parent(i) -> int": "get_parent(op)",
        "g.get_parent(i) -> None": "get_parent(x)",
        "(empty statement)": "pass",
    }
    # Rounds interleave the statements so that a noisy moment hits them all alike; the
    # best round of each counts.
    best = {k: float("inf") for k in stmts}
    for _ in range(rounds):
        for k, stmt in stmts.items():
            t = timeit.timeit(stmt, globals=env, number=number) / number * 1e9
            best[k] = min(best[k], t)
    floor = best["d.get(x)"]
    print("call overhead, ns per call (best of %d interleaved rounds; the statement loop "
          "itself costs %.1f ns):" % (rounds, best["(empty statement)"]))
    for k in stmts:
        if k != "(empty statement)":
            print("  %-26s %6.1f  = %.2fx floor" % (k, best[k], best[k] / floor))


def build_tree_quill(n):
    """A tree of n nodes: every value node has one option op with two child values."""
    g = quillnet.CoreGraph()
    add_v, add_o = g.add_value_with_payload, g.add_op_with_payload
    cvo, cov = g.connect_value_to_op, g.connect_op_to_value
    add_v(0, 0)
    count = 1
    v = 0
    while count + 3 <= n:
        op = add_o(v & 0xFFFF)
        cvo(v, op)
        a = add_v(v, 1)
        cov(op, a)
        b = add_v(v, 1)
        cov(op, b)
        count += 3
        v += 1
        while not g.is_value_node(v):
            v += 1
    return g


def build_tree_rx(n):
    import rustworkx as rx

    g = rx.PyDiGraph()
    add_node, add_edge = g.add_node, g.add_edge
    add_node(None)
    count = 1
    v = 0
    kinds = [True]  # value node?
    while count + 3 <= n:
        op = add_node(None)
        add_edge(v, op, None)
        a = add_node(None)
        add_edge(op, a, None)
        b = add_node(None)
        add_edge(op, b, None)
        kinds += [False, True, True]
        count += 3
        v += 1
        while not kinds[v]:
            v += 1
    return g


def construction():
    gc.collect()
    best = {}
    for name, fn in [("quillnet", build_tree_quill), ("rustworkx", build_tree_rx)]:
        try:
            times = []
            for _ in range(3):
                t = timeit.timeit(lambda: fn(N), number=1)
                times.append(t)
            best[name] = min(times)
        except ImportError:
            best[name] = None
    print("construction of a %d-node tree by per-call adds (best of 3):" % N)
    for name, t in best.items():
        if t is None:
            print("  %-10s (not installed)" % name)
        else:
            print("  %-10s %6.1f ns per node  (%.3f s)" % (name, t / N * 1e9, t))


def walk_speed():
    g = build_tree_quill(N)
    ids = g.walk_from_root(False, True)
    arr = array("Q", ids)
    del ids
    t_walk = min(timeit.repeat(lambda: g.walk_from_root(False, True), number=1, repeat=7))
    t_floor = min(timeit.repeat(arr.tolist, number=1, repeat=7))
    print("walk_from_root(False, True) on the %d-node tree (best of 7):" % N)
    print("  array('Q', ids).tolist()  %6.1f ms  (floor)" % (t_floor * 1e3))
    print("  walk_from_root            %6.1f ms  = %.2fx floor" % (t_walk * 1e3, t_walk / t_floor))


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_child():
    gc.collect()
    before = rss_bytes()
    g = build_tree_quill(N)
    gc.collect()
    after = rss_bytes()
    print("  resident growth %.1f bytes per node (%d nodes)" % ((after - before) / g.num_nodes(), g.num_nodes()))


def memory():
    print("memory per node of the %d-node tree (fresh process):" % N)
    subprocess.run([sys.executable, __file__, "--memory-child"], check=True)


if __name__ == "__main__":
    if "--memory-child" in sys.argv:
        memory_child()
    else:
        call_overhead()
        construction()
        walk_speed()
        memory()
