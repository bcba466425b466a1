"""Several processes take turns on one VeskLock; one is killed while holding it.

The next process to acquire the lock gets LockRecovered (and holds the lock),
repairs whatever the dead holder left half-done, and everybody carries on.
"""

import multiprocessing as mp
import os
import signal
import sys
import time
import uuid

import veskline_core as vc

ROUNDS = 3


def worker(lock_name, index, holding_event, doomed):
    lock = vc.VeskLock(lock_name)
    for round_ in range(ROUNDS):
        try:
            lock.acquire()
        except vc.LockRecovered:
            print(f"  worker {index}: took over from a dead holder (LockRecovered)", flush=True)
        try:
            print(f"  worker {index}: holds the lock (round {round_ + 1})", flush=True)
            if doomed:
                holding_event.set()
                time.sleep(60)  # killed here, lock held
            time.sleep(0.05)
        finally:
            lock.release()


def main():
    lock_name = f"vk_demo_lock_{uuid.uuid4().hex[:8]}"
    ctx = mp.get_context("spawn")
    holding = ctx.Event()
    print(f"lock demo: 4 processes share the lock {lock_name!r}; worker 0 dies holding it")
    vc.VeskLock(lock_name)  # create it up front
    try:
        doomed = ctx.Process(target=worker, args=(lock_name, 0, holding, True))
        doomed.start()
        if not holding.wait(timeout=30):
            sys.exit("worker 0 never took the lock")
        others = [ctx.Process(target=worker, args=(lock_name, i, holding, False)) for i in (1, 2, 3)]
        for proc in others:
            proc.start()
        time.sleep(0.3)  # the others are now queued behind the doomed holder
        print(f"  killing worker 0 (pid {doomed.pid}) while it holds the lock", flush=True)
        os.kill(doomed.pid, signal.SIGKILL)
        doomed.join()
        for proc in others:
            proc.join(timeout=60)
            if proc.exitcode != 0:
                sys.exit(f"worker exited with {proc.exitcode}")
        print("lock demo: every worker finished its rounds after the takeover\n")
    finally:
        vc.VeskLock.unlink(lock_name)


if __name__ == "__main__":
    main()
