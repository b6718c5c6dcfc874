#!/usr/bin/env python3
"""zarvo --help and --version answer before any window exists: without a display or a
platform plugin, on standard output, exit status 0. The help's options are those of the
manual page (docs/man/zarvo.1.md), both ways, each taking a value on both sides or on
neither."""
import os
import re
import subprocess
import sys

ZARVO, VERSION = sys.argv[1], sys.argv[2]
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "docs", "man"))
import mdroff  # noqa: E402

# "  -h, --help   text", "      --view FILE   text" or "  -settingsdir DIR   text".
OPTION_LINE = re.compile(r"^  (?:(-\w), |    )?(--?[\w-]+)(?: ([A-Z]+))?(?:  |$)")
ENV = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}


def run(*args):
    return subprocess.run([ZARVO, *args], capture_output=True, text=True, env=ENV, timeout=60)


def main():
    failures = []
    cases = [
        (["--help"], "Usage: zarvo "),
        (["-h"], "Usage: zarvo "),
        # A switch of the window before it changes nothing; nothing is read or written.
        (["-settingsdir", "/nonexistent/zarvo", "--help"], "Usage: zarvo "),
        (["--version"], "zarvo %s\n" % VERSION),
    ]
    for args, start in cases:
        r = run(*args)
        what = "zarvo " + " ".join(args)
        if r.returncode != 0:
            failures.append("%s: exit %d, %s" % (what, r.returncode, r.stderr.strip()))
        if not r.stdout.startswith(start):
            failures.append("%s: standard output %r" % (what, r.stdout[:80]))
        if r.stderr:
            failures.append("%s: standard error %r" % (what, r.stderr[:200]))
    if os.path.exists("/nonexistent/zarvo"):
        failures.append("zarvo -settingsdir DIR --help made DIR")

    shown = {}
    for line in run("--help").stdout.splitlines():
        m = OPTION_LINE.match(line)
        if m:
            short, name, value = m.groups()
            for n in filter(None, (short, name)):
                shown[n] = value is not None
    with open(os.path.join(os.path.dirname(mdroff.__file__), "zarvo.1.md"), encoding="utf-8") as f:
        listed = {n: v is not None for n, v in mdroff.options(f.read())[0].get("", {}).items()}
    if not shown:
        failures.append("zarvo --help: no options found")
    for n in sorted(set(shown) - set(listed)):
        failures.append("zarvo --help: %s is not in the manual page" % n)
    for n in sorted(set(listed) - set(shown)):
        failures.append("the manual page lists %s, zarvo --help does not" % n)
    for n in sorted(set(shown) & set(listed)):
        if shown[n] != listed[n]:
            failures.append("%s takes a value in %s only" % (n, "the help" if shown[n] else "the page"))

    for f in failures:
        print(f)
    sys.exit(1 if failures else 0)


main()
