"""What lives in /dev/shm: the names this library made, what state they are in,
and which processes use them.

The format of each object is read by ``veskline._native.examine`` (the same
layout the native code writes), never by repeating its offsets here. This
module adds what the system knows around it: the file's owner and age, the
state of the thread holding a ring's mutex, and which processes map or hold
open each object (from /proc, as far as this user may read it).
"""

from __future__ import annotations

import dataclasses
import os
import pwd
import re
import time
from typing import Iterable

from veskline import _native

SHM_DIR = "/dev/shm"

#: Seconds an attacher waits for a ring's or lock's creator to finish; an
#: object still half-made after that is dead weight that makes every later
#: attach wait that long and then fail.
ATTACH_TIMEOUT = 10.0

_POOL_NAME = re.compile(r"vk_(task|res)_([0-9a-f]{8})")

# /proc/PID/stat's state letter, in words.
_THREAD_STATES = {
    "R": "running",
    "S": "sleeping",
    "D": "in the kernel",
    "T": "stopped",
    "t": "stopped by a tracer",
    "Z": "exited",
    "X": "exited",
    "I": "idle",
}


@dataclasses.dataclass
class Holder:
    """The thread that holds a mutex, as /proc shows it."""

    tid: int
    pid: int | None  # its process; None when /proc does not show it
    command: str | None
    state: str  # "running", "sleeping", "stopped", ..., or "not visible"

    def describe(self) -> str:
        if self.pid is None:
            return f"thread {self.tid} ({self.state})"
        where = f"pid {self.pid}" if self.pid == self.tid else f"thread {self.tid} of pid {self.pid}"
        return f"{where} ({self.command}), {self.state}"


@dataclasses.dataclass
class Entry:
    """One name in /dev/shm that this library made (or may have made)."""

    name: str
    kind: str  # "queue", "pool-task", "pool-result", "lock", "empty", "unknown" (unreadable)
    state: str  # "ready", "half-made", "damaged", "unreadable"
    problem: str | None
    report: dict  # veskline._native.examine's fields; empty when unreadable
    owner: str
    age: float  # seconds since the object was sized (its mtime)
    pool: str | None = None  # the pool id of a pool ring
    holder: Holder | None = None
    attached: list[int] = dataclasses.field(default_factory=list)

    @property
    def is_ring(self) -> bool:
        return self.report.get("format") == "ring"

    @property
    def waiting(self) -> list[str]:
        """Who sleeps on it: "get" (for a message), "put" (for room), "lock" (on the mutex)."""
        found = []
        if self.report.get("data_waiting"):
            found.append("get")
        if self.report.get("space_waiting"):
            found.append("put")
        if self.report.get("mutex_waiters"):
            found.append("lock")
        return found

    def as_json(self) -> dict:
        r = self.report
        out = {
            "name": self.name,
            "kind": self.kind,
            "state": self.state,
            "problem": self.problem,
            "owner": self.owner,
            "uid": r.get("uid"),
            "mode": f"{r['mode']:04o}" if "mode" in r else None,
            "size": r.get("size"),
            "age_seconds": round(self.age, 3),
            "pool": self.pool,
            "attached_pids": self.attached,
            "waiting": self.waiting,
            "holder": dataclasses.asdict(self.holder) if self.holder else None,
            "owner_died": r.get("owner_died"),
        }
        if self.is_ring:
            out.update(
                capacity=r["capacity"],
                queued_bytes=r["queued_bytes"],
                messages=r["messages"],
                messages_counted=r["messages_counted"],
                read_pos=r["read_pos"],
                write_pos=r["write_pos"],
            )
        return out


def pool_id(name: str) -> tuple[str, str] | None:
    """("task" or "res", id) for the name of a pool ring, else None."""
    m = _POOL_NAME.fullmatch(name)
    return (m.group(1), m.group(2)) if m else None


def _user(uid: int) -> str:
    try:
        return pwd.getpwuid(uid).pw_name
    except KeyError:
        return str(uid)


def _kind(name: str, fmt: str) -> str:
    pool = pool_id(name)
    if pool:
        return "pool-task" if pool[0] == "task" else "pool-result"
    return {"ring": "queue", "lock": "lock", "empty": "empty"}.get(fmt, "unknown")


def holder_of(tid: int) -> Holder:
    """The state of thread `tid` (as found in a mutex word)."""
    try:
        with open(f"/proc/{tid}/stat") as f:
            stat = f.read()
        with open(f"/proc/{tid}/status") as f:
            tgid = next(int(line.split()[1]) for line in f if line.startswith("Tgid:"))
        with open(f"/proc/{tgid}/comm") as f:
            command = f.read().strip()
    except (OSError, StopIteration, ValueError):
        return Holder(tid, None, None, "not visible")
    letter = stat.rsplit(")", 1)[1].split()[0]
    return Holder(tid, tgid, command, _THREAD_STATES.get(letter, letter))


def examine(name: str, max_sizes: int = 8, now: float | None = None) -> Entry | None:
    """The entry for one name, or None when it is not ours. Raises OSError
    (FileNotFoundError, PermissionError, ...) when the name cannot be read."""
    report = _native.examine(name, max_sizes)
    fmt = report["format"]
    pool = pool_id(name)
    if fmt == "foreign" and not pool:
        return None
    state, problem = report["state"], report["problem"]
    if fmt == "foreign":
        state, problem = "damaged", "not a ring of this library"
    holder = holder_of(report["holder_tid"]) if report.get("holder_tid") else None
    age = (time.time() if now is None else now) - report["mtime"]
    return Entry(name, _kind(name, fmt), state, problem, report, _user(report["uid"]), age,
                 pool[1] if pool else None, holder)


