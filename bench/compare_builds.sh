#!/usr/bin/env bash
# Two zarvo-cli builds side by side on the generation benchmarks of bench/run.sh (and a
# country lookup when a database is given), so that the machine's load weighs on both
# alike: ROUNDS rounds, each timing before and after with hyperfine -N (no shell), their
# order swapped every round. Prints the median of every run's wall time and the median of
# the rounds' mean user+system time.
# Usage: bench/compare_builds.sh BEFORE_CLI AFTER_CLI [COUNTRY_MMDB]   (ROUNDS=5, RUNS=10)
set -euo pipefail
BEFORE=$(realpath "$1")
AFTER=$(realpath "$2")
MMDB=${3:-}
ROUNDS=${ROUNDS:-5}
RUNS=${RUNS:-10}
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT
declare -A CLI=([before]=$BEFORE [after]=$AFTER)
SHELL_MODE=-N # a lookup reads standard input, so it runs through a shell (hyperfine subtracts its cost)

run() { # name, the command's words after the program
    local name=$1 round first second
    shift
    for ((round = 0; round < ROUNDS; round++)); do
        first=before second=after
        if ((round % 2)); then first=after second=before; fi
        hyperfine $SHELL_MODE -w 2 -r "$RUNS" --export-json "$OUT/$name.$round.json" --output="$OUT/$name.out" \
            -n "$first" "${CLI[$first]} $*" -n "$second" "${CLI[$second]} $*" >/dev/null 2>&1
    done
    python3 - "$name" "$OUT"/"$name".*.json <<'PY'
import json, statistics, sys
times = {"before": ([], []), "after": ([], [])}
for path in sys.argv[2:]:
    for r in json.load(open(path))["results"]:
        wall, cpu = times[r["command"]]
        wall += r["times"]
        cpu.append(r["user"] + r["system"])  # hyperfine keeps the mean of each run's CPU time
b, a = times["before"], times["after"]
mb, ma = statistics.median(b[0]) * 1000, statistics.median(a[0]) * 1000
cb, ca = statistics.median(b[1]) * 1000, statistics.median(a[1]) * 1000
print(f"{sys.argv[1]:34s} wall median {mb:7.1f} -> {ma:7.1f} ms ({ma / mb:.3f}),"
      f" user+sys {cb:6.1f} -> {ca:6.1f} ms ({ca / cb:.3f})")
PY
}

# The two builds must agree byte for byte before their times mean anything.
same() { # the command's words; standard input from $IN
    "$BEFORE" "$@" <"${IN:-/dev/null}" >"$OUT/before.txt" 2>/dev/null
    "$AFTER" "$@" <"${IN:-/dev/null}" >"$OUT/after.txt" 2>/dev/null
    cmp -s "$OUT/before.txt" "$OUT/after.txt" || echo "$*: the outputs differ"
}

echo "== $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg); $ROUNDS rounds of $RUNS runs each"
same generate 10.0.0.0/20
same generate --random --seed 1 10.0.0.0/20
run all_10.0.0.0_12 generate 10.0.0.0/12
run random_10.0.0.0_12 generate --random 10.0.0.0/12
run random_total_1000000_fd00_32 generate --random --total 1000000 fd00::/32
run ports_1-65535_10.0.0.0_28 generate --ports 1-65535 10.0.0.0/28
if [ -n "$MMDB" ]; then
    "$AFTER" generate --random --total 1000000 --seed 42 0.0.0.0/0 >"$OUT/addresses.txt" 2>/dev/null
    IN=$OUT/addresses.txt same lookup "$MMDB" -
    SHELL_MODE=
    run lookup_1000000_country lookup "$MMDB" - "<$OUT/addresses.txt"
fi
echo "== load after: $(cut -d' ' -f1-3 /proc/loadavg)"
