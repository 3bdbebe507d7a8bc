import itertools
import random

import pytest

import quillnet as q
from graphs import diamond_chain, entry, op_over_leaves
from support import interrupted_after

M64 = (1 << 64) - 1


def graph(kinds, edges, root=0):
    """kinds: 'v'/'o' per node (payload id 0, ops id 1 unless given as a tuple);
    edges: (a, b) pairs, value->op as an option, op->value as a child."""
    g = q.CoreGraph()
    for k in kinds:
        k, pid = k if isinstance(k, tuple) else (k, 0 if k == "v" else 1)
        g.add_value_with_payload(pid, 0) if k == "v" else g.add_op_with_payload(pid)
    for a, b in edges:
        (g.connect_value_to_op if g.is_value_node(a) else g.connect_op_to_value)(a, b)
    g.set_root(root)
    return g


# ---- slow reference: a direct recursive reading of the described algorithms ----

def ref_combinations(by_child, offsets):
    out = []
    for combo in itertools.product(*by_child):
        cond = []
        for i, c in enumerate(combo):
            if len(offsets) >= 2 and i >= len(offsets):
                continue
            shift = 0 if not offsets else offsets[0] if len(offsets) == 1 else offsets[i]
            cond += [(e + shift) & M64 for e in c]
        out.append(cond)
    return out


def below(g, x):
    return [c for o in g.get_options(x) for c in g.get_children(o)]


def ref_rc(g, x):
    return 1 if not g.get_options(x) else sum(ref_rc(g, c) for c in below(g, x))


def ref_leafset(g, x):
    return {x} if not g.get_options(x) else set().union(*[ref_leafset(g, c) for c in below(g, x)])


def ref_update(g, node, snap):
    op = g.get_op_id(node)
    if op is None or op not in snap:
        return []
    info, ch = snap[op], g.get_children(node)
    if not info["has_callable"] or info["cumulative"] or not ch or g.get_op_id(ch[0]) is not None:
        return [list(c) for c in info["conditions"]]
    vid = g.get_value_payload(ch[0])[0]
    return [[0] + [(p + 1) & M64 for p in c] for c in snap[vid]["conditions"]] if vid in snap else []


def ref_tree(g, node, snap, adopt):
    if g.is_value_node(node) and not g.get_options(node):
        return [[]]
    op = g.get_op_id(node)
    own = ref_update(g, node, snap) if adopt else snap[op]["conditions"] if op in snap else []
    ch = g.get_children(node)
    offsets = [sum(len(ref_leafset(g, c)) for c in ch[:i]) for i in range(len(ch))]
    out = []
    for qc in own:
        per = [[list(range(ref_rc(g, c)))] if p in qc else [[]] if not g.get_options(c)
               else ref_tree(g, g.get_options(c)[0], snap, adopt) for p, c in enumerate(ch)]
        out += ref_combinations(per, offsets)
    return out


def ref_get(g, node, snap, adopt):
    n = len(g.leaves())
    if not g.get_options(node):
        return [[]]
    op = g.get_options(node)[0]
    start = op if g.get_parent(op) is None else g.get_parent(op)
    seq, stack = [], [start]
    while stack:
        x = stack.pop()
        if not g.get_options(x):
            seq.append(x)
        stack.extend(reversed(below(g, x)))
    translated = []
    for qc in ref_tree(g, op, snap, adopt):
        flags, out = {}, []
        for i, leaf in enumerate(seq):
            if leaf not in flags:
                flags[leaf] = i in qc
                if i in qc:
                    out.append(len(flags) - 1)
            elif flags[leaf] != (i in qc):
                break  # inconsistent: dropped
        else:
            translated.append(out)
    s = sorted(translated or [list(range(n))], key=len)
    kept = [x for k, x in enumerate(s) if not any(set(y) <= set(x) and (y or len(x) >= n) for y in s[:k])]
    return sorted(sorted(kept), key=len)


