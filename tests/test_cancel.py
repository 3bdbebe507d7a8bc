"""Long searches end with KeyboardInterrupt on Ctrl-C and leave the graph unchanged."""
import quillnet
from quillnet import CoreGraph
from support import interrupted_after


def diamond_ladder(k):
    """A bottom value with 2**k upward paths: each value has two parent ops that share
    the value above them."""
    g = CoreGraph()
    bottom = g.add_value_with_payload(0, 0)
    cur = bottom
    for i in range(k):
        top = g.add_value_with_payload(i + 1, 0)
        for _ in range(2):
            op = g.add_op_with_payload(i)
            g.connect_value_to_op(top, op)
            g.connect_op_to_value(op, cur)
        cur = top
    g.set_root(cur)
    return g, bottom


def test_searches_answer_ctrl_c():
    g, bottom = diamond_ladder(60)
    before = (g.num_nodes(), g.connection_hash(), g.equality_hash())
    with interrupted_after():
        g.traces(bottom)
    with interrupted_after():
        g.is_below(bottom, [])
    with interrupted_after():
        g.cross_sections(bottom, [bottom])
    with interrupted_after():
        quillnet.condition_combinations([[[0], [1]]] * 40, [])
    assert (g.num_nodes(), g.connection_hash(), g.equality_hash()) == before
    assert g.traces(bottom, above=False) == [[bottom]]  # borrows were released


def test_glue_search_answers_ctrl_c():
    g = CoreGraph()
    root = g.add_value_with_payload(0, 0)
    op = g.add_op_with_payload(0)
    g.connect_value_to_op(root, op)
    leaves = []
    for i in range(30):
        leaf = g.add_value_with_payload(i, 7)
        g.connect_op_to_value(op, leaf)
        leaves.append(leaf)
    candidates = leaves[-3:]
    before = g.connections()
    with interrupted_after():
        quillnet.glue_leaves(g, leaves[:-3], candidates, False)
    assert g.connections() == before
