"""veskline.ProcessPoolExecutor against concurrent.futures', and awaitable
gets against blocking gets in a thread, in one run; prints ratios.

    python bench/executor.py            # about a minute on 2 cores
    python bench/executor.py --quick

Executor: two workers (forkserver for both pools), trivial tasks through
map() at chunksize 1, 8 and 64 (tasks/s, best of the repeats, after a warm-up
that starts the workers); submit-to-result round trip (median of one-by-one
submit().result()); and how long after a worker's SIGKILL its pending future
raises BrokenProcessPool (median over fresh pools).

asyncio: a producer process puts small objects; the consumer takes them with
`await q.aget()` in an event loop, or with `q.get()` in a thread; messages/s.
An idle loop's cost: CPU seconds used by a loop whose 10 consumers await an
empty queue for 5 s (all its threads), as a share of a core.
"""

import argparse
import asyncio
import concurrent.futures
import multiprocessing
import os
import signal
import statistics
import sys
import threading
import time

import veskline


def noop(x):
    return x


def tasks_per_second(executor_type, chunksize, n, repeats):
    context = multiprocessing.get_context("forkserver")
    with executor_type(2, mp_context=context) as executor:
        list(executor.map(noop, range(2000), chunksize=chunksize))  # workers up
        best = 0.0
        for _ in range(repeats):
            started = time.perf_counter()
            for _ in executor.map(noop, range(n), chunksize=chunksize):
                pass
            best = max(best, n / (time.perf_counter() - started))
    return best


def round_trip_us(executor_type, n):
    context = multiprocessing.get_context("forkserver")
    with executor_type(2, mp_context=context) as executor:
        for _ in range(200):
            executor.submit(noop, 1).result()
        times = []
        for _ in range(n):
            started = time.perf_counter()
            executor.submit(noop, 1).result()
            times.append(time.perf_counter() - started)
    return statistics.median(times) * 1e6


def broken_after_ms(executor_type, rounds):
    context = multiprocessing.get_context("forkserver")
    times = []
    for _ in range(rounds):
        executor = executor_type(2, mp_context=context)
        executor.submit(noop, 1).result()
        future = executor.submit(time.sleep, 10)
        time.sleep(0.1)
        victim = next(iter(executor._processes.values()))
        started = time.perf_counter()
        os.kill(victim.pid, signal.SIGKILL)
        try:
            future.result(timeout=30)
        except concurrent.futures.process.BrokenProcessPool:
            times.append(time.perf_counter() - started)
        executor.shutdown(wait=True)
    return statistics.median(times) * 1e3


def _produce(name, n):
    q = veskline.Queue.attach(name)
    for i in range(n):
        q.put((i, "payload-of-a-small-tuple"))
    q.close()


def consume_rate(mode, n):
    q = veskline.Queue(capacity=1 << 20)
    producer = multiprocessing.get_context("forkserver").Process(target=_produce,
                                                                 args=(q.name, n))
    if mode == "aget":
        async def consume():
            for _ in range(n):
                await q.aget()

        run = lambda: asyncio.run(consume())  # noqa: E731
    else:
        def consume_thread():
            for _ in range(n):
                q.get()

        def run():
            thread = threading.Thread(target=consume_thread)
            thread.start()
            thread.join()
    producer.start()
    started = time.perf_counter()
    run()
    elapsed = time.perf_counter() - started
    producer.join()
    q.close()
    return n / elapsed


def idle_loop_share(seconds=5.0):
    # process_time: every thread's CPU time in nanoseconds; os.times() counts
    # in clock ticks, a coarser step than the target over a few seconds.
    async def main():
        q = veskline.Queue()
        waiters = [asyncio.ensure_future(q.aget()) for _ in range(10)]
        await asyncio.sleep(0.2)
        before = time.process_time()
        await asyncio.sleep(seconds)
        used = time.process_time() - before
        for w in waiters:
            w.cancel()
        await asyncio.gather(*waiters, return_exceptions=True)
        q.close()
        return used

    return asyncio.run(main()) / seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    repeats = 2 if args.quick else 3
    n = 10000 if args.quick else 30000
    ours, theirs = veskline.ProcessPoolExecutor, concurrent.futures.ProcessPoolExecutor

    print("== executor, 2 workers, trivial tasks through map()")
    print(f"{'chunksize':>10} {'veskline/s':>12} {'cpython/s':>12} {'ratio':>7}")
    for chunksize in (1, 8, 64):
        a = tasks_per_second(ours, chunksize, n * (1 if chunksize == 1 else 4), repeats)
        b = tasks_per_second(theirs, chunksize, n // (2 if chunksize == 1 else 1), repeats)
        print(f"{chunksize:>10} {a:>12.0f} {b:>12.0f} {a / b:>6.2f}x", flush=True)
    a, b = round_trip_us(ours, 2000), round_trip_us(theirs, 1000)
    print(f"submit-to-result round trip, median: veskline {a:.0f} us, cpython {b:.0f} us "
          f"({b / a:.2f}x faster)")
    a, b = broken_after_ms(ours, 5), broken_after_ms(theirs, 5)
    print(f"BrokenProcessPool after SIGKILL, median: veskline {a:.2f} ms, cpython {b:.2f} ms")

    print("== asyncio, small tuples from a producer process")
    m = 50000 if args.quick else 200000
    a = max(consume_rate("aget", m) for _ in range(repeats))
    b = max(consume_rate("get", m) for _ in range(repeats))
    print(f"await q.aget(): {a:.0f}/s; q.get() in a thread: {b:.0f}/s; ratio {a / b:.2f}")
    share = idle_loop_share()
    print(f"a loop with 10 idle awaiting consumers: {share * 100:.3f}% of a core")
    return 0


if __name__ == "__main__":
    sys.exit(main())
