"""Ctrl-C latency: how long after SIGINT a blocked call raises KeyboardInterrupt.

One child process per case blocks its main thread in the call again and
again; for each try the parent waits until the child is about to block,
gives it 30 ms to fall asleep, reads the monotonic clock (the same clock in
every process) and sends SIGINT. The child reads the clock where it catches
KeyboardInterrupt. Latency = catch - send, median over the tries.

The case is named by a module-level function `case_<name>(tries, report)` in
a module the child imports; it sets things up, calls report("ready") before
each blocking call and report(caught_time) after each interrupt, and at the
end report("state <text>") with whatever it checked about the state left
behind.
"""

from __future__ import annotations

import importlib
import os
import signal
import statistics
import subprocess
import sys
import time

SETTLE_S = 0.03


def run_case(module: str, case: str, tries: int, *args: str, hold=None) -> dict:
    """Runs case_<case> of `module` in a child; returns latencies and the state line.

    `hold`, if given, is a context manager the parent enters first (a lock it
    holds, for one)."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [os.path.dirname(os.path.abspath(__file__)), os.environ.get("PYTHONPATH", "")]))
    proc = subprocess.Popen(
        [sys.executable, os.path.abspath(__file__), module, case, str(tries), *args],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    latencies, state = [], None
    try:
        for line in proc.stdout:
            word = line.split()
            if word[0] == "ready":
                time.sleep(SETTLE_S)
                sent = time.monotonic()
                proc.send_signal(signal.SIGINT)
            elif word[0] == "caught":
                latencies.append(float(word[1]) - sent)
            elif word[0] == "state":
                state = line.split(" ", 1)[1].strip()
        proc.wait(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    if proc.returncode != 0 or len(latencies) != tries:
        raise RuntimeError(f"{module}.{case}: exit {proc.returncode}, {len(latencies)} of {tries} "
                           f"tries; stderr: {proc.stderr.read()[-2000:]}")
    return {"median_ms": statistics.median(latencies) * 1e3,
            "max_ms": max(latencies) * 1e3, "tries": tries, "state": state}


def blocked_tries(tries: int, call) -> None:
    """The child's loop: `call` must block until interrupted."""
    for _ in range(tries):
        print("ready", flush=True)
        try:
            call()
        except KeyboardInterrupt:
            print("caught", time.monotonic(), flush=True)
        else:
            raise SystemExit("the call returned instead of blocking")


def report_state(text: str) -> None:
    print("state", text, flush=True)


def _child(module: str, case: str, tries: str, *args: str) -> None:
    getattr(importlib.import_module(module), "case_" + case)(int(tries), *args)


if __name__ == "__main__":
    _child(*sys.argv[1:])
