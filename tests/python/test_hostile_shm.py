"""Constructors under hostile conditions: a name squatted by another user, a
/dev/shm too small or full, and a process without address space.

Each case checks the exact error a user sees, that nothing of ours is left
in /dev/shm, and that an object we did not make is left alone. The memory
cases run in a child in a private mount namespace with its own small tmpfs
on /dev/shm, so they can fill it and list it without touching anybody else.
"""

import os
import shutil
import subprocess
import sys
import textwrap
import time

import pytest

import veskline_core as vc
from helpers import run

MIB = 1 << 20
NOBODY = 65534
ENOSPC_TEXT = "Nix error: ENOSPC: No space left on device"
ENOMEM_TEXT = "Nix error: ENOMEM: Out of memory"

needs_root = pytest.mark.skipif(os.geteuid() != 0, reason="needs root")


def mapped(name):
    with open("/proc/self/maps") as maps:
        return any(line.rstrip().endswith("/dev/shm/" + name) for line in maps)


def squat(name, size):
    """Creates the name as the user nobody would: mode 0666, the right size."""
    pid = os.fork()
    if pid == 0:
        try:
            os.setgid(NOBODY)
            os.setuid(NOBODY)
            fd = os.open("/dev/shm/" + name, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o666)
            os.fchmod(fd, 0o666)
            os.ftruncate(fd, size)
            os.write(fd, b"squatter")
        finally:
            os._exit(0)
    os.waitpid(pid, 0)
    status = os.stat("/dev/shm/" + name)
    assert (status.st_uid, status.st_size) == (NOBODY, size)


@needs_root
def test_a_name_squatted_by_another_user_is_refused(shm_name):
    queue_name, lock_name = shm_name("sq"), shm_name("sl")
    squat(queue_name, 16384 + MIB)
    squat(lock_name, 4096)
    started = time.monotonic()
    with pytest.raises(RuntimeError) as info:
        vc.VeskQueue(queue_name, 1)
    assert str(info.value) == "Failed to create mirrored shm: Nix error: EACCES: Permission denied"
    with pytest.raises(RuntimeError) as info:
        vc.VeskLock(lock_name)
    assert str(info.value) == "Failed to create shm: Nix error: EACCES: Permission denied"
    assert time.monotonic() - started < 5
    # Never mapped, never changed, still theirs.
    for name, size in ((queue_name, 16384 + MIB), (lock_name, 4096)):
        assert not mapped(name)
        status = os.stat("/dev/shm/" + name)
        assert (status.st_uid, status.st_size) == (NOBODY, size)
        with open("/dev/shm/" + name, "rb") as f:
            assert f.read(8) == b"squatter"
    # Nor by another process of ours that tries to use the names.
    rc, out, err = run("""
    for make in (lambda: vc.VeskQueue(sys.argv[1], 1), lambda: vc.VeskLock(sys.argv[2])):
        try:
            make()
        except RuntimeError as e:
            print(e)
    """, queue_name, lock_name)
    assert (rc, out.splitlines()) == (0, [
        "Failed to create mirrored shm: Nix error: EACCES: Permission denied",
        "Failed to create shm: Nix error: EACCES: Permission denied"]), err


def _namespace_problem():
    if os.geteuid() != 0:
        return "needs root for a private mount namespace"
    if shutil.which("unshare") is None:
        return "unshare is not installed"
    probe = subprocess.run(["unshare", "-m", "true"], capture_output=True, timeout=30)
    if probe.returncode != 0:
        return f"unshare -m is refused here: {probe.stderr.decode().strip()}"
    return None


