"""The queues under test, behind one small adapter each.

A transport makes its channels in the parent (`setup`), and each benchmark
process opens one end of one channel after the fork: `sender` returns a
callable that sends one `bytes` payload, `consumer` returns the loops that
take messages out (`consume(n)` sums the payload lengths of n messages,
`take()` returns the length of the next one). Each transport uses its own
single-message API in its natural form for raw bytes; an empty message is
the stop signal.
"""

from __future__ import annotations

import functools
import multiprocessing as mp
import os
import shutil
import tempfile
from typing import Callable

CTX = mp.get_context("fork")


def _loops_from_get(get: Callable[[], object]):
    def consume(n: int) -> int:
        total = 0
        for _ in range(n):
            total += len(get())
        return total

    def take() -> int:
        return len(get())

    return consume, take


class Transport:
    name = ""

    def unsupported(self, size: int, mode: str) -> str | None:
        """None when the transport can run this workload, else why not."""
        return None

    def setup(self, size: int, channels: int, producers: int, consumers: int):
        raise NotImplementedError

    def sender(self, state, channel: int, index: int) -> Callable[[bytes], object]:
        raise NotImplementedError

    def consumer(self, state, channel: int, index: int):
        raise NotImplementedError

    def teardown(self, state) -> None:
        pass


# --- veskline ------------------------------------------------------------------

RING_MB = 16
_seq = 0


def _fresh_name(tag: str) -> str:
    global _seq
    _seq += 1
    return f"vkbench_{tag}_{os.getpid()}_{_seq}"


class Veskline(Transport):
    """VeskQueue; workers attach by name, as real users do."""

    name = "veskline"

    def __init__(self, view: bool) -> None:
        self.view = view
        self.name = "veskline view" if view else "veskline"

    def unsupported(self, size, mode):
        if self.view and mode == "many":
            return "a view does not reserve its message: one reader per ring"
        return None

    def setup(self, size, channels, producers, consumers):
        import veskline_core

        names = [_fresh_name("q") for _ in range(channels)]
        # The creator keeps its mapping until teardown, so the ring stays
        # initialised while the benchmark processes attach.
        keep = [veskline_core.VeskQueue(n, RING_MB) for n in names]
        return names, keep

    def sender(self, state, channel, index):
        import veskline_core

        return veskline_core.VeskQueue(state[0][channel], RING_MB).put_bytes

    def consumer(self, state, channel, index):
        import veskline_core

        q = veskline_core.VeskQueue(state[0][channel], RING_MB)
        if not self.view:
            return _loops_from_get(q.get_bytes)
        rv = q.recv_view

        def consume(n: int) -> int:
            total = 0
            for _ in range(n):
                with rv() as mv:
                    total += len(mv)
            return total

        def take() -> int:
            with rv() as mv:
                return len(mv)

        return consume, take

    def teardown(self, state):
        import veskline_core

        for n in state[0]:
            try:
                veskline_core.VeskQueue.unlink(n)
            except RuntimeError:
                pass


# --- multiprocessing -----------------------------------------------------------

class MpQueue(Transport):
    name = "mp.Queue"

    def setup(self, size, channels, producers, consumers):
        return [CTX.Queue() for _ in range(channels)]

    def sender(self, state, channel, index):
        return state[channel].put

    def consumer(self, state, channel, index):
        return _loops_from_get(state[channel].get)


class MpSimpleQueue(Transport):
    name = "mp.SimpleQueue"

    def setup(self, size, channels, producers, consumers):
        return [CTX.SimpleQueue() for _ in range(channels)]

    def sender(self, state, channel, index):
        return state[channel].put

    def consumer(self, state, channel, index):
        return _loops_from_get(state[channel].get)


class MpPipe(Transport):
    name = "mp.Pipe"

    def unsupported(self, size, mode):
        if mode == "many":
            return "one reader and one writer per pipe (SimpleQueue is the locked form)"
        return None

    def setup(self, size, channels, producers, consumers):
        return [CTX.Pipe(duplex=False) for _ in range(channels)]

    def sender(self, state, channel, index):
        return state[channel][1].send_bytes

    def consumer(self, state, channel, index):
        return _loops_from_get(state[channel][0].recv_bytes)


