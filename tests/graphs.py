"""Graphs the tests share: small fixed shapes, random graphs for comparing the searches
with straightforward Python references, graphs whose searches grow without bound (also
used by the scripts some tests run in child processes), and plain-Python readings of a
graph: its snapshot and the numbering of its compacted copy."""
from quillnet import CoreGraph

# ---- fixed shapes ----


def chain(length):
    """A chain leaf value 0 <- op 1 <- value 2 <- op 3 ... up to a top value node.

    `length` value nodes; the top is the last node.  Each op is an option of the value
    above it and has the value below it as its only child.
    """
    g = CoreGraph()
    add_v, add_o = g.add_value_with_payload, g.add_op_with_payload
    up, down = g.connect_value_to_op, g.connect_op_to_value
    below = add_v(0, 0)
    for i in range(1, length):
        op = add_o(i)
        val = add_v(i, 0)
        down(op, below)
        up(val, op)
        below = val
    return g


def star(types, root_type=9, padding=0):
    """R(0) with option P(1); P's children are value nodes 2, 3, ... of the given types
    (value id i for the i-th).  With padding, a second option of R over that many values
    of type 9 makes every copy large."""
    g = CoreGraph()
    g.add_value_with_payload(0, root_type)
    g.add_op_with_payload(0)
    g.connect_value_to_op(0, 1)
    for i, t in enumerate(types):
        g.connect_op_to_value(1, g.add_value_with_payload(i, t))
    if padding:
        pad = g.add_op_with_payload(1)
        g.connect_value_to_op(0, pad)
        for i in range(padding):
            g.connect_op_to_value(pad, g.add_value_with_payload(i, 9))
    return g


def one_op_with_leaves(n, type_id=7):
    """Root value 0 with option op 1 over n leaves of one type (nodes 2 .. n+1).  Returns
    the graph and the leaves."""
    g = star([type_id] * n, root_type=0)
    g.set_root(0)
    return g, list(range(2, n + 2))


def op_over_leaves(n):
    """value 0 -> op 1 (op id 1) -> leaves 2 .. n+1; every value has value id 0, type 0."""
    g = CoreGraph()
    g.add_value_with_payload(0, 0)
    g.add_op_with_payload(1)
    leaves = [g.add_value_with_payload(0, 0) for _ in range(n)]
    g.connect_value_to_op(0, 1)
    for leaf in leaves:
        g.connect_op_to_value(1, leaf)
    g.set_root(0)
    return g


def diamond_chain(depth):
    """v_i -> op_i -> [v_{i+1}, v_{i+1}] (values 2i, ops 2i + 1, op id 1): 2**depth
    occurrences of one leaf."""
    g = CoreGraph()
    for _ in range(depth):
        g.add_value_with_payload(0, 0)
        g.add_op_with_payload(1)
    g.add_value_with_payload(0, 0)
    for i in range(depth):
        g.connect_value_to_op(2 * i, 2 * i + 1)
        g.connect_op_to_value(2 * i + 1, 2 * i + 2)
        g.connect_op_to_value(2 * i + 1, 2 * i + 2)
    g.set_root(0)
    return g


def diamond_ladder(k):
    """Bottom value 0; level i adds value 1 + 3i with two ops over the value below, so value
    1 + 3i has 2**(k - 1 - i) upward paths.  The top value is the root."""
    g = CoreGraph()
    cur = g.add_value_with_payload(0, 0)
    for i in range(k):
        top = g.add_value_with_payload(i + 1, 0)
        for _ in range(2):
            op = g.add_op_with_payload(i)
            g.connect_value_to_op(top, op)
            g.connect_op_to_value(op, cur)
        cur = top
    g.set_root(cur)
    return g


