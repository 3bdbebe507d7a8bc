"""Bipartite op/value graphs in native memory.

A ``CoreGraph`` holds two kinds of nodes. An *op node* carries an op id; a *value
node* carries a value id and a type id. Below a value node hang its *options* (the
op nodes that can produce it); below an op node hang its *children* (the value nodes
that it takes, in an order that matters). Going up, a value node has *parents* (the
ops that take it as a child) and an op node has one *parent* (the value node it is an
option of). A value node without options is a *leaf*; one node is the graph's *root*.
Node ids are dense ints handed out from 0 in creation order and never reused.

The module gives op, value and type ids no meaning of its own: it compares them,
hashes them, uses them as lookup keys and returns them.

Arguments
    * A node id, op id, value id, type id or count is an ``int`` or any object with
      ``__index__``. Node ids must lie in 0 to 2**64 - 1, the three payload ids in 0 to
      2**32 - 1; outside that range the call raises ``OverflowError``.
    * A flag is exactly ``True`` or ``False``; numpy's boolean scalars are accepted as
      well. The ints 0 and 1, and ``None``, raise ``TypeError``.
    * An id list is any sequence (``list``, ``tuple``, ``range``, ...) of ids; a ``str``,
      a ``set``, a ``dict`` or a generator raises ``TypeError``.
    * Every parameter may be passed by position or by keyword.

Results are always new Python objects: copies of the stored lists, new tuples, new
``CoreGraph`` instances that share nothing with the graph they came from.

Exceptions
    * ``TypeError``: a wrong argument kind, with a message that starts with
      ``"argument '<name>': "``; also a missing, unknown or repeated argument.
    * ``OverflowError``: an integer outside the range of its kind.
    * ``RuntimeError``: ``"Already borrowed"`` / ``"Already mutably borrowed"`` when a
      graph is changed while another call on it is still running (for example from the
      ``__index__`` of one of its arguments).
    * ``PanicException``: an internal failure, such as a node id that names no node
      (``"index out of bounds: the len is 3 but the index is 7"``). It derives from
      ``BaseException``, not from ``Exception``, so ``except Exception`` does not catch
      it, and it is *not* an attribute of this module. Catch it like this::

          try:
              g.get_children(10**6)
          except BaseException as e:
              if type(e).__name__ != "PanicException":
                  raise
              print("failed:", e)

    * A failed call leaves every graph as it was.

Threads and Ctrl-C
    With the interpreter lock, every call holds it for its whole length and never
    releases it: a long search started in a worker thread stalls every other thread
    until it returns. On a free-threaded build the module runs without the lock, and
    calls in different threads run at once. On both, Ctrl-C cannot stop a call in a
    worker thread (only the main thread runs signal handlers).
    Run long searches (``traces``, ``is_below``, ``cross_sections``, ``glue_leaves`` and
    the condition functions) on the main thread: there they answer Ctrl-C with
    ``KeyboardInterrupt``, and any exception that a signal handler raises ends them the
    same way, so a ``signal.setitimer`` alarm can bound them in time.
"""

from collections.abc import Sequence
from typing import Any, SupportsIndex, TypedDict, final, type_check_only

__all__ = [
    "CoreGraph",
    "condition_combinations",
    "tree_conditions",
    "get_conditions",
    "update_callable_conditions",
    "glue_leaves",
]

@type_check_only
class OpEntry(TypedDict):
    """What the condition functions know about one op: an entry of ``op_snapshot``.

    This name exists for type checkers only; import it under ``typing.TYPE_CHECKING``::

        from typing import TYPE_CHECKING
        if TYPE_CHECKING:
            from quillnet import OpEntry

        snapshot: dict[int, "OpEntry"] = {}

    Keys:
        conditions: The op's conditions. Each condition is a list of child positions:
            0-based indices into the op node's ``children``. An op selects the children
            that one of its conditions names.
        has_callable: The op takes a callable as its first child; the callable's own
            entry is looked up under the ``val_id`` of that child.
        cumulative: The op keeps its own conditions even when it takes a callable.

    Further keys in an entry are ignored.
    """

    conditions: Sequence[Sequence[SupportsIndex]]
    has_callable: bool
    cumulative: bool

