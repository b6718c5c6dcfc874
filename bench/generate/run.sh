#!/usr/bin/env bash
# Every address of 10.0.0.0/12 (1048576 lines) to a file, side by side with prips:
#   zarvo-cli generate 10.0.0.0/12      and  prips 10.0.0.0/12,  standard output to a file
#   zarvo-cli generate 10.0.0.0/12 -o FILE  (the atomic writer: CR LF, synced to disk)
# in hyperfine runs without a shell (-N, --output=FILE), ROUNDS rounds (each of RUNS runs of
# every command, in turns), as another build may share the machine. Target: standard output
# under 0.2 x prips. With OTHER_ZARVO_CLI (an older build) it is measured beside.
# Usage: bench/generate/run.sh [BUILD_DIR] [OTHER_ZARVO_CLI]
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=${1:-build}
[ -x "$BUILD/cli/zarvo-cli" ] || cmake --build "$BUILD" --target zarvo-cli
CLI=$(realpath "$BUILD/cli/zarvo-cli")
OTHER=${2:+$(realpath "$2")}
command -v prips >/dev/null || { echo "prips is missing (scripts/deps.sh bench)"; exit 1; }
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT
RUNS=${RUNS:-20}
ROUNDS=${ROUNDS:-3}

echo "== Machine: $(nproc) cores, load $(cut -d' ' -f1 /proc/loadavg)"
echo "== 10.0.0.0/12 to a file: $ROUNDS rounds of $RUNS runs each"
commands=(-n prips "prips 10.0.0.0/12" -n zarvo "$CLI generate 10.0.0.0/12"
    -n zarvo-o "$CLI generate 10.0.0.0/12 -o $OUT/list.txt")
[ -n "$OTHER" ] && commands+=(-n other "$OTHER generate 10.0.0.0/12" -n other-o "$OTHER generate 10.0.0.0/12 -o $OUT/list.txt")
for round in $(seq "$ROUNDS"); do
    hyperfine -N -w 3 -r "$RUNS" --output="$OUT/out.txt" --export-json "$OUT/round$round.json" "${commands[@]}" >/dev/null 2>&1
done
python3 - "$OUT" "$ROUNDS" <<'PY'
import json, statistics, sys
out, rounds = sys.argv[1], int(sys.argv[2])
runs = [{x["command"]: x for x in json.load(open("%s/round%d.json" % (out, k)))["results"]} for k in range(1, rounds + 1)]
ms = lambda v: v * 1000
for name in runs[0]:
    wall = [r[name]["mean"] for r in runs]
    user = [r[name]["user"] for r in runs]
    system = [r[name]["system"] for r in runs]
    ratio = [r[name]["mean"] / r["prips"]["mean"] for r in runs]
    cpu = [(r[name]["user"] + r[name]["system"]) / (r["prips"]["user"] + r["prips"]["system"]) for r in runs]
    print("   %-8s wall %6.1f ms (rounds %s), user %5.1f ms, sys %5.1f ms; x prips: wall %.3f, user+sys %.3f" % (
        name, ms(statistics.mean(wall)), " ".join("%.1f" % ms(w) for w in wall), ms(statistics.mean(user)),
        ms(statistics.mean(system)), statistics.mean(ratio), statistics.mean(cpu)))
PY
echo "   load now $(cut -d' ' -f1 /proc/loadavg); target: zarvo under 0.2 x prips"
cmp -s <(prips 10.0.0.0/12) <("$CLI" generate 10.0.0.0/12 2>/dev/null) && echo "   same lines as prips: yes" || echo "   same lines as prips: NO"