def random_graph(rng, n):
    """Acyclic: every edge goes from a lower to a higher id; sharing and repeats allowed."""
    kinds = [("v", rng.randrange(4)) if i == 0 or rng.random() < 0.55 else ("o", rng.randrange(4))
             for i in range(n)]
    edges = []
    for i, (k, _) in enumerate(kinds):
        targets = [j for j in range(i + 1, n) if kinds[j][0] != k][:4]
        for _ in range(rng.choice([0, 1, 1, 2, 3]) if targets else 0):
            edges.append((i, rng.choice(targets)))
    return graph(kinds, edges)


def random_odd_graph(rng, n):
    """Like random_graph, but a link may join two nodes of one kind: a value node among a
    value's options, an op among an op's children (still acyclic)."""
    kinds = [("v", rng.randrange(4)) if i == 0 or rng.random() < 0.55 else ("o", rng.randrange(4))
             for i in range(n)]
    edges = [(i, rng.randrange(i + 1, n)) for i in range(n - 1) for _ in range(rng.choice([0, 1, 1, 2]))]
    return graph(kinds, edges)


def random_snapshot(rng):
    return {pid: entry([[rng.randrange(5) for _ in range(rng.randrange(4))] for _ in range(rng.randrange(4))],
                       rng.random() < 0.4, rng.random() < 0.3)
            for pid in range(4) if rng.random() < 0.85}


@pytest.mark.parametrize("seed", range(60))
def test_random_graphs_match_reference(seed):
    rng = random.Random(seed)
    g, snap = random_graph(rng, rng.randrange(2, 16)), random_snapshot(rng)
    for node in range(g.num_nodes()):
        assert q.update_callable_conditions(g, node, snap) == ref_update(g, node, snap)
        for adopt in (False, True):
            assert q.tree_conditions(g, node, snap, adopt) == ref_tree(g, node, snap, adopt)
            assert q.get_conditions(g, node, snap, adopt) == ref_get(g, node, snap, adopt)


@pytest.mark.parametrize("seed", range(40))
def test_odd_links_match_reference(seed):
    # value nodes as options (a leaf or not, first or later), ops as children (a callable
    # position taken by an op)
    rng = random.Random(1000 + seed)
    g, snap = random_odd_graph(rng, rng.randrange(2, 12)), random_snapshot(rng)
    for node in range(g.num_nodes()):
        assert q.update_callable_conditions(g, node, snap) == ref_update(g, node, snap)
        for adopt in (False, True):
            assert q.tree_conditions(g, node, snap, adopt) == ref_tree(g, node, snap, adopt)
            assert q.get_conditions(g, node, snap, adopt) == ref_get(g, node, snap, adopt)


def test_value_nodes_among_options():
    # op 1 takes value 2, whose first option is the value leaf 3 (then op 4 over leaf 5)
    g = graph(["v", "o", "v", "v", ("o", 4), "v"], [(0, 1), (1, 2), (2, 3), (2, 4), (4, 5)])
    snap = {1: entry([[]]), 4: entry([[0]])}
    assert q.tree_conditions(g, 1, snap, False) == [[]]  # the leaf option gives one empty condition
    assert q.tree_conditions(g, 3, snap, False) == [[]]
    g = graph(["v", "o", "v", ("o", 4), "v", "v"], [(0, 1), (1, 2), (2, 3), (2, 4), (3, 5)])
    assert q.tree_conditions(g, 1, snap, False) == [[0]]  # the op option, for comparison
    # a value whose first option is a value leaf: no parent, so that leaf starts the walk
    g = graph("vvv", [(0, 1), (0, 2)])
    assert q.get_conditions(g, 0, {}, False) == [[]]
    assert q.get_conditions(g, 0, {}, True) == [[]]


@pytest.mark.parametrize("own, cumulative", [([[1], [0, 1]], False), ([], False), ([[0]], True)])
def test_callable_position_held_by_an_op(own, cumulative):
    # op 0's first child is op 1 (op id 7, like the value id of the callable entry)
    g = graph(["o", ("o", 7), "v"], [(0, 1), (0, 2)])
    snap = {1: entry(own, True, cumulative), 7: entry([[0]])}
    assert q.update_callable_conditions(g, 0, snap) == own