class ProcessScan:
    """Which processes map or hold open which shared-memory objects, by
    (device, inode), from /proc.

    Processes whose maps cannot be read are counted in `unseen` by their user
    id. For root that is a process outside its reach (a sandbox's or
    container's supervisor, never a peer sharing rings), so it proves
    nothing either way and is left out. For anybody else it is another
    user's process, which cannot open a ring of mode 0600 unless it runs as
    the ring's owner: only then does it leave a ring's users unknown."""

    def __init__(self) -> None:
        self.users: dict[tuple[int, int], set[int]] = {}
        self.unseen: dict[int, int] = {}  # pid -> real uid
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            pid = int(entry)
            try:
                self._maps(pid)
                self._fds(pid)
            except (FileNotFoundError, ProcessLookupError):
                continue  # it ended meanwhile
            except OSError:
                uid = _real_uid(pid)
                if uid is not None:
                    self.unseen[pid] = uid

    def knows_users_of(self, report: dict) -> bool:
        """Whether every process that could use the object was looked at."""
        if os.geteuid() == 0:
            return True
        return report.get("uid") not in self.unseen.values()

    def _maps(self, pid: int) -> None:
        with open(f"/proc/{pid}/maps") as maps:
            for line in maps:
                fields = line.split(None, 5)
                # Only shared mappings of files: the fourth field is major:minor.
                if len(fields) < 6 or fields[1][3] != "s" or fields[4] == "0":
                    continue
                major, minor = fields[3].split(":")
                key = (os.makedev(int(major, 16), int(minor, 16)), int(fields[4]))
                self.users.setdefault(key, set()).add(pid)

    def _fds(self, pid: int) -> None:
        fd_dir = f"/proc/{pid}/fd"
        for fd in os.listdir(fd_dir):
            try:
                target = os.readlink(f"{fd_dir}/{fd}")
            except OSError:
                continue
            if target.startswith(SHM_DIR + "/"):
                try:
                    st = os.stat(f"{fd_dir}/{fd}")
                except OSError:
                    continue
                self.users.setdefault((st.st_dev, st.st_ino), set()).add(pid)

    def pids(self, report: dict) -> list[int]:
        return sorted(self.users.get((report.get("device"), report.get("inode")), ()))


def _real_uid(pid: int) -> int | None:
    try:
        with open(f"/proc/{pid}/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith("Uid:"))
    except (OSError, StopIteration, ValueError):
        return None


def scan(names: Iterable[str] | None = None, max_sizes: int = 8,
         processes: ProcessScan | None = None) -> list[Entry]:
    """Every name of ours in /dev/shm (or of `names`), sorted by name; names
    that cannot be read come back as state "unreadable"."""
    if names is None:
        names = os.listdir(SHM_DIR)
    now = time.time()
    found = []
    for name in sorted(names):
        try:
            entry = examine(name, max_sizes, now)
        except FileNotFoundError:
            continue  # removed meanwhile
        except OSError as e:
            if not (pool_id(name) or _maybe_ours(name)):
                continue
            entry = Entry(name, _kind(name, ""), "unreadable", e.strerror or str(e), {}, "?", 0.0,
                          (pool_id(name) or (None, None))[1])
        if entry is not None:
            if processes is not None and entry.report:
                entry.attached = processes.pids(entry.report)
            found.append(entry)
    return found


def _maybe_ours(name: str) -> bool:
    """An unreadable object of a size our objects have (we cannot look inside)."""
    try:
        size = os.stat(os.path.join(SHM_DIR, name)).st_size
    except OSError:
        return False
    return size in (0, 4096) or (size >= 16384 and (size - 16384) % os.sysconf("SC_PAGESIZE") == 0)


def dead(entries: list[Entry], processes: ProcessScan) -> list[tuple[Entry, str]]:
    """What `clean` removes, with the reason: half-made objects older than the
    attach timeout, and the rings of a pool that no process uses any more
    (only when every process that could use them was looked at, and only
    pools older than the attach timeout, so that a pool being set up is never
    taken)."""
    out = []
    by_pool: dict[str, list[Entry]] = {}
    for e in entries:
        if e.pool is not None and e.state != "unreadable":
            by_pool.setdefault(e.pool, []).append(e)
    dead_pools = set()
    for pool, rings in by_pool.items():
        if all(not e.attached and e.age > ATTACH_TIMEOUT and processes.knows_users_of(e.report)
               for e in rings):
            dead_pools.add(pool)
    for e in entries:
        if e.pool in dead_pools:
            out.append((e, f"pool {e.pool}: no process uses its rings"))
        elif e.state == "half-made" and e.age > ATTACH_TIMEOUT and not e.attached:
            out.append((e, f"half-made {_age(e.age)} ago: {e.problem}"))
    return out


def _age(seconds: float) -> str:
    if seconds < 120:
        return f"{seconds:.0f} s"
    if seconds < 7200:
        return f"{seconds / 60:.0f} min"
    if seconds < 172800:
        return f"{seconds / 3600:.0f} h"
    return f"{seconds / 86400:.0f} days"


def remove(name: str) -> None:
    os.unlink(os.path.join(SHM_DIR, name.lstrip("/")))
