"""Awaitable calls on the queues: aget, aput, aget_many and ajoin.

Every take and every put happens in the event loop's thread, non-blocking,
between two awaits: a coroutine cancelled at its await has taken nothing and
put nothing, so cancelling never loses nor duplicates a message. Only the
waiting is done elsewhere, and it takes nothing: before trying, the call
reads the sequence of the wake word that the operation it waits for bumps
(a put, for a get; a get, for a put; the last task_done, for join); when the
try finds nothing, a helper thread sleeps until that sequence moves
(RingWatch.wait), and the coroutine tries again. A sleeping helper is a
thread blocked in the kernel: idle awaits cost nothing but one wake-up per
waiter every 100 ms (the wait's slice). Helpers are pooled and reused.

The methods are attached to the queue classes when veskline is imported.
"""

import asyncio
import os
import queue
import threading
import time

from ._native import RingWatch, WaitToken
from ._queues import BytesQueue, JoinableQueue, Queue

__all__ = []

_DATA, _SPACE, _TASKS = 0, 1, 2
_IDLE_SECONDS = 30.0


class _Helpers:
    """Threads that run waits; an idle one waits for work on a lock (no
    spinning) and ends after _IDLE_SECONDS without any."""

    def __init__(self):
        self._lock = threading.Lock()
        self._idle = []

    def run(self, job):
        with self._lock:
            if self._idle:
                self._idle.pop().put(job)
                return
        threading.Thread(target=self._serve, args=(job,), name="veskline-aio-wait",
                         daemon=True).start()

    def _serve(self, job):
        slot = queue.SimpleQueue()
        while True:
            job()
            job = None
            with self._lock:
                self._idle.append(slot)
            try:
                job = slot.get(timeout=_IDLE_SECONDS)
            except queue.Empty:
                with self._lock:
                    if slot in self._idle:
                        self._idle.remove(slot)
                        return
                job = slot.get()  # handed a job just as the wait ended

    def _after_fork(self):
        self._lock = threading.Lock()
        self._idle = []


_helpers = _Helpers()
os.register_at_fork(after_in_child=_helpers._after_fork)


def _watch(q):
    watch = q.__dict__.get("_aio_watch")
    if watch is None:
        watch = RingWatch(q.name, WaitToken)
        q._aio_watch = watch
    return watch


def _deliver(future, outcome):
    if not future.done():
        future.set_result(outcome)


async def _moved(watch, which, seen, timeout):
    """Waits until the word moves from `seen`; False when the timeout passed."""
    loop = asyncio.get_running_loop()
    future = loop.create_future()
    token = WaitToken()

    def job():
        try:
            outcome = watch.wait(which, seen, timeout, token)
        except BaseException as error:  # reported to the awaiting coroutine
            outcome = error
        try:
            loop.call_soon_threadsafe(_deliver, future, outcome)
        except RuntimeError:
            pass  # the loop is closed: nobody waits any more

    _helpers.run(job)
    try:
        outcome = await future
    finally:
        token.cancel()  # a cancelled await: the helper stops, having taken nothing
    if isinstance(outcome, BaseException):
        raise outcome
    return outcome != 1


def _remaining(deadline):
    if deadline is None:
        return None
    return max(0.0, deadline - time.monotonic())


def _deadline(timeout):
    if timeout is None:
        return None
    if timeout < 0:
        raise ValueError("'timeout' must be a non-negative number")
    return time.monotonic() + timeout


async def _retry(q, which, attempt, failure, timeout):
    deadline = _deadline(timeout)
    watch = _watch(q)
    while True:
        seen = watch.sequence(which)
        try:
            return attempt()
        except failure:
            pass
        if not await _moved(watch, which, seen, _remaining(deadline)):
            return attempt()  # one last try at the deadline; raises `failure`


async def aget(self, timeout=None):
    """Awaitable get(): the next message, waiting up to `timeout` seconds
    (None: for ever), then queue.Empty. Cancelling it takes nothing."""
    return await _retry(self, _DATA, lambda: self.get(False), queue.Empty, timeout)


async def aget_many(self, timeout=None, max_messages=None, max_bytes=None):
    """Awaitable get_many(): at least one message, as get_many()."""
    return await _retry(self, _DATA, lambda: self.get_many(False, None, max_messages, max_bytes),
                        queue.Empty, timeout)


async def aput(self, obj, timeout=None):
    """Awaitable put(): waits for room up to `timeout` seconds, then
    queue.Full. Cancelling it puts nothing."""
    return await _retry(self, _SPACE, lambda: self.put(obj, False), queue.Full, timeout)


async def ajoin(self):
    """Awaitable join(): until every task put has been marked done."""
    watch = _watch(self)
    while True:
        seen = watch.sequence(_TASKS)
        if self._ring.stats()[2] == 0:
            return
        await _moved(watch, _TASKS, seen, None)


for _cls in (Queue, BytesQueue):
    _cls.aget = aget
    _cls.aget_many = aget_many
    _cls.aput = aput
JoinableQueue.ajoin = ajoin
