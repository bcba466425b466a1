"""Runs one harness module's tests and lists why tests were skipped.

Exit status: 0 when nothing failed (all skipped counts as passed, with the
reasons printed), 1 otherwise.
"""

import collections
import faulthandler
import os
import sys
import unittest

# A test that hangs (a wait that never ends) is reported with every thread's
# traceback, and ends the run, instead of stalling make test.
TEST_TIMEOUT_S = 300


class _Result(unittest.TextTestResult):
    def startTest(self, test):
        faulthandler.dump_traceback_later(TEST_TIMEOUT_S, exit=True)
        super().startTest(test)

    def stopTest(self, test):
        faulthandler.cancel_dump_traceback_later()
        super().stopTest(test)


def main(module_name):
    suite = unittest.defaultTestLoader.loadTestsFromName(module_name)
    verbosity = 2 if "-v" in sys.argv else 1
    result = unittest.TextTestRunner(verbosity=verbosity, stream=sys.stdout,
                                     resultclass=_Result).run(suite)
    reasons = collections.Counter(reason for _test, reason in result.skipped)
    for reason, count in sorted(reasons.items()):
        print(f"   skipped {count}: {reason}")
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    status = main(sys.argv[1])
    sys.stdout.flush()
    sys.stderr.flush()
    # A failed test can leave threads blocked in a queue call for ever (they
    # wait for what the failed assertion skipped); they must not keep the run
    # from ending.
    os._exit(status)
