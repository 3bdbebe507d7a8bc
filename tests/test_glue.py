"""glue_leaves against two recursive references (one built from the module's copy, merge and
hash, one in plain Python on a model of the graph), plus deep, failing and interrupted
searches."""
import os
import random
import subprocess
import sys

import pytest

import quillnet
from graphs import discovery_order, random_graph_by_kind, snapshot, star
from support import NO_ROOT, oob


class RefFailure(Exception):
    pass


def ref_glue(graph, leaves, candidates, trees_only, max_leaves=None):
    """The recursive search, built from the module's own copy, merge and hash."""
    results, recorded = [], set()
    within = lambda n: max_leaves is None or n <= max_leaves  # noqa: E731

    def rec(g, leaves, candidates, trees_only):
        if trees_only or within(len(leaves)):
            h = None if trees_only else g.connection_hash()
            if within(len(leaves)) and h not in recorded:
                results.append(g.clone_subgraph()[0])
                recorded.add(h)
        while leaves and not trees_only:
            f, rest, glued = leaves[0], leaves[1:], False
            for p in rest + candidates:
                for i in (p, f):
                    if i >= g.num_nodes():
                        raise RefFailure(oob(g.num_nodes(), i))
                if g.same_spec(f, p):
                    g2, corr = g.clone_subgraph()
                    for step, (ids, message) in enumerate((
                            ([f], "first missing in corr map"),
                            ([p], "candidate missing in corr map"),
                            (rest, "rest id missing in corr"),
                            (candidates, "candidate id missing in corr"))):
                        if any(i not in corr for i in ids):
                            raise RefFailure(message)
                        if step == 1:
                            g2.merge_value_nodes(corr[p], corr[f], True, True)
                    rec(g2, [corr[i] for i in rest], [corr[i] for i in candidates], False)
                    glued = True
            leaves = rest
            if glued:
                return

    rec(graph, list(leaves), list(candidates), trees_only)
    return [snapshot(r) for r in results]


# ---- a second reference, in plain Python: none of the module's copy, merge or hash ----
#
# A graph is modelled as a list of nodes [is_value, op_id, (val_id, type_id) or None,
# parent, parents, options, children] and a root, read through the public reading
# methods (the snapshot).  Copying, merging and the structural dedupe are written here
# from their descriptions, so that a fault shared by the module's own copy, merge and
# hash cannot hide in both sides of a comparison.

IS_VALUE, OP_ID, PAYLOAD, PARENT, PARENTS, OPTIONS, CHILDREN = range(7)


def model_of(g):
    *nodes, root = snapshot(g)
    return [[v, op, pay, par, list(ps), list(os), list(cs)] for v, op, pay, par, ps, os, cs
            in nodes], root


def model_snapshot(model):
    nodes, root = model
    return [(v, op, pay, par, list(ps), list(os), list(cs)) for v, op, pay, par, ps, os, cs
            in nodes] + [root]


def model_copy(model):
    """The compacted copy: numbered in discovery order from the root (pop, skip what is
    numbered, push the children, options, parent, parents, each list reversed), links
    renamed.  Returns the copy and the correspondence old -> new."""
    nodes, root = model
    if root >= len(nodes):
        raise RefFailure(NO_ROOT)
    corr, order = discovery_order(
        root, lambda x: (nodes[x][CHILDREN], nodes[x][OPTIONS], nodes[x][PARENT], nodes[x][PARENTS]))
    copy = [[n[IS_VALUE], n[OP_ID], n[PAYLOAD], None if n[PARENT] is None else corr[n[PARENT]],
             [corr[i] for i in n[PARENTS]], [corr[i] for i in n[OPTIONS]],
             [corr[i] for i in n[CHILDREN]]] for n in (nodes[x] for x in order)]
    return (copy, 0), corr


def model_merge(model, keep, other):
    """Folds `other` into `keep`, both sides: keep gains other's parents and options it
    lacks (each once, in order), the ops above other take keep as their child instead,
    other's options take keep as their parent, and other is left without either list."""
    nodes = model[0]
    if keep == other:
        return
    k, o = nodes[keep], nodes[other]
    for field in (PARENTS, OPTIONS):
        for i in o[field]:
            if i not in k[field]:
                k[field].append(i)
    for op in dict.fromkeys(o[PARENTS]):
        nodes[op][CHILDREN] = [keep if c == other else c for c in nodes[op][CHILDREN]]
    for op in o[OPTIONS]:
        nodes[op][PARENT] = keep
    o[PARENTS], o[OPTIONS] = [], []


