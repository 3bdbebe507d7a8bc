"""Helpers the tests share that are not graphs: expected messages, an integer-like
argument, and the time and memory bounds that turn a hanging or runaway native call into
a failed test."""
import contextlib
import faulthandler
import os
import time

import pytest

NO_ROOT = "Cannot clone_subgraph: Graph has no valid root_id set"

# The blocks that wait for an interruption run under a tighter bound than a whole test.
INTERRUPT_TIME_LIMIT = 20.0


def oob(length, index):
    return f"index out of bounds: the len is {length} but the index is {index}"


class Index:
    """An integer-like argument; its __index__ may run a hook first."""

    def __init__(self, value, hook=None):
        self.value = value
        self.hook = hook

    def __index__(self):
        if self.hook:
            self.hook()
        return self.value


# A native call that holds the interpreter lock cannot be stopped from Python, so when a
# bound passes faulthandler's watchdog thread prints every thread's stack (which names the
# test) and ends the process with status 1.
_deadlines = []
_stderr_fd = None


def keep_stderr():
    """Takes a copy of the real standard error for the stack dumps.  Output capturing
    redirects file descriptor 2 while a test runs, so this is called while capturing is
    suspended (at pytest's start-up)."""
    global _stderr_fd
    if _stderr_fd is None:
        _stderr_fd = os.dup(2)


def _arm(deadline):
    remaining = max(deadline - time.monotonic(), 0.001)
    faulthandler.dump_traceback_later(remaining, exit=True, file=_stderr_fd if _stderr_fd is not None else 2)


@contextlib.contextmanager
def hard_time_limit(seconds):
    """Ends the whole test process (with every thread's stack on standard error) if the
    block is still running after `seconds`.  Nested limits keep the earliest deadline."""
    deadline = time.monotonic() + seconds
    if _deadlines:
        deadline = min(deadline, _deadlines[-1])
    _deadlines.append(deadline)
    _arm(deadline)
    try:
        yield
    finally:
        _deadlines.pop()
        if _deadlines:
            _arm(_deadlines[-1])
        else:
            faulthandler.cancel_dump_traceback_later()


@contextlib.contextmanager
def bounded_memory(headroom=2 << 30):
    """Lowers the address-space limit to `headroom` bytes above what the process maps now,
    so that a search which runs away (say, under a cancellation hook that never fires)
    ends in MemoryError instead of taking the machine's memory.  Not under the sanitizer
    build, which cannot run under such a limit (its CI lane sets QUILLNET_SANITIZED=1)."""
    try:
        import resource
    except ImportError:
        resource = None
    if resource is None or os.environ.get("QUILLNET_SANITIZED") == "1" or not os.path.exists("/proc/self/statm"):
        yield
        return
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    with open("/proc/self/statm") as f:
        want = int(f.read().split()[0]) * resource.getpagesize() + headroom
    if hard != resource.RLIM_INFINITY:
        want = min(want, hard)
    if soft != resource.RLIM_INFINITY and soft <= want:
        yield  # already tighter
        return
    resource.setrlimit(resource.RLIMIT_AS, (want, hard))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))


@contextlib.contextmanager
def interrupted_after(seconds=0.2, limit=INTERRUPT_TIME_LIMIT):
    """Raises KeyboardInterrupt from a signal handler after `seconds`; the block must end
    with it, within `limit` seconds (see hard_time_limit).  The signal comes from a kernel
    timer, the way Ctrl-C reaches a long native call that holds the interpreter lock."""
    import signal
    import sys

    # The frame running the block.  A poll inside a call made there runs the handler with
    # that frame (or a helper it called) current; once the call has ended without
    # answering, the handler runs in the exit code of the blocks below instead, and then
    # leaves the call's own outcome (an error, or no KeyboardInterrupt) to fail the test.
    block = sys._getframe(1)
    while block.f_code.co_filename == contextlib.__file__:
        block = block.f_back
    import _pytest

    exit_code = (contextlib.__file__, os.path.dirname(_pytest.__file__) + os.sep, __file__)

    def on_alarm(signum, frame):
        f = frame
        while f is not None and f is not block:
            if f.f_code.co_filename.startswith(exit_code):
                return
            f = f.f_back
        if f is block:
            raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, on_alarm)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        with hard_time_limit(limit), bounded_memory(), pytest.raises(KeyboardInterrupt):
            yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
