"""veskline.ProcessPoolExecutor beyond CPython's own suite (tests/cpython_futures):
workers killed while holding tasks, a killed parent, names removed, per-child
task limits within batches, and fair sharing between workers."""

import concurrent.futures
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import veskline

pytestmark = pytest.mark.timeout(120)


def _sleep_pid(seconds):
    time.sleep(seconds)
    return os.getpid()


def _names(executor):
    pool = executor._pool
    return [pool.tasks.name, pool.results.name]


def _shm_exists(name):
    return os.path.exists("/dev/shm/" + name.lstrip("/"))


@pytest.mark.parametrize("round_", range(6))
def test_worker_killed_holding_tasks_breaks_pool_and_nothing_hangs(round_):
    # Many short tasks in flight, so the victim holds taken, unfinished ones
    # whichever moment the kill lands.
    executor = veskline.ProcessPoolExecutor(2, mp_context=None)
    futures = [executor.submit(_sleep_pid, 0.002) for _ in range(400)]
    futures[0].result(timeout=30)
    names = _names(executor)
    assert all(_shm_exists(n) for n in names)
    time.sleep(0.003 * round_)
    victim = next(iter(executor._processes.values()))
    os.kill(victim.pid, signal.SIGKILL)
    outcomes = {"done": 0, "broken": 0}
    for future in futures:
        try:
            future.result(timeout=30)
            outcomes["done"] += 1
        except veskline.BrokenProcessPool as error:
            assert isinstance(error, concurrent.futures.process.BrokenProcessPool)
            assert "killed by SIGKILL" in str(error)
            outcomes["broken"] += 1
    assert outcomes["broken"] > 0
    with pytest.raises(veskline.BrokenProcessPool):
        executor.submit(pow, 2, 3)
    executor.shutdown(wait=True)
    assert not any(p.is_alive() for p in executor._processes.values())
    assert not any(_shm_exists(n) for n in names)


def test_shutdown_removes_the_rings_and_stops_the_workers():
    with veskline.ProcessPoolExecutor(2) as executor:
        assert list(executor.map(abs, range(-20, 0), chunksize=3)) == list(range(20, 0, -1))
        names = _names(executor)
        processes = list(executor._processes.values())
        assert all(_shm_exists(n) for n in names)
    assert not any(_shm_exists(n) for n in names)
    assert all(p.exitcode == 0 for p in processes)


def _running(pid):
    """Alive and not a zombie; a process may vanish while we look."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def test_workers_leave_when_the_parent_is_killed():
    script = textwrap.dedent("""
        import sys, time, veskline
        if __name__ == "__main__":
            ex = veskline.ProcessPoolExecutor(2)
            fs = [ex.submit(time.sleep, 0.5) for _ in range(2)]
            time.sleep(1.0)
            print(" ".join(str(p) for p in ex._processes), flush=True)
            time.sleep(60)
        """)
    parent = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
    try:
        pids = [int(p) for p in parent.stdout.readline().split()]
        assert pids
        parent.kill()
        parent.wait()
        deadline = time.monotonic() + 10
        alive = pids
        while alive and time.monotonic() < deadline:
            alive = [p for p in alive if _running(p)]
            time.sleep(0.05)
        assert not alive, f"workers {alive} outlived their killed parent"
    finally:
        parent.kill()


def test_max_tasks_per_child_holds_within_batches():
    # Trivial tasks make workers take batches; a batch never runs past the
    # worker's own limit.
    with veskline.ProcessPoolExecutor(2, max_tasks_per_child=5) as executor:
        pids = list(executor.map(_sleep_pid, [0] * 200))
    counts = {pid: pids.count(pid) for pid in set(pids)}
    assert max(counts.values()) <= 5, counts
    assert len(counts) >= 40


def test_slow_tasks_after_fast_ones_run_on_both_workers():
    # Fast tasks teach workers to take batches; two slow ones queued behind
    # them must still go to two workers, not wait behind each other.
    with veskline.ProcessPoolExecutor(2) as executor:
        list(executor.map(abs, range(5000)))
        workers = list(executor._processes)
        # Both tasks are queued before either worker can look.
        for pid in workers:
            os.kill(pid, signal.SIGSTOP)
        started = time.monotonic()
        slow = [executor.submit(_sleep_pid, 1.0) for _ in range(2)]
        for pid in workers:
            os.kill(pid, signal.SIGCONT)
        pids = {f.result(timeout=30) for f in slow}
        elapsed = time.monotonic() - started
    assert len(pids) == 2
    assert elapsed < 1.9


def test_cancelled_backlog_never_runs(tmp_path):
    marker = tmp_path / "ran"
    with veskline.ProcessPoolExecutor(1) as executor:
        first = executor.submit(time.sleep, 0.3)
        later = [executor.submit(_touch, str(marker), i) for i in range(20)]
        executor.shutdown(wait=True, cancel_futures=True)
    assert first.done() and first.exception() is None
    cancelled = [f for f in later if f.cancelled()]
    assert len(cancelled) >= 15
    ran = set(os.listdir(tmp_path))
    assert not any(f"ran{later.index(f)}" in ran for f in cancelled)


def _touch(prefix, i):
    open(f"{prefix}{i}", "w").close()