@final
class CoreGraph:
    """A bipartite graph of op and value nodes, held in native memory.

    A new graph has no nodes and root 0. It cannot be subclassed, takes no extra
    attributes and compares by identity. Ids may be any object with ``__index__``;
    flags are ``bool`` (numpy's bool scalars are accepted at run time as well, but a
    type checker wants ``bool(flag)``). Methods that change the graph
    (``set_root``, the ``add_*`` and ``connect_*`` methods and ``merge_value_nodes``)
    need it to be free: calling one while another call on the same graph is running
    raises ``RuntimeError("Already borrowed")``.
    """

    def __init__(self) -> None:
        """Creates an empty graph: no nodes, root 0."""

    # ---- construction ----

    def set_root(self, node_id: SupportsIndex) -> None:
        """Stores the root id.

        The id is not checked: an id that names no node is stored as it is, and each
        operation that starts at the root decides what to do with it.

        Args:
            node_id: The new root.
        """

    def get_root(self) -> int:
        """Returns the stored root id (0 in a new graph), even if it names no node."""

    def add_value_with_payload(self, val_id: SupportsIndex, type_id: SupportsIndex) -> int:
        """Adds a value node and returns its id (the node count before the call).

        Args:
            val_id: The value id, 0 to 2**32 - 1.
            type_id: The type id, 0 to 2**32 - 1. Value nodes of one type id are
                partners in ``same_spec`` and ``glue_leaves``.

        Raises:
            OverflowError: An id outside 0 to 2**32 - 1.
        """

    def add_op_with_payload(self, op_id: SupportsIndex) -> int:
        """Adds an op node and returns its id (the node count before the call).

        Args:
            op_id: The op id, 0 to 2**32 - 1; the key of the op in ``op_snapshot``.

        Raises:
            OverflowError: An id outside 0 to 2**32 - 1.
        """

    def connect_value_to_op(self, val: SupportsIndex, op: SupportsIndex) -> None:
        """Hangs ``op`` below ``val``: appends ``op`` to the options of ``val`` and sets
        the parent of ``op`` to ``val``, replacing any earlier parent.

        Nothing checks the node kinds or looks for an existing equal edge: connecting
        twice lists ``op`` twice.

        Args:
            val: The value node above.
            op: The op node below.

        Raises:
            PanicException: ``val`` or ``op`` names no node; the graph is unchanged.
        """

    def connect_op_to_value(self, op: SupportsIndex, val: SupportsIndex) -> None:
        """Hangs ``val`` below ``op`` as its next child: appends ``val`` to the children
        of ``op`` and ``op`` to the parents of ``val``.

        The order of these calls fixes the child positions that conditions refer to.

        Args:
            op: The op node above.
            val: The value node below.

        Raises:
            PanicException: ``op`` or ``val`` names no node; the graph is unchanged.
        """

    # ---- per-node queries ----

    def get_children(self, node_id: SupportsIndex) -> list[int]:
        """Returns a copy of the node's children, in order, repeats kept (empty for a
        value node).

        Args:
            node_id: The node to read.

        Raises:
            PanicException: ``node_id`` names no node.
        """

    def get_parents(self, node_id: SupportsIndex) -> list[int]:
        """Returns a copy of the node's parents: the ops that take this value as a
        child, one entry per connection (empty for an op node).

        Args:
            node_id: The node to read.

        Raises:
            PanicException: ``node_id`` names no node.
        """

    def get_options(self, node_id: SupportsIndex) -> list[int]:
        """Returns a copy of the node's options: the ops hung below this value, one
        entry per connection (empty for an op node).

        Args:
            node_id: The node to read.

        Raises:
            PanicException: ``node_id`` names no node.
        """

    def neighbors(self, id: SupportsIndex) -> list[int]:
        """Returns the node's options, then its parents, then its parent (if set), then
        its children, each in stored order, repeats kept.

        Args:
            id: The node to read.

        Raises:
            PanicException: ``id`` names no node.
        """

    def leaves(self) -> list[int]:
        """Returns the leaves below the root, in walk order.

        A leaf is a value node without options, reached from the root by going down
        (options, then children); a leaf reached along several paths is listed once.
        Returns ``[]`` when the graph is empty or the root names no node.
        """

    def get_parent(self, node_id: SupportsIndex) -> int | None:
        """Returns the value node that this op node is an option of, or ``None``
        (always ``None`` for a value node).

        Args:
            node_id: The node to read.

        Raises:
            PanicException: ``node_id`` names no node.
        """

    def is_value_node(self, node_id: SupportsIndex) -> bool:
        """Returns ``True`` for a value node, ``False`` for an op node.

        Args:
            node_id: The node to read.

        Raises:
            PanicException: ``node_id`` names no node.
        """

    def get_value_payload(self, node_id: SupportsIndex) -> tuple[int, int] | None:
        """Returns ``(val_id, type_id)`` of a value node, ``None`` for an op node.

        Args:
            node_id: The node to read.

        Raises:
            PanicException: ``node_id`` names no node.
        """

    def get_op_id(self, node_id: SupportsIndex) -> int | None:
        """Returns the op id of an op node, ``None`` for a value node.

        Args:
            node_id: The node to read.

        Raises:
            PanicException: ``node_id`` names no node.
        """

    def num_nodes(self) -> int:
        """Returns the number of nodes; the ids are 0 to ``num_nodes() - 1``."""

    def nodes(self, val_nodes: bool, op_nodes: bool) -> list[int]:
        """Returns the ids of the nodes of the chosen kinds, ascending.

        Args:
            val_nodes: Include value nodes.
            op_nodes: Include op nodes.
        """

    # ---- walks ----

    def walk_from_root(self, above: bool, below: bool) -> list[int]:
        """Runs ``walk`` from the root with the given directions.

        Args:
            above: Follow upward links (a value's parents, an op's parent).
            below: Follow downward links (a value's options, an op's children).

        Raises:
            ValueError: "Graph has no valid root_id set" (an empty graph, or a root that
                names no node).
        """

    def walk(self, start_id: SupportsIndex, above: bool = True, below: bool = True) -> list[int]:
        """Lists every node reachable from ``start_id``, each once, in depth-first
        pre-order: the canonical order of the module.

        From a value node the walk goes first into its parents (in order), then into
        its options; from an op node first into its children (in order), then to its
        parent. ``start_id`` is always the first entry. The walk is iterative, so deep
        graphs need no recursion limit.

        Args:
            start_id: The node to start from.
            above: Follow upward links (a value's parents, an op's parent).
            below: Follow downward links (a value's options, an op's children).

        Raises:
            PanicException: ``start_id`` names no node.
        """

    # ---- copies ----

    def clone_subgraph(self) -> tuple[CoreGraph, dict[int, int]]:
        """Copies the part of the graph connected to the root, renumbered densely.

        The copy holds every node that the root reaches through any of the four links
        (up or down), numbered in depth-first discovery order; its root is 0. Nodes not
        connected to the root are left out.

        Returns:
            ``(copy, corr)``: the new graph, and a dict from each copied old id to its
            new id. The dict's key order is unspecified.

        Raises:
            PanicException: "Cannot clone_subgraph: Graph has no valid root_id set".
        """

    def clone_and_attach(self, elem: CoreGraph, root_leaf_id: SupportsIndex) -> tuple[CoreGraph, list[int], list[int]]:
        """Builds a new graph in which a copy of ``elem`` hangs below a copy of the node
        ``root_leaf_id`` of this graph; neither input changes.

        The root of ``elem`` is not copied: its options become further options of the
        node ``root_leaf_id`` (after any it already has), and everything below them
        comes along. ``elem`` may be this graph itself.

        Args:
            elem: The graph to attach.
            root_leaf_id: The node of this graph that takes the place of ``elem``'s
                root, normally one of its leaves.

        Returns:
            ``(graph, attached, remaining)``, ids in the new graph: ``attached`` lists
            the attached nodes without children and options (the new leaves),
            ``remaining`` this graph's other leaves, in ``leaves()`` order.

        Raises:
            PanicException: "no entry found for key" when ``root_leaf_id`` is not
                connected to the root; "Cannot clone_subgraph: Graph has no valid
                root_id set" when either graph has no valid root.
        """

    # ---- hashing, comparison, merging ----

    def merge_value_nodes(self, keep: SupportsIndex, other: SupportsIndex, upper: bool, lower: bool) -> None:
        """Folds value node ``other`` into ``keep``, in place.

        With ``upper``, the parents of ``other`` move to ``keep`` (ops that ``keep``
        already has are not added twice) and each of those ops takes ``keep`` as a
        child wherever it had ``other``. With ``lower``, the options of ``other`` move
        to ``keep`` and their parent becomes ``keep``. ``other`` stays in the graph
        without the moved links. ``keep == other`` does nothing.

        Args:
            keep: The value node that stays.
            other: The value node folded into ``keep``.
            upper: Move the parents.
            lower: Move the options.

        Raises:
            PanicException: ``other`` or ``keep`` names no node; the graph is
                unchanged.
        """

    def connection_hash(self) -> int:
        """Returns a 64-bit hash of the shape of the root's component.

        The hash covers ``connections()``, so it ignores node numbering and payloads
        but not the order of the stored lists. It is the same in every process.

        Raises:
            PanicException: The graph is empty or the root names no node.
        """

    def connections(self) -> list[tuple[int, int]]:
        """Returns the links of the root's component as pairs of walk positions.

        Nodes are numbered by their position in ``walk_from_root(True, True)`` (root
        0). For each walked node in that order and each entry of its ``neighbors`` that
        was walked, the list holds ``(position of the node, position of the
        neighbour)``, so every link appears once from each end.

        Raises:
            PanicException: The graph is empty or the root names no node.
        """

    def equality_hash(self) -> int:
        """Returns a 64-bit hash of the root's component, payloads included.

        Like ``connection_hash``, but it also covers the op id or value id of every
        walked node (not the type ids). It is the same in every process.

        Raises:
            PanicException: The graph is empty or the root names no node.
        """

    def same_spec(self, a: SupportsIndex, b: SupportsIndex) -> bool:
        """Returns ``True`` when ``a`` and ``b`` are both value nodes with equal type
        ids; value ids are not compared. Op nodes never match.

        Args:
            a: The first node.
            b: The second node.

        Raises:
            PanicException: ``a`` or ``b`` names no node.
        """

    # ---- traces, reachability, cross sections ----

    def traces(
        self,
        start_id: SupportsIndex,
        me_too: bool = True,
        op_nodes: bool = True,
        val_nodes: bool = True,
        above: bool = True,
        below: bool = False,
    ) -> list[list[int]]:
        """Lists every path from ``start_id`` that follows the enabled directions until
        no enabled link leads on, in depth-first order.

        A path never visits a node twice; a branch that only runs into nodes already on
        the path records nothing. The number of paths can grow exponentially with the
        number of joins; the search answers Ctrl-C on the main thread.

        Args:
            start_id: The node to start from.
            me_too: Record nodes at all; with ``False`` every path is ``[]``.
            op_nodes: Record op nodes.
            val_nodes: Record value nodes.
            above: Follow upward links (a value's parents, an op's parent).
            below: Follow downward links (a value's options, an op's children).

        Returns:
            One list of the recorded node ids per path, ``start_id`` first when it is
            recorded.

        Raises:
            PanicException: ``start_id`` names no node.
        """

    def is_below(
        self,
        start_id: SupportsIndex,
        nodes: Sequence[SupportsIndex],
        include_self: bool = True,
        skip: Sequence[SupportsIndex] = ...,
    ) -> bool:
        """Tells whether some node of ``nodes`` lies on an upward path from
        ``start_id``.

        Climbs from ``start_id`` through a value's parents and an op's parent. Op nodes
        of ``nodes`` always count; value nodes (the start included) count only with
        ``include_self``. A node in ``skip`` is neither matched nor climbed through.
        Work can grow exponentially with the number of joins; the search answers
        Ctrl-C on the main thread.

        Args:
            start_id: The node to climb from.
            nodes: The nodes to look for.
            include_self: Let value nodes of ``nodes`` match.
            skip: Nodes that cut the climb; empty when left out.

        Raises:
            PanicException: A node met on the climb names no node (ids in ``nodes``
                and ``skip`` are never checked).
        """

    def cross_sections(self, target_leaf: SupportsIndex, leaves: Sequence[SupportsIndex]) -> list[tuple[list[int], int]]:
        """Lists the cross sections of ``target_leaf`` with their heights.

        Every way of choosing one value node on each upward path of ``target_leaf``
        (as ``traces(target_leaf, op_nodes=False)`` gives them) yields a cut: the
        chosen nodes that no other chosen node lies above on their own path, then each
        node of ``leaves`` that lies below none of the cut so far. Cuts with the same
        members are returned once. The number of choices is the product of the path
        lengths, so the search can grow exponentially; it answers Ctrl-C on the main
        thread.

        Args:
            target_leaf: The leaf whose upward paths are cut.
            leaves: Leaves that complete each cut when nothing in it covers them.

        Returns:
            ``(cut, height)`` pairs in the order found. ``height`` adds up, over the
            chosen nodes kept in the cut, how many value nodes lie above each on its
            path (0 when every kept node is a top); the leaves added from ``leaves``
            add nothing.

        Raises:
            PanicException: ``target_leaf``, or an id of ``leaves`` that is examined,
                names no node.
        """

