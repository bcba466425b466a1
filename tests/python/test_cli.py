"""The veskline command against real rings, locks and pools.

Every scenario runs in a child with a private mount namespace and an empty
tmpfs on /dev/shm, since `ls` and `clean` look at (and `clean` removes) every
name there, and other programs on the machine share the real one. The child
builds the objects with veskline_core, runs the installed command as a
separate process, and prints what the test checks as JSON.
"""

import json
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

PRELUDE = r'''
import json, os, signal, subprocess, sys, time
import veskline_core as vc

def cli(*args, stdin=subprocess.DEVNULL, timeout=20):
    start = time.monotonic()
    p = subprocess.run([sys.executable, "-m", "veskline", *args], stdin=stdin,
                       capture_output=True, text=True, timeout=timeout)
    return {"rc": p.returncode, "out": p.stdout, "err": p.stderr,
            "seconds": time.monotonic() - start}

def cli_input(answer, *args):
    p = subprocess.run([sys.executable, "-m", "veskline", *args], input=answer,
                       capture_output=True, text=True, timeout=20)
    return {"rc": p.returncode, "out": p.stdout, "err": p.stderr}

def child(code, *args):
    """A helper process; returns once it printed its first line."""
    p = subprocess.Popen([sys.executable, "-c", "import sys, time, veskline_core as vc\n" + code,
                          *args], stdout=subprocess.PIPE, text=True)
    assert p.stdout.readline().strip() == "ready"
    return p

def make_file(name, size, age=0):
    fd = os.open("/dev/shm/" + name, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o600)
    os.ftruncate(fd, size)
    os.close(fd)
    if age:
        t = time.time() - age
        os.utime("/dev/shm/" + name, (t, t))

def age(name, seconds):
    t = time.time() - seconds
    os.utime("/dev/shm/" + name, (t, t))

def shm():
    return sorted(os.listdir("/dev/shm"))

def by_name(listing):
    return {e["name"]: e for e in json.loads(listing["out"])}

# Holds a ring's own mutex, the way a producer inside put_bytes does.
HOLD_RING_MUTEX = """
import ctypes, mmap
f = open("/dev/shm/" + sys.argv[1], "r+b")
m = mmap.mmap(f.fileno(), 16384)
addr = ctypes.addressof(ctypes.c_char.from_buffer(m))
assert ctypes.CDLL(None).pthread_mutex_lock(ctypes.c_void_p(addr)) == 0
print("ready", flush=True)
time.sleep(120)
"""
'''


def _private_shm_available():
    if os.geteuid() != 0:
        return "needs root (a private mount namespace with its own /dev/shm)"
    if not shutil.which("unshare"):
        return "needs unshare(1) for a private mount namespace"
    probe = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c",
                            "mount -t tmpfs tmpfs /dev/shm"], capture_output=True, text=True,
                           env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"})
    if probe.returncode != 0:
        return f"cannot mount a private /dev/shm: {probe.stderr.strip()}"
    return None


_why_not = _private_shm_available()
pytestmark = pytest.mark.skipif(_why_not is not None, reason=f"scans /dev/shm: {_why_not}")


def in_private_shm(code, timeout=120):
    """Runs PRELUDE + code in a private /dev/shm; returns what it printed as JSON."""
    script = PRELUDE + textwrap.dedent(code)
    # A preloaded sanitizer runtime (the ASan run) is for Python, not for
    # unshare, sh and mount, whose own leaks it would report.
    env = dict(os.environ)
    env["VESKLINE_TEST_PRELOAD"] = env.pop("LD_PRELOAD", "")
    p = subprocess.run(
        ["unshare", "-m", "--propagation", "private", "sh", "-c",
         'mount -t tmpfs tmpfs /dev/shm && export LD_PRELOAD="$VESKLINE_TEST_PRELOAD" && '
         'exec "$0" -c "$1"', sys.executable, script],
        capture_output=True, text=True, timeout=timeout, env=env)
    assert p.returncode == 0, f"scenario failed:\n{p.stdout}\n{p.stderr}"
    return json.loads(p.stdout.strip().splitlines()[-1])


