"""Leaf gluing speed, and memory across many failing searches.

Run by hand against an optimised build:  python bench/bench_glue.py
For the split of the time:  perf record -g python bench/bench_glue.py --only 1000
and `perf report --no-children`: clone_subgraph's two passes, the connection hash,
merge_value_nodes and the wrapping of result graphs show up under their own names.
"""
import argparse
import gc
import os
import time

import quillnet


def star(leaves, candidates, padding):
    """Root R with op P; P takes `leaves` + `candidates` value nodes of one type.  A chain
    of `padding` further nodes hangs below R so that every copy has that much more work."""
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


def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def speed(padding):
    g, ls, cs = star(7, 2, padding)
    best, count = None, 0
    for _ in range(3):
        gc.collect()
        t = time.perf_counter()
        out = quillnet.glue_leaves(g, ls, cs, False)
        dt = time.perf_counter() - t
        count = len(out)
        t = time.perf_counter()
        del out
        release = time.perf_counter() - t
        best = dt if best is None else min(best, dt)
    print(f"  {g.num_nodes():6,} nodes: {count:,} results in {best * 1e3:7.1f} ms = "
          f"{count / best:9,.0f} results/s  (release of the results {release * 1e3:.1f} ms)")


def failing(runs=2000):
    # the last-but-one leaf listed again: the first branch goes 60 levels deep, records a
    # graph at each, and fails when the repeated leaf, glued away, comes up as a partner
    g, ls, _ = star(60, 0, 200)
    args = (g, ls + ls[-2:-1], [], False)

    def once():
        try:
            quillnet.glue_leaves(*args)
        except BaseException as e:  # PanicException
            assert str(e) == "candidate missing in corr map", e

    for _ in range(20):
        once()
    before = rss_mb()
    t = time.perf_counter()
    for _ in range(runs):
        once()
    dt = time.perf_counter() - t
    print(f"  {runs} failing searches in {dt:.2f} s; resident memory {before:.1f} MB -> "
          f"{rss_mb():.1f} MB")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--only", type=int, help="run the speed test for this padding only")
    a = ap.parse_args()
    # each level glues its first leaf onto each of its k - 1 + 2 partners
    levels = 1
    for k in range(1, 8):
        levels = 1 + (k + 1) * levels
    print(f"glue_leaves, 7 leaves + 2 candidates of one type: {levels:,} levels, each one "
          f"connection hash and (but the first) one copy; 2,780 results, each one more copy")
    for padding in ([a.only] if a.only is not None else (0, 100, 1000)):
        speed(padding)
    if a.only is None:
        print("failure deep in the search:")
        failing()


if __name__ == "__main__":
    main()
