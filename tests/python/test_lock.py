"""VeskLock across real processes: exclusion, recovery from dead holders, names."""

import os
import signal
import threading
import time

import pytest

import veskline_core as vc
from helpers import run, spawn, wait_for_line

HOLD = """
lock = vc.VeskLock(sys.argv[1])
lock.acquire()
print("held", flush=True)
time.sleep(60)
"""


def kill(proc):
    proc.send_signal(signal.SIGKILL)
    proc.wait(timeout=10)


def test_with_binds_none_and_releases_on_error(shm_name):
    name = shm_name()
    lock = vc.VeskLock(name)
    with pytest.raises(KeyError):
        with lock as bound:
            assert bound is None
            raise KeyError("inside")
    # Free again: another process takes and releases it at once.
    rc, out, err = run("l = vc.VeskLock(sys.argv[1]); l.acquire(); l.release(); print('ok')", name)
    assert (rc, out.strip()) == (0, "ok"), err


def test_exclusion_across_processes(shm_name):
    name = shm_name()
    lock = vc.VeskLock(name)
    lock.acquire()
    child = spawn("""
    lock = vc.VeskLock(sys.argv[1])
    print("waiting", flush=True)
    lock.acquire()
    print("got", flush=True)
    lock.release()
    """, name)
    wait_for_line(child, "waiting")
    time.sleep(0.3)
    assert child.poll() is None  # still blocked while we hold it
    lock.release()
    wait_for_line(child, "got")
    assert child.wait(timeout=10) == 0


def test_waiting_acquire_lets_other_threads_run(shm_name):
    name = shm_name()
    holder = spawn(HOLD, name)
    try:
        wait_for_line(holder, "held")
        lock = vc.VeskLock(name)
        ticks = []
        outcome = []

        def waiter():
            try:
                lock.acquire()
                outcome.append("acquired")
            except vc.LockRecovered:
                outcome.append("recovered")
            lock.release()

        thread = threading.Thread(target=waiter)
        thread.start()
        # This thread keeps running while the waiter is blocked, over several
        # of the wait's slices: a wait that kept the interpreter lock would
        # stall it for good, one that took it back for long between slices
        # would leave long gaps between its ticks.
        deadline = time.monotonic() + 0.6
        while (now := time.monotonic()) < deadline:
            ticks.append(now)
            time.sleep(0.005)
        longest_gap = max(b - a for a, b in zip(ticks, ticks[1:] + [time.monotonic()]))
        assert len(ticks) > 10 and longest_gap < 0.4 and not outcome
        kill(holder)
        thread.join(timeout=10)
        assert outcome == ["recovered"]
    finally:
        holder.kill()


def test_killed_holder_gives_lock_recovered(shm_name):
    name = shm_name()
    holder = spawn(HOLD, name)
    wait_for_line(holder, "held")
    kill(holder)
    lock = vc.VeskLock(name)
    with pytest.raises(vc.LockRecovered) as info:
        lock.acquire()
    assert str(info.value) == "Lock recovered from dead process"
    # We hold it now: another process must wait; once released, the lock is
    # a clean one again (a second LockRecovered would raise below).
    rc, out, _ = run("""
    l = vc.VeskLock(sys.argv[1])
    t = __import__('threading').Thread(target=l.acquire, daemon=True); t.start(); t.join(0.3)
    print('blocked' if t.is_alive() else 'free')
    """, name)
    assert out.strip() == "blocked"
    lock.release()
    lock.acquire()  # a normal acquisition now
    lock.release()


def test_with_on_recovered_lock_raises_before_the_block(shm_name):
    name = shm_name()
    holder = spawn(HOLD, name)
    wait_for_line(holder, "held")
    kill(holder)
    lock = vc.VeskLock(name)
    entered = []
    with pytest.raises(vc.LockRecovered):
        with lock:
            entered.append(1)
    assert entered == []
    lock.release()  # __exit__ never ran: the lock is still ours


