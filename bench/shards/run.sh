#!/usr/bin/env bash
# Excludes by block and shards, side by side in one hyperfine run each:
#   zarvo-cli generate 10.0.0.0/12, and the same with 10000 random /24 blocks excluded
#     (drawn from 10.0.0.0/8, so that some fall in the range; target: at most 1.5 x)
#   a random total of 1000000 from fd00::/32, and the same as 8 shards run one after
#     another (--shard I/8, same --seed; target: the 8 together at most 1.2 x)
# Usage: bench/shards/run.sh [BUILD_DIR]       (RUNS=N for the runs of each)
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=${1:-build}
[ -x "$BUILD/cli/zarvo-cli" ] || cmake --build "$BUILD" --target zarvo-cli
CLI=$(realpath "$BUILD/cli/zarvo-cli")
DATA=bench/data/shards
mkdir -p "$DATA"
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT
RUNS=${RUNS:-10}

[ -f "$DATA/exclude10k.txt" ] || python3 -c "
import random
r = random.Random(24)
with open('$DATA/exclude10k.txt', 'w') as f:
    for _ in range(10000):
        f.write('10.%d.%d.0/24\n' % (r.randrange(256), r.randrange(256)))"
# The blocks as --exclude words, in a file that the commands below read back.
EXCLUDES=$DATA/exclude10k.args
sed 's/^/--exclude /' "$DATA/exclude10k.txt" | tr '\n' ' ' > "$EXCLUDES"
IN_RANGE=$(awk -F. '$2 < 16' "$DATA/exclude10k.txt" | sort -u | wc -l)

echo "== Machine: $(nproc) cores, load $(cut -d' ' -f1 /proc/loadavg)"

ratio() { # json, name of the reference, name of the other, target
    python3 - "$@" <<'PY'
import json, sys
r = {x["command"]: x for x in json.load(open(sys.argv[1]))["results"]}
ref, z = r[sys.argv[2]], r[sys.argv[3]]
cpu = lambda x: x["user"] + x["system"]
print(f"   wall: {sys.argv[3]} {z['mean']*1000:.1f} ms vs {sys.argv[2]} {ref['mean']*1000:.1f} ms -> ratio {z['mean']/ref['mean']:.3f} (median {z['median']/ref['median']:.3f}; target {sys.argv[4]})")
print(f"   cpu:  {cpu(z)*1000:.1f} ms vs {cpu(ref)*1000:.1f} ms -> ratio {cpu(z)/cpu(ref):.3f}")
PY
}

echo
echo "== generate 10.0.0.0/12, and with 10000 random /24 blocks of 10.0.0.0/8 excluded ($IN_RANGE of them in the range)"
hyperfine -w 2 -r "$RUNS" --export-json "$OUT/exclude.json" \
    -n plain "$CLI generate 10.0.0.0/12 > $OUT/plain.txt 2>/dev/null" \
    -n excluded "$CLI generate \$(cat $EXCLUDES) 10.0.0.0/12 > $OUT/excluded.txt 2>/dev/null" 2>/dev/null |
    grep -E 'Time|±|Benchmark' || true
ratio "$OUT/exclude.json" plain excluded 1.5
# The shell's $(cat ...) above is measured too; perf counts the program alone.
if command -v perf >/dev/null; then
    clock() { perf stat -r 5 -x, -e task-clock "$@" 2>&1 >/dev/null | awk -F, '/task-clock/ {print $1}'; }
    plain=$(clock "$CLI" generate 10.0.0.0/12)
    # shellcheck disable=SC2046
    excluded=$(clock "$CLI" generate $(cat "$EXCLUDES") 10.0.0.0/12)
    # shellcheck disable=SC2046
    words=$(clock "$CLI" generate $(cat "$EXCLUDES") 10.0.0.0/30)
    echo "   perf task-clock: plain $plain ms, excluded $excluded ms -> ratio $(echo "scale=3; $excluded / $plain" | bc)" \
        "(reading the 10000 --exclude words alone: $words ms, on a /30)"
fi
echo "   lines: $(wc -l < "$OUT/plain.txt") and $(wc -l < "$OUT/excluded.txt");" \
    "counted: $($CLI generate --count-only $(cat "$EXCLUDES") 10.0.0.0/12)"

echo
echo "== random total of 1000000 from fd00::/32: one run, and 8 shards one after another"
SHARDS="for i in 1 2 3 4 5 6 7 8; do $CLI generate --random --total 1000000 --seed 7 --shard \$i/8 fd00::/32 > $OUT/shard-\$i.txt 2>/dev/null; done"
hyperfine -w 2 -r "$RUNS" --export-json "$OUT/shards.json" \
    -n single "$CLI generate --random --total 1000000 --seed 7 fd00::/32 > $OUT/single.txt 2>/dev/null" \
    -n shards "$SHARDS" 2>/dev/null | grep -E 'Time|±|Benchmark' || true
ratio "$OUT/shards.json" single shards 1.2
if command -v perf >/dev/null; then
    base=$(perf stat -r 5 -x, -e task-clock "$CLI" --version 2>&1 >/dev/null | awk -F, '/task-clock/ {print $1}')
    echo "   one process that does nothing (zarvo-cli --version): $base ms of task-clock, paid once per shard"
fi
if cmp -s <(sort "$OUT/single.txt") <(sort "$OUT"/shard-*.txt); then
    echo "   the 8 shards hold the single run's lines: yes ($(cat "$OUT"/shard-*.txt | wc -l) lines)"
else
    echo "   the 8 shards hold the single run's lines: NO"
fi
