"""quillnet against the graph libraries rustworkx, igraph and networkx on the same tree.

    pip install rustworkx igraph networkx    # a missing peer is skipped
    python bench/peers.py [--quick] [--rounds N] [--nodes N] [--peer LIB ...]

Every library builds the standard 1,000,000-node tree (a value root; every value gets one
node below it with two children, breadth first) in a fresh process, then times a
depth-first walk from the root and a copy of the graph.  The libraries take turns round
by round and each figure is the best of the rounds.

  build   per node, written as a user of the library would: per-call adds and connects
          for quillnet, rustworkx and networkx; for igraph an edge list collected in
          Python and one Graph() call, since its per-call add_vertex/add_edge rebuild the
          graph's index each time (quadratic: about 86 us per node already at 12,000
          nodes)
  walk    quillnet walk_from_root(False, True) -> list of ids; rustworkx dfs_edges(g, 0)
          -> its EdgeList; igraph g.dfs(0) -> two lists (ids, parents); networkx
          list(dfs_edges(g, 0)) (its walk is a generator)
  copy    quillnet clone_subgraph(), which also returns the {old id: new id} dict;
          rustworkx, igraph and networkx g.copy()
  memory  resident growth of the build per node; quillnet nodes carry their payloads
          (op id, or value id and type id), the peers' nodes carry none
"""
import argparse
import importlib.metadata
import importlib.util
import sys

import common

LIBS = ("quillnet", "rustworkx", "igraph", "networkx")


def build_quillnet(n):
    return common.build_tree(n)


def build_rustworkx(n):
    import rustworkx as rx

    g = rx.PyDiGraph()
    add_node, add_edge = g.add_node, g.add_edge
    values = [add_node(None)]
    count = 1
    for v in values:
        if count + 3 > n:
            break
        op = add_node(None)
        add_edge(v, op, None)
        a = add_node(None)
        add_edge(op, a, None)
        b = add_node(None)
        add_edge(op, b, None)
        values.append(a)
        values.append(b)
        count += 3
    return g


def build_igraph(n):
    import igraph as ig

    edges = []
    values = [0]
    count = 1
    for v in values:
        if count + 3 > n:
            break
        op, a, b = count, count + 1, count + 2
        edges.append((v, op))
        edges.append((op, a))
        edges.append((op, b))
        values.append(a)
        values.append(b)
        count += 3
    return ig.Graph(n=count, edges=edges, directed=True)


def build_networkx(n):
    import networkx as nx

    g = nx.DiGraph()
    add_node, add_edge = g.add_node, g.add_edge
    add_node(0)
    values = [0]
    count = 1
    for v in values:
        if count + 3 > n:
            break
        op, a, b = count, count + 1, count + 2
        add_node(op)
        add_edge(v, op)
        add_node(a)
        add_edge(op, a)
        add_node(b)
        add_edge(op, b)
        values.append(a)
        values.append(b)
        count += 3
    return g


def child(lib, n, repeat):
    mod = __import__(lib)
    g, secs, growth = common.measure_build(globals()["build_" + lib], n)
    if lib == "quillnet":
        nodes, walk = g.num_nodes(), (lambda: g.walk_from_root(False, True))
    elif lib == "rustworkx":
        nodes, walk = g.num_nodes(), (lambda: mod.dfs_edges(g, 0))
    elif lib == "networkx":
        nodes, walk = g.number_of_nodes(), (lambda: list(mod.dfs_edges(g, 0)))
    else:
        nodes, walk = g.vcount(), (lambda: g.dfs(0))
    copy = g.clone_subgraph if lib == "quillnet" else g.copy
    t_walk, _ = common.best_of(walk, repeat)
    t_copy, _ = common.best_of(copy, repeat)
    version = importlib.metadata.version(lib)
    common.emit({"nodes": nodes, "build": secs / nodes, "memory": growth / nodes,
                 "walk": t_walk, "copy": t_copy, "version": version})


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter,
                                 epilog=__doc__.split("\n", 1)[1])
    ap.add_argument("--quick", action="store_true", help="a 100,000-node tree, two rounds")
    ap.add_argument("--rounds", type=int, help="fresh processes per library (default 3)")
    ap.add_argument("--nodes", type=int, metavar="N",
                    help="nodes of the tree (default 1,000,000; --quick 100,000)")
    ap.add_argument("--peer", action="append", choices=LIBS[1:],
                    help="measure only this peer beside quillnet (repeatable)")
    ap.add_argument("--child", choices=LIBS, help=argparse.SUPPRESS)
    a = ap.parse_args()
    n = a.nodes or (100_000 if a.quick else common.TREE_NODES)
    repeat = 3
    if a.child:
        return child(a.child, n, repeat)

    wanted = [LIBS[0]] + (a.peer or list(LIBS[1:]))
    libs = [lib for lib in wanted if importlib.util.find_spec(lib) is not None]
    for lib in wanted:
        if lib not in libs:
            print(f"{lib}: not installed, skipped (pip install {lib})")
    if not libs:
        raise SystemExit("no library to measure")
    rounds = a.rounds or (2 if a.quick else 3)
    best, errors, info = measure(libs, rounds, n)
    nodes = next(iter(info.values()))["nodes"] if info else n
    print(f"{nodes:,}-node tree, each library in {rounds} fresh processes, best of them "
          f"(walk and copy best of {repeat} within each); (Nx) = N times quillnet's figure:")
    common.print_table(["library", "build per node", "walk (DFS)", "copy", "memory per node"],
                       table_rows(libs, best, errors, info))


def measure(libs, rounds, n):
    """Every library in `rounds` fresh processes, taking turns: (best figures, first
    error, last result) by library."""
    best, errors, info = {}, {}, {}
    for rnd in range(rounds):
        k = rnd % len(libs)
        for lib in libs[k:] + libs[:k]:      # a different library goes first each round
            args = ["--child", lib, "--nodes", n]
            try:
                r = common.run_child(sys.executable, __file__, args, timeout=900)
            except common.ChildError as e:
                errors.setdefault(lib, str(e))
                print(f"  {lib}: round {rnd + 1} failed: {e}", file=sys.stderr)
                continue
            info[lib] = r
            b = best.setdefault(lib, {})
            for key in ("build", "memory", "walk", "copy"):
                b[key] = min(b.get(key, float("inf")), r[key])
    return best, errors, info


def table_rows(libs, best, errors, info):
    base = best.get("quillnet")

    def cell(lib, key, text):
        if lib == "quillnet" or base is None:
            return text
        return f"{text} ({best[lib][key] / base[key]:.3g}x)"

    rows = []
    for lib in libs:
        if lib not in best:
            rows.append([lib, "error: " + errors.get(lib, "?")[:60], "", "", ""])
            continue
        b = best[lib]
        rows.append([
            f"{lib} {info[lib]['version']}",
            cell(lib, "build", f"{b['build'] * 1e9:.1f} ns"),
            cell(lib, "walk", common.fmt_seconds(b["walk"])),
            cell(lib, "copy", common.fmt_seconds(b["copy"])),
            cell(lib, "memory", f"{b['memory']:.1f} B"),
        ])
    return rows

if __name__ == "__main__":
    main()
