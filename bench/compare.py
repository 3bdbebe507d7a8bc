"""Side-by-side comparison of two quillnet builds.

    python bench/compare.py --before A/bin/python --after B/bin/python [--quick]
    python bench/compare.py --after B/bin/python            # one build alone

Each interpreter is a virtual environment with one quillnet build installed.  The same
workloads (defined in this file) run in both: every workload group runs in a fresh child
process of the respective interpreter, the two builds take turns round by round (the
first one alternating), and each figure is the best of the rounds.  A group that fails or
crashes in one build shows its error in that build's column; the others still run.
Every figure is lower-is-better; the last column is after / before.
"""
import argparse
import os
import sys
import time

import common

GLUE_LEAVES, GLUE_CANDIDATES = 7, 2
GLUE_PADDINGS = (0, 100, 1000)        # 11, 111 and 1,011 nodes with 7 leaves
SPARSE_LOOSE = 10_000_000
LONG_CHAIN = 10_000_000               # nodes of the chain of the longchain group
ENTRY = {"conditions": [[0], [1]], "has_callable": False, "cumulative": False}


def sizes(quick):
    """(tree nodes, loose nodes beside the 4-node component, glue leaves)."""
    if quick:
        return 100_000, 100_000, 5
    return common.TREE_NODES, SPARSE_LOOSE, GLUE_LEAVES


# --------------------------------------------------------------------------------------
# Workload groups.  Each runs in a child process and returns {metric: {"v": value,
# "check": something the two builds must agree on}}, a metric that failed on its own
# giving {"error": text}.  Times are seconds, memory bytes.


def measured(fn, check=None):
    """Run fn() at once; it returns (figure, result).  Gives {"v": figure, "check":
    check(result)}, or {"error": ...} if fn raised."""
    def run():
        v, result = fn()
        out = {"v": v}
        if check is not None:
            out["check"] = check(result)
        return out
    return common.guarded(run)


def group_glue(quick):
    import quillnet

    leaves = sizes(quick)[2]
    out = {}
    for padding, repeat in zip(GLUE_PADDINGS, (5, 3, 2)):
        g, ls, cs = common.star(leaves, GLUE_CANDIDATES, padding)
        out[f"glue{padding}"] = measured(
            lambda: common.best_of(lambda: quillnet.glue_leaves(g, ls, cs, False), repeat),
            len)
    return out


def group_tree(quick):
    g = common.build_tree(sizes(quick)[0])
    calls = {
        "clone": (g.clone_subgraph, lambda r: r[0].num_nodes()),
        "chash": (g.connection_hash, None),
        "ehash": (g.equality_hash, None),
        "walk": (lambda: g.walk_from_root(True, True), len),
        "leaves": (g.leaves, len),
    }
    out = {}
    for key, (fn, check) in calls.items():
        out[key] = measured(lambda: common.best_of(fn, 5), check or (lambda r: r))
    return out


def group_build(quick):
    g, secs, growth = common.measure_build(common.build_tree, sizes(quick)[0])
    n = g.num_nodes()
    return {"build": {"v": secs / n, "check": n}, "memory": {"v": growth / n, "check": n}}


