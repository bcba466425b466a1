"""veskline.Lock: multiprocessing.Lock over a named robust lock in shared memory.

The lock survives its holder: when the process (or thread) holding it dies,
the next ``acquire`` takes it over, and says so through ``lock.recovered``
(and the ``on_recovered`` callback) instead of raising, so a ``with`` body is
never skipped::

    with lock:
        if lock.recovered:          # the last holder died inside its section
            repair(shared_state)    # make what it was changing whole again
        update(shared_state)

``recovered`` describes the current holder's acquisition: it is set by every
successful ``acquire`` and is only meaningful while the lock is held, which is
exactly when the body reads it (threads sharing one Lock object each see their
own acquisition's value, since only the holder reads it).

Differences from multiprocessing.Lock: ownership is per thread, so only the
thread that acquired it may release it (anything else raises RuntimeError);
a thread that blocks on a lock it already holds gets RuntimeError instead of
hanging for ever (with a timeout, it waits the timeout out and returns False,
as multiprocessing's does).
"""

from __future__ import annotations

import math
import os
import secrets
import time
import weakref
from typing import Callable

from . import _tracker
from ._native import LockHandle

__all__ = ["Lock"]

# Longer than any real wait, short enough for a 64-bit count of nanoseconds.
_FOREVER_NS = 1 << 62
_NOT_ACQUIRED, _ACQUIRED, _RECOVERED, _HELD_BY_CALLER = 0, 1, 2, 3


def _timeout_ns(timeout: float) -> int:
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        try:
            timeout = float(timeout)
        except (TypeError, ValueError):
            raise TypeError(f"timeout must be a number or None, not {type(timeout).__name__}") from None
    if math.isnan(timeout) or timeout < 0:
        raise ValueError("'timeout' must be a non-negative number")
    if timeout >= _FOREVER_NS / 1e9:
        return -1
    # Rounded up: a wait never ends before the time asked for.
    return math.ceil(timeout * 1e9)


def _remove_owned(name: str, owner_pid: int) -> None:
    # Runs from the owner's finalizer; a forked child's copy owns nothing.
    if os.getpid() != owner_pid:
        return
    try:
        os.unlink("/dev/shm/" + name.lstrip("/"))
    except FileNotFoundError:
        pass
    _tracker.unregister(name)


def _attach(name: str) -> "Lock":
    return Lock.attach(name)


class Lock:
    """A cross-process lock, a drop-in for ``multiprocessing.Lock()``.

    ``Lock()`` makes a lock under a fresh name that this process owns: it is
    removed when the lock is closed, collected, or this process ends, however
    it ends. ``Lock(name)`` opens the lock of that name, creating it if need
    be, and leaves its removal to the caller (``Lock.unlink(name)``). A Lock
    pickles to its name, and the unpickled copy attaches to the same lock (it
    never creates one: a removed name raises FileNotFoundError).
    """

    __slots__ = ("_handle", "_name", "_finalizer", "recovered", "on_recovered", "__weakref__")

    def __init__(self, name: str | None = None, *,
                 on_recovered: Callable[[Lock], object] | None = None) -> None:
        self.recovered = False
        self.on_recovered = on_recovered
        self._finalizer = None
        if name is None:
            name = f"vl_lock_{os.getpid()}_{secrets.token_hex(8)}"
            # Registered before it exists, so no moment leaves it unowned.
            _tracker.register(name)
            try:
                self._handle = LockHandle(name, False)
            except BaseException:
                _tracker.unregister(name)
                raise
            self._finalizer = weakref.finalize(self, _remove_owned, name, os.getpid())
        else:
            self._handle = LockHandle(name, False)
        self._name = name

    @classmethod
    def attach(cls, name: str, *,
               on_recovered: Callable[[Lock], object] | None = None) -> Lock:
        """The existing lock `name`; FileNotFoundError if there is none."""
        self = cls.__new__(cls)
        self.recovered = False
        self.on_recovered = on_recovered
        self._finalizer = None
        self._handle = LockHandle(name, True)
        self._name = name
        return self

    @property
    def name(self) -> str:
        return self._name

    def acquire(self, block: bool = True, timeout: float | None = None) -> bool:
        """Takes the lock; False if it could not within `timeout` (or at once, block=False)."""
        if not block:
            outcome = self._handle.try_acquire()
        elif timeout is None:
            outcome = self._handle.acquire(-1)
            if outcome == _HELD_BY_CALLER:
                raise RuntimeError(f"the calling thread already holds lock '{self._name}': "
                                   "waiting for it would never end")
        else:
            ns = _timeout_ns(timeout)
            outcome = self._handle.acquire(ns)
            if outcome == _HELD_BY_CALLER:
                # Nobody else can release it for us: the wait can only time out.
                time.sleep(ns / 1e9 if ns >= 0 else _FOREVER_NS / 1e9)
                return False
        if outcome == _NOT_ACQUIRED or outcome == _HELD_BY_CALLER:
            return False
        self.recovered = outcome == _RECOVERED
        if self.recovered and self.on_recovered is not None:
            try:
                self.on_recovered(self)
            except BaseException:
                # Not left held by a caller that will never reach release().
                self._handle.release()
                raise
        return True

    def release(self) -> None:
        """Releases the lock, which the calling thread must hold."""
        self._handle.release()

    def locked(self) -> bool:
        """Whether some thread of some process holds the lock now."""
        return self._handle.locked()

    def __enter__(self) -> bool:
        return self.acquire()

    def __exit__(self, *exc_info: object) -> None:
        self.release()

    def close(self) -> None:
        """The owner removes the name now (handles already open keep working)."""
        if self._finalizer is not None:
            self._finalizer()

    @staticmethod
    def unlink(name: str) -> None:
        """Removes the lock `name`; processes that have it open keep using it."""
        os.unlink("/dev/shm/" + name.lstrip("/"))

    def __reduce__(self):
        return _attach, (self._name,)

    def __repr__(self) -> str:
        owner = ", owner" if self._finalizer is not None and self._finalizer.alive else ""
        return f"<veskline.Lock name={self._name!r}{owner}>"
