"""VeskQueue across real processes and threads: order, sizes, blocking, names."""

import os
import threading
import time

import pytest

import veskline_core as vc
from helpers import run, spawn, wait_for_line

MIB = 1 << 20


def mapped(name):
    with open("/proc/self/maps") as maps:
        return any(line.rstrip().endswith("/" + name) for line in maps)


def test_bytes_cross_processes_in_order(shm_name):
    name = shm_name()
    queue = vc.VeskQueue(name, 1)
    child = spawn("""
    q = vc.VeskQueue(sys.argv[1], 1)
    for i in range(2000):
        q.put_bytes(b"%d:" % i + b"x" * (i % 700))
    q.put_bytes(b"")
    """, name)
    received = [queue.get_bytes() for _ in range(2001)]
    assert child.wait(timeout=30) == 0
    assert received[:-1] == [b"%d:" % i + b"x" * (i % 700) for i in range(2000)]
    assert received[-1] == b""
    # And back the other way.
    queue.put_bytes(b"ping")
    rc, out, err = run("print(vc.VeskQueue(sys.argv[1], 1).get_bytes())", name)
    assert (rc, out.strip()) == (0, "b'ping'"), err


@pytest.mark.parametrize("other", [2, 1])
def test_size_mismatch_fails_at_once(shm_name, other):
    name = shm_name()
    first = 1 if other == 2 else 2
    vc.VeskQueue(name, first)
    started = time.monotonic()
    with pytest.raises(RuntimeError) as info:
        vc.VeskQueue(name, other)
    assert time.monotonic() - started < 5
    assert str(info.value) == (
        "Failed to open buffer: Header corruption or size mismatch "
        f"(expected {other * MIB}, got {first * MIB})")


def test_failed_attach_leaves_nothing_mapped(shm_name):
    name = shm_name()
    rc, _, err = run("q = vc.VeskQueue(sys.argv[1], 1); print('made')", name)
    assert rc == 0, err
    with pytest.raises(RuntimeError):
        vc.VeskQueue(name, 2)
    assert not mapped(name)


def test_zero_size_leaves_no_name(shm_name):
    """A size no ring can have fails after the exclusive create: the name it
    made goes again, so the next constructor creates instead of waiting 10 s
    for a header nobody will write."""
    name = shm_name()
    for _ in range(2):
        with pytest.raises(RuntimeError) as info:
            vc.VeskQueue(name, 0)
        assert str(info.value) == "Failed to create mirrored shm: Nix error: EINVAL: Invalid argument"
        assert not os.path.exists("/dev/shm/" + name)
        assert not mapped(name)
    started = time.monotonic()
    queue = vc.VeskQueue(name, 1)
    assert time.monotonic() - started < 5
    queue.put_bytes(b"x")
    assert queue.get_bytes() == b"x"


def test_sizes_that_do_not_fit(shm_name):
    with pytest.raises(OverflowError):
        vc.VeskQueue(shm_name(), 2**44 + 1)
    with pytest.raises(OverflowError):
        vc.VeskQueue(shm_name(), -1)
    with pytest.raises(TypeError) as info:
        vc.VeskQueue(shm_name(), "1")
    assert str(info.value).startswith("argument 'size_mb': ")


def test_put_arguments_and_empty_message(shm_name):
    queue = vc.VeskQueue(shm_name(), 1)
    with pytest.raises(TypeError) as info:
        queue.put_bytes("text")
    assert str(info.value) == "argument 'data': 'str' object cannot be converted to 'PyBytes'"
    for refused in (bytearray(b"x"), memoryview(b"x")):
        with pytest.raises(TypeError):
            queue.put_bytes(refused)

    class Sub(bytes):
        pass

    queue.put_bytes(data=Sub(b"sub"))
    queue.put_bytes(b"")
    assert queue.get_bytes() == b"sub"
    assert queue.get_bytes() == b""


def test_message_size_limits(shm_name):
    queue = vc.VeskQueue(shm_name(), 1)
    queue.put_bytes(b"a" * (MIB - 4))  # exactly fills an empty ring
    assert len(queue.get_bytes()) == MIB - 4
    with pytest.raises(RuntimeError) as info:
        queue.put_bytes(b"a" * (MIB - 3))
    assert str(info.value) == "Queue put error: Buffer too small"


def test_blocking_get_released_by_a_put_from_another_thread(shm_name):
    queue = vc.VeskQueue(shm_name(), 1)
    got = []
    reader = threading.Thread(target=lambda: got.append(queue.get_bytes()))
    reader.start()
    ticks = 0
    deadline = time.monotonic() + 0.3
    while time.monotonic() < deadline:  # this thread keeps running meanwhile
        ticks += 1
        time.sleep(0.005)
    assert ticks > 10 and not got
    queue.put_bytes(b"wake")
    reader.join(timeout=10)
    assert got == [b"wake"]


