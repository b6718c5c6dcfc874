#!/usr/bin/env python3
"""Cross-checks `zarvo-cli generate --country DB --field PATH` and `--only-country` against
python3-maxminddb over the MaxMind DB test databases: the column of every line is the
record's value at the path (as `lookup --field` prints it; empty where the record lacks it
or the address lies in no network); with --only-country every line's address lies in a
chosen country, an in-order run of a small range holds exactly the addresses of the full
list that Python places there, the counts count kept addresses, random order yields kept
addresses alone, and the shards of a run make its lines."""
import ipaddress
import os
import random
import subprocess
import sys

from mmdb_values import at_path, code_of, maxminddb, paths_of, python_networks, same_field

CLI = sys.argv[1]
HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.normpath(os.path.join(HERE, "..", "data", "mmdb"))
rng = random.Random(20261212)
failures = []
FIELD_DBS = ["GeoIP2-City-Test.mmdb", "GeoIP2-Enterprise-Test.mmdb", "GeoLite2-ASN-Test.mmdb",
             "GeoIP2-ISP-Test.mmdb", "GeoIP2-Country-Test.mmdb", "MaxMind-DB-test-decoder.mmdb"]
COUNTRY_DBS = ["GeoIP2-City-Test.mmdb", "GeoIP2-Country-Test.mmdb", "GeoLite2-City-Test.mmdb",
               "GeoIP2-Enterprise-Test.mmdb"]


def run(args):
    return subprocess.run([CLI, "generate"] + args, capture_output=True, text=True)


def lines_of(p, what):
    if p.returncode != 0:
        failures.append(f"{what}: rc {p.returncode}: {p.stderr[:300]}")
        return []
    return p.stdout.splitlines()


def block_around(net, bits):
    """A block of 2^bits addresses that holds net's first address."""
    width = net.max_prefixlen
    return ipaddress.ip_network((int(net.network_address) >> bits << bits, width - bits))


def check_fields(name, db, reader, nets):
    paths = sorted({p for _, rec in nets[:300] for p in paths_of(rec)})
    rng.shuffle(paths)
    cases = 0
    for path in paths[:8] + ["no_such_key", "subdivisions.3.iso_code"]:
        net, _ = rng.choice(nets)
        block = block_around(net, min(6, net.max_prefixlen - 1))
        for extra in ([], ["--random", "--total", "20", "--seed", "5"]):
            p = run(["--country", db, "--field", path] + extra + [str(block)])
            for line in lines_of(p, f"{name} --field {path}"):
                addr, text = line.split(" ", 1)
                want = reader.get(addr)
                ok = text == "" if want is None else same_field(text, at_path(want, path))
                cases += 1
                if not ok:
                    failures.append(f"{name}: {addr} {path}: {text[:80]!r}, python {at_path(want, path)!r:.80}")
    return cases


def kept_addresses(reader, block, codes):
    return [a for a in block if code_of(reader.get(str(a))) in codes]


def address(line):
    """A line's address as a value (the text of IPv6 differs from Python's)."""
    return ipaddress.ip_address(line.split(" ")[0])


def check_only_country(name, db, reader, nets):
    codes = sorted({code_of(r) for _, r in nets} - {""})
    if not codes:
        return 0
    checks = 0
    for _ in range(3):
        chosen = rng.sample(codes, min(len(codes), rng.choice([1, 2])))
        # A small range about a network of a chosen country, so that it holds some.
        net = rng.choice([n for n, r in nets if code_of(r) in chosen])
        block = block_around(net, min(8, net.max_prefixlen - 1))
        want = kept_addresses(reader, block, chosen)
        only = ["--country", db, "--only-country", ",".join(c.lower() for c in chosen)]
        plain = [address(line) for line in lines_of(run(only + [str(block)]), f"{name} {block}")]
        # Exactly the full list filtered, in its order.
        full = [line.split(" ") for line in lines_of(run(["--country", db, str(block)]), f"{name} {block}")]
        filtered = [ipaddress.ip_address(a) for a, c in full if c in chosen]
        if plain != want or plain != filtered:
            failures.append(f"{name} {chosen} {block}: {len(plain)} lines, python {len(want)}, "
                            f"filtered {len(filtered)}")
        # The counts count kept addresses; random order yields kept ones alone.
        n = max(1, len(want) // 2)
        rand = lines_of(run(only + ["--random", "--total", str(n), "--seed", "9", str(block)]), name)
        got = [address(line) for line in rand]
        if len(got) != min(n, len(want)) or len(set(got)) != len(got) or not set(got) <= set(want):
            failures.append(f"{name} {chosen} {block}: random total {n}: {len(got)} lines, some not kept")
        count = lines_of(run(only + ["--count-only", "--usable", str(block)]), name)
        usable = [a for a in want if a not in (block.network_address, block.broadcast_address)]
        if count != [str(len(usable))]:
            failures.append(f"{name} {chosen} {block}: --count-only --usable {count}, python {len(usable)}")
        # The shards of a random run hold its lines, each once.
        whole = [line for line in lines_of(run(only + ["--random", "--seed", "3", str(block)]), name)]
        shards = []
        for i in range(1, 4):
            shards += lines_of(run(only + ["--random", "--seed", "3", "--shard", f"{i}/3", str(block)]), name)
        if sorted(shards) != sorted(whole) or sorted(map(address, whole)) != want:
            failures.append(f"{name} {chosen} {block}: shards {len(shards)} lines, the run {len(whole)}")
        # Over a larger range, drawn from every kept block: each line in a chosen country.
        wide = block_around(net, min(20, net.max_prefixlen - 1))
        for line in lines_of(run(only + ["--random", "--total", "300", "--field", "country.iso_code", str(wide)]), name):
            addr, code = line.split(" ")
            if code not in chosen or code_of(reader.get(str(ipaddress.ip_address(addr)))) not in chosen:
                failures.append(f"{name} {chosen}: {addr} is in {code_of(reader.get(addr))!r}")
                break
        checks += 1
    return checks


fields = countries = 0
for name in FIELD_DBS:
    db = os.path.join(DATA, name)
    reader = maxminddb.open_database(db, maxminddb.MODE_MEMORY)
    fields += check_fields(name, db, reader, python_networks(reader))
for name in COUNTRY_DBS:
    db = os.path.join(DATA, name)
    reader = maxminddb.open_database(db, maxminddb.MODE_MEMORY)
    countries += check_only_country(name, db, reader, python_networks(reader))

# Usage errors name what is wrong.
for args, says in ((["--country", "x.mmdb", "--only-country", "DE,D1", "10.0.0.0/30"], "'D1'"),
                   (["--country", "x.mmdb", "--only-country", "", "10.0.0.0/30"], "needs a value"),
                   (["--country", "x.mmdb", "--field", "a..b", "10.0.0.0/30"], "'a..b'"),
                   (["--only-country", "DE", "10.0.0.0/30"], "--only-country goes with --country"),
                   (["--field", "city.names.en", "10.0.0.0/30"], "--field goes with --country")):
    p = run(args)
    if p.returncode != 2 or says not in p.stderr:
        failures.append(f"{args}: rc {p.returncode}, want 2 and {says}: {p.stderr[:200]}")

print(f"{fields} column values, {countries} country filters compared")
if fields < 500 or countries < 8:
    failures.append(f"too few comparisons: {fields} values, {countries} filters")
for f in failures[:40]:
    print("FAIL", f)
sys.exit(1 if failures else 0)
