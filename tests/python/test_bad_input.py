"""Bad arguments from Python get their exact errors, whatever the input.

Names are checked against a model of how a name becomes a system name (a "/"
put in front unless there is one, NUL refused with its byte position) and of
what the C library and the kernel make of it on this platform. Sizes and
positions against the 64-bit conversion rules. Nothing a failing call does may
leave a name, a descriptor or a mapping behind (checked here per call and by
the session checks in conftest).
"""

from __future__ import annotations

import os

import pytest
from hypothesis import HealthCheck, assume, example, given, settings
from hypothesis import strategies as st

import veskline_core as vk
from conftest import new_name, remove_name, shm_descriptors, shm_mappings

MIB = 1 << 20
U64 = 1 << 64

SETTINGS = settings(max_examples=150, deadline=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture])

# Characters that matter to names, mixed with anything printable.
NAME_CHARS = st.one_of(
    st.sampled_from(["\x00", "/", ".", "a", "é", "€", "\U0001f600", "\ud800", "\udfff"]),
    st.characters(blacklist_categories=("Cs",)),
)
NAME_TEXT = st.text(NAME_CHARS, max_size=12)


def expected_name_error(name: str, unlinking: bool = False):
    """The error a missing name gets, as (type, text after the prefix); None if valid.

    The C library strips leading slashes and refuses an empty rest or one
    with a slash inside (EINVAL; shm_unlink reports that as ENOENT), and names
    of 260 bytes or more (likewise); the kernel refuses 256 to 259 bytes.
    """
    try:
        raw = name.encode("utf-8")
    except UnicodeEncodeError:
        return UnicodeEncodeError, None
    system = raw if raw.startswith(b"/") else b"/" + raw
    if 0 in system:
        return RuntimeError, f"CString error: nul byte found in provided data at position: {system.index(0)}"
    rest = system.lstrip(b"/")
    invalid = ("Nix error: ENOENT: No such file or directory" if unlinking
               else "Nix error: EINVAL: Invalid argument")
    if not rest or b"/" in rest or len(rest) >= 260:
        return RuntimeError, invalid
    if len(rest) > 255:
        return RuntimeError, "Nix error: ENAMETOOLONG: File name too long"
    if rest in (b".", b".."):
        return RuntimeError, None if unlinking else "Nix error: EEXIST: File exists"
    if unlinking:
        return RuntimeError, "Nix error: ENOENT: No such file or directory"
    return None


def check_call(call, expected, prefix: str):
    if expected is None:
        return call()
    kind, text = expected
    with pytest.raises(kind) as caught:
        call()
    if text is not None:
        assert type(caught.value) is kind
        assert str(caught.value) == prefix + text
    return None


class NoLeak:
    """Asserts that a block adds no descriptor and no session mapping."""

    def __enter__(self):
        self.fds, self.maps = set(shm_descriptors()), set(shm_mappings())
        return self

    def __exit__(self, *exc):
        if exc[0] is None:
            assert set(shm_descriptors()) <= self.fds
            assert set(shm_mappings()) <= self.maps


def padded_name(length: int) -> str:
    name = new_name("L")
    return name + "x" * (length - len(name))


names = st.one_of(
    # Anything at all: only the failing ones are tried (a valid one would
    # create a name outside the session's prefix).
    NAME_TEXT.filter(lambda n: expected_name_error(n) is not None),
    # The session's prefix with odd leading slashes and a tail of anything.
    st.tuples(st.sampled_from(["", "/", "//"]), NAME_TEXT).map(
        lambda t: t[0] + new_name("h") + t[1]),
    # Around the length limits.
    st.integers(250, 265).map(lambda n: padded_name(n)),
)


@pytest.mark.parametrize("cls, prefix", [
    (vk.VeskQueue, "Failed to create mirrored shm: "),
    (vk.VeskLock, "Failed to create shm: "),
])
@SETTINGS
@given(name=names)
def test_constructor_names(cls, prefix, name):
    make = (lambda: cls(name, 1)) if cls is vk.VeskQueue else (lambda: cls(name))
    expected = expected_name_error(name)
    with NoLeak():
        try:
            made = check_call(make, expected, prefix)
            if expected is None:
                assert made is not None
                del made
                cls.unlink(name)
        finally:
            if expected is None:
                remove_name(name)


@pytest.mark.parametrize("cls", [vk.VeskQueue, vk.VeskLock])
@SETTINGS
@given(name=names)
def test_unlink_names(cls, name):
    expected = expected_name_error(name, unlinking=True)
    assume(expected is not None and expected[1] is not None)
    with NoLeak():
        check_call(lambda: cls.unlink(name), expected, "Unlink failed: ")


NOT_INTEGERS = st.one_of(
    st.floats(allow_nan=True), st.text(max_size=3), st.binary(max_size=3), st.none(),
    st.lists(st.integers(), max_size=2), st.complex_numbers(max_magnitude=4),
)


def check_u64_argument(call, param: str, value) -> bool:
    """Checks a non-u64 value's error; False when the value is a valid u64."""
    if isinstance(value, int):
        if value < 0:
            with pytest.raises(OverflowError, match="^can't convert negative int to unsigned$"):
                call(value)
            return True
        if value >= U64:
            with pytest.raises(OverflowError, match="^int too big to convert$"):
                call(value)
            return True
        return False
    with pytest.raises(TypeError) as caught:
        call(value)
    assert str(caught.value) == (
        f"argument '{param}': '{type(value).__name__}' object cannot be interpreted as an integer")
    return True


