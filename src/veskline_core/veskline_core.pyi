"""Shared-memory queues, views, locks and pool rings between processes on one Linux host."""

from types import TracebackType
from typing import final

__all__ = ["VeskLock", "VeskQueue", "VeskView", "VeskPoolCore", "LockRecovered", "TimeoutError"]

class LockRecovered(RuntimeError):
    """Raised by VeskLock.acquire()/__enter__ when the previous holder died.

    The calling thread holds the lock when it sees this exception."""

class TimeoutError(RuntimeError):  # noqa: A001 - not the built-in TimeoutError
    """Exported for callers; no operation raises it."""

@final
class VeskLock:
    """A named cross-process lock; the thread that takes over from a dead holder gets LockRecovered."""

    def __new__(cls, name: str) -> VeskLock: ...
    def acquire(self) -> None: ...
    def release(self) -> None: ...
    def __enter__(self) -> None: ...
    def __exit__(
        self,
        _exc_type: type[BaseException] | None,
        _exc_value: BaseException | None,
        _traceback: TracebackType | None,
    ) -> None: ...
    @staticmethod
    def unlink(name: str) -> None: ...

@final
class VeskQueue:
    """A named, bounded, multi-producer multi-consumer byte queue of size_mb MiB."""

    def __new__(cls, name: str, size_mb: int) -> VeskQueue: ...
    def put_bytes(self, data: bytes) -> None: ...
    def get_bytes(self) -> bytes: ...
    def recv_view(self) -> VeskView:
        """Zero-copy receive. Returns a VeskView context manager.
        Usage: with queue.recv_view() as view: ..."""
    def commit_read(self, next_pos: int) -> None: ...
    @staticmethod
    def unlink(name: str) -> None: ...

@final
class VeskView:
    """A safe wrapper around a view of the queue memory.
    Holds a reference to the queue to prevent use-after-free."""

    def __enter__(self) -> memoryview: ...
    def __exit__(
        self,
        _exc_type: type[BaseException] | None,
        _exc_value: BaseException | None,
        _traceback: TracebackType | None,
    ) -> None: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...

@final
class VeskPoolCore:
    """A task ring and a result ring under fresh names, for workers to attach to with VeskQueue."""

    def __new__(cls, size_mb: int) -> VeskPoolCore: ...
    def put_task(self, data: bytes) -> None: ...
    def get_result(self) -> bytes: ...
    def unlink(self) -> None: ...
    @property
    def task_q_name(self) -> str: ...
    @property
    def result_q_name(self) -> str: ...
