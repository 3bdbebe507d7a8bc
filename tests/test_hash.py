"""Structural hashes and same_spec.

The expected hash values are computed by a pure-Python SipHash-1-3 written here over
byte streams built here from the public reading methods, so no expectation depends on the
native hasher; where the interpreter hashes bytes with SipHash-1-3 too, the hashes are
also checked against the interpreter's own hash of the same streams.
"""
import random
import struct
import subprocess
import sys

import pytest

import quillnet
from graphs import loose_then_random, random_graph
from support import oob

M64 = (1 << 64) - 1


def _rotl(x, b):
    return ((x << b) | (x >> (64 - b))) & M64


def siphash(data, c=1, d=3, k0=0, k1=0):
    v = [k0 ^ 0x736F6D6570736575, k1 ^ 0x646F72616E646F6D,
         k0 ^ 0x6C7967656E657261, k1 ^ 0x7465646279746573]

    def rounds(count):
        v0, v1, v2, v3 = v
        for _ in range(count):
            v0 = (v0 + v1) & M64; v1 = _rotl(v1, 13) ^ v0; v0 = _rotl(v0, 32)
            v2 = (v2 + v3) & M64; v3 = _rotl(v3, 16) ^ v2
            v0 = (v0 + v3) & M64; v3 = _rotl(v3, 21) ^ v0
            v2 = (v2 + v1) & M64; v1 = _rotl(v1, 17) ^ v2; v2 = _rotl(v2, 32)
        v[:] = [v0, v1, v2, v3]

    n = len(data)
    full = n - n % 8
    for i in range(0, full, 8):
        m = int.from_bytes(data[i:i + 8], "little")
        v[3] ^= m
        rounds(c)
        v[0] ^= m
    b = int.from_bytes(data[full:], "little") | ((n & 0xFF) << 56)
    v[3] ^= b
    rounds(c)
    v[0] ^= b
    v[2] ^= 0xFF
    rounds(d)
    return v[0] ^ v[1] ^ v[2] ^ v[3]


def _worked_example():
    g = quillnet.CoreGraph()
    g.add_value_with_payload(5, 9)
    g.add_op_with_payload(7)
    g.connect_value_to_op(0, 1)
    g.set_root(0)
    return g


def test_worked_example_pinned():
    g = _worked_example()
    eq_stream = struct.pack("<II4Q", 5, 7, 0, 1, 1, 0)
    conn_stream = struct.pack("<5Q", 2, 0, 1, 1, 0)
    assert len(eq_stream) == len(conn_stream) == 40
    # Pinned values, computed once with the pure-Python hasher above.
    assert siphash(eq_stream) == 6327667269916022429
    assert siphash(conn_stream) == 8070413698537358268
    assert g.equality_hash() == 6327667269916022429
    assert g.connection_hash() == 8070413698537358268


def _payload_id(g, n):
    op = g.get_op_id(n)
    return op if op is not None else g.get_value_payload(n)[0]


def _reference_pairs(g):
    """The connection list rebuilt from the plain walk and each node's neighbours."""
    order = g.walk(g.get_root())
    pos = {n: i for i, n in enumerate(order)}
    return [(i, pos[m]) for i, n in enumerate(order) for m in g.neighbors(n) if m in pos]


def _byte_streams(g):
    """The bytes that equality_hash and connection_hash of `g` hash."""
    pairs = _reference_pairs(g)
    assert g.connections() == pairs
    words = [w for p in pairs for w in p]
    order = g.walk(g.get_root())
    eq = struct.pack(f"<{len(order)}I", *(_payload_id(g, n) for n in order))
    eq += struct.pack(f"<{len(words)}Q", *words)
    conn = struct.pack(f"<{len(words) + 1}Q", len(pairs), *words)
    return eq, conn


def _expected_hashes(g):
    eq, conn = _byte_streams(g)
    return siphash(eq), siphash(conn)


