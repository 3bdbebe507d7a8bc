"""Result builders against their floors: each call's time per item of its result beside
the time of building the same Python objects from ready data in the cheapest pure-Python
way, and the ratio.

Run against an installed build:  python bench/bench_builders.py [--quick] [--rounds N]
                                     [--only TEXT]
Two builds side by side:         python bench/bench_builders.py --python A/bin/python \\
                                     --python B/bin/python [--quick] [--rounds N]

The floors:
- connections(): list(zip(xs, ys)), the same tuples from ready ints;
- neighbors(): get_children() of the same node, which builds one list of its ids;
- traces() and cross_sections(): the same lists (and (list, height) tuples) built from
  ready arrays with array.tolist, zip and list, which make fresh ints as the calls do.

In each round every case times its call and its floor in turn (the order alternating from
round to round); each figure is the best of the rounds.  Short calls are looped until a
run lasts 20 ms; long ones run once, their result kept alive until the timing is over (its
release is not counted).  With --python each round runs in a fresh child process of each
interpreter, the builds taking turns, and every figure is the best of its build's rounds.
"""
import argparse
import gc
import os
import sys
import zlib
from array import array

import common

LONG_CALL = 1e-3  # seconds: a call longer than this is timed once per round, not looped


def tolists(lists):
    """Ready native data for a list of id lists: one array per list."""
    return [array("Q", x) for x in lists]


