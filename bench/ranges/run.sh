#!/usr/bin/env bash
# Many range lines and many lookup lines: peak memory and time of
#   zarvo-cli generate --total 10 [--random] -r FILE   over 8000000 single-address lines,
#   zarvo-cli generate 10.0.0.0/12 -o FILE            (a normal run, for comparison),
#   zarvo-cli lookup DB -                             over 4000000 addresses, on two test databases.
# Usage: bench/ranges/run.sh [BUILD_DIR] [OTHER_ZARVO_CLI]
# With OTHER_ZARVO_CLI (an older build, say) every line is measured for both, in turns.
# The inputs are made once in bench/data/ranges.
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=${1:-build}
CLIS=("$BUILD/cli/zarvo-cli")
[ -n "${2:-}" ] && CLIS+=("$2")
[ -x "${CLIS[0]}" ] || cmake --build "$BUILD" --target zarvo-cli
DATA=bench/data/ranges
mkdir -p "$DATA"
TIME=$(mktemp)
OUT=$(mktemp -d)
trap 'rm -rf "$TIME" "$OUT"' EXIT

[ -f "$DATA/r8m.txt" ] || python3 -c "
import random
r = random.Random(1)
with open('$DATA/r8m.txt', 'w') as f:
    for _ in range(8000000):
        v = r.getrandbits(32)
        f.write('%d.%d.%d.%d\n' % (v >> 24, v >> 16 & 255, v >> 8 & 255, v & 255))"
# Addresses the test databases hold and miss: random IPv4, IPv6 of 2001:218::/32, and
# the test networks 81.2.69.0/24 and 216.160.83.0/24.
[ -f "$DATA/lookup4m.txt" ] || python3 -c "
import random
r = random.Random(3)
lines = ['%d.%d.%d.%d' % tuple(r.getrandbits(8) for _ in range(4)) for _ in range(3000000)]
lines += ['2001:218:%x:%x::%x' % (r.getrandbits(16), r.getrandbits(16), r.getrandbits(16)) for _ in range(500000)]
lines += [('81.2.69.%d' if k % 2 else '216.160.83.%d') % r.randrange(256) for k in range(500000)]
r.shuffle(lines)
open('$DATA/lookup4m.txt', 'w').write('\n'.join(lines) + '\n')"

measure() { # label, command words; ROUNDS runs of each CLI (standard input: INPUT), the median
    local label=$1
    shift
    for cli in "${CLIS[@]}"; do
        local runs=()
        for _ in $(seq "${ROUNDS:-3}"); do
            /usr/bin/time -f "%e %M" -o "$TIME" "$cli" "$@" <"${INPUT:-/dev/null}" >/dev/null 2>&1 || true
            runs+=("$(tail -n 1 "$TIME")")
        done
        printf "%-44s %-28s %s\n" "$label" "$(basename "$(dirname "$(dirname "$cli")")")/$(basename "$cli")" \
            "$(printf '%s\n' "${runs[@]}" | sort -n | awk '{ t[NR] = $1; m[NR] = $2 }
                END { i = int((NR + 1) / 2); printf "%6.2f s %8d MB peak", t[i], m[i] / 1024 }')"
    done
}

measure "8M range lines, --total 10" generate --total 10 -r "$DATA/r8m.txt"
measure "8M range lines, --total 10 --random" generate --total 10 --random -r "$DATA/r8m.txt"
ROUNDS=${ROUNDS:-9} measure "10.0.0.0/12 -o FILE" generate 10.0.0.0/12 -o "$OUT/list"
for db in GeoIP2-City-Test.mmdb GeoIP2-Country-Test.mmdb; do
    INPUT="$DATA/lookup4m.txt" ROUNDS=${ROUNDS:-9} measure "lookup $db - (4M lines)" lookup "tests/data/mmdb/$db" -
done
