"""The one-line swap: the same worker program over multiprocessing.Queue and
over veskline.Queue, side by side.

    python examples/queue_swap.py                 # both, with timings
    python examples/queue_swap.py --tasks 50000

The program is ordinary multiprocessing code: a JoinableQueue of tasks, a
Queue of results, worker processes started with `spawn` that take tasks
until they get None. Only the module the queues come from differs:

    from multiprocessing import JoinableQueue, Queue      # before
    from veskline import JoinableQueue, Queue             # after

What differs in use: a veskline queue has a fixed capacity in bytes (16 MiB
by default; larger objects still go through), lives under a name in
/dev/shm (removed when its creator closes it or exits), and has no feeder
thread, so put() has finished when it returns.
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import sys
import time


def worker(tasks, results):
    while (task := tasks.get()) is not None:
        number, text = task
        results.put((number, sum(map(ord, text)) * number))
        tasks.task_done()
    tasks.task_done()


def run(label, joinable_queue, queue, n_tasks, n_workers):
    ctx = multiprocessing.get_context("spawn")
    tasks, results = joinable_queue(), queue()
    workers = [ctx.Process(target=worker, args=(tasks, results)) for _ in range(n_workers)]
    for process in workers:
        process.start()
    start = time.perf_counter()
    for number in range(n_tasks):
        tasks.put((number, f"task {number}"))
    total = sum(results.get()[1] for _ in range(n_tasks))
    elapsed = time.perf_counter() - start
    for _ in workers:
        tasks.put(None)
    tasks.join()
    for process in workers:
        process.join()
    for q in (tasks, results):
        q.close()
        q.join_thread()
    print(f"{label:<34} {n_tasks / elapsed:>10,.0f} tasks/s   checksum {total}")
    return total


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tasks", type=int, default=20000)
    parser.add_argument("--workers", type=int, default=min(4, os.cpu_count() or 1))
    args = parser.parse_args(argv)

    import veskline

    print(f"{args.tasks} tasks, {args.workers} spawned workers, a result back for each")
    spawn = multiprocessing.get_context("spawn")
    before = run("multiprocessing.JoinableQueue/Queue", spawn.JoinableQueue, spawn.Queue,
                 args.tasks, args.workers)
    after = run("veskline.JoinableQueue/Queue", veskline.JoinableQueue, veskline.Queue,
                args.tasks, args.workers)
    if before != after:
        print("the two runs disagree", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
