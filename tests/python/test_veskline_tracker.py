"""veskline._tracker: a process's registered names go when the process does."""

import os
import signal
import time

import pytest

from helpers import spawn, unique_name, unlink_quietly, wait_for_line

SHM = "/dev/shm/"

# Registers its names (argv), makes them and their side storage, then waits.
OWNER = """
from veskline import _tracker
for name in sys.argv[1:]:
    _tracker.register(name)
    open("/dev/shm/" + name, "w").close()
    open("/dev/shm/" + _tracker.side_prefix(name) + "0", "w").close()
print("ready", flush=True)
time.sleep(60)
"""


def exists(name):
    return os.path.exists(SHM + name)


def wait_watched(tracker_pid, *pids, within=10.0):
    """Waits until the tracker watches every pid (holds a pidfd on it)."""
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        seen = set()
        for fd in os.listdir(f"/proc/{tracker_pid}/fdinfo"):
            try:
                with open(f"/proc/{tracker_pid}/fdinfo/{fd}") as info:
                    for line in info:
                        if line.startswith("Pid:"):
                            seen.add(int(line.split()[1]))
            except OSError:
                pass
        if set(pids) <= seen:
            return
        time.sleep(0.005)
    pytest.fail(f"tracker {tracker_pid} never watched {pids}")


def wait_gone(*names, within=5.0):
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        if not any(exists(n) for n in names):
            return True
        time.sleep(0.005)
    return False


@pytest.fixture
def names():
    made = []

    def make(count=1):
        new = [unique_name("trk") for _ in range(count)]
        made.extend(new)
        return new

    yield make
    for name in made:
        unlink_quietly(name)
        unlink_quietly(name + "~0")


@pytest.mark.parametrize("how", [signal.SIGKILL, signal.SIGTERM])
def test_killed_owner_names_and_side_storage_removed(names, how):
    first, second = names(2)
    owner = spawn(OWNER, first, second)
    wait_for_line(owner, "ready")
    assert exists(first) and exists(second + "~0")
    owner.send_signal(how)
    owner.wait(timeout=10)
    assert wait_gone(first, second, first + "~0", second + "~0")


def test_clean_exit_removes_quietly_and_unregistered_names_stay(names):
    kept, dropped = names(2)
    owner = spawn("""
    from veskline import _tracker
    for name in sys.argv[1:]:
        _tracker.register(name)
        open("/dev/shm/" + name, "w").close()
    _tracker.unregister(sys.argv[1])
    """, kept, dropped)
    out, err = owner.communicate(timeout=30)
    assert (owner.returncode, out, err) == (0, "", "")
    assert wait_gone(dropped)
    time.sleep(0.2)
    assert exists(kept)


def test_forked_child_shares_tracker_but_names_go_with_their_own_process(names):
    parents, childs = names(2)
    owner = spawn("""
    from veskline import _tracker
    parents, childs = sys.argv[1:]
    _tracker.register(parents)
    open("/dev/shm/" + parents, "w").close()
    tracker = _tracker._client.pid
    pid = os.fork()
    if pid == 0:
        _tracker.register(childs)
        open("/dev/shm/" + childs, "w").close()
        print("child", os.getpid(), os.getppid(), tracker, flush=True)
        time.sleep(60)
        os._exit(0)
    time.sleep(60)
    """, parents, childs)
    line = owner.stdout.readline().split()
    assert line[0] == "child", owner.stderr.read()
    child_pid, parent_pid, tracker_pid = map(int, line[1:])
    wait_watched(tracker_pid, child_pid, parent_pid)
    # The parent dies while its forked child, which shares the pipe, lives on.
    owner.send_signal(signal.SIGKILL)
    owner.wait(timeout=10)
    assert wait_gone(parents)
    assert exists(childs)
    os.kill(child_pid, signal.SIGKILL)
    assert wait_gone(childs)


def test_spawned_child_that_attaches_removes_nothing_of_its_parents(names):
    (name,) = names(1)
    owner = spawn("""
    import multiprocessing as mp
    import veskline
    from veskline import _tracker

    _tracker.register(sys.argv[1])
    veskline.Lock(sys.argv[1])
    for method in ("spawn", "forkserver"):
        # The child attaches only: it never owns the name.
        p = mp.get_context(method).Process(target=veskline.Lock.attach, args=(sys.argv[1],))
        p.start(); p.join()
        assert p.exitcode == 0
    time.sleep(0.3)
    print("present" if os.path.exists("/dev/shm/" + sys.argv[1]) else "gone", flush=True)
    time.sleep(60)
    """, name)
    wait_for_line(owner, "present")
    owner.kill()
    owner.wait(timeout=10)
    assert wait_gone(name)


def test_tracker_killed_is_restarted_with_the_names_still_owned(names):
    first, second = names(2)
    owner = spawn("""
    from veskline import _tracker
    first, second = sys.argv[1:]
    _tracker.register(first)
    open("/dev/shm/" + first, "w").close()
    os.kill(_tracker._client.pid, signal.SIGKILL)
    os.waitpid(_tracker._client.pid, 0)
    _tracker.register(second)
    open("/dev/shm/" + second, "w").close()
    print("ready", flush=True)
    time.sleep(60)
    """, first, second)
    wait_for_line(owner, "ready")
    owner.send_signal(signal.SIGKILL)
    owner.wait(timeout=10)
    assert wait_gone(first, second)
