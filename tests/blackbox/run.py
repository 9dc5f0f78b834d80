#!/usr/bin/env python3
"""Runs the black-box suites against one build and ends with one summary line.
Usage: run.py TARGET [MODULE ...]"""

import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    target = sys.argv[1]
    os.environ["TPH_TARGET"] = target
    sys.path.insert(0, HERE)
    # Every suite in this folder unless told, so that a new one cannot be
    # left out; the installers, which install and remove the host, last.
    found = sorted(name[:-3] for name in os.listdir(HERE) if name.startswith("test_") and name.endswith(".py"))
    modules = sys.argv[2:] or [m for m in found if m != "test_installers"] + ["test_installers"]
    suite = unittest.TestSuite()
    loader = unittest.TestLoader()
    for m in modules:
        suite.addTests(loader.loadTestsFromName(m))
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    failed = len(result.failures) + len(result.errors)
    passed = max(0, result.testsRun - failed - len(result.skipped))  # a class that failed to set up ran none
    print("blackbox-%s: %d passed, %d failed, %d skipped" % (target, passed, failed, len(result.skipped)))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
