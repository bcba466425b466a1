"""veskline.Lock across real processes: timeouts, dead holders, Ctrl-C, pickling, names."""

import multiprocessing as mp
import os
import pickle
import signal
import threading
import time

import pytest

import veskline
from helpers import spawn, unique_name, unlink_quietly, wait_for_line

# Takes the lock named in argv[1], says so, and holds it until killed (or,
# with "release" in argv[2], until a line arrives on stdin).
HOLDER = """
import veskline
lock = veskline.Lock.attach(sys.argv[1])
lock.acquire()
print("held", flush=True)
if sys.argv[2:] == ["release"]:
    sys.stdin.readline()
    lock.release()
    print("released", flush=True)
time.sleep(60)
"""


@pytest.fixture
def lock():
    made = veskline.Lock()
    yield made
    made.close()
    assert not os.path.exists("/dev/shm/" + made.name)


def holder(lock, release=False):
    import subprocess

    proc = spawn(HOLDER, lock.name, *(["release"] if release else []), stdin=subprocess.PIPE)
    wait_for_line(proc, "held")
    return proc


def stop(proc):
    proc.kill()
    proc.wait(timeout=10)


def test_contended_timeouts_never_return_early(lock):
    proc = holder(lock)
    try:
        assert lock.acquire(block=False) is False
        assert lock.acquire(False, -5) is False  # block=False ignores the timeout
        for timeout in (0.0, 0.01, 0.2):
            start = time.monotonic()
            assert lock.acquire(timeout=timeout) is False
            assert time.monotonic() - start >= timeout
        with pytest.raises(ValueError, match="non-negative"):
            lock.acquire(timeout=-0.001)
        with pytest.raises(ValueError):
            lock.acquire(timeout=float("nan"))
    finally:
        stop(proc)


def test_dead_holder_runs_the_with_body_with_recovered_set(lock):
    calls = []
    lock.on_recovered = calls.append
    stop(holder(lock))
    entered = False
    with lock as acquired:
        entered = True
        assert acquired is True and lock.recovered is True
    assert entered and calls == [lock]
    # The next acquisition is a clean one.
    with lock:
        assert lock.recovered is False
    assert calls == [lock]


def test_raising_on_recovered_leaves_the_lock_free(lock):
    def fail(_):
        raise KeyError("repair failed")

    lock.on_recovered = fail
    stop(holder(lock))
    with pytest.raises(KeyError):
        with lock:
            pytest.fail("body must not run when the callback raised")
    assert not lock.locked()
    assert lock.acquire(False) and not lock.recovered
    lock.release()


def test_ctrl_c_during_a_contended_acquire_leaves_the_lock_free(lock):
    proc = holder(lock, release=True)
    try:
        threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
        start = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            lock.acquire()
        assert time.monotonic() - start < 5
        assert lock.locked()  # still the holder's, not ours
        proc.stdin.write("go\n")
        proc.stdin.flush()
        wait_for_line(proc, "released")
        assert not lock.locked()
        assert lock.acquire(False)
        lock.release()
    finally:
        stop(proc)


def test_release_errors_and_own_thread_deadlock(lock):
    with pytest.raises(ValueError, match="not held"):
        lock.release()
    lock.acquire()
    try:
        error = []
        worker = threading.Thread(target=lambda: error.append(_raises(lock.release)))
        worker.start()
        worker.join()
        assert error == [RuntimeError]
        assert lock.acquire(False) is False
        start = time.monotonic()
        assert lock.acquire(timeout=0.05) is False
        assert time.monotonic() - start >= 0.05
        with pytest.raises(RuntimeError, match="already holds"):
            lock.acquire()
    finally:
        lock.release()


def _raises(call):
    try:
        call()
    except Exception as exc:  # noqa: BLE001 - the type is the result
        return type(exc)
    return None


def _count(lock, path, rounds):
    for _ in range(rounds):
        with lock:
            with open(path) as f:
                value = int(f.read())
            with open(path, "w") as f:
                f.write(str(value + 1))


@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
def test_excludes_across_children_of_every_start_method(lock, tmp_path, method):
    path = tmp_path / "counter"
    path.write_text("0")
    ctx = mp.get_context(method)
    children = [ctx.Process(target=_count, args=(lock, str(path), 200)) for _ in range(3)]
    for child in children:
        child.start()
    for child in children:
        child.join(60)
        assert child.exitcode == 0
    assert path.read_text() == "600"


def test_unpickled_handle_never_creates_a_removed_lock():
    lock = veskline.Lock()
    data = pickle.dumps(lock)
    copy = pickle.loads(data)
    assert copy.name == lock.name and "owner" not in repr(copy)
    lock.close()
    with pytest.raises(FileNotFoundError, match="was removed"):
        pickle.loads(data)
    assert not os.path.exists("/dev/shm/" + lock.name)


def test_owned_lock_removed_when_owner_is_killed_named_one_kept():
    named = unique_name("vlk")
    try:
        proc = spawn("""
        import veskline
        fresh = veskline.Lock()
        named = veskline.Lock(sys.argv[1])
        print(fresh.name, flush=True)
        time.sleep(60)
        """, named)
        fresh = proc.stdout.readline().strip()
        assert os.path.exists("/dev/shm/" + fresh), proc.stderr.read()
        stop(proc)
        deadline = time.monotonic() + 5
        while os.path.exists("/dev/shm/" + fresh) and time.monotonic() < deadline:
            time.sleep(0.005)
        assert not os.path.exists("/dev/shm/" + fresh)
        assert os.path.exists("/dev/shm/" + named)
    finally:
        unlink_quietly(named)


def test_collected_owner_lock_is_removed_but_a_forked_copy_is_not():
    lock = veskline.Lock()
    name = lock.name
    pid = os.fork()
    if pid == 0:
        del lock  # a forked child's copy owns nothing
        os._exit(0 if os.path.exists("/dev/shm/" + name) else 1)
    assert os.waitpid(pid, 0)[1] == 0
    assert os.path.exists("/dev/shm/" + name)
    del lock
    assert not os.path.exists("/dev/shm/" + name)
