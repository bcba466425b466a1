#!/usr/bin/env python3
"""Crash soak: SIGKILL producers, consumers and lock holders at random, under load.

Producers put checksummed, sequence-numbered messages of random sizes (up to
well over a third of the ring, so records wrap around its end all the time)
into one small queue; consumers take them with get_bytes or through views.
Consumers take a shared VeskLock around every receive: with several consumers,
a view does not reserve its message, so views need that exclusion to be
exactly-once. Producers never take it: a consumer holds it while it waits for
data, and a producer waiting for it would wait for itself.

A killer (this process) sends SIGKILL at random moments to a random
participant, aiming at the interesting moments: a producer inside put_bytes
(copying, or waiting on a full ring), a consumer inside get_bytes (copying, or
waiting on an empty ring), a consumer holding a view before its commit or
waiting in recv_view, and whoever holds the lock. Every killed process is
replaced at once and carries on its slot's work.

Accounting. Each participant writes its state into shared memory before and
after each step; a dead process's state is exactly where it died:
  - a producer stores the sequence it is about to put and, once put_bytes
    returned, the sequence acknowledged. A producer killed between the two
    leaves that one message "in doubt": delivered once or not at all.
  - a consumer counts every message it receives per (producer, sequence).
    Killed inside get_bytes, it may have taken one message from the ring that
    it never counted: that message is lost, at most one per such kill.
    Killed while holding a view, after counting its message but before the
    commit: that message is delivered again, so it is counted twice.
At the end every acknowledged message must have been received exactly once,
apart from those two explained cases; nothing may be corrupted; the lock must
have been recovered each time its holder died; and the longest time in which
no message moved must stay far below a second.

Exit status 0 when every check holds, 1 on a violation, 2 on a hang.
"""

from __future__ import annotations

import argparse
import ctypes
import mmap
import os
import random
import signal
import struct
import sys
import time
import traceback
import zlib

import veskline_core as vk

# --- shared control block ------------------------------------------------------
# One anonymous shared mapping of 64-bit words, inherited by every fork.

CTRL_STOP, CTRL_MODE, CTRL_RECOVERIES, CTRL_OWNER, CTRL_VIOLATIONS, CTRL_LOCKS, CTRL_BYTES = range(7)
CTRL_WORDS = 16

# Per producer slot.
P_ATTEMPT, P_ACKED, P_STATE, P_LSTATE, P_PID = range(5)
# Per consumer slot.
C_RECEIVED, C_STATE, C_LSTATE, C_HOLD_P, C_HOLD_SEQ, C_CORRUPT, C_PID = range(7)
SLOT_WORDS = 8

# Step states (P_STATE / C_STATE).
IDLE, IN_PUT, IN_GET, VIEW_WAIT, VIEW_HELD = range(5)
# Lock states (P_LSTATE / C_LSTATE).
L_NONE, L_ACQUIRING, L_HELD, L_RELEASING = range(4)

STATE_NAMES = {IDLE: "idle", IN_PUT: "in put_bytes", IN_GET: "in get_bytes",
               VIEW_WAIT: "in recv_view", VIEW_HELD: "holding a view"}
LOCK_NAMES = {L_NONE: "", L_ACQUIRING: "acquiring the lock", L_HELD: "holding the lock",
              L_RELEASING: "releasing the lock"}

# Phases, switched by the killer: both sides at full speed; consumers slowed so
# the ring fills and producers wait for room; producers slowed so the ring
# empties and consumers wait for data.
MODE_FREE, MODE_FILL, MODE_DRAIN = range(3)

HEADER = struct.Struct("<IIII")  # producer slot, sequence, body length, crc32 of body
STOP_SLOT = 0xFFFFFFFF
MAX_SEQ = 1 << 22  # per producer slot; far beyond any run