# --- faster-fifo ---------------------------------------------------------------

def _identity(b):
    return b


class FasterFifo(Transport):
    """put/get with raw bytes in and a bytes copy out (no pickling)."""

    name = "faster-fifo"

    def setup(self, size, channels, producers, consumers):
        import faster_fifo

        return [faster_fifo.Queue(max_size_bytes=RING_MB << 20, loads=bytes, dumps=_identity)
                for _ in range(channels)]

    def sender(self, state, channel, index):
        return state[channel].put

    def consumer(self, state, channel, index):
        return _loops_from_get(state[channel].get)


# --- pyzmq ---------------------------------------------------------------------

class Zmq(Transport):
    """PUSH/PULL over ipc://; every consumer binds, every producer connects to all.

    Payloads of 64 KiB and more go without copying (copy=False), as pyzmq
    advises for large messages. In the many-to-many run the send high-water
    mark is lifted so that PUSH deals messages strictly round robin and each
    producer's stop signals reach every consumer.
    """

    name = "pyzmq"

    def setup(self, size, channels, producers, consumers):
        d = tempfile.mkdtemp(prefix="vkbench-zmq-")
        return {"dir": d, "size": size, "many": producers > 1,
                "consumers": consumers}

    def _endpoint(self, state, channel, index):
        return f"ipc://{state['dir']}/ch{channel}-{index}"

    def sender(self, state, channel, index):
        import zmq

        sock = zmq.Context.instance().socket(zmq.PUSH)
        if state["many"]:
            sock.setsockopt(zmq.SNDHWM, 0)
        for c in range(state["consumers"]):
            sock.connect(self._endpoint(state, channel, c))
        if state["size"] >= 65536:
            return functools.partial(sock.send, copy=False)
        return sock.send

    def consumer(self, state, channel, index):
        import zmq

        sock = zmq.Context.instance().socket(zmq.PULL)
        sock.bind(self._endpoint(state, channel, index))
        if state["size"] >= 65536:
            return _loops_from_get(functools.partial(sock.recv, copy=False))
        return _loops_from_get(sock.recv)

    def teardown(self, state):
        shutil.rmtree(state["dir"], ignore_errors=True)


# --- posix_ipc -----------------------------------------------------------------

def _mq_msgsize_max() -> int:
    try:
        with open("/proc/sys/fs/mqueue/msgsize_max") as f:
            return int(f.read())
    except OSError:
        return 8192


class PosixMq(Transport):
    """POSIX message queue, send/receive, at the system's message size limit."""

    name = "posix_ipc"

    def unsupported(self, size, mode):
        limit = _mq_msgsize_max()
        if size > limit:
            return f"message larger than fs.mqueue.msgsize_max ({limit} B)"
        return None

    def setup(self, size, channels, producers, consumers):
        import posix_ipc

        qs = []
        for _ in range(channels):
            name = "/" + _fresh_name("mq")
            qs.append(posix_ipc.MessageQueue(name, posix_ipc.O_CREX,
                                             max_message_size=max(size, 1)))
        return qs

    def sender(self, state, channel, index):
        return state[channel].send

    def consumer(self, state, channel, index):
        receive = state[channel].receive
        return _loops_from_get(lambda: receive()[0])

    def teardown(self, state):
        for q in state:
            try:
                q.unlink()
                q.close()
            except Exception:
                pass


def all_transports() -> tuple[list[Transport], dict[str, str]]:
    """The transports that import here, and why the others are missing."""
    out: list[Transport] = [Veskline(view=False), Veskline(view=True), MpQueue(),
                            MpSimpleQueue(), MpPipe()]
    missing: dict[str, str] = {}
    for cls, module in ((FasterFifo, "faster_fifo"), (Zmq, "zmq"), (PosixMq, "posix_ipc")):
        try:
            __import__(module)
            out.append(cls())
        except ImportError as e:
            missing[cls.name] = f"not installed ({e})"
    try:
        __import__("iceoryx2")
        missing["iceoryx2"] = ("installed, not run: its Python binding offers loan-based "
                               "publish-subscribe with polling receive only, no adapter yet")
    except ImportError:
        missing["iceoryx2"] = "not installed"
    return out, missing
