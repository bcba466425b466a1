"""CPython's test_concurrent_futures, from this interpreter's own test package,
run against veskline.ProcessPoolExecutor.

The executor type is substituted where the suites get it: the package's
mixins read concurrent.futures.ProcessPoolExecutor when they are imported, so
that name is rebound to ours first, and the shutdown tests that start a fresh
interpreter get a first line that rebinds it there too. Only the process-pool
classes under spawn and forkserver run (not fork, not the thread pool).

What the suites read of CPython's executor, ours offers under the same names
(see ProcessPoolExecutor's last properties): _processes, _max_workers,
_mp_context, _broken, _executor_manager_thread (our watcher thread, which
ends once the pool is closed) and _call_queue.join_thread() (waits for the
same). No test is changed or left out.
"""

import concurrent.futures
import sys
import unittest

import veskline

try:
    import test.test_concurrent_futures  # noqa: F401  (3.13 ships it; 3.12 does not)
except ImportError as error:
    raise unittest.SkipTest(
        f"this interpreter has no test.test_concurrent_futures package ({error}): "
        "CPython's executor tests cannot run here") from None

# Before the suites import: their mixins read the executor type at import.
concurrent.futures.ProcessPoolExecutor = veskline.ProcessPoolExecutor

from test.test_concurrent_futures import (test_as_completed, test_deadlock, test_init,  # noqa: E402
                                          test_process_pool, test_shutdown, test_wait)

_PRELUDE = ("import concurrent.futures as _cf, veskline as _vk; "
            "_cf.ProcessPoolExecutor = _vk.ProcessPoolExecutor\n")
_assert_python_ok = test_shutdown.assert_python_ok


def _assert_python_ok_with_ours(*args, **env):
    # `python -c SCRIPT`: the script's own import of ProcessPoolExecutor then
    # finds ours.
    args = list(args)
    if len(args) >= 2 and args[0] == "-c":
        args[1] = _PRELUDE + args[1]
    return _assert_python_ok(*args, **env)


test_shutdown.assert_python_ok = _assert_python_ok_with_ours

MODULES = (test_process_pool, test_deadlock, test_shutdown, test_wait, test_as_completed, test_init)
PREFIXES = ("ProcessPoolSpawn", "ProcessPoolForkserver")
EXTRA = {test_init: ("FailingInitializerResourcesTest",)}


def load_tests(loader, tests, pattern):
    suite = unittest.TestSuite()
    for module in MODULES:
        for name in sorted(vars(module)):
            cls = getattr(module, name)
            if not (isinstance(cls, type) and issubclass(cls, unittest.TestCase)):
                continue
            if name.startswith(PREFIXES) or name in EXTRA.get(module, ()):
                assert cls.executor_type is veskline.ProcessPoolExecutor \
                    if hasattr(cls, "executor_type") else True, name
                suite.addTests(loader.loadTestsFromTestCase(cls))
    return suite


if __name__ == "__main__":
    unittest.main(verbosity=2)
