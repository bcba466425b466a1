"""veskline's queues against multiprocessing, faster-fifo and veskline_core's floor.

    python bench/veskline_bench.py [--quick]

One run, figures are medians of the repeats, ratios are printed beside them:
  - pickled small objects, 1 producer -> 1 consumer: veskline.Queue against
    multiprocessing.Queue and against the floor, veskline_core's
    put_bytes/get_bytes with pickle in Python;
  - 2 producers -> 2 consumers with get_many: veskline.Queue against
    faster-fifo's Queue (both put_many in batches of 100);
  - get_many of 100 x 64 B messages against a loop of 100 get_bytes;
  - a 1 MiB NumPy array through Queue.put/get against 1 MiB get_bytes;
  - Ctrl-C on a blocked get, put and join (median time to KeyboardInterrupt,
    and whether the queue was left as it was);
  - timeouts of 1 ms, 50 ms and 1 s: median overshoot, and the earliest
    return (never before the timeout);
  - the CPU an idle blocked get costs.
What veskline does not offer yet is reported as skipped.
"""

from __future__ import annotations

import argparse
import multiprocessing as mp
import os
import pickle
import queue as std_queue
import secrets
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from interrupt import blocked_tries, report_state, run_case  # noqa: E402

import veskline  # noqa: E402
import veskline_core as vc  # noqa: E402

RING_MB = 16
CAPACITY = RING_MB << 20
SMALL = (12345, 2.5, "abcdefgh", b"0123456789")  # pickles to about 40 bytes
CTX = mp.get_context("fork")


def missing(*names: str) -> str | None:
    for name in names:
        owner, _, attr = name.partition(".")
        cls = getattr(veskline, owner, None)
        if cls is None or (attr and not hasattr(cls, attr)):
            return f"veskline has no {name} yet"
    return None


def fresh(tag: str) -> str:
    return f"vkbench_{tag}_{os.getpid()}_{secrets.token_hex(4)}"


def new_queue(kind: str, **kw):
    return getattr(veskline, kind)(capacity=CAPACITY, **kw)


# --- throughput between processes ----------------------------------------------

def _timed_stream(make_producer, consume, producers: int = 1, go=None) -> float:
    """Starts producers that wait for a go, then times go -> consume() done."""
    go = go or CTX.Event()
    procs = [CTX.Process(target=make_producer(i), args=(go,), daemon=True) for i in range(producers)]
    for p in procs:
        p.start()
    time.sleep(0.05)
    start = time.perf_counter()
    go.set()
    consume()
    elapsed = time.perf_counter() - start
    for p in procs:
        p.join(30)
        if p.exitcode != 0:
            raise RuntimeError(f"producer exited with {p.exitcode}")
    return elapsed


def small_objects(n: int, repeats: int) -> dict:
    rates = {}

    def veskline_queue():
        q = new_queue("Queue")

        def producer(_i):
            def run(go):
                go.wait()
                for _ in range(n):
                    q.put(SMALL)
            return run

        def consume():
            for _ in range(n):
                q.get()
        try:
            return n / _timed_stream(producer, consume)
        finally:
            q.close()

    def mp_queue():
        m = n // 4
        q = CTX.Queue()

        def producer(_i):
            def run(go):
                go.wait()
                for _ in range(m):
                    q.put(SMALL)
            return run

        def consume():
            for _ in range(m):
                q.get()
        return m / _timed_stream(producer, consume)

    def floor():
        name = fresh("floor")
        q = vc.VeskQueue(name, RING_MB)

        def producer(_i):
            def run(go):
                go.wait()
                for _ in range(n):
                    q.put_bytes(pickle.dumps(SMALL, protocol=5))
            return run

        def consume():
            for _ in range(n):
                pickle.loads(q.get_bytes())
        try:
            return n / _timed_stream(producer, consume)
        finally:
            vc.VeskQueue.unlink(name)

    for label, fn, why in (("veskline.Queue", veskline_queue, missing("Queue")),
                           ("multiprocessing.Queue", mp_queue, None),
                           ("floor: core put_bytes/get_bytes + pickle", floor, None)):
        rates[label] = None if why else statistics.median(fn() for _ in range(repeats))
        rates.setdefault("_why", {})[label] = why
    return rates


