"""Runs CPython's test_concurrent_futures against veskline.ProcessPoolExecutor
on this interpreter, in a fresh process; skips, saying so, where the
interpreter has no such test package. Exit status 0 when nothing failed."""

import collections
import os
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))


def run_here():
    sys.path.insert(0, HERE)
    suite = unittest.defaultTestLoader.loadTestsFromName("cpython_test_futures")
    result = unittest.TextTestRunner(verbosity=1, stream=sys.stdout).run(suite)
    reasons = collections.Counter(reason for _test, reason in result.skipped)
    for reason, count in sorted(reasons.items()):
        print(f"   skipped {count}: {reason}")
    return 0 if result.wasSuccessful() else 1


def main():
    if sys.argv[1:] == ["--here"]:
        return run_here()
    version = ".".join(map(str, sys.version_info[:2]))
    print(f"== CPython {version} test_concurrent_futures against veskline.ProcessPoolExecutor",
          flush=True)
    begin = time.monotonic()
    result = subprocess.run([sys.executable, os.path.abspath(__file__), "--here"], cwd=HERE,
                            timeout=1200)
    print(f"   {time.monotonic() - begin:.1f} s, exit {result.returncode}", flush=True)
    return result.returncode


if __name__ == "__main__":
    sys.exit(main())
