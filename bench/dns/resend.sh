#!/usr/bin/env bash
# Resends, fresh ports and many queries in flight, side by side in one run, on
# loopback only (every tool is given 127.0.0.1 and a port; the system's resolver is
# never asked):
#  1. 4096 PTR queries (3072 named, 1024 NXDOMAIN) through a relay of this folder
#     (relay.py) that loses every tenth query the first time it comes and holds each
#     answer back 20 ms, in front of one dnsmasq: zarvo-cli rdns with its defaults
#     against dig +tries=3 +time=1 -f (dig waits 1 s per try here instead of its 5 s,
#     which favours dig). dig goes one query after another: it asks every DIG_EVERY-th
#     address (default 8, the same share of losses) and its time is scaled up;
#     DIG_EVERY=1 asks all 4096 (about 8 minutes).
#  2. The same 4096 queries against the dnsmasq itself: zarvo-cli rdns at its default
#     and at --in-flight 256, against dnsperf's rate; with BASE_CLI=path also a
#     zarvo-cli built before resends and fresh ports, at the same two settings.
# Every zarvo-cli run is checked for the 3072 names in input order.
# Usage: bench/dns/resend.sh [BUILD_DIR]      (ROUNDS=N, default 5)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${1:-$ROOT/build}
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
[ -x "$BUILD/cli/zarvo-cli" ] || {
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$BUILD" --target zarvo-cli >/dev/null
}
CLI=$BUILD/cli/zarvo-cli
ROUNDS=${ROUNDS:-5}
DIG_EVERY=${DIG_EVERY:-8}
BASE_CLI=${BASE_CLI:-}
for tool in dnsmasq dig dnsperf python3; do
    command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] || { echo "$tool is missing (make bench installs it)" >&2; exit 1; }
done
DNSMASQ=$(command -v dnsmasq || echo /usr/sbin/dnsmasq)

OUT=$(mktemp -d)
chmod 755 "$OUT" # dnsmasq started as root may read its files as "nobody"
PIDS=()
cleanup() {
    for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null && wait "$p" 2>/dev/null; done
    rm -rf "$OUT"
}
trap cleanup EXIT

# 10.77.0.0 to 10.77.15.255 as in run.sh: ptr-record lines, the unnamed ones NXDOMAIN.
python3 - "$OUT" "$DIG_EVERY" <<'PY'
import sys
out, every = sys.argv[1], int(sys.argv[2])
with open(f"{out}/ptr.conf", "w") as conf, open(f"{out}/addresses", "w") as addrs, \
     open(f"{out}/queries", "w") as queries, open(f"{out}/expected", "w") as expected, \
     open(f"{out}/sample", "w") as sample:
    for i in range(4096):
        a = f"10.77.{i >> 8}.{i & 255}"
        addrs.write(a + "\n")
        queries.write(f"{i & 255}.{i >> 8}.77.10.in-addr.arpa PTR\n")
        # One address in each block of every, named and unnamed ones in their share.
        if every == 1 or i % every == (i // every) % min(every, 4):
            sample.write(f"{i & 255}.{i >> 8}.77.10.in-addr.arpa\n")
        if i % 4 != 3:
            conf.write(f"ptr-record={i & 255}.{i >> 8}.77.10.in-addr.arpa,host-{i}.bench.test\n")
            expected.write(f"{a},host-{i}.bench.test\n")
PY
chmod 644 "$OUT/ptr.conf"

free_port() {
    python3 -c 'import socket
for _ in range(20):
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); u.bind(("127.0.0.1", 0)); p = u.getsockname()[1]
    t = socket.socket()
    try:
        t.bind(("127.0.0.1", p)); print(p); break
    except OSError: pass
    finally: t.close(); u.close()'
}
PORT=$(free_port)
USER_ARG=()
[ "$(id -u)" -eq 0 ] && USER_ARG=(--user=root)
"$DNSMASQ" --keep-in-foreground --conf-file="$OUT/ptr.conf" --no-resolv --no-hosts \
    --bogus-priv --listen-address=127.0.0.1 --bind-interfaces --port="$PORT" --pid-file= \
    --log-facility="$OUT/dnsmasq.log" "${USER_ARG[@]}" &
PIDS+=($!)
for _ in $(seq 50); do
    dig @127.0.0.1 -p "$PORT" +tries=1 +time=1 +short -x 10.77.0.0 2>/dev/null | grep -q bench.test && break
    sleep 0.1
done

echo "== Machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg); dnsmasq on 127.0.0.1:$PORT"
python3 - "$OUT" "$CLI" "$PORT" "$ROUNDS" "$DIG_EVERY" "$BASE_CLI" "$ROOT/bench/dns/relay.py" <<'PY'
import os, re, statistics, subprocess, sys, time
out, cli, port, rounds, every, base, relay_py = sys.argv[1:8]
rounds, every = int(rounds), int(every)
N = 4096
server = f"127.0.0.1:{port}"
expected = open(f"{out}/expected").read()

def free_port():
    import socket
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); p = s.getsockname()[1]; s.close()
    return p

def start_relay():
    p = free_port()
    r = subprocess.Popen([sys.executable, relay_py, str(p), port, "20", "10"], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)
    assert r.stdout.readline().strip() == "ready"
    return r, p

def stop_relay(r):
    r.terminate()
    return r.communicate(timeout=30)[1].strip()

