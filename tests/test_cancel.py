"""Long searches end with KeyboardInterrupt on Ctrl-C and leave the graph unchanged."""
import quillnet
from graphs import diamond_ladder, one_op_with_leaves
from support import interrupted_after


def test_searches_answer_ctrl_c():
    g = diamond_ladder(60)
    bottom = 0
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
    g, leaves = one_op_with_leaves(30)
    candidates = leaves[-3:]
    before = g.connections()
    with interrupted_after():
        quillnet.glue_leaves(g, leaves[:-3], candidates, False)
    assert g.connections() == before