def group_wide(quick):
    """The layered graph of common.build_wide, whose lists live in the arena: building it
    (fresh process), walking, hashing and copying it; then the churn of bench_churn.py
    (two values take 100 options and are merged away, round after round)."""
    n = common.WIDE_VALUES // 10 if quick else common.WIDE_VALUES
    (g, links), secs, growth = common.measure_build(common.build_wide, n)
    nodes = g.num_nodes()
    out = {"build": {"v": secs / links, "check": links},
           "memory": {"v": growth / nodes, "check": nodes}}
    calls = {
        "walk": (lambda: g.walk_from_root(True, True), len),
        "chash": (g.connection_hash, None),
        "clone": (g.clone_subgraph, lambda r: r[0].num_nodes()),
    }
    for key, (fn, check) in calls.items():
        out[key] = measured(lambda: common.best_of(fn, 3), check or (lambda r: r))
    import quillnet

    c = quillnet.CoreGraph()
    keep = c.add_value_with_payload(0, 0)
    ops = [c.add_op_with_payload(i) for i in range(100)]
    for op in ops:
        c.connect_value_to_op(keep, op)

    def churn(rounds):
        for _ in range(rounds):
            a = c.add_value_with_payload(1, 1)
            b = c.add_value_with_payload(2, 1)
            for op in ops:
                c.connect_value_to_op(a, op)
            for op in ops:
                c.connect_value_to_op(b, op)
            c.merge_value_nodes(keep, a, False, True)
            c.merge_value_nodes(keep, b, False, True)

    churn(50)
    rounds = 2_000 if quick else 10_000
    base = common.rss_bytes()
    t = time.perf_counter()
    churn(rounds)
    out["churn"] = {"v": (time.perf_counter() - t) / rounds, "check": c.num_nodes()}
    out["churn_memory"] = {"v": (common.rss_bytes() - base) / (2 * rounds),
                           "check": c.num_nodes()}
    return out


def small_component(g):
    """Root r with one op (op id 7) taking the two leaves a and b; returns (r, a, b)."""
    r = g.add_value_with_payload(0, 0)
    op = g.add_op_with_payload(7)
    g.connect_value_to_op(r, op)
    a = g.add_value_with_payload(1, 1)
    b = g.add_value_with_payload(2, 1)
    g.connect_op_to_value(op, a)
    g.connect_op_to_value(op, b)
    g.set_root(r)
    return r, a, b


def component_calls(g, r, a, b):
    import quillnet

    snap = {7: ENTRY}
    return {
        "traces": (lambda: g.traces(a), None),
        "chash": (g.connection_hash, None),
        "conn": (g.connections, None),
        "clone": (g.clone_subgraph, lambda res: res[0].num_nodes()),
        "cross": (lambda: g.cross_sections(a, [a, b]), None),
        "cond": (lambda: quillnet.get_conditions(g, r, snap, False), None),
    }


def group_sparse(quick):
    """The 4-node component alone, then beside many loose nodes; is_below up chains of
    32 and 40 value levels in the large graph."""
    import quillnet

    out = {}
    for where, loose in (("small", 0), ("large", sizes(quick)[1])):
        g = quillnet.CoreGraph()
        r, a, b = small_component(g)
        chains = {}
        if loose:
            for levels in (32, 40):
                chains[levels] = common.add_chain(g, levels)
            common.add_loose_values(g, loose)
        calls = component_calls(g, r, a, b)
        for key, (fn, check) in calls.items():
            out[f"{where}_{key}"] = measured(
                lambda: (common.per_call(fn), fn()), check or (lambda res: res))
        conditions = calls["cond"][0]
        out[f"{where}_cond_peak"] = measured(
            lambda: common.peak_growth(conditions)[::-1], lambda res: res)
        for levels, (top, bottom) in chains.items():
            out[f"is_below{levels}"] = measured(
                lambda: (common.per_call(lambda: g.is_below(bottom, [top])),
                         g.is_below(bottom, [top])),
                lambda res: res)
    return out


def group_overhead(quick):
    import quillnet

    g = quillnet.CoreGraph()
    for i in range(100):
        g.add_value_with_payload(i, 0)
    g.add_op_with_payload(1)
    g.connect_value_to_op(5, 100)
    d = {i: i for i in range(100)}
    env = {"x": 5, "op": 100, "is_value_node": g.is_value_node,
           "get_parent": g.get_parent, "dget": d.get}
    stmts = {"floor": "dget(x)", "is_value_node": "is_value_node(x)",
             "get_parent_int": "get_parent(op)", "get_parent_none": "get_parent(x)"}
    best = common.interleaved(stmts, env, rounds=3 if quick else 9,
                              number=200_000 if quick else 1_000_000)
    return {k: {"v": v} for k, v in best.items()}