class Shared:
    def __init__(self, producers: int, consumers: int):
        self.np, self.nc = producers, consumers
        words = CTRL_WORDS + (producers + consumers) * SLOT_WORDS
        self._words_map = mmap.mmap(-1, words * 8)
        self.words = memoryview(self._words_map).cast("Q")
        # counts[c][p]: how often consumer slot c received each sequence of p.
        self._counts_map = mmap.mmap(-1, consumers * producers * MAX_SEQ)
        self.counts_raw = memoryview(self._counts_map)

    def p(self, slot: int, field: int) -> int:
        return CTRL_WORDS + slot * SLOT_WORDS + field

    def c(self, slot: int, field: int) -> int:
        return CTRL_WORDS + (self.np + slot) * SLOT_WORDS + field

    def counts(self, c: int, p: int) -> memoryview:
        start = (c * self.np + p) * MAX_SEQ
        return self.counts_raw[start:start + MAX_SEQ]


# --- messages ---------------------------------------------------------------------

POOL = random.Random(20240611).randbytes(1 << 20)


def body_range(pslot: int, seq: int, length: int) -> tuple[int, int]:
    offset = (seq * 7919 + pslot * 104729) % (len(POOL) - length + 1)
    return offset, offset + length


def body_size(rng: random.Random, ring_bytes: int) -> int:
    roll = rng.random()
    if roll < 0.10:
        return rng.randint(0, 15)
    if roll < 0.70:
        return rng.randint(16, 1024)
    if roll < 0.95:
        return rng.randint(1025, 32 * 1024)
    return rng.randint(32 * 1024 + 1, ring_bytes * 3 // 8)


def make_message(pslot: int, seq: int, length: int) -> bytes:
    start, end = body_range(pslot, seq, length)
    body = POOL[start:end]
    return HEADER.pack(pslot, seq, length, zlib.crc32(body)) + body


def check_message(buf) -> tuple[int, int] | None:
    """(producer slot, sequence) of a well-formed message, None if corrupted."""
    if len(buf) < HEADER.size:
        return None
    pslot, seq, length, crc = HEADER.unpack_from(buf)
    if pslot == STOP_SLOT:
        return pslot, seq
    if len(buf) != HEADER.size + length or length > len(POOL):
        return None
    body = buf[HEADER.size:]
    start, end = body_range(pslot, seq, length)
    if zlib.crc32(body) != crc or body != POOL[start:end]:
        return None
    return pslot, seq


# --- participants -------------------------------------------------------------------

def die_with_parent() -> None:
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    if os.getppid() == 1:
        os._exit(0)


def take_lock(sh: Shared, lock, lstate_index: int) -> None:
    """Acquires the shared lock and checks mutual exclusion; the lock is held after."""
    w = sh.words
    w[lstate_index] = L_ACQUIRING
    try:
        lock.acquire()
        recovered = False
    except vk.LockRecovered:
        recovered = True
    if recovered:
        # Counted before the state says "held": a death in between is
        # ambiguous to the final check, never a missed recovery.
        w[CTRL_RECOVERIES] += 1
    elif w[CTRL_OWNER] != 0:
        w[CTRL_VIOLATIONS] += 1
    w[lstate_index] = L_HELD
    w[CTRL_OWNER] = os.getpid()
    w[CTRL_LOCKS] += 1


def drop_lock(sh: Shared, lock, lstate_index: int) -> None:
    w = sh.words
    w[CTRL_OWNER] = 0
    w[lstate_index] = L_RELEASING
    lock.release()
    w[lstate_index] = L_NONE


def producer(sh: Shared, slot: int, qname: str, lname: str, ring_bytes: int) -> None:
    w = sh.words
    q = vk.VeskQueue(qname, ring_bytes >> 20)
    rng = random.Random(os.getpid() * 31 + slot)
    a, k, st, ls = (sh.p(slot, f) for f in (P_ATTEMPT, P_ACKED, P_STATE, P_LSTATE))
    w[st], w[ls] = IDLE, L_NONE
    seq = w[a]  # the slot's next sequence: past everything attempted before
    while not w[CTRL_STOP] and seq < MAX_SEQ:
        message = make_message(slot, seq, body_size(rng, ring_bytes))
        w[a] = seq + 1
        w[st] = IN_PUT
        q.put_bytes(message)
        w[k] = seq + 1
        w[st] = IDLE
        seq += 1
        if w[CTRL_MODE] == MODE_DRAIN:
            time.sleep(0.0005 + rng.random() * 0.002)


def consumer(sh: Shared, slot: int, qname: str, lname: str, ring_bytes: int) -> None:
    w = sh.words
    q = vk.VeskQueue(qname, ring_bytes >> 20)
    lock = vk.VeskLock(lname)
    rng = random.Random(os.getpid() * 37 + slot)
    counts = [sh.counts(slot, p) for p in range(sh.np)]
    got, st, ls = (sh.c(slot, f) for f in (C_RECEIVED, C_STATE, C_LSTATE))
    hold_p, hold_seq, corrupt = sh.c(slot, C_HOLD_P), sh.c(slot, C_HOLD_SEQ), sh.c(slot, C_CORRUPT)
    w[st], w[ls] = IDLE, L_NONE

    def record(buf) -> bool:
        """Counts one message; False for the end-of-run marker."""
        ident = check_message(buf)
        if ident is None:
            w[corrupt] += 1
            return True
        pslot, seq = ident
        if pslot == STOP_SLOT:
            return False
        if pslot >= sh.np or seq >= MAX_SEQ:
            w[corrupt] += 1
            return True
        counts[pslot][seq] += 1
        w[got] += 1
        w[CTRL_BYTES] += len(buf) + 4
        return True

    running = True
    while running:
        take_lock(sh, lock, ls)
        if rng.random() < 0.5:
            w[st] = IN_GET
            running = record(q.get_bytes())
            w[st] = IDLE
        else:
            w[st] = VIEW_WAIT
            view = q.recv_view()
            with view as mv:
                header = HEADER.unpack_from(mv) if len(mv) >= HEADER.size else (0, 0, 0, 0)
                w[hold_p], w[hold_seq] = header[0], header[1]
                # "Held" is set before the count, so a death after the count
                # and before the commit is always seen as holding the view.
                w[st] = VIEW_HELD
                running = record(mv)
                if rng.random() < 0.2:
                    time.sleep(rng.random() * 0.001)  # widen the window before the commit
                del mv
            w[st] = IDLE
        drop_lock(sh, lock, ls)
        if w[CTRL_MODE] == MODE_FILL:
            time.sleep(0.0005 + rng.random() * 0.002)


def spawn(role, sh: Shared, slot: int, *args) -> int:
    pid = os.fork()
    if pid == 0:
        code = 0
        try:
            die_with_parent()
            signal.signal(signal.SIGALRM, signal.SIG_DFL)
            signal.alarm(0)
            role(sh, slot, *args)
        except BaseException:  # noqa: BLE001 - any escape is a failure of this participant
            traceback.print_exc()
            code = 3
        finally:
            sys.stderr.flush()
            os._exit(code)
    return pid


# --- killer, replacement and the final check ----------------------------------------

class Soak:
    def __init__(self, args):
        self.args = args
        self.sh = Shared(args.producers, args.consumers)
        tag = f"vk_soak_{os.getpid()}_{random.randrange(1 << 30):08x}"
        self.qname, self.lname = tag + "_q", tag + "_lock"
        self.ring_bytes = args.ring_mb << 20
        self.rng = random.Random(args.seed)
        self.pids: dict[int, tuple[str, int]] = {}  # pid -> (role, slot)
        self.kills = 0
        self.kill_states: dict[str, int] = {}
        self.in_doubt: set[tuple[int, int]] = set()
        self.get_kills = 0
        self.view_kills: dict[tuple[int, int], int] = {}
        self.view_kill_count = 0
        self.lock_held_deaths = 0
        self.lock_ambiguous_deaths = 0
        self.failures: list[str] = []
        self.longest_stall = 0.0
        self.longest_stall_since_kill = 0.0
        self.last_kill = 0.0
        self.longest_stall_states = ""
        self.longest_stall_mode = MODE_FREE

    # participants
    def start(self, role: str, slot: int) -> None:
        fn = producer if role == "producer" else consumer
        pid = spawn(fn, self.sh, slot, self.qname, self.lname, self.ring_bytes)
        self.pids[pid] = (role, slot)
        field = self.sh.p(slot, P_PID) if role == "producer" else self.sh.c(slot, C_PID)
        self.sh.words[field] = pid

    def state_of(self, role: str, slot: int) -> tuple[int, int]:
        w, sh = self.sh.words, self.sh
        if role == "producer":
            return w[sh.p(slot, P_STATE)], w[sh.p(slot, P_LSTATE)]
        return w[sh.c(slot, C_STATE)], w[sh.c(slot, C_LSTATE)]

    def pick_victim(self) -> int | None:
        """A participant in the moment the dice chose, waiting briefly for one."""
        want = self.rng.choices(
            ["put", "get", "view_held", "view_wait", "lock", "any"], [20, 20, 20, 8, 17, 15])[0]
        deadline = time.monotonic() + 0.03
        while True:
            candidates = []
            for pid, (role, slot) in self.pids.items():
                state, lstate = self.state_of(role, slot)
                if (want == "any"
                        or (want == "put" and role == "producer" and state == IN_PUT)
                        or (want == "get" and role == "consumer" and state == IN_GET)
                        or (want == "view_held" and state == VIEW_HELD)
                        or (want == "view_wait" and state == VIEW_WAIT)
                        or (want == "lock" and lstate == L_HELD)):
                    candidates.append(pid)
            if candidates:
                return self.rng.choice(candidates)
            if time.monotonic() > deadline:
                return self.rng.choice(list(self.pids))
            self.sample()
            time.sleep(0.0002)

    def kill(self, pid: int) -> None:
        role, slot = self.pids.pop(pid)
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        self.kills += 1
        self.last_kill = time.monotonic()
        w, sh = self.sh.words, self.sh
        # The dead process's states are exactly where it stopped.
        state, lstate = self.state_of(role, slot)
        key = f"{role} {STATE_NAMES[state]}" + (f", {LOCK_NAMES[lstate]}" if lstate else "")
        self.kill_states[key] = self.kill_states.get(key, 0) + 1
        if lstate == L_HELD:
            self.lock_held_deaths += 1
        elif lstate in (L_ACQUIRING, L_RELEASING):
            self.lock_ambiguous_deaths += 1
        if role == "producer":
            attempted, acked = w[sh.p(slot, P_ATTEMPT)], w[sh.p(slot, P_ACKED)]
            if attempted > acked:
                # The replacement starts past it, at the slot's next sequence.
                self.in_doubt.add((slot, attempted - 1))
        else:
            if state == IN_GET:
                self.get_kills += 1
            elif state == VIEW_HELD:
                held = (w[sh.c(slot, C_HOLD_P)], w[sh.c(slot, C_HOLD_SEQ)])
                self.view_kills[held] = self.view_kills.get(held, 0) + 1
                self.view_kill_count += 1
        self.start(role, slot)

    def progress(self) -> int:
        w, sh = self.sh.words, self.sh
        return (sum(w[sh.p(s, P_ACKED)] for s in range(sh.np))
                + sum(w[sh.c(s, C_RECEIVED)] for s in range(sh.nc)))

    def sample(self) -> None:
        now = time.monotonic()
        value = self.progress()
        if value != self._last_value:
            self._last_value, self._last_move = value, now
            return
        stall = now - self._last_move
        if stall > self.longest_stall:
            self.longest_stall = stall
            self.longest_stall_since_kill = now - max(self.last_kill, self._last_move)
            self.longest_stall_states = ", ".join(
                f"{role[0]}{slot}:{STATE_NAMES[st]}" + (f"/{LOCK_NAMES[ls]}" if ls else "")
                for role, slot in sorted(self.pids.values())
                for st, ls in [self.state_of(role, slot)])
            self.longest_stall_mode = self.sh.words[CTRL_MODE]

    def reap_unexpected(self) -> None:
        while True:
            try:
                pid, status = os.waitpid(-1, os.WNOHANG)
            except ChildProcessError:
                return
            if pid == 0:
                return
            role, slot = self.pids.pop(pid, ("?", -1))
            if not self.sh.words[CTRL_STOP] or os.waitstatus_to_exitcode(status) != 0:
                self.failures.append(f"{role} {slot} ended on its own: status {status:#x}")
                if not self.sh.words[CTRL_STOP] and role != "?":
                    self.start(role, slot)

    def run(self) -> int:
        args, sh, w = self.args, self.sh, self.sh.words
        q = vk.VeskQueue(self.qname, args.ring_mb)
        lock = vk.VeskLock(self.lname)
        started = time.monotonic()
        try:
            for s in range(sh.np):
                self.start("producer", s)
            for s in range(sh.nc):
                self.start("consumer", s)
            self._last_value, self._last_move = self.progress(), time.monotonic()
            next_mode = time.monotonic() + 0.4
            next_kill = time.monotonic() + 0.2
            while self.kills < args.kills:
                now = time.monotonic()
                if now >= next_mode:
                    w[CTRL_MODE] = self.rng.choice([MODE_FREE, MODE_FILL, MODE_DRAIN])
                    next_mode = now + self.rng.uniform(0.2, 0.6)
                if now >= next_kill:
                    self.kill(self.pick_victim())
                    next_kill = time.monotonic() + self.rng.uniform(0.005, 0.045)
                self.reap_unexpected()
                self.sample()
                time.sleep(0.0003)
            soak_seconds = time.monotonic() - started

            # Drain: producers stop, then one end marker per consumer follows
            # every message in the ring.
            w[CTRL_MODE] = MODE_FREE
            w[CTRL_STOP] = 1
            self.wait_for("producer", 30)
            for _ in range(sh.nc):
                q.put_bytes(HEADER.pack(STOP_SLOT, 0, 0, 0))
            self.wait_for("consumer", 60)
            # A holder that died with nobody acquiring after it is recovered here.
            try:
                lock.acquire()
            except vk.LockRecovered:
                w[CTRL_RECOVERIES] += 1
            lock.release()
            return self.verify(soak_seconds)
        finally:
            for pid in list(self.pids):
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
            del q, lock
            for unlink, name in ((vk.VeskQueue.unlink, self.qname), (vk.VeskLock.unlink, self.lname)):
                try:
                    unlink(name)
                except RuntimeError:
                    pass

    def wait_for(self, role: str, seconds: float) -> None:
        deadline = time.monotonic() + seconds
        while any(r == role for r, _ in self.pids.values()):
            self.reap_unexpected()
            if time.monotonic() > deadline:
                self.failures.append(f"{role}s did not finish within {seconds} s of the stop")
                return
            time.sleep(0.001)

    def verify(self, soak_seconds: float) -> int:
        sh, w = self.sh, self.sh.words
        sent = lost = duplicated = doubt_delivered = 0
        unexplained_dups: list[tuple[int, int]] = []
        for p in range(sh.np):
            attempted = w[sh.p(p, P_ATTEMPT)]
            total = 0
            for c in range(sh.nc):
                # Per-byte counts are small, so adding the arrays as integers
                # adds them byte by byte without carries.
                total += int.from_bytes(sh.counts(c, p)[:attempted], "little")
            summed = total.to_bytes(attempted, "little") if attempted else b""
            for seq in range(attempted):
                n = summed[seq]
                if (p, seq) in self.in_doubt:
                    doubt_delivered += n > 0
                else:
                    sent += 1
                    lost += n == 0
                if n > 1:
                    duplicated += n - 1
                    if n - 1 > self.view_kills.get((p, seq), 0):
                        unexplained_dups.append((p, seq))
        received = sum(w[sh.c(c, C_RECEIVED)] for c in range(sh.nc))
        corrupted = sum(w[sh.c(c, C_CORRUPT)] for c in range(sh.nc))
        recoveries = w[CTRL_RECOVERIES]

        checks = [
            (corrupted == 0, f"corrupted messages: {corrupted}"),
            (lost <= self.get_kills,
             f"lost {lost} messages, but only {self.get_kills} consumers died inside get_bytes"),
            (not unexplained_dups,
             f"messages delivered twice without a consumer dying on their view: {unexplained_dups[:10]}"),
            (self.lock_held_deaths <= recoveries
             <= self.lock_held_deaths + self.lock_ambiguous_deaths,
             f"lock recovered {recoveries} times for {self.lock_held_deaths} holder deaths "
             f"(+{self.lock_ambiguous_deaths} inside acquire/release)"),
            (w[CTRL_VIOLATIONS] == 0, f"lock exclusion violated {w[CTRL_VIOLATIONS]} times"),
            (self.longest_stall < self.args.max_stall,
             f"longest stall {self.longest_stall * 1000:.0f} ms"),
            (self.kills >= self.args.kills, f"only {self.kills} kills"),
        ]
        for ok, text in checks:
            if not ok:
                self.failures.append(text)

        lines = [
            f"soak: {sh.np} producers, {sh.nc} consumers, ring {self.args.ring_mb} MiB, "
            f"bodies 0 B to {self.ring_bytes * 3 // 8 // 1024} KiB, {soak_seconds:.1f} s under fire",
            f"kills: {self.kills}",
        ]
        for key, n in sorted(self.kill_states.items(), key=lambda kv: -kv[1]):
            lines.append(f"  {n:6d}  {key}")
        lines += [
            f"messages: {sent} acknowledged by put_bytes, {received} received, "
            f"{w[CTRL_BYTES] / (1 << 20):.0f} MiB moved "
            f"(the ring wrapped about {w[CTRL_BYTES] // self.ring_bytes} times)",
            f"in doubt (producer killed inside put_bytes): {len(self.in_doubt)}, "
            f"of which delivered: {doubt_delivered}",
            f"corrupted: {corrupted}",
            f"lost: {lost} (allowed: at most one per consumer killed inside get_bytes: {self.get_kills})",
            f"duplicated: {duplicated} (allowed: the message of each consumer killed holding an "
            f"uncommitted view: {self.view_kill_count})",
            f"longest stall with no message moving: {self.longest_stall * 1000:.1f} ms "
            f"({self.longest_stall_since_kill * 1000:.1f} ms of it after the last kill)",
            f"  during it (mode {self.longest_stall_mode}): {self.longest_stall_states}",
            f"lock: {w[CTRL_LOCKS]} acquisitions, holder died {self.lock_held_deaths} times "
            f"(+{self.lock_ambiguous_deaths} inside acquire/release), recovered {recoveries} times, "
            f"exclusion violations {w[CTRL_VIOLATIONS]}",
        ]
        lines += [f"VIOLATION: {f}" for f in self.failures]
        lines.append("RESULT: " + ("FAIL" if self.failures else "OK"))
        report = "\n".join(lines)
        if not self.args.quiet or self.failures:
            print(report)
        else:
            print(lines[1], "|", lines[-1])
        if self.args.report:
            os.makedirs(os.path.dirname(self.args.report) or ".", exist_ok=True)
            with open(self.args.report, "w") as f:
                f.write(report + "\n")
        return 1 if self.failures else 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--kills", type=int, default=120)
    parser.add_argument("--producers", type=int, default=3)
    parser.add_argument("--consumers", type=int, default=3)
    parser.add_argument("--ring-mb", type=int, default=1)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--max-stall", type=float, default=1.0, help="seconds")
    parser.add_argument("--report", help="also write the figures to this file")
    parser.add_argument("--quiet", action="store_true", help="one line unless something failed")
    args = parser.parse_args()
    if args.seed is None:
        args.seed = random.randrange(1 << 32)

    soak = Soak(args)

    def on_hang(signum, frame):
        for pid in list(soak.pids):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        for unlink, name in ((vk.VeskQueue.unlink, soak.qname), (vk.VeskLock.unlink, soak.lname)):
            try:
                unlink(name)
            except RuntimeError:
                pass
        print(f"soak: hung (seed {args.seed}); participants killed, names removed", file=sys.stderr)
        os._exit(2)

    signal.signal(signal.SIGALRM, on_hang)
    signal.alarm(120 + args.kills // 2)
    code = soak.run()
    signal.alarm(0)
    if code:
        print(f"soak: seed {args.seed}", file=sys.stderr)
    return code


if __name__ == "__main__":
    sys.exit(main())
