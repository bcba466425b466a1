"""veskline's queues in one process: multiprocessing's semantics and exact
messages, batches, large objects, shutdown, names and exported names."""

import builtins
import os
import pickle
import queue
import time

import pytest

import veskline
from veskline import BytesQueue, JoinableQueue, Queue, ShutDown, SimpleQueue


@pytest.fixture
def q():
    made = Queue(3)
    yield made
    made.close()


def test_full_empty_and_item_counts(q):
    with pytest.raises(queue.Empty):
        q.get_nowait()
    for item in ("a", ("b", 2), {"c": [3]}):
        q.put(item)
    assert (q.qsize(), q.full(), q.empty()) == (3, True, False)
    with pytest.raises(queue.Full):
        q.put_nowait("d")
    with pytest.raises(queue.Full):
        q.put("d", timeout=0.01)
    assert [q.get(), q.get(), q.get()] == ["a", ("b", 2), {"c": [3]}]
    assert (q.qsize(), q.full(), q.empty()) == (0, False, True)


@pytest.mark.parametrize("make", [lambda: Queue(1), SimpleQueue, lambda: BytesQueue(1)])
def test_negative_timeout_is_refused_but_ignored_without_block(make):
    q = make()
    try:
        item = b"x"
        with pytest.raises(ValueError, match=r"^'timeout' must be a non-negative number$"):
            q.get(timeout=-1)
        with pytest.raises(ValueError, match=r"^'timeout' must be a non-negative number$"):
            q.put(item, timeout=-1)
        with pytest.raises(queue.Empty):
            q.get(False, -1)
        q.put(item, False, -1)
        assert q.get(False, -1) == item
    finally:
        q.close()


def test_timeouts_never_return_early(q):
    for timeout in (0.001, 0.02, 0.1):
        start = time.monotonic()
        with pytest.raises(queue.Empty):
            q.get(timeout=timeout)
        assert time.monotonic() - start >= timeout
    for _ in range(3):
        q.put(0)
    start = time.monotonic()
    with pytest.raises(queue.Full):
        q.put(0, timeout=0.05)
    assert time.monotonic() - start >= 0.05


def test_exact_errors_for_closed_queues_tasks_and_sizes():
    q = Queue()
    q.close()
    with pytest.raises(ValueError, match=r"^Queue <veskline\._queues\.Queue name='vkq_.*'> is closed$"):
        q.put(1)
    with pytest.raises(ValueError, match="is closed$"):
        q.get()
    q.join_thread()
    j = JoinableQueue()
    try:
        with pytest.raises(ValueError, match=r"^task_done\(\) called too many times$"):
            j.task_done()
    finally:
        j.close()
    b = BytesQueue(capacity=4096)
    try:
        start = time.monotonic()
        with pytest.raises(ValueError, match=r"^a message of 4093 bytes can never fit in this "
                                             r"queue's ring of 4096 bytes$"):
            b.put(bytes(4093))
        b.put(bytes(4092))
        with pytest.raises(ValueError, match=r"^a message of 4093 bytes can never fit"):
            b.put(bytearray(4093), timeout=None)
        # A batch that could never fit fails at once, waiting for nothing.
        with pytest.raises(ValueError, match="can never fit"):
            b.put_many([bytes(2000), bytes(2000), bytes(100)])
        assert time.monotonic() - start < 5
        assert len(b.get()) == 4092
    finally:
        b.close()


def test_put_and_get_bind_arguments_as_multiprocessing_does():
    q = Queue()
    try:
        q.put(obj=1)
        q.put(2, False)
        q.put(3, block=True, timeout=1)
        assert [q.get(), q.get(False), q.get(block=True, timeout=1)] == [1, 2, 3]
        with pytest.raises(TypeError, match=r"^put\(\) got an unexpected keyword argument 'item'$"):
            q.put(item=4)
        with pytest.raises(TypeError, match=r"^put\(\) got multiple values for argument 'block'$"):
            q.put(4, True, block=True)
        with pytest.raises(TypeError, match=r"^put\(\) missing required argument 'obj'"):
            q.put()
        with pytest.raises(TypeError, match=r"^get\(\) takes at most 2 arguments \(3 given\)$"):
            q.get(True, 1, 2)
        assert q.empty()
    finally:
        q.close()


class _PutsWhilePickled:
    """Puts an array with an out-of-band buffer to the same queue from its
    __reduce__, that is while the outer put is still pickling."""

    def __init__(self, q, array):
        self.q, self.array = q, array

    def __reduce__(self):
        self.q.put(self.array + 1)
        return str, ("outer",)


def test_a_put_made_while_another_is_pickling_keeps_each_ones_buffers():
    np = pytest.importorskip("numpy")
    q = Queue()
    try:
        array = np.arange(1 << 15, dtype=np.float64)  # 256 KiB, out of band
        q.put((array, _PutsWhilePickled(q, array)))
        inner, outer = q.get(timeout=5), q.get(timeout=5)
        assert (inner == array + 1).all()
        assert (outer[0] == array).all() and outer[1] == "outer"
    finally:
        q.close()


def test_put_many_is_all_or_nothing_and_get_many_never_returns_empty():
    q = Queue(4)
    try:
        q.put("first")
        with pytest.raises(queue.Full):
            q.put_many(["a", "b", "c", "d"], timeout=0.01)
        assert q.qsize() == 1
        with pytest.raises(ValueError, match=r"^a batch of 5 items can never fit in a queue of "
                                             r"maxsize 4$"):
            q.put_many(range(5))
        q.put_many(["a", "b", "c"])
        assert q.get_many(max_messages=2) == ["first", "a"]
        assert q.get_many() == ["b", "c"]
        with pytest.raises(queue.Empty):
            q.get_many(timeout=0.01)
        with pytest.raises(queue.Empty):
            q.get_many(block=False)
    finally:
        q.close()
    b = BytesQueue()
    try:
        b.put_many([b"x" * 10, bytearray(b"y" * 10), memoryview(b"z" * 10)])
        assert b.get_many(max_bytes=15) == [b"x" * 10]
        assert b.get_many(max_bytes=20) == [b"y" * 10, b"z" * 10]
    finally:
        b.close()


