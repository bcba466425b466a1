"""veskline: multiprocessing-style queues and locks over shared-memory rings."""

from .lock import Lock
