#!/usr/bin/env python3
"""Cross-checks `zarvo-cli lookup --field/--network`, `zarvo-cli mmdb --all` and
`zarvo-cli mmdb --networks --country` against independent readers, over the MaxMind DB
test databases: python3-maxminddb for the fields' values, the prefix length and the
network column of random and in-network addresses, for the full walks (every network,
in order, with its country code) and for a country's blocks (compared with
ipaddress.collapse_addresses of the networks Python finds in those countries); the Perl
MaxMind::DB::Reader for the full walks."""
import ipaddress
import os
import random
import subprocess
import sys

from mmdb_values import MISSING, at_path, code_of, maxminddb, paths_of, python_networks, same_field

CLI = sys.argv[1]
HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.normpath(os.path.join(HERE, "..", "data", "mmdb"))
rng = random.Random(20261211)
failures = []
# Files whose records are no maps, or which do not open: the other tests cover them.
SKIP = {"MaxMind-DB-no-ipv4-search-tree.mmdb", "MaxMind-DB-string-value-entries.mmdb",
        "GeoIP2-City-Test-Invalid-Node-Count.mmdb", "MaxMind-DB-test-broken-pointers-24.mmdb",
        "MaxMind-DB-test-broken-search-tree-24.mmdb", "GeoIP2-City-Test-Broken-Double-Format.mmdb",
        "MaxMind-DB-test-metadata-pointers.mmdb"}
PERL_WALK = r'''
use strict; use warnings;
use MaxMind::DB::Reader;
my $r = MaxMind::DB::Reader->new(file => $ARGV[0]);
$r->iterate_search_tree(sub {
    my ($ip, $mask, $data) = @_;
    my $code = '';
    $code = $data->{country}{iso_code} // '' if ref $data eq 'HASH' && ref $data->{country} eq 'HASH';
    print "$ip $mask $code\n";
});
'''


def run(args, stdin=None):
    return subprocess.run([CLI] + args, input=stdin, capture_output=True, text=True)


def check_fields(name, db, reader, nets):
    meta = reader.metadata()
    records = [rec for _, rec in nets[:400]]
    paths = sorted({p for rec in records for p in paths_of(rec)})
    rng.shuffle(paths)
    paths = paths[:12] + ["no_such_key", "country.names.xx", "subdivisions.7.iso_code"]
    addrs = []
    for net, _ in rng.sample(nets, min(len(nets), 200)):
        addrs.append(str(net[rng.randrange(net.num_addresses)]))
    addrs += [str(ipaddress.IPv4Address(rng.getrandbits(32))) for _ in range(60)]
    if meta.ip_version == 6:
        addrs += [str(ipaddress.IPv6Address(rng.getrandbits(128))) for _ in range(30)]
    addrs = [ipaddress.ip_address(a).compressed for a in addrs]
    args = ["lookup", "--network"]
    for p in paths:
        args += ["--field", p]
    p = run(args + [db, "-"], "\n".join(addrs) + "\n")
    lines = p.stdout.splitlines()
    if p.returncode != 0 or len(lines) != len(addrs):
        failures.append(f"{name}: --field rc {p.returncode}, {len(lines)} lines for {len(addrs)}: {p.stderr[:200]}")
        return 0
    compared = 0
    for a, line in zip(addrs, lines):
        cols = line.split("\t")
        rec, prefix = reader.get_with_prefix_len(a)
        want_net = ipaddress.ip_network((a, prefix), strict=False)
        # Compared as values: an IPv4 address found through an IPv6 tree has an IPv4 network.
        if ipaddress.ip_address(cols[0]) != ipaddress.ip_address(a) or ipaddress.ip_network(cols[1]) != want_net:
            failures.append(f"{name}: {a}: network {cols[1]}, python {want_net}")
        for path, text in zip(paths, cols[2:]):
            compared += 1
            if rec is None:
                ok = text == "-"
            else:
                ok = same_field(text, at_path(rec, path))
            if not ok:
                failures.append(f"{name}: {a} {path}: {text[:120]!r}, python {at_path(rec, path)!r:.120}")
    # The same lines from arguments as from standard input.
    q = run(args + [db] + addrs[:50])
    if q.stdout.splitlines() != lines[:50]:
        failures.append(f"{name}: --field from arguments differs from standard input")
    return compared


def our_rows(name, db):
    p = run(["mmdb", "--all", db])
    if p.returncode != 0:
        failures.append(f"{name}: mmdb --all rc {p.returncode}: {p.stderr[:200]}")
        return []
    rows = []
    for line in p.stdout.splitlines():
        cells = line.split(",")
        if "/" in cells[0] and ":" in cells[0] or cells[0][:1].isdigit() and "/" in cells[0]:
            rows.append((ipaddress.ip_network(cells[0]), cells[3]))
    return rows