# ---- condition analysis ----

def condition_combinations(
    conditions_by_child: Sequence[Sequence[Sequence[SupportsIndex]]],
    offset_list: Sequence[SupportsIndex],
) -> list[list[int]]:
    """Combines one list of conditions per child into the conditions of the whole.

    Every way of picking one condition from each child, in odometer order (the last
    child varies fastest), gives one result: the picked conditions, each shifted by its
    child's offset, concatenated in child order. Nothing is sorted or deduplicated. The
    number of results is the product of the list lengths; the search answers Ctrl-C on
    the main thread.

    Args:
        conditions_by_child: For each child, its list of conditions (lists of
            positions).
        offset_list: Empty: no shift. One entry: every child is shifted by it. Two or
            more: child ``i`` is shifted by ``offset_list[i]``, and children beyond the
            last offset are left out.

    Returns:
        The combined conditions. ``[[]]`` for no children; ``[]`` when a child has no
        conditions.

    Example:
        ``condition_combinations([[[0], [1]], [[0]]], [0, 2])`` is ``[[0, 2], [1, 2]]``.
    """

def tree_conditions(
    graph: CoreGraph,
    node_id: SupportsIndex,
    op_snapshot: dict[int, OpEntry] | dict[int, dict[str, Any]],
    adopt_for_callable: bool,
) -> list[list[int]]:
    """Returns the conditions of the tree below an op, as positions among the leaves
    that the tree reaches (every option and child followed, a leaf counted once per
    path).

    For each condition of the op, a child that the condition selects contributes all
    its leaf positions; any other child contributes the conditions of its first option,
    computed the same way. The per-child lists are combined as in
    ``condition_combinations``.

    Args:
        graph: The graph.
        node_id: The op node (a value leaf yields ``[[]]``, a value node with options
            and an op missing from ``op_snapshot`` yield ``[]``).
        op_snapshot: A ``dict`` (or ``dict`` subclass) from op id to an ``OpEntry``,
            that is a dict with the keys ``"conditions"`` (a list of lists of child
            positions), ``"has_callable"`` and ``"cumulative"`` (bools). A callable
            value's conditions are keyed by its value id.
        adopt_for_callable: At every op, use the conditions that
            ``update_callable_conditions`` gives instead of the op's own.

    Raises:
        KeyError: An entry lacks one of the three keys ("missing 'conditions'", ...).
        TypeError: An entry has a value of the wrong kind.
        PanicException: ``node_id`` names no node.
    """

