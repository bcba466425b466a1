"""The queues: multiprocessing's interface over one shared-memory ring.

Every put and get is one call into veskline._native, which copies the record
into or out of the ring; there is no feeder thread, so when put() returns the
object is in the queue. Objects are pickled with protocol 5: buffers of at
least 64 KiB (a large bytes object or NumPy array) travel out of band and are
copied once, straight into the ring, next to the pickle stream.

Record formats (the payload of one ring record):
  - a pickle stream (its first byte is pickle's PROTO opcode, 0x80);
  - b"V", u32 buffer count n, u32 pickle length, n x u64 buffer lengths, the
    pickle stream, then each buffer at a 64-byte aligned offset from the
    record's start;
  - b"S" and the name of a one-off shared-memory segment holding one of the
    two above, for an object larger than the ring. A get claims such a record
    and finishes the claim only once it has read the segment, then removes
    the segment: a consumer killed in between leaves the record to the next
    get, and the segment with it.
BytesQueue's records are the bytes as given, as veskline_core.VeskQueue
writes and reads them.
"""

import atexit
import mmap
import os
import pickle
import queue
import secrets
import struct

from . import _tracker
from ._zerocopy import _ALIGN, _HEADER, ObjectView, load_out_of_band, put_reserved
from ._errors import ShutDown
from ._native import ObjectQueue, RingQueue

__all__ = ["Queue", "JoinableQueue", "SimpleQueue", "BytesQueue", "ShutDown", "Full", "Empty",
           "DEFAULT_CAPACITY"]

Full = queue.Full
Empty = queue.Empty

DEFAULT_CAPACITY = 16 * 1024 * 1024
_PAGE = mmap.PAGESIZE
_OOB_MIN = 64 * 1024
_SHM_DIR = "/dev/shm/"

_dumps = pickle.dumps
_loads = pickle.loads

# Names this process created with name=None, with the pid that owns them (a
# forked child inherits the table but owns nothing).
_owned = {}


def _system_path(name):
    return _SHM_DIR + name.lstrip("/")


def _unlink(name):
    try:
        os.unlink(_system_path(name))
    except FileNotFoundError:
        pass


def _remove_side_segments(name):
    prefix = name.lstrip("/") + "~"
    try:
        entries = os.listdir(_SHM_DIR)
    except OSError:
        return
    for entry in entries:
        if entry.startswith(prefix):
            _unlink(entry)


def _release_owned(name):
    if _owned.get(name) == os.getpid():
        del _owned[name]
        _unlink(name)
        _remove_side_segments(name)
        _tracker.unregister(name)


@atexit.register
def _release_all_owned():
    for name in list(_owned):
        _release_owned(name)


