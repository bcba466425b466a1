"""veskline._native.examine on real rings and lock records, whole and damaged.

Damage is made the way a crash or a stray write would: by writing into the
object's file at the header's offsets (the layout is pinned by the native
code's static_asserts; these offsets are the documented format).
"""

import os
import signal
import struct
import time

import pytest

import veskline_core as vc
from helpers import spawn, wait_for_line
from veskline import _native

CAPACITY_AT, READ_AT, WRITE_AT, INITIALIZED_AT = 400, 392 - 8, 392, 408
HEADER = 16384
MIB = 1 << 20


def poke(name, offset, fmt, value):
    fd = os.open(f"/dev/shm/{name}", os.O_RDWR)
    try:
        os.pwrite(fd, struct.pack(fmt, value), offset)
    finally:
        os.close(fd)


def make_file(name, size, mtime=None):
    fd = os.open(f"/dev/shm/{name}", os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o600)
    os.ftruncate(fd, size)
    os.close(fd)
    if mtime is not None:
        os.utime(f"/dev/shm/{name}", (mtime, mtime))


class TestWholeObjects:
    def test_ring_counts_and_sizes_across_the_wrap(self, shm_name):
        name = shm_name()
        q = vc.VeskQueue(name, 1)
        # Move the positions close to the end of the data region, so that the
        # queued records (and one length prefix) wrap around it.
        chunk = b"x" * (MIB // 4 - 4)
        for _ in range(3):
            q.put_bytes(chunk)
            q.get_bytes()
        q.put_bytes(b"y" * (MIB // 4 - 6))
        q.get_bytes()
        sizes = [100_000, 0, 7, 300_000]
        for s in sizes:
            q.put_bytes(b"z" * s)
        r = _native.examine(name, 3)
        assert (r["format"], r["state"], r["problem"]) == ("ring", "ready", None)
        assert r["capacity"] == r["data_size"] == MIB and r["size"] == HEADER + MIB
        assert r["read_pos"] == MIB - 2 and r["read_pos"] % MIB > MIB - 4  # prefix wraps
        assert r["queued_bytes"] == sum(sizes) + 4 * len(sizes)
        assert (r["messages"], r["messages_counted"], r["first_sizes"]) == (4, True, sizes[:3])
        assert r["mode"] == 0o600 and r["initialized"] == 1 and r["holder_tid"] == 0
        assert not (r["data_waiting"] or r["space_waiting"] or r["mutex_waiters"])

    def test_lock_record_and_its_holder(self, shm_name):
        name = shm_name()
        vc.VeskLock(name)
        r = _native.examine(name)
        assert (r["format"], r["state"], r["holder_tid"], r["size"]) == ("lock", "ready", 0, 4096)
        holder = spawn("l = vc.VeskLock(sys.argv[1]); l.acquire(); print('held', flush=True)"
                       "; time.sleep(60)", name)
        try:
            wait_for_line(holder, "held")
            r = _native.examine(name)
            assert r["holder_tid"] == holder.pid and not r["owner_died"]
            holder.send_signal(signal.SIGKILL)
            holder.wait(timeout=10)
            # The kernel marks the dead holder's robust mutex at its exit.
            r = _native.examine(name)
            assert (r["holder_tid"], r["owner_died"], r["state"]) == (0, True, "ready")
        finally:
            holder.kill()
            holder.wait()

    def test_sleeping_consumer_is_seen(self, shm_name):
        name = shm_name()
        vc.VeskQueue(name, 1)
        waiter = spawn("q = vc.VeskQueue(sys.argv[1], 1); print('in', flush=True); q.get_bytes()",
                       name)
        try:
            wait_for_line(waiter, "in")
            deadline = time.monotonic() + 20
            while not _native.examine(name)["data_waiting"]:
                assert time.monotonic() < deadline, "the consumer never went to sleep"
                time.sleep(0.02)
        finally:
            waiter.kill()
            waiter.wait()


class TestHalfMadeAndDamaged:
    def test_half_made(self, shm_name):
        ring, lock, empty = shm_name(), shm_name(), shm_name()
        make_file(ring, HEADER + 4096)
        make_file(lock, 4096)
        make_file(empty, 0)
        assert [_native.examine(n)["format"] for n in (ring, lock, empty)] == [
            "ring", "lock", "empty"]
        assert {_native.examine(n)["state"] for n in (ring, lock, empty)} == {"half-made"}

    @pytest.mark.parametrize("damage, problem", [
        ((CAPACITY_AT, "<Q", 12345), "capacity 12345 is not the data size 1048576"),
        ((READ_AT, "<Q", 500), "read position 500 is past the write position 104"),
        ((WRITE_AT, "<Q", 3 * MIB), "3145728 bytes queued exceed the capacity 1048576"),
        ((INITIALIZED_AT, "<Q", 7), "initialized flag is 7"),
        ((HEADER + 52, "<I", 99), "length prefix 99 at position 52 runs past the write position 104"),
        ((WRITE_AT, "<Q", 106), "a partial length prefix at position 104 (2 bytes before the write position)"),
    ])
    def test_damaged_ring(self, shm_name, damage, problem):
        name = shm_name()
        q = vc.VeskQueue(name, 1)
        q.put_bytes(b"a" * 48)
        q.put_bytes(b"b" * 48)
        assert _native.examine(name)["state"] == "ready"
        poke(name, *damage)
        r = _native.examine(name)
        assert (r["format"], r["state"], r["problem"]) == ("ring", "damaged", problem)

    def test_foreign_objects_are_not_ours(self, shm_name):
        odd, noisy, lockish = shm_name(), shm_name(), shm_name()
        make_file(odd, 100)
        make_file(noisy, HEADER + 4096)
        poke(noisy, 0, "<Q", 0x1234)  # neither our mutex, nor our flags
        make_file(lockish, 4096)
        poke(lockish, 1000, "<I", 1)  # a lock record keeps nothing past its mutex
        assert [_native.examine(n)["format"] for n in (odd, noisy, lockish)] == ["foreign"] * 3
        assert _native.examine(odd)["state"] is None

    def test_missing_and_bad_names(self, shm_name):
        with pytest.raises(FileNotFoundError):
            _native.examine(shm_name())
        with pytest.raises(ValueError):
            _native.examine("a\0b")