def model_walk(model):
    """The canonical order: depth first from the root, each node at its first pop; a value
    goes into its parents, then its options; an op into its children, then its parent."""
    nodes, root = model
    if root >= len(nodes):
        raise RefFailure(oob(len(nodes), root))
    seen, order, stack = set(), [], [root]
    while stack:
        x = stack.pop()
        if x in seen:
            continue
        seen.add(x)
        order.append(x)
        n = nodes[x]
        if n[IS_VALUE]:
            below = n[PARENTS] + n[OPTIONS]
        else:
            below = n[CHILDREN] + ([] if n[PARENT] is None else [n[PARENT]])
        stack += reversed(below)
    return order


def model_shape(model):
    """What the connection hash sees: every link of the walked nodes (options, parents,
    parent, children) between two walked nodes, as a pair of walk positions, in walk order."""
    nodes = model[0]
    order = model_walk(model)
    pos = {x: i for i, x in enumerate(order)}
    pairs = []
    for i, x in enumerate(order):
        n = nodes[x]
        links = n[OPTIONS] + n[PARENTS] + ([] if n[PARENT] is None else [n[PARENT]]) + n[CHILDREN]
        pairs += [(i, pos[m]) for m in links if m in pos]
    return tuple(pairs)


def model_glue(graph, leaves, candidates, trees_only, max_leaves=None):
    """The copying search on the model: a level records its graph when its shape is new,
    then glues the first leaf that has a partner (a later leaf, then a candidate, of the
    same type) onto each partner on a fresh copy and searches the copy."""
    results, shapes = [], set()

    def records(leaves):
        return max_leaves is None or len(leaves) <= max_leaves

    def in_copy(corr, ids, message):
        if any(i not in corr for i in ids):
            raise RefFailure(message)
        return [corr[i] for i in ids]

    def level(model, leaves, candidates):
        if records(leaves):
            shape = model_shape(model)
            if shape not in shapes:
                shapes.add(shape)
                results.append(model_snapshot(model_copy(model)[0]))
        nodes = model[0]
        for head, f in enumerate(leaves):
            rest, glued = leaves[head + 1:], False
            for p in rest + candidates:
                for i in (p, f):
                    if i >= len(nodes):
                        raise RefFailure(oob(len(nodes), i))
                if not (nodes[f][IS_VALUE] and nodes[p][IS_VALUE]
                        and nodes[f][PAYLOAD][1] == nodes[p][PAYLOAD][1]):
                    continue
                copy, corr = model_copy(model)
                (f2,) = in_copy(corr, [f], "first missing in corr map")
                (p2,) = in_copy(corr, [p], "candidate missing in corr map")
                rest2 = in_copy(corr, rest, "rest id missing in corr")
                cands2 = in_copy(corr, candidates, "candidate id missing in corr")
                model_merge(copy, p2, f2)
                level(copy, rest2, cands2)
                glued = True
            if glued:
                return

    model = model_of(graph)
    if not trees_only:
        level(model, list(leaves), list(candidates))
    elif records(leaves):
        results.append(model_snapshot(model_copy(model)[0]))
    return results


def outcome(run):
    try:
        return "ok", run()
    except RefFailure as e:
        return "fail", str(e)
    except BaseException as e:
        if type(e).__name__ != "PanicException":
            raise
        return "fail", str(e)


def check(g, leaves, candidates, trees_only=False, max_leaves=None):
    """Runs both searches, asserts they agree and that g is unchanged; returns results."""
    before = snapshot(g)
    got = outcome(lambda: quillnet.glue_leaves(g, leaves, candidates, trees_only, max_leaves))
    got = (got[0], [snapshot(r) for r in got[1]]) if got[0] == "ok" else got
    assert got == outcome(lambda: ref_glue(g, leaves, candidates, trees_only, max_leaves))
    assert got == outcome(lambda: model_glue(g, leaves, candidates, trees_only, max_leaves))
    assert snapshot(g) == before
    return got


