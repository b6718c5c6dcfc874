#!/usr/bin/env bash
# The viewer's reading on large files, through zarvo-cli view:
#  - counting the rows of a 1 GB UTF-8 CSV against `wc -l` in the same run
#    (target: at most 2x its wall time, peak memory under 64 MB);
#  - the preview's first 1000 records of that file (target: under 50 ms);
#  - a 1 GB file without a line break (one line, cut at the cap; memory stays at one block and one line);
#  - a 5 GB sparse file (positions past 2 GiB and 4 GiB), its count checked.
# Usage: bench/viewer/run.sh [BUILD_DIR]   The files go to BUILD_DIR/bench-viewer
# (VIEWER_BENCH_DIR elsewhere) and stay there for the next run.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=$(realpath "${1:-$ROOT/build}")
[ -x "$BUILD/cli/zarvo-cli" ] || cmake --build "$BUILD" --target zarvo-cli
CLI=$BUILD/cli/zarvo-cli
DIR=${VIEWER_BENCH_DIR:-$BUILD/bench-viewer}
RUNS=${RUNS:-10}
mkdir -p "$DIR"
CSV=$DIR/utf8-1g.csv
ONELINE=$DIR/one-line-1g.txt
SPARSE=$DIR/sparse-5g.txt

[ -f "$CSV" ] || python3 "$ROOT/bench/viewer/make_csv.py" "$CSV" 1e9
[ -f "$ONELINE" ] || head -c 1000000000 /dev/zero | tr '\0' 'x' > "$ONELINE"
if [ ! -f "$SPARSE" ]; then
    truncate -s 5000000000 "$SPARSE"
    for at in 0 2147483646 4294967300 4999999900; do
        printf 'line at %s\n' "$at" | dd of="$SPARSE" bs=1 seek="$at" conv=notrunc status=none
    done
fi

peak() { # command... -> peak RSS in MiB
    /usr/bin/time -f "%M" "$@" 2>&1 >/dev/null | tail -1 | awk '{printf "%.1f MiB", $1/1024}'
}
ms() { # hyperfine json -> one line per command
    python3 - "$1" <<'PY'
import json, sys
for x in json.load(open(sys.argv[1]))["results"]:
    cpu = (x["user"] + x["system"]) * 1000
    print(f"   {x['command']}: mean {x['mean']*1000:.1f} ms, median {x['median']*1000:.1f} ms, cpu {cpu:.1f} ms")
PY
}

echo "== Machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
cat "$CSV" > /dev/null # into the page cache, for both tools alike

echo
echo "== Count rows of a $(du -h "$CSV" | cut -f1) UTF-8 CSV: zarvo-cli view --count against wc -l"
hyperfine -N -w 2 -r "$RUNS" --export-json "$DIR/count.json" -n "wc -l" "wc -l $CSV" \
    -n "zarvo-cli view --count" "$CLI view --count $CSV" >/dev/null 2>&1
ms "$DIR/count.json"
python3 - "$DIR/count.json" <<'PY'
import json, sys
r = {x["command"]: x for x in json.load(open(sys.argv[1]))["results"]}
wc, z = r["wc -l"], r["zarvo-cli view --count"]
cpu = lambda x: x["user"] + x["system"]
print(f"   wall ratio {z['mean']/wc['mean']:.2f} (median {z['median']/wc['median']:.2f}), cpu ratio {cpu(z)/cpu(wc):.2f}; target <= 2")
PY
echo "   counts: wc -l $(wc -l < "$CSV") lines; zarvo-cli $("$CLI" view --count "$CSV") rows (less the header)"
echo "   peak memory: zarvo-cli $(peak "$CLI" view --count "$CSV"), wc -l $(peak wc -l "$CSV"); target < 64 MiB"

echo
echo "== Preview: zarvo-cli view --max 1000 of the same file"
hyperfine -N -w 3 -r "$RUNS" --export-json "$DIR/preview.json" -n "view --max 1000" "$CLI view --max 1000 $CSV" >/dev/null 2>&1
ms "$DIR/preview.json"
echo "   target < 50 ms; peak memory $(peak "$CLI" view --max 1000 "$CSV")"

echo
echo "== 1 GB without a line break"
cat "$ONELINE" > /dev/null
echo "   count $(/usr/bin/time -f '%e s' "$CLI" view --count --no-header "$ONELINE" 2>&1 | tr '\n' ' ')(one line, cut at 65535 characters; expected 1)"
echo "   peak memory: count $(peak "$CLI" view --count "$ONELINE"), preview $(peak "$CLI" view --max 1000 "$ONELINE")"

echo
echo "== 5 GB sparse file (text at 0, 2 GiB - 2, 4 GiB + 4, near the end; NUL runs between)"
expected=$(python3 - <<'PY'
# NUL runs are lines of their own, one line however long.
marks = [0, 2147483646, 4294967300, 4999999900]
size, lines, pos = 5000000000, 0, 0
for at in marks:
    run = at - pos
    lines += 1 if run > 0 else 0
    text = len(f"line at {at}\n")
    lines += 1
    pos = at + text
lines += 1 if size > pos else 0
print(lines)
PY
)
# The first read of the holes is the kernel zero-filling pages, whoever reads: warm them first.
cat "$SPARSE" > /dev/null
got=$(/usr/bin/time -f '%e s, peak %M KB' "$CLI" view --count --no-header "$SPARSE" 2> "$DIR/sparse.time")
echo "   count $got (expected $expected) in $(cat "$DIR/sparse.time")"
echo "   wc -l on the same file: $( { /usr/bin/time -f '%e s' wc -l "$SPARSE" >/dev/null; } 2>&1 )"
[ "$got" = "$expected" ] || { echo "   COUNT MISMATCH" >&2; exit 1; }
