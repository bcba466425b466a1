"""Sending and receiving in place: the Python side of RingQueue.reserve()
and RingQueue.view() (veskline._native, zero_copy.cc).

BytesQueue.reserve(n) hands out a writable memoryview inside the ring;
BytesQueue.recv_view() a read-only memoryview of the next message, claimed
by this process until the block ends. For objects, Queue.put() writes a
pickle's out-of-band buffers straight into a reservation, and
Queue.get_view() unpickles in place: the object's large buffers (NumPy
arrays, PickleBuffer-aware types) are read-only views into the ring, valid
while the block lasts and for as long as anything still refers to them (the
message stays claimed until then).
"""

import pickle
import struct

_loads = pickle.loads
# A record of a pickle with out-of-band buffers: b"V", this header (buffer
# count, pickle length), each buffer's length (8 bytes each), the pickle,
# then the buffers, each starting at a multiple of _ALIGN in the record.
_HEADER = struct.Struct("<II")
_ALIGN = 64


def put_reserved(ring, parts, length, block, timeout, task):
    """Writes one record made of `parts` (buffers laid end to end, `length`
    bytes in all) into a reservation and publishes it: one copy, with the
    ring's mutex and the interpreter lock free while it runs."""
    reservation = ring.reserve(length, block, timeout, task)
    with reservation:
        reservation.fill(parts)


def decode_in_place(view, decode):
    """The object in the record `view` (a read-only memoryview into the
    ring); out-of-band buffers stay views into it. Other record kinds go
    through `decode`, which copies."""
    if not view:
        return decode(view)
    tag = view[0]
    if tag == 0x80:
        return _loads(view)
    if tag != 0x56:  # b"V"
        return decode(bytes(view))
    return load_out_of_band(view)


def load_out_of_band(view):
    """The object in a b"V" record held by the memoryview `view`; its
    out-of-band buffers are slices of `view`."""
    count, length = _HEADER.unpack_from(view, 1)
    lengths = struct.unpack_from(f"<{count}Q", view, 9)
    at = 9 + 8 * count
    stream = view[at:at + length]
    at += length
    buffers = []
    for size in lengths:
        at += -at % _ALIGN
        buffers.append(view[at:at + size])
        at += size
    return _loads(stream, buffers=buffers)


class ObjectView:
    """`with queue.get_view() as obj:` the next object, its large buffers
    read in place."""

    __slots__ = ("_in_place", "_decode")

    def __init__(self, in_place, decode):
        self._in_place = in_place
        self._decode = decode

    def __enter__(self):
        view = self._in_place.__enter__()
        try:
            return decode_in_place(view, self._decode)
        except BaseException:
            self._in_place.__exit__(None, None, None)
            raise

    def __exit__(self, exc_type, exc, tb):
        return self._in_place.__exit__(exc_type, exc, tb)

    @property
    def held(self):
        """Whether the message is still claimed by this process."""
        return self._in_place.held