def _round_capacity(capacity):
    capacity = int(capacity)
    if capacity <= 0:
        raise ValueError(f"capacity must be positive, not {capacity}")
    return -(-capacity // _PAGE) * _PAGE


def _open_ring(cls, maxsize, name, capacity):
    """The native ring and whether this process owns its name."""
    if maxsize is None or maxsize <= 0:
        maxsize = 0
    capacity = _round_capacity(capacity)
    if name is not None:
        return RingQueue(name, capacity, maxsize, 2), name, False
    name = f"vkq_{os.getpid()}_{secrets.token_hex(6)}"
    # Registered first: a process killed while creating leaves nothing.
    _tracker.register(name)
    try:
        ring = RingQueue(name, capacity, maxsize, 1)
    except BaseException:
        _tracker.unregister(name)
        raise
    _owned[name] = os.getpid()
    return ring, name, True


def _attach_ring(name):
    try:
        return RingQueue(name, 0, 0, 0)
    except FileNotFoundError:
        raise FileNotFoundError(
            f"no veskline queue is named {name!r}: its owner removed it (closed or exited), "
            f"or it never existed") from None


def _rebuild(cls, name):
    return cls.attach(name)


class _RingBacked:
    """What every queue shares: the ring, its name, closing, pickling."""

    _task = False

    def _bind(self, ring, name, owner=False):
        self._ring = ring
        self._name = name
        self._closed = False
        # The creating object, in the creating process, removes the name.
        self._owner_pid = os.getpid() if owner else None
        # Looked up once: put() and get() are one Python frame and one native call.
        self._fits = ring.capacity - 4
        self._rput = ring.put
        self._rget = ring.get

    @classmethod
    def attach(cls, name):
        """Attaches to the existing queue `name`; never creates one."""
        self = cls.__new__(cls)
        self._bind(_attach_ring(name), name)
        return self

    @property
    def name(self):
        return self._name

    @property
    def capacity(self):
        return self._ring.capacity

    def __reduce__(self):
        if self._closed:
            raise ValueError(f"{type(self).__name__} {self!r} is closed")
        return _rebuild, (type(self), self._name)

    def __repr__(self):
        return f"<{type(self).__module__}.{type(self).__qualname__} name={self._name!r}>"

    def _check_closed(self):
        if self._closed:
            raise ValueError(f"{type(self).__name__} {self!r} is closed")

    def qsize(self):
        """Messages queued and not yet taken, in every process."""
        self._check_closed()
        return self._ring.qsize()

    def empty(self):
        self._check_closed()
        return self._ring.qsize() == 0

    def full(self):
        self._check_closed()
        size, maxsize, _, _, _ = self._ring.stats()
        return maxsize > 0 and size >= maxsize

    @property
    def maxsize(self):
        return self._ring.maxsize

    @maxsize.setter
    def maxsize(self, value):
        # Shared: the new limit holds for every process using the queue.
        self._check_closed()
        self._ring.maxsize = value

    @property
    def is_shutdown(self):
        return self._ring.stats()[4] != 0

    def close(self):
        """Ends this handle: no more put or get through it. The owner (the
        process that created the queue with name=None) also removes the name;
        processes attached already keep working."""
        if self._closed:
            return
        self._closed = True
        self._ring.close()
        if self._owner_pid == os.getpid() and _owned.get(self._name) == self._owner_pid:
            del _owned[self._name]
            _unlink(self._name)
            _tracker.unregister(self._name)

    def join_thread(self):
        """No feeder thread to wait for: puts are synchronous."""
        assert self._closed, f"Queue {self!r} not closed"

    def cancel_join_thread(self):
        """No feeder thread: nothing to cancel."""

    def unlink(self):
        """Removes the name now, whoever created it."""
        _unlink(self._name)
        _remove_side_segments(self._name)
        if _owned.get(self._name) == os.getpid():
            del _owned[self._name]
            _tracker.unregister(self._name)


class Queue(ObjectQueue, _RingBacked):
    """A process-shared FIFO queue of picklable objects, as multiprocessing.Queue.

    maxsize counts items (0: bounded only by the ring); capacity is the ring's
    size in bytes (rounded up to whole pages). name=None creates a fresh name
    owned by this process; a given name is created or attached to.
    """

    def __init__(self, maxsize=0, *, name=None, capacity=DEFAULT_CAPACITY):
        ring, name, owner = _open_ring(type(self), maxsize, name, capacity)
        self._bind(ring, name, owner)

    def _bind(self, ring, name, owner=False):
        super()._bind(ring, name, owner)
        # put() and get() are ObjectQueue's: one native call each, which
        # pickles and puts, or gets and unpickles. What they cannot finish
        # there comes back to _put_rest, _decode and _take_side.
        self._bind_ring(ring, self._task)

    # --- encoding ---------------------------------------------------------

    def _record(self, obj):
        """The parts of one record for `obj` (a bytes object, or a tuple of buffers)."""
        buffers = []
        data = _dumps(obj, 5, buffer_callback=buffers.append)
        if not buffers:
            return data, len(data)
        return self._layout(obj, data, buffers)

    def _layout(self, obj, data, buffers):
        """The record of a pickle with out-of-band buffers."""
        raws = [b.raw() for b in buffers]
        if all(r.nbytes < _OOB_MIN for r in raws):
            data = _dumps(obj, 5)
            return data, len(data)
        lengths = [r.nbytes for r in raws]
        header = b"V" + _HEADER.pack(len(raws), len(data)) + struct.pack(f"<{len(raws)}Q", *lengths)
        parts = [header, data]
        at = len(header) + len(data)
        for raw in raws:
            pad = -at % _ALIGN
            if pad:
                parts.append(bytes(pad))
                at += pad
            parts.append(raw)
            at += raw.nbytes
        return tuple(parts), at

    def _decode(self, data):
        tag = data[0]
        if tag == 0x80:
            return _loads(data)
        if tag == 0x56:  # b"V"
            if type(data) is bytes:
                data = bytearray(data)  # out-of-band buffers come back writable
            return load_out_of_band(memoryview(data))
        raise ValueError(f"not a veskline.Queue record (first byte {tag:#x})")

    def _side_record(self, record, length):
        """Writes a record too large for the ring to a one-off segment."""
        segment = f"{self._name.lstrip('/')}~{os.getpid():x}_{secrets.token_hex(6)}"
        _tracker.register(segment)
        try:
            fd = os.open(_system_path(segment), os.O_CREAT | os.O_EXCL | os.O_RDWR, 0o600)
            try:
                parts = record if type(record) is tuple else (record,)
                at = 0
                for part in parts:
                    view = memoryview(part).cast("B")
                    while view:
                        written = os.pwrite(fd, view, at)
                        at += written
                        view = view[written:]
            finally:
                os.close(fd)
        except BaseException:
            _unlink(segment)
            _tracker.unregister(segment)
            raise
        return segment

    def _put_side(self, record, length, block, timeout):
        segment = self._side_record(record, length)
        # Given up before the record is put: once it is queued, this
        # process's exit must not take the segment with it. Killed in between,
        # the segment stays until the queue's owner removes its side storage.
        _tracker.unregister(segment)
        try:
            self._ring.put(b"S" + segment.encode(), block, timeout, self._task)
        except BaseException:
            _unlink(segment)
            raise
        # In the queue now: the consumer removes it, or the queue's owner.

    # --- the interface ----------------------------------------------------

    def _put_rest(self, obj, data, buffers, block, timeout):
        record, length = self._layout(obj, data, buffers) if buffers else (data, len(data))
        if length > self._fits:
            return self._put_side(record, length, block, timeout)
        if type(record) is tuple:
            # Out-of-band buffers: copied straight into a reservation, with
            # the ring's mutex free while the copy runs.
            return put_reserved(self._ring, record, length, block, timeout, self._task)
        self._rput(record, block, timeout, self._task)

    def _take_side(self, token, block, timeout):
        """The object of a claimed record naming a one-off segment: read the
        segment, finish the claim, then remove the segment."""
        segment = bytes(token[0][1:]).decode()
        try:
            data = _read_side_segment(segment)
        except FileNotFoundError:
            # Removed with its queue's owner: the object is gone; so is the record.
            self._ring.finish(token, self._task)
            raise OSError(f"the segment {segment!r} holding a queued object was removed "
                          f"(its queue's owner exited)") from None
        except BaseException:
            self._ring.give_back(token)
            raise
        if not self._ring.finish(token, self._task):
            # The claim was taken from this process meanwhile; another get
            # receives the object.
            return self.get(block, timeout)
        _unlink(segment)
        return self._decode(data)

    def put_nowait(self, obj):
        return self.put(obj, False)

    def get_nowait(self):
        return self.get(False)

    def get_view(self, block=True, timeout=None):
        """`with q.get_view() as obj:` receives the next object in place: its
        large buffers (NumPy arrays, bytes sent out of band) are read-only
        views into the ring instead of copies. The message is claimed by this
        process while the block runs, and for as long as any of those views
        is still alive after it; a process killed meanwhile leaves it to
        another consumer."""
        self._check_closed()
        return ObjectView(self._ring.view(block, timeout, self._task), self._decode)

    def put_many(self, objects, block=True, timeout=None):
        """Puts every object or none, with one wake-up; ValueError at once
        when the batch could never fit."""
        if self._closed:
            raise ValueError(f"Queue {self!r} is closed")
        records = []
        for obj in objects:
            record, length = self._record(obj)
            if type(record) is tuple:
                record = b"".join(record)
            records.append(record)
        self._ring.put_many(records, block, timeout, self._task)

    def get_many(self, block=True, timeout=None, max_messages=None, max_bytes=None):
        """Takes up to max_messages (and about max_bytes of records) at once,
        waiting like get() for the first; never an empty list."""
        if self._closed:
            raise ValueError(f"Queue {self!r} is closed")
        decode = self._decode
        records = self._ring.get_many(block, timeout, max_messages, max_bytes, self._task, True,
                                      True)
        if type(records[0]) is tuple:  # a one-off segment's record comes alone
            return [self._take_side(records[0], block, timeout)]
        return [_loads(d) if d[0] == 0x80 else decode(d) for d in records]

    def shutdown(self, immediate=False):
        """As queue.Queue.shutdown, for every process: puts raise ShutDown;
        gets raise it once the queue is empty (at once if `immediate`, which
        also discards what is queued, counting each as a finished task)."""
        self._check_closed()
        for data in self._ring.shutdown(bool(immediate)):
            if data[:1] == b"S":
                _unlink(bytes(data[1:]).decode())


def _read_side_segment(segment):
    fd = os.open(_system_path(segment), os.O_RDONLY)
    try:
        size = os.fstat(fd).st_size
        data = bytearray(size)
        view = memoryview(data)
        at = 0
        while at < size:
            got = os.preadv(fd, [view[at:]], at)
            if got <= 0:
                raise OSError(f"the segment {segment!r} was cut short")
            at += got
    finally:
        os.close(fd)
    return data


class JoinableQueue(Queue):
    """A Queue with task_done() and join(), counted across processes."""

    _task = True

    def task_done(self):
        self._check_closed()
        self._ring.task_done()

    def join(self):
        """Waits until every task put has been marked done; a process that
        died holding tasks counts them as done."""
        self._check_closed()
        self._ring.join(None)

    @property
    def unfinished_tasks(self):
        """Tasks put and not yet marked done, across every process."""
        self._check_closed()
        return self._ring.stats()[2]


class SimpleQueue(Queue):
    """An unbounded Queue (multiprocessing.SimpleQueue's interface and more)."""

    def __init__(self, *, name=None, capacity=DEFAULT_CAPACITY):
        super().__init__(0, name=name, capacity=capacity)


class BytesQueue(_RingBacked):
    """The queue interface for bytes, without pickling.

    put() takes any C-contiguous buffer and copies it once; get() returns
    bytes. Records keep veskline_core's format, so a BytesQueue and a
    veskline_core.VeskQueue of the same name and size exchange messages.
    A message or batch larger than the ring raises ValueError at once.
    """

    def __init__(self, maxsize=0, *, name=None, capacity=DEFAULT_CAPACITY):
        ring, name, owner = _open_ring(type(self), maxsize, name, capacity)
        self._bind(ring, name, owner)

    def put(self, data, block=True, timeout=None):
        if self._closed:
            raise ValueError(f"BytesQueue {self!r} is closed")
        if type(data) is tuple or type(data) is list:
            raise TypeError(f"a bytes-like object is required, not '{type(data).__name__}'")
        self._ring.put(data, block, timeout)

    def get(self, block=True, timeout=None):
        if self._closed:
            raise ValueError(f"BytesQueue {self!r} is closed")
        return self._ring.get(block, timeout)

    def put_nowait(self, data):
        return self.put(data, False)

    def get_nowait(self):
        return self.get(False)

    def put_many(self, items, block=True, timeout=None):
        self._check_closed()
        self._ring.put_many(list(items), block, timeout)

    def reserve(self, nbytes, block=True, timeout=None):
        """`with q.reserve(n) as buf:` writes a message of n bytes in place:
        `buf` is a writable memoryview inside the ring. Leaving the block
        publishes the message; an exception abandons it; a process killed
        inside the block publishes nothing. Waits for room as put() does.
        Views made from `buf` must not outlive the block (BufferError, and
        nothing is published)."""
        self._check_closed()
        return self._ring.reserve(nbytes, block, timeout)

    def recv_view(self, block=True, timeout=None):
        """`with q.recv_view() as mv:` receives the next message in place:
        `mv` is a read-only memoryview into the ring, released when the block
        ends. The message is claimed by this process (no other consumer gets
        it, no producer overwrites it) until then, or until the last view
        made from `mv` is released; a process killed meanwhile leaves it to
        another consumer."""
        self._check_closed()
        return self._ring.view(block, timeout)

    def get_many(self, block=True, timeout=None, max_messages=None, max_bytes=None):
        self._check_closed()
        return self._ring.get_many(block, timeout, max_messages, max_bytes)

    def shutdown(self, immediate=False):
        self._check_closed()
        self._ring.shutdown(bool(immediate))
