"""The demo's job and clean-up, and the benchmark harness's bookkeeping.

The demo runs as a real program (spawned workers, shared-memory rings); the
tests check what a user relies on: every id comes back once, every name it
made is gone afterwards, and a dead worker or Ctrl-C ends it instead of
leaving it waiting. Every wait is bounded.
"""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import sys
import time

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DEMO = os.path.join(ROOT, "examples", "demo.py")
sys.path.insert(0, os.path.join(ROOT, "bench"))

SHM = "/dev/shm"


def pool_names() -> set[str]:
    return {n for n in os.listdir(SHM) if n.startswith(("vk_task_", "vk_res_"))}


def children(pid: int) -> list[int]:
    out = []
    for d in os.listdir("/proc"):
        if d.isdigit():
            try:
                with open(f"/proc/{d}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                if int(fields[1]) == pid:
                    out.append(int(d))
            except (OSError, IndexError, ValueError):
                pass
    return out


def start_demo(*args: str) -> subprocess.Popen:
    return subprocess.Popen([sys.executable, DEMO, *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def wait_for_workers(proc: subprocess.Popen, count: int, timeout: float = 30.0) -> list[int]:
    """Pids of the demo's spawned workers, once they are running."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        # spawn starts a resource tracker too; workers are the ones that
        # import the demo's module.
        kids = [k for k in children(proc.pid) if _is_worker(k)]
        if len(kids) >= count:
            time.sleep(0.5)  # let them attach and take work
            return kids
        time.sleep(0.05)
    proc.kill()
    raise AssertionError("demo workers did not start")


def _is_worker(pid: int) -> bool:
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return b"spawn_main" in f.read()
    except OSError:
        return False


class TestDemo:
    def test_small_job_is_complete_and_leaves_no_names(self):
        before = pool_names()
        proc = start_demo("--workers", "2", "--records", "3000", "--record-kb", "1",
                          "--size-mb", "1", "--mpq-share", "0.5", "--sample-every", "1")
        out, err = proc.communicate(timeout=120)
        assert proc.returncode == 0, err
        assert "all 3,000 ids came back exactly once; 3,000 digests re-checked" in out
        assert "all 1,500 ids came back exactly once" in out
        assert "ran 1,500 of the records" in out
        assert pool_names() - before == set()

    def test_dead_worker_ends_the_demo_and_names_are_removed(self):
        before = pool_names()
        proc = start_demo("--workers", "2", "--records", "5000000", "--record-kb", "1",
                          "--size-mb", "1", "--mpq-share", "0")
        try:
            workers = wait_for_workers(proc, 2)
            assert pool_names() - before, "the demo's rings should exist while it runs"
            os.kill(workers[0], signal.SIGKILL)
            out, err = proc.communicate(timeout=30)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.communicate()
        assert proc.returncode == 1
        assert "died (exit code -9)" in err
        assert pool_names() - before == set()
        for w in workers[1:]:  # the other workers do not linger
            assert not os.path.exists(f"/proc/{w}") or _is_zombie(w)

    def test_ctrl_c_removes_every_name(self):
        before = pool_names()
        proc = start_demo("--workers", "2", "--records", "5000000", "--record-kb", "1",
                          "--size-mb", "1", "--mpq-share", "0")
        try:
            wait_for_workers(proc, 2)
            proc.send_signal(signal.SIGINT)
            out, err = proc.communicate(timeout=30)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.communicate()
        assert proc.returncode == 130, err
        assert "interrupted" in err
        assert pool_names() - before == set()

    def test_record_that_cannot_fit_is_refused_up_front(self):
        proc = start_demo("--record-kb", "2048", "--size-mb", "1")
        out, err = proc.communicate(timeout=60)
        assert proc.returncode == 2
        assert "must fit in the ring" in err


def _is_zombie(pid: int) -> bool:
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except OSError:
        return True


class TestBenchHarness:
    """The harness must count exactly what was sent, in every shape it runs.

    run_stream compares, round by round, the messages the consumers counted
    with those the producers sent, and raises on a difference; a run that
    returns counted exactly.
    """

    @pytest.mark.parametrize("name", ["veskline", "veskline view", "mp.Queue", "mp.SimpleQueue"])
    def test_one_to_one_rounds(self, name):
        import transports
        import workloads

        tr = {t.name: t for t in transports.all_transports()[0]}[name]
        rates = workloads.run_stream(tr, 4096, 1, 1, repeats=2, target_s=0.02)
        assert all(0 < r < float("inf") for r in rates)

    @pytest.mark.parametrize("name", ["veskline", "mp.Queue"])
    def test_two_to_two_stops_after_all_data(self, name):
        # Every producer's stop signals follow its own data, even where a
        # producer's puts are still in flight (mp.Queue's feeder thread), so
        # no round ends early and no message spills into the next one.
        import transports
        import workloads

        tr = {t.name: t for t in transports.all_transports()[0]}[name]
        rates = workloads.run_stream(tr, 64, 2, 2, repeats=3, target_s=0.02)
        assert all(0 < r < float("inf") for r in rates)

    def test_a_miscount_is_refused(self):
        # A transport that delivers one message twice: the rounds still end
        # (stop signals follow the data), but one delivers a message more
        # than was sent.
        import transports
        import workloads

        class Duplicating(transports.MpQueue):
            name = "mp.Queue duplicating"

            def sender(self, state, channel, index):
                put = super().sender(state, channel, index)
                pending = [index == 0]

                def send(payload):
                    put(payload)
                    if pending[0] and payload:
                        pending[0] = False
                        put(payload)

                return send

        with pytest.raises(RuntimeError, match=r"round 0 delivered (\d+) of (?!\1)\d+ messages"):
            workloads.run_stream(Duplicating(), 64, 2, 2, repeats=1, target_s=0.02)

    def test_views_are_not_offered_to_several_readers(self):
        import transports

        view = transports.Veskline(view=True)
        assert view.unsupported(64, "many")
        assert view.unsupported(64, "one") is None

    def test_pingpong_and_queue_names_are_removed(self):
        import transports
        import workloads

        before = set(os.listdir(SHM))
        med, p99 = workloads.run_pingpong(transports.Veskline(view=False), 2, 0.02)
        assert all(0 < m <= p for m, p in zip(med, p99))
        # Only this process's names: other test runs may share /dev/shm.
        mine = f"_{os.getpid()}_"
        assert {n for n in set(os.listdir(SHM)) - before
                if n.startswith("vkbench_") and mine in n} == set()

    def test_floor_programs_build_and_measure(self):
        if not (os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")):
            pytest.skip("no C compiler on PATH (the installed-wheel run); `make pytest` runs it")
        floor = pytest.importorskip("floor")
        fl = floor.Floor()
        try:
            assert fl.memcpy_bandwidth(65536, 65536, 0.02) > 1e8
            assert fl.memcpy_bandwidth(1 << 20, 8 << 20, 0.02) > 1e8
            med, p99, n = fl.pingpong_rtt(0.02)
            assert 0 < med <= p99 < 0.1 and n > 0
        finally:
            fl.close()
