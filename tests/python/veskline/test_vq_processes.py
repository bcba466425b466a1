"""veskline's queues between processes: handed to children under every start
method and through a Pool initializer, Ctrl-C on blocked calls, killed
producers and task holders, shutdown across processes, interoperation with
veskline_core.VeskQueue, and names removed when their owner exits."""

import multiprocessing
import os
import queue
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import veskline
import veskline_core
from veskline import BytesQueue, JoinableQueue, Queue

from helpers import wait_for_line


def _echo(inbox, outbox):
    while (item := inbox.get()) is not None:
        outbox.put((os.getpid(), item * 2))


_pool_queue = None


def _pool_init(q):
    global _pool_queue
    _pool_queue = q


def _pool_task(x):
    _pool_queue.put(x + 100)
    return x


@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
def test_queues_pass_to_children_under_every_start_method(method):
    ctx = multiprocessing.get_context(method)
    inbox, outbox = JoinableQueue(), Queue()
    try:
        child = ctx.Process(target=_echo, args=(inbox, outbox))
        child.start()
        inbox.put_many([1, 2, 3, None])
        got = [outbox.get(timeout=30) for _ in range(3)]
        child.join(30)
        assert child.exitcode == 0
        assert [item for _, item in got] == [2, 4, 6]
        assert {pid for pid, _ in got} == {child.pid}
    finally:
        inbox.close()
        outbox.close()


def test_pool_initializer_receives_a_queue():
    q = Queue()
    try:
        with multiprocessing.get_context("spawn").Pool(2, _pool_init, (q,)) as pool:
            assert sorted(pool.map(_pool_task, range(6))) == list(range(6))
        assert sorted(q.get(timeout=10) for _ in range(6)) == list(range(100, 106))
    finally:
        q.close()


