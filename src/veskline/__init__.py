"""veskline: multiprocessing-style queues and locks over shared-memory rings.

    from veskline import Queue          # instead of: from multiprocessing import Queue

Queue, JoinableQueue and SimpleQueue move picklable objects, BytesQueue moves
bytes; all are shared by name between processes, survive killed processes,
and raise the standard library's queue.Full and queue.Empty.
"""

from ._errors import ShutDown
from ._queues import (DEFAULT_CAPACITY, BytesQueue, Empty, Full, JoinableQueue, Queue,
                      SimpleQueue)

from .lock import Lock

__all__ = ["Queue", "JoinableQueue", "SimpleQueue", "BytesQueue", "ShutDown", "Full", "Empty",
           "DEFAULT_CAPACITY", "Lock"]

from ._executor import BrokenProcessPool, ProcessPoolExecutor

__all__ += ["ProcessPoolExecutor", "BrokenProcessPool"]
from . import _aio  # noqa: E402,F401  (adds aget, aput, aget_many, ajoin to the queues)