@pytest.mark.parametrize("depth", [3, 70])
def test_leaf_counts_beyond_64_bits(depth):
    # r's first option T (op id 2) takes leaves a and b; its second option reaches b along
    # 2**depth paths, so r's leaf sequence is a, b, then b again 2**depth times.
    g = q.CoreGraph()
    r, t = g.add_value_with_payload(0, 0), g.add_op_with_payload(2)
    a, b = g.add_value_with_payload(1, 0), g.add_value_with_payload(2, 0)
    g.connect_value_to_op(r, t)
    g.connect_op_to_value(t, a)
    g.connect_op_to_value(t, b)
    below = b
    for _ in range(depth):
        v, o = g.add_value_with_payload(3, 0), g.add_op_with_payload(1)
        g.connect_value_to_op(v, o)
        g.connect_op_to_value(o, below)
        g.connect_op_to_value(o, below)
        below = v
    u = g.add_op_with_payload(1)
    g.connect_value_to_op(r, u)
    g.connect_op_to_value(u, below)
    g.set_root(r)
    for conditions, expected in [
        ([[0]], [[0]]),        # a alone: consistent
        ([[1]], [[0, 1]]),     # b once selected, unselected elsewhere: dropped, all leaves
        ([[0], [0, 1]], [[0]]),
        ([[]], [[]]),
    ]:
        snap = {2: entry(conditions)}
        assert q.get_conditions(g, r, snap, False) == expected
        if depth < 10:
            assert ref_get(g, r, snap, False) == expected


# ---- exact cases ----

@pytest.mark.parametrize("by_child, offsets, expected", [
    ([], [], [[]]),
    ([[[0], [1]], [[5], [6]]], [0, 10], [[0, 15], [0, 16], [1, 15], [1, 16]]),
    ([[[0]], []], [0, 1], []),
    ([[[0, 1]], [[0]]], [3], [[3, 4, 3]]),
    ([[[0]], [[0]], [[0], [1]]], [0, 5], [[0, 5], [0, 5]]),  # left-out child still enumerated
    ([[[2]], [[1]]], [], [[2, 1]]),
    ([[[1]]], [0, 5, 9], [[1]]),
    ([[[M64]], [[M64, 3]]], [1, 2], [[0, 1, 5]]),  # wraps at 2**64
    ((((1,), range(2)),), (), [[1], [0, 1]]),
])
def test_condition_combinations(by_child, offsets, expected):
    assert q.condition_combinations(by_child, offsets) == expected
    assert ref_combinations(by_child, offsets) == expected


@pytest.mark.parametrize("arg", ["ab", ["ab"], [["ab"]]])
def test_condition_combinations_rejects_str(arg):
    with pytest.raises(TypeError, match="^argument 'conditions_by_child': Can't extract `str` to `Vec`$"):
        q.condition_combinations(arg, [])


OWN = [[2], [0, 1]]


@pytest.mark.parametrize("snap, expected", [
    ({1: entry(OWN, True), 7: entry([[0], [1, 2]])}, [[0, 1], [0, 2, 3]]),
    ({1: entry(OWN, True), 7: entry([[]], True, True)}, [[0]]),
    ({1: entry(OWN, True)}, []),  # callable without an entry: not the own conditions
    ({1: entry(OWN, True, True), 7: entry([[0]])}, OWN),
    ({1: entry(OWN, True), 7: entry([[M64]])}, [[0, 0]]),  # wraps at 2**64
])
def test_update_callable_conditions(snap, expected):
    g = graph(["o", ("v", 7), "v"], [(0, 1), (0, 2)])
    assert q.update_callable_conditions(g, 0, snap) == expected


