"""What failures look like, and how to keep an exponential search in bounds.

Internal failures (a node id that names no node, for instance) raise PanicException.
It derives from BaseException, not Exception, and it is not an attribute of the
module: catch BaseException and look at the class name.
"""
import signal
from collections.abc import Callable
from types import FrameType

import quillnet

g = quillnet.CoreGraph()
root = g.add_value_with_payload(0, 0)

try:
    g.get_children(5)
except BaseException as e:
    if type(e).__name__ != "PanicException":
        raise
    print("PanicException:", e)

# Argument errors name the argument; a bool must be a real bool, not 0 or 1.
# (The type checker reports the first and last of these calls, hence the ignores.)
wrong_calls: list[Callable[[], object]] = [
    lambda: g.walk(0, 1),  # type: ignore[arg-type]
    lambda: g.get_parent(-1),
    lambda: g.is_below(0, "01"),  # type: ignore[arg-type]
]
for bad in wrong_calls:
    try:
        bad()
    except (TypeError, OverflowError) as e:
        print(type(e).__name__ + ":", e)

# walk_from_root on a graph without a valid root is a ValueError.
try:
    quillnet.CoreGraph().walk_from_root(True, True)
except ValueError as e:
    print("ValueError:", e)


# A graph cannot change while another call on it runs: here the argument's __index__
# tries to add a node while get_children holds the graph.
class Sneaky:
    def __index__(self) -> int:
        g.add_op_with_payload(1)
        return 0


try:
    g.get_children(Sneaky())
except RuntimeError as e:
    print("RuntimeError:", e, "- nodes:", g.num_nodes())


# A search with 2**40 upward paths: each value has two parent ops under the next one.
bottom = top = g.add_value_with_payload(1, 0)
for i in range(40):
    above = g.add_value_with_payload(i + 2, 0)
    for _ in range(2):
        op = g.add_op_with_payload(i)
        g.connect_value_to_op(above, op)
        g.connect_op_to_value(op, top)
    top = above


# Searches poll for signals on the main thread, so a timer can bound them: whatever
# the handler raises ends the search (Ctrl-C does the same with KeyboardInterrupt).
def on_alarm(signum: int, frame: FrameType | None) -> None:
    raise TimeoutError("search took too long")


# (Listing 2**40 paths would take days and more memory than there is; the search
# answers the timer within about a tenth of a second of its firing.)
previous = signal.signal(signal.SIGALRM, on_alarm)
signal.setitimer(signal.ITIMER_REAL, 0.2)
try:
    g.traces(bottom)
except TimeoutError as e:
    print("stopped by the 0.2 s timer:", e)
finally:
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)
