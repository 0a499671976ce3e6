"""The wine tests' settings for programs run by hand rather than by the test runner (the
main-job demo, the benchmarks): read from the file the build writes, with a template
prefix and a screenshot folder of the program's own. Call settle() before importing
winehost, which reads them."""

import os
import sys


def settle(build_dir, work_dir):
    with open(os.path.join(build_dir, "tests", "e2e", "wine", "wizard.env")) as f:
        for line in f.read().splitlines():
            key, _, value = line.partition("=")
            os.environ[key] = value
    os.environ["ORVANE_WINE_TEMPLATE"] = os.path.join(work_dir, "prefix-template")
    os.environ["ORVANE_ARTIFACTS"] = os.path.join(work_dir, "screenshots")
    sys.path[:0] = os.environ["PYTHONPATH"].split(":")
