#!/usr/bin/env bash
# generate --only-country against the plain country column over the real GeoLite2-City,
# side by side in one hyperfine run each round (target: at most 3x):
#   zarvo-cli generate --random --total 10000 --only-country DE --country City 0.0.0.0/0
#   zarvo-cli generate --random --total 10000 --country City 0.0.0.0/0
# The first walks the database's IPv4 tree once to find DE's addresses and draws among
# them; the second looks 10000 addresses up. Both write to a file.
# Usage: bench/mmdb/only_country.sh   (ROUNDS=5, RUNS=10; BENCH_DATA, BENCH_BUILD as run.sh)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
ROUNDS=${ROUNDS:-5}
RUNS=${RUNS:-10}
# shellcheck source=data.sh
. "$ROOT/bench/mmdb/data.sh"
if [ -z "${BENCH_BUILD:-}" ]; then
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZARVO_BUILD_APP=OFF \
        -DZARVO_BUILD_TESTS=OFF >/dev/null
    cmake --build "$BUILD" --target zarvo-cli >/dev/null
fi
CLI=$BUILD/cli/zarvo-cli
ONLY="$CLI generate --random --total 10000 --only-country DE --country $CITY -o $OUT/only.txt 0.0.0.0/0"
PLAIN="$CLI generate --random --total 10000 --country $CITY -o $OUT/plain.txt 0.0.0.0/0"
$ONLY 2>/dev/null
# -o FILE puts nothing after the last line, so the lines are counted by awk, not wc -l.
tr -d '\r' < "$OUT/only.txt" | awk '$2 != "DE" { bad = 1 } END { print "   " NR " lines" (bad ? ", SOME OUTSIDE DE" : ", every one DE"); exit bad }' || true
echo "== $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs); load: $(cut -d' ' -f1-3 /proc/loadavg)"
for round in $(seq "$ROUNDS"); do
    hyperfine -N -w 2 -r "$RUNS" --export-json "$OUT/only-$round.json" -n only "$ONLY" -n plain "$PLAIN" \
        >/dev/null 2>&1
    python3 - "$OUT/only-$round.json" "$round" <<'PY'
import json, sys
r = {x["command"]: x for x in json.load(open(sys.argv[1]))["results"]}
o, p = r["only"], r["plain"]
cpu = lambda x: x["user"] + x["system"]
print(f"   round {sys.argv[2]}: --only-country DE {o['mean'] * 1000:.0f} ms (median {o['median'] * 1000:.0f}), "
      f"plain {p['mean'] * 1000:.0f} ms (median {p['median'] * 1000:.0f}): {o['mean'] / p['mean']:.2f} x "
      f"(median {o['median'] / p['median']:.2f}, cpu {cpu(o) / cpu(p):.2f}; target: at most 3)")
PY
done
echo "   load after: $(cut -d' ' -f1-3 /proc/loadavg)"
