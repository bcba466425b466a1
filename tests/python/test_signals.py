"""Signals reach calls blocked in the module, and a raising handler leaves no trace.

A child process blocks in a receive, a send or a lock acquire; the parent
sends SIGINT. The child must raise KeyboardInterrupt while still blocked (not
when some later message or release lets the call return), and the queue or
lock must be exactly as it was: no message taken, none added, the lock free.
"""

import signal
import subprocess
import time

import pytest

import veskline_core as vc
from helpers import spawn, wait_for_line

# Generous: the machine is shared. Without the interruptible wait, the child
# stays blocked until the parent acts, so any bound short of that catches it.
PROMPT = 5.0


def read_line(proc, timeout=20):
    import selectors

    sel = selectors.DefaultSelector()
    sel.register(proc.stdout, selectors.EVENT_READ)
    if not sel.select(timeout=timeout):
        proc.kill()
        pytest.fail(f"child said nothing; stderr: {proc.stderr.read()}")
    return proc.stdout.readline().strip()


def interrupt_blocked(proc):
    """Sends SIGINT once the child says it is about to block; returns the seconds to its answer."""
    wait_for_line(proc, "blocking")
    time.sleep(0.2)  # well past the spin: asleep in the kernel
    sent = time.monotonic()
    proc.send_signal(signal.SIGINT)
    line = read_line(proc, timeout=PROMPT + 5)
    assert line == "interrupted", line
    return time.monotonic() - sent


def proceed(proc, value):
    proc.stdin.write("\n")
    proc.stdin.flush()
    return value


@pytest.mark.parametrize("call", ["get_bytes", "recv_view", "get_result"])
def test_interrupted_receive_takes_nothing(shm_name, call):
    name = shm_name()
    if call == "get_result":
        # The name first, then a go-ahead, so the two lines never arrive together.
        setup = "p = vc.VeskPoolCore(1); print(p.result_q_name, flush=True); sys.stdin.readline()"
        receive = "p.get_result()"
    else:
        setup = "q = vc.VeskQueue(sys.argv[1], 1)"
        receive = {"get_bytes": "q.get_bytes()",
                   "recv_view": "q.recv_view().__enter__().tobytes()"}[call]
    child = spawn(f"""
    {setup}
    try:
        print("blocking", flush=True)
        {receive}
        print("returned", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    sys.stdin.readline()
    print(repr({receive}), flush=True)
    {"p.unlink()" if call == "get_result" else ""}
    """, name, stdin=subprocess.PIPE)
    try:
        ring_name = proceed(child, read_line(child)) if call == "get_result" else name
        queue = vc.VeskQueue(ring_name, 1)
        assert interrupt_blocked(child) < PROMPT
        # Nothing was taken: the one message sent now is what the next call gets.
        queue.put_bytes(b"after")
        child.stdin.write("\n")
        child.stdin.flush()
        assert read_line(child) == repr(b"after")
        assert child.wait(timeout=20) == 0
    finally:
        child.kill()
        child.wait()


@pytest.mark.parametrize("call", ["put_bytes", "put_task"])
def test_interrupted_send_adds_nothing(shm_name, call):
    name = shm_name()
    if call == "put_task":
        setup = "p = vc.VeskPoolCore(1); print(p.task_q_name, flush=True); sys.stdin.readline()"
        send = "p.put_task"
        full = "p.put_task(b'x' * ((1 << 20) - 4))"
    else:
        setup = "q = vc.VeskQueue(sys.argv[1], 1)"
        send = "q.put_bytes"
        full = "q.put_bytes(b'x' * ((1 << 20) - 4))"
    child = spawn(f"""
    {setup}
    {full}
    try:
        print("blocking", flush=True)
        {send}(b"blocked message")
        print("returned", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    sys.stdin.readline()
    {"p.unlink()" if call == "put_task" else ""}
    """, name, stdin=subprocess.PIPE)
    try:
        ring_name = proceed(child, read_line(child)) if call == "put_task" else name
        queue = vc.VeskQueue(ring_name, 1)
        assert interrupt_blocked(child) < PROMPT
        assert len(queue.get_bytes()) == (1 << 20) - 4
        # The interrupted message never went in: a marker put now comes next.
        queue.put_bytes(b"marker")
        assert queue.get_bytes() == b"marker"
        child.stdin.write("\n")
        child.stdin.flush()
        assert child.wait(timeout=20) == 0
    finally:
        child.kill()
        child.wait()


def test_interrupted_acquire_leaves_the_lock_free(shm_name):
    name = shm_name()
    lock = vc.VeskLock(name)
    lock.acquire()
    child = spawn("""
    lock = vc.VeskLock(sys.argv[1])
    try:
        print("blocking", flush=True)
        lock.acquire()
        print("returned", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    sys.stdin.readline()
    """, name, stdin=subprocess.PIPE)
    try:
        assert interrupt_blocked(child) < PROMPT
        lock.release()
        # While the interrupted child is alive, another process takes the lock
        # cleanly: the child does not hold it, and did not die holding it.
        other = spawn("""
        lock = vc.VeskLock(sys.argv[1])
        lock.acquire()
        lock.release()
        print("clean", flush=True)
        """, name)
        assert read_line(other) == "clean"
        assert other.wait(timeout=20) == 0
        assert child.poll() is None
        child.stdin.write("\n")
        child.stdin.flush()
        assert child.wait(timeout=20) == 0
    finally:
        child.kill()
        child.wait()


def test_handler_that_returns_lets_the_wait_go_on(shm_name):
    name = shm_name()
    queue = vc.VeskQueue(name, 1)
    child = spawn("""
    q = vc.VeskQueue(sys.argv[1], 1)
    calls = []
    signal.signal(signal.SIGUSR1, lambda *_: calls.append(1))
    print("blocking", flush=True)
    message = q.get_bytes()
    print(len(calls), message, flush=True)
    """, name)
    try:
        wait_for_line(child, "blocking")
        time.sleep(0.2)
        for _ in range(3):
            child.send_signal(signal.SIGUSR1)
            time.sleep(0.05)
        assert child.poll() is None
        queue.put_bytes(b"data")
        assert read_line(child) == "3 b'data'"
        assert child.wait(timeout=20) == 0
    finally:
        child.kill()
        child.wait()


def test_blocked_thread_other_than_main_is_not_disturbed(shm_name):
    """Only the main thread runs handlers; a receive in another thread keeps waiting."""
    name = shm_name()
    queue = vc.VeskQueue(name, 1)
    child = spawn("""
    import threading
    q = vc.VeskQueue(sys.argv[1], 1)
    out = []
    worker = threading.Thread(target=lambda: out.append(q.get_bytes()))
    worker.start()
    try:
        print("blocking", flush=True)
        time.sleep(30)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    worker.join()
    print(out, flush=True)
    """, name)
    try:
        assert interrupt_blocked(child) < PROMPT
        queue.put_bytes(b"for the worker")
        assert read_line(child) == repr([b"for the worker"])
        assert child.wait(timeout=20) == 0
    finally:
        child.kill()
        child.wait()
