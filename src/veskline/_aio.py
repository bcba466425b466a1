"""Awaitable calls on the queues: aget, aput, aget_many and ajoin.

Every take and every put happens in the event loop's thread, non-blocking,
between two awaits: a coroutine cancelled at its await has taken nothing and
put nothing, so cancelling never loses nor duplicates a message. Only the
waiting is done elsewhere, and it takes nothing: before trying, the call
reads the sequence of the wake word that the operation it waits for bumps
(a put, for a get; a get, for a put; the last task_done, for join); when the
try finds nothing, the coroutine waits on the queue's watcher for that
word: one helper thread, shared by every coroutine of this process waiting
on that word, sleeps until the sequence moves (RingWatch.wait) and wakes the
coroutines whose reading is out of date, which try again. A sleeping helper
is a thread blocked in the kernel: idle awaits cost one wake-up of it every
100 ms (the wait's slice), however many coroutines wait. Helpers are pooled
and reused.

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
        if isinstance(outcome, BaseException):
            future.set_exception(outcome)
        else:
            future.set_result(outcome)


class _Watcher:
    """Every coroutine awaiting one word of one queue in this process shares
    one helper wait: it sleeps while the word's sequence is the one the
    waiters read and, when it moves, wakes each waiter whose value is now
    out of date. Idle awaits then cost one sleeping thread per queue and
    word, however many coroutines wait."""

    def __init__(self, watch, which):
        self._watch = watch
        self._which = which
        self._lock = threading.Lock()
        self._waiting = {}  # future -> (loop, sequence it read)
        self._token = None  # of the wait running, if any
        self._running = False
        self._pid = os.getpid()

    def add(self, loop, future, seen):
        with self._lock:
            self._waiting[future] = (loop, seen)
            if not self._running:
                self._running = True
                _helpers.run(self._serve)

    def remove(self, future):
        with self._lock:
            self._waiting.pop(future, None)
            if not self._waiting and self._token is not None:
                self._token.cancel()  # nobody waits: the helper goes back to its pool

    def _serve(self):
        while True:
            with self._lock:
                if not self._waiting:
                    self._running = False
                    return
                seen = next(iter(self._waiting.values()))[1]
                token = self._token = WaitToken()
            try:
                self._watch.wait(self._which, seen, None, token)
                error = None
            except BaseException as exc:  # reported to every waiter
                error = exc
            with self._lock:
                self._token = None
                now = self._watch.sequence(self._which)
                done = [(future, loop) for future, (loop, read) in self._waiting.items()
                        if error is not None or read != now]
                for future, _ in done:
                    del self._waiting[future]
            for future, loop in done:
                try:
                    loop.call_soon_threadsafe(_deliver, future, error or True)
                except RuntimeError:
                    pass  # the loop is closed: nobody waits any more


def _watcher(q, which):
    watchers = q.__dict__.get("_aio_watchers")
    if watchers is None or watchers[which]._pid != os.getpid():
        watch = _watch(q)
        watchers = q._aio_watchers = [_Watcher(watch, w) for w in range(3)]
    return watchers[which]


async def _moved(q, which, seen, timeout):
    """Waits until the word moves from `seen`; False when the timeout passed.
    A cancelled or timed-out await leaves the shared wait at once."""
    loop = asyncio.get_running_loop()
    future = loop.create_future()
    watcher = _watcher(q, which)
    watcher.add(loop, future, seen)
    try:
        if timeout is None:
            await future
        else:
            await asyncio.wait_for(future, timeout)
    except TimeoutError:
        return False
    finally:
        watcher.remove(future)
    return True


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
        if not await _moved(q, which, seen, _remaining(deadline)):
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
        await _moved(self, _TASKS, seen, None)


for _cls in (Queue, BytesQueue):
    _cls.aget = aget
    _cls.aget_many = aget_many
    _cls.aput = aput
JoinableQueue.ajoin = ajoin
