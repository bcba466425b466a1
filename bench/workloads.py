"""Benchmark workloads, each run in freshly forked processes.

stream: P producers send fixed-size payloads to C consumers. One set of
processes runs a short calibration round and then the timed repeats; all
processes meet at a barrier before each round. A round's time runs from the
earliest producer's first send to the latest consumer's last receive.

pingpong: a client sends a 64-byte message on one channel, the server answers
on a second channel with a 64-byte message of its own; every round trip is
timed by the client.
"""

from __future__ import annotations

import os
import statistics
import time
import traceback

from transports import CTX, Transport

BARRIER_TIMEOUT = 120.0



def _fail(ctl):
    """Reports a worker's exception, releases the others from the barrier and
    ends the process without running the parent's clean-up."""
    traceback.print_exc()
    ctl["failed"].value = 1
    ctl["barrier"].abort()
    os._exit(1)

def _payload(size: int) -> bytes:
    # Non-zero bytes, so that no layer can shortcut a page of zeros.
    block = os.urandom(min(size, 4096)) or b"\x01"
    return (block * (size // len(block) + 1))[:size]


def _first_count(size: int) -> int:
    return max(16, min(20000, (32 << 20) // max(size, 1)))


def _producer(tr, state, size, index, producers, ctl):
    try:
        send = tr.sender(state, 0, index)
        payload = _payload(size)
        rnd = 0
        while True:
            ctl["barrier"].wait(BARRIER_TIMEOUT)
            n = ctl["count"][rnd]
            if n == 0:
                break
            share = n // producers + (1 if index < n % producers else 0)
            ctl["sent"][rnd * producers + index] = share
            ctl["t0"][rnd * producers + index] = time.perf_counter()
            for _ in range(share):
                send(payload)
            if producers > 1:
                # One stop signal per consumer behind this producer's data.
                # Each consumer stops at its `producers`-th signal, so all of
                # them together take every signal, and every message comes
                # before its producer's signals.
                for _ in range(ctl["consumers"]):
                    send(b"")
            rnd += 1
        # Let zmq hand over what it still holds before the process goes.
        time.sleep(0.05)
    except BaseException:
        _fail(ctl)


def _consumer(tr, state, size, index, producers, consumers, ctl, rounds, target_s):
    try:
        consume, take = tr.consumer(state, 0, index)
        n = ctl["count"][0]
        ctl["barrier"].wait(BARRIER_TIMEOUT)
        for rnd in range(rounds):
            if producers == 1 and consumers == 1:
                total = consume(n)
                got = n
            else:
                total = got = seen = 0
                while True:
                    k = take()
                    if k == 0:
                        seen += 1
                        if seen == producers:
                            break
                        continue
                    total += k
                    got += 1
            end = time.perf_counter()
            ctl["t1"][rnd * consumers + index] = end
            ctl["got"][rnd * consumers + index] = got
            if total != got * size:
                raise RuntimeError(f"received {total} bytes in {got} messages of {size}")
            if index == 0:
                # Size the next round from this one: aim at target_s seconds.
                start = min(ctl["t0"][rnd * producers + p] for p in range(producers))
                elapsed = max(end - start, 1e-6)
                if rnd == rounds - 1:
                    n = 0
                else:
                    n = int(n * target_s / elapsed) if rnd == 0 else n
                    n = max(16, min(n, 50_000_000))
                ctl["count"][rnd + 1] = n
            ctl["barrier"].wait(BARRIER_TIMEOUT)
            n = ctl["count"][rnd + 1]
    except BaseException:
        _fail(ctl)


def _reap(procs, timeout):
    deadline = time.monotonic() + timeout
    for p in procs:
        p.join(max(0.1, deadline - time.monotonic()))
    hung = [p for p in procs if p.is_alive()]
    for p in hung:
        p.kill()
        p.join()
    return not hung and all(p.exitcode == 0 for p in procs)


def run_stream(tr: Transport, size: int, producers: int, consumers: int,
               repeats: int, target_s: float) -> list[float]:
    """Messages per second of each timed repeat."""
    rounds = repeats + 1  # the first round calibrates and warms up
    state = tr.setup(size, 1, producers, consumers)
    try:
        ctl = {
            "barrier": CTX.Barrier(producers + consumers),
            # One count per round: a consumer can finish a round on one
            # producer's stop signals and size the next round before a slow
            # producer has read this round's count.
            "count": CTX.RawArray("q", [_first_count(size)] + [0] * rounds),
            "t0": CTX.RawArray("d", rounds * producers),
            "t1": CTX.RawArray("d", rounds * consumers),
            "sent": CTX.RawArray("q", rounds * producers),
            "got": CTX.RawArray("q", rounds * consumers),
            "failed": CTX.RawValue("i", 0),
            "consumers": consumers,
        }
        procs = [CTX.Process(target=_consumer,
                             args=(tr, state, size, c, producers, consumers, ctl, rounds, target_s))
                 for c in range(consumers)]
        procs += [CTX.Process(target=_producer, args=(tr, state, size, p, producers, ctl))
                  for p in range(producers)]
        for p in procs:
            p.start()
        ok = _reap(procs, timeout=rounds * (target_s * 20 + 10) + 30)
        if not ok or ctl["failed"].value:
            raise RuntimeError(f"{tr.name}: a benchmark process failed or hung")
        rates = []
        for rnd in range(rounds):
            sent = sum(ctl["sent"][rnd * producers + p] for p in range(producers))
            got = sum(ctl["got"][rnd * consumers + c] for c in range(consumers))
            # A message lost, duplicated or spilled into another round would
            # make every rate wrong; refuse the run instead.
            if got != sent:
                raise RuntimeError(f"{tr.name}: round {rnd} delivered {got} of {sent} messages")
            if rnd == 0:
                continue  # the calibration round is not timed
            start = min(ctl["t0"][rnd * producers + p] for p in range(producers))
            end = max(ctl["t1"][rnd * consumers + c] for c in range(consumers))
            rates.append(got / (end - start))
        return rates
    finally:
        tr.teardown(state)


def _pp_server(tr, state, ctl):
    try:
        send = tr.sender(state, 1, 0)
        _, take = tr.consumer(state, 0, 0)
        reply = _payload(64)
        ctl["barrier"].wait(BARRIER_TIMEOUT)
        while take():
            send(reply)
        time.sleep(0.05)
    except BaseException:
        _fail(ctl)


def _pp_client(tr, state, ctl, repeats, target_s):
    try:
        _, take = tr.consumer(state, 1, 0)
        send = tr.sender(state, 0, 0)
        msg = _payload(64)
        ctl["barrier"].wait(BARRIER_TIMEOUT)
        clock = time.perf_counter_ns
        for _ in range(500):  # warm-up
            send(msg)
            take()
        for rnd in range(repeats):
            lat = []
            stop = clock() + int(target_s * 1e9)
            while True:
                t = clock()
                send(msg)
                take()
                e = clock()
                lat.append(e - t)
                if e > stop and len(lat) >= 100:
                    break
            lat.sort()
            ctl["med"][rnd] = lat[len(lat) // 2] * 1e-9
            ctl["p99"][rnd] = lat[(len(lat) * 99) // 100] * 1e-9
        send(b"")
        time.sleep(0.05)
    except BaseException:
        _fail(ctl)


def run_pingpong(tr: Transport, repeats: int, target_s: float) -> tuple[list[float], list[float]]:
    """Median and p99 round-trip seconds of each repeat."""
    state = tr.setup(64, 2, 1, 1)
    try:
        ctl = {"barrier": CTX.Barrier(2), "med": CTX.RawArray("d", repeats),
               "p99": CTX.RawArray("d", repeats), "failed": CTX.RawValue("i", 0)}
        procs = [CTX.Process(target=_pp_server, args=(tr, state, ctl)),
                 CTX.Process(target=_pp_client, args=(tr, state, ctl, repeats, target_s))]
        for p in procs:
            p.start()
        ok = _reap(procs, timeout=repeats * (target_s * 20 + 10) + 30)
        if not ok or ctl["failed"].value:
            raise RuntimeError(f"{tr.name}: a ping-pong process failed or hung")
        return list(ctl["med"]), list(ctl["p99"])
    finally:
        tr.teardown(state)


def median(xs):
    return statistics.median(xs)
