#!/usr/bin/env bash
# Fuzzes the database reader with libFuzzer under ASan + UBSan.
# Usage: fuzz/run.sh [SECONDS]   (default 600). Findings land in fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_TO_RUN=${1:-600}
BUILD=${FUZZ_BUILD:-build-fuzz}
SAN="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g -O1"

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
    -DCMAKE_CXX_FLAGS="$SAN" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
    -DZARVO_FUZZ=ON -DZARVO_BUILD_TESTS=OFF -DZARVO_BUILD_APP=OFF -DZARVO_BUILD_BENCH=OFF >/dev/null
cmake --build "$BUILD" --target mmdb_fuzzer -j "$(nproc)"

# Work on a copy of the committed corpus so new inputs stay out of git.
WORK=fuzz/artifacts/mmdb-corpus
mkdir -p "$WORK" fuzz/artifacts
cp -n fuzz/corpus/mmdb/* "$WORK"/ 2>/dev/null || true
[ -d fuzz/regressions/mmdb ] && cp -n fuzz/regressions/mmdb/* "$WORK"/ 2>/dev/null || true

UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ASAN_OPTIONS=detect_leaks=1 \
"$BUILD"/fuzz/mmdb_fuzzer "$WORK" -dict=fuzz/mmdb.dict -max_len=32768 -rss_limit_mb=2048 -timeout=10 \
    -max_total_time="$SECONDS_TO_RUN" -print_final_stats=1 -artifact_prefix=fuzz/artifacts/
