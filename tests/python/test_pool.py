"""VeskPoolCore with real worker processes attached by name."""

import os
import re

import pytest

import veskline_core as vc
from helpers import run, spawn

MIB = 1 << 20

WORKER = """
tasks = vc.VeskQueue(sys.argv[1], int(sys.argv[3]))
results = vc.VeskQueue(sys.argv[2], int(sys.argv[3]))
while True:
    with tasks.recv_view() as task:
        if len(task) == 0:
            break
        results.put_bytes(task.tobytes().upper())
"""


@pytest.fixture
def pool():
    core = vc.VeskPoolCore(1)
    yield core
    core.unlink()


def pool_names():
    return {n for n in os.listdir("/dev/shm") if n.startswith(("vk_task_", "vk_res_"))}


def test_names(pool):
    task, result = pool.task_q_name, pool.result_q_name
    match = re.fullmatch(r"vk_task_([0-9a-f]{8})", task)
    assert match and result == "vk_res_" + match.group(1)
    other = vc.VeskPoolCore(1)
    try:
        assert other.task_q_name != task
    finally:
        other.unlink()
    with pytest.raises(AttributeError):
        pool.task_q_name = "x"


def test_worker_round_trip_in_order(pool):
    worker = spawn(WORKER, pool.task_q_name, pool.result_q_name, 1)
    messages = [b"task %d " % i * (i % 50 + 1) for i in range(500)]
    for message in messages:
        pool.put_task(message)
    results = [pool.get_result() for _ in messages]
    pool.put_task(data=b"")
    assert worker.wait(timeout=30) == 0
    assert results == [m.upper() for m in messages]


def test_worker_with_another_size_is_refused(pool):
    rc, out, err = run("""
    try:
        vc.VeskQueue(sys.argv[1], 2)
    except RuntimeError as e:
        print(e)
    """, pool.task_q_name)
    assert out.strip() == (
        f"Failed to open buffer: Header corruption or size mismatch (expected {2 * MIB}, "
        f"got {MIB})")


def test_zero_size_leaves_no_name_behind():
    before = pool_names()
    with pytest.raises(RuntimeError) as info:
        vc.VeskPoolCore(0)
    assert str(info.value) == "Failed to create task shm: Nix error: EINVAL: Invalid argument"
    # Other processes may create pools meanwhile; ours would be 16384 bytes.
    leftovers = [n for n in pool_names() - before
                 if os.path.getsize("/dev/shm/" + n) <= 16384]
    assert leftovers == []


def test_too_large_sizes():
    with pytest.raises(OverflowError):
        vc.VeskPoolCore(2**44 + 1)


def test_put_task_arguments_and_limits(pool):
    with pytest.raises(TypeError) as info:
        pool.put_task("x")
    assert str(info.value) == "argument 'data': 'str' object cannot be converted to 'PyBytes'"
    with pytest.raises(TypeError) as info:
        pool.put_task(bytearray(b"x"))
    assert str(info.value).startswith("argument 'data': ")

    class Sub(bytes):
        pass

    pool.put_task(Sub(b"ok"))
    pool.put_task(b"")
    with pytest.raises(RuntimeError) as info:
        pool.put_task(b"a" * (MIB - 3))
    assert str(info.value) == "Task put error: Buffer too small"
    tasks = vc.VeskQueue(pool.task_q_name, 1)
    assert tasks.get_bytes() == b"ok"
    assert tasks.get_bytes() == b""


def test_unlink_twice_and_keep_working(pool):
    results = vc.VeskQueue(pool.result_q_name, 1)
    assert pool.unlink() is None
    assert pool.unlink() is None
    assert not os.path.exists("/dev/shm/" + pool.task_q_name)
    results.put_bytes(b"after unlink")
    assert pool.get_result() == b"after unlink"


def test_rings_outlive_the_instance_until_unlinked():
    core = vc.VeskPoolCore(1)
    task_name, result_name = core.task_q_name, core.result_q_name
    try:
        core.put_task(b"left behind")
        del core
        assert vc.VeskQueue(task_name, 1).get_bytes() == b"left behind"
    finally:
        vc.VeskQueue.unlink(task_name)
        vc.VeskQueue.unlink(result_name)
