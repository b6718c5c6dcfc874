#!/usr/bin/env python3
"""Cross-checks generate --ipv6-lower against Python's ipaddress module.

For IPv6 ranges whose addresses hold every hexadecimal letter, the lines must be the
addresses ipaddress enumerates, in order, with no upper-case letter, and each the
upper-case line of a run without the option, lowered. Where the zero groups are
shortened alike (RFC 5952 shortens the longest run, the program the first), the text is
Python's own.
"""
import ipaddress
import subprocess
import sys

CLI = sys.argv[1]
RANGES = ["fd00:abcd:ef01::/120", "2001:db8:0:0:1::ff00/120", "::/126", "1:0:2::abc0/124", "FEDC:BA98::/122"]


def generate(*args):
    r = subprocess.run([CLI, "generate", *args], capture_output=True, text=True)
    if r.returncode != 0:
        sys.exit("zarvo-cli generate %s: exit %d %s" % (" ".join(args), r.returncode, r.stderr))
    return r.stdout.splitlines()


def main():
    failures = []
    same_as_python = 0
    for net in RANGES:
        lower = generate("--ipv6-lower", net)
        upper = generate(net)
        want = list(ipaddress.ip_network(net.lower(), strict=False))
        if [ipaddress.IPv6Address(l) for l in lower] != want:
            failures.append("%s: the lines are not the network's addresses in order" % net)
        failures += ["%s: %r has upper case" % (net, l) for l in lower if l != l.lower()]
        if lower != [u.lower() for u in upper]:
            failures.append("%s: the lines are not the upper-case ones lowered" % net)
        same_as_python += sum(l == str(a) for l, a in zip(lower, want))
    if same_as_python == 0:
        failures.append("no line is written as Python writes it")
    for f in failures:
        print(f)
    sys.exit(1 if failures else 0)


main()
