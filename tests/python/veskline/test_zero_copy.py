"""Writing and reading messages in place: BytesQueue.reserve and recv_view,
Queue.get_view, across processes: abandoned and killed writers, several
in-place consumers each getting each message once, a killed reader's message
going to another consumer, and buffers kept past their block."""

import hashlib
import multiprocessing
import os
import signal
import struct
import time

import pytest

from veskline import BytesQueue, Empty, Full, JoinableQueue, Queue

# The cases build their payloads and check them with NumPy (the C++ tests
# cover the same paths without it).
np = pytest.importorskip("numpy")


@pytest.fixture
def bq():
    q = BytesQueue(capacity=1 << 20)
    yield q
    q.close()


def test_reserve_publishes_on_exit_and_abandons_on_exception(bq):
    with bq.reserve(5) as buf:
        assert not buf.readonly and buf.nbytes == 5
        buf[:] = b"hello"
        assert bq.qsize() == 0  # not a message until the block ends
    assert bq.get_nowait() == b"hello"
    with pytest.raises(KeyError):
        with bq.reserve(4) as buf:
            buf[:] = b"lost"
            raise KeyError
    with pytest.raises(Empty):
        bq.get_nowait()
    with pytest.raises(ValueError, match="never fit"):
        with bq.reserve(bq.capacity):
            pass


def test_buffers_kept_past_their_block(bq):
    # Writing: a view still exported at the end of the block is refused, and
    # nothing is published.
    with pytest.raises(BufferError, match="nothing was published"):
        with bq.reserve(4) as buf:
            kept = np.frombuffer(buf, np.uint8)
            buf[:] = b"abcd"
    del kept
    with pytest.raises(Empty):
        bq.get_nowait()
    # Reading: the memoryview is released with its block...
    bq.put(b"first")
    with bq.recv_view() as mv:
        assert bytes(mv) == b"first" and mv.readonly
    with pytest.raises(ValueError, match="released"):
        bytes(mv)
    # ...and an array made from it keeps the message claimed (never
    # overwritten) until it goes.
    bq.put(b"x" * 1000)
    view = bq.recv_view()
    with view as mv:
        arr = np.frombuffer(mv, np.uint8)
    assert view.held
    big = b"y" * (bq.capacity - 500)
    with pytest.raises(Full):  # no room: the claimed message is not freed
        bq.put(big, timeout=0.05)
    assert bytes(arr) == b"x" * 1000
    del arr, mv
    assert not view.held
    bq.put(big, timeout=5)
    assert bq.get() == big


def test_buffers_kept_past_their_block_are_frozen_once_their_reader_waits(bq):
    # A consumer keeping an array past its block and then waiting for the
    # next message must not wait on itself: its kept record is copied aside
    # (same addresses, private pages), the ring space is freed, and the array
    # keeps showing the old bytes while producers overwrite the ring.
    bq.put(b"a" * 300_000)
    view = bq.recv_view()
    with view as mv:
        arr = np.frombuffer(mv, np.uint8)
    with pytest.raises(Empty):
        with bq.recv_view(timeout=0.1):
            pass
    assert view.frozen and not view.held
    # The next message starts on the frozen message's last page, and is
    # written after the copy was taken: it must not be read through it.
    bq.put(b"c" * 5000)
    with bq.recv_view() as mv:
        assert bytes(mv) == b"c" * 5000
    for _ in range(8):  # all over the ring, the old record's bytes included
        bq.put(b"b" * 300_000)
        assert bq.get() == b"b" * 300_000
    assert bytes(arr) == b"a" * 300_000
    with pytest.raises(ValueError):
        arr[0] = 1  # read-only, frozen or not


def test_queue_objects_out_of_band_through_a_reservation_and_in_place():
    # A ring larger than most machines' last-level cache: the frame is
    # copied in with streaming stores there.
    q = Queue(capacity=64 << 20)
    try:
        frame = np.random.default_rng(1).integers(0, 255, (541, 961, 3), np.uint8)
        q.put({"frame": frame, "n": 7})
        q.put("small")
        with q.get_view() as obj:
            got = obj["frame"]
            assert obj["n"] == 7
            assert np.array_equal(got, frame)
            assert not got.flags.writeable and not got.flags.owndata
        with q.get_view() as obj:
            assert obj == "small"
        q.put({"frame": frame})
        assert np.array_equal(q.get()["frame"], frame)  # plain get still reads them
    finally:
        q.close()


