"""Crash soak of veskline's object queues: producers and JoinableQueue workers
killed at random while objects flow through one small JoinableQueue.

    python tests/soak/objects_soak.py --kills 60        # the short run of make test
    python tests/soak/objects_soak.py --kills 600 --report build/objects-soak.txt

Producers put (slot, seq, payload) with a payload derived from (slot, seq),
about one in a hundred larger than the ring (so it travels through a one-off
segment), and after each put returns they record seq as committed (a shared word). A
killed producer is replaced by one that goes on from committed + 1, so the
one item that was being put at the kill may arrive once, or twice when its
put had finished but its record had not: a duplicate the producer's retry
makes, allowed for that seq only.

Workers get an item, mark in a shared word that they hold it, check its
payload, append it to their log, call task_done and clear the mark. An item
whose worker was killed while holding it (got, not yet logged) is the
worker's: counted, never redelivered. A kill can also land in the instant
between get's return and the mark (a few bytecodes); from outside that looks
exactly like a get that lost its message, so each worker killed while marked
"in get" may account for at most one missing item, and the run reports how
many it used. Anything else missing is lost by the queue and fails the run,
as do a corrupted payload, a duplicate that no producer kill explains, a get
or join that hangs, and a queue that does not end empty.
"""

from __future__ import annotations

import argparse
import ctypes
import multiprocessing as mp
import os
import queue as std_queue
import random
import signal
import sys
import tempfile
import threading
import time
import zlib

PRODUCERS, WORKERS = 2, 2
IDLE, IN_GET, HOLDING = 0, 1, 2


CAPACITY = 1 << 20


def payload(slot: int, seq: int) -> bytes:
    rnd = random.Random(slot * 1_000_003 + seq)
    if rnd.random() < 0.01:
        return rnd.randbytes(CAPACITY + 1000)  # through a one-off segment
    return rnd.randbytes(rnd.choice((0, 8, 100, 1500, 9000)))


def producer(q, slot, start, committed, stop):
    for seq in range(start, 1 << 62):
        if stop.value:
            return
        data = payload(slot, seq)
        q.put((slot, seq, data, zlib.crc32(data)))
        committed[slot] = seq


def worker(q, index, log_path, holding, state):
    fd = os.open(log_path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o600)
    while True:
        state[index] = IN_GET
        item = q.get()
        state[index] = HOLDING
        if item is None:
            q.task_done()
            state[index] = IDLE
            return
        slot, seq, data, crc = item
        holding[2 * index], holding[2 * index + 1] = slot, seq
        ok = zlib.crc32(data) == crc and data == payload(slot, seq)
        os.write(fd, f"{slot} {seq} {'ok' if ok else 'BAD'}\n".encode())
        q.task_done()
        state[index] = IDLE


