#!/usr/bin/env bash
# Reverse lookup of 4096 addresses (3072 with a PTR name, 1024 without) against one
# dnsmasq on 127.0.0.1, in one run: dig -f (one query after another), dnsperf (the
# server's own limit), zarvo-cli rdns --in-flight 1 and zarvo-cli rdns with its
# default queries in flight, then the batch lookup alone (zarvo_dns_bench, without
# process start and output). Prints the wall times, the ratios against the targets
# and whether every tool got the same answers. Nothing leaves the loopback.
# Usage: bench/dns/run.sh [BUILD_DIR]      (ROUNDS=N, default 7)
# The machine may be shared: the tools take turns within each round, so that each
# round's ratios compare runs under the same load, and the medians of the rounds'
# ratios are the figures.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${1:-$ROOT/build}
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
[ -x "$BUILD/cli/zarvo-cli" ] && [ -x "$BUILD/bench/zarvo_dns_bench" ] || {
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$BUILD" --target zarvo-cli zarvo_dns_bench >/dev/null
}
CLI=$BUILD/cli/zarvo-cli
ROUNDS=${ROUNDS:-7}
for tool in dnsmasq dig dnsperf python3; do
    command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] || { echo "$tool is missing (make bench installs it)" >&2; exit 1; }
done
DNSMASQ=$(command -v dnsmasq || echo /usr/sbin/dnsmasq)

OUT=$(mktemp -d)
chmod 755 "$OUT" # dnsmasq started as root may read its files as "nobody"
DNSMASQ_PID=
cleanup() {
    [ -n "$DNSMASQ_PID" ] && kill "$DNSMASQ_PID" 2>/dev/null && wait "$DNSMASQ_PID" 2>/dev/null
    rm -rf "$OUT"
}
trap cleanup EXIT

# 10.77.0.0 to 10.77.15.255: a private range, so that dnsmasq answers the addresses
# without a name NXDOMAIN itself (--bogus-priv) instead of asking upstream. The names
# are ptr-record lines of a configuration file rather than a hosts file: dnsmasq finds
# a hosts entry by address with a walk over its whole cache (about 60 us a query for
# 3072 entries), which made the server, not the clients, the measure.
python3 - "$OUT" <<'PY'
import sys
out = sys.argv[1]
with open(f"{out}/ptr.conf", "w") as conf, open(f"{out}/addresses", "w") as addrs, \
     open(f"{out}/queries", "w") as queries, open(f"{out}/expected", "w") as expected:
    for i in range(4096):
        a = f"10.77.{i >> 8}.{i & 255}"
        addrs.write(a + "\n")
        queries.write(f"{i & 255}.{i >> 8}.77.10.in-addr.arpa PTR\n")
        if i % 4 != 3:
            conf.write(f"ptr-record={i & 255}.{i >> 8}.77.10.in-addr.arpa,host-{i}.bench.test\n")
            expected.write(f"{a},host-{i}.bench.test\n")
PY
chmod 644 "$OUT/ptr.conf"

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
"$DNSMASQ" --keep-in-foreground --conf-file="$OUT/ptr.conf" --no-resolv --no-hosts \
    --bogus-priv --listen-address=127.0.0.1 --bind-interfaces --port="$PORT" --pid-file= \
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

# Warm-up: one query of each kind, so that the first round pays no start-up cost.
dig -f "$OUT/dig-batch" > /dev/null

python3 - "$OUT" "$CLI" "$SERVER" "$PORT" "$ROUNDS" "$DNSMASQ_PID" <<'PY'
import os, re, statistics, subprocess, sys, time
out, cli, server, port, rounds, dnsmasq_pid = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5]), sys.argv[6]
N = 4096
tick = os.sysconf("SC_CLK_TCK")

