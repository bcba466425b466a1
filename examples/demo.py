"""Hash a few hundred MB of records in worker processes, over veskline_core rings.

    python examples/demo.py                  # the demo: one worker per core
    python examples/demo.py --workers 4 --records 20000 --record-kb 16

The owner generates records (a 16-byte header with the record id, then a
slice of a random block), hands them to worker processes started with the
`spawn` method, and collects one small result per record: the id and a
BLAKE2b digest of the record. Workers attach to the rings by name and hash
each record in place, through `recv_view`, without copying it out of shared
memory. The owner checks that every id came back exactly once and re-hashes
a sample of the records. Then the same job runs over multiprocessing.Queue.

Every worker gets a VeskPoolCore of its own: a view does not reserve its
message, so a ring read through views must have a single reader. The result
rings carry 24-byte results back to the owner, one collector thread each.

All shared-memory names the demo creates are removed when it ends, also on
Ctrl-C or when a worker dies (a watchdog notices a dead worker, cleans up and
exits instead of waiting forever for its results).
"""

from __future__ import annotations

import argparse
import hashlib
import multiprocessing as mp
import os
import signal
import struct
import sys
import threading
import time

HEADER = struct.Struct("<QI4x")  # record id, body length
RESULT = struct.Struct("<Q16s")  # record id, digest
BLOCK_SIZE = 1 << 20


