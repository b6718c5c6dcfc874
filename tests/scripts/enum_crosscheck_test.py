#!/usr/bin/env python3
"""Cross-checks enumeration against Python's ipaddress module.

For random IPv4 and IPv6 ranges, with and without a sub-prefix and with and
without usable hosts, the command line must produce exactly the addresses that
an independent computation gives, in ascending field order (and as the same set
in random order).
"""
import ipaddress
import random
import subprocess
import sys
import tempfile

CLI = sys.argv[1]
rng = random.Random(20261210)


def expected(addr, p, s, usable):
    width = addr.max_prefixlen
    value = int(addr)
    field_bits = s - p
    low_bits = width - s
    keep_mask = ((1 << width) - 1) ^ (((1 << field_bits) - 1) << low_bits)
    base = value & keep_mask
    out = [base | (i << low_bits) for i in range(1 << field_bits)]
    if usable:
        first, last = out[0], out[-1]
        out = [a for a in out if a != first and a != last]
    return [ipaddress.ip_address(a) if width == 32 else ipaddress.IPv6Address(a) for a in out]


def run(lines, *opts):
    with tempfile.NamedTemporaryFile("w", suffix=".txt") as f:
        f.write("\n".join(lines) + "\n")
        f.flush()
        res = subprocess.run([CLI, "generate", "-r", f.name, *opts], capture_output=True, text=True)
    if res.returncode != 0:
        raise AssertionError(f"zarvo-cli failed: {res.stderr}")
    return res.stdout.splitlines()


def random_case(v6):
    width = 128 if v6 else 32
    addr = rng.getrandbits(width)
    span = rng.randint(0, 10)
    if rng.random() < 0.5:  # a plain prefix
        p = rng.randint(width - span, width)
        s = width
    else:  # a sub-prefix somewhere inside
        p = rng.randint(0, width - span)
        s = p + span
    ip = ipaddress.IPv6Address(addr) if v6 else ipaddress.IPv4Address(addr)
    return ip, p, s


def main():
    failures = 0
    checked = 0
    for v6 in (False, True):
        for _ in range(150):
            ip, p, s = random_case(v6)
            width = ip.max_prefixlen
            line = f"{ip}/{p}" + (f"/{s}" if s != width else "")
            for usable in (False, True):
                want = expected(ip, p, s, usable)
                opts = ["--usable"] if usable else []
                got = [ipaddress.ip_address(t) for t in run([line], *opts)]
                if got != want:
                    failures += 1
                    print(f"MISMATCH {line} usable={usable}: got {len(got)} want {len(want)}")
                shuffled = [ipaddress.ip_address(t) for t in run([line], "--random", *opts)]
                if sorted(shuffled) != sorted(want):
                    failures += 1
                    print(f"MISMATCH (random) {line} usable={usable}")
                checked += 2
    # IPv6 text: upper-case hexadecimal, first zero run compressed.
    text = run(["2001:db8:0:0:1:0:0:1"])[0]
    if text != "2001:DB8::1:0:0:1":
        failures += 1
        print(f"MISMATCH text {text}")
    print(f"{checked - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