@pytest.mark.parametrize("seed", range(12))
def test_hashes_follow_their_byte_streams(seed):
    # Odd node counts leave the pair words unaligned after the 4-byte payload ids.
    rng = random.Random(seed)
    n = rng.randrange(2, 40)
    g = random_graph(rng, n, rng.randrange(n, 3 * n), odd_links=seed % 3 == 0)
    g.set_root(rng.randrange(n))
    assert (g.equality_hash(), g.connection_hash()) == _expected_hashes(g)


@pytest.mark.skipif(sys.hash_info.algorithm != "siphash13", reason="interpreter hash differs")
def test_hashes_equal_the_interpreters_siphash13_of_their_streams():
    # With PYTHONHASHSEED=0 the interpreter hashes bytes with zero-key SipHash-1-3 (and
    # maps a hash of -1 to -2, which none of these streams meets).
    graphs, streams = [], []
    for seed in range(6):
        rng = random.Random(100 + seed)
        n = rng.randrange(2, 30)
        g = random_graph(rng, n, rng.randrange(n, 3 * n), odd_links=seed % 2 == 0)
        g.set_root(rng.randrange(n))
        graphs.append(g)
        streams += list(_byte_streams(g))
    code = ("import sys\nfor line in sys.stdin:\n"
            "    print(hash(bytes.fromhex(line.strip())) % 2**64)")
    out = subprocess.run([sys.executable, "-c", code], env={"PYTHONHASHSEED": "0"},
                         input="".join(s.hex() + "\n" for s in streams),
                         capture_output=True, text=True, check=True).stdout
    expected = [int(x) for x in out.split()]
    assert [h for g in graphs for h in (g.equality_hash(), g.connection_hash())] == expected


def _build(order, layout, root):
    """Creates the nodes of `layout` in the given order, then links them in list order."""
    g = quillnet.CoreGraph()
    new_id = {}
    for name in order:
        kind, *payload = layout["nodes"][name]
        new_id[name] = (g.add_value_with_payload(*payload) if kind == "v"
                        else g.add_op_with_payload(*payload))
    for kind, a, b in layout["edges"]:
        if kind == "vo":
            g.connect_value_to_op(new_id[a], new_id[b])
        else:
            g.connect_op_to_value(new_id[a], new_id[b])
    g.set_root(new_id[root])
    return g


LAYOUT = {
    "nodes": {"r": ("v", 1, 0), "o1": ("o", 10), "o2": ("o", 11), "a": ("v", 2, 1),
              "b": ("v", 3, 1), "o3": ("o", 12), "c": ("v", 4, 2), "lone": ("v", 99, 9)},
    "edges": [("vo", "r", "o1"), ("vo", "r", "o2"), ("ov", "o1", "a"), ("ov", "o2", "a"),
              ("ov", "o2", "b"), ("vo", "a", "o3"), ("ov", "o3", "c")],
}


def test_creation_order_does_not_matter_but_list_order_does():
    names = list(LAYOUT["nodes"])
    g1 = _build(names, LAYOUT, "r")
    g2 = _build(list(reversed(names)), LAYOUT, "r")
    assert g1.get_root() != g2.get_root()  # really a different numbering
    assert g1.equality_hash() == g2.equality_hash()
    assert g1.connection_hash() == g2.connection_hash()

    swapped = dict(LAYOUT, edges=[LAYOUT["edges"][1], LAYOUT["edges"][0]] + LAYOUT["edges"][2:])
    g3 = _build(names, swapped, "r")
    assert g3.equality_hash() != g1.equality_hash()
    assert g3.connection_hash() != g1.connection_hash()


@pytest.mark.parametrize("change, eq_changes", [
    (("v", "a", 77, 1), True),    # val_id
    (("o", "o2", 77), True),      # op_id
    (("v", "a", 2, 8), False),    # type_id only
    (("v", "lone", 5, 5), False),  # node outside the root's component
])
def test_payload_sensitivity(change, eq_changes):
    names = list(LAYOUT["nodes"])
    base = _build(names, LAYOUT, "r")
    kind, name, *payload = change
    nodes = dict(LAYOUT["nodes"], **{name: (kind, *payload)})
    other = _build(names, dict(LAYOUT, nodes=nodes), "r")
    assert other.connection_hash() == base.connection_hash()
    assert (other.equality_hash() != base.equality_hash()) == eq_changes


