"""The classes CPython's own queue tests run against, chosen by the environment.

VESKLINE_CPYTHON_SUBJECT=veskline (the default) puts veskline's classes under
test; =multiprocessing puts multiprocessing's own there, which proves the
harness itself (the suites pass against the classes they were written for).
A class veskline does not have yet makes the tests that need it skip, saying
so, rather than quietly testing something else.
"""

import multiprocessing
import os
import queue

KIND = os.environ.get("VESKLINE_CPYTHON_SUBJECT", "veskline")
if KIND not in ("veskline", "multiprocessing"):
    raise SystemExit(f"VESKLINE_CPYTHON_SUBJECT must be veskline or multiprocessing, not {KIND!r}")

Full, Empty = queue.Full, queue.Empty
ShutDown = getattr(queue, "ShutDown", None)

if KIND == "veskline":
    import veskline

    Queue = getattr(veskline, "Queue", None)
    JoinableQueue = getattr(veskline, "JoinableQueue", None)
    SimpleQueue = getattr(veskline, "SimpleQueue", None)
    Lock = veskline.Lock
    ShutDown = getattr(veskline, "ShutDown", ShutDown)
    HAS_SHUTDOWN = JoinableQueue is not None and hasattr(JoinableQueue, "shutdown")
else:
    Queue = multiprocessing.Queue
    JoinableQueue = multiprocessing.JoinableQueue
    # test_queue's SimpleQueue tests need qsize, put_nowait and get timeouts,
    # which multiprocessing.SimpleQueue lacks and its Queue has.
    SimpleQueue = multiprocessing.Queue
    Lock = multiprocessing.Lock
    HAS_SHUTDOWN = False


def missing(*names):
    """The reason to skip when one of the named classes is not there, or None."""
    absent = [n for n in names if globals()[n] is None]
    if absent:
        return f"{KIND} has no {', '.join(absent)} yet"
    return None
