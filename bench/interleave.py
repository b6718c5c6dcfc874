#!/usr/bin/env python3
"""Interleaved timing of commands run without a shell, for command lines that hyperfine
cannot take (a single argument of hyperfine's may hold at most 128 KiB, and 10000
--exclude words are more).

Usage: interleave.py ROUNDS OUTPUT NAME=ARGV_FILE...
Each ARGV_FILE holds one argument a line (the program first). Every round runs each
command once, in turn, with standard output to OUTPUT (truncated before the run, outside
the timing) and standard error to /dev/null; a first round warms the caches and is not
counted. Prints per command the mean and median wall time and the mean user+sys time
(from wait4), each as a ratio to the first command's, and the load when it started and
ended.
"""
import os
import statistics
import sys
import time


def run(argv, output):
    with open(output, "wb") as out, open(os.devnull, "wb") as err:
        start = time.perf_counter()
        pid = os.posix_spawn(argv[0], argv, os.environ, file_actions=[
            (os.POSIX_SPAWN_DUP2, out.fileno(), 1), (os.POSIX_SPAWN_DUP2, err.fileno(), 2)])
        _, status, usage = os.wait4(pid, 0)
        wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("%s failed (%d)" % (argv[0], os.waitstatus_to_exitcode(status)))
    return wall, usage.ru_utime + usage.ru_stime


def main():
    rounds, output = int(sys.argv[1]), sys.argv[2]
    commands = []
    for spec in sys.argv[3:]:
        name, path = spec.split("=", 1)
        with open(path) as f:
            commands.append((name, [line.rstrip("\n") for line in f if line.strip()]))
    print("   load %s" % open("/proc/loadavg").read().split()[0], end="")
    times = {name: [] for name, _ in commands}
    for r in range(rounds + 1):
        for name, argv in commands:
            t = run(argv, output)
            if r > 0:
                times[name].append(t)
    print(" -> %s; %d interleaved rounds" % (open("/proc/loadavg").read().split()[0], rounds))
    figures = {}
    for name, _ in commands:
        wall = [w for w, _ in times[name]]
        cpu = [c for _, c in times[name]]
        figures[name] = (statistics.mean(wall), statistics.median(wall), statistics.mean(cpu))
    first = figures[commands[0][0]]
    for name, _ in commands:
        f = figures[name]
        print("   %-12s wall mean %7.1f ms, median %7.1f ms; user+sys mean %7.1f ms"
              "  (x %.3f, %.3f; %.3f)" % (name, f[0] * 1e3, f[1] * 1e3, f[2] * 1e3,
                                          f[0] / first[0], f[1] / first[1], f[2] / first[2]))


if __name__ == "__main__":
    main()