def many_to_many(n: int, repeats: int, producers: int = 2, consumers: int = 2) -> dict:
    batch = [SMALL] * 100
    rates = {}

    def run(make_queue, put_many, get_many):
        q = make_queue()
        per_producer = n // producers
        total = per_producer * producers
        done = CTX.Value("q", 0)

        def producer(_i):
            def go_run(go):
                go.wait()
                for _ in range(per_producer // len(batch)):
                    put_many(q, batch)
            return go_run

        def consumer(go):
            go.wait()
            while done.value < total:
                try:
                    got = get_many(q)
                except std_queue.Empty:
                    continue
                with done.get_lock():
                    done.value += len(got)

        go = CTX.Event()
        readers = [CTX.Process(target=consumer, args=(go,), daemon=True) for _ in range(consumers)]
        for r in readers:
            r.start()

        def consume():
            for r in readers:
                r.join(120)

        elapsed = _timed_stream(producer, consume, producers, go=go)  # readers share the go
        if done.value != total:
            raise RuntimeError(f"consumers got {done.value} of {total}")
        return total / elapsed

    def veskline_run():
        return run(lambda: new_queue("Queue"),
                   lambda q, items: q.put_many(items),
                   lambda q: q.get_many(timeout=0.05, max_messages=1000))

    def ff_run():
        import faster_fifo

        return run(lambda: faster_fifo.Queue(max_size_bytes=CAPACITY),
                   lambda q, items: q.put_many(items, timeout=10),
                   lambda q: q.get_many(timeout=0.05, max_messages_to_get=1000))

    try:
        import faster_fifo  # noqa: F401
        ff_why = None
    except ImportError:
        ff_why = "faster-fifo is not installed (make bench installs it)"
    for label, fn, why in (("veskline.Queue get_many", veskline_run,
                            missing("Queue.put_many", "Queue.get_many")),
                           ("faster_fifo get_many", ff_run, ff_why)):
        rates[label] = None if why else statistics.median(fn() for _ in range(repeats))
        rates.setdefault("_why", {})[label] = why
    return rates


def batch_vs_loop(rounds: int) -> dict:
    why = missing("BytesQueue.get_many")
    name = fresh("loop")
    core = vc.VeskQueue(name, RING_MB)
    payload = b"m" * 64
    try:
        loop_s = 0.0
        for _ in range(rounds):
            for _ in range(100):
                core.put_bytes(payload)
            start = time.perf_counter()
            for _ in range(100):
                core.get_bytes()
            loop_s += time.perf_counter() - start
    finally:
        vc.VeskQueue.unlink(name)
    result = {"loop of 100 get_bytes": rounds * 100 / loop_s, "_why": {"get_many(100)": why}}
    if why:
        result["get_many(100)"] = None
        return result
    bq = new_queue("BytesQueue")
    try:
        many_s = 0.0
        for _ in range(rounds):
            bq.put_many([payload] * 100)
            start = time.perf_counter()
            got = len(bq.get_many(max_messages=100))
            while got < 100:  # only if a put could return before its items are there
                got += len(bq.get_many(max_messages=100 - got))
            many_s += time.perf_counter() - start
    finally:
        bq.close()
    result["get_many(100)"] = rounds * 100 / many_s
    return result


def big_array(n: int, repeats: int) -> dict:
    try:
        import numpy as np
    except ImportError:
        return {"_why": {"all": "numpy is not installed (make bench installs it)"}}
    arr = np.ones(1 << 17, dtype=np.float64)  # 1 MiB
    raw = arr.tobytes()
    result = {"_why": {}}

    def veskline_queue():
        q = new_queue("Queue")

        def producer(_i):
            def run(go):
                go.wait()
                for _ in range(n):
                    q.put(arr)
            return run

        def consume():
            for _ in range(n):
                q.get()
        try:
            return n * len(raw) / _timed_stream(producer, consume) / 1e6
        finally:
            q.close()

    def core():
        name = fresh("big")
        q = vc.VeskQueue(name, RING_MB)

        def producer(_i):
            def run(go):
                go.wait()
                for _ in range(n):
                    q.put_bytes(raw)
            return run

        def consume():
            for _ in range(n):
                q.get_bytes()
        try:
            return n * len(raw) / _timed_stream(producer, consume) / 1e6
        finally:
            vc.VeskQueue.unlink(name)

    why = missing("Queue")
    result["Queue put/get of a 1 MiB array, MB/s"] = (
        None if why else statistics.median(veskline_queue() for _ in range(repeats)))
    result["_why"]["Queue put/get of a 1 MiB array, MB/s"] = why
    result["core put_bytes/get_bytes 1 MiB, MB/s"] = statistics.median(core() for _ in range(repeats))
    return result


# --- Ctrl-C, timeouts, idle cost -------------------------------------------------

def case_get(tries):
    q = veskline.Queue()
    blocked_tries(tries, q.get)
    q.put("x")
    report_state("left as it was" if (q.qsize(), q.get_nowait()) == (1, "x") else "CHANGED")


def case_put(tries):
    q = veskline.Queue(maxsize=1)
    q.put("first")
    blocked_tries(tries, lambda: q.put("second"))
    report_state("left as it was" if (q.qsize(), q.get_nowait(), q.empty()) == (1, "first", True)
                 else "CHANGED")


def case_join(tries):
    q = veskline.JoinableQueue()
    q.put("task")
    blocked_tries(tries, q.join)
    q.get()
    q.task_done()
    q.join()  # returns at once: the interrupted joins changed no count
    report_state("left as it was")


def case_lock(tries):
    lock = veskline.Lock()
    to_holder_r, to_holder_w = os.pipe()
    from_holder_r, from_holder_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        lock.acquire()
        os.write(from_holder_w, b"h")
        os.read(to_holder_r, 1)
        lock.release()
        os._exit(0)
    os.read(from_holder_r, 1)
    blocked_tries(tries, lock.acquire)
    still_held = lock.locked()
    os.write(to_holder_w, b"g")
    os.waitpid(pid, 0)
    clean = lock.acquire(timeout=5) and not lock.recovered
    lock.release()
    report_state("left as it was" if still_held and clean else "CHANGED")


def interrupts(tries: int) -> dict:
    out = {}
    for case, why in (("get", missing("Queue")), ("put", missing("Queue")),
                      ("join", missing("JoinableQueue")), ("Lock.acquire", None)):
        out[case] = None if why else run_case("veskline_bench", case.split(".")[0].lower(), tries)
        out.setdefault("_why", {})[case] = why
    return out


def timeouts(quick: bool) -> dict:
    why = missing("Queue")
    if why:
        return {"_why": {"all": why}}
    q = veskline.Queue(maxsize=1)
    full = veskline.Queue(maxsize=1)
    full.put(0)
    out = {}
    plan = [(0.001, 50), (0.05, 20 if not quick else 5), (1.0, 3 if not quick else 1)]
    for seconds, count in plan:
        for label, call, exc in (("get", lambda: q.get(timeout=seconds), std_queue.Empty),
                                 ("put", lambda: full.put(1, timeout=seconds), std_queue.Full)):
            if label == "put" and seconds >= 1:
                continue
            overs = []
            for _ in range(count):
                start = time.monotonic()
                try:
                    call()
                except exc:
                    pass
                overs.append(time.monotonic() - start - seconds)
            out[f"{label} {seconds * 1e3:g} ms"] = {
                "median_overshoot_ms": statistics.median(overs) * 1e3,
                "earliest_ms": min(overs) * 1e3, "count": count}
    q.close()
    full.close()
    return out


def _idle_child(name_pipe):
    q = veskline.Queue()
    os.write(name_pipe, b"r")
    q.get()


def idle_cost(seconds: float) -> dict:
    why = missing("Queue")
    if why:
        return {"_why": {"all": why}}
    read_end, write_end = os.pipe()
    p = CTX.Process(target=_idle_child, args=(write_end,), daemon=True)
    p.start()
    os.read(read_end, 1)
    time.sleep(0.5)

    def cpu_ns():
        with open(f"/proc/{p.pid}/schedstat") as f:
            return int(f.read().split()[0])

    before = cpu_ns()
    time.sleep(seconds)
    used = cpu_ns() - before
    p.kill()
    p.join()
    return {"blocked get": {"percent_of_a_core": used / (seconds * 1e9) * 100,
                            "seconds": seconds}}


# --- report ----------------------------------------------------------------------

def show(title: str, figures: dict, unit: str, ratios=()) -> None:
    print(f"\n{title}")
    why = figures.get("_why", {})
    for label, value in figures.items():
        if label == "_why":
            continue
        if value is None:
            print(f"  {label:<44} skipped: {why.get(label)}")
        elif isinstance(value, dict):
            print(f"  {label:<44} " + "  ".join(
                f"{k} {v:.4f}" if isinstance(v, float) else f"{k} {v}" for k, v in value.items()))
        else:
            print(f"  {label:<44} {value:>14,.0f} {unit}")
    for label, why_text in why.items():
        if label not in figures:
            print(f"  {label:<44} skipped: {why_text}")
    for num, den, target in ratios:
        a, b = figures.get(num), figures.get(den)
        if a and b:
            print(f"  ratio {num} / {den}: {a / b:.2f}x  (target {target})")


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args(argv)
    quick = args.quick
    repeats = 1 if quick else 3

    small = small_objects(50_000 if quick else 200_000, repeats)
    show("Pickled small objects, 1 producer -> 1 consumer", small, "msg/s",
         [("veskline.Queue", "multiprocessing.Queue", ">= 6x"),
          ("veskline.Queue", "floor: core put_bytes/get_bytes + pickle", ">= 0.75x")])
    m2m = many_to_many(100_000 if quick else 400_000, repeats)
    show("2 producers -> 2 consumers, put_many(100) / get_many", m2m, "msg/s",
         [("veskline.Queue get_many", "faster_fifo get_many", ">= 3x")])
    batch = batch_vs_loop(200 if quick else 2000)
    show("Draining 100 x 64 B messages", batch, "msg/s",
         [("get_many(100)", "loop of 100 get_bytes", ">= 3x")])
    big = big_array(50 if quick else 300, repeats)
    show("1 MiB NumPy array", big, "MB/s",
         [("Queue put/get of a 1 MiB array, MB/s", "core put_bytes/get_bytes 1 MiB, MB/s", ">= 0.5x")])
    show("Ctrl-C on a blocked call (target: median <= 5 ms)", interrupts(10 if quick else 30), "")
    show("Timeouts (target: median overshoot <= 2 ms, never early)", timeouts(quick), "")
    show("Idle blocked get (target: <= 0.1% of a core)", idle_cost(2.0 if quick else 5.0), "")


if __name__ == "__main__":
    main()
