#!/usr/bin/env bash
# Reading the settings file: wall time for files of 1,000 / 8,000 / 16,000 named
# sets (and the load and save of their sets alone), peak memory for 64 MB files of
# the shortest lines, and sets whose counts promise 2000000000 lines.
# Usage: bench/settings/run.sh [BUILD_DIR]      (files are made once in bench/data/settings)
# A run taking more than LIMIT seconds (default 600) is stopped and shown as such. BUILD_DIR
# may hold an older build: without zarvo_settings_bench only zarvo-cli is measured.
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=${1:-build}
CLI=$BUILD/cli/zarvo-cli
BENCH=$BUILD/bench/zarvo_settings_bench
[ -x "$CLI" ] || cmake --build "$BUILD" --target zarvo-cli
[ -x "$BENCH" ] || cmake --build "$BUILD" --target zarvo_settings_bench >/dev/null 2>&1 || true
DATA=bench/data/settings
mkdir -p "$DATA"
TIME=$(mktemp)
trap 'rm -f "$TIME"' EXIT

file() { # name, make_settings.py arguments
    [ -f "$DATA/$1" ] || python3 bench/settings/make_settings.py "${@:2}" "$DATA/$1"
    echo "$DATA/$1"
}

# zarvo-cli generate --settings FILE [--set NAME] 10.0.0.1 reads the whole file;
# with --set it also reads every stored set, as the window does at start.
measure() { # file, set name or ""
    local set=()
    [ -n "$2" ] && set=(--set "$2")
    /usr/bin/time -f "%x %e %M" -o "$TIME" timeout "${LIMIT:-600}" "$CLI" generate --settings "$1" "${set[@]}" \
        10.0.0.1 >/dev/null 2>&1 || true
    local status secs kb mb
    read -r status secs kb < <(tail -n 1 "$TIME")
    mb=$(($(stat -c %s "$1") / 1048576))
    if [ "$status" = 124 ]; then
        printf "%-28s %6d MB  stopped after %s s\n" "$(basename "$1")" "$mb" "${LIMIT:-600}"
        return
    fi
    printf "%-28s %6d MB %8.2f s %8d MB peak (%s x the file)\n" "$(basename "$1")" "$mb" "$secs" $((kb / 1024)) \
        "$(awk -v k="$kb" -v s="$(stat -c %s "$1")" 'BEGIN { printf "%.1f", k * 1024 / s }')"
}

echo "== zarvo-cli generate --settings FILE [--set NAME] 10.0.0.1"
for n in 1000 8000 16000; do measure "$(file sets-$n.ini sets $n)" "set $n"; done
measure "$(file huge-counts-4000.ini huge-counts 4000)" "set 1"
measure "$(file eq-64mb.ini fill '=\n' 64)" ""
measure "$(file a-eq-64mb.ini fill 'a=\n' 64)" ""
measure "$(file empty-sets-64mb.ini empty-sets 64)" "n1"

[ -x "$BENCH" ] || exit 0
echo
echo "== $BENCH FILE: the stored sets loaded, then saved"
for n in 1000 8000 16000; do printf "%-28s " "sets-$n.ini"; "$BENCH" "$DATA/sets-$n.ini"; done
