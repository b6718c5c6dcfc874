#!/usr/bin/env bash
# zarvo-cli aggregate side by side with iprange, in one hyperfine run each:
#   the fewest CIDR blocks of 1000000 random IPv4 addresses       (iprange FILE)
#   a set of 1000000 random blocks less another such set         (iprange A --except B)
# Both print the same blocks (iprange writes a /32 without its prefix); the script
# checks that, and prints the ratios (target: at most 0.8 of iprange's time).
# Usage: bench/aggregate/run.sh [BUILD_DIR]        (RUNS=N for the runs of each)
# The inputs are made once in bench/data/aggregate.
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=${1:-build}
[ -x "$BUILD/cli/zarvo-cli" ] || cmake --build "$BUILD" --target zarvo-cli
CLI=$(realpath "$BUILD/cli/zarvo-cli")
command -v iprange >/dev/null || { echo "iprange is missing (scripts/deps.sh bench)"; exit 1; }
DATA=bench/data/aggregate
mkdir -p "$DATA"
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT
RUNS=${RUNS:-10}

[ -f "$DATA/addr1m.txt" ] || python3 -c "
import random
r = random.Random(11)
with open('$DATA/addr1m.txt', 'w') as f:
    for _ in range(1000000):
        v = r.getrandbits(32)
        f.write('%d.%d.%d.%d\n' % (v >> 24, v >> 16 & 255, v >> 8 & 255, v & 255))"
# Blocks of /16 to /32, each prefix length as likely, their addresses the block's start.
for set in a b; do
    [ -f "$DATA/blocks1m_$set.txt" ] || python3 -c "
import random
r = random.Random('$set')
with open('$DATA/blocks1m_$set.txt', 'w') as f:
    for _ in range(1000000):
        p = r.randint(16, 32)
        v = r.getrandbits(32) >> (32 - p) << (32 - p)
        f.write('%d.%d.%d.%d/%d\n' % (v >> 24, v >> 16 & 255, v >> 8 & 255, v & 255, p))"
done

echo "== Machine: $(nproc) cores, load $(cut -d' ' -f1 /proc/loadavg); iprange $(iprange --version 2>&1 | head -1)"

side_by_side() { # name, iprange words, zarvo-cli aggregate words
    local name=$1 ref=$2 ours=$3
    echo
    echo "== $name"
    hyperfine -w 2 -r "$RUNS" --export-json "$OUT/$name.json" -n iprange "iprange $ref > $OUT/ref.txt" \
        -n zarvo "$CLI aggregate $ours > $OUT/zarvo.txt" 2>/dev/null | grep -E 'Time|±|Benchmark' || true
    python3 - "$OUT/$name.json" <<'PY'
import json, sys
r = {x["command"]: x for x in json.load(open(sys.argv[1]))["results"]}
ref, z = r["iprange"], r["zarvo"]
cpu = lambda x: x["user"] + x["system"]
print(f"   wall: zarvo {z['mean']*1000:.1f} ms vs iprange {ref['mean']*1000:.1f} ms -> ratio {z['mean']/ref['mean']:.3f} (median {z['median']/ref['median']:.3f}; target 0.8)")
print(f"   cpu:  zarvo {cpu(z)*1000:.1f} ms vs iprange {cpu(ref)*1000:.1f} ms -> ratio {cpu(z)/cpu(ref):.3f}")
PY
    # iprange writes a single address without "/32".
    if cmp -s <(sed '/\//!s/$/\/32/' "$OUT/ref.txt") "$OUT/zarvo.txt"; then
        echo "   same blocks as iprange: yes ($(wc -l < "$OUT/zarvo.txt") lines)"
    else
        echo "   same blocks as iprange: NO"
    fi
    echo "   peak memory zarvo: $(/usr/bin/time -f %M "$CLI" aggregate $ours 2>&1 >/dev/null | tail -1) KiB, iprange: $(/usr/bin/time -f %M iprange $ref 2>&1 >/dev/null | tail -1) KiB"
}

side_by_side merge_1m_addresses "$DATA/addr1m.txt" "$DATA/addr1m.txt"
side_by_side except_1m_blocks "$DATA/blocks1m_a.txt --except $DATA/blocks1m_b.txt" \
    "--except $DATA/blocks1m_b.txt $DATA/blocks1m_a.txt"
