"""Binding call overhead, construction speed, walk speed and memory per node.

Run against an installed build:  python bench/bench_foundation.py [--quick]
(The same tree built with rustworkx and igraph: bench/peers.py.)
"""
import argparse
import sys
from array import array

import common
import quillnet


def call_overhead(rounds, number):
    g = quillnet.CoreGraph()
    for i in range(100):
        g.add_value_with_payload(i, 0)
    g.add_op_with_payload(1)
    g.connect_value_to_op(5, 100)
    d = {i: i for i in range(100)}
    env = {"x": 5, "op": 100, "is_value_node": g.is_value_node,
           "get_parent": g.get_parent, "dget": d.get}
    stmts = {
        "d.get(x)": "dget(x)",
        "g.is_value_node(i)": "is_value_node(x)",
        "g.get_parent(i) -> int": "get_parent(op)",
        "g.get_parent(i) -> None": "get_parent(x)",
        "(empty statement)": "pass",
    }
    best = common.interleaved(stmts, env, rounds=rounds, number=number)
    floor = best["d.get(x)"]
    print(f"call overhead, best of {rounds} interleaved rounds (the statement loop itself "
          f"costs {best['(empty statement)'] * 1e9:.1f} ns):")
    common.print_table(["call", "ns per call", "x floor d.get(x)"],
                       [[k, f"{best[k] * 1e9:.1f}", f"{best[k] / floor:.2f}"]
                        for k in stmts if k != "(empty statement)"])


def construction_and_memory(n, rounds):
    """Build the tree in fresh processes: time per node and resident bytes per node."""
    results = [common.run_child(sys.executable, __file__, ["--child", n], timeout=600)
               for _ in range(rounds)]
    nodes = results[0]["nodes"]
    secs = min(r["seconds"] for r in results)
    growth = min(r["growth"] for r in results)
    print(f"\nthe {nodes:,}-node tree built by per-call adds, {rounds} fresh processes "
          f"(best of each):")
    common.print_table(["measure", "result"], [
        ["construction", f"{secs / nodes * 1e9:.1f} ns per node ({secs:.3f} s)"],
        ["resident growth", f"{growth / nodes:.1f} bytes per node"],
    ])


def walk_speed(n, repeat):
    g = common.build_tree(n)
    arr = array("Q", g.walk_from_root(False, True))
    t_walk, _ = common.best_of(lambda: g.walk_from_root(False, True), repeat)
    t_floor, _ = common.best_of(arr.tolist, repeat)
    print(f"\nwalk_from_root(False, True) on the {g.num_nodes():,}-node tree "
          f"(best of {repeat}):")
    common.print_table(["call", "time", "x floor"], [
        ["array('Q', ids).tolist() (floor)", common.fmt_seconds(t_floor), "1.00"],
        ["walk_from_root(False, True)", common.fmt_seconds(t_walk), f"{t_walk / t_floor:.2f}"],
    ])


def child(n):
    g, secs, growth = common.measure_build(common.build_tree, n)
    common.emit({"nodes": g.num_nodes(), "seconds": secs, "growth": growth})


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="small sizes, few rounds")
    ap.add_argument("--child", type=int, metavar="N", help=argparse.SUPPRESS)
    a = ap.parse_args()
    if a.child is not None:
        return child(a.child)
    n = 100_000 if a.quick else common.TREE_NODES
    call_overhead(rounds=3 if a.quick else 9, number=200_000 if a.quick else 1_000_000)
    construction_and_memory(n, rounds=2 if a.quick else 3)
    walk_speed(n, repeat=3 if a.quick else 7)


if __name__ == "__main__":
    main()