def get_conditions(
    graph: CoreGraph,
    node_id: SupportsIndex,
    op_snapshot: dict[int, OpEntry] | dict[int, dict[str, Any]],
    adopt_for_callable: bool,
) -> list[list[int]]:
    """Returns the conditions of a value node as sets of its distinct leaves.

    Takes the first option of the node, computes its ``tree_conditions`` and turns each
    into the sorted indices of the selected leaves among the distinct leaves below the
    node (in order of first appearance). A condition that selects one occurrence of a
    leaf but not another is dropped; a condition that contains another is pruned.

    Args:
        graph: The graph.
        node_id: The value node.
        op_snapshot: A ``dict`` (or ``dict`` subclass) from op id to an ``OpEntry``,
            that is a dict with the keys ``"conditions"`` (a list of lists of child
            positions), ``"has_callable"`` and ``"cumulative"`` (bools).
        adopt_for_callable: Passed on to ``tree_conditions``.

    Returns:
        Strictly increasing lists of leaf indices, ordered by length, then
        lexicographically. ``[[]]`` for a node without options. When no condition
        remains, one condition that selects every leaf of the graph
        (``[[0, 1, ..., len(graph.leaves()) - 1]]``).

    Raises:
        KeyError: An entry lacks one of the three keys ("missing 'conditions'", ...).
        TypeError: An entry has a value of the wrong kind.
        PanicException: ``node_id`` names no node.
    """

