"""The worker process of veskline.ProcessPoolExecutor.

A worker takes tasks from the pool's task queue, competing with the other
workers, and sends results back in batches: one record per batch holds
(exit_pid, busy_seconds, [(work_id, ok, value), ...]). exit_pid is set on the
last record a worker sends before it leaves on purpose (a stop, or its
max_tasks_per_child), which tells the parent that its exit is not a crash.

A stop record (None) stays in the task queue: the worker that takes it puts
it back before leaving, so every worker, including a replacement started
later, finds one after the last task.

How many tasks a worker takes at once adapts to their length: about a
millisecond of work, at most _MAX_TAKE, and never more than its share of what
is queued, so idle workers are not starved while one holds tasks it has not
started. A batch's results go back together, or as soon as a millisecond of
work is done.
"""

import multiprocessing
import multiprocessing.connection
import os
import pickle
import sys
import threading
import time
from concurrent.futures import _base
from concurrent.futures.process import _ExceptionWithTraceback

_MAX_TAKE = 64
_BATCH_SECONDS = 0.001


def _exit_with_parent():
    """Ends this worker when the process that started it is gone, so a killed
    pool leaves no worker blocked on a queue nobody feeds."""
    parent = multiprocessing.parent_process()
    sentinel = getattr(parent, "sentinel", None)
    if sentinel is None:
        return

    def watch():
        multiprocessing.connection.wait([sentinel])
        os._exit(1)

    threading.Thread(target=watch, name="veskline-worker-parent-watch", daemon=True).start()


def _send(results, exit_pid, busy, items):
    try:
        results.put((exit_pid, busy, items))
        return
    except BaseException:
        pass
    # Some result could not be pickled: it becomes that task's exception,
    # as in concurrent.futures; the others go through unchanged.
    fixed = []
    for work_id, ok, value in items:
        try:
            pickle.dumps(value, 5)
        except BaseException as error:
            fixed.append((work_id, False, _ExceptionWithTraceback(error, error.__traceback__)))
        else:
            fixed.append((work_id, ok, value))
    results.put((exit_pid, busy, fixed))


def main(tasks, results, initializer, initargs, max_tasks, workers=1):
    _exit_with_parent()
    if initializer is not None:
        try:
            initializer(*initargs)
        except BaseException:
            _base.LOGGER.critical("Exception in initializer:", exc_info=True)
            # Non-zero, and through SystemExit so multiprocessing flushes the
            # queues the initializer may have logged to; the parent sees a
            # worker gone without notice and breaks the pool.
            sys.exit(1)

    pid = os.getpid()
    left = max_tasks if max_tasks else -1
    take = 1
    clock = time.perf_counter
    while True:
        want = take
        if want > 1:
            # Never more than a fair share of what is queued: idle workers
            # must not wait while this one holds tasks it has not started.
            want = max(1, min(want, tasks.qsize() // workers))
        batch = tasks.get_many(True, None, want if left < 0 else min(want, left))
        stops = 0
        items = []
        started = clock()
        flushed_at = started
        for index in range(len(batch)):
            task = batch[index]
            batch[index] = None
            if task is None:
                stops += 1
                continue
            work_id, fn, args, kwargs = task
            del task
            try:
                value = fn(*args, **kwargs)
            except BaseException as error:
                items.append((work_id, False, _ExceptionWithTraceback(error, error.__traceback__)))
            else:
                items.append((work_id, True, value))
                del value
            del fn, args, kwargs
            left -= 1
            now = clock()
            if now - flushed_at > _BATCH_SECONDS and index + 1 < len(batch):
                # A long task in the batch: what is done goes back now.
                _send(results, 0, now - flushed_at, items)
                items = []
                flushed_at = now
        busy = clock() - flushed_at
        count = len(batch) - stops
        del batch
        leaving = stops > 0 or left == 0
        if stops:
            tasks.put_many([None] * stops)
        if items or leaving:
            _send(results, pid if leaving else 0, busy, items)
        items = None
        if leaving:
            return
        if count:
            per_task = (clock() - started) / count
            take = max(1, min(_MAX_TAKE, int(_BATCH_SECONDS / per_task) if per_task > 0 else _MAX_TAKE))
