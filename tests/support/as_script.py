"""Running a module of plain test_* functions as a script, the way ctest starts the suites; pytest
finds the same functions by itself."""
import sys
import unittest


def run_tests(namespace):
    tests = [unittest.FunctionTestCase(f) for name, f in namespace.items() if name.startswith("test_") and callable(f)]
    result = unittest.TextTestRunner(verbosity=2).run(unittest.TestSuite(tests))
    sys.exit(0 if result.wasSuccessful() else 1)
