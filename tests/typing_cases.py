"""Type-checked, never run: test_examples.py checks this file with mypy --strict.

Each call below that must be rejected carries `# type: ignore[<code>]`. Under --strict an
ignore that suppresses nothing is itself an error, so a clean run shows both that the
correct calls pass and that every wrong one is reported with the expected code.
"""
from typing import TYPE_CHECKING

from typing_extensions import assert_type

import quillnet
from quillnet import CoreGraph

if TYPE_CHECKING:
    from quillnet import OpEntry


class Index:
    """Any object with __index__ is an id."""

    def __index__(self) -> int:
        return 0


g = CoreGraph()
root = g.add_value_with_payload(1, 2)
op = g.add_op_with_payload(op_id=Index())
g.connect_value_to_op(val=root, op=op)
g.connect_op_to_value(op, g.add_value_with_payload(3, 2))
g.set_root(True)  # bool is an int

# ---- precise results ----
assert_type(g.get_root(), int)
assert_type(g.get_parent(op), int | None)
assert_type(g.get_op_id(op), int | None)
assert_type(g.get_value_payload(root), tuple[int, int] | None)
assert_type(g.is_value_node(root), bool)
assert_type(g.get_children(Index()), list[int])
assert_type(g.neighbors(id=root), list[int])
assert_type(g.walk(root, below=False), list[int])
assert_type(g.walk_from_root(above=True, below=True), list[int])
assert_type(g.connections(), list[tuple[int, int]])
assert_type(g.connection_hash(), int)
assert_type(g.traces(root, me_too=True, op_nodes=False, val_nodes=True, above=True, below=False), list[list[int]])
assert_type(g.is_below(root, (op,)), bool)
assert_type(g.is_below(root, range(3), include_self=False, skip=[op]), bool)
assert_type(g.cross_sections(root, [root]), list[tuple[list[int], int]])
assert_type(g.clone_subgraph(), tuple[CoreGraph, dict[int, int]])
assert_type(g.clone_and_attach(g, root_leaf_id=root), tuple[CoreGraph, list[int], list[int]])
assert_type(g.merge_value_nodes(root, root, True, False), None)
assert_type(quillnet.glue_leaves(g, [root], [], False), list[CoreGraph])
assert_type(quillnet.glue_leaves(g, [root], [], trees_only=False, max_leaves=Index()), list[CoreGraph])
assert_type(quillnet.glue_leaves(g, [root], [], False, max_leaves=None), list[CoreGraph])
assert_type(quillnet.condition_combinations([[[0], [1]], [[0]]], [0, 2]), list[list[int]])
assert_type(quillnet.condition_combinations(((range(2),),), ()), list[list[int]])

payload = g.get_value_payload(root)
if payload is not None:
    val_id, type_id = payload
copy, corr = g.clone_subgraph()
new_root: int = corr[root]

# ---- op_snapshot in the shapes user code writes ----
snapshot = {7: {"conditions": [[0], [1, 2]], "has_callable": False, "cumulative": False}}
assert_type(quillnet.get_conditions(g, root, snapshot, False), list[list[int]])
assert_type(quillnet.tree_conditions(g, op, snapshot, adopt_for_callable=True), list[list[int]])
assert_type(quillnet.update_callable_conditions(g, op, snapshot), list[list[int]])
quillnet.get_conditions(g, root, {7: {"conditions": [], "has_callable": True, "cumulative": False}}, False)
built = {}
built[7] = {"conditions": ((0,), (1,)), "has_callable": False, "cumulative": True}
quillnet.get_conditions(g, root, built, False)
comprehension = {i: {"conditions": [[0]], "has_callable": False, "cumulative": False} for i in range(3)}
quillnet.get_conditions(g, root, comprehension, False)
typed: "dict[int, OpEntry]" = {7: {"conditions": [[0]], "has_callable": False, "cumulative": False}}
typed[8] = {"conditions": [], "has_callable": True, "cumulative": True}
quillnet.tree_conditions(g, op, typed, False)


class Snapshot(dict[int, dict[str, object]]):
    pass


quillnet.update_callable_conditions(g, op, Snapshot(snapshot))

# ---- wrong calls are reported ----
g.get_children("0")  # type: ignore[arg-type]
g.get_children(1.0)  # type: ignore[arg-type]
g.walk(0, 1)  # type: ignore[arg-type]
g.walk(0, above=None)  # type: ignore[arg-type]
g.walk(0, abovee=True)  # type: ignore[call-arg]
g.walk()  # type: ignore[call-arg]
g.leaves(0)  # type: ignore[call-arg]
g.is_below(0, "01")  # type: ignore[arg-type]
g.is_below(0, {1, 2})  # type: ignore[arg-type]
g.cross_sections(0, (x for x in range(3)))  # type: ignore[arg-type]
g.clone_and_attach(5, 0)  # type: ignore[arg-type]
quillnet.glue_leaves(g, [0], [0], 0)  # type: ignore[arg-type]
quillnet.glue_leaves(g, [0], [0], False, max_leaves="1")  # type: ignore[arg-type]
quillnet.condition_combinations("ab", [])  # type: ignore[arg-type]
quillnet.get_conditions(g, 0, [(7, snapshot[7])], False)  # type: ignore[arg-type]
quillnet.get_conditions(g, 0, {"7": snapshot[7]}, False)  # type: ignore[arg-type]
quillnet.get_conditions(g, 0, {7: [[0], [1]]}, False)  # type: ignore[arg-type]
quillnet.get_conditions(g, 0, {7: {0: 1}}, False)  # type: ignore[arg-type]
quillnet.tree_conditions(g, 0, snapshot)  # type: ignore[call-arg]
bad_typed: "dict[int, OpEntry]" = {7: {"conditions": "01", "has_callable": False, "cumulative": False}}  # type: ignore[typeddict-item]
name: str = g.num_nodes()  # type: ignore[assignment]
first = g.get_value_payload(0)[0]  # type: ignore[index]
hashes: list[str] = g.walk(0)  # type: ignore[assignment]
quillnet.PanicException  # type: ignore[attr-defined]
g.no_such_method()  # type: ignore[attr-defined]


class Derived(CoreGraph):  # type: ignore[misc]
    pass
