#!/usr/bin/env bash
# The batch reverse lookup against one dnsmasq on 127.0.0.1, side by side with
# dig -f (one query after another) and dnsperf (as many in flight as the server
# takes, and 32). 4096 addresses of 10.99.0.0/20, 3072 of them with a PTR record.
# Usage: bench/dns/run.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=${1:-build}
[ -x "$BUILD/bench/zarvo_dns_bench" ] || cmake --build "$BUILD" --target zarvo_dns_bench
BENCH=$(realpath "$BUILD/bench/zarvo_dns_bench")
DIR=$(mktemp -d)
PID=""
trap '[ -n "$PID" ] && kill "$PID" 2>/dev/null; rm -rf "$DIR"' EXIT
chmod 755 "$DIR"

python3 - "$DIR" <<'PY'
import sys
d = sys.argv[1]
with open(f"{d}/hosts", "w") as h, open(f"{d}/addresses", "w") as a, open(f"{d}/dig", "w") as g, \
        open(f"{d}/perf", "w") as p:
    for i in range(4096):
        ip = f"10.99.{i // 256}.{i % 256}"
        rev = f"{i % 256}.{i // 256}.99.10.in-addr.arpa"
        if i % 4 != 3:
            h.write(f"{ip} host-{i}.bench.test\n")
        a.write(ip + "\n")
        g.write(f"-x {ip}\n")
        p.write(f"{rev} PTR\n")
PY
chmod 644 "$DIR"/*
PORT=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
USER_ARG=()
[ "$(id -u)" -eq 0 ] && USER_ARG=(--user=root)
dnsmasq --keep-in-foreground --conf-file=/dev/null --no-resolv --no-hosts --addn-hosts="$DIR/hosts" --bogus-priv \
    --listen-address=127.0.0.1 --bind-interfaces --port="$PORT" --pid-file= --log-facility=/dev/null \
    --cache-size=10000 "${USER_ARG[@]}" &
PID=$!
sleep 0.5

echo "== 4096 addresses (3072 named) against dnsmasq on 127.0.0.1:$PORT, $(nproc) cores, load $(cut -d' ' -f1 /proc/loadavg)"
t0=$(date +%s.%N)
dig @127.0.0.1 -p "$PORT" +tries=1 +time=5 -f "$DIR/dig" > /dev/null
t1=$(date +%s.%N)
DIG=$(echo "$t1 - $t0" | bc -l)
printf "dig -f (sequential): %.3f s, %.0f queries/s\n" "$DIG" "$(echo "4096 / $DIG" | bc -l)"

# Three rounds, each: dnsperf over the 4096 names (100 and 32 in flight), then
# zarvo with 1 and 32 in flight; the CPU time of each client beside its rate.
for round in 1 2 3; do
    echo "-- round $round"
    for q in 100 32; do
        R=$(/usr/bin/time -f "cpu %U+%S s" dnsperf -s 127.0.0.1 -p "$PORT" -d "$DIR/perf" -n 1 -q "$q" 2>&1 |
            awk '/Queries per second/ {qps=$4} /^cpu/ {cpu=$2} END {print qps, cpu}')
        echo "dnsperf -q $q: ${R% *} queries/s, cpu ${R#* } s"
        [ "$q" = 32 ] && PERF32=${R% *}
        [ "$q" = 100 ] && PERF100=${R% *}
    done
    for inflight in 1 32; do
        OUT=$(/usr/bin/time -f "cpu %U+%S s" "$BENCH" "127.0.0.1:$PORT" "$inflight" < "$DIR/addresses" 2>&1)
        echo "zarvo $(echo "$OUT" | head -1), $(echo "$OUT" | tail -1)"
        WALL=$(echo "$OUT" | head -1 | awk '{print $3}')
        QPS=$(echo "$OUT" | head -1 | awk '{print $5}')
        printf "   wall vs dig -f: %.3f x; rate vs dnsperf -q 100: %.2f, vs dnsperf -q 32: %.2f\n" \
            "$(echo "$WALL / $DIG" | bc -l)" "$(echo "$QPS / $PERF100" | bc -l)" "$(echo "$QPS / $PERF32" | bc -l)"
    done
done