def _child(code, *args):
    source = "import sys, os, time, queue\nimport veskline\n" + textwrap.dedent(code)
    return subprocess.Popen([sys.executable, "-c", source, *map(str, args)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


@pytest.mark.parametrize("call", ["get", "put", "join", "get_many"])
def test_ctrl_c_ends_a_blocked_call_at_once_and_leaves_the_queue_as_it_was(call):
    q = JoinableQueue(1)
    try:
        if call in ("put", "join"):
            q.put("kept")
        child = _child("""
            q = veskline.JoinableQueue.attach(sys.argv[1])
            call = sys.argv[2]
            print("ready", flush=True)
            try:
                if call == "put": q.put("never")
                elif call == "join": q.join()
                elif call == "get": q.get()
                else: q.get_many()
            except KeyboardInterrupt:
                print("interrupted", q.qsize(), flush=True)
        """, q.name, call)
        wait_for_line(child, "ready")
        time.sleep(0.3)  # let it block
        start = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=10)
        assert time.monotonic() - start < 2, "the interrupt was not prompt"
        expected = 1 if call in ("put", "join") else 0
        assert out.split() == ["interrupted", str(expected)], err
        assert q.qsize() == expected
        if expected:
            assert q.get_nowait() == "kept"
    finally:
        q.close()


def test_join_counts_the_tasks_of_a_killed_worker_and_shutdown_wakes_other_processes():
    q = JoinableQueue()
    try:
        q.put_many(["a", "b"])
        worker = _child("""
            q = veskline.JoinableQueue.attach(sys.argv[1])
            q.get(); q.task_done()
            q.get()
            print("holding", flush=True)
            time.sleep(60)
        """, q.name)
        wait_for_line(worker, "holding")
        worker.kill()
        worker.wait()
        q.join()  # returns: the dead worker's task counts as done

        getter = _child("""
            q = veskline.JoinableQueue.attach(sys.argv[1])
            print("waiting", flush=True)
            try:
                q.get()
            except veskline.ShutDown:
                print("shut down", flush=True)
        """, q.name)
        wait_for_line(getter, "waiting")
        time.sleep(0.2)
        q.shutdown()
        out, err = getter.communicate(timeout=10)
        assert out.split("\n")[0] == "shut down", err
    finally:
        q.close()


def test_producers_killed_mid_put_leave_whole_messages_and_exact_counts():
    q = BytesQueue(capacity=8 << 20)
    try:
        for _ in range(5):
            producer = _child("""
                q = veskline.BytesQueue.attach(sys.argv[1])
                i = 0
                print("go", flush=True)
                while True:
                    size = 1 + (i * 7919) % (1 << 20)
                    q.put(bytes([i % 256]) * size, timeout=0.05) if q.qsize() < 6 else time.sleep(0)
                    i += 1
            """, q.name)
            wait_for_line(producer, "go")
            time.sleep(0.05)
            producer.kill()
            producer.wait()
            count = q.qsize()
            got = []
            while len(got) < count:
                got += q.get_many(block=False)
            assert len(got) == count
            for message in got:
                assert message == message[:1] * len(message)
            assert q.qsize() == 0
    finally:
        q.close()


@pytest.mark.parametrize("call", ["get", "get_many"])
def test_a_consumer_killed_before_reading_a_one_off_segment_loses_nothing(call):
    """The record naming the segment stays claimed until the segment is read:
    the next consumer gets the object, and the segment is removed."""
    q = JoinableQueue(capacity=64 * 1024)
    try:
        blob = os.urandom(300_000)
        q.put(("big", blob))
        q.put("after")
        consumer = _child(f"""
            import signal
            from veskline import _queues
            def killed(segment):
                print("reading", segment, flush=True)
                os.kill(os.getpid(), signal.SIGKILL)
            _queues._read_side_segment = killed
            q = veskline.JoinableQueue.attach(sys.argv[1])
            q.{call}(timeout=30)
        """, q.name)
        out, err = consumer.communicate(timeout=30)
        assert consumer.returncode == -signal.SIGKILL, err
        assert out.startswith("reading " + q.name + "~")
        assert q.qsize() == 2
        got = [q.get(timeout=30), q.get_many(timeout=30)[0]]
        assert ("big", blob) in got and "after" in got
        assert not [n for n in os.listdir("/dev/shm") if n.startswith(q.name + "~")]
        q.task_done()
        q.task_done()
        assert q.unfinished_tasks == 0
    finally:
        q.close()


def test_a_producer_killed_around_a_one_off_put_never_queues_a_record_without_its_segment():
    """The producer gives the segment up (its exit would remove it) before the
    record naming it is queued: killed just before, it leaves nothing queued
    and its exit removes the segment."""
    q = Queue(capacity=64 * 1024)
    try:
        producer = _child("""
            import signal
            from veskline import _queues
            def unregister(name):
                if "~" in name:
                    os.kill(os.getpid(), signal.SIGKILL)
            _queues._tracker.unregister = unregister
            q = veskline.Queue.attach(sys.argv[1])
            q.put(os.urandom(300_000))
        """, q.name)
        _, err = producer.communicate(timeout=30)
        assert producer.returncode == -signal.SIGKILL, err
        deadline = time.monotonic() + 10  # the producer's tracker acts on its death
        while [n for n in os.listdir("/dev/shm") if n.startswith(q.name + "~")]:
            assert time.monotonic() < deadline, "the dead producer's segment was not removed"
            time.sleep(0.02)
        assert q.qsize() == 0
    finally:
        q.close()


def test_bytes_queue_and_core_queue_share_one_ring_both_ways(qname):
    name = qname()
    core = veskline_core.VeskQueue(name, 1)
    ours = BytesQueue(name=name, capacity=1 << 20)
    try:
        core.put_bytes(b"from core")
        ours.put(bytearray(b"from veskline"))
        core.put_bytes(b"core again")
        assert ours.qsize() == 3  # the core's records are counted too
        assert ours.get() == b"from core"
        assert core.get_bytes() == b"from veskline"
        assert ours.get_many() == [b"core again"]
        assert ours.empty()
        big = os.urandom(300_000)  # claimed and copied outside the lock
        core.put_bytes(big)
        assert ours.get() == big
        ours.put(big)
        assert core.get_bytes() == big
    finally:
        ours.close()


def test_an_owners_names_are_removed_when_it_exits():
    child = _child("""
        q = veskline.Queue(capacity=16384)
        j = veskline.JoinableQueue()
        q.put(os.urandom(100_000))  # through a one-off segment
        print(q.name, j.name, flush=True)
    """)
    out, err = child.communicate(timeout=30)
    assert child.returncode == 0, err
    names = out.split()
    assert len(names) == 2
    left = [n for n in os.listdir("/dev/shm") if any(n.startswith(x) for x in names)]
    assert not left


def test_maxsize_changed_in_one_process_holds_in_another():
    """The limit lives in the queue, not the handle: a shrink seen elsewhere."""
    q = Queue(3)
    try:
        for item in (1, 2):
            q.put(item)
        ctx = multiprocessing.get_context("spawn")
        child = ctx.Process(target=_shrink, args=(q,))
        child.start()
        child.join(30)
        assert child.exitcode == 0
        assert q.maxsize == 2
        with pytest.raises(queue.Full):
            q.put_nowait(3)
        q.maxsize = 0
        q.put_nowait(3)
        assert q.qsize() == 3
    finally:
        q.close()


def _shrink(q):
    q.maxsize = 2