@pytest.mark.parametrize("b_type, options, want", [
    (5, {}, [[2, 3, 4], [2, 2, 3], [2, 2, 2], [2, 3, 2]]),
    (5, {"max_leaves": 0}, [[2, 2, 2]]),
    (5, {"max_leaves": 1}, [[2, 2, 3], [2, 2, 2], [2, 3, 2]]),
    (5, {"trees_only": True}, [[2, 3, 4]]),
    (5, {"trees_only": True, "max_leaves": 1}, []),
    (6, {}, [[2, 3, 4], [2, 3, 2]]),
])
def test_five_graph_example(b_type, options, want):
    # leaves a(2), b(3) and candidate c(4) below P; b of another type in the last case
    status, got = check(star([5, b_type, 5]), [2, 3], [4], **options)
    assert status == "ok" and [r[1][-1] for r in got] == want  # P's children


@pytest.mark.parametrize("leaves, candidates, message", [
    ([2, 3], [4, 50], "candidate id missing in corr"),
    ([2, 3, 50], [4], "rest id missing in corr"),
    ([2, 3, 2], [4], "candidate missing in corr map"),  # 2 was glued away a level above
    ([5, 2], [2], "first missing in corr map"),         # node 5 has no links
    ([2], [5], "candidate missing in corr map"),
    ([2, 99], [], oob(6, 99)),                          # the partner is tested ...
    ([99, 98], [], oob(6, 98)),                         # ... before the leaf
    ([99], [2], oob(6, 99)),
])
def test_failures(leaves, candidates, message):
    g = star([5, 5, 5])
    g.add_value_with_payload(13, 5)
    assert check(g, leaves, candidates) == ("fail", message)


@pytest.mark.parametrize("nodes, root, options, message", [
    (0, 0, {}, oob(0, 0)),                  # the first level's hash meets the root
    (3, 7, {}, oob(3, 7)),
    (3, 7, {"max_leaves": 0}, NO_ROOT),     # no recording: the first glue step's copy
    (3, 7, {"trees_only": True}, NO_ROOT),
])
def test_graph_without_root(nodes, root, options, message, panics):
    g = quillnet.CoreGraph()
    for i in range(nodes):
        g.add_value_with_payload(i, 0)
    g.set_root(root)
    options = {"trees_only": False, **options}
    with panics(message):
        quillnet.glue_leaves(g, [0] if nodes else [], [1] if nodes else [], **options)


def random_dag(rng, n):
    """A root value with ops below values, 1 to 3 children each, some children shared,
    value types 0 and 1; now and then an extra link of any kind."""
    g = star([rng.randrange(2) for _ in range(rng.randrange(1, 4))])
    vals = [0] + list(range(2, g.num_nodes()))
    while g.num_nodes() < n:
        op = g.add_op_with_payload(rng.randrange(9))
        g.connect_value_to_op(rng.choice(vals[1:]), op)
        for _ in range(rng.randrange(1, 4)):
            if rng.random() < 0.2:
                g.connect_op_to_value(op, rng.choice(vals))
            else:
                vals.append(g.add_value_with_payload(rng.randrange(9), rng.randrange(2)))
                g.connect_op_to_value(op, vals[-1])
    if rng.random() < 0.3:
        g.connect_op_to_value(rng.randrange(n), rng.randrange(n))
    return g, vals


@pytest.mark.parametrize("seed", range(160))
def test_matches_reference(seed):
    rng = random.Random(seed)
    g, vals = random_dag(rng, rng.randrange(3, 14))
    leaves = rng.sample(g.leaves(), min(len(g.leaves()), rng.randrange(1, 6)))
    cands = rng.sample(vals, rng.randrange(3))
    extra = [rng.randrange(g.num_nodes() + 2)] + leaves[:1]
    if seed % 4 == 0:  # a repeated, unconnected or out-of-range id somewhere
        (leaves if seed % 8 else cands).insert(rng.randrange(3), rng.choice(extra))
    check(g, leaves, cands, seed % 13 == 0, rng.choice([None, None, 0, 1, 2]))