def test_ls_names_every_kind_and_state():
    r = in_private_shm('''
        q = vc.VeskQueue("jobs", 1)
        for n in (1000, 2000, 3000):
            q.put_bytes(b"x" * n)
        vc.VeskLock("app-lock")
        pool = vc.VeskPoolCore(1)
        make_file("half", 16384 + 4096, age=60)       # sized, never initialised
        make_file("empty", 0, age=60)                  # never even sized
        vc.VeskQueue("broken", 1).put_bytes(b"abc")
        with open("/dev/shm/broken", "r+b") as f:      # a stray write over the prefix
            f.seek(16384); f.write(b"\\xff\\xff\\x00\\x00")
        make_file("somebody-else", 100)                 # not ours: not listed
        listing = cli("ls", "--json")
        table = cli("ls")
        pool.unlink()
        print(json.dumps({"json": listing, "table": table, "task": pool.task_q_name}))
    ''')
    listing = r["json"]
    assert listing["rc"] == 4, listing  # something is not ready
    entries = {e["name"]: e for e in json.loads(listing["out"])}
    task = r["task"]
    assert set(entries) == {"jobs", "app-lock", task, task.replace("task", "res"), "half", "empty",
                            "broken"}
    jobs = entries["jobs"]
    assert (jobs["kind"], jobs["state"], jobs["mode"], jobs["owner"]) == ("queue", "ready", "0600", "root")
    assert (jobs["messages"], jobs["queued_bytes"], jobs["capacity"]) == (3, 6012, 1 << 20)
    assert jobs["attached_pids"] and jobs["waiting"] == [] and jobs["holder"] is None
    assert entries[task]["kind"] == "pool-task" and entries[task]["pool"] == task[-8:]
    assert (entries["app-lock"]["kind"], entries["app-lock"]["state"]) == ("lock", "ready")
    assert (entries["half"]["kind"], entries["half"]["state"]) == ("queue", "half-made")
    assert (entries["empty"]["kind"], entries["empty"]["state"]) == ("empty", "half-made")
    assert entries["broken"]["state"] == "damaged"
    assert "length prefix 65535 at position 0" in entries["broken"]["problem"]

    table = r["table"]
    assert table["rc"] == 4
    lines = table["out"].splitlines()
    assert lines[0].split() == ["NAME", "KIND", "STATE", "OWNER", "MODE", "SIZE", "FILL", "QUEUED",
                                "MSGS", "WAITING", "HOLDER", "USERS"]
    jobs_line = next(line for line in lines if line.startswith("jobs "))
    assert jobs_line.split()[:9] == ["jobs", "queue", "ready", "root", "0600", "1", "MiB",
                                     "[#...................]", "1%"]
    assert "broken: damaged: length prefix 65535 at position 0 runs past" in table["out"]
    # Every column starts at the same place on every line.
    starts = [lines[0].index("STATE"), jobs_line.index("ready")]
    assert starts[0] == starts[1]


def test_stopped_holders_and_sleepers_do_not_stop_the_command():
    r = in_private_shm('''
        q = vc.VeskQueue("held", 1)
        q.put_bytes(b"m" * 10)
        ring_holder = child(HOLD_RING_MUTEX, "held")
        lock_holder = child("l = vc.VeskLock('app-lock'); l.acquire(); print('ready', flush=True)"
                            "; time.sleep(120)")
        os.kill(ring_holder.pid, signal.SIGSTOP)
        os.kill(lock_holder.pid, signal.SIGSTOP)
        vc.VeskQueue("idle", 1)
        consumer = child("q = vc.VeskQueue('idle', 1); print('ready', flush=True); q.get_bytes()")
        time.sleep(1.0)  # past the watching phase: asleep in the kernel
        listing, inspect = cli("ls", "--json"), cli("inspect", "held")
        for p in (ring_holder, lock_holder, consumer):
            p.kill(); p.wait()
        print(json.dumps({"ls": listing, "inspect": inspect,
                          "pids": [ring_holder.pid, lock_holder.pid]}))
    ''')
    listing, inspect = r["ls"], r["inspect"]
    assert listing["seconds"] < 10 and inspect["seconds"] < 10
    entries = {e["name"]: e for e in json.loads(listing["out"])}
    ring_pid, lock_pid = r["pids"]
    assert entries["held"]["holder"]["pid"] == ring_pid
    assert entries["held"]["holder"]["state"] == "stopped"
    assert entries["held"]["messages"] == 1
    assert entries["app-lock"]["holder"]["pid"] == lock_pid
    assert entries["app-lock"]["holder"]["state"] == "stopped"
    assert entries["idle"]["waiting"] == ["get"]
    assert inspect["rc"] == 0, inspect
    out = inspect["out"]
    assert f"mutex         held by pid {ring_pid} (python" in out and "), stopped;" in out
    assert "oldest sizes  10\n" in out and "queued        14 bytes in 1 messages" in out