def update_callable_conditions(
    graph: CoreGraph,
    node_id: SupportsIndex,
    op_snapshot: dict[int, OpEntry] | dict[int, dict[str, Any]],
) -> list[list[int]]:
    """Returns an op's conditions after adopting those of its callable.

    For an op whose entry has ``has_callable`` set and ``cumulative`` unset, and whose
    first child is a value node: the conditions of that child's entry (looked up by its
    value id), each moved up by one position and preceded by 0, the callable itself. If
    the callable has no entry, ``[]``. Any other op keeps its own conditions; a value
    node or an op without an entry yields ``[]``.

    Args:
        graph: The graph.
        node_id: The op node.
        op_snapshot: A ``dict`` (or ``dict`` subclass) from op id to an ``OpEntry``,
            that is a dict with the keys ``"conditions"`` (a list of lists of child
            positions), ``"has_callable"`` and ``"cumulative"`` (bools).

    Raises:
        KeyError: An entry lacks one of the three keys ("missing 'conditions'", ...).
        TypeError: An entry has a value of the wrong kind.
        PanicException: ``node_id`` names no node.
    """

# ---- leaf gluing ----

def glue_leaves(
    graph: CoreGraph,
    leaves: Sequence[SupportsIndex],
    candidates: Sequence[SupportsIndex],
    trees_only: bool,
    max_leaves: SupportsIndex | None = None,
) -> list[CoreGraph]:
    """Returns a copy of every distinct graph reached by gluing leaves onto partners of
    the same type; ``graph`` itself is not changed.

    Gluing a leaf onto a partner merges the leaf into it (``merge_value_nodes``): the
    ops that took the leaf take the partner instead. Each step of the depth-first
    search glues the first leaf of ``leaves`` that has a partner, once onto each of its
    partners: the later entries of ``leaves``, then ``candidates``, in that order.
    Leaves before it without a partner stay unglued. A graph is recorded, before the
    graphs below it, when its ``connection_hash`` is new. The number of branches grows
    with the product of the partner counts: bound it with ``max_leaves``, fewer
    candidates or ``trees_only``; the search answers Ctrl-C on the main thread.

    Args:
        graph: The graph to start from; its copy is the first result unless
            ``max_leaves`` is smaller than ``len(leaves)``.
        leaves: The leaves to glue, in order; each may be glued onto a later one.
        candidates: Further partners; each can take any number of leaves.
        trees_only: Glue nothing: return ``[copy of graph]`` (or ``[]`` when
            ``max_leaves`` rules it out).
        max_leaves: Record only graphs reached with at most this many leaves still
            to glue (the search still goes through the others). ``None``: no limit.

    Returns:
        New graphs, each a ``clone_subgraph`` copy (root 0, glued-away leaves gone), in
        the order found.

    Raises:
        PanicException: An id names no node, or a leaf or partner is not connected to
            the root when its turn comes (for example a leaf listed twice).
    """
