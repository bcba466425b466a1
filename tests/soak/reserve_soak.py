"""Crash soak of writing and reading in place: producers killed at random,
most of them inside `reserve` blocks (they fill each message in two halves
with a pause between), and in-place consumers killed while they read.

Checked: every message a consumer receives is whole (its checksum matches)
and arrives once; the ring keeps moving (after the last kill, a fresh
producer's messages all get through) and ends empty.

    python tests/soak/reserve_soak.py --kills 60
"""

import argparse
import hashlib
import multiprocessing as mp
import os
import random
import signal
import struct
import sys
import time

import veskline

HEAD = struct.Struct("<II32s")  # producer, sequence, digest of the body


def producer(name, index, pause):
    q = veskline.BytesQueue.attach(name)
    rng = random.Random(index)
    seq = 0
    while True:
        body = rng.randbytes(rng.randrange(16, 60_000))
        with q.reserve(HEAD.size + len(body)) as buf:
            half = len(body) // 2
            buf[HEAD.size:HEAD.size + half] = body[:half]
            time.sleep(pause)  # a kill often lands here, half written
            buf[HEAD.size + half:] = body[half:]
            buf[:HEAD.size] = HEAD.pack(index, seq, hashlib.blake2b(body, digest_size=32).digest())
        seq += 1


def consumer(name, log):
    q = veskline.BytesQueue.attach(name)
    while True:
        try:
            with q.recv_view(timeout=0.5) as mv:
                who, seq, digest = HEAD.unpack_from(mv)
                ok = hashlib.blake2b(mv[HEAD.size:], digest_size=32).digest() == digest
                # One line per message, written whole: a killed consumer's
                # message goes to another consumer, so a line may repeat
                # only if the kill fell between this write and the finish.
                os.write(log, f"{who} {seq} {int(ok)}\n".encode())
        except veskline.Empty:
            continue


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--kills", type=int, default=60)
    ap.add_argument("--quiet", action="store_true")
    args = ap.parse_args()
    ctx = mp.get_context("fork")
    q = veskline.BytesQueue(capacity=1 << 20)
    read_end, log = os.pipe()
    os.set_blocking(read_end, False)
    lines = []

    def drain_log():
        while True:
            try:
                chunk = os.read(read_end, 1 << 16)
            except BlockingIOError:
                return
            if not chunk:
                return
            lines.append(chunk)

    producers = {}
    consumers = []
    next_index = 0

    def start_producer():
        nonlocal next_index
        p = ctx.Process(target=producer, args=(q.name, next_index, 0.002), daemon=True)
        p.start()
        producers[next_index] = p
        next_index += 1

    for _ in range(3):
        start_producer()
    for _ in range(2):
        c = ctx.Process(target=consumer, args=(q.name, log), daemon=True)
        c.start()
        consumers.append(c)

    rng = random.Random(1)
    consumer_kills = 0
    for _ in range(args.kills):
        time.sleep(rng.uniform(0.005, 0.04))
        drain_log()
        if rng.random() < 0.8:
            index = rng.choice(list(producers))
            p = producers.pop(index)
            os.kill(p.pid, signal.SIGKILL)
            p.join()
            start_producer()
        else:
            i = rng.randrange(len(consumers))
            os.kill(consumers[i].pid, signal.SIGKILL)
            consumers[i].join()
            consumer_kills += 1
            consumers[i] = ctx.Process(target=consumer, args=(q.name, log), daemon=True)
            consumers[i].start()

    # Stop the producers; a fresh one must get 50 messages through.
    for p in producers.values():
        os.kill(p.pid, signal.SIGKILL)
        p.join()
    last = ctx.Process(target=producer, args=(q.name, 10_000, 0), daemon=True)
    last.start()
    deadline = time.monotonic() + 60
    seen_last = 0
    while seen_last < 50 and time.monotonic() < deadline:
        time.sleep(0.05)
        drain_log()
        seen_last = sum(1 for line in b"".join(lines).decode().splitlines()
                        if line.startswith("10000 "))
    os.kill(last.pid, signal.SIGKILL)
    last.join()
    time.sleep(1.0)  # the consumers take what is left
    drain_log()
    for c in consumers:
        os.kill(c.pid, signal.SIGKILL)
        c.join()
    drain_log()

    records = [tuple(map(int, line.split())) for line in b"".join(lines).decode().splitlines()]
    bad = [r for r in records if r[2] != 1]
    keys = [(r[0], r[1]) for r in records]
    repeats = len(keys) - len(set(keys))
    remaining = q.qsize()
    q.close()
    report = (f"reserve soak: {args.kills} kills ({consumer_kills} of consumers), "
              f"{len(records)} messages received, {len(bad)} damaged, {repeats} repeated, "
              f"{seen_last} of 50 through after the last kill, {remaining} left queued")
    if not args.quiet or bad or seen_last < 50 or remaining or repeats > consumer_kills:
        print(report)
    # A repeat needs a consumer killed between its report and its finish.
    failed = bad or seen_last < 50 or remaining or repeats > consumer_kills
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
