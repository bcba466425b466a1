"""Runs one harness module's tests and lists why tests were skipped.

Exit status: 0 when nothing failed (all skipped counts as passed, with the
reasons printed), 1 otherwise.
"""

import collections
import sys
import unittest


def main(module_name):
    suite = unittest.defaultTestLoader.loadTestsFromName(module_name)
    result = unittest.TextTestRunner(verbosity=1, stream=sys.stdout).run(suite)
    reasons = collections.Counter(reason for _test, reason in result.skipped)
    for reason, count in sorted(reasons.items()):
        print(f"   skipped {count}: {reason}")
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
