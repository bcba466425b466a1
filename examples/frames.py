"""A frame pipeline: 1920x1080 RGB frames (NumPy, 6 MB each) from one producer
to consumers that read them in place, over four transports side by side:

  veskline Queue      q.put(frame); `with q.get_view() as frame:` (the pickle's
                      out-of-band buffer is written straight into the ring, and
                      read there as a read-only array)
  veskline BytesQueue q.put(frame) (one copy, by veskline); `with q.recv_view() as mv:`
  veskline reserve    `with q.reserve(n) as buf:` the producer copies the frame in
                      itself (np.copyto, as shared_memory's producer does); the
                      way to go when it can make the frame there in the first place
  mp.Queue            multiprocessing.Queue: pickled through a pipe
  shared_memory       the usual hand-made way: frame slots in a
                      multiprocessing.shared_memory block, their indices
                      passed through two multiprocessing.Queues (free, ready)

Each consumer checks every frame (its number, stamped into its first pixels,
and a sum over a sparse grid of pixels) and reports how many it saw.

    python examples/frames.py [--frames 200] [--consumers 2]
"""

import argparse
import multiprocessing as mp
import sys
import time
from multiprocessing import shared_memory

import numpy as np

import veskline

SHAPE = (1080, 1920, 3)
NBYTES = SHAPE[0] * SHAPE[1] * SHAPE[2]
SLOTS = 8  # frames in flight: the rings below and the shared-memory block hold this many
CAPACITY = (SLOTS * (NBYTES + 4096) + (1 << 20)) // 4096 * 4096


def source_frames(n=4):
    rng = np.random.default_rng(0)
    return [rng.integers(0, 256, SHAPE, dtype=np.uint8) for _ in range(n)]


def stamp(frame, number):
    frame[0, :4, 0] = np.frombuffer(np.uint32(number).tobytes(), np.uint8)


def check(frame):
    """The frame's number and a cheap sum: what a consumer computes per frame."""
    number = int(np.frombuffer(frame[0, :4, 0].tobytes(), np.uint32)[0])
    return number, int(frame[::120, ::120, 1].sum())


# --- consumers -------------------------------------------------------------------


def consume_queue(q, done):
    seen = 0
    while True:
        with q.get_view() as frame:
            if frame is None:
                break
            check(frame)
            seen += 1
            # Done with it: the message is finished as the block ends. A frame
            # still referenced after its block stays valid (it is kept in the
            # ring, or copied aside once this process waits for the next one).
            del frame
    done.put(seen)


def consume_bytes(q, done):
    seen = 0
    while True:
        with q.recv_view() as mv:
            if mv.nbytes == 0:
                break
            check(np.frombuffer(mv, np.uint8).reshape(SHAPE))
            seen += 1
    done.put(seen)


def consume_mp(q, done):
    seen = 0
    while (frame := q.get()) is not None:
        check(frame)
        seen += 1
    done.put(seen)


def consume_shm(name, free, ready, done):
    block = shared_memory.SharedMemory(name)
    slots = np.ndarray((SLOTS,) + SHAPE, np.uint8, block.buf)
    seen = 0
    while (index := ready.get()) is not None:
        check(slots[index])
        free.put(index)
        seen += 1
    del slots
    block.close()
    done.put(seen)


# --- producers (this process) ---------------------------------------------------


def run(kind, frames, consumers, ctx=None):
    """Frames per second through `kind`, from this process to `consumers`."""
    ctx = ctx or mp.get_context("fork")
    sources = source_frames()
    done = ctx.Queue()
    cleanup = []
    if kind == "veskline Queue":
        q = veskline.Queue(capacity=CAPACITY)
        cleanup.append(q.close)
        workers = [ctx.Process(target=consume_queue, args=(q, done)) for _ in range(consumers)]

        def send(i, frame):
            q.put(frame)

        def finish():
            for _ in workers:
                q.put(None)
    elif kind in ("veskline BytesQueue", "veskline reserve"):
        q = veskline.BytesQueue(capacity=CAPACITY)
        cleanup.append(q.close)
        workers = [ctx.Process(target=consume_bytes, args=(q, done)) for _ in range(consumers)]

        if kind == "veskline BytesQueue":
            def send(i, frame):
                q.put(frame)
        else:
            def send(i, frame):
                with q.reserve(NBYTES) as buf:
                    np.copyto(np.frombuffer(buf, np.uint8).reshape(SHAPE), frame)

        def finish():
            for _ in workers:
                q.put(b"")
    elif kind == "mp.Queue":
        q = ctx.Queue(SLOTS)
        workers = [ctx.Process(target=consume_mp, args=(q, done)) for _ in range(consumers)]

        def send(i, frame):
            q.put(frame)

        def finish():
            for _ in workers:
                q.put(None)
    elif kind == "shared_memory":
        block = shared_memory.SharedMemory(create=True, size=SLOTS * NBYTES)
        slots = np.ndarray((SLOTS,) + SHAPE, np.uint8, block.buf)
        free, ready = ctx.Queue(), ctx.Queue()
        for index in range(SLOTS):
            free.put(index)
        workers = [ctx.Process(target=consume_shm, args=(block.name, free, ready, done))
                   for _ in range(consumers)]

        def send(i, frame):
            index = free.get()
            np.copyto(slots[index], frame)
            ready.put(index)

        def finish():
            for _ in workers:
                ready.put(None)

        def drop_block():
            nonlocal slots
            del slots
            block.close()
            block.unlink()
        cleanup.append(drop_block)
    else:
        raise ValueError(kind)

    try:
        for w in workers:
            w.start()
        start = time.perf_counter()
        for i in range(frames):
            frame = sources[i % len(sources)]
            stamp(frame, i)
            send(i, frame)
        finish()
        seen = sum(done.get(timeout=120) for _ in workers)
        elapsed = time.perf_counter() - start
        for w in workers:
            w.join(30)
        if seen != frames:
            raise RuntimeError(f"{kind}: {seen} of {frames} frames arrived")
        return frames / elapsed
    finally:
        for w in workers:
            if w.is_alive():
                w.kill()
        for step in cleanup:
            step()


KINDS = ["veskline Queue", "veskline BytesQueue", "veskline reserve", "mp.Queue", "shared_memory"]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--frames", type=int, default=200)
    ap.add_argument("--consumers", type=int, default=2)
    args = ap.parse_args()
    print(f"frame pipeline: {args.frames} frames of {SHAPE[1]}x{SHAPE[0]}x3 uint8 "
          f"({NBYTES / 1e6:.1f} MB), 1 producer -> {args.consumers} consumers reading in place")
    rates = {}
    for kind in KINDS:
        rates[kind] = run(kind, args.frames, args.consumers)
        print(f"  {kind:<22} {rates[kind]:8.1f} frames/s  "
              f"({rates[kind] * NBYTES / 1e9:5.2f} GB/s)", flush=True)
    base = rates["mp.Queue"]
    print("  veskline Queue: "
          f"{rates['veskline Queue'] / base:.1f}x mp.Queue, "
          f"{rates['veskline Queue'] / rates['shared_memory']:.2f}x shared_memory + index queues")
    return 0


if __name__ == "__main__":
    sys.exit(main())
