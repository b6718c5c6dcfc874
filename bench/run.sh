#!/usr/bin/env bash
# Generation benchmarks, side by side with prips (and prips | shuf) in one run; then
# the database and reverse lookup benchmarks (bench/mmdb, bench/dns).
# Usage: bench/run.sh [BUILD_DIR]      (make bench builds first)
# Prints hyperfine's tables, the ratios against the reference tools and peak memory.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}
[ -x "$BUILD/cli/zarvo-cli" ] || { cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null; cmake --build "$BUILD" --target zarvo-cli; }
CLI=$(realpath "$BUILD/cli/zarvo-cli")
OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT
RUNS=${RUNS:-20}

echo "== Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)"
echo "== Output goes to a file in $OUT (same bytes for prips and zarvo-cli: one address per line)"

bench() { # name, reference command, zarvo command
    local name=$1 ref=$2 ours=$3
    echo
    echo "== $name"
    hyperfine -w 3 -r "$RUNS" --export-json "$OUT/$name.json" -n reference "$ref > $OUT/ref.txt" \
        -n zarvo "$ours > $OUT/zarvo.txt" 2>/dev/null | grep -E 'Time|±|Benchmark' || true
    python3 - "$OUT/$name.json" <<'PY'
import json, sys
r = {x["command"]: x for x in json.load(open(sys.argv[1]))["results"]}
ref, z = r["reference"], r["zarvo"]
cpu = lambda x: x["user"] + x["system"]
print(f"   wall: zarvo {z['mean']*1000:.1f} ms vs reference {ref['mean']*1000:.1f} ms -> ratio {z['mean']/ref['mean']:.3f} (median {z['median']/ref['median']:.3f})")
print(f"   cpu:  zarvo {cpu(z)*1000:.1f} ms vs reference {cpu(ref)*1000:.1f} ms -> ratio {cpu(z)/cpu(ref):.3f}")
PY
}

peak() { # command -> peak RSS in MiB
    /usr/bin/time -f "%M" bash -c "$1 > $OUT/peak.txt 2>/dev/null" 2>&1 | tail -1 | awk '{printf "%.1f MiB", $1/1024}'
}

bench all_10.0.0.0_12 "prips 10.0.0.0/12" "$CLI generate 10.0.0.0/12 2>/dev/null"
echo "   peak memory zarvo: $(peak "$CLI generate 10.0.0.0/12")"
cmp -s <(sort "$OUT/ref.txt") <(sort "$OUT/zarvo.txt") && echo "   same address set as prips: yes" || echo "   same address set as prips: NO"

bench random_10.0.0.0_12 "prips 10.0.0.0/12 | shuf" "$CLI generate --random 10.0.0.0/12 2>/dev/null"
echo "   peak memory zarvo: $(peak "$CLI generate --random 10.0.0.0/12")"

echo
echo "== random total of 1000000 from fd00::/32"
hyperfine -w 2 -r "$RUNS" "$CLI generate --random --total 1000000 fd00::/32 2>/dev/null > $OUT/v6.txt" 2>/dev/null | grep -E 'Time|±' || true
echo "   peak memory zarvo: $(peak "$CLI generate --random --total 1000000 fd00::/32")"
echo "   lines: $(wc -l < "$OUT/v6.txt"), distinct: $(sort -u "$OUT/v6.txt" | wc -l)"

echo
echo "== ports 1-65535 on 10.0.0.0/24: 16776960 lines, streamed as they are made"
for target in "to a file (-o, replaced atomically)|-o $OUT/ports.txt" "to standard output|> /dev/null"; do
    /usr/bin/time -f "   ${target%%|*}: %e s wall, peak memory %M KiB" \
        bash -c "exec $CLI generate --ports 1-65535 10.0.0.0/24 ${target#*|} 2>/dev/null"
done
rm -f "$OUT/ports.txt"

if [ -x bench/mmdb/run.sh ]; then
    echo
    bench/mmdb/run.sh
fi

if [ -x bench/mmdb/features.sh ]; then
    echo
    bench/mmdb/features.sh
fi

if [ -x bench/dns/run.sh ]; then
    echo
    bench/dns/run.sh "$BUILD"
    echo
    bench/dns/resend.sh "$BUILD"
fi

if [ -x "$BUILD/bench/gui/zarvo_rdns_stall_bench" ] && command -v dnsmasq >/dev/null; then
    echo
    echo "== The window through a reverse DNS lookup against servers on loopback (targets: (a) no stall"
    echo "   over 100 ms; (b) no stall over 250 ms, peak RSS under 300 MiB)"
    QT_QPA_PLATFORM=offscreen "$BUILD/bench/gui/zarvo_rdns_stall_bench" 2>/dev/null
fi

echo
bench/viewer/run.sh "$BUILD"

echo
bench/aggregate/run.sh "$BUILD"

echo
bench/generate/run.sh "$BUILD"

echo
bench/shards/run.sh "$BUILD"
