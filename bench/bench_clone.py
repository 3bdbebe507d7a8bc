"""Copy speed: clone_subgraph and clone_and_attach on 1,000,000-node graphs.

Run against an installed build:  python bench/bench_clone.py [--quick]

The native copy alone is timed through glue_leaves(g, [], [], True), which makes exactly
one copy of the graph and wraps it, without the {old: new} dictionary; the difference
to clone_subgraph() is the cost of building that dictionary.  Result graphs are kept
alive until after each timing so their release is not counted.
"""
import argparse

import common
import quillnet


def measure(name, g, repeat):
    n = g.num_nodes()
    copy_only, _ = common.best_of(lambda: quillnet.glue_leaves(g, [], [], True), repeat)
    full, _ = common.best_of(g.clone_subgraph, repeat)
    leaf = g.leaves()[-1]
    lone = quillnet.CoreGraph()
    lone.add_value_with_payload(0, 0)
    attach_small, _ = common.best_of(lambda: g.clone_and_attach(lone, leaf), repeat)
    attach_self, _ = common.best_of(lambda: g.clone_and_attach(g, leaf), repeat)
    dict_part = full - copy_only
    return [
        [f"{name}: native copy (+ wrap)", common.fmt_seconds(copy_only),
         f"{copy_only / n * 1e9:.1f} ns/node"],
        [f"{name}: clone_subgraph() in all", common.fmt_seconds(full),
         f"{full / n * 1e9:.1f} ns/node"],
        [f"{name}:   of which the dict", common.fmt_seconds(dict_part),
         f"{dict_part / n * 1e9:.1f} ns/entry"],
        [f"{name}: clone_and_attach(1 node)", common.fmt_seconds(attach_small),
         "copy + leaves walk + leaf lists"],
        [f"{name}: clone_and_attach(itself)", common.fmt_seconds(attach_self),
         f"{2 * n - 1:,} nodes out"],
    ]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="100,000-node graphs, 3 runs")
    a = ap.parse_args()
    n = 100_000 if a.quick else common.TREE_NODES
    repeat = 3 if a.quick else 5
    tree = common.build_tree(n)
    # numbered from the bottom leaf up, so a copy visits the ids in falling order
    chain = common.build_chain((n - 1) // 2, root_first=False)
    rows = measure("tree", tree, repeat) + measure("chain", chain, repeat)
    print(f"tree of {tree.num_nodes():,} nodes, chain of {chain.num_nodes():,} nodes; "
          f"best of {repeat}:")
    common.print_table(["call", "time", "per node / note"], rows)


if __name__ == "__main__":
    main()