def fans(*widths):
    """Top value 0; for each width w a leaf under w ops that are all options of the top, so
    its cross sections try 2**w choices.  Returns the graph and the leaves."""
    g = CoreGraph()
    top = g.add_value_with_payload(0, 0)
    leaves = []
    for w in widths:
        leaf = g.add_value_with_payload(w, 1)
        for i in range(w):
            op = g.add_op_with_payload(i)
            g.connect_value_to_op(top, op)
            g.connect_op_to_value(op, leaf)
        leaves.append(leaf)
    return g, leaves


# ---- condition snapshots and graphs whose conditions multiply ----


def entry(conditions, has_callable=False, cumulative=False):
    """One op_snapshot value."""
    return {"conditions": conditions, "has_callable": has_callable, "cumulative": cumulative}


# With these, op 1 of choice_forest selects no child and op 2 either of its two leaves.
CHOICES = {1: entry([[]]), 2: entry([[0], [1]])}


def choice_forest(*widths):
    """60 values (node 0 the first), each with an option op (op id 2, node 1 the first) over
    two leaves; for each width w an op (op id 1) over the first w values and a root value
    above it.  Returns the graph, those ops and their roots; under CHOICES op w has 2**w
    conditions.  The first root is the graph's root."""
    g = CoreGraph()
    values = []
    for i in range(60):
        v = g.add_value_with_payload(i, 0)
        op = g.add_op_with_payload(2)
        g.connect_value_to_op(v, op)
        for j in range(2):
            g.connect_op_to_value(op, g.add_value_with_payload(j, 0))
        values.append(v)
    tops, roots = [], []
    for w in widths:
        top = g.add_op_with_payload(1)
        for v in values[:w]:
            g.connect_op_to_value(top, v)
        root = g.add_value_with_payload(100 + w, 0)
        g.connect_value_to_op(root, top)
        tops.append(top)
        roots.append(root)
    g.set_root(roots[0])
    return g, tops, roots


# ---- random graphs ----


def random_graph(rng, n, edges, odd_links=False, op_share=0.5):
    """n nodes (node 0 a value node, node 1 an op), `edges` connect calls between random nodes.

    With odd_links the connect calls may join nodes of the same kind, which the graph
    allows; it fills the link fields that do not belong to a node's kind.
    """
    g = CoreGraph()
    kinds = []
    for i in range(n):
        if i == 1 or (i and rng.random() < op_share):
            g.add_op_with_payload(rng.randrange(100))
            kinds.append("o")
        else:
            g.add_value_with_payload(rng.randrange(100), rng.randrange(3))
            kinds.append("v")
    if n < 2 and not odd_links:
        edges = 0  # no op/value pair to join
    made = 0
    while made < edges:
        a, b = rng.randrange(n), rng.randrange(n)
        if rng.random() < 0.5:
            if odd_links or (kinds[a], kinds[b]) == ("o", "v"):
                g.connect_op_to_value(a, b)
                made += 1
        elif odd_links or (kinds[a], kinds[b]) == ("v", "o"):
            g.connect_value_to_op(a, b)
            made += 1
    return g


def random_graph_by_kind(rng, n, edges, odd_links=False, types=3):
    """n nodes (node 0 a value node), `edges` random connect calls, each between an op and a
    value picked from the nodes of their kind; with odd_links any kinds are joined, which
    fills the link fields that do not belong to a node's kind."""
    g = CoreGraph()
    ops, vals = [], []
    for i in range(n):
        if i and rng.random() < 0.5:
            ops.append(g.add_op_with_payload(rng.randrange(100)))
        else:
            vals.append(g.add_value_with_payload(rng.randrange(100), rng.randrange(types)))
    for _ in range(edges if ops or odd_links else 0):
        a, b = (rng.randrange(n), rng.randrange(n)) if odd_links else (rng.choice(ops),
                                                                       rng.choice(vals))
        if rng.random() < 0.5:
            g.connect_op_to_value(a, b)
        else:
            g.connect_value_to_op(b, a)
    return g


# ---- plain-Python readings of a graph ----


