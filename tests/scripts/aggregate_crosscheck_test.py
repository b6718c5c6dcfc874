#!/usr/bin/env python3
"""zarvo-cli aggregate against Python's ipaddress on random IPv4 and IPv6 sets.

Each round writes two random lists (addresses, CIDR blocks with their host bits
set or not, A-B ranges, comments and blanks, both families mixed) and compares:
the union with collapse_addresses, --except with address_exclude, --common with
the overlapping blocks, --ranges with the merged blocks and --count with the sum of
num_addresses. The addresses are drawn near each other so that the lists overlap,
touch and nest, now and then from the whole space, and at its two ends.
"""
import ipaddress
import os
import random
import subprocess
import sys
import tempfile

CLI = sys.argv[1]
ROUNDS = 12


def random_value(rng, family):
    width = 32 if family == 4 else 128
    if rng.random() < 0.1:
        return rng.getrandbits(width)
    if rng.random() < 0.05:
        # The ends of the space, where a last address + 1 would wrap.
        edge = rng.getrandbits(8)
        return edge if rng.random() < 0.5 else 2**width - 1 - edge
    # A small neighbourhood, so that entries overlap: 10.0.0.0/18 or fd00::/118.
    base = int(ipaddress.ip_address("10.0.0.0" if family == 4 else "fd00::"))
    return base + rng.getrandbits(14 if family == 4 else 10)


def random_entry(rng):
    """One line and the networks it stands for."""
    family = rng.choice((4, 6))
    width = 32 if family == 4 else 128
    make = ipaddress.IPv4Address if family == 4 else ipaddress.IPv6Address
    value = random_value(rng, family)
    kind = rng.random()
    if kind < 0.4:
        return str(make(value)), [ipaddress.ip_network(make(value))]
    if kind < 0.75:
        prefix = rng.choice([0, 1, 8, 16]) if rng.random() < 0.02 else rng.randint(width - 12, width)
        net = ipaddress.ip_network("%s/%d" % (make(value), prefix), strict=False)
        # The block's address as written may be any address inside it.
        return "%s/%d" % (make(value), prefix), [net]
    high = min(value + rng.getrandbits(rng.randint(0, 12)), 2**width - 1)
    return "%s-%s" % (make(value), make(high)), list(ipaddress.summarize_address_range(make(value), make(high)))


def random_list(rng, n):
    lines, nets = ["# a random list"], []
    for _ in range(n):
        if rng.random() < 0.03:
            lines.append(rng.choice(["", "   ", "# note"]))
            continue
        line, ns = random_entry(rng)
        if rng.random() < 0.1:
            line = " %s  # comment" % line
        lines.append(line)
        nets.extend(ns)
    return "\n".join(lines) + "\n", nets


def collapse(nets):
    v4 = [n for n in nets if n.version == 4]
    v6 = [n for n in nets if n.version == 6]
    return list(ipaddress.collapse_addresses(v4)) + list(ipaddress.collapse_addresses(v6))


def exclude(a, b):
    """a less b, both collapsed: two CIDR blocks are apart or one holds the other."""
    result = list(a)
    for cut in b:
        kept = []
        for net in result:
            if net.version != cut.version or not net.overlaps(cut):
                kept.append(net)
            elif not net.subnet_of(cut):
                kept.extend(net.address_exclude(cut))
        result = kept
    return collapse(result)


def common(a, b):
    found = []
    for x in a:
        for y in b:
            if x.version == y.version and x.overlaps(y):
                found.append(x if x.subnet_of(y) else y)
    return collapse(found)


def ranges(nets):
    out = []
    for n in nets:
        if out and out[-1][1].version == n.version and int(out[-1][1]) + 1 == int(n.network_address):
            out[-1][1] = n.broadcast_address
        else:
            out.append([n.network_address, n.broadcast_address])
    return ["%s-%s" % (low, high) for low, high in out]


def run(*args):
    r = subprocess.run([CLI, "aggregate", *args], capture_output=True, text=True)
    if r.returncode != 0:
        sys.exit("zarvo-cli aggregate %s: exit %d: %s" % (" ".join(args), r.returncode, r.stderr))
    return r.stdout.splitlines()


def main():
    failures = []

    def check(what, got, want):
        if got != want:
            extra = sorted(set(got) - set(want))[:5]
            missing = sorted(set(want) - set(got))[:5]
            failures.append("%s: %d lines, expected %d; extra %s, missing %s" % (what, len(got), len(want), extra, missing))

    with tempfile.TemporaryDirectory(prefix="zarvo-aggregate-") as tmp:
        for round_ in range(ROUNDS):
            rng = random.Random(1000 + round_)
            text_a, nets_a = random_list(rng, rng.choice([50, 400, 2000]))
            text_b, nets_b = random_list(rng, rng.choice([50, 400]))
            path_a, path_b = os.path.join(tmp, "a.txt"), os.path.join(tmp, "b.txt")
            with open(path_a, "w") as f:
                f.write(text_a)
            with open(path_b, "w") as f:
                f.write(text_b)
            a, b = collapse(nets_a), collapse(nets_b)
            name = "round %d" % round_
            check(name + " union", run(path_a), [str(n) for n in a])
            check(name + " union of two files", run(path_a, path_b), [str(n) for n in collapse(nets_a + nets_b)])
            check(name + " --except", run("--except", path_b, path_a), [str(n) for n in exclude(a, b)])
            check(name + " --common", run("--common", path_b, path_a), [str(n) for n in common(a, b)])
            check(name + " --ranges", run("--ranges", path_a), ranges(a))
            check(name + " --count", run("--count", path_a), [str(sum(n.num_addresses for n in a))])
            check(name + " --count --except", run("--count", "--except", path_b, path_a),
                  [str(sum(n.num_addresses for n in exclude(a, b)))])

    for f in failures:
        print(f)
    print("%d rounds, %d failures" % (ROUNDS, len(failures)))
    sys.exit(1 if failures else 0)


main()
