"""veskline.ProcessPoolExecutor: concurrent.futures over shared-memory rings.

Tasks and results travel through two veskline queues under fresh names owned
by the creating process (removed on shutdown, or by the tracker if it dies).
Workers compete for tasks (_executor_worker.py). In the parent:

  - submit() pickles the task once and puts it straight into the task ring
    from the calling thread, while the work already queued ahead of the
    workers is under a limit; past it, tasks wait in a local backlog, where
    cancel() and shutdown(cancel_futures=True) still reach them. The limit
    is in time: about _AHEAD_SECONDS of work per worker, from the task
    durations the workers report (max_workers + 1 tasks until the first
    report, as concurrent.futures keeps), so slow tasks stay cancellable and
    trivial ones flow in batches.
  - a reader thread takes results in batches (get_many), sets the futures
    outside the pool's lock, and tops the task ring up from the backlog;
  - a watcher thread waits on the workers' sentinels and a wake-up pipe (no
    polling). A worker that exits without first saying so (killed, crashed,
    exited in a task or while unpickling one) breaks the pool at once: every
    pending future and every later submit() raise BrokenProcessPool.

Workers start on demand, as concurrent.futures does for spawn and forkserver
(all at once under fork, before any thread of ours exists). The default
start method is forkserver where available, else spawn; spawn when
max_tasks_per_child is given, as concurrent.futures does.
"""

import collections
import functools
import itertools
import multiprocessing
import multiprocessing.connection
import os
import queue
import signal
import threading
import weakref
from concurrent.futures import _base
from concurrent.futures import process as _cf_process

from . import _executor_worker
from ._queues import Queue

__all__ = ["ProcessPoolExecutor", "BrokenProcessPool"]

# Work queued ahead of the workers, in seconds of expected work per worker,
# and at most this many tasks per worker.
_AHEAD_SECONDS = 0.002
_AHEAD_MAX_PER_WORKER = 256
# A worker that exits with status 0 has sent its notice first; how long the
# watcher waits for the reader to take it before calling the exit a crash.
_NOTICE_GRACE = 2.0
_TASK_CAPACITY = 8 * 1024 * 1024
_RESULT_CAPACITY = 8 * 1024 * 1024


class BrokenProcessPool(_cf_process.BrokenProcessPool):
    """A worker of a veskline.ProcessPoolExecutor ended abruptly, or a result
    could not be read back: the pool is not usable any more."""


_global_shutdown = False
_live_pools = set()
_live_lock = threading.Lock()


def _python_exit():
    # Before the interpreter joins its threads: work already submitted is
    # finished, as concurrent.futures does, and no new work is accepted.
    global _global_shutdown
    _global_shutdown = True
    with _live_lock:
        pools = list(_live_pools)
    for pool in pools:
        pool.begin_shutdown(False)
    for pool in pools:
        pool.wait_closed()


threading._register_atexit(_python_exit)


def _default_context(max_tasks_per_child):
    if max_tasks_per_child is None and "forkserver" in multiprocessing.get_all_start_methods():
        return multiprocessing.get_context("forkserver")
    return multiprocessing.get_context("spawn")


def _describe_exit(exitcode):
    if exitcode is not None and exitcode < 0:
        try:
            return f"killed by {signal.Signals(-exitcode).name}"
        except ValueError:
            return f"killed by signal {-exitcode}"
    return f"exit code {exitcode}"


