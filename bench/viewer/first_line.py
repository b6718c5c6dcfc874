#!/usr/bin/env python3
"""Runs a command with its standard output on a pipe and prints the seconds until
its first output line arrived and until it ended, and its peak memory (KiB), as
"first_line_s total_s peak_kib". The output is read and dropped as it comes."""
import os
import resource
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
    peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    print(f"{first if first is not None else float('nan'):.3f} {total:.3f} {peak}")
    return proc.returncode


if __name__ == "__main__":
    sys.exit(main())
