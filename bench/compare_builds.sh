#!/usr/bin/env bash
# Two zarvo-cli builds side by side on the generation benchmarks of bench/run.sh, in
# one hyperfine run each, so that the machine's load weighs on both alike (a build
# before and after a change of compiler or linker flags, say).
# Usage: bench/compare_builds.sh BEFORE_CLI AFTER_CLI   (RUNS=N, default 30)
set -euo pipefail
BEFORE=$(realpath "$1")
AFTER=$(realpath "$2")
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT

run() { # name, generate's words
    local name=$1
    shift
    hyperfine -w 3 -r "${RUNS:-30}" --export-json "$OUT/$name.json" \
        -n before "$BEFORE generate $* > $OUT/before.txt" -n after "$AFTER generate $* > $OUT/after.txt" \
        >/dev/null 2>&1
    cmp -s "$OUT/before.txt" "$OUT/after.txt" || [[ "$*" == *--random* ]] || echo "$name: the outputs differ"
    python3 - "$OUT/$name.json" "$name" <<'PY'
import json, sys
r = {x["command"]: x for x in json.load(open(sys.argv[1]))["results"]}
b, a = r["before"], r["after"]
print(f"{sys.argv[2]:34s} wall median {b['median']*1000:7.1f} -> {a['median']*1000:7.1f} ms ({a['median']/b['median']:.3f}),"
      f" user {b['user']*1000:6.1f} -> {a['user']*1000:6.1f} ms ({a['user']/b['user']:.3f})")
PY
}

echo "== $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
run all_10.0.0.0_12 10.0.0.0/12
run random_10.0.0.0_12 --random 10.0.0.0/12
run random_total_1000000_fd00_32 --random --total 1000000 fd00::/32
run ports_1-65535_10.0.0.0_28 --ports 1-65535 10.0.0.0/28