@SETTINGS
@given(size=st.one_of(st.integers(-(1 << 70), U64 + (1 << 70)), NOT_INTEGERS))
def test_queue_size_conversion(shm_name, size):
    """A u64 size whose byte count fits in 64 bits is checked against the
    existing ring; a larger one is an OverflowError, never a wrapped size;
    anything else is a conversion error."""
    name = shm_name("s")
    existing = vk.VeskQueue(name, 1)
    with NoLeak():
        if check_u64_argument(lambda v: vk.VeskQueue(name, v), "size_mb", size):
            return
        if size > (U64 - 1) >> 20:
            with pytest.raises(OverflowError, match="^size_mb is too large"):
                vk.VeskQueue(name, size)
            return
        data_size = size << 20
        if data_size == 0:
            # No ring can be mapped with it: the create path reports the name.
            with pytest.raises(RuntimeError) as caught:
                vk.VeskQueue(name, size)
            assert str(caught.value) == "Failed to create mirrored shm: Nix error: EEXIST: File exists"
            return
        if data_size == MIB:
            assert vk.VeskQueue(name, size) is not None
            return
        with pytest.raises(RuntimeError) as caught:
            vk.VeskQueue(name, size)
        assert str(caught.value) == (
            f"Failed to open buffer: Header corruption or size mismatch "
            f"(expected {data_size}, got {MIB})")
    del existing


@SETTINGS
@given(size=st.one_of(st.integers(max_value=-1), st.integers(min_value=1 << 44), NOT_INTEGERS))
def test_pool_size_conversion(size):
    with NoLeak():
        if check_u64_argument(vk.VeskPoolCore, "size_mb", size):
            return
        with pytest.raises(OverflowError, match="^size_mb is too large"):
            vk.VeskPoolCore(size)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_index_objects_are_converted_through_index(shm_name):
    name = shm_name("i")
    queue = vk.VeskQueue(name, Index(1))
    assert vk.VeskQueue(name, True) is not None
    with pytest.raises(OverflowError):
        vk.VeskQueue(name, Index(-1))
    with pytest.raises(TypeError, match=r"^argument 'size_mb': __index__ returned non-int \(type str\)$"):
        vk.VeskQueue(name, Index("1"))
    del queue


@SETTINGS
@given(data=st.one_of(st.text(max_size=4), st.binary(max_size=4).map(bytearray),
                      st.binary(max_size=4).map(memoryview), st.integers(), st.none(),
                      st.lists(st.integers(0, 255), max_size=3)))
def test_put_bytes_refuses_everything_but_bytes(shm_name, data):
    queue = vk.VeskQueue(shm_name("p"), 1)
    with pytest.raises(TypeError) as caught:
        queue.put_bytes(data)
    assert str(caught.value) == (
        f"argument 'data': '{type(data).__name__}' object cannot be converted to 'PyBytes'")


def test_put_bytes_size_limits(shm_name):
    queue = vk.VeskQueue(shm_name("l"), 1)

    class Sub(bytes):
        pass

    for size in (MIB - 3, MIB, 4 * MIB):
        with pytest.raises(RuntimeError) as caught:
            queue.put_bytes(b"\xab" * size)
        assert str(caught.value) == "Queue put error: Buffer too small"
    queue.put_bytes(Sub(b"\xcd" * (MIB - 4)))  # exactly fills an empty ring
    assert queue.get_bytes() == b"\xcd" * (MIB - 4)


@SETTINGS
@given(position=st.one_of(st.integers(-(1 << 70), U64 + (1 << 70)),
                          st.integers(0, 64), NOT_INTEGERS))
@example(position=9)
@example(position=19)
@example(position=U64 - 1)
def test_commit_read_moves_only_to_the_end_of_the_oldest_record(shm_name, position):
    queue = vk.VeskQueue(shm_name("c"), 1)
    for message in (b"first", b"second", b"third"):
        queue.put_bytes(message)
    view = queue.recv_view()
    if check_u64_argument(queue.commit_read, "next_pos", position):
        return
    with view as first:
        got = bytes(first)
    # Records of 4 + 5 and 4 + 6 bytes from position 0: after the view's own
    # commit only 19, the end of "second", moves the read position; anything
    # else is stale, beyond the write position or inside a record.
    queue.commit_read(position)
    assert got == b"first"
    assert queue.get_bytes() == (b"third" if position == 19 else b"second")


@SETTINGS
@given(keyword=st.text(NAME_CHARS, min_size=1, max_size=8))
def test_unknown_keywords_are_named(keyword):
    assume(keyword not in ("name", "size_mb"))
    try:
        keyword.encode("utf-8")
    except UnicodeEncodeError:
        with pytest.raises(UnicodeEncodeError):
            vk.VeskQueue(**{keyword: 1})
        return
    with pytest.raises(TypeError) as caught:
        vk.VeskQueue(**{keyword: 1})
    assert str(caught.value) == f"VeskQueue.__new__() got an unexpected keyword argument '{keyword}'"


def test_failed_constructions_leave_no_mapping_or_descriptor(shm_name):
    name = shm_name("f")
    queue = vk.VeskQueue(name, 1)
    lock_name = shm_name("k")
    before_maps = len(shm_mappings(f"/dev/shm/{name}"))
    with NoLeak():
        for _ in range(200):
            with pytest.raises(RuntimeError, match="size mismatch"):
                vk.VeskQueue(name, 2)
            with pytest.raises(RuntimeError, match="Failed to create shm: CString error"):
                vk.VeskLock(lock_name + "\x00")
            with pytest.raises(RuntimeError, match="Failed to create mirrored shm: Nix error: EINVAL"):
                vk.VeskQueue(name + "/x", 1)
    assert len(shm_mappings(f"/dev/shm/{name}")) == before_maps
    del queue
    assert shm_mappings(f"/dev/shm/{name}") == []
    assert not os.path.exists(f"/dev/shm/{lock_name}")
