"""Fixtures: unique shared-memory names, removed after each test whatever happens.

When the session ends, after a last garbage collection, nothing of shared
memory may be left behind: no name of this session's tests in /dev/shm, and
no descriptor open on, or mapping of, a test name or a pool ring in this
process.
"""

import gc
import os

import pytest

import veskline_core
from helpers import unique_name, unlink_quietly

# A run against a particular build (the sanitizer build, for one) names its
# directory here, so that a stale installed module can never stand in for it.
_expected_dir = os.environ.get("VESKLINE_EXPECT_MODULE_DIR")
if _expected_dir and os.path.dirname(os.path.abspath(veskline_core.__file__)) != os.path.abspath(
        _expected_dir):
    raise RuntimeError(f"testing {veskline_core.__file__}, not the build in {_expected_dir}")
if _expected_dir:
    import veskline

    if os.path.dirname(os.path.dirname(os.path.abspath(veskline.__file__))) != os.path.abspath(
            _expected_dir):
        raise RuntimeError(f"testing {veskline.__file__}, not the build in {_expected_dir}")
if os.environ.get("VESKLINE_LEAK_CHECKED"):
    import sys

    class _NoNumpy:
        """NumPy's import leaves objects that LeakSanitizer reports as leaks
        (about 3 KB, with or without us): the tests that need it skip in the
        leak-checked run."""

        @staticmethod
        def find_spec(name, path=None, target=None):
            if name == "numpy" or name.startswith("numpy."):
                raise ModuleNotFoundError("NumPy is left out of the leak-checked run")
            return None

    sys.meta_path.insert(0, _NoNumpy)
    # This process read its sanitizer options at start and is leak-checked at
    # exit. Its child processes are not: LeakSanitizer's own tracer now and
    # then crashes in a spawned interpreter at exit, failing a child that did
    # nothing wrong.
    os.environ["ASAN_OPTIONS"] = os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"


def new_name(tag="n"):
    return unique_name(tag)


def remove_name(name):
    try:
        unlink_quietly(name)
    except (OSError, ValueError, UnicodeEncodeError):
        pass


@pytest.fixture
def shm_name():
    names = []

    def make(tag="t"):
        name = unique_name(tag)
        names.append(name)
        return name

    yield make
    for name in names:
        unlink_quietly(name)


def _ours(name):
    """Whether a name in /dev/shm comes from this session's unique_name()."""
    return name.startswith("vktest_") and f"_{os.getpid()}_" in name


def _ours_or_pool(name):
    return _ours(name) or name.startswith(("vk_task_", "vk_res_"))


def shm_names_left():
    return sorted(n for n in os.listdir("/dev/shm") if _ours(n))


def shm_descriptors():
    found = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            continue
        if target.startswith("/dev/shm/") and _ours_or_pool(target[len("/dev/shm/"):]):
            found.append(f"{fd} -> {target}")
    return found


def shm_mappings(*fragments):
    """Mappings of this session's names and of pool rings, or of names containing a fragment."""
    with open("/proc/self/maps") as maps:
        lines = [line.rstrip() for line in maps if "/dev/shm/" in line]
    if fragments:
        return [line for line in lines if any(f in line for f in fragments)]
    return [line for line in lines if _ours_or_pool(line.split("/dev/shm/", 1)[1])]


def pytest_sessionfinish(session, exitstatus):
    # Checked here, not in a session fixture: pytest lets go of the last
    # test's fixture values only after every fixture has been torn down.
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
    if problems:
        reporter = session.config.pluginmanager.get_plugin("terminalreporter")
        for problem in problems:
            line = f"shared memory left behind: {problem}"
            reporter.write_line(line, red=True) if reporter else print(line)
        session.exitstatus = pytest.ExitCode.TESTS_FAILED
