"""Leaf gluing speed, and memory across many failing searches.

Run against an installed build:  python bench/bench_glue.py [--quick]
The speed table sets each search beside its output floor: what copying (and wrapping) and
hashing its results alone costs, which no search that returns them can go below.
For the split of the time:  perf record -g python bench/bench_glue.py --only 1000
and `perf report --no-children` (on a build with symbols): the copies of recorded results,
the connection hash, merge_value_nodes and the wrapping of result graphs show up under
their own names.
"""
import argparse
import gc
import time

import common
import quillnet


def output_floor(results, repeat):
    """What the results alone cost: a native copy of each, wrapped as a CoreGraph
    (glue_leaves(r, [], [], True) makes exactly one), and one connection_hash of each."""
    def make():
        return [(quillnet.glue_leaves(r, [], [], True), r.connection_hash()) for r in results]

    return common.best_of(make, repeat)[0]


def speed(leaves, padding, repeat):
    g, ls, cs = common.star(leaves, 2, padding)
    secs, out = common.best_of(lambda: quillnet.glue_leaves(g, ls, cs, False), repeat)
    count, levels = len(out), common.glue_levels(leaves, 2)
    floor = output_floor(out, repeat)
    t = time.perf_counter()
    del out
    release = time.perf_counter() - t
    return [f"{leaves}", f"{g.num_nodes():,}", f"{levels:,}", f"{count:,}",
            common.fmt_seconds(secs), f"{secs / levels * 1e9:,.0f} ns", f"{levels / secs:,.0f}",
            common.fmt_seconds(floor), f"{secs / floor:.1f}x", common.fmt_seconds(release)]


def failing(runs):
    # the last-but-one leaf listed again: the first branch goes 60 levels deep, records a
    # graph at each, and fails when the repeated leaf, glued away, comes up as a partner
    g, ls, _ = common.star(60, 0, 200)
    args = (g, ls + ls[-2:-1], [], False)

    def once():
        try:
            quillnet.glue_leaves(*args)
        except BaseException as e:  # PanicException
            assert str(e) == "candidate missing in corr map", e

    for _ in range(20):
        once()
    gc.collect()
    before = common.rss_bytes()
    t = time.perf_counter()
    for _ in range(runs):
        once()
    dt = time.perf_counter() - t
    gc.collect()
    print(f"failure deep in the search: {runs:,} failing searches in {dt:.2f} s; resident "
          f"memory {common.fmt_bytes(before)} -> {common.fmt_bytes(common.rss_bytes())}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--only", type=int, metavar="PADDING",
                    help="run the speed test for this padding only (7 leaves)")
    ap.add_argument("--quick", action="store_true",
                    help="5 and 6 leaves instead of 7 and 8, one run each, 200 failing searches")
    a = ap.parse_args()
    leaves = 5 if a.quick else 7
    repeat = 1 if a.quick else 3
    print(f"glue_leaves, k leaves + 2 candidates of one type below one op, a chain of padding "
          f"below the root: each level (but the first) one glue step on the working copy and "
          f"its undo; each new state one connection hash, each result one copy.  The output "
          f"floor is a native copy (+ wrap) and a connection_hash of every result, from "
          f"Python (best of {repeat}):")
    if a.only is not None:
        cases = [(leaves, a.only)]
    else:
        # the largest graph with two leaves fewer: its results alone take 50 MB
        cases = [(leaves, 0), (leaves + 1, 0), (leaves, 100), (leaves, 1000),
                 (leaves - 2, 10_000)]
    rows = [speed(k, padding, repeat) for k, padding in cases]
    common.print_table(["leaves", "nodes", "levels", "results", "time", "per level", "levels/s",
                        "output floor", "time/floor", "release of results"], rows)
    if a.only is None:
        failing(200 if a.quick else 2000)


if __name__ == "__main__":
    main()