def test_single_node():
    g = quillnet.CoreGraph()
    g.add_value_with_payload(0xDEADBEEF, 3)
    assert g.connection_hash() == siphash(bytes(8))
    assert g.equality_hash() == siphash(struct.pack("<I", 0xDEADBEEF))


@pytest.mark.parametrize("nodes, root", [(0, 0), (2, 2), (3, 2**64 - 1)])
def test_hashes_fail_on_bad_root(panics, nodes, root):
    g = quillnet.CoreGraph()
    for _ in range(nodes):
        g.add_value_with_payload(1, 1)
    g.set_root(root)
    for method in (g.connection_hash, g.equality_hash):
        with panics(oob(nodes, root)):
            method()


def test_same_spec(panics):
    g = quillnet.CoreGraph()
    g.add_value_with_payload(1, 4)   # 0
    g.add_value_with_payload(2, 4)   # 1: same type, other val_id
    g.add_value_with_payload(1, 5)   # 2: same val_id, other type
    g.add_op_with_payload(4)         # 3
    assert g.same_spec(0, 1) and g.same_spec(1, 0) and g.same_spec(0, 0)
    assert not g.same_spec(0, 2)
    assert not g.same_spec(3, 3) and not g.same_spec(0, 3) and not g.same_spec(3, 0)
    with panics(oob(4, 7)):
        g.same_spec(7, 9)   # a is checked first
    with panics(oob(4, 9)):
        g.same_spec(0, 9)


@pytest.mark.parametrize("seed", range(12))
def test_hashes_of_a_small_component_among_many_loose_nodes(seed):
    # positions kept in a small table keyed by high ids, links of any kind

    rng = random.Random(seed)
    n = rng.randrange(2, 50)
    g = loose_then_random(rng, 20_000, n, rng.randrange(n, 3 * n), 100)
    assert (g.equality_hash(), g.connection_hash()) == _expected_hashes(g)


@pytest.mark.parametrize("n, per_node, op_share, odd", [
    (300, 1, 0.5, False),    # a sparse graph: many nodes met only once
    (200, 8, 0.5, False),    # dense: repeated links, nodes reached from many places
    (150, 4, 0.05, False),   # few ops with long lists of children, values with many parents
    (2, 150, 0.5, False),    # one link repeated many times
    (200, 4, 0.5, True),     # links in the fields of the other kind
    (6000, 2, 0.5, False),   # the walk outgrows its sparse start and goes on flat
    (6000, 2, 0.5, True),
])
def test_hashes_of_larger_and_denser_graphs(n, per_node, op_share, odd):
    # the positions of neighbours still on the stack are filled in when they are reached
    rng = random.Random(n * 1000 + per_node)
    g = random_graph(rng, n, n * per_node, odd_links=odd, op_share=op_share)
    for root in (0, 1, rng.randrange(n)):
        g.set_root(root)
        assert (g.equality_hash(), g.connection_hash()) == _expected_hashes(g)


def test_hashes_of_a_long_chain():
    # a deep walk whose stack holds every pending sibling; ops with three children
    g = quillnet.CoreGraph()
    v = g.add_value_with_payload(0, 0)
    for i in range(400):
        op = g.add_op_with_payload(i)
        g.connect_value_to_op(v, op)
        kids = [g.add_value_with_payload(i + k, 0) for k in range(3)]
        for k in kids:
            g.connect_op_to_value(op, k)
        v = kids[i % 3]
    g.set_root(0)
    assert (g.equality_hash(), g.connection_hash()) == _expected_hashes(g)
    g.set_root(v)   # walked upward first from the deepest value
    assert (g.equality_hash(), g.connection_hash()) == _expected_hashes(g)
