"""Ctrl-C latency of veskline_core's blocking calls, and the state they leave.

    python bench/core_interrupt.py [--tries 30]

For each call (get_bytes and recv_view on an empty ring, put_bytes on a full
one, get_result on an empty result ring, put_task on a full task ring, and
VeskLock.acquire while another process holds the lock), a child process
blocks its main thread in it and is sent SIGINT, --tries times; the median
and worst time to KeyboardInterrupt are printed. Afterwards the child checks
that nothing changed: every byte of the ring's shared object is as before the
tries, and the lock is still the holder's and, once released, is taken
cleanly (no recovery).
"""

from __future__ import annotations

import argparse
import os
import secrets
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from interrupt import blocked_tries, report_state, run_case  # noqa: E402

SHM = "/dev/shm/"
# The `waiting` words of the ring header's two wake words (ring_layout.h): a
# waiter sets its word before it sleeps and only the next wake-up clears it.
_WAITING_FLAGS = set(range(128 + 4, 128 + 8)) | set(range(256 + 4, 256 + 8))


def _snapshot(name: str) -> bytes:
    with open(SHM + name.lstrip("/"), "rb") as f:
        return f.read()


def _fill_from_a_child(put) -> None:
    """Fills a ring by putting 4 KiB messages from a forked child until it
    blocks, then kills it (a killed producer leaves no half message)."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        while True:
            put(b"x" * 4096)
            os.write(write_end, b".")
    os.close(write_end)
    os.set_blocking(read_end, False)
    last = time.monotonic()
    while time.monotonic() - last < 0.3:
        try:
            if os.read(read_end, 65536):
                last = time.monotonic()
        except BlockingIOError:
            pass
        time.sleep(0.01)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    os.close(read_end)


def _ring_case(tries, name, call, cleanup) -> None:
    try:
        before = _snapshot(name)
        blocked_tries(tries, call)
        after = _snapshot(name)
        changed = [i for i in range(len(before)) if before[i] != after[i]]
        flags = [i for i in changed if i in _WAITING_FLAGS]
        others = [i for i in changed if i not in _WAITING_FLAGS]
        if others:
            report_state(f"CHANGED at offsets {others[:16]}")
        else:
            report_state("every byte unchanged" + (
                "" if not flags else " but the ring's 'somebody may be waiting' flag, left set "
                "as a killed waiter leaves it (one spare wake-up at the next put)"))
    finally:
        cleanup()


def _queue(full: bool):
    import veskline_core as vc

    name = f"vkbench_int_{os.getpid()}_{secrets.token_hex(4)}"
    q = vc.VeskQueue(name, 1)
    # One message through first: glibc marks a robust mutex on its first
    # lock, which is no change of the ring's state.
    q.put_bytes(b"first")
    q.get_bytes()
    if full:
        _fill_from_a_child(q.put_bytes)
    return q, name, lambda: vc.VeskQueue.unlink(name)


def case_get_bytes(tries):
    q, name, cleanup = _queue(full=False)
    _ring_case(tries, name, q.get_bytes, cleanup)


def case_recv_view(tries):
    q, name, cleanup = _queue(full=False)
    _ring_case(tries, name, q.recv_view, cleanup)


def case_put_bytes(tries):
    q, name, cleanup = _queue(full=True)
    _ring_case(tries, name, lambda: q.put_bytes(b"y" * 4096), cleanup)


def case_get_result(tries):
    import veskline_core as vc

    pool = vc.VeskPoolCore(1)
    vc.VeskQueue(pool.result_q_name, 1).put_bytes(b"first")
    pool.get_result()
    _ring_case(tries, pool.result_q_name, pool.get_result, pool.unlink)


def case_put_task(tries):
    import veskline_core as vc

    pool = vc.VeskPoolCore(1)
    _fill_from_a_child(pool.put_task)
    _ring_case(tries, pool.task_q_name, lambda: pool.put_task(b"y" * 4096), pool.unlink)


def case_lock_acquire(tries):
    import veskline_core as vc

    name = f"vkbench_int_{os.getpid()}_{secrets.token_hex(4)}"
    lock = vc.VeskLock(name)
    to_holder_r, to_holder_w = os.pipe()
    from_holder_r, from_holder_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        lock.acquire()
        os.write(from_holder_w, b"h")
        os.read(to_holder_r, 1)
        lock.release()
        os.write(from_holder_w, b"r")
        os._exit(0)
    try:
        os.read(from_holder_r, 1)
        blocked_tries(tries, lock.acquire)
        os.write(to_holder_w, b"g")
        os.read(from_holder_r, 1)
        os.waitpid(pid, 0)
        try:
            lock.acquire()  # clean: the interrupted waits left nothing behind
            lock.release()
            report_state("free, taken cleanly after the holder released it")
        except vc.LockRecovered:
            lock.release()
            report_state("RECOVERED: an interrupted wait left the lock owner-dead")
    finally:
        vc.VeskLock.unlink(name)


CASES = ["get_bytes", "recv_view", "put_bytes", "get_result", "put_task", "lock_acquire"]


def main(argv=None) -> dict:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tries", type=int, default=30)
    args = parser.parse_args(argv)
    results = {}
    print(f"veskline_core: Ctrl-C on a blocked call, {args.tries} tries each")
    for case in CASES:
        result = run_case("core_interrupt", case, args.tries)
        results[case] = result
        print(f"  {case:<14} median {result['median_ms']:6.2f} ms   worst {result['max_ms']:6.2f} ms"
              f"   state: {result['state']}", flush=True)
    return results


if __name__ == "__main__":
    main()
