"""VeskView: zero-copy reads in place, commit-once rules and lifetimes."""

import gc
import os
import weakref

import pytest

import veskline_core as vc
from helpers import spawn

MIB = 1 << 20


@pytest.fixture
def queue(shm_name):
    return vc.VeskQueue(shm_name(), 1)


def test_with_block_reads_in_place_and_consumes(queue):
    queue.put_bytes(b"hello")
    queue.put_bytes(b"world")
    with queue.recv_view() as mv:
        assert isinstance(mv, memoryview)
        assert mv.readonly and mv.format == "B" and mv.itemsize == 1
        assert mv.tobytes() == b"hello"
        with pytest.raises(TypeError):
            mv[0] = 0
    assert queue.get_bytes() == b"world"


def test_empty_message(queue):
    queue.put_bytes(b"")
    queue.put_bytes(b"next")
    with queue.recv_view() as mv:
        assert len(mv) == 0
    assert queue.get_bytes() == b"next"


def test_wrapping_message_is_one_contiguous_range(queue):
    # Move the positions near the end so the next record crosses it.
    queue.put_bytes(b"a" * (MIB - 1000))
    queue.get_bytes()
    payload = bytes(range(256)) * 40  # 10240 bytes: runs past the end
    queue.put_bytes(payload)
    with queue.recv_view() as mv:
        assert mv.contiguous and mv.tobytes() == payload
    queue.put_bytes(b"after")
    assert queue.get_bytes() == b"after"


def test_exception_propagates_and_message_is_consumed(queue):
    queue.put_bytes(b"one")
    queue.put_bytes(b"two")
    with pytest.raises(ValueError, match="boom"):
        with queue.recv_view() as mv:
            assert bytes(mv) == b"one"
            raise ValueError("boom")
    assert queue.get_bytes() == b"two"


def test_exit_commits_once(queue):
    for message in (b"m1", b"m2", b"m3"):
        queue.put_bytes(message)
    view = queue.recv_view()
    assert view.__exit__(None, None, None) is None  # commit without entering
    assert view.__exit__(None, None, None) is None  # does nothing
    with view as again:  # entering a committed view still yields the bytes
        assert bytes(again) == b"m1"
    assert queue.get_bytes() == b"m2"
    view2 = queue.recv_view()
    with pytest.raises(TypeError):
        view2.__exit__(None, None)
    assert bytes(queue.recv_view()) == b"m3"  # the failed exit committed nothing
    view2.__exit__(None, None, None)
    queue.put_bytes(b"m4")
    assert queue.get_bytes() == b"m4"


def test_buffer_protocol_without_with_never_commits(queue):
    queue.put_bytes(b"stay")
    view = queue.recv_view()
    assert bytes(view) == b"stay"
    assert memoryview(view).tobytes() == b"stay"
    del view
    gc.collect()
    assert queue.get_bytes() == b"stay"  # dropping a view never commits


def test_writable_request_is_refused(queue):
    queue.put_bytes(b"abc")
    view = queue.recv_view()
    read_end, write_end = os.pipe()
    try:
        with pytest.raises(RuntimeError) as info:
            os.readv(read_end, [view])  # asks for a writable buffer
    finally:
        os.close(read_end)
        os.close(write_end)
    assert str(info.value) == "PyBuffer_FillInfo failed"
    assert bytes(view) == b"abc"


def test_two_views_describe_the_same_message(queue):
    queue.put_bytes(b"same")
    queue.put_bytes(b"next")
    first, second = queue.recv_view(), queue.recv_view()
    with first as a, second as b:
        assert bytes(a) == bytes(b) == b"same"
    assert queue.get_bytes() == b"next"  # committed once between them


def test_kept_memoryview_outlives_the_queue(shm_name):
    queue = vc.VeskQueue(shm_name(), 1)
    queue.put_bytes(b"keep me")
    with queue.recv_view() as mv:
        pass
    view_ref = weakref.ref(mv.obj)
    del queue
    gc.collect()
    assert view_ref() is not None  # the buffer keeps the view, the view the queue
    assert mv.tobytes() == b"keep me"
    mv.release()
    gc.collect()
    assert view_ref() is None  # weak references to views work and get cleared


def test_view_of_a_message_from_another_process(shm_name):
    name = shm_name()
    queue = vc.VeskQueue(name, 1)
    child = spawn("""
    q = vc.VeskQueue(sys.argv[1], 1)
    for i in range(300):
        q.put_bytes(bytes([i % 256]) * (i * 50))
    """, name)
    for i in range(300):
        with queue.recv_view() as mv:
            assert len(mv) == i * 50 and mv.tobytes() == bytes([i % 256]) * (i * 50)
    assert child.wait(timeout=30) == 0


def test_view_type_checks(queue):
    queue.put_bytes(b"x")
    view = queue.recv_view()
    with pytest.raises(TypeError):
        vc.VeskView.__enter__(object())
    with pytest.raises(TypeError):
        vc.VeskView.__exit__(queue, None, None, None)
    with pytest.raises(AttributeError):
        view.anything = 1