def test_holder_that_dropped_its_instance_still_hands_over(shm_name):
    name = shm_name()
    holder = spawn("""
    import gc
    lock = vc.VeskLock(sys.argv[1])
    lock.acquire()
    del lock
    gc.collect()
    print("dropped", flush=True)
    time.sleep(60)
    """, name)
    wait_for_line(holder, "dropped")
    kill(holder)
    lock = vc.VeskLock(name)
    result = []
    thread = threading.Thread(target=lambda: result.append(_acquire_kind(lock)), daemon=True)
    thread.start()
    thread.join(timeout=10)
    assert result == ["recovered"], "the lock never became owner-dead"


def test_thread_that_dropped_its_instance_and_ended_hands_over(shm_name):
    name = shm_name()

    def hold_and_drop():
        vc.VeskLock(name).acquire()

    thread = threading.Thread(target=hold_and_drop)
    thread.start()
    thread.join()
    lock = vc.VeskLock(name)
    result = []
    waiter = threading.Thread(target=lambda: result.append(_acquire_kind(lock)), daemon=True)
    waiter.start()
    waiter.join(timeout=10)
    assert result == ["recovered"], "the lock never became owner-dead"


def _acquire_kind(lock):
    """Acquires and releases on the calling thread; says how the lock came."""
    try:
        lock.acquire()
        kind = "clean"
    except vc.LockRecovered:
        kind = "recovered"
    lock.release()
    return kind


def test_second_acquire_by_the_holder_fails_at_once(shm_name):
    name = shm_name()
    first, second = vc.VeskLock(name), vc.VeskLock(name)
    first.acquire()
    for handle in (first, second):
        with pytest.raises(RuntimeError) as info:
            handle.acquire()
        assert str(info.value) == "Lock failure: Pthread error: 35"
    second.release()  # two handles on one lock: either releases it


def test_release_by_non_holder(shm_name):
    name = shm_name()
    lock = vc.VeskLock(name)
    with pytest.raises(RuntimeError) as info:
        lock.release()
    assert str(info.value) == "Unlock failed: Pthread error: 1"
    lock.acquire()
    errors = []

    def other_thread():
        try:
            lock.release()
        except RuntimeError as exc:
            errors.append(str(exc))

    t = threading.Thread(target=other_thread)
    t.start()
    t.join()
    assert errors == ["Unlock failed: Pthread error: 1"]
    lock.release()


def test_unlink_and_names(shm_name):
    name = shm_name()
    vc.VeskLock(name)
    assert os.path.exists("/dev/shm/" + name)
    assert vc.VeskLock.unlink("/" + name) is None  # "jobs" and "/jobs" are one name
    with pytest.raises(RuntimeError) as info:
        vc.VeskLock.unlink(name)
    assert str(info.value) == "Unlink failed: Nix error: ENOENT: No such file or directory"
    for bad in ["", "/", "a/b"]:
        with pytest.raises(RuntimeError) as info:
            vc.VeskLock(bad)
        assert str(info.value) == "Failed to create shm: Nix error: EINVAL: Invalid argument"
    with pytest.raises(RuntimeError) as info:
        vc.VeskLock("a\0b")
    assert str(info.value) == (
        "Failed to create shm: CString error: nul byte found in provided data at position: 2")


def test_unlinked_name_makes_a_new_lock(shm_name):
    name = shm_name()
    old = vc.VeskLock(name)
    old.acquire()
    vc.VeskLock.unlink(name)
    fresh = vc.VeskLock(name)
    fresh.acquire()  # a separate lock: not blocked, not a deadlock error
    fresh.release()
    old.release()


def test_many_processes_create_one_new_name_at_once(shm_name):
    name = shm_name()
    start = time.monotonic() + 1.0
    code = """
    target = float(sys.argv[2])
    while time.monotonic() < target:
        pass
    lock = vc.VeskLock(sys.argv[1])
    for _ in range(50):
        with lock:
            pass
    print("ok", flush=True)
    """
    children = [spawn(code, name, start) for _ in range(12)]
    results = [c.communicate(timeout=60) for c in children]
    for child, (out, err) in zip(children, results):
        assert child.returncode == 0 and out.strip() == "ok", err