def loose_then_random(rng, before, n, edges, after):
    """`before` unconnected value nodes, then n nodes joined by `edges` random connect
    calls of any kinds, then `after` more unconnected nodes; the root among the n."""
    g = CoreGraph()
    for i in range(before):
        g.add_value_with_payload(i, 0)
    ids = [g.add_op_with_payload(i) if rng.random() < 0.5 else g.add_value_with_payload(i, 1)
           for i in range(n)]
    for _ in range(edges):
        a, b = rng.choice(ids), rng.choice(ids)
        (g.connect_op_to_value if rng.random() < 0.5 else g.connect_value_to_op)(a, b)
    for i in range(after):
        g.add_op_with_payload(i)
    g.set_root(rng.choice(ids))
    return g


def component_after_loose(kinds, edges, loose):
    """`loose` unconnected values first, then the component given by `kinds` (("v" or
    "o", payload) per node) and `edges` (pairs of component indices, upper first): node i
    gets id loose + i; the root is the component's first node."""
    g = CoreGraph()
    for i in range(loose):
        g.add_value_with_payload(i & 0xFF, 9)
    for kind, p in kinds:
        if kind == "v":
            g.add_value_with_payload(p, p % 2)
        else:
            g.add_op_with_payload(p)
    for a, b in edges:
        connect = g.connect_value_to_op if kinds[a][0] == "v" else g.connect_op_to_value
        connect(a + loose, b + loose)
    g.set_root(loose)
    return g


def random_component(rng, n, deep):
    """A value root and n - 1 nodes below it, each under an earlier node of the other kind
    (one of the last few when `deep`), a few of them under a second one."""
    kinds = [("v", 0)] + [(rng.choice("vo"), rng.randrange(4)) for _ in range(n - 1)]
    edges = []
    for i in range(1, n):
        above = [j for j in range(i) if kinds[j][0] != kinds[i][0]]
        if not above:
            kinds[i] = ("o" if kinds[i][0] == "v" else "v", kinds[i][1])
            above = [j for j in range(i) if kinds[j][0] != kinds[i][0]]
        if deep:
            above = above[-3:]
        twice = rng.random() < (0.02 if deep else 0.08) and len(above) > 1
        for j in rng.sample(above, 2 if twice else 1):
            edges.append((j, i))
    return kinds, edges


def snapshot(g):
    """Every node's kind, payload and links, then the root: equal for equal graphs."""
    return [(g.is_value_node(n), g.get_op_id(n), g.get_value_payload(n), g.get_parent(n),
             g.get_parents(n), g.get_options(n), g.get_children(n))
            for n in range(g.num_nodes())] + [g.get_root()]


def discovery_order(root, links):
    """The numbering of a compacted copy: pop, skip numbered, push the children, options,
    parent, parents (lists reversed), `links(x)` giving those four of node x.  Returns the
    correspondence old -> new and the old ids in new order."""
    corr, order, stack = {}, [], [root]
    while stack:
        x = stack.pop()
        if x in corr:
            continue
        corr[x] = len(order)
        order.append(x)
        children, options, parent, parents = links(x)
        stack += reversed(children)
        stack += reversed(options)
        stack += [] if parent is None else [parent]
        stack += reversed(parents)
    return corr, order


def ref_numbering(g):
    """The numbering of a compacted copy of g."""
    return discovery_order(g.get_root(), lambda x: (g.get_children(x), g.get_options(x),
                                                   g.get_parent(x), g.get_parents(x)))


def ref_node(g, x, m):
    """Node x of g with its links rewritten by m, entries that m lacks dropped."""
    return [g.is_value_node(x), g.get_op_id(x), g.get_value_payload(x), m.get(g.get_parent(x)),
            [m[i] for i in g.get_parents(x) if i in m], [m[i] for i in g.get_options(x) if i in m],
            [m[i] for i in g.get_children(x) if i in m]]
