#!/usr/bin/env python3
"""Every test of a build has a CTest timeout, so that a test that waits for what never
comes fails on its own instead of hanging the whole run.

Usage: ctest_timeouts.py CTEST BUILD_DIR. The tests are listed by ctest, not run.
"""
import json
import subprocess
import sys

CTEST, BUILD = sys.argv[1], sys.argv[2]


def main():
    r = subprocess.run([CTEST, "--test-dir", BUILD, "--show-only=json-v1"], capture_output=True, text=True)
    if r.returncode != 0:
        sys.exit("ctest --show-only: exit %d\n%s" % (r.returncode, r.stderr))
    tests = json.loads(r.stdout)["tests"]
    if not tests:
        sys.exit("ctest lists no tests in %s" % BUILD)
    unbounded = []
    for t in tests:
        timeout = next((p["value"] for p in t.get("properties", []) if p["name"] == "TIMEOUT"), 0)
        if not float(timeout) > 0:
            unbounded.append(t["name"])
    for name in unbounded:
        print("%s: no TIMEOUT property" % name)
    sys.exit(1 if unbounded else 0)


main()