def test_blocking_put_released_by_a_get_in_another_process(shm_name):
    name = shm_name()
    queue = vc.VeskQueue(name, 1)
    queue.put_bytes(b"a" * (MIB - 100))
    done = []
    writer = threading.Thread(target=lambda: done.append(queue.put_bytes(b"b" * 200)))
    writer.start()
    writer.join(timeout=0.3)
    assert writer.is_alive()
    rc, out, err = run("print(len(vc.VeskQueue(sys.argv[1], 1).get_bytes()))", name)
    assert (rc, out.strip()) == (0, str(MIB - 100)), err
    writer.join(timeout=10)
    assert done == [None]
    assert queue.get_bytes() == b"b" * 200


def test_views_and_commit_read(shm_name):
    queue = vc.VeskQueue(shm_name(), 1)
    queue.put_bytes(b"first")
    queue.put_bytes(b"second")
    a, b = queue.recv_view(), queue.recv_view()
    assert bytes(a) == bytes(b) == b"first"
    queue.commit_read(4 + 2)  # inside the record: ignored
    queue.commit_read(next_pos=10**6)  # beyond what was written: ignored
    assert bytes(queue.recv_view()) == b"first"
    queue.commit_read(4 + 5)  # the end of "first"
    queue.commit_read(4 + 5)  # again: nothing more happens
    assert queue.get_bytes() == b"second"
    with pytest.raises(OverflowError):
        queue.commit_read(-1)


def test_unlink(shm_name):
    name = shm_name()
    queue = vc.VeskQueue(name, 1)
    assert vc.VeskQueue.unlink(name) is None
    with pytest.raises(RuntimeError) as info:
        vc.VeskQueue.unlink(name)
    assert str(info.value) == "Unlink failed: Nix error: ENOENT: No such file or directory"
    queue.put_bytes(b"still works")
    assert queue.get_bytes() == b"still works"
    fresh = vc.VeskQueue(name, 1)  # a new, empty ring under the old name
    queue.put_bytes(b"old ring")
    fresh.put_bytes(b"new ring")
    assert fresh.get_bytes() == b"new ring"
    assert queue.get_bytes() == b"old ring"


def test_attachers_racing_on_a_new_name(shm_name):
    name = shm_name()
    start = time.monotonic() + 1.0
    code = """
    target = float(sys.argv[2])
    while time.monotonic() < target:
        pass
    q = vc.VeskQueue(sys.argv[1], 1)
    q.put_bytes(b"x")
    print("ok", flush=True)
    """
    children = [spawn(code, name, start) for _ in range(8)]
    for child in children:
        out, err = child.communicate(timeout=60)
        assert child.returncode == 0 and out.strip() == "ok", err
    queue = vc.VeskQueue(name, 1)
    assert [queue.get_bytes() for _ in range(8)] == [b"x"] * 8


def test_consumer_killed_while_blocked_does_not_stop_the_queue(shm_name):
    name = shm_name()
    queue = vc.VeskQueue(name, 1)
    for _ in range(5):
        child = spawn("""
        q = vc.VeskQueue(sys.argv[1], 1)
        print("blocking", flush=True)
        q.get_bytes()
        """, name)
        wait_for_line(child, "blocking")
        time.sleep(0.05)
        child.kill()
        child.wait(timeout=10)
    queue.put_bytes(b"alive")
    assert queue.get_bytes() == b"alive"


@pytest.mark.slow
def test_sleeping_receiver_is_woken_within_milliseconds(shm_name):
    """A consumer asleep on an empty queue wakes on another process's put at once.

    Waiters also re-check every 100 ms, so a wake-up that goes missing shows
    only as latency: a median near 50 ms instead of well under 10.
    """
    name = shm_name()
    queue = vc.VeskQueue(name, 1)
    rounds = 25
    child = spawn("""
    q = vc.VeskQueue(sys.argv[1], 1)
    for _ in range(int(sys.argv[2])):
        print("waiting", flush=True)
        q.get_bytes()
        print(time.monotonic(), flush=True)
    """, name, rounds)
    latencies = []
    try:
        for _ in range(rounds):
            # Plain reads: both lines may already sit in the pipe's buffer.
            assert child.stdout.readline().strip() == "waiting"
            time.sleep(0.02)  # past the spin: asleep in the kernel
            sent = time.monotonic()
            queue.put_bytes(b"wake")
            latencies.append(float(child.stdout.readline()) - sent)
        assert child.wait(timeout=20) == 0
    finally:
        child.kill()
        child.wait()
    latencies.sort()
    assert latencies[len(latencies) // 2] < 0.010, latencies
