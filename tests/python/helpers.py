"""Helpers for the tests: unique shared-memory names and real child processes."""

import itertools
import os
import subprocess
import sys
import textwrap

import pytest

_counter = itertools.count()


def unique_name(tag="t"):
    return f"vktest_{tag}_{os.getpid()}_{next(_counter)}"


def unlink_quietly(name):
    try:
        os.unlink("/dev/shm/" + name.lstrip("/"))
    except FileNotFoundError:
        pass


def spawn(code, *args, **kwargs):
    """Starts `python -c code` with the module importable; args land in sys.argv[1:]."""
    source = "import sys, os, time, signal\nimport veskline_core as vc\n" + textwrap.dedent(code)
    return subprocess.Popen(
        [sys.executable, "-c", source, *map(str, args)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        **kwargs,
    )


def run(code, *args, timeout=30):
    """Runs child code to completion and returns (returncode, stdout, stderr)."""
    proc = spawn(code, *args)
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
        pytest.fail(f"child timed out\nstdout: {out}\nstderr: {err}")
    return proc.returncode, out, err


def wait_for_line(proc, expected, timeout=20):
    """Reads the child's stdout until a line equal to `expected` arrives."""
    import selectors
    import time

    sel = selectors.DefaultSelector()
    sel.register(proc.stdout, selectors.EVENT_READ)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if sel.select(timeout=max(0.0, deadline - time.monotonic())):
            line = proc.stdout.readline()
            if line == "":
                break
            if line.strip() == expected:
                return
    proc.kill()
    pytest.fail(f"child never printed {expected!r}; stderr: {proc.stderr.read()}")