class _Pool:
    """Everything the threads need; the executor object is only a front, so
    dropping it (without shutdown) lets the pool wind down by itself."""

    def __init__(self, max_workers, context, initializer, initargs, max_tasks):
        self.max_workers = max_workers
        self.context = context
        self.fork = context.get_start_method() == "fork"
        self.initializer = initializer
        self.initargs = initargs
        self.max_tasks = max_tasks
        self.lock = threading.Lock()
        self.exit_noticed = threading.Condition(self.lock)
        self.processes = {}     # pid -> Process: live workers
        self.leaving = {}       # pid -> Process: said they leave, not yet reaped
        self.noticed = set()    # pids whose exit notice the reader took
        self.pending = {}       # work_id -> Future: in the task ring or running
        self.backlog = collections.deque()  # (work_id, future, fn, args, kwargs)
        self.ids = itertools.count()
        self.ahead = max_workers + 1
        self.idle = 0           # results taken and not yet matched by a submit
        self.task_seconds = None
        self.broken = False
        self.shutting_down = False
        self.stop_sent = False
        self.started = False
        self.dropped = False
        self.closed = threading.Event()
        self.tasks = self.results = None
        self.reader = self.watcher = None
        self.wake_r = self.wake_w = None

    # --- starting -------------------------------------------------------------

    def start(self):
        """Called with the lock held, at the first submit."""
        self.started = True
        self.tasks = Queue(capacity=_TASK_CAPACITY)
        self.results = Queue(capacity=_RESULT_CAPACITY)
        self.wake_r, self.wake_w = os.pipe()
        os.set_blocking(self.wake_w, False)
        with _live_lock:
            _live_pools.add(self)
        if self.fork:
            # Forking from a process with threads is unsafe: every worker
            # starts now, before ours do.
            for _ in range(self.max_workers):
                self.spawn()
        self.watcher = threading.Thread(target=self.watch, name="veskline-executor-watcher",
                                        daemon=True)
        self.reader = threading.Thread(target=self.read, name="veskline-executor-reader",
                                       daemon=True)
        for thread in (self.watcher, self.reader):
            try:
                thread.start()
            except RuntimeError as error:
                self.break_locked(f"cannot start the pool's threads: {error}", error)
                raise BrokenProcessPool(self.broken) from error

    def spawn(self):
        process = self.context.Process(
            target=_executor_worker.main,
            args=(self.tasks, self.results, self.initializer, self.initargs, self.max_tasks,
                  self.max_workers))
        process.start()
        self.processes[process.pid] = process
        self.wake()

    def adjust_workers(self):
        """Replaces workers that left while there is work in hand."""
        if self.fork or self.broken:
            return
        want = min(self.max_workers, len(self.pending) + len(self.backlog))
        while len(self.processes) < want:
            self.spawn()

    def wake(self):
        if self.wake_w is not None:
            try:
                os.write(self.wake_w, b"x")
            except (BlockingIOError, OSError):
                pass  # full: the watcher has a wake-up to read already

    # --- sending --------------------------------------------------------------

    def submit(self, fn, args, kwargs):
        failed = None
        with self.lock:
            if self.broken:
                raise BrokenProcessPool(self.broken)
            if self.shutting_down:
                raise RuntimeError("cannot schedule new futures after shutdown")
            if _global_shutdown:
                raise RuntimeError("cannot schedule new futures after interpreter shutdown")
            if not self.started:
                self.start()
            future = _base.Future()
            work_id = next(self.ids)
            # As concurrent.futures: a worker starts for this task, before it
            # is pickled, unless a finished task left one idle.
            if self.idle > 0:
                self.idle -= 1
            elif len(self.processes) < self.max_workers and not self.fork:
                self.spawn()
            if self.backlog or len(self.pending) >= self.ahead:
                self.backlog.append((work_id, future, fn, args, kwargs))
            else:
                future.set_running_or_notify_cancel()
                failed = self.send_one(work_id, future, fn, args, kwargs)
        if failed is not None:
            future.set_exception(failed)
        return future

    def send_one(self, work_id, future, fn, args, kwargs):
        """Puts one running task; returns the exception to set on its future
        when it cannot be pickled. Called with the lock held."""
        try:
            self.tasks.put((work_id, fn, args, kwargs), False)
        except queue.Full:
            # The ring is full of large tasks: this one waits, running.
            self.backlog.appendleft((work_id, future, fn, args, kwargs))
            return None
        except BaseException as error:
            return error
        self.pending[work_id] = future
        return None

    def feed(self, failed):
        """Moves backlog tasks into the ring up to the limit. Lock held."""
        room = self.ahead - len(self.pending)
        batch = []
        while room > 0 and self.backlog:
            item = self.backlog.popleft()
            future = item[1]
            if future.running() or future.set_running_or_notify_cancel():
                batch.append(item)
                room -= 1
        if batch:
            try:
                self.tasks.put_many([(w, fn, a, k) for w, _, fn, a, k in batch], False)
            except BaseException:
                # Unpicklable or no room for all: one at a time.
                for item in batch:
                    error = self.send_one(*item)
                    if error is not None:
                        failed.append((item[1], error))
            else:
                for work_id, future, _, _, _ in batch:
                    self.pending[work_id] = future
        if self.shutting_down and not self.backlog and not self.stop_sent:
            self.send_stop()

    def send_stop(self):
        self.stop_sent = True
        self.tasks.put(None)
        self.wake()

    # --- receiving ------------------------------------------------------------

    def read(self):
        results = self.results
        while True:
            try:
                records = results.get_many(True, None)
            except BaseException as error:
                self.break_pool("A result has failed to un-serialize. Please ensure that the "
                                "objects returned by the function are always picklable.", error)
                return
            if not self.settle(records):
                return
            # Nothing of a result may outlive its future here (a caller
            # that drops it expects it gone).
            del records

    def settle(self, records):
        """Takes a batch of result records; False once told to stop."""
        done = []
        failed = []
        go_on = True
        with self.lock:
            for record in records:
                if record is None:
                    go_on = False
                    continue
                exit_pid, busy, items = record
                if exit_pid:
                    process = self.processes.pop(exit_pid, None)
                    if process is not None:
                        self.leaving[exit_pid] = process
                    self.noticed.add(exit_pid)
                    self.exit_noticed.notify_all()
                pending = self.pending
                for work_id, ok, value in items:
                    future = pending.pop(work_id, None)
                    if future is not None:
                        done.append((future, ok, value))
                if items:
                    self.idle = min(self.max_workers, self.idle + len(items))
                    self.learn(busy / len(items))
            records.clear()
            if not self.broken:
                self.feed(failed)
                if self.leaving:
                    self.adjust_workers()
        done.reverse()
        while done:
            future, ok, value = done.pop()
            if ok:
                future.set_result(value)
            else:
                future.set_exception(value)
        for future, error in failed:
            future.set_exception(error)
        return go_on

    def learn(self, seconds):
        """Updates the expected task duration and the work queued ahead."""
        if self.task_seconds is None:
            self.task_seconds = seconds
        else:
            self.task_seconds = 0.75 * self.task_seconds + 0.25 * seconds
        per_worker = int(_AHEAD_SECONDS / max(self.task_seconds, 1e-7))
        self.ahead = self.max_workers * (1 + min(_AHEAD_MAX_PER_WORKER, per_worker)) + 1

    # --- watching -------------------------------------------------------------

    def finished(self):
        return (not self.processes and not self.leaving
                and (self.broken or (self.shutting_down and self.stop_sent)))

    def watch(self):
        try:
            while True:
                with self.lock:
                    if self.finished():
                        break
                    watched = list(self.processes.values()) + list(self.leaving.values())
                ready = multiprocessing.connection.wait(
                    [self.wake_r] + [p.sentinel for p in watched])
                if self.wake_r in ready:
                    try:
                        os.read(self.wake_r, 4096)
                    except BlockingIOError:
                        pass
                    if self.dropped and not self.shutting_down:
                        self.begin_shutdown(False)
                for process in watched:
                    if process.sentinel in ready:
                        self.reap(process)
        finally:
            self.close()

    def reap(self, process):
        process.join()
        pid = process.pid
        with self.lock:
            if process.exitcode == 0 and pid not in self.noticed:
                # Its notice may still be on its way through the reader.
                self.exit_noticed.wait_for(lambda: pid in self.noticed or self.broken,
                                           _NOTICE_GRACE)
            self.processes.pop(pid, None)
            self.leaving.pop(pid, None)
            expected = pid in self.noticed
            self.noticed.discard(pid)
            if expected or self.broken:
                if not self.broken:
                    self.adjust_workers()
                return
        self.break_pool(
            "A child process terminated abruptly, the process pool is not usable anymore "
            f"(pid {pid}, {_describe_exit(process.exitcode)})")

    # --- breaking and closing --------------------------------------------------

    def break_locked(self, message, cause=None):
        """Marks the pool broken; returns the futures to fail. Lock held."""
        if self.broken:
            return [], None
        self.broken = message
        futures = list(self.pending.values()) + [item[1] for item in self.backlog]
        self.pending.clear()
        self.backlog.clear()
        for process in list(self.processes.values()) + list(self.leaving.values()):
            try:
                process.kill()
            except Exception:
                pass
        self.exit_noticed.notify_all()
        self.wake()
        error = BrokenProcessPool(message)
        error.__cause__ = cause
        return futures, error

    def break_pool(self, message, cause=None):
        with self.lock:
            futures, error = self.break_locked(message, cause)
        for future in futures:
            try:
                future.set_exception(error)
            except _base.InvalidStateError:
                pass  # cancelled meanwhile

    def begin_shutdown(self, cancel_futures):
        cancelled = []
        with self.lock:
            self.shutting_down = True
            if cancel_futures:
                keep = collections.deque()
                for item in self.backlog:
                    (keep if item[1].running() else cancelled).append(item)
                self.backlog = keep
            if self.started and not self.broken and not self.backlog and not self.stop_sent:
                self.send_stop()
            self.wake()
        for item in cancelled:
            item[1].cancel()

    def drop(self):
        # The executor was garbage-collected, maybe in one of our threads
        # while it holds the lock: only flag it, the watcher shuts down.
        self.dropped = True
        self.wake()

    def wait_closed(self):
        if self.started:
            self.closed.wait()

    def close(self):
        """The watcher's last act: the reader stops, the rings go."""
        if self.reader is not None and self.reader.ident is not None:
            try:
                self.results.put(None)
            except BaseException:
                pass
            self.reader.join()
        for q in (self.tasks, self.results):
            if q is not None:
                q.close()
                q.unlink()
        for fd in (self.wake_r, self.wake_w):
            try:
                os.close(fd)
            except OSError:
                pass
        with self.lock:
            self.wake_w = None
        with _live_lock:
            _live_pools.discard(self)
        self.closed.set()


