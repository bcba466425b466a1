"""Argument binding and conversion texts, shared by every entry point."""

import pytest

import veskline_core as vc


def message(call):
    with pytest.raises(Exception) as info:
        call()
    return type(info.value), str(info.value)


def test_constructor_binding_texts(shm_name):
    assert message(lambda: vc.VeskLock()) == (
        TypeError, "VeskLock.__new__() missing 1 required positional argument: 'name'")
    assert message(lambda: vc.VeskLock("a", "b")) == (
        TypeError, "VeskLock.__new__() takes 1 positional arguments but 2 were given")
    assert message(lambda: vc.VeskLock("a", name="b")) == (
        TypeError, "VeskLock.__new__() got multiple values for argument 'name'")
    assert message(lambda: vc.VeskLock(nam="a")) == (
        TypeError, "VeskLock.__new__() got an unexpected keyword argument 'nam'")
    assert message(lambda: vc.VeskQueue()) == (
        TypeError,
        "VeskQueue.__new__() missing 2 required positional arguments: 'name' and 'size_mb'")
    assert message(lambda: vc.VeskQueue(1, 2, 3)) == (
        TypeError, "VeskQueue.__new__() takes 2 positional arguments but 3 were given")
    vc.VeskLock(name=shm_name())  # every parameter can be given by keyword


def test_pool_binding_texts():
    assert message(lambda: vc.VeskPoolCore()) == (
        TypeError, "VeskPoolCore.__new__() missing 1 required positional argument: 'size_mb'")
    assert message(lambda: vc.VeskPoolCore(1, 2)) == (
        TypeError, "VeskPoolCore.__new__() takes 1 positional arguments but 2 were given")
    assert message(lambda: vc.VeskPoolCore(1, size_mb=1)) == (
        TypeError, "VeskPoolCore.__new__() got multiple values for argument 'size_mb'")
    # The unknown keyword is reported before the missing argument.
    assert message(lambda: vc.VeskPoolCore(sizemb=1)) == (
        TypeError, "VeskPoolCore.__new__() got an unexpected keyword argument 'sizemb'")


def test_exit_binding_texts(shm_name):
    lock = vc.VeskLock(shm_name())
    lock.acquire()
    assert message(lambda: lock.__exit__(None, None)) == (
        TypeError,
        "VeskLock.__exit__() missing 1 required positional argument: '_traceback'")
    assert message(lambda: lock.__exit__()) == (
        TypeError,
        "VeskLock.__exit__() missing 3 required positional arguments: "
        "'_exc_type', '_exc_value', and '_traceback'")
    assert message(lambda: lock.__exit__(1, 2, 3, 4)) == (
        TypeError, "VeskLock.__exit__() takes 3 positional arguments but 4 were given")
    assert message(lambda: lock.__exit__(None, None, _exc_type=None)) == (
        TypeError, "VeskLock.__exit__() got multiple values for argument '_exc_type'")
    # None of those released the lock; keywords bind like positions.
    assert lock.__exit__(_traceback=1, _exc_value=2, _exc_type=3) is None
    assert message(lambda: lock.release())[1] == "Unlock failed: Pthread error: 1"


def test_conversion_texts(shm_name):
    assert message(lambda: vc.VeskLock(5)) == (
        TypeError, "argument 'name': 'int' object cannot be converted to 'PyString'")
    assert message(lambda: vc.VeskLock.unlink(b"x")) == (
        TypeError, "argument 'name': 'bytes' object cannot be converted to 'PyString'")
    assert message(lambda: vc.VeskLock.unlink()) == (
        TypeError, "VeskLock.unlink() missing 1 required positional argument: 'name'")
    kind, text = message(lambda: vc.VeskLock("\ud800"))
    assert kind is UnicodeEncodeError
    kind, text = message(lambda: vc.VeskPoolCore("1"))
    assert kind is TypeError
    assert text == "argument 'size_mb': 'str' object cannot be interpreted as an integer"
    kind, text = message(lambda: vc.VeskPoolCore(-1))
    assert kind is OverflowError and not text.startswith("argument")
    kind, _ = message(lambda: vc.VeskPoolCore(2**64))
    assert kind is OverflowError


def test_receiver_check_through_unbound_methods(shm_name):
    with pytest.raises(TypeError):
        vc.VeskLock.acquire(object())
    with pytest.raises(TypeError):
        vc.VeskQueue.get_bytes(vc.VeskLock(shm_name()))