def server_cpu_ms():
    f = open(f"/proc/{dnsmasq_pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(f[11]) + int(f[12])) * 1000 / tick

def timed(cmd, stdout):
    t = time.perf_counter()
    with open(stdout, "w") as o:
        subprocess.run(cmd, stdout=o, stderr=subprocess.DEVNULL, check=True, timeout=300)
    return time.perf_counter() - t

def dnsperf(q):
    r = subprocess.run(["dnsperf", "-s", "127.0.0.1", "-p", port, "-d", f"{out}/queries", "-c", "1", "-q", str(q),
                        "-n", "1", "-t", "5"], capture_output=True, text=True, timeout=300)
    qps = float(re.search(r"Queries per second:\s+([\d.]+)", r.stdout).group(1))
    codes = dict((k, int(v)) for k, v in re.findall(r"(NOERROR|NXDOMAIN) (\d+)", r.stdout))
    return qps, codes

rows = []
for i in range(rounds):
    row = {}
    row["dig"] = timed(["dig", "-f", f"{out}/dig-batch"], f"{out}/dig.out")
    row["dnsperf32"], codes32 = dnsperf(32)
    row["dnsperf100"], codes100 = dnsperf(100)
    row["one"] = timed([cli, "rdns", "-s", server, "--in-flight", "1", f"{out}/addresses"], f"{out}/z1.out")
    c0 = server_cpu_ms()
    row["dflt"] = timed([cli, "rdns", "-s", server, f"{out}/addresses"], f"{out}/z.out")
    row["server_ms"] = server_cpu_ms() - c0
    row["perf"] = max(row["dnsperf32"], row["dnsperf100"])
    rows.append(row)
    print(f"   round {i+1}: dig -f {row['dig']*1000:5.0f} ms | dnsperf -q 32 {row['dnsperf32']:6.0f} qps, -q 100 "
          f"{row['dnsperf100']:6.0f} qps | rdns --in-flight 1 {row['one']*1000:5.0f} ms, default {row['dflt']*1000:5.0f} ms "
          f"= {N/row['dflt']:5.0f} qps", flush=True)

med = lambda k: statistics.median(r[k] for r in rows)
medr = lambda f: statistics.median(f(r) for r in rows)
r1 = medr(lambda r: r["one"] / r["dig"])
rd = medr(lambda r: r["dflt"] / r["dig"])
share = medr(lambda r: (N / r["dflt"]) / r["perf"])
floor = medr(lambda r: (N / r["perf"]) / r["dig"])
ok = lambda b: "met" if b else "MISSED"
print()
print(f"== Medians of {rounds} rounds")
print(f"   dig -f {med('dig')*1000:.0f} ms; dnsperf best {med('perf'):.0f} qps; zarvo-cli rdns --in-flight 1 "
      f"{med('one')*1000:.0f} ms, default {med('dflt')*1000:.0f} ms ({N/med('dflt'):.0f} qps)")
print(f"   --in-flight 1 / dig -f:        {r1:.3f}   target <= 1.0: {ok(r1 <= 1.0)}")
print(f"   default / dig -f:              {rd:.3f}   target <= 0.2: {ok(rd <= 0.2)}")
print(f"   default rate / dnsperf's rate: {share*100:.0f} %   target >= 70 %: {ok(share >= 0.7)}")
print(f"   at dnsperf's own rate the 4096 queries take {floor:.3f} x dig -f: the server's limit for any client")
print(f"   best round: default {min(r['dflt'] for r in rows)*1000:.0f} ms = {N/min(r['dflt'] for r in rows):.0f} qps; "
      f"dnsperf {max(r['perf'] for r in rows):.0f} qps")
print(f"   dnsmasq CPU per default run: {med('server_ms'):.0f} ms ({med('server_ms')*1000/N:.0f} us per query)")

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
print(f"   dnsperf: NOERROR {codes100.get('NOERROR')}, NXDOMAIN {codes100.get('NXDOMAIN')} (expected 3072, 1024)")
for name, f in (("--in-flight 1", "z1.out"), ("default", "z.out")):
    got = open(f"{out}/{f}").read()
    print(f"   zarvo-cli rdns {name}: {got.count(chr(10))} resolved, same lines in input order: {'yes' if got == expected else 'NO'}")
PY
"$CLI" rdns -s "$SERVER" --unresolved "$OUT/unresolved" "$OUT/addresses" > /dev/null 2> "$OUT/z.err"
echo "   zarvo-cli rdns --unresolved: $(wc -l < "$OUT/unresolved") addresses; summary: $(cat "$OUT/z.err")"

echo
echo "== The batch lookup alone (no process start, no output)"
for inflight in 1 32; do
    echo "   $("$BUILD/bench/zarvo_dns_bench" "$SERVER" "$inflight" < "$OUT/addresses")"
done
