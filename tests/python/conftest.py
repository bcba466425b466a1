"""Shared fixtures and the session's leak checks.

Every name a test creates comes from `shm_name` (prefix unique to this test
session) and is removed when the test ends. When the session ends, after a
last garbage collection, nothing of shared memory may be left behind: no name
with the session's prefix in /dev/shm, no descriptor open on /dev/shm, and no
mapping of a session name or a pool ring in this process.
"""

from __future__ import annotations

import gc
import itertools
import os

import pytest

import veskline_core

SESSION_PREFIX = f"vkt{os.getpid()}_"
_names = itertools.count()

# A run against a particular build (the sanitizer build, for one) names its
# directory here, so that a stale installed module can never stand in for it.
_expected_dir = os.environ.get("VESKLINE_EXPECT_MODULE_DIR")
if _expected_dir and os.path.dirname(os.path.abspath(veskline_core.__file__)) != os.path.abspath(
        _expected_dir):
    raise RuntimeError(f"testing {veskline_core.__file__}, not the build in {_expected_dir}")


def new_name(kind: str = "n") -> str:
    return f"{SESSION_PREFIX}{kind}{next(_names)}"


def remove_name(name: str) -> None:
    try:
        veskline_core.VeskQueue.unlink(name)
    except (RuntimeError, UnicodeEncodeError):
        pass


@pytest.fixture
def shm_name():
    """Factory of fresh names; each is unlinked when the test ends."""
    made: list[str] = []

    def make(kind: str = "n") -> str:
        name = new_name(kind)
        made.append(name)
        return name

    yield make
    for name in made:
        remove_name(name)


def shm_names_left() -> list[str]:
    return sorted(n for n in os.listdir("/dev/shm") if n.startswith(SESSION_PREFIX))


def shm_descriptors() -> list[str]:
    found = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            continue
        if target.startswith("/dev/shm/"):
            found.append(f"{fd} -> {target}")
    return found


def shm_mappings(*fragments: str) -> list[str]:
    """Mappings of this process backed by shared memory whose name contains a fragment."""
    fragments = fragments or (f"/dev/shm/{SESSION_PREFIX}", "/dev/shm/vk_task_", "/dev/shm/vk_res_")
    with open("/proc/self/maps") as maps:
        return [line.rstrip() for line in maps if any(f in line for f in fragments)]


@pytest.fixture(scope="session", autouse=True)
def no_shared_memory_left_behind():
    yield
    gc.collect()
    problems = []
    if names := shm_names_left():
        problems.append(f"names left in /dev/shm: {names}")
    if fds := shm_descriptors():
        problems.append(f"descriptors left open: {fds}")
    if maps := shm_mappings():
        problems.append(f"mappings left: {maps}")
    for name in shm_names_left():
        remove_name(name)
    assert not problems, "; ".join(problems)