def whole_graph_calls(tree, chain):
    """Searches that go over the whole of a graph: the 1,000,000-node tree (root 0, its op
    1) and a chain of as many nodes (leaf 0 at the bottom)."""
    import quillnet

    top = chain.num_nodes() - 1
    select_both = {0: {"conditions": [[0, 1]], "has_callable": False, "cumulative": False}}
    recurse = {1: {"conditions": [[]], "has_callable": False, "cumulative": False}}
    return {
        "tree_traces": (lambda: tree.traces(0, me_too=False, above=False, below=True), len),
        "tree_get_cond": (lambda: quillnet.get_conditions(tree, 0, select_both, False),
                          lambda r: [len(c) for c in r]),
        "tree_tree_cond": (lambda: quillnet.tree_conditions(tree, 1, select_both, False),
                           lambda r: [len(c) for c in r]),
        "chain_traces": (lambda: chain.traces(0, op_nodes=False), lambda r: len(r[0])),
        "chain_is_below": (lambda: chain.is_below(0, [top]), None),
        "chain_cross": (lambda: chain.cross_sections(2, [top]), len),
        "chain_get_cond": (lambda: quillnet.get_conditions(chain, top, recurse, False), None),
        "chain_tree_cond": (lambda: quillnet.tree_conditions(chain, top - 1, recurse, False),
                            None),
    }