def check_walk(name, db, nets, rows, ip_version):
    want = [(n, code_of(r)) for n, r in nets]
    if rows != want:
        diff = next((k for k, (x, y) in enumerate(zip(rows, want)) if x != y), min(len(rows), len(want)))
        failures.append(f"{name}: --all: {len(rows)} rows, python {len(want)}; first difference at {diff}: "
                        f"{rows[diff:diff + 1]} vs {want[diff:diff + 1]}")
    # The Perl reader walks every branch, the IPv4 tree's aliases included.
    p = subprocess.run(["perl", "-e", PERL_WALK, db], capture_output=True, text=True)
    if p.returncode != 0:
        failures.append(f"{name}: perl: {p.stderr[:200]}")
        return
    perl, aliases = [], []
    # The branches a database writer points back into the IPv4 tree, with the shift that
    # brings an address of each to its IPv4 address: IPv4-mapped, Teredo, 6to4.
    aliases_of = [(ipaddress.ip_network("::ffff:0:0/96"), 0), (ipaddress.ip_network("2001::/32"), 64),
                  (ipaddress.ip_network("2002::/16"), 80)]
    alias_nets = [a for a, _ in aliases_of]
    for line in p.stdout.splitlines():
        ip, mask, code = (line.split(" ") + [""])[:3]
        ip, mask = int(ip), int(mask)
        if ip_version == 6:
            net = ipaddress.IPv6Network((ip, mask))
            if ip < 2 ** 32 and mask >= 96:
                net = ipaddress.IPv4Network((ip, mask - 96))
            elif any(net.subnet_of(a) for a in alias_nets if net.prefixlen >= a.prefixlen):
                aliases.append(net)
                continue
        else:
            net = ipaddress.IPv4Network((ip, mask))
        perl.append((net, code))
    if rows != perl:
        failures.append(f"{name}: --all has {len(rows)} rows, the Perl walk {len(perl)} (without aliases)")
    ours = {n for n, _ in rows}
    for a in aliases:  # each alias network is an IPv4 network of ours (or a part of one)
        base, shift = next((b, sh) for b, sh in aliases_of if a.subnet_of(b))
        if a.prefixlen > base.prefixlen + 32:
            continue
        v4 = ipaddress.IPv4Network(((int(a.network_address) >> shift) & 0xFFFFFFFF, a.prefixlen - base.prefixlen))
        if not any(v4.subnet_of(n) for n in ours if n.version == 4 and n.prefixlen <= v4.prefixlen):
            failures.append(f"{name}: the Perl walk's alias {a} is no IPv4 network of ours ({v4})")
            break


def check_blocks(name, db, nets):
    codes = sorted({code_of(r) for _, r in nets} - {""})
    if not codes:
        return 0
    chosen = rng.sample(codes, min(2, len(codes)))
    for family, flag in (("both", []), (4, ["--ipv4"]), (6, ["--ipv6"])):
        p = run(["mmdb", "--networks", "--country", ",".join(c.lower() for c in chosen)] + flag + [db])
        got = [ipaddress.ip_network(x) for x in p.stdout.split()]
        want = []
        for v in (4, 6):
            if family in ("both", v):
                want += list(ipaddress.collapse_addresses(
                    [n for n, r in nets if n.version == v and code_of(r) in chosen]))
        if p.returncode != 0 or got != want:
            failures.append(f"{name}: --networks --country {chosen} {flag}: {len(got)} blocks, python "
                            f"{len(want)}: {p.stderr[:200]} {got[:3]} {want[:3]}")
    return len(chosen)


fields = walks = countries = 0
for name in sorted(os.listdir(DATA)):
    if not name.endswith(".mmdb") or name in SKIP:
        continue
    db = os.path.join(DATA, name)
    reader = maxminddb.open_database(db, maxminddb.MODE_MEMORY)
    nets = python_networks(reader)
    if not nets:
        continue
    fields += check_fields(name, db, reader, nets)
    check_walk(name, db, nets, our_rows(name, db), reader.metadata().ip_version)
    walks += 1
    countries += check_blocks(name, db, nets)
    print(f"{name}: {len(nets)} networks")

# Usage errors.
for args in (["lookup", "--field", "a..b", "x.mmdb", "1.2.3.4"], ["lookup", "--json", "--field", "a", "x.mmdb", "-"],
             ["mmdb", "--networks", "x.mmdb"], ["mmdb", "--country", "DE", "x.mmdb"],
             ["mmdb", "--networks", "--country", "DEU", "x.mmdb"], ["mmdb", "--ipv4", "x.mmdb"]):
    p = run(args)
    if p.returncode != 2:
        failures.append(f"{args}: rc {p.returncode}, want 2: {p.stderr[:200]}")

print(f"{fields} field values, {walks} full walks (Python and Perl), {countries} country block lists compared")
if fields < 5000 or walks < 20:
    failures.append(f"too few comparisons: {fields} fields, {walks} walks")
for f in failures[:40]:
    print("FAIL", f)
sys.exit(1 if failures else 0)