def run_with_small_shm(code, size_mb=64):
    """Runs `code` in a child whose /dev/shm is a private tmpfs of size_mb MiB."""
    problem = _namespace_problem()
    if problem:
        pytest.skip(problem)
    source = ("import os, sys, time\nimport veskline_core as vc\n" + CHILD_HELPERS +
              textwrap.dedent(code))
    shell = f'mount -t tmpfs -o size={size_mb}m tmpfs /dev/shm && exec "$0" -c "$1"'
    done = subprocess.run(["unshare", "-m", "sh", "-c", shell, sys.executable, source],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, f"stdout: {done.stdout}\nstderr: {done.stderr}"
    return done.stdout


CHILD_HELPERS = """
ENOSPC = "Nix error: ENOSPC: No space left on device"

def fails(make, message):
    try:
        made = make()
    except RuntimeError as e:
        assert str(e) == message, str(e)
    else:
        raise AssertionError(f"made {made!r}, expected {message!r}")

def names():
    return sorted(os.listdir("/dev/shm"))

def own_maps():
    with open("/proc/self/maps") as maps:
        return [line for line in maps if "/dev/shm/" in line]
"""


def test_a_queue_larger_than_dev_shm_fails_in_its_constructor():
    out = run_with_small_shm("""
    started = time.monotonic()
    for size_mb in (65, 100, 30000, 1 << 25):  # up to 32 TiB
        fails(lambda: vc.VeskQueue("big", size_mb), "Failed to create mirrored shm: " + ENOSPC)
        assert names() == [], names()
    fails(lambda: vc.VeskPoolCore(100), "Failed to create task shm: " + ENOSPC)
    # The task ring fits, the result ring does not: both names go.
    fails(lambda: vc.VeskPoolCore(40), "Failed to create result shm: " + ENOSPC)
    assert names() == [] and own_maps() == [], (names(), own_maps())
    assert time.monotonic() - started < 30

    # What fits is all there: a queue of 60 MiB takes a 50 MiB message.
    queue = vc.VeskQueue("fits", 60)
    assert os.stat("/dev/shm/fits").st_blocks * 512 >= 60 << 20
    queue.put_bytes(b"m" * (50 << 20))
    assert len(queue.get_bytes()) == 50 << 20
    # Everything is taken now: the next constructor fails instead of SIGBUS.
    fails(lambda: vc.VeskQueue("more", 8), "Failed to create mirrored shm: " + ENOSPC)
    assert names() == ["fits"]
    print("ok")
    """)
    assert out.strip() == "ok"


def test_every_constructor_fails_cleanly_on_a_full_dev_shm():
    out = run_with_small_shm("""
    # Fill /dev/shm to the last page.
    filler = os.open("/dev/shm/filler", os.O_RDWR | os.O_CREAT, 0o600)
    size = 0
    for step in (1 << 20, 4096):
        while True:
            try:
                os.posix_fallocate(filler, size, step)
            except OSError:
                break
            size += step
    assert size > 0

    for _ in range(3):
        fails(lambda: vc.VeskQueue("q", 1), "Failed to create mirrored shm: " + ENOSPC)
        fails(lambda: vc.VeskLock("l"), "Failed to create shm: " + ENOSPC)
        fails(lambda: vc.VeskPoolCore(1), "Failed to create task shm: " + ENOSPC)
        assert names() == ["filler"], names()
        assert own_maps() == [], own_maps()

    # With room again, the same names work from scratch.
    os.ftruncate(filler, 0)
    queue = vc.VeskQueue("q", 1)
    queue.put_bytes(b"back")
    assert queue.get_bytes() == b"back"
    with vc.VeskLock("l"):
        pass
    pool = vc.VeskPoolCore(1)
    pool.put_task(b"t")
    pool.unlink()
    print("ok")
    """)
    assert out.strip() == "ok"


# The child limits its address space to what it uses already, plus a margin,
# and reports what the constructor raised and how long it took.
LIMITED = """
import gc, resource
gc.collect()
with open("/proc/self/statm") as statm:
    used = int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
resource.setrlimit(resource.RLIMIT_AS, (used + int(sys.argv[3]), resource.RLIM_INFINITY))
started = time.monotonic()
try:
    vc.VeskQueue(sys.argv[1], int(sys.argv[2]))
    outcome = "made"
except Exception as e:
    outcome = f"{type(e).__name__}: {e}"
took = time.monotonic() - started
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
print(outcome)
print(took)
"""


@pytest.mark.parametrize("margin", [0, 4 * MIB], ids=["no-room-for-the-header", "room-for-header"])
def test_an_attach_without_address_space_fails_at_once(shm_name, margin):
    name = shm_name("as")
    queue = vc.VeskQueue(name, 64)
    queue.put_bytes(b"still here")
    rc, out, err = run(LIMITED, name, 64, margin)
    assert rc == 0, err
    outcome, took = out.splitlines()
    assert outcome == "RuntimeError: Failed to create mirrored shm: " + ENOMEM_TEXT
    assert float(took) < 5, "polled instead of failing"
    assert queue.get_bytes() == b"still here"


def test_a_new_queue_that_cannot_be_mapped_leaves_no_name(shm_name):
    name = shm_name("as")
    rc, out, err = run(LIMITED, name, 64, 4 * MIB)
    assert rc == 0, err
    assert out.splitlines()[0] == "RuntimeError: Failed to create mirrored shm: " + ENOMEM_TEXT
    assert not os.path.exists("/dev/shm/" + name)
    # The next constructor creates the name afresh instead of waiting for it.
    started = time.monotonic()
    queue = vc.VeskQueue(name, 64)
    assert time.monotonic() - started < 5
    queue.put_bytes(b"x")
    assert queue.get_bytes() == b"x"