def group_whole(quick):
    n = sizes(quick)[0]
    calls = whole_graph_calls(common.build_tree(n), common.build_chain(n // 2, root_first=False))
    out = {}
    for key, (fn, check) in calls.items():
        out[key] = measured(lambda: common.best_of(fn, 3), check or (lambda r: r))
    return out


def group_longchain(quick):
    """A chain of LONG_CHAIN nodes: the same chain searches, once each."""
    chain = common.build_chain((100_000 if quick else LONG_CHAIN) // 2, root_first=False)
    calls = whole_graph_calls(chain, chain)
    out = {}
    for key in ("chain_traces", "chain_is_below", "chain_cross"):
        fn, check = calls[key]
        out[key] = measured(lambda: common.best_of(fn, 1), check or (lambda r: r))
    return out


GROUPS = {"glue": group_glue, "tree": group_tree, "build": group_build,
          "sparse": group_sparse, "whole": group_whole, "longchain": group_longchain,
          "overhead": group_overhead, "wide": group_wide}


# --------------------------------------------------------------------------------------
# The table: (group, metric, label, unit).  A metric "a/b" is the ratio of two metrics
# of the group, each the best of its rounds.

def rows(quick):
    tree_n, loose, leaves = sizes(quick)
    tree = f"{common.tree_node_count(tree_n):,}-node tree"
    big = f"+ {loose:,} loose nodes"
    out = []
    for padding in GLUE_PADDINGS:
        nodes = 2 + leaves + GLUE_CANDIDATES + padding
        out.append(("glue", f"glue{padding}",
                    f"glue_leaves, {leaves} leaves + {GLUE_CANDIDATES} candidates, "
                    f"{nodes:,} nodes", "s"))
    out += [
        ("tree", "clone", f"clone_subgraph(), {tree}", "s"),
        ("tree", "chash", f"connection_hash(), {tree}", "s"),
        ("tree", "ehash", f"equality_hash(), {tree}", "s"),
        ("tree", "walk", f"walk_from_root(True, True), {tree}", "s"),
        ("tree", "leaves", f"leaves(), {tree}", "s"),
        ("build", "build", f"build the {tree} by per-call adds (fresh process)", "s/node"),
        ("build", "memory", "resident growth of that build (fresh process)", "B/node"),
    ]
    names = {"traces": "traces(a)", "chash": "connection_hash()",
             "conn": "connections()", "clone": "clone_subgraph()", "cross": "cross_sections(a, [a, b])",
             "cond": "get_conditions(g, r, ...)"}
    for where, text in (("small", "4-node graph"), ("large", f"4-node component {big}")):
        for key, call in names.items():
            out.append(("sparse", f"{where}_{key}", f"{call}, {text}", "s"))
        out.append(("sparse", f"{where}_cond_peak",
                    f"get_conditions peak resident growth, {text}", "B"))
    for levels in (32, 40):
        out.append(("sparse", f"is_below{levels}",
                    f"is_below climbing {levels} value levels, large graph", "s"))
    chain = f"{common.tree_node_count(tree_n) | 1:,}-node chain"
    out += [
        ("whole", "tree_traces", f"traces(0, me_too=False, below only), {tree}", "s"),
        ("whole", "tree_get_cond", f"get_conditions(root), root op selects both, {tree}", "s"),
        ("whole", "tree_tree_cond", f"tree_conditions(root op), selects both, {tree}", "s"),
        ("whole", "chain_traces", f"traces(leaf, op_nodes=False), {chain}", "s"),
        ("whole", "chain_is_below", f"is_below(leaf, [top]), {chain}", "s"),
        ("whole", "chain_cross", f"cross_sections(second value, [top]), {chain}", "s"),
        ("whole", "chain_get_cond", f"get_conditions(top), every op recursed into, {chain}", "s"),
        ("whole", "chain_tree_cond", f"tree_conditions(top op), every op recursed into, {chain}",
         "s"),
    ]
    long_chain = f"{(100_000 if quick else LONG_CHAIN) | 1:,}-node chain"
    out += [
        ("longchain", "chain_traces", f"traces(leaf, op_nodes=False), {long_chain}", "s"),
        ("longchain", "chain_is_below", f"is_below(leaf, [top]), {long_chain}", "s"),
        ("longchain", "chain_cross", f"cross_sections(second value, [top]), {long_chain}", "s"),
    ]
    wide = f"{(common.WIDE_VALUES // 10 if quick else common.WIDE_VALUES):,}-value layered graph"
    out += [
        ("wide", "build", f"build the {wide} (3 ops a value, 4 children an op)", "s/link"),
        ("wide", "memory", "resident growth of that build (fresh process)", "B/node"),
        ("wide", "walk", f"walk_from_root(True, True), {wide}", "s"),
        ("wide", "chash", f"connection_hash(), {wide}", "s"),
        ("wide", "clone", f"clone_subgraph(), {wide}", "s"),
        ("wide", "churn", "churn round: 2 values take 100 options, merged away", "s"),
        ("wide", "churn_memory", "resident growth per new node under that churn", "B/node"),
    ]
    out += [
        ("overhead", "floor", "call overhead: floor d.get(x)", "s"),
        ("overhead", "is_value_node/floor", "g.is_value_node(i) / floor", "x"),
        ("overhead", "get_parent_int/floor", "g.get_parent(i) -> int / floor", "x"),
        ("overhead", "get_parent_none/floor", "g.get_parent(i) -> None / floor", "x"),
    ]
    return out


# --------------------------------------------------------------------------------------
# Driver


class Side:
    """One build: its interpreter and the best figure of every metric so far."""

    def __init__(self, name, python):
        self.name, self.python = name, python
        self.best = {}      # (group, metric) -> best value
        self.errors = {}    # (group, metric) -> first error text
        self.checks = {}    # (group, metric) -> check value of the first good round

    def record(self, group, result):
        for metric, r in result.items():
            key = (group, metric)
            if "error" in r:
                self.errors.setdefault(key, r["error"])
                continue
            self.best[key] = min(self.best.get(key, float("inf")), r["v"])
            if "check" in r:
                self.checks.setdefault(key, r["check"])

    def record_failure(self, group, metrics, text):
        for metric in metrics:
            for part in metric.split("/"):
                self.errors.setdefault((group, part), text)

    def value(self, group, metric):
        """(value, None) or (None, error text)."""
        if "/" in metric:
            num, den = metric.split("/")
            a, err_a = self.value(group, num)
            b, err_b = self.value(group, den)
            return (a / b, None) if a is not None and b is not None else (None, err_a or err_b)
        key = (group, metric)
        if key in self.best:
            return self.best[key], None
        return None, self.errors.get(key, "no result")


def run_group(side, group, metrics, quick, timeout):
    args = ["--child", group] + (["--quick"] if quick else [])
    t = time.perf_counter()
    try:
        result = common.run_child(side.python, os.path.abspath(__file__), args, timeout)
    except common.ChildError as e:
        side.record_failure(group, metrics, str(e))
        status = f"failed: {e}"
    else:
        if "error" in result:       # the group as a whole raised
            side.record_failure(group, metrics, result["error"])
            status = f"failed: {result['error']}"
        else:
            side.record(group, result)
            status = "ok"
    print(f"  {group:8s} {side.name:6s} {time.perf_counter() - t:6.1f} s  {status}",
          file=sys.stderr, flush=True)


def describe(python):
    try:
        info = common.run_child(python, os.path.abspath(__file__), ["--child", "info"], 120)
    except common.ChildError as e:
        return f"(cannot import quillnet: {e})"
    return f"Python {info['python']}, quillnet from {info['module']}"


def cell(side, group, metric, unit):
    v, err = side.value(group, metric)
    if v is None:
        return "error: " + err[:60] if len(err) <= 60 else "error: " + err[:57] + "..."
    return common.fmt_value(v, unit)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter,
                                 epilog=__doc__.split("\n", 1)[1])
    ap.add_argument("--before", metavar="PYTHON", help="interpreter of the old build")
    ap.add_argument("--after", metavar="PYTHON", help="interpreter of the new build")
    ap.add_argument("--quick", action="store_true", help="small sizes, two rounds")
    ap.add_argument("--rounds", type=int, help="rounds per group (default 5, quick 2)")
    ap.add_argument("--only", metavar="GROUP", action="append", choices=list(GROUPS),
                    help="run only this group (repeatable): " + ", ".join(GROUPS))
    ap.add_argument("--timeout", type=float, default=900,
                    help="seconds one child may take (default 900)")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    a = ap.parse_args()

    if a.child:
        if a.child == "info":
            import quillnet
            return common.emit({"python": sys.version.split()[0], "module": quillnet.__file__})
        return common.emit(common.guarded(GROUPS[a.child], a.quick))

    if not a.after:
        ap.error("--after is required (add --before to compare two builds)")
    sides = [Side("after", a.after)]
    if a.before:
        sides.insert(0, Side("before", a.before))
    rounds = a.rounds or (2 if a.quick else 5)
    table = rows(a.quick)
    groups = [g for g in GROUPS if not a.only or g in a.only]

    for s in sides:
        print(f"{s.name}: {s.python}: {describe(s.python)}", flush=True)
    started = time.perf_counter()
    for group in groups:
        metrics = [m for g, m, _, _ in table if g == group]
        for rnd in range(rounds):
            print(f"{group}: round {rnd + 1} of {rounds}", file=sys.stderr, flush=True)
            order = sides if rnd % 2 == 0 else sides[::-1]
            for side in order:
                run_group(side, group, metrics, a.quick, a.timeout)

    print(f"\nbest of {rounds} rounds per figure, each round a fresh process per build "
          f"({time.perf_counter() - started:.0f} s in all); lower is better"
          + ("" if len(sides) == 1 else "; after/before below 1 is an improvement") + ":\n")
    headers = ["workload"] + [s.name for s in sides] + (["after/before"] if a.before else [])
    out_rows = []
    for group, metric, label, unit in table:
        if group not in groups:
            continue
        row = [label] + [cell(s, group, metric, unit) for s in sides]
        if a.before:
            (b, _), (f, _) = (s.value(group, metric) for s in sides)
            row.append(f"{f / b:.2f}" if b and f is not None else "-")
        out_rows.append(row)
    common.print_table(headers, out_rows)

    for s in sides:
        texts = sorted(set(s.errors.values()))
        if texts:
            print(f"\nerrors of {s.name}:")
            for text in texts:
                print("  " + text)
    if a.before:
        before, after = sides
        both = [k for k in before.checks if k in after.checks]
        differ = [k for k in both if before.checks[k] != after.checks[k]]
        if differ:
            print()
        for key in differ:
            print(f"results differ: {'/'.join(key)}: before {before.checks[key]!r}, "
                  f"after {after.checks[key]!r}")
        if both and not differ:
            print(f"\nthe two builds gave the same results (counts, hashes, answers) in all "
                  f"{len(both)} workloads that ran in both")


if __name__ == "__main__":
    main()
