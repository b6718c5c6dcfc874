#!/usr/bin/env bash
# Reverse lookup of 4096 addresses (3072 with a PTR name, 1024 without) against one
# dnsmasq on 127.0.0.1, in one run: dig -f (one query after another), dnsperf (the
# server's own limit), zarvo-cli rdns --in-flight 1 and zarvo-cli rdns with its
# default queries in flight, then the batch lookup alone (zarvo_dns_bench, without
# process start and output). Prints the wall times, the ratios against the targets
# and whether every tool got the same answers. Nothing leaves the loopback.
# Usage: bench/dns/run.sh [BUILD_DIR]      (RUNS=N repeats each timed command)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${1:-$ROOT/build}
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
[ -x "$BUILD/cli/zarvo-cli" ] && [ -x "$BUILD/bench/zarvo_dns_bench" ] || {
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$BUILD" --target zarvo-cli zarvo_dns_bench >/dev/null
}
CLI=$BUILD/cli/zarvo-cli
RUNS=${RUNS:-10}
for tool in dnsmasq dig dnsperf hyperfine python3; do
    command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] || { echo "$tool is missing (make bench installs it)" >&2; exit 1; }
done
DNSMASQ=$(command -v dnsmasq || echo /usr/sbin/dnsmasq)

OUT=$(mktemp -d)
chmod 755 "$OUT" # dnsmasq started as root reads its hosts file as "nobody"
DNSMASQ_PID=
cleanup() {
    [ -n "$DNSMASQ_PID" ] && kill "$DNSMASQ_PID" 2>/dev/null && wait "$DNSMASQ_PID" 2>/dev/null
    rm -rf "$OUT"
}
trap cleanup EXIT

# 10.77.0.0 to 10.77.15.255: a private range, so that dnsmasq answers the addresses
# without a name NXDOMAIN itself (--bogus-priv) instead of asking upstream.
python3 - "$OUT" <<'PY'
import sys
out = sys.argv[1]
with open(f"{out}/hosts", "w") as hosts, open(f"{out}/addresses", "w") as addrs, \
     open(f"{out}/queries", "w") as queries, open(f"{out}/expected", "w") as expected:
    for i in range(4096):
        a = f"10.77.{i >> 8}.{i & 255}"
        addrs.write(a + "\n")
        queries.write(f"{i & 255}.{i >> 8}.77.10.in-addr.arpa PTR\n")
        if i % 4 != 3:
            hosts.write(f"{a} host-{i}.bench.test\n")
            expected.write(f"{a},host-{i}.bench.test\n")
PY
chmod 644 "$OUT/hosts"

PORT=$(python3 -c 'import socket
for _ in range(20):
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); u.bind(("127.0.0.1", 0)); p = u.getsockname()[1]
    t = socket.socket(); 
    try:
        t.bind(("127.0.0.1", p)); print(p); break
    except OSError: pass
    finally: t.close(); u.close()')
USER_ARG=()
[ "$(id -u)" -eq 0 ] && USER_ARG=(--user=root)
"$DNSMASQ" --keep-in-foreground --conf-file=/dev/null --no-resolv --no-hosts --addn-hosts="$OUT/hosts" \
    --cache-size=10000 --bogus-priv --listen-address=127.0.0.1 --bind-interfaces --port="$PORT" --pid-file= \
    --log-facility="$OUT/dnsmasq.log" "${USER_ARG[@]}" &
DNSMASQ_PID=$!
for _ in $(seq 50); do
    dig @127.0.0.1 -p "$PORT" +tries=1 +time=1 +short -x 10.77.0.0 2>/dev/null | grep -q bench.test && break
    sleep 0.1
done
SERVER=127.0.0.1:$PORT

# dig's batch file names the server on every line, so that no query can go to the
# system's resolver.
awk -v p="$PORT" '{print "@127.0.0.1 -p " p " +tries=1 +time=5 +noall +answer " $1 " PTR"}' \
    "$OUT/queries" > "$OUT/dig-batch"

echo "== Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs), load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "== 4096 PTR queries (3072 named, 1024 NXDOMAIN) against dnsmasq $("$DNSMASQ" --version | head -1 | awk '{print $3}') on $SERVER"

# dnsperf: the best rate of a few client/outstanding settings, each over the query
# list ten times.
best_qps=0
best_setting=
for setting in "-c 1 -q 10" "-c 1 -q 32" "-c 1 -q 100" "-c 4 -q 32"; do
    # shellcheck disable=SC2086
    report=$(timeout 120 dnsperf -s 127.0.0.1 -p "$PORT" -d "$OUT/queries" $setting -n 10 -t 5 2>&1 || true)
    qps=$(awk '/Queries per second/ {print $4}' <<<"$report")
    lost=$(awk '/Queries lost/ {print $3}' <<<"$report")
    echo "   dnsperf $setting: ${qps:-?} qps, ${lost:-?} lost"
    if [ -n "$qps" ] && python3 -c "import sys; sys.exit(0 if $qps > $best_qps else 1)"; then
        best_qps=$qps
        best_setting=$setting
        echo "$report" > "$OUT/dnsperf.txt"
    fi
