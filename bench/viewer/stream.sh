#!/usr/bin/env bash
# zarvo-cli view writing records as it reads them:
#  - `--max 2147483647` on a 200 MB CSV: time to the first output line, the whole
#    run, and peak memory (which must not grow with --max);
#  - a stray quote under --cell-line-breaks: "h1,h2", "\"open,", then 12 million
#    lines "x,y" (48 MB), at --max 10k/20k/40k/80k; each line is parsed once, so
#    the time grows with --max, not with its square.
# Usage: bench/viewer/stream.sh [BUILD_DIR]   BEFORE=/path/to/other/zarvo-cli runs
# that binary beside it. The files go to BUILD_DIR/bench-viewer (VIEWER_BENCH_DIR
# elsewhere) and stay there for the next run.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=$(realpath "${1:-$ROOT/build}")
[ -x "$BUILD/cli/zarvo-cli" ] || cmake --build "$BUILD" --target zarvo-cli
DIR=${VIEWER_BENCH_DIR:-$BUILD/bench-viewer}
RUNS=${RUNS:-3}
mkdir -p "$DIR"
CSV=$DIR/utf8-200m.csv
STRAY=$DIR/stray-quote.csv
[ -f "$CSV" ] || python3 "$ROOT/bench/viewer/make_csv.py" "$CSV" 2e8
[ -f "$STRAY" ] || python3 -c "
import sys
with open(sys.argv[1], 'w') as f:
    f.write('h1,h2\n\"open,\n')
    f.write('x,y\n' * 12000000)
" "$STRAY"
cat "$CSV" "$STRAY" > /dev/null # into the page cache

CLIS=("$BUILD/cli/zarvo-cli")
[ -n "${BEFORE:-}" ] && CLIS+=("$BEFORE")
echo "== Machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
for cli in "${CLIS[@]}"; do
    echo
    echo "== $cli"
    echo "   view --max 2147483647 of a $(du -h "$CSV" | cut -f1) CSV (first line, whole run; $RUNS runs):"
    for _ in $(seq "$RUNS"); do
        echo "     $(python3 "$ROOT/bench/viewer/first_line.py" "$cli" view --max 2147483647 "$CSV" | awk '{printf "%s s, %s s", $1, $2}')"
    done
    echo "     peak memory $(/usr/bin/time -f '%M' "$cli" view --max 2147483647 "$CSV" 2>&1 >/dev/null | tail -1 | awk '{printf "%.1f MiB", $1/1024}')"
    echo "   view --cell-line-breaks --max N, a stray quote on line 2:"
    for n in 10000 20000 40000 80000; do
        echo "     --max $n: $(/usr/bin/time -f '%e s, peak %M KB' "$cli" view --cell-line-breaks --max "$n" "$STRAY" 2>&1 >/dev/null | tail -1)"
    done
done
