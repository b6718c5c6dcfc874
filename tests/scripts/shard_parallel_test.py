#!/usr/bin/env python3
"""Shards of one generate run through the job runners of docs/examples, on this machine.

GNU parallel runs docs/examples/parallel-sshlogin.sh with --sshlogin ":" (this
machine), both into files and to standard output; the Slurm job array script runs
once per task with the variables sbatch would set; the Kubernetes Indexed Job's
container script runs once per completion index. Each time the shards' lines must be
the lines of the run without --shard: each line in one shard (shard I holding the
run's lines I, I+N, ...), the sizes within one.
"""
import os
import shutil
import subprocess
import sys
import tempfile

import yaml

CLI = os.path.abspath(sys.argv[1])
ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
EXAMPLES = os.path.join(ROOT, "docs", "examples")
TOTAL, SEED, N = 20000, 42, 5
failures = []


def env(**extra):
    e = dict(os.environ)
    e["PATH"] = os.path.dirname(CLI) + os.pathsep + e.get("PATH", "")
    e.update({k: str(v) for k, v in extra.items()})
    return e


def whole(*words):
    r = subprocess.run([CLI, "generate", *map(str, words)], capture_output=True, text=True, check=True)
    return r.stdout.splitlines()


def check(what, shards, lines):
    """shards: the lines of shard 1 to N."""
    n = len(shards)
    for i, got in enumerate(shards):
        if got != lines[i::n]:
            failures.append("%s: shard %d/%d holds %d lines, not the run's lines %d, %d+%d, ... (%d)"
                            % (what, i + 1, n, len(got), i + 1, i + 1, n, len(lines[i::n])))
    seen = {}
    for i, got in enumerate(shards):
        for line in got:
            seen.setdefault(line, set()).add(i)
    twice = [line for line, where in seen.items() if len(where) > 1]
    if twice:
        failures.append("%s: %d lines in two shards, such as %s" % (what, len(twice), twice[0]))
    if sorted(sum(shards, [])) != sorted(lines):
        failures.append("%s: the shards together are not the run's lines" % what)
    sizes = [len(s) for s in shards]
    if max(sizes) - min(sizes) > 1:
        failures.append("%s: shard sizes %s" % (what, sizes))


def read_shards(folder, n):
    out = []
    for i in range(1, n + 1):
        with open(os.path.join(folder, "shard-%d.txt" % i)) as f:
            out.append(f.read().splitlines())
    return out


def main():
    if not shutil.which("parallel"):
        sys.exit("GNU parallel is missing (scripts/deps.sh test installs it)")
    lines = whole("--random", "--total", TOTAL, "--seed", SEED, "fd00::/32")
    common = dict(N=N, SEED=SEED, TOTAL=TOTAL, RANGES="fd00::/32", ZARVO_CLI=CLI)
    with tempfile.TemporaryDirectory(prefix="zarvo-shards-") as tmp:
        # GNU parallel, each job's lines into a file of its own.
        out = os.path.join(tmp, "parallel")
        subprocess.run([os.path.join(EXAMPLES, "parallel-sshlogin.sh")], check=True,
                       env=env(HOSTS=":", OUT=out, **common), stdout=subprocess.DEVNULL)
        check("parallel --sshlogin : into files", read_shards(out, N), lines)

        # GNU parallel, every job's lines to standard output: one shard after another.
        r = subprocess.run([os.path.join(EXAMPLES, "parallel-sshlogin.sh")], check=True, capture_output=True,
                           text=True, env=env(HOSTS=":", **common))
        if sorted(r.stdout.splitlines()) != sorted(lines):
            failures.append("parallel --sshlogin : to standard output: not the run's lines")

        # Another mode through parallel directly: all addresses, usable hosts, a mask, a block, ports.
        words = ["--usable", "--exclude", "*.7", "--exclude", "10.0.3.0/24", "--ports", "22,80", "10.0.0.0/21"]
        all_lines = whole(*words)
        out = os.path.join(tmp, "all")
        os.makedirs(out)
        subprocess.run(["parallel", "--sshlogin", ":", "--halt", "now,fail=1",
                        CLI + " generate " + " ".join("'%s'" % w for w in words)
                        + " --shard {}/%d > %s/shard-{}.txt" % (7, out)] + ["::::", "-"],
                       input="\n".join(str(i) for i in range(1, 8)) + "\n", text=True, check=True,
                       stderr=subprocess.DEVNULL)
        check("parallel, all addresses with filters and ports", read_shards(out, 7), all_lines)

        # The Slurm job array: one run of the script per task, as sbatch --array=1-N runs it.
        out = os.path.join(tmp, "slurm")
        for task in range(1, N + 1):
            subprocess.run(["bash", os.path.join(EXAMPLES, "slurm-array.sbatch")], check=True,
                           env=env(SLURM_ARRAY_TASK_ID=task, SLURM_ARRAY_TASK_MIN=1, SLURM_ARRAY_TASK_COUNT=N,
                                   OUT=out, SEED=SEED, TOTAL=TOTAL, RANGES="fd00::/32"),
                           stderr=subprocess.DEVNULL)
        check("Slurm job array", read_shards(out, N), lines)

        # The Kubernetes Indexed Job: its container's script once per completion index.
        with open(os.path.join(EXAMPLES, "k8s-indexed-job.yaml")) as f:
            job = yaml.safe_load(f)
        spec = job["spec"]
        container = spec["template"]["spec"]["containers"][0]
        variables = {e["name"]: e["value"] for e in container["env"]}
        if spec["completionMode"] != "Indexed" or int(variables["N"]) != spec["completions"]:
            failures.append("k8s job: not an Indexed Job of N completions")
        out = os.path.join(tmp, "k8s")
        os.makedirs(out)
        variables.update(N=N, OUT=out, TOTAL=TOTAL)
        for index in range(N):
            subprocess.run(container["command"] + container["args"], check=True,
                           env=env(JOB_COMPLETION_INDEX=index, **variables), stderr=subprocess.DEVNULL)
        check("Kubernetes Indexed Job", read_shards(out, N), lines)

    for f in failures:
        print(f)
    sys.exit(1 if failures else 0)


main()
