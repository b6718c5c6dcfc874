#!/usr/bin/env bash
# Excludes by block and shards, each side by side with the run it is held to, without a
# shell, in ROUNDS rounds (another build may share the machine):
#   zarvo-cli generate 10.0.0.0/12, and the same with 10000 random /24 blocks excluded
#     (drawn from 10.0.0.0/8, so that some fall in the range; target: at most 1.5 x), the
#     blocks as 10000 --exclude words (bench/interleave.py: hyperfine cannot take a command
#     line that long; /bin/true with and without the same words shows what the kernel's
#     start of a program with them costs by itself) and as the Exclude lines of a settings
#     file (hyperfine -N)
#   a random total of 1000000 from fd00::/32, and the same as 8 shards (--shard I/8, same
#     --seed; target: the 8 together at most 1.2 x): each shard timed by hyperfine -N and
#     the 8 summed; then the 8 one after another in a shell loop, with the shell's own
#     share (the same loop of /bin/true)
# Usage: bench/shards/run.sh [BUILD_DIR]       (RUNS=N runs of each per round, ROUNDS=N)
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
ROUNDS=${ROUNDS:-3}

[ -f "$DATA/exclude10k.txt" ] || python3 -c "
import random
r = random.Random(24)
with open('$DATA/exclude10k.txt', 'w') as f:
    for _ in range(10000):
        f.write('10.%d.%d.0/24\n' % (r.randrange(256), r.randrange(256)))"
# The blocks as --exclude words (one argument a line, for bench/interleave.py) and as the
# Exclude lines of a settings file.
{ printf '%s\n' "$CLI" generate 10.0.0.0/12; } > "$OUT/plain.args"
{ printf '%s\n' "$CLI" generate; sed 's/^/--exclude\n/' "$DATA/exclude10k.txt"; echo 10.0.0.0/12; } > "$OUT/excluded.args"
# What starting a program with those words costs by itself (the kernel copies them in):
# /bin/true with and without them.
echo /bin/true > "$OUT/true.args"
{ echo /bin/true; sed 's/^/--exclude\n/' "$DATA/exclude10k.txt"; } > "$OUT/true-words.args"
python3 - "$DATA/exclude10k.txt" "$OUT/exclude.ini" <<'PY'
import sys
lines = open(sys.argv[1]).read().split()
with open(sys.argv[2], "w", newline="") as f:
    f.write("Exclude=1\r\nExcludeN=%d\r\n" % len(lines))
    f.writelines("Exclude%d=%s\r\n" % (i, line) for i, line in enumerate(lines, 1))
PY
IN_RANGE=$(awk -F. '$2 < 16' "$DATA/exclude10k.txt" | sort -u | wc -l)

echo "== Machine: $(nproc) cores, load $(cut -d' ' -f1 /proc/loadavg)"

echo
echo "== generate 10.0.0.0/12, and with 10000 random /24 blocks of 10.0.0.0/8 excluded ($IN_RANGE of them in the range)"
echo "-- as --exclude words (target 1.5):"
python3 bench/interleave.py $((RUNS * ROUNDS)) "$OUT/list.txt" plain="$OUT/plain.args" excluded="$OUT/excluded.args" \
    true="$OUT/true.args" true+words="$OUT/true-words.args"
echo "-- from a settings file (--settings FILE), hyperfine -N:"
for round in $(seq "$ROUNDS"); do
    hyperfine -N -w 2 -r "$RUNS" --output="$OUT/list.txt" --export-json "$OUT/exclude$round.json" \
        -n plain "$CLI generate 10.0.0.0/12" -n excluded "$CLI generate --settings $OUT/exclude.ini 10.0.0.0/12" \
        >/dev/null 2>&1
done
python3 - "$OUT" "$ROUNDS" <<'PY'
import json, statistics, sys
out, rounds = sys.argv[1], int(sys.argv[2])
runs = [{x["command"]: x for x in json.load(open("%s/exclude%d.json" % (out, k)))["results"]} for k in range(1, rounds + 1)]
cpu = lambda x: x["user"] + x["system"]
for name in ("plain", "excluded"):
    print("   %-9s wall %6.1f ms, user+sys %6.1f ms" % (name, statistics.mean(r[name]["mean"] for r in runs) * 1e3,
                                                      statistics.mean(cpu(r[name]) for r in runs) * 1e3))