def random_block(seed: int) -> bytes:
    """A fixed pseudo-random block that every process can rebuild."""
    out = bytearray()
    h = hashlib.blake2b(seed.to_bytes(8, "little"), digest_size=64)
    while len(out) < BLOCK_SIZE:
        out += h.digest()
        h.update(b"\x01")
    # Cheap to make: 16 KiB of hash output repeated, with a per-copy twist.
    base = bytes(out[:16384])
    return b"".join(i.to_bytes(4, "little") + base[4:] for i in range(BLOCK_SIZE // 16384))


def make_record(block: bytes, rid: int, body: int) -> bytes:
    off = (rid * 7919) % (len(block) - body)
    return HEADER.pack(rid, body) + block[off:off + body]


def digest(data) -> bytes:
    return hashlib.blake2b(data, digest_size=16).digest()


# --- workers (run in spawned processes) -----------------------------------------

def vesk_worker(task_name: str, result_name: str, size_mb: int) -> None:
    import veskline_core

    signal.signal(signal.SIGINT, signal.SIG_IGN)  # the owner decides when to stop
    tasks = veskline_core.VeskQueue(task_name, size_mb)
    results = veskline_core.VeskQueue(result_name, size_mb)
    results.put_bytes(b"")  # ready
    view, put = tasks.recv_view, results.put_bytes
    while True:
        with view() as mv:
            if len(mv) == 0:  # stop
                return
            rid = HEADER.unpack_from(mv)[0]
            put(RESULT.pack(rid, digest(mv)))


def mpq_worker(tasks, results) -> None:
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    results.put(b"")  # ready
    while True:
        rec = tasks.get()
        if not rec:
            return
        results.put(RESULT.pack(HEADER.unpack_from(rec)[0], digest(rec)))


# --- owner ----------------------------------------------------------------------

class Job:
    """Bookkeeping shared by the feeder, the collectors and the watchdog."""

    def __init__(self, label: str, records: int, body: int) -> None:
        self.label, self.records, self.body = label, records, body
        self.seen = bytearray(records)
        self.digests = [b""] * records
        self.done = 0
        self.fed = 0
        self.duplicates = 0
        self.bad_ids = 0
        self.finished = threading.Event()
        self.lock = threading.Lock()
        self.t0 = 0.0

    def record_result(self, res: bytes) -> None:
        rid, dig = RESULT.unpack(res)
        with self.lock:
            if rid >= self.records:
                self.bad_ids += 1
            elif self.seen[rid]:
                self.duplicates += 1
            else:
                self.seen[rid] = 1
                self.digests[rid] = dig
            self.done += 1
            if self.done == self.records:
                self.finished.set()


def progress_line(job: Job, final: bool = False) -> None:
    width = 30
    frac = job.done / job.records if job.records else 1.0
    el = max(time.perf_counter() - job.t0, 1e-9)
    mb = job.done * (job.body + HEADER.size) / 1e6
    bar = "#" * int(frac * width) + "." * (width - int(frac * width))
    sys.stderr.write(f"\r  {job.label:<16} [{bar}] {frac:4.0%}  {job.done:>9,}/{job.records:,}"
                     f"  {mb / el:8,.0f} MB/s" + ("\n" if final else ""))
    sys.stderr.flush()


def watch(job: Job, procs: list, cleanup, stopping: threading.Event) -> None:
    """Draws the progress bar; ends the process if a worker dies mid-job."""
    while not job.finished.wait(0.1):
        progress_line(job)
        dead = [p for p in procs if not p.is_alive()]
        if dead and not stopping.is_set():
            sys.stderr.write(f"\nerror: worker {dead[0].name} died (exit code {dead[0].exitcode}) "
                             f"with {job.records - job.done:,} results outstanding; "
                             "stopping\n")
            cleanup()
            # The feeder or a collector may be blocked in a ring wait that has
            # no time limit; only leaving the process ends it.
            os._exit(1)


def start_workers(ctx, target, args_per_worker) -> list:
    procs = [ctx.Process(target=target, args=a, name=f"worker-{i}", daemon=True)
             for i, a in enumerate(args_per_worker)]
    for p in procs:
        p.start()
    return procs


def stop_workers(procs: list) -> None:
    for p in procs:
        p.join(2.0)
    for p in procs:
        if p.is_alive():
            p.terminate()
            p.join(2.0)
        if p.is_alive():
            p.kill()
            p.join()



def finish(job: Job, procs: list) -> Job:
    """Waits for the last result, prints the final progress line and stops
    the workers."""
    while not job.finished.wait(0.2):
        pass
    job.elapsed = time.perf_counter() - job.t0
    progress_line(job, final=True)
    stop_workers(procs)
    return job

def run_veskline(args, block: bytes, records: int) -> Job:
    import veskline_core

    ctx = mp.get_context("spawn")
    job = Job("veskline_core", records, args.record_kb * 1024)
    pools: list = []
    procs: list = []
    stopping = threading.Event()
    cleaned = threading.Lock()

    def cleanup() -> None:
        if cleaned.acquire(blocking=False):
            for p in pools:
                p.unlink()
            for p in procs:
                if p.is_alive():
                    p.kill()

    try:
        for _ in range(args.workers):
            pools.append(veskline_core.VeskPoolCore(args.size_mb))
        procs += start_workers(ctx, vesk_worker,
                               [(p.task_q_name, p.result_q_name, args.size_mb) for p in pools])
        threading.Thread(target=watch, args=(job, procs, cleanup, stopping), daemon=True).start()
        for p in pools:  # each worker says it is attached
            if p.get_result() != b"":
                raise RuntimeError("unexpected first message from a worker")

        shares = [len(range(i, records, args.workers)) for i in range(args.workers)]

        def collect(pool, n):
            for _ in range(n):
                job.record_result(pool.get_result())

        collectors = [threading.Thread(target=collect, args=(p, n), daemon=True)
                      for p, n in zip(pools, shares)]
        job.t0 = time.perf_counter()
        for c in collectors:
            c.start()
        body = job.body
        for rid in range(records):
            pools[rid % args.workers].put_task(make_record(block, rid, body))
            job.fed += 1
        stopping.set()
        for p in pools:
            p.put_task(b"")
        return finish(job, procs)
    finally:
        stopping.set()
        cleanup()


def run_mpq(args, block: bytes, records: int) -> Job:
    ctx = mp.get_context("spawn")
    job = Job("multiprocessing", records, args.record_kb * 1024)
    tasks = ctx.Queue(maxsize=1024)
    results = ctx.Queue()
    procs: list = []
    stopping = threading.Event()

    def cleanup() -> None:
        for p in procs:
            if p.is_alive():
                p.kill()

    try:
        procs += start_workers(ctx, mpq_worker, [(tasks, results)] * args.workers)
        threading.Thread(target=watch, args=(job, procs, cleanup, stopping), daemon=True).start()
        for _ in procs:
            if results.get() != b"":
                raise RuntimeError("unexpected first message from a worker")

        def collect():
            for _ in range(records):
                job.record_result(results.get())

        job.t0 = time.perf_counter()
        threading.Thread(target=collect, daemon=True).start()
        for rid in range(records):
            tasks.put(make_record(block, rid, job.body))
            job.fed += 1
        stopping.set()
        for _ in procs:
            tasks.put(b"")
        return finish(job, procs)
    finally:
        stopping.set()
        cleanup()
        for q in (tasks, results):
            q.cancel_join_thread()


def check(job: Job, block: bytes, sample_every: int) -> list[str]:
    """Problems found: ids missing or repeated, digests that do not match."""
    problems = []
    missing = job.records - sum(job.seen)
    if missing:
        problems.append(f"{missing} records without a result")
    if job.duplicates:
        problems.append(f"{job.duplicates} duplicate results")
    if job.bad_ids:
        problems.append(f"{job.bad_ids} results with an unknown id")
    wrong = sum(1 for rid in range(0, job.records, sample_every)
                if job.seen[rid] and job.digests[rid] != digest(make_record(block, rid, job.body)))
    if wrong:
        problems.append(f"{wrong} wrong digests in the checked sample")
    return problems


def summary(job: Job) -> str:
    mb = job.records * (job.body + HEADER.size) / 1e6
    return (f"{job.label:<16} {job.records:>9,} messages  {mb:8,.1f} MB  {job.elapsed:6.2f} s"
            f"  {job.records / job.elapsed:>10,.0f} msg/s  {mb / job.elapsed:8,.0f} MB/s")


def main() -> int:
    cores = len(os.sched_getaffinity(0))
    ap = argparse.ArgumentParser(description="Hash records in worker processes over "
                                             "veskline_core rings, then over multiprocessing.Queue.")
    ap.add_argument("--workers", type=int, default=cores, help=f"worker processes (default {cores})")
    ap.add_argument("--records", type=int, default=75000, help="records to hash (default 75000)")
    ap.add_argument("--record-kb", type=int, default=4, help="record body in KiB (default 4)")
    ap.add_argument("--size-mb", type=int, default=32, help="ring size in MiB (default 32)")
    ap.add_argument("--mpq-share", type=float, default=1.0,
                    help="share of the records for the multiprocessing.Queue run (default 1.0)")
    ap.add_argument("--sample-every", type=int, default=16,
                    help="re-hash every n-th record to check its digest (default 16)")
    args = ap.parse_args()
    if args.workers < 1 or args.records < 1 or not 0 <= args.mpq_share <= 1:
        ap.error("--workers and --records must be positive, --mpq-share within 0..1")
    if args.record_kb * 1024 + HEADER.size + 4 > args.size_mb << 20:
        ap.error("a record must fit in the ring")

    block = random_block(2024)
    total_mb = args.records * (args.record_kb * 1024 + HEADER.size) / 1e6
    print(f"Hashing {args.records:,} records of {args.record_kb} KiB ({total_mb:,.0f} MB) "
          f"with {args.workers} worker processes (spawn), BLAKE2b per record.")

    results = []
    vesk = run_veskline(args, block, args.records)
    results.append(vesk)
    mpq_records = int(args.records * args.mpq_share)
    if mpq_records:
        results.append(run_mpq(args, block, mpq_records))

    ok = True
    print()
    for job in results:
        print(summary(job))
        problems = check(job, block, args.sample_every)
        if problems:
            ok = False
            print(f"  FAILED check: {'; '.join(problems)}")
        else:
            print(f"  all {job.records:,} ids came back exactly once; "
                  f"{len(range(0, job.records, args.sample_every)):,} digests re-checked")
    if len(results) == 2:
        a, b = results
        ratio = (a.records / a.elapsed) / (b.records / b.elapsed)
        scaled = "" if b.records == a.records else \
            f" (multiprocessing.Queue ran {b.records:,} of the records; rates compared)"
        print(f"\nveskline_core finished the job {ratio:.1f}x as fast as multiprocessing.Queue"
              f"{scaled}.")
    return 0 if ok else 1


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        # The runs' finally blocks have already removed every name they made.
        print("\ninterrupted; shared-memory names removed", file=sys.stderr)
        sys.exit(130)