class _CallQueue:
    """What concurrent.futures' shutdown tests expect of `_call_queue`."""

    def __init__(self, pool):
        self._pool = pool

    def join_thread(self):
        self._pool.wait_closed()


class ProcessPoolExecutor(_base.Executor):
    """A concurrent.futures.Executor whose tasks and results travel over
    shared-memory rings, taken by competing worker processes.

    The arguments are those of concurrent.futures.ProcessPoolExecutor. A
    worker that dies breaks the pool: pending futures and later submit()
    calls raise BrokenProcessPool (a subclass of concurrent.futures'), within
    milliseconds of the death.
    """

    def __init__(self, max_workers=None, mp_context=None, initializer=None, initargs=(), *,
                 max_tasks_per_child=None):
        if max_workers is None:
            count = getattr(os, "process_cpu_count", os.cpu_count)()
            max_workers = count or 1
        elif max_workers <= 0:
            raise ValueError("max_workers must be greater than 0")
        if mp_context is None:
            mp_context = _default_context(max_tasks_per_child)
        if initializer is not None and not callable(initializer):
            raise TypeError("initializer must be a callable")
        if max_tasks_per_child is not None:
            if not isinstance(max_tasks_per_child, int):
                raise TypeError("max_tasks_per_child must be an integer")
            if max_tasks_per_child <= 0:
                raise ValueError("max_tasks_per_child must be >= 1")
            if mp_context.get_start_method(allow_none=False) == "fork":
                raise ValueError("max_tasks_per_child is incompatible with the 'fork' "
                                 "multiprocessing start method; supply a different mp_context.")
        self._max_workers = max_workers
        self._mp_context = mp_context
        self._pool = _Pool(max_workers, mp_context, initializer, tuple(initargs),
                           max_tasks_per_child)
        # A dropped executor winds its pool down as shutdown(wait=False) does.
        self._finalizer = weakref.finalize(self, _Pool.drop, self._pool)

    def submit(self, fn, /, *args, **kwargs):
        """Schedules ``fn(*args, **kwargs)`` on a worker and returns a Future
        for its result. Raises BrokenProcessPool once a worker has died, and
        RuntimeError after shutdown."""
        return self._pool.submit(fn, args, kwargs)

    def map(self, fn, *iterables, timeout=None, chunksize=1):
        """As Executor.map; chunksize > 1 sends the calls in chunks of that
        many, one task each."""
        if chunksize < 1:
            raise ValueError("chunksize must be >= 1.")
        if chunksize == 1:
            return super().map(fn, *iterables, timeout=timeout)
        results = super().map(functools.partial(_cf_process._process_chunk, fn),
                              itertools.batched(zip(*iterables), chunksize), timeout=timeout)
        return _cf_process._chain_from_iterable_of_lists(results)

    def shutdown(self, wait=True, *, cancel_futures=False):
        """Lets the workers finish what was submitted and stop; with
        ``cancel_futures``, cancels what no worker has started. With ``wait``,
        returns once the workers have exited and the rings are removed."""
        self._pool.begin_shutdown(cancel_futures)
        if wait:
            self._pool.wait_closed()

    shutdown.__doc__ = _base.Executor.shutdown.__doc__

    # What concurrent.futures' own tests read of its executor.
    @property
    def _processes(self):
        return self._pool.processes

    @property
    def _broken(self):
        return self._pool.broken

    @property
    def _executor_manager_thread(self):
        return self._pool.watcher

    @property
    def _call_queue(self):
        return _CallQueue(self._pool)
