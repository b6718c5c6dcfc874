#!/usr/bin/env python3
"""Holds zarvo-cli's manual page (docs/man/zarvo-cli.1.md) to its help, both ways.

The commands of `zarvo-cli --help` must be the page's "## COMMAND" sections, and the
options of `zarvo-cli --help` and of every `zarvo-cli COMMAND --help` the options the
page lists for the program and for that command: the same names, each taking a value
on both sides or on neither. The bash completion is made from the same page.
"""
import os
import re
import subprocess
import sys

CLI = sys.argv[1]
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "docs", "man"))
import mdroff  # noqa: E402

# "  -r, --ranges FILE   text" or "      --random   text": the option lines of a help.
OPTION_LINE = re.compile(r"^  (?:(-\w), |    )(--[\w-]+)(?: (\S+))?(?:  |$)")
COMMAND_LINE = re.compile(r"^  ([a-z]+) {2,}\S")


def help_of(*args):
    r = subprocess.run([CLI, *args, "--help"], capture_output=True, text=True)
    if r.returncode != 0:
        sys.exit("zarvo-cli %s --help: exit %d" % (" ".join(args), r.returncode))
    return r.stdout


def help_options(text):
    found = {}
    for line in text.splitlines():
        m = OPTION_LINE.match(line)
        if m:
            short, long, value = m.groups()
            for name in filter(None, (short, long)):
                found[name] = value is not None
    return found


def help_commands(text):
    lines = text.split("\nCommands:\n", 1)[1].split("\n\n", 1)[0].splitlines()
    return [m.group(1) for m in map(COMMAND_LINE.match, lines) if m]


def main():
    with open(os.path.join(os.path.dirname(mdroff.__file__), "zarvo-cli.1.md"), encoding="utf-8") as f:
        scopes, synopses, _ = mdroff.options(f.read())
    page = {scope: {name: value is not None for name, value in opts.items()} for scope, opts in scopes.items()}
    failures = []

    top = help_of()
    commands = help_commands(top)
    if not commands:
        failures.append("no commands found in zarvo-cli --help")
    if commands != list(synopses):
        failures.append("commands: help %s, page %s" % (commands, list(synopses)))

    for scope in [""] + commands:
        shown = help_options(top if scope == "" else help_of(scope))
        listed = page.get(scope, {})
        what = "zarvo-cli " + (scope + " " if scope else "") + "--help"
        if not shown:
            failures.append("%s: no options found" % what)
        for name in sorted(set(shown) - set(listed)):
            failures.append("%s: %s is not in the manual page" % (what, name))
        for name in sorted(set(listed) - set(shown)):
            failures.append("%s: the manual page lists %s, the help does not" % (what, name))
        for name in sorted(set(shown) & set(listed)):
            if shown[name] != listed[name]:
                failures.append("%s: %s takes a value in %s only" % (what, name, "the help" if shown[name] else "the page"))

    for f in failures:
        print(f)
    sys.exit(1 if failures else 0)


main()