def build_cases(quick):
    """name -> prepare(), which returns (items of one result, call, floor, what an item
    is).  The graphs are made here, once per process; the data of each floor only when
    its case is measured, and dropped after it, so that no case runs beside the objects
    of another (a heap that keeps millions of ints alive makes every later allocation
    cheaper, whichever build made them)."""
    import quillnet

    n = 100_000 if quick else common.TREE_NODES
    tree = common.build_tree(n)
    chain = common.build_chain(n // 2, root_first=False)   # leaf 0 at the bottom
    small = quillnet.CoreGraph()
    r = small.add_value_with_payload(0, 0)
    op = small.add_op_with_payload(7)
    a, b = small.add_value_with_payload(1, 1), small.add_value_with_payload(2, 1)
    small.connect_value_to_op(r, op)
    small.connect_op_to_value(op, a)
    small.connect_op_to_value(op, b)
    small.set_root(r)
    wide = quillnet.CoreGraph()                  # an op under a value, 100,000 children
    top, wide_op = wide.add_value_with_payload(0, 0), wide.add_op_with_payload(1)
    wide.connect_value_to_op(top, wide_op)
    for i in range(10_000 if quick else 100_000):
        wide.connect_op_to_value(wide_op, wide.add_value_with_payload(i & 0xFFFF, 0))

    cases = {}

    cases["neighbors(op), op of the tree (3 entries)"] = lambda: (
        1, lambda: tree.neighbors(1), lambda: tree.get_children(1), "call")
    count = len(wide.neighbors(wide_op))
    cases[f"neighbors(op), op with {count - 1:,} children"] = lambda: (
        count, lambda: wide.neighbors(wide_op), lambda: wide.get_children(wide_op), "entry")

    def trace_case(g, start, label, item):
        def prepare():
            arrays = tolists(g.traces(start))
            items = 1 if item == "call" else sum(len(x) for x in arrays)
            return (items, lambda: g.traces(start), lambda: list(map(array.tolist, arrays)),
                    item)
        cases[label] = prepare

    trace_case(small, a, "traces(a), 4-node graph", "call")
    deep = tree.num_nodes() - 1                  # the last leaf, as deep as any
    trace_case(tree, deep, f"traces(deepest leaf), {tree.num_nodes():,}-node tree", "path node")
    trace_case(chain, 0, f"traces(leaf), {chain.num_nodes():,}-node chain", "path node")

    def cut_case(g, target, leaves, label, item):
        def prepare():
            cuts = g.cross_sections(target, leaves)
            members, heights = tolists(c[0] for c in cuts), array("Q", (c[1] for c in cuts))
            items = 1 if item == "call" else len(cuts)
            return (items, lambda: g.cross_sections(target, leaves),
                    lambda: list(zip(map(array.tolist, members), heights.tolist())), item)
        cases[label] = prepare

    cut_case(small, a, [a, b], "cross_sections(a, [a, b]), 4-node graph", "call")
    cut_case(chain, 2, [chain.num_nodes() - 1],
             f"cross_sections(second value, [top]), {chain.num_nodes():,}-node chain", "cut")

    def connections():
        # Fresh ints of their own for the floor, the same objects in every build (the
        # result's own may be shared between its pairs).
        pairs = tree.connections()
        xs = array("Q", (p[0] for p in pairs)).tolist()
        ys = array("Q", (p[1] for p in pairs)).tolist()
        return len(pairs), tree.connections, lambda: list(zip(xs, ys)), "pair"

    cases[f"connections(), {tree.num_nodes():,}-node tree"] = connections
    return cases


def check(result):
    """What two builds must agree on: a checksum of the result's text."""
    return zlib.crc32(repr(result).encode())


def measure(cases, rounds, only=None):
    """{name: {"call": s, "floor": s, "items": n, "item": text, "check": crc}}, each time
    the best of `rounds` alternating rounds, for one call; only the cases whose name
    holds `only`, when given."""
    out = {}
    for name, prepare in cases.items():
        if only and only not in name:
            continue
        items, call, floor, item = prepare()
        long_call = common.best_of(call, 1)[0] > LONG_CALL
        fns = {"call": call, "floor": floor}
        best = common.alternating(fns, rounds, looped=not long_call)
        out[name] = {**best, "items": items, "item": item, "check": check(call())}
        del fns, call, floor
        gc.collect()
    return out


def ns(seconds, items):
    return f"{seconds / items * 1e9:.1f}"


def print_results(names, results):
    """One table per build: ns per item of the call and of its floor, and the ratio."""
    for label, figures in zip(names, results):
        print(f"\n{label}:")
        rows = []
        for case, f in figures.items():
            plural = f["item"][:-1] + "ies" if f["item"].endswith("y") else f["item"] + "s"
            rows.append([case, f"{f['items']:,} {plural}" if f["items"] > 1 else "1 call",
                         ns(f["call"], f["items"]), ns(f["floor"], f["items"]),
                         f"{f['call'] / f['floor']:.2f}"])
        common.print_table(["call", "items", "ns per item", "floor ns per item", "x floor"], rows)
    if len(results) > 1:
        differ = [c for c in results[0] if any(r.get(c, {}).get("check") != results[0][c]["check"]
                                              for r in results[1:])]
        print("\nresults differ between the builds: " + (", ".join(differ) if differ else "none"))


def side_by_side(pythons, quick, rounds, only):
    """Each round runs one child per interpreter, the first one alternating."""
    best = [None] * len(pythons)
    args = ["--child"] + (["--quick"] if quick else []) + (["--only", only] if only else [])
    for r in range(rounds):
        order = range(len(pythons)) if r % 2 == 0 else reversed(range(len(pythons)))
        for i in order:
            got = common.run_child(pythons[i], os.path.abspath(__file__), args, timeout=1200)
            if best[i] is None:
                best[i] = got
            for case, f in got.items():
                for key in ("call", "floor"):
                    best[i][case][key] = min(best[i][case][key], f[key])
            print(f"  round {r + 1} {pythons[i]} done", file=sys.stderr, flush=True)
    print_results(pythons, best)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="small sizes, few rounds")
    ap.add_argument("--rounds", type=int, default=None, help="rounds (default 7, quick 2)")
    ap.add_argument("--python", action="append", metavar="PYTHON",
                    help="an interpreter with a build installed (repeat to compare builds)")
    ap.add_argument("--only", metavar="TEXT", help="only the calls whose name holds TEXT")
    ap.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    a = ap.parse_args()
    if a.child:  # two rounds of every case in a fresh process, the first on cold memory
        return common.emit(measure(build_cases(a.quick), 2, a.only))
    rounds = a.rounds or (2 if a.quick else 7)
    if a.python:
        return side_by_side(a.python, a.quick, rounds, a.only)
    print_results([f"this build ({sys.executable})"],
                  [measure(build_cases(a.quick), rounds, a.only)])


if __name__ == "__main__":
    main()