def test_records_wrap_around_the_ring_intact():
    b = BytesQueue(capacity=4096)
    try:
        for i in range(200):
            chunk = bytes([i % 251]) * (700 + i % 300)
            b.put(chunk)
            b.put(b"tail")
            assert b.get_many() == [chunk, b"tail"]
    finally:
        b.close()


def test_bytes_queue_takes_any_contiguous_buffer_and_refuses_the_rest():
    np = pytest.importorskip("numpy")
    b = BytesQueue()
    try:
        frame = np.arange(1000, dtype=np.uint16)
        b.put(frame)
        assert b.get() == frame.tobytes()
        with pytest.raises((BufferError, ValueError), match="contiguous"):
            b.put(frame[::2])
        with pytest.raises(TypeError):
            b.put([b"a", b"b"])
    finally:
        b.close()


def test_large_arrays_come_back_equal_and_writable():
    np = pytest.importorskip("numpy")
    q = Queue()
    try:
        small = np.arange(10, dtype=np.int32)
        big = np.arange(1 << 17, dtype=np.float64)  # 1 MiB, out of band
        fortran = np.asfortranarray(np.arange(200_000, dtype=np.float32).reshape(400, 500))
        for array in (small, big, fortran):
            q.put(array)
            got = q.get()
            assert got.dtype == array.dtype and (got == array).all()
            got[0] = 7  # as multiprocessing gives them: writable
    finally:
        q.close()


def test_objects_larger_than_the_ring_use_a_one_off_segment_removed_once_taken():
    q = Queue(capacity=64 * 1024)
    try:
        blob = os.urandom(300_000)
        q.put({"blob": blob})
        side = [n for n in os.listdir("/dev/shm") if n.startswith(q.name + "~")]
        assert len(side) == 1
        assert q.get() == {"blob": blob}
        assert not [n for n in os.listdir("/dev/shm") if n.startswith(q.name + "~")]
        # A batch stops before such a record, which then comes alone.
        q.put_many(["a", "b"])
        q.put(blob)
        q.put("c")
        assert q.get_many() == ["a", "b"]
        assert q.get_many() == [blob]
        assert q.get_many() == ["c"]
        assert not [n for n in os.listdir("/dev/shm") if n.startswith(q.name + "~")]
        q.put(blob)
        drained = q.shutdown(immediate=True)
        assert drained is None
        assert not [n for n in os.listdir("/dev/shm") if n.startswith(q.name + "~")]
    finally:
        q.close()


def test_unpicklable_objects_raise_in_put_and_leave_nothing():
    q = Queue()
    try:
        with pytest.raises((pickle.PicklingError, TypeError, AttributeError)):
            q.put(lambda: None)
        assert q.empty()
    finally:
        q.close()


def test_shutdown_drains_then_raises_and_immediate_discards_and_finishes_tasks():
    q = JoinableQueue()
    try:
        q.put_many([1, 2])
        q.shutdown()
        assert q.is_shutdown
        with pytest.raises(ShutDown):
            q.put(3)
        assert q.get() == 1
        q.task_done()
        assert q.get_nowait() == 2
        q.task_done()
        with pytest.raises(ShutDown):
            q.get()
        with pytest.raises(ShutDown):
            q.get(timeout=5)
        q.join()
    finally:
        q.close()
    q = JoinableQueue()
    try:
        q.put_many([1, 2, 3])
        q.shutdown(immediate=True)
        with pytest.raises(ShutDown):
            q.get_nowait()
        q.join()  # the discarded items count as done
    finally:
        q.close()
    if hasattr(queue, "ShutDown"):
        assert ShutDown is queue.ShutDown


def test_names_owner_removes_on_close_attachers_do_not_and_handles_never_create(qname):
    owner = Queue()
    path = "/dev/shm/" + owner.name
    attached = Queue.attach(owner.name)
    clone = pickle.loads(pickle.dumps(owner))
    attached.close()
    assert os.path.exists(path)
    clone.put("still works")
    owner.close()
    assert not os.path.exists(path)
    assert clone.get() == "still works"  # the mapping outlives the name
    clone.close()
    with pytest.raises(FileNotFoundError, match=r"^no veskline queue is named 'vkq_.*': its "
                                                r"owner removed it"):
        pickle.loads(pickle.dumps(_Handle(owner.name)))
    assert not os.path.exists(path)
    named = qname()
    first = BytesQueue(name=named, capacity=8192)
    second = BytesQueue(name=named, capacity=8192)
    first.put(b"shared")
    assert second.get() == b"shared"
    first.close()
    second.close()
    assert os.path.exists("/dev/shm/" + named)  # a given name is nobody's to remove


class _Handle:
    """Pickles like the handle of a queue named `name`, without attaching."""

    def __init__(self, name):
        self.name = name

    def __reduce__(self):
        from veskline._queues import _rebuild

        return _rebuild, (Queue, self.name)


def test_exports_shadow_no_builtin():
    assert not set(veskline.__all__) & set(dir(builtins))
    namespace = {}
    exec("from veskline import *", namespace)
    assert "TimeoutError" not in namespace
    assert set(namespace) - {"__builtins__"} == set(veskline.__all__)