def test_ten_thousand_single_partner_leaves():
    # leaf i and candidate i share a type of their own: 10,000 levels, one glue each
    n = 10_000
    g = star([i % n for i in range(2 * n)], root_type=n)
    (last,) = quillnet.glue_leaves(g, range(2, n + 2), range(n + 2, 2 * n + 2), False, 0)
    assert last.num_nodes() == n + 2
    assert last.get_children(1) == list(range(2, n + 2)) * 2


@pytest.mark.skipif(os.environ.get("QUILLNET_SANITIZED") == "1",
                    reason="AddressSanitizer holds freed blocks back, so resident memory grows")
def test_failure_deep_in_the_search_leaks_nothing(panics):
    # the last leaf but one listed again: the first branch glues each leaf onto the next,
    # k levels deep with a copy alive at each, and fails only at the bottom
    k = 150
    g = star([5] * k)
    leaves = list(range(2, k + 2)) + [k]

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    for i in range(205):
        if i == 5:
            start = rss()
        with panics("candidate missing in corr map"):
            quillnet.glue_leaves(g, leaves, [], False)
    assert rss() - start < 16 * 2**20  # a leak would be about 100 MB
    assert g.num_nodes() == k + 2


def test_interrupt_ends_a_long_search():
    # 12 leaves of one type have about 12! branches; SIGALRM's KeyboardInterrupt ends it
    code = (
        "import signal, quillnet, graphs\n"
        "g = graphs.star([5] * 12)\n"
        "def stop(*args): raise KeyboardInterrupt\n"
        "signal.signal(signal.SIGALRM, stop)\n"
        "signal.setitimer(signal.ITIMER_REAL, 0.3)\n"
        "try: quillnet.glue_leaves(g, range(2, 14), [], False)\n"
        "except KeyboardInterrupt: print(g.num_nodes(), len(quillnet.glue_leaves(g, [2, 3], [], False)))\n"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=60, env=env)
    assert done.stdout.strip() == "14 2", done.stderr


def glue_case(rng, g, values, leaf_count, cand_count):
    """Random leaves (from g's leaves when it has enough) and candidates among values."""
    pool = g.leaves() if len(g.leaves()) >= leaf_count else values
    leaves = rng.sample(pool, min(len(pool), leaf_count))
    return leaves, rng.sample(values, min(len(values), cand_count))


@pytest.mark.parametrize("seed", range(120))
def test_matches_reference_on_larger_graphs(seed):
    # more leaves and candidates, all of one or two types: deep searches that reach the
    # same graphs along many paths
    rng = random.Random(1000 + seed)
    g, vals = random_dag(rng, rng.randrange(10, 40))
    leaves, cands = glue_case(rng, g, vals, rng.randrange(3, 7), rng.randrange(4))
    check(g, leaves, cands, False, rng.choice([None, None, 1, 2, 3]))


@pytest.mark.parametrize("seed", range(120))
def test_matches_reference_with_links_of_any_kind(seed):
    # links between nodes of one kind, ops below two values, cycles and repeated links:
    # graphs whose links are not all stored on both ends
    rng = random.Random(2000 + seed)
    n = rng.randrange(3, 25)
    g = random_graph_by_kind(rng, n, rng.randrange(n, 3 * n), odd_links=seed % 3 != 0, types=2)
    g.set_root(rng.randrange(n))
    values = [i for i in range(n) if g.is_value_node(i)]
    leaves, cands = glue_case(rng, g, values, rng.randrange(1, 6), rng.randrange(3))
    if seed % 5 == 0:  # an id listed twice, or one that names no node
        leaves.insert(rng.randrange(len(leaves) + 1), rng.choice(leaves + [n + 1]))
    check(g, leaves, cands, seed % 11 == 0, rng.choice([None, None, 0, 1, 3]))