def run(kills: int, seed: int, quiet: bool) -> list[str]:
    import veskline

    rng = random.Random(seed)
    ctx = mp.get_context("fork")
    q = veskline.JoinableQueue(capacity=CAPACITY)
    committed = mp.RawArray(ctypes.c_int64, [-1] * PRODUCERS)
    state = mp.RawArray(ctypes.c_int32, [IDLE] * WORKERS)
    holding = mp.RawArray(ctypes.c_int64, [-1] * (2 * WORKERS))
    # A flag, not an Event: Event.is_set() takes a lock, which a producer
    # killed inside it would hold for ever, and stop.set() would then hang.
    stop = mp.RawValue(ctypes.c_int32, 0)
    logdir = tempfile.mkdtemp(prefix="vk_objects_soak_")
    logs = [os.path.join(logdir, f"worker{i}.log") for i in range(WORKERS)]
    ambiguous: set[tuple[int, int]] = set()    # seqs a producer kill may duplicate
    workers_own: set[tuple[int, int]] = set()  # items held by a worker when killed
    counts = {"producer": 0, "worker": 0}
    in_get_kills = 0

    def start_producer(slot):
        p = ctx.Process(target=producer, args=(q, slot, committed[slot] + 1, committed, stop))
        p.start()
        return p

    def start_worker(index):
        p = ctx.Process(target=worker, args=(q, index, logs[index], holding, state))
        p.start()
        return p

    producers = [start_producer(s) for s in range(PRODUCERS)]
    workers = [start_worker(i) for i in range(WORKERS)]
    for n in range(kills):
        time.sleep(rng.uniform(0.005, 0.05))
        if rng.random() < 0.5:
            slot = rng.randrange(PRODUCERS)
            producers[slot].kill()
            producers[slot].join()
            ambiguous.add((slot, committed[slot] + 1))
            producers[slot] = start_producer(slot)
            counts["producer"] += 1
        else:
            index = rng.randrange(WORKERS)
            workers[index].kill()
            workers[index].join()
            if state[index] == HOLDING:
                workers_own.add((holding[2 * index], holding[2 * index + 1]))
            elif state[index] == IN_GET:
                in_get_kills += 1
            state[index] = IDLE
            workers[index] = start_worker(index)
            counts["worker"] += 1
        if not quiet and n % 50 == 49:
            print(f"  {n + 1} kills", file=sys.stderr, flush=True)

    problems = []
    stop.value = 1
    for p in producers:
        p.join(30)
        if p.exitcode is None:
            problems.append("a producer hung in put")
            p.kill()
    for _ in workers:
        q.put(None)
    joined = threading.Thread(target=q.join, daemon=True)
    joined.start()
    joined.join(60)
    if joined.is_alive():
        problems.append(f"join hung ({q.unfinished_tasks if hasattr(q, 'unfinished_tasks') else '?'} "
                        "unfinished)")
    for p in workers:
        p.join(30)
        if p.exitcode is None:
            problems.append("a worker hung in get")
            p.kill()
    try:
        leftover = q.get_nowait()
        problems.append(f"the queue did not end empty: {leftover!r:.80}")
    except std_queue.Empty:
        pass

    # A one-off segment outlives its record only when a kill landed between
    # a consumer's finish and its removal, or a producer's write and its put;
    # the queue's owner removes those when it exits.
    side_left = [e for e in os.listdir("/dev/shm") if e.startswith(q.name.lstrip("/") + "~")]
    if len(side_left) > counts["producer"] + counts["worker"]:
        problems.append(f"{len(side_left)} one-off segments left, more than the kills explain")

    seen: dict[tuple[int, int], int] = {}
    bad = 0
    for path in logs:
        with open(path) as f:
            for line in f:
                slot, seq, verdict = line.split()
                key = (int(slot), int(seq))
                seen[key] = seen.get(key, 0) + 1
                bad += verdict != "ok"
    expected = {(s, i) for s in range(PRODUCERS) for i in range(committed[s] + 1)}
    missing = expected - seen.keys() - workers_own
    duplicates = {k for k, c in seen.items() if c > 1}
    if bad:
        problems.append(f"{bad} corrupted payloads")
    if len(missing) > in_get_kills:
        problems.append(f"{len(missing)} items lost, more than the {in_get_kills} workers killed "
                        f"in get could have taken, e.g. {sorted(missing)[:5]}")
    if unexplained := duplicates - ambiguous:
        problems.append(f"{len(unexplained)} duplicates no producer kill explains, "
                        f"e.g. {sorted(unexplained)[:5]}")
    summary = (f"objects soak: {counts['producer']} producer and {counts['worker']} worker kills; "
               f"{sum(seen.values())} items got, {len(expected)} committed, "
               f"{len(workers_own)} held by killed workers, {len(missing)} missing after "
               f"{in_get_kills} kills in get, {len(duplicates)} duplicates "
               f"(all from a producer's retry), {bad} corrupted, "
               f"{len(side_left)} one-off segments left to the owner")
    print(summary, flush=True)
    for problem in problems:
        print("PROBLEM:", problem, flush=True)
    return problems


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--kills", type=int, default=60)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    parser.add_argument("--report")
    parser.add_argument("--quiet", action="store_true")
    args = parser.parse_args()
    import veskline

    if not hasattr(veskline, "JoinableQueue"):
        print("objects soak skipped: veskline has no JoinableQueue yet")
        return 0
    print(f"objects soak: seed {args.seed}", flush=True)
    signal.signal(signal.SIGCHLD, signal.SIG_DFL)
    problems = run(args.kills, args.seed, args.quiet)
    if args.report:
        os.makedirs(os.path.dirname(args.report) or ".", exist_ok=True)
        with open(args.report, "w") as f:
            f.write("\n".join(problems) or "no problems\n")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