def rdns(binary, srv, *args):
    t = time.perf_counter()
    r = subprocess.run([binary, "rdns", "-s", srv, *args, f"{out}/addresses"], capture_output=True, text=True,
                       timeout=600)
    dt = time.perf_counter() - t
    return dt, r.stdout == expected, r.stdout.count("\n"), r.stderr.strip()

def dnsperf(q):
    r = subprocess.run(["dnsperf", "-s", "127.0.0.1", "-p", port, "-d", f"{out}/queries", "-c", "1", "-q", str(q),
                        "-n", "1", "-t", "5"], capture_output=True, text=True, timeout=300)
    qps = float(re.search(r"Queries per second:\s+([\d.]+)", r.stdout).group(1))
    lost = int(re.search(r"Queries lost:\s+(\d+)", r.stdout).group(1))
    return qps, lost

def dig_through(relay_port):
    with open(f"{out}/dig-batch", "w") as f:
        for name in open(f"{out}/sample"):
            f.write(f"@127.0.0.1 -p {relay_port} +tries=3 +time=1 +noall +answer {name.strip()} PTR\n")
    t = time.perf_counter()
    r = subprocess.run(["dig", "-f", f"{out}/dig-batch"], capture_output=True, text=True, timeout=3600)
    dt = time.perf_counter() - t
    named = sum(1 for line in r.stdout.splitlines() if "\tPTR\t" in line or " PTR " in line)
    return dt, named

ok = lambda b: "met" if b else "MISSED"
rows = []
print(f"== Against dnsmasq directly, {rounds} rounds (each: dnsperf -q 32 and -q 256, then zarvo-cli rdns)")
for i in range(rounds):
    row = {}
    row["perf32"], lost32 = dnsperf(32)
    row["perf256"], lost256 = dnsperf(256)
    row["perf"] = max(row["perf32"], row["perf256"])
    runs = [("dflt", cli, ()), ("w256", cli, ("--in-flight", "256"))]
    if base:
        runs += [("base", base, ()), ("base256", base, ("--in-flight", "256"))]
    text = []
    for key, binary, args in runs:
        dt, same, named, err = rdns(binary, server, *args)
        row[key], row[key + "_same"], row[key + "_named"] = dt, same, named
        text.append(f"{key} {dt*1000:4.0f} ms {'all names' if same else f'{named} names, LOST {3072-named}'}")
    rows.append(row)
    print(f"   round {i+1}: dnsperf -q 32 {row['perf32']:6.0f} qps (lost {lost32}), -q 256 {row['perf256']:6.0f} qps "
          f"(lost {lost256}) | " + " | ".join(text), flush=True)

med = lambda k: statistics.median(r[k] for r in rows)
medr = lambda f: statistics.median(f(r) for r in rows)
print()
print(f"== Medians of {rounds} rounds")
for key, label in (("dflt", "default (32 in flight)"), ("w256", "--in-flight 256")):
    share = medr(lambda r: (N / r[key]) / r["perf"])
    allnames = all(r[key + "_same"] for r in rows)
    print(f"   zarvo-cli rdns {label}: {med(key)*1000:.0f} ms = {N/med(key):.0f} qps, {share*100:.0f} % of dnsperf's best "
          f"({med('perf'):.0f} qps)   target >= 70 %: {ok(share >= 0.7)}; every name in every round: "
          f"{'yes' if allnames else 'NO'}")
r256 = medr(lambda r: r["w256"] / r["dflt"])
print(f"   --in-flight 256 / default: {r256:.3f}   target <= 1 (not slower): {ok(r256 <= 1.0)}")
if base:
    cost = medr(lambda r: r["dflt"] / r["base"])
    print(f"   before the change: default {med('base')*1000:.0f} ms, --in-flight 256 {med('base256')*1000:.0f} ms "
          f"(names lost at 256 per round: {', '.join(str(3072 - r['base256_named']) for r in rows)})")
    print(f"   default now / default before: {cost:.3f}   target <= 1.10: {ok(cost <= 1.10)}")

print()
print("== Through the relay (every tenth query lost the first time, each answer 20 ms late)")
times = []
for i in range(rounds):
    relay, relay_port = start_relay()
    zt, zsame, znamed, zerr = rdns(cli, f"127.0.0.1:{relay_port}")
    counts = stop_relay(relay)
    times.append(zt)
    print(f"   round {i+1}: zarvo-cli rdns (defaults) {zt*1000:.0f} ms, {znamed} names, every name in input order: "
          f"{'yes' if zsame else 'NO'}; {zerr}; relay: {counts}", flush=True)
zt = statistics.median(times)
print(f"   median: {zt*1000:.0f} ms")
relay, relay_port = start_relay()
try:
    dt, dnamed = dig_through(relay_port)
    counts = stop_relay(relay)
    asked = sum(1 for _ in open(f"{out}/sample"))
    scaled = dt * N / asked
    named = sum(1 for l in open(f"{out}/sample") if (int(l.split(".")[1]) * 256 + int(l.split(".")[0])) % 4 != 3)
    print(f"   dig +tries=3 +time=1 -f on {asked} of the {N} addresses: {dt:.1f} s, {dnamed} of {named} names; "
          f"relay: {counts}")
    print(f"   dig for all {N}, scaled: {scaled:.0f} s" + ("" if every == 1 else f" (x {N/asked:.0f})"))
    print(f"   zarvo-cli / dig: {zt/scaled:.4f}   target <= 0.1: {ok(zt/scaled <= 0.1)}")
finally:
    if relay.poll() is None:
        relay.kill()
PY
