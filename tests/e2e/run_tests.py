#!/usr/bin/python3
"""Runs the named end-to-end test cases (module.Class or module.Class.test_name).

Exit code: 0 when all passed, 1 on any failure or error, 77 when every case was skipped (ctest
reports that as skipped: no 32-bit build, no Wine test run, ...).
"""

import os
import sys
import unittest


sys.dont_write_bytecode = True  # keep the source tree clean


def main(names):
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    suite = unittest.defaultTestLoader.loadTestsFromNames(names)
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    if not result.wasSuccessful():
        return 1
    if result.testsRun and len(result.skipped) == result.testsRun:
        return 77
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:] or ["embedded_test", "download_test", "splash_test"]))
