"""The exceptions of veskline's queues.

`ShutDown` is the standard library's `queue.ShutDown` where it exists (3.13),
so code that catches either catches both; on 3.12 it is defined here.
"""

import queue

try:
    ShutDown = queue.ShutDown
except AttributeError:  # Python 3.12
    class ShutDown(Exception):
        """Raised when put() or get() is called on a queue that was shut down."""

__all__ = ["ShutDown"]