def test_clean_removes_only_what_is_dead_and_asks_first():
    r = in_private_shm('''
        make_file("old-half", 16384 + 4096, age=60)
        make_file("new-half", 16384 + 4096)          # its creator may still be at work
        make_file("old-empty", 0, age=60)
        make_file("old-lock-half", 4096, age=60)
        vc.VeskQueue("unread", 1).put_bytes(b"keep me")  # nobody attached, but it is a queue
        age("unread", 3600)
        vc.VeskLock("quiet-lock"); age("quiet-lock", 3600)
        # A pool whose owner is gone: its rings stay behind, mapped by nobody.
        gone = json.loads(subprocess.run([sys.executable, "-c",
            "import json, veskline_core as vc; p = vc.VeskPoolCore(1); p.put_task(b't');"
            "print(json.dumps([p.task_q_name, p.result_q_name]))"],
            capture_output=True, text=True, check=True).stdout)
        live = vc.VeskPoolCore(1)                     # its owner (this process) maps it
        for n in gone + [live.task_q_name, live.result_q_name]:
            age(n, 3600)
        before = shm()
        declined = cli("clean")                       # no answer on standard input
        said_no = cli_input("n\\n", "clean")
        dry = cli("clean", "--dry-run")
        after_no = shm()
        yes = cli_input("y\\n", "clean")
        after = shm()
        again = cli("clean", "--yes")
        print(json.dumps({"before": before, "after_no": after_no, "after": after, "gone": gone,
                          "live": [live.task_q_name, live.result_q_name], "declined": declined,
                          "said_no": said_no, "dry": dry, "yes": yes, "again": again}))
    ''')
    dead = sorted(["old-half", "old-empty", "old-lock-half"] + r["gone"])
    assert (r["declined"]["rc"], r["said_no"]["rc"], r["dry"]["rc"]) == (3, 3, 0)
    assert r["after_no"] == r["before"]
    plan = r["dry"]["out"].splitlines()
    assert plan[0] == "would remove:"
    assert sorted(line.split()[0] for line in plan[1:]) == dead
    assert any(line.split()[0] == r["gone"][0] and "no process uses its rings" in line
               for line in plan)
    assert r["yes"]["rc"] == 0, r["yes"]
    assert f"remove these {len(dead)} names? [y/N] " in r["yes"]["out"]
    assert sorted(set(r["before"]) - set(r["after"])) == dead
    assert set(r["live"]) <= set(r["after"]) and {"new-half", "unread", "quiet-lock"} <= set(r["after"])
    assert (r["again"]["rc"], r["again"]["out"]) == (0, "nothing to clean\n")


def test_rm_refuses_what_is_not_ours():
    r = in_private_shm('''
        vc.VeskQueue("q1", 1); vc.VeskLock("l1")
        make_file("foreign", 100)
        results = {
            "ours": cli("rm", "q1", "/l1"),
            "foreign": cli("rm", "foreign"),
            "missing": cli("rm", "nope"),
            "mixed": cli("rm", "foreign", "nope"),
        }
        results["left"] = shm()
        results["forced"] = cli("rm", "--force", "foreign")
        results["end"] = shm()
        results["usage"] = cli("rm")
        print(json.dumps(results))
    ''')
    assert (r["ours"]["rc"], r["ours"]["out"]) == (0, "removed q1\nremoved l1\n")
    assert r["foreign"]["rc"] == 3 and "not made by veskline" in r["foreign"]["err"]
    assert r["missing"]["rc"] == 1 and "nope: no such name" in r["missing"]["err"]
    assert r["mixed"]["rc"] == 3
    assert r["left"] == ["foreign"] and r["end"] == []
    assert r["forced"]["rc"] == 0 and r["usage"]["rc"] == 2
