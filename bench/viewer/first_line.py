#!/usr/bin/env python3
"""Runs a command with its standard output on a pipe and prints the seconds until
its first output line arrived and until it ended, as "first_line_s total_s". The
output is read and dropped as it comes. (Peak memory: /usr/bin/time, since this
process's own fork would count as the child's.)"""
import subprocess
import sys
import time


def main():
    start = time.monotonic()
    proc = subprocess.Popen(sys.argv[1:], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    first = None
    while True:
        chunk = proc.stdout.read1(1 << 16)
        if not chunk:
            break
        if first is None and b"\n" in chunk:
            first = time.monotonic() - start
    proc.wait()
    total = time.monotonic() - start
    print(f"{first if first is not None else float('nan'):.3f} {total:.3f}")
    return proc.returncode


if __name__ == "__main__":
    sys.exit(main())
