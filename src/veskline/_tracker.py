"""Name ownership: shared-memory names removed when their owning process ends.

A process that creates a queue or a lock under a fresh name calls
``register(name)``; ``unregister(name)`` hands the name back (the owner then
removes it itself, or keeps it on purpose). Names still registered when their
owner ends, however it ends (SIGKILL included), are removed by a small
tracker process, together with the name's side storage: every name that
starts with ``side_prefix(name)``.

The tracker is started on first use and fed over a pipe. Each message carries
the sender's pid, and the tracker watches every sender through a pidfd, so a
name goes when *its* process goes, not when the last process sharing the
pipe does:
  - forked children inherit the pipe and share the tracker; a child's own
    names go when the child ends, and the parent's names go when the parent
    ends even while children live on (their mappings stay valid; only new
    attaches by name fail);
  - spawn and forkserver children start with no tracker and start their own
    on first ``register``; they never register names they merely attach to,
    so their exit removes nothing of their parent's.
When every process holding the pipe is gone, the tracker removes whatever is
still registered and exits. It prints nothing, and it ignores SIGINT and
SIGTERM, so a Ctrl-C at the terminal leaves it to clean up after the others.
"""

from __future__ import annotations

import os
import select
import sys
import threading

__all__ = ["register", "unregister", "side_prefix"]

_SHM_DIR = "/dev/shm"
# The pipe's read end in the tracker process.
_TRACKER_FD = 3


def side_prefix(name: str) -> str:
    """Names starting with this belong to `name` and are removed with it."""
    return _bare(name) + "~"


def _bare(name: str) -> str:
    return name[1:] if name.startswith("/") else name


def _encode(name: str) -> str:
    # Hex keeps any name (spaces, newlines) on one line of the pipe.
    return _bare(name).encode("utf-8", "surrogateescape").hex()


class _Client:
    """This process's end of the pipe to its tracker."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.fd = -1
        self.pid = 0  # the tracker this process started
        self.names: set[str] = set()  # registered by this process

    def after_fork_in_child(self) -> None:
        # The pipe stays shared with the parent's tracker; the child owns
        # none of the parent's names and must not wait for its tracker.
        self.lock = threading.Lock()
        self.names = set()
        self.pid = 0

    def _start(self) -> None:
        if self.pid > 0:
            try:  # a tracker that died before us: collect it
                os.waitpid(self.pid, os.WNOHANG)
            except ChildProcessError:
                pass
        read_end, write_end = os.pipe()
        try:
            # posix_spawn rather than subprocess: no Popen object left to
            # warn about a still-running child when the interpreter exits.
            self.pid = os.posix_spawn(
                sys.executable,
                [sys.executable, "-I", "-S", os.path.abspath(__file__), str(_TRACKER_FD)],
                os.environ,
                file_actions=[
                    (os.POSIX_SPAWN_DUP2, read_end, _TRACKER_FD),
                    (os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0),
                    (os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0),
                ])
        except BaseException:
            os.close(write_end)
            raise
        finally:
            os.close(read_end)
        self.fd = write_end

    def send(self, verb: str, name: str) -> None:
        line = f"{verb} {os.getpid()} {_encode(name)}\n".encode()
        with self.lock:
            if verb == "R":
                self.names.add(name)
            else:
                self.names.discard(name)
            if self.fd < 0:
                if verb == "U":
                    return
                self._start()
            try:
                os.write(self.fd, line)  # shorter than PIPE_BUF: one atomic write
            except BrokenPipeError:
                # The tracker is gone (killed): start a new one and tell it
                # everything this process still owns.
                os.close(self.fd)
                self.fd = -1
                self._start()
                for owned in self.names:
                    os.write(self.fd, f"R {os.getpid()} {_encode(owned)}\n".encode())


_client = _Client()
os.register_at_fork(after_in_child=lambda: _client.after_fork_in_child())


def register(name: str) -> None:
    """This process owns `name`: remove it (and its side storage) when the process ends."""
    _client.send("R", name)


def unregister(name: str) -> None:
    """This process no longer owns `name`; the tracker forgets it."""
    _client.send("U", name)


# --- the tracker process --------------------------------------------------------

def _remove(bare: str) -> None:
    prefix = bare + "~"
    try:
        entries = [e for e in os.listdir(_SHM_DIR) if e.startswith(prefix)]
    except OSError:
        entries = []
    for entry in [bare, *entries]:
        try:
            os.unlink(os.path.join(_SHM_DIR, entry))
        except OSError:
            pass


def _main(fd: int) -> None:
    import signal

    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    owned: dict[int, set[str]] = {}   # pid -> bare names
    pidfds: dict[int, int] = {}       # pidfd -> pid
    watched: dict[int, int] = {}      # pid -> pidfd
    poller = select.poll()
    poller.register(fd, select.POLLIN)
    pending = b""

    def owner_gone(pid: int) -> None:
        for bare in owned.pop(pid, ()):
            _remove(bare)
        pidfd = watched.pop(pid, None)
        if pidfd is not None:
            poller.unregister(pidfd)
            pidfds.pop(pidfd, None)
            os.close(pidfd)

    def handle(line: bytes) -> None:
        try:
            verb, pid_text, hex_name = line.decode().split(" ")
            pid = int(pid_text)
            bare = bytes.fromhex(hex_name).decode("utf-8", "surrogateescape")
        except ValueError:
            return
        if verb == "U":
            owned.get(pid, set()).discard(bare)
            return
        if verb != "R":
            return
        owned.setdefault(pid, set()).add(bare)
        if pid not in watched:
            try:
                pidfd = os.pidfd_open(pid)
            except ProcessLookupError:
                owner_gone(pid)  # died between its write and this read
                return
            watched[pid] = pidfd
            pidfds[pidfd] = pid
            poller.register(pidfd, select.POLLIN)

    while True:
        for ready, _events in poller.poll():
            if ready == fd:
                chunk = os.read(fd, 65536)
                if not chunk:
                    # Every process holding the pipe has ended.
                    for pid in list(owned):
                        owner_gone(pid)
                    return
                pending += chunk
                *lines, pending = pending.split(b"\n")
                for line in lines:
                    handle(line)
            elif ready in pidfds:
                owner_gone(pidfds[ready])


if __name__ == "__main__":
    _main(int(sys.argv[1]))