@pytest.mark.parametrize("conditions, expected", [
    ([[0, 1], [2], [0]], [[0], [2]]),
    ([[1, 2], [0, 3]], [[0, 3], [1, 2]]),
    ([[2], [0, 1]], [[2], [0, 1]]),
    ([[1, 3], [3, 1], [1, 3, 3]], [[1, 3]]),
    ([[], [0, 1, 2, 3]], [[]]),  # leaf count 4
    ([[], [], [0, 1]], [[], [], [0, 1]]),
    ([[9]], [[]]),
])
def test_get_conditions_prunes_and_orders(conditions, expected):
    assert q.get_conditions(op_over_leaves(4), 0, {1: entry(conditions)}, False) == expected


def test_get_conditions_edge_cases():
    g = op_over_leaves(3)
    assert q.get_conditions(g, 1, {}, False) == [[]]
    g.set_root(50)  # leaf count 0: one empty condition removes everything else
    assert q.get_conditions(g, 0, {}, False) == [[]]
    assert q.get_conditions(g, 0, {1: entry([[], [], [0], [1, 2]])}, False) == [[]]
    # the leaf count is computed before the node id is checked
    with pytest.raises(BaseException, match="^index out of bounds: the len is 5 but the index is 9$") as ei:
        q.get_conditions(g, 9, {}, False)
    assert type(ei.value).__name__ == "PanicException"


# ---- cycles, depth, sharing, interruption ----

@pytest.mark.parametrize("snap", [{}, {1: entry([[]])}, {1: entry([[0]])}])
def test_cycles_are_value_errors(snap):
    g = graph("vovo", [(0, 1), (1, 2), (2, 3), (3, 0)])
    for fn, node in ((q.tree_conditions, 1), (q.tree_conditions, 3), (q.get_conditions, 2)):
        with pytest.raises(ValueError, match=r"^cycle through option and child edges at node [0-3]$"):
            fn(g, node, snap, False)
    assert q.update_callable_conditions(g, 1, snap) == ref_update(g, 1, snap)
    # a cycle met only by the leaf walk through a later option of the start
    g = graph("vovovo", [(0, 1), (1, 2), (0, 3), (3, 4), (4, 5), (5, 4)])
    assert q.tree_conditions(g, 1, snap, False) == ref_tree(g, 1, snap, False)
    with pytest.raises(ValueError, match="at node 4$"):
        q.get_conditions(g, 0, snap, False)


@pytest.fixture(scope="module")
def deep_chain():
    g = q.CoreGraph()  # value -> op -> value ... 1,000,001 nodes
    v = g.add_value_with_payload(0, 0)
    for _ in range(500_000):
        o = g.add_op_with_payload(1)
        g.connect_value_to_op(v, o)
        v = g.add_value_with_payload(0, 0)
        g.connect_op_to_value(o, v)
    return g


@pytest.mark.parametrize("conditions, adopt, tree, get", [
    ([[]], False, [[]], [[]]),
    ([[0]], False, [[0]], [[0]]),
    ([[0]], True, [], [[0]]),  # adopted: no entry for the callable
])
def test_deep_chain(deep_chain, conditions, adopt, tree, get):
    snap = {1: entry(conditions, adopt)}
    assert q.tree_conditions(deep_chain, 1, snap, adopt) == tree
    assert q.get_conditions(deep_chain, 0, snap, adopt) == get
    assert q.update_callable_conditions(deep_chain, 1, snap) == ([] if adopt else conditions)


def test_shared_values_stay_polynomial():
    g = diamond_chain(100)
    assert q.tree_conditions(g, 1, {}, False) == []
    assert q.tree_conditions(g, 1, {1: entry([[]])}, False) == [[]]
    assert q.get_conditions(g, 0, {1: entry([[]])}, False) == [[]]
    assert q.get_conditions(g, 0, {}, False) == [[0]]
    with pytest.raises(OverflowError, match="leaf occurrence count"):
        q.tree_conditions(g, 1, {1: entry([[0]])}, False)


def test_long_enumeration_can_be_interrupted():
    with interrupted_after(0.05):
        q.condition_combinations([[[]] * 10] * 10, [])  # 10**10 combinations
