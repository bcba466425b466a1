"""Awaitable queue calls: a cancelled await loses and duplicates nothing, even
racing puts from another process; waits end on puts, room, finished tasks
and shutdown; idle awaiting consumers cost next to nothing."""

import asyncio
import multiprocessing
import os
import queue
import random
import subprocess
import sys
import time

import pytest

import veskline

pytestmark = pytest.mark.timeout(180)


def _produce(name, count, pause):
    q = veskline.Queue.attach(name)
    for i in range(count):
        q.put(i)
        if pause:
            time.sleep(pause)
    q.close()


def test_ten_thousand_cancelled_awaits_racing_puts_lose_and_duplicate_nothing():
    q = veskline.Queue()
    total = 20000
    producer = multiprocessing.get_context("spawn").Process(
        target=_produce, args=(q.name, total, 0.00002))
    got = []
    rng = random.Random(7)

    async def consume():
        cancelled = 0
        while len(got) < total:
            task = asyncio.ensure_future(q.aget(timeout=30))
            # Cancel at random moments: before the first try, while the
            # helper waits, or just as a put wakes it.
            for _ in range(rng.randrange(3)):
                await asyncio.sleep(0)
            if not task.done() and rng.random() < 0.8:
                task.cancel()
            try:
                got.append(await task)
            except asyncio.CancelledError:
                cancelled += 1
        return cancelled

    producer.start()
    try:
        cancelled = asyncio.run(consume())
    finally:
        producer.join(60)
    assert cancelled >= 10000
    assert len(got) == total and sorted(got) == list(range(total))
    with pytest.raises(queue.Empty):
        q.get_nowait()
    q.close()


def test_awaits_end_on_put_room_task_done_and_shutdown():
    async def main():
        q = veskline.JoinableQueue(maxsize=1)
        loop = asyncio.get_running_loop()
        # get: woken by a put from another thread
        loop.call_later(0.05, q.put, "a")
        assert await asyncio.wait_for(q.aget(), 10) == "a"
        # put: waits for room, and a cancelled put puts nothing
        q.put("b")
        blocked = asyncio.ensure_future(q.aput("never"))
        await asyncio.sleep(0.05)
        assert not blocked.done()
        blocked.cancel()
        with pytest.raises(asyncio.CancelledError):
            await blocked
        assert q.qsize() == 1
        loop.call_later(0.05, q.get)
        await asyncio.wait_for(q.aput("c"), 10)
        assert await q.aget_many(max_messages=5) == ["c"]
        # join: waits for every task_done
        joined = asyncio.ensure_future(q.ajoin())
        await asyncio.sleep(0.05)
        assert not joined.done()
        for _ in range(3):
            q.task_done()
        await asyncio.wait_for(joined, 10)
        # timeouts
        started = time.monotonic()
        with pytest.raises(queue.Empty):
            await q.aget(timeout=0.1)
        assert time.monotonic() - started >= 0.1
        # shutdown wakes a waiting get
        waiting = asyncio.ensure_future(q.aget())
        await asyncio.sleep(0.05)
        q.shutdown()
        with pytest.raises(veskline.ShutDown):
            await asyncio.wait_for(waiting, 10)
        q.close()

    asyncio.run(main())


def test_bytes_queue_awaits():
    async def main():
        q = veskline.BytesQueue()
        asyncio.get_running_loop().call_later(0.02, q.put, b"xyz")
        assert await asyncio.wait_for(q.aget(), 10) == b"xyz"
        await q.aput(memoryview(b"12"))
        assert await q.aget_many() == [b"12"]
        q.close()

    asyncio.run(main())


def test_idle_awaiting_consumers_cost_next_to_nothing():
    async def main():
        q = veskline.Queue()
        waiters = [asyncio.ensure_future(q.aget()) for _ in range(10)]
        await asyncio.sleep(0.2)  # helpers started and asleep
        before = os.times()
        await asyncio.sleep(2.0)
        after = os.times()
        for w in waiters:
            w.cancel()
        await asyncio.gather(*waiters, return_exceptions=True)
        q.close()
        return (after.user - before.user) + (after.system - before.system)

    cpu = asyncio.run(main())
    # A spinning helper would burn the whole 2 s; the bound is generous.
    assert cpu < 0.2, f"{cpu:.3f} s of CPU in 2 s of idle awaits"


def test_idle_awaits_on_a_queue_share_one_waiting_thread():
    # In a fresh interpreter, so no helper is left idle by other tests.
    code = """if True:
        import asyncio, threading, veskline
        async def main():
            q = veskline.Queue()
            base = threading.active_count()
            waiters = [asyncio.ensure_future(q.aget()) for _ in range(20)]
            waiters += [asyncio.ensure_future(q.aget(timeout=60)) for _ in range(5)]
            await asyncio.sleep(0.3)
            print(threading.active_count() - base)
            for w in waiters:
                w.cancel()
            await asyncio.gather(*waiters, return_exceptions=True)
            q.close()
        asyncio.run(main())
    """
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "1"


def _hold_in_place(name, ready):
    q = veskline.BytesQueue.attach(name)
    with q.recv_view():
        ready.set()
        time.sleep(60)


def _hold_reservation(name, ready):
    q = veskline.BytesQueue.attach(name)
    with q.reserve(1000):
        ready.set()
        time.sleep(60)


def _hold_task(name, ready):
    q = veskline.JoinableQueue.attach(name)
    q.get()
    ready.set()
    time.sleep(60)


@pytest.mark.parametrize("holder", ["in place", "reservation", "task"])
def test_awaits_carry_on_past_what_a_killed_process_held(holder):
    """Nothing but awaits runs after the kill: they must hand a killed
    reader's message on, skip a killed writer's reservation, and count a
    killed worker's task as done, as blocking calls do."""
    ctx = multiprocessing.get_context("spawn")
    ready = ctx.Event()
    if holder == "task":
        q = veskline.JoinableQueue()
        q.put("task")
        target = _hold_task
    else:
        q = veskline.BytesQueue()
        if holder == "in place":
            q.put(b"m" * 100_000)
        target = _hold_in_place if holder == "in place" else _hold_reservation
    child = ctx.Process(target=target, args=(q.name, ready))
    child.start()
    try:
        assert ready.wait(30)
        if holder == "reservation":
            q.put(b"after")  # queued behind the reservation

        async def main():
            waiting = asyncio.ensure_future(q.ajoin() if holder == "task" else q.aget())
            await asyncio.sleep(0.2)
            assert not waiting.done()
            os.kill(child.pid, 9)
            return await asyncio.wait_for(waiting, 10)

        got = asyncio.run(main())
        assert got == {"in place": b"m" * 100_000, "reservation": b"after", "task": None}[holder]
    finally:
        child.kill()
        child.join(10)
        q.close()
