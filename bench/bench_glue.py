"""Leaf gluing speed, and memory across many failing searches.

Run against an installed build:  python bench/bench_glue.py [--quick]
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


def speed(leaves, padding, repeat):
    g, ls, cs = common.star(leaves, 2, padding)
    secs, out = common.best_of(lambda: quillnet.glue_leaves(g, ls, cs, False), repeat)
    count = len(out)
    t = time.perf_counter()
    del out
    release = time.perf_counter() - t
    return [f"{g.num_nodes():,}", f"{count:,}", common.fmt_seconds(secs),
            f"{count / secs:,.0f}", common.fmt_seconds(release)]


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
                    help="run the speed test for this padding only")
    ap.add_argument("--quick", action="store_true",
                    help="5 leaves instead of 7, one run each, 200 failing searches")
    a = ap.parse_args()
    leaves = 5 if a.quick else 7
    repeat = 1 if a.quick else 3
    print(f"glue_leaves, {leaves} leaves + 2 candidates of one type: "
          f"{common.glue_levels(leaves, 2):,} levels, each (but the first) one glue step on "
          f"the working copy and its undo; each new state one connection hash, each result "
          f"one copy (best of {repeat}):")
    rows = [speed(leaves, padding, repeat)
            for padding in ([a.only] if a.only is not None else (0, 100, 1000))]
    common.print_table(["graph nodes", "results", "time", "results/s", "release of results"],
                       rows)
    if a.only is None:
        failing(200 if a.quick else 2000)


if __name__ == "__main__":
    main()
