"""Memory under churn: resident growth per new node of a graph that keeps merging.

Run against an installed build:  python bench/bench_churn.py [--quick] [--rounds N]

Each round two fresh value nodes take the same 100 ops as options and are then merged
into a value that already has those options (merge_value_nodes(keep, other, False,
True)).  The graph gains two nodes a round and keeps none of their links, so what it
needs per new node is the node itself (24 bytes) and nothing in the list arena.  The
growth is measured in a fresh process after some warm-up rounds, best of several
processes; the figure per node is set beside the 24 bytes of a node, and the time per
round shows what the churn costs.  Two orders of the connects: each value's options one
after the other, and the two values in turns (their lists then grow side by side).
"""
import argparse
import gc
import sys
import time

import common

WIDTH = 100
WARM_UP = 50
NODE_BYTES = 24


def churn(rounds, in_turns):
    """In this process: resident growth and time over `rounds` rounds after the warm-up."""
    import quillnet

    g = quillnet.CoreGraph()
    keep = g.add_value_with_payload(0, 0)
    ops = [g.add_op_with_payload(i) for i in range(WIDTH)]
    cvo, add_v, merge = g.connect_value_to_op, g.add_value_with_payload, g.merge_value_nodes
    for op in ops:
        cvo(keep, op)

    def run(count):
        for _ in range(count):
            a = add_v(1, 1)
            b = add_v(2, 1)
            if in_turns:
                for op in ops:
                    cvo(a, op)
                    cvo(b, op)
            else:
                for op in ops:
                    cvo(a, op)
                for op in ops:
                    cvo(b, op)
            merge(keep, a, False, True)
            merge(keep, b, False, True)

    run(WARM_UP)
    gc.collect()
    base = common.rss_bytes()
    t = time.perf_counter()
    run(rounds)
    dt = time.perf_counter() - t
    gc.collect()
    growth = common.rss_bytes() - base
    assert g.get_options(keep) == ops and g.num_nodes() == 1 + WIDTH + 2 * (WARM_UP + rounds)
    return {"growth": growth, "nodes": 2 * rounds, "seconds": dt, "rounds": rounds}


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        common.emit(churn(int(sys.argv[2]), sys.argv[3] == "1"))
        return
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="2,000 rounds, 2 processes")
    ap.add_argument("--rounds", type=int, default=None, help="rounds per process (20,000)")
    a = ap.parse_args()
    rounds = a.rounds or (2_000 if a.quick else 20_000)
    procs = 2 if a.quick else 3
    rows = []
    for in_turns in (False, True):
        results = [common.run_child(sys.executable, __file__,
                                    ["--child", rounds, int(in_turns)], timeout=600)
                   for _ in range(procs)]
        nodes = results[0]["nodes"]
        growth = min(r["growth"] for r in results)
        secs = min(r["seconds"] for r in results)
        per_node = growth / nodes
        rows.append(["in turns" if in_turns else "one after the other",
                     f"{per_node:.1f}", f"{per_node / NODE_BYTES:.2f}",
                     common.fmt_bytes(growth), f"{secs / rounds * 1e6:.1f} µs"])
    print(f"{rounds:,} rounds after {WARM_UP} warm-up rounds, {2 * rounds:,} new nodes, "
          f"{WIDTH} options a value; best of {procs} fresh processes:")
    common.print_table(["connect order", "resident bytes per new node",
                        f"x {NODE_BYTES} B node", "growth in all", "time per round"], rows)


if __name__ == "__main__":
    main()