@pytest.mark.parametrize("seed", range(60))
def test_matches_reference_with_repeated_partners(seed):
    # leaves of one type below one or two ops, some listed twice (a leaf glued onto itself
    # changes nothing), candidates listed twice, a leaf among the candidates: the search
    # meets one graph at one point of the leaves along several paths, and ids that a step
    # has glued away come up again
    rng = random.Random(4000 + seed)
    g = star([5] * rng.randrange(3, 7))
    values = list(range(2, g.num_nodes()))
    if seed % 2:
        op = g.add_op_with_payload(1)
        g.connect_value_to_op(0, op)
        for v in rng.sample(values, 2):
            g.connect_op_to_value(op, v)
        values.append(g.add_value_with_payload(9, 5))
        g.connect_op_to_value(op, values[-1])
    leaves = rng.sample(values, rng.randrange(2, min(6, len(values)) + 1))
    cands = rng.sample(values, rng.randrange(1, 3))
    for _ in range(rng.randrange(3)):
        target = leaves if rng.random() < 0.5 else cands
        target.insert(rng.randrange(len(target) + 1), rng.choice(leaves + cands))
    check(g, leaves, cands, False, rng.choice([None, None, 1, 2]))


def test_root_glued_away():
    # the root is a leaf glued onto another: the glued graph holds the root alone, and
    # the next step finds the partner gone
    g = quillnet.CoreGraph()
    for i in range(3):
        g.add_value_with_payload(i, 5)
    g.add_op_with_payload(0)
    g.connect_op_to_value(3, 0)
    g.connect_op_to_value(3, 1)
    g.connect_value_to_op(2, 3)
    g.set_root(0)
    for leaves, cands in (([0, 1], []), ([0], [1, 2]), ([0, 1], [2]), ([1, 0], [2])):
        check(g, leaves, cands)


def test_hub_with_many_parents_and_op_below_two_values():
    # a value shared by 40 ops, and an op listed among the options of two values: both
    # are searched by finding the component afresh at every step
    g = star([5] * 6)
    hub = g.add_value_with_payload(0, 5)
    for i in range(40):
        op = g.add_op_with_payload(i)
        g.connect_value_to_op(2 + i % 6, op)
        g.connect_op_to_value(op, hub)
    assert check(g, [2, 3, 4], [hub])[0] == "ok"
    g2 = star([5] * 5)
    op = g2.add_op_with_payload(1)
    g2.connect_value_to_op(2, op)
    g2.connect_value_to_op(3, op)
    g2.connect_op_to_value(op, g2.add_value_with_payload(0, 5))
    assert check(g2, [2, 3, 4, 7], [5, 6])[0] == "ok"


def test_failures_deep_in_the_search():
    # ids that leave the component further down, met after some graphs were recorded.
    # With value 2 taking value 3 as a child, 3 keeps a link up to 2, so 2 stays in the
    # copies after it is glued away.
    cases = [([2, 3, 4, 5, 3], []), ([2, 3, 4], [2]), ([2, 3, 4, 2], [5]), ([2, 3, 2], [4]),
             ([3, 2, 3], [])]
    for odd, want in ((False, ["rest id missing in corr", "candidate id missing in corr",
                               "rest id missing in corr", "candidate missing in corr map",
                               "candidate missing in corr map"]),
                      (True, ["rest id missing in corr", None, None, None,
                              "candidate missing in corr map"])):
        g = star([5] * 6)
        if odd:
            g.connect_op_to_value(2, 3)
        got = [check(g, leaves, cands) for leaves, cands in cases]
        assert [m if status == "fail" else None for status, m in got] == want


@pytest.mark.parametrize("seed", range(40))
def test_model_reads_walks_and_shapes_like_the_module(seed):
    # the model's walk is the module's canonical walk, and two graphs have the same shape
    # exactly when their connection hashes agree: the model's dedupe is the module's
    rng = random.Random(3000 + seed)
    n = rng.randrange(2, 16)
    graphs = []
    for _ in range(4):
        g = random_graph_by_kind(rng, n, rng.randrange(n, 2 * n), odd_links=seed % 2 == 0,
                                 types=1)
        g.set_root(0)
        graphs.append(g)
    graphs += quillnet.glue_leaves(graphs[0], graphs[0].leaves()[:4], [], False)
    for g in graphs:
        assert model_walk(model_of(g)) == g.walk(g.get_root())
    for a in graphs:
        for b in graphs:
            same = model_shape(model_of(a)) == model_shape(model_of(b))
            assert same == (a.connection_hash() == b.connection_hash())
