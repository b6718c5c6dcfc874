#!/usr/bin/env bash
# Fuzzes the database reader, the DNS reply reader and the viewer's text reader with its
# CSV parser, with libFuzzer under ASan + UBSan.
# Usage: fuzz/run.sh [SECONDS] [TARGET...]   (default 600 seconds for each of: mmdb dns viewer).
# Findings land in fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_TO_RUN=${1:-600}
shift || true
TARGETS=("$@")
[ ${#TARGETS[@]} -eq 0 ] && TARGETS=(mmdb dns viewer)
BUILD=${FUZZ_BUILD:-build-fuzz}
SAN="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g -O1"

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
    -DCMAKE_CXX_FLAGS="$SAN" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
    -DZARVO_FUZZ=ON -DZARVO_BUILD_TESTS=OFF -DZARVO_BUILD_APP=OFF -DZARVO_BUILD_BENCH=OFF >/dev/null

for target in "${TARGETS[@]}"; do
    case "$target" in
    mmdb) fuzzer=mmdb_fuzzer; extra=(-max_len=32768) ;;
    dns) fuzzer=dns_reply_fuzzer; extra=(-max_len=9000) ;;
    viewer) fuzzer=viewer_fuzzer; extra=(-max_len=4096) ;;
    *) echo "unknown target $target" >&2; exit 2 ;;
    esac
    cmake --build "$BUILD" --target "$fuzzer" -j "$(nproc)"

    # Work on a copy of the committed corpus so new inputs stay out of git.
    WORK=fuzz/artifacts/$target-corpus
    mkdir -p "$WORK" fuzz/artifacts
    cp -n fuzz/corpus/"$target"/* "$WORK"/ 2>/dev/null || true
    [ -d fuzz/regressions/"$target" ] && cp -n fuzz/regressions/"$target"/* "$WORK"/ 2>/dev/null || true

    [ -f fuzz/"$target".dict ] && extra+=(-dict=fuzz/"$target".dict)
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ASAN_OPTIONS=detect_leaks=1 \
    "$BUILD"/fuzz/"$fuzzer" "$WORK" "${extra[@]}" -rss_limit_mb=2048 -timeout=10 \
        -max_total_time="$SECONDS_TO_RUN" -print_final_stats=1 -artifact_prefix=fuzz/artifacts/"$target"-
done