print("   excluded / plain: wall %.3f (rounds %s), user+sys %.3f (target 1.5)" % (
    statistics.mean(r["excluded"]["mean"] / r["plain"]["mean"] for r in runs),
    " ".join("%.3f" % (r["excluded"]["mean"] / r["plain"]["mean"]) for r in runs),
    statistics.mean(cpu(r["excluded"]) / cpu(r["plain"]) for r in runs)))
PY
echo "   lines: $("$CLI" generate 10.0.0.0/12 2>/dev/null | wc -l) and $(python3 -c '
import subprocess, sys
print(subprocess.run(open(sys.argv[1]).read().splitlines(), capture_output=True).stdout.count(b"\n"))' "$OUT/excluded.args");" \
    "counted: $("$CLI" generate --count-only --settings "$OUT/exclude.ini" 10.0.0.0/12)"

echo
echo "== random total of 1000000 from fd00::/32: one run, and 8 shards"
SINGLE="$CLI generate --random --total 1000000 --seed 7 fd00::/32"
commands=(-n single "$SINGLE")
for i in 1 2 3 4 5 6 7 8; do commands+=(-n "shard$i" "$CLI generate --random --total 1000000 --seed 7 --shard $i/8 fd00::/32"); done
for round in $(seq "$ROUNDS"); do
    hyperfine -N -w 2 -r "$RUNS" --output="$OUT/list.txt" --export-json "$OUT/shards$round.json" "${commands[@]}" \
        >/dev/null 2>&1
done
python3 - "$OUT" "$ROUNDS" <<'PY'
import json, statistics, sys
out, rounds = sys.argv[1], int(sys.argv[2])
runs = [{x["command"]: x for x in json.load(open("%s/shards%d.json" % (out, k)))["results"]} for k in range(1, rounds + 1)]
cpu = lambda x: x["user"] + x["system"]
shards = ["shard%d" % i for i in range(1, 9)]
single = [r["single"]["mean"] for r in runs]
total = [sum(r[s]["mean"] for s in shards) for r in runs]
print("   single %.1f ms, the 8 shards together %.1f ms (each %s ms)" % (
    statistics.mean(single) * 1e3, statistics.mean(total) * 1e3,
    " ".join("%.1f" % (statistics.mean(r[s]["mean"] for r in runs) * 1e3) for s in shards)))
print("   shards / single: wall %.3f (rounds %s), user+sys %.3f (target 1.2)" % (
    statistics.mean(t / s for t, s in zip(total, single)), " ".join("%.3f" % (t / s) for t, s in zip(total, single)),
    statistics.mean(sum(cpu(r[s]) for s in shards) / cpu(r["single"]) for r in runs)))
PY
echo "-- the 8 one after another in a shell loop, each to its own file:"
LOOP="for i in 1 2 3 4 5 6 7 8; do $CLI generate --random --total 1000000 --seed 7 --shard \$i/8 fd00::/32 > $OUT/shard-\$i.txt 2>/dev/null; done"
hyperfine -w 2 -r "$((RUNS * ROUNDS))" --export-json "$OUT/loop.json" -n single "$SINGLE > $OUT/single.txt 2>/dev/null" \
    -n loop "$LOOP" -n shell "for i in 1 2 3 4 5 6 7 8; do /bin/true > $OUT/true-\$i.txt; done" >/dev/null 2>&1
python3 - "$OUT/loop.json" <<'PY'
import json, sys
r = {x["command"]: x for x in json.load(open(sys.argv[1]))["results"]}
cpu = lambda x: x["user"] + x["system"]
s, l, sh = r["single"], r["loop"], r["shell"]
print("   single %.1f ms, loop %.1f ms -> %.3f (user+sys %.3f); the same loop of 8 x /bin/true: %.1f ms" % (
    s["mean"] * 1e3, l["mean"] * 1e3, l["mean"] / s["mean"], cpu(l) / cpu(s), sh["mean"] * 1e3))
PY
if cmp -s <(sort "$OUT/single.txt") <(sort "$OUT"/shard-*.txt); then
    echo "   the 8 shards hold the single run's lines: yes ($(cat "$OUT"/shard-*.txt | wc -l) lines)"
else
    echo "   the 8 shards hold the single run's lines: NO"
fi
echo "   load now $(cut -d' ' -f1 /proc/loadavg)"
