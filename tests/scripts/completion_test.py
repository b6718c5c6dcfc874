#!/usr/bin/env python3
"""zarvo-cli's bash completion, made from its manual page as the build makes it, run in bash.

Each case sets COMP_WORDS and COMP_CWORD as bash would for the words typed (bash splits
"--name=value" into "--name", "=", "value"), calls the completion function in a folder
holding a.mmdb, b.csv and sub/, and compares COMPREPLY as a set.
"""
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "docs", "man"))
import mdroff  # noqa: E402

COMMANDS = {"generate", "mmdb", "lookup", "rdns", "view", "aggregate"}
ALL_FILES = {"a.mmdb", "b.csv", "sub"}
MMDB = {"a.mmdb", "sub"}

CASES = [
    # (words typed, the last one being completed; expected words)
    (["zarvo-cli", ""], COMMANDS),
    (["zarvo-cli", "l"], {"lookup"}),
    (["zarvo-cli", "--v"], {"--version"}),
    (["zarvo-cli", "generate", "--list-"], {"--list-delimiter"}),
    (["zarvo-cli", "generate", "--list-delimiter", ""], {"eol", "comma", "semicolon"}),
    (["zarvo-cli", "generate", "--list-delimiter", "=", "s"], {"semicolon"}),
    (["zarvo-cli", "generate", "--delimiter", "t"], {"tab"}),
    (["zarvo-cli", "generate", "--country", ""], MMDB),
    (["zarvo-cli", "generate", "--country", "="], MMDB),
    (["zarvo-cli", "generate", "-o", ""], ALL_FILES),
    (["zarvo-cli", "generate", "-r", "b"], {"b.csv"}),
    (["zarvo-cli", "generate", "--total", ""], set()),
    (["zarvo-cli", "generate", "--random", ""], set()),  # ranges are typed
    (["zarvo-cli", "generate", "--es"], {"--escape-ipv6"}),
    (["zarvo-cli", "mmdb", ""], MMDB),
    (["zarvo-cli", "mmdb", "--date-format", ""], set()),
    (["zarvo-cli", "lookup", "--j"], {"--json"}),
    (["zarvo-cli", "rdns", "-s", ""], set()),
    (["zarvo-cli", "rdns", "--unresolved", "=", ""], ALL_FILES),
    (["zarvo-cli", "rdns", "-s", "192.0.2.53", ""], ALL_FILES),
    (["zarvo-cli", "rdns", "--in"], {"--in-flight"}),
    (["zarvo-cli", "view", "--c"], {"--cell-line-breaks", "--count"}),
    (["zarvo-cli", "view", "--max", "10", ""], ALL_FILES),
    (["zarvo-cli", "view", "--", "--c"], set()),  # no options after "--"
    (["zarvo-cli", "view", "--", "b"], {"b.csv"}),
    (["zarvo-cli", "aggregate", "--e"], {"--except"}),
    (["zarvo-cli", "aggregate", "--common", ""], ALL_FILES),
    (["zarvo-cli", "aggregate", "--count", ""], ALL_FILES),
    (["zarvo-cli", "unknown", "--"], set()),
]

RUN = r"""
source "$1" || exit 1
cd "$2" || exit 1
shift 2
complete -p zarvo-cli >/dev/null || exit 1
COMP_WORDS=("$@")
COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
_zarvo_cli
printf '%s\n' "${COMPREPLY[@]}"
"""


def main():
    failures = 0
    with tempfile.TemporaryDirectory() as tmp:
        with open(os.path.join(os.path.dirname(mdroff.__file__), "zarvo-cli.1.md"), encoding="utf-8") as f:
            script = mdroff.to_completion(f.read())
        completion = os.path.join(tmp, "zarvo-cli.bash")
        with open(completion, "w", encoding="utf-8") as f:
            f.write(script)
        files = os.path.join(tmp, "files")
        os.makedirs(os.path.join(files, "sub"))
        for name in ("a.mmdb", "b.csv"):
            open(os.path.join(files, name), "w").close()
        for words, expected in CASES:
            r = subprocess.run(["bash", "--norc", "--noprofile", "-c", RUN, "bash", completion, files, *words],
                               capture_output=True, text=True)
            got = set(filter(None, r.stdout.split("\n")))
            if r.returncode != 0 or r.stderr or got != expected:
                failures += 1
                print("%s: got %s, want %s (exit %d) %s" % (words, sorted(got), sorted(expected), r.returncode, r.stderr))
    sys.exit(1 if failures else 0)


main()
