"""Copy speed: clone_subgraph and clone_and_attach on 1,000,000-node graphs.

Run by hand against an optimised build:  python bench/bench_clone.py

The native copy alone is timed through glue_leaves(g, [], [], True), which makes exactly
one copy of the graph and wraps it, without the {old: new} dictionary; the difference
to clone_subgraph() is the cost of building that dictionary.  Result graphs are kept
alive until after each timing so their release is not counted.
"""
import gc
import time

import quillnet

N = 1_000_000


def tree(n):
    """Every value node has one option op with two child values (breadth first)."""
    g = quillnet.CoreGraph()
    add_v, add_o = g.add_value_with_payload, g.add_op_with_payload
    cvo, cov = g.connect_value_to_op, g.connect_op_to_value
    values = [add_v(0, 0)]
    for v in values:
        if len(values) * 3 // 2 + 3 > n:
            break
        op = add_o(v & 0xFFFF)
        cvo(v, op)
        for _ in range(2):
            child = add_v(v, 1)
            cov(op, child)
            values.append(child)
    return g


def chain(n):
    """A leaf at the bottom, then op, value, op, value ... up to the root (last node)."""
    g = quillnet.CoreGraph()
    add_v, add_o = g.add_value_with_payload, g.add_op_with_payload
    below = add_v(0, 0)
    for i in range(1, (n + 1) // 2):
        op = add_o(i)
        val = add_v(i, 0)
        g.connect_op_to_value(op, below)
        g.connect_value_to_op(val, op)
        below = val
    g.set_root(below)
    return g


def best(fn, repeat=5):
    times, keep = [], []
    for _ in range(repeat):
        gc.collect()
        t = time.perf_counter()
        keep.append(fn())
        times.append(time.perf_counter() - t)
        keep.clear()
    return min(times)


def main():
    for name, build in (("tree", tree), ("chain", chain)):
        g = build(N)
        n = g.num_nodes()
        copy_only = best(lambda: quillnet.glue_leaves(g, [], [], True))
        full = best(lambda: g.clone_subgraph())
        leaf = g.leaves()[-1]
        lone = quillnet.CoreGraph()
        lone.add_value_with_payload(0, 0)
        attach_small = best(lambda: g.clone_and_attach(lone, leaf))
        attach_self = best(lambda: g.clone_and_attach(g, leaf))
        print(f"{name}: {n:,} nodes")
        print(f"  native copy (+ wrap)         {copy_only * 1e3:8.1f} ms  "
              f"{copy_only / n * 1e9:5.1f} ns/node")
        print(f"  clone_subgraph() total       {full * 1e3:8.1f} ms")
        print(f"    of which the dict          {(full - copy_only) * 1e3:8.1f} ms  "
              f"{(full - copy_only) / n * 1e9:5.1f} ns/entry")
        print(f"  clone_and_attach(1 node)     {attach_small * 1e3:8.1f} ms  "
              f"(copy + leaves walk + leaf lists)")
        print(f"  clone_and_attach(itself)     {attach_self * 1e3:8.1f} ms  "
              f"({2 * n - 1:,} nodes out)")


if __name__ == "__main__":
    main()
