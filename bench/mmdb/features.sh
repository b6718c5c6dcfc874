#!/usr/bin/env bash
# The geolocation commands over the real GeoLite2 databases, each side by side with its
# reference in one run:
#   1. zarvo-cli mmdb --all City to a file against a walk of the same database with the
#      Perl MaxMind::DB::Reader printing the same columns (target: at most 0.05x), and
#      the peak memory of --all on Country and City (it must not grow with the database);
#   2. zarvo-cli mmdb --networks --country DE over City (target: under a second);
#   3. zarvo-cli lookup --field city.names.en --field location.latitude City - over N
#      random addresses against a C program over libmaxminddb printing the same two
#      fields (target: at most 0.5x); the answers are compared first;
#   4. the lanes of lookup City -: --threads 1, 2 and the default, interleaved.
# Usage: bench/mmdb/features.sh [N]   (RUNS=5; PERL_SECONDS=120; BENCH_DATA, BENCH_BUILD as run.sh)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
N=${1:-1000000}
RUNS=${RUNS:-5}
# shellcheck source=data.sh
. "$ROOT/bench/mmdb/data.sh"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZARVO_BUILD_APP=OFF -DZARVO_BUILD_TESTS=OFF \
    >/dev/null
cmake --build "$BUILD" --target zarvo-cli >/dev/null
CLI=$BUILD/cli/zarvo-cli
gcc -O2 "$ROOT/bench/mmdb/libmaxminddb_fields.c" -lmaxminddb -o "$OUT/libmaxminddb_fields"
ADDRS=$OUT/addresses.txt
"$CLI" generate --random --total "$N" --seed 42 0.0.0.0/0 > "$ADDRS" 2>/dev/null
echo "== $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs); load: $(cut -d' ' -f1-3 /proc/loadavg)"

mean() { python3 -c "import json,sys; print(json.load(open(sys.argv[1]))['results'][int(sys.argv[2])]['mean'])" "$@"; }

echo
echo "== 1. mmdb --all City to a file, against the Perl reader's walk"
hyperfine -w 1 -r "$RUNS" --export-json "$OUT/all.json" -n all "$CLI mmdb --all $CITY > $OUT/all.csv" 2>/dev/null |
    grep -E 'Time' || true
# The pure-Perl reader takes milliseconds a row (days for the whole of City): it walks for
# PERL_SECONDS, and its time for every row is the time per row it printed times our rows
# (fewer than its own, which include the IPv4 tree's aliases).
PERL_SECONDS=${PERL_SECONDS:-120}
/usr/bin/time -f "%e %U %S" -o "$OUT/perl.time" timeout "$PERL_SECONDS" \
    perl "$ROOT/bench/mmdb/perl_walk.pl" "$CITY" > "$OUT/perl.csv" || true
cmp -s <(head -1000 "$OUT/perl.csv") <(grep -m1000 '^[0-9]*\.[0-9.]*/' "$OUT/all.csv") &&
    echo "   the Perl walk's first 1000 rows are those of --all"
python3 - "$(mean "$OUT/all.json" 0)" "$OUT/perl.time" "$(wc -l < "$OUT/all.csv")" "$(wc -l < "$OUT/perl.csv")" <<'PY'
import sys
z, (wall, user, sys_), zl, pl = float(sys.argv[1]), map(float, open(sys.argv[2]).read().split()[-3:]), int(sys.argv[3]), int(sys.argv[4])
per_row = wall / pl
print(f"   --all {z:.2f} s ({zl} lines); Perl {pl} rows in {wall:.0f} s ({per_row * 1000:.2f} ms a row, "
      f"so at least {per_row * zl:.0f} s for every row): {z / (per_row * zl):.5f} (target: at most 0.05)")
PY
for db in "$COUNTRY" "$CITY"; do
    echo "   peak memory of --all $(basename "$db"): $(/usr/bin/time -f %M "$CLI" mmdb --all "$db" 2>&1 \
        >/dev/null | tail -1) KiB (image $(( $(stat -c %s "$db") / 1024 )) KiB)"
done

echo
echo "== 2. mmdb --networks --country DE over City (target: under a second)"
hyperfine -N -w 1 -r "$RUNS" "$CLI mmdb --networks --country DE $CITY" 2>/dev/null | grep -E 'Time' || true
echo "   $("$CLI" mmdb --networks --country DE "$CITY" | wc -l) blocks"

echo
echo "== 3. lookup --field city.names.en --field location.latitude City - of $N addresses"
FIELDS="--field city.names.en --field location.latitude"
"$CLI" lookup $FIELDS "$CITY" - < "$ADDRS" > "$OUT/fields.txt"
"$OUT/libmaxminddb_fields" "$CITY" < "$ADDRS" > "$OUT/fields-c.txt"
python3 - "$OUT/fields.txt" "$OUT/fields-c.txt" <<'PY'
import sys
a, b = open(sys.argv[1], encoding="utf-8").read().splitlines(), open(sys.argv[2], encoding="utf-8").read().splitlines()
assert len(a) == len(b), (len(a), len(b))
for x, y in zip(a, b):
    x, y = x.split("\t"), y.split("\t")
    assert x[:3] == y[:3] and (x[3] == y[3] or float(x[3]) == float(y[3])), (x, y)
print(f"   the same {len(a)} lines as libmaxminddb")
PY
hyperfine -w 1 -r "$RUNS" --export-json "$OUT/fields.json" \
    -n lookup-fields "$CLI lookup $FIELDS $CITY - < $ADDRS > $OUT/fields.txt" \
    -n libmaxminddb "$OUT/libmaxminddb_fields $CITY < $ADDRS > $OUT/fields-c.txt" 2>/dev/null |
    grep -E 'Benchmark|Time' || true
python3 - "$(mean "$OUT/fields.json" 0)" "$(mean "$OUT/fields.json" 1)" <<'PY'
import sys
z, c = float(sys.argv[1]), float(sys.argv[2])
print(f"   lookup --field / libmaxminddb: {z / c:.3f} ({z * 1000:.0f} ms vs {c * 1000:.0f} ms; target: at most 0.5)")
PY

echo
echo "== 4. lanes of lookup City - over $N addresses (interleaved runs; default: $("$CLI" lookup --help |
    grep -o 'default: one per core[^)]*' | head -1))"
hyperfine -w 1 -r "$RUNS" --export-json "$OUT/lanes.json" \
    -n threads-1 "$CLI lookup --threads 1 $CITY - < $ADDRS > /dev/null" \
    -n threads-2 "$CLI lookup --threads 2 $CITY - < $ADDRS > /dev/null" \
    -n default "$CLI lookup $CITY - < $ADDRS > /dev/null" \
    -n fields-1 "$CLI lookup --threads 1 $FIELDS $CITY - < $ADDRS > /dev/null" \
    -n fields-2 "$CLI lookup --threads 2 $FIELDS $CITY - < $ADDRS > /dev/null" 2>/dev/null |
    grep -E 'Benchmark|Time' || true