done
noerror=$(grep -o 'NOERROR [0-9]*' "$OUT/dnsperf.txt" | cut -d' ' -f2)
nxdomain=$(grep -o 'NXDOMAIN [0-9]*' "$OUT/dnsperf.txt" | cut -d' ' -f2)
echo "   dnsperf best ($best_setting): $best_qps qps; answers NOERROR $noerror, NXDOMAIN $nxdomain (expected 30720 / 10240)"

echo
echo "== Wall times (hyperfine, $RUNS runs each; dig -f 3 runs)"
hyperfine -N -w 1 -r 3 --export-json "$OUT/dig.json" -n "dig -f" \
    "bash -c 'dig -f $OUT/dig-batch > $OUT/dig.out'" 2>/dev/null | grep -E 'Time|Range' || true
hyperfine -N -w 1 -r "$RUNS" --export-json "$OUT/zarvo.json" \
    -n "zarvo-cli rdns --in-flight 1" "bash -c '$CLI rdns -s $SERVER --in-flight 1 $OUT/addresses > $OUT/z1.out 2>/dev/null'" \
    -n "zarvo-cli rdns" "bash -c '$CLI rdns -s $SERVER $OUT/addresses > $OUT/z.out 2>/dev/null'" 2>/dev/null |
    grep -E 'Benchmark|Time|Range' || true

# The server's own work for one default run, from its CPU counters.
ticks() { awk '{print $14 + $15}' "/proc/$DNSMASQ_PID/stat"; }
t0=$(ticks)
"$CLI" rdns -s "$SERVER" --unresolved "$OUT/unresolved" "$OUT/addresses" > "$OUT/z.out" 2> "$OUT/z.err"
t1=$(ticks)

python3 - "$OUT" "$best_qps" "$(( (t1 - t0) * 1000 / $(getconf CLK_TCK) ))" <<'PY'
import json, sys
out, dnsperf_qps, server_ms = sys.argv[1], float(sys.argv[2]), int(sys.argv[3])
dig = json.load(open(f"{out}/dig.json"))["results"][0]
z = {r["command"]: r for r in json.load(open(f"{out}/zarvo.json"))["results"]}
one, dflt = z["zarvo-cli rdns --in-flight 1"], z["zarvo-cli rdns"]
print()
print("== Ratios (means; medians in brackets)")
print(f"   dig -f {dig['mean']*1000:.0f} ms, --in-flight 1 {one['mean']*1000:.0f} ms, default {dflt['mean']*1000:.0f} ms")
r1, r1m = one["mean"] / dig["mean"], one["median"] / dig["median"]
rd, rdm = dflt["mean"] / dig["mean"], dflt["median"] / dig["median"]
qps = 4096 / dflt["mean"]
share = qps / dnsperf_qps if dnsperf_qps else 0
ok = lambda b: "met" if b else "MISSED"
print(f"   --in-flight 1 / dig -f: {r1:.3f} ({r1m:.3f})   target <= 1.0: {ok(r1 <= 1.0)}")
print(f"   default / dig -f:       {rd:.3f} ({rdm:.3f})   target <= 0.2: {ok(rd <= 0.2)}")
print(f"   default rate: {qps:.0f} qps = {share*100:.0f} % of dnsperf's {dnsperf_qps:.0f} qps   target >= 70 %: {ok(share >= 0.7)}")
floor = 4096 / dnsperf_qps if dnsperf_qps else 0
print(f"   (at dnsperf's rate the 4096 queries take {floor*1000:.0f} ms = {floor/dig['mean']:.3f} x dig -f: no client does better against this server)")
print(f"   dnsmasq CPU for one default run: {server_ms} ms ({server_ms*1000/4096:.0f} us per query)")

print()
print("== Same answers")
expected = open(f"{out}/expected").read()
names = {}
for line in open(f"{out}/dig.out"):
    f = line.split()
    if len(f) == 5 and f[3] == "PTR":
        o = f[0].split(".")
        names[".".join(reversed(o[:4]))] = f[4].rstrip(".")
dig_lines = "".join(f"{a},{names[a]}\n" for a in (l.split(",")[0] for l in expected.splitlines()) if a in names)
print(f"   dig -f: {len(names)} resolved, same names: {'yes' if dig_lines == expected and len(names) == 3072 else 'NO'}")
for name, f in (("--in-flight 1", "z1.out"), ("default", "z.out")):
    got = open(f"{out}/{f}").read()
    print(f"   zarvo-cli rdns {name}: {got.count(chr(10))} resolved, same lines in input order: {'yes' if got == expected else 'NO'}")
unresolved = open(f"{out}/unresolved").read().split()
print(f"   zarvo-cli --unresolved: {len(unresolved)} addresses; summary: {open(out + '/z.err').read().strip()}")
PY

echo
echo "== The batch lookup alone (no process start, no output)"
for inflight in 1 32; do
    echo "   $("$BUILD/bench/zarvo_dns_bench" "$SERVER" "$inflight" < "$OUT/addresses")"
done
