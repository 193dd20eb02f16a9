#!/usr/bin/env python3
"""Runs test modules as CTest does: exit status 0 when they pass, 1 when one
fails, 77 (CTest's SKIP_RETURN_CODE) when every test was skipped, so that a
module whose packages are missing shows as skipped, not as passed.

    run_tests.py test_module [test_module.Class ...]
"""

import sys
import unittest

sys.dont_write_bytecode = True

if __name__ == "__main__":
    suite = unittest.defaultTestLoader.loadTestsFromNames(sys.argv[1:])
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    if not result.wasSuccessful():
        sys.exit(1)
    sys.exit(77 if result.testsRun and len(result.skipped) == result.testsRun else 0)
