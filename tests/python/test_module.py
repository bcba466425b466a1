"""The module surface: names, types, exceptions, signatures, re-import."""

import importlib
import inspect
import sys

import pytest

import veskline_core as vc
from helpers import run

CLASSES = ["VeskLock", "VeskQueue", "VeskView", "VeskPoolCore"]


def test_all_and_doc():
    assert vc.__all__ == [
        "VeskLock", "VeskQueue", "VeskView", "VeskPoolCore", "LockRecovered", "TimeoutError",
    ]
    assert vc.__doc__ == ""
    for name in vc.__all__:
        assert getattr(vc, name) is not None


def test_exception_types():
    for exc in (vc.TimeoutError, vc.LockRecovered):
        assert exc.__bases__ == (RuntimeError,)
        assert exc.__module__ == "veskline_core"
        assert exc.__doc__ is None
    assert vc.TimeoutError.__name__ == "TimeoutError"
    assert vc.LockRecovered.__name__ == "LockRecovered"
    assert vc.TimeoutError is not TimeoutError
    assert not issubclass(vc.TimeoutError, OSError)
    with pytest.raises(RuntimeError):
        raise vc.LockRecovered("Lock recovered from dead process")


def test_class_types():
    for name in CLASSES:
        cls = getattr(vc, name)
        assert cls.__module__ == "builtins"
        assert cls.__qualname__ == name
        with pytest.raises(TypeError, match="not an acceptable base type"):
            type("Sub", (cls,), {})
    assert vc.VeskLock.__text_signature__ == "(name)"
    assert vc.VeskQueue.__text_signature__ == "(name, size_mb)"
    assert vc.VeskPoolCore.__text_signature__ == "(size_mb)"
    assert vc.VeskView.__doc__ == (
        "A safe wrapper around a view of the queue memory.\n"
        "Holds a reference to the queue to prevent use-after-free."
    )
    assert vc.VeskView.__text_signature__ is None
    with pytest.raises(TypeError) as info:
        vc.VeskView()
    assert str(info.value) == "No constructor defined for VeskView"


@pytest.mark.parametrize(
    "owner, method, signature",
    [
        ("VeskLock", "acquire", "($self)"),
        ("VeskLock", "release", "($self)"),
        ("VeskLock", "__enter__", "($self)"),
        ("VeskLock", "__exit__", "($self, _exc_type, _exc_value, _traceback)"),
        ("VeskLock", "unlink", "(name)"),
        ("VeskQueue", "put_bytes", "($self, data)"),
        ("VeskQueue", "get_bytes", "($self)"),
        ("VeskQueue", "commit_read", "($self, next_pos)"),
        ("VeskQueue", "unlink", "(name)"),
        ("VeskView", "__enter__", "($self)"),
        ("VeskView", "__exit__", "($self, _exc_type, _exc_value, _traceback)"),
        ("VeskPoolCore", "put_task", "($self, data)"),
        ("VeskPoolCore", "get_result", "($self)"),
        ("VeskPoolCore", "unlink", "($self)"),
    ],
)
def test_method_signatures(owner, method, signature):
    function = getattr(getattr(vc, owner), method)
    assert function.__text_signature__ == signature
    assert function.__doc__ is None
    inspect.signature(function)  # must parse


def test_recv_view_doc():
    assert vc.VeskQueue.recv_view.__text_signature__ == "($self)"
    assert vc.VeskQueue.recv_view.__doc__ == (
        "Zero-copy receive. Returns a VeskView context manager.\n"
        "Usage: with queue.recv_view() as view: ..."
    )


def test_no_instance_attributes(shm_name):
    lock = vc.VeskLock(shm_name())
    with pytest.raises(AttributeError):
        lock.anything = 1
    with pytest.raises(TypeError):
        import weakref

        weakref.ref(lock)


def test_reimport_gives_the_same_module():
    first = sys.modules.pop("veskline_core")
    try:
        again = importlib.import_module("veskline_core")
        assert again is first
        assert again.VeskQueue is first.VeskQueue
    finally:
        sys.modules["veskline_core"] = first


def test_second_interpreter_is_refused():
    code = """
    try:
        import _testcapi
    except ImportError:
        print("skip"); sys.exit(0)
    ret = _testcapi.run_in_subinterp("import veskline_core")
    print("ret", ret)
    """
    rc, out, err = run(code)
    if out.strip() == "skip":
        pytest.skip("no way to start a subinterpreter here")
    assert rc == 0, err
    assert "ret -1" in out
    assert "ImportError" in err and "subinterpreters" in err