def test_joinable_queue_counts_reserved_puts_and_in_place_gets():
    q = JoinableQueue(capacity=8 << 20)
    try:
        q.put(np.ones(1 << 18))
        with q.get_view() as arr:
            assert arr.sum() == 1 << 18
        q.task_done()
        q.join()
    finally:
        q.close()


def _killed_writer(name, ready):
    q = BytesQueue.attach(name)
    with q.reserve(100_000) as buf:
        buf[:50_000] = b"h" * 50_000
        ready.set()
        time.sleep(60)


def test_writer_killed_inside_reserve_publishes_nothing_and_blocks_nobody(bq):
    ctx = multiprocessing.get_context("fork")
    ready = ctx.Event()
    child = ctx.Process(target=_killed_writer, args=(bq.name, ready))
    child.start()
    try:
        assert ready.wait(30)
        bq.put(b"after")
        os.kill(child.pid, signal.SIGKILL)
        assert bq.get(timeout=10) == b"after"
        with pytest.raises(Empty):
            bq.get(timeout=0.2)
        # All of the ring is free again.
        bq.put(b"z" * (bq.capacity - 4), timeout=5)
    finally:
        child.join(10)


def _in_place_consumer(name, results, ready_to_die):
    q = BytesQueue.attach(name)
    while True:
        try:
            with q.recv_view(timeout=2) as mv:
                if ready_to_die is not None and mv[:4] == b"DIE!":
                    ready_to_die.set()
                    time.sleep(60)
                seq, = struct.unpack_from("<I", mv, 0)
                ok = hashlib.blake2b(mv[36:], digest_size=32).digest() == bytes(mv[4:36])
                results.put((os.getpid(), seq, ok))
        except Empty:
            return


def _checked_producer(name, first, count):
    q = BytesQueue.attach(name)
    rng = np.random.default_rng(first)
    for seq in range(first, first + count):
        body = rng.integers(0, 255, int(rng.integers(64, 40_000)), np.uint8).tobytes()
        with q.reserve(36 + len(body)) as buf:
            buf[36:] = body
            buf[:4] = struct.pack("<I", seq)
            buf[4:36] = hashlib.blake2b(body, digest_size=32).digest()


def test_several_in_place_consumers_each_message_once_while_producers_write(bq):
    ctx = multiprocessing.get_context("fork")
    results = Queue()  # no feeder thread: forking stays safe
    producers = [ctx.Process(target=_checked_producer, args=(bq.name, i * 1000, 400))
                 for i in range(2)]
    consumers = [ctx.Process(target=_in_place_consumer, args=(bq.name, results, None))
                 for _ in range(3)]
    for p in producers + consumers:
        p.start()
    got = [results.get(timeout=60) for _ in range(800)]
    for p in producers + consumers:
        p.join(30)
        assert p.exitcode == 0
    results.close()
    seqs = [seq for _, seq, _ in got]
    assert all(ok for _, _, ok in got)
    assert sorted(seqs) == sorted(list(range(400)) + list(range(1000, 1400)))


def test_killed_in_place_reader_leaves_its_message_to_another_consumer(bq):
    ctx = multiprocessing.get_context("fork")
    results, dying = Queue(), ctx.Event()
    victim = ctx.Process(target=_in_place_consumer, args=(bq.name, results, dying))
    victim.start()
    body = b"kept" * 100
    bq.put(b"DIE!" + body)
    try:
        assert dying.wait(30)
        os.kill(victim.pid, signal.SIGKILL)
        victim.join(10)
        # The message comes back to the next consumer, whole.
        with bq.recv_view(timeout=10) as mv:
            assert bytes(mv) == b"DIE!" + body
        with pytest.raises(Empty):
            bq.get(timeout=0.1)
    finally:
        if victim.is_alive():
            victim.kill()
        results.close()
