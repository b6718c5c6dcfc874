#!/usr/bin/env python3
"""Cross-checks `zarvo-cli lookup` and `zarvo-cli mmdb` against libmaxminddb (through
python3-maxminddb's C extension) and the package's pure-Python reader, over the
MaxMind DB test databases: for random and for in-network IPv4/IPv6 addresses the
same found/not-found outcome, prefix length and country code, or an error on both
sides for the intentionally broken files."""
import ipaddress
import json
import os
import random
import subprocess
import sys

try:
    import maxminddb
except ImportError:  # a python3 outside Debian's (pyenv, venv) does not see the package
    sys.path.append("/usr/lib/python3/dist-packages")
    import maxminddb

CLI = sys.argv[1]
HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.normpath(os.path.join(HERE, "..", "data", "mmdb"))
rng = random.Random(20261210)
failures = []

# Seeds inside the networks of the IPv6 test trees.
V6_SEEDS = ["::1:ffff:ffff", "::2:0:0", "::2:0:40", "::2:0:50", "::2:0:58", "2001:218::", "2001:220::",
            "2001:230::", "2001:480::", "2a02:d3c0::", "2c0f:ff00::", "2001:1700::", "2a02:cf40::", "2a02:ec0::"]


def readers(path):
    out = []
    for mode in (maxminddb.MODE_MMAP_EXT, maxminddb.MODE_MEMORY):
        try:
            out.append(maxminddb.open_database(path, mode))
        except ImportError:
            continue  # no C extension: the pure reader alone
    return out


def reference(rdrs, addr):
    """(found, prefix, code) or ("error",) - the readers must agree with each other."""
    results = set()
    for r in rdrs:
        try:
            rec, prefix = r.get_with_prefix_len(addr)
        except (maxminddb.InvalidDatabaseError, IndexError, ValueError, TypeError):
            results.add(("error",))
            continue
        if rec is None:
            results.add((False, prefix, ""))
        else:
            code = ""
            if isinstance(rec, dict) and isinstance(rec.get("country"), dict):
                code = rec["country"].get("iso_code", "")
            results.add((True, prefix, code))
    if len(results) != 1:
        return None  # the references disagree: no verdict
    return results.pop()


# The keys of the record classes that --json prints, as the decoder fills them: a
# record prints the keys of its class that the database holds, and nothing else.
NAMES = {"names": None}
COUNTRY = {"geoname_id": None, "iso_code": None, "is_in_european_union": None, **NAMES}
COUNTRY_RECORD = {"continent": {"code": None, "geoname_id": None, **NAMES}, "country": COUNTRY,
                  "registered_country": COUNTRY, "represented_country": {**COUNTRY, "type": None},
                  "traits": {"is_anonymous_proxy": None, "is_satellite_provider": None}}
CITY_RECORD = {**COUNTRY_RECORD, "city": {"geoname_id": None, **NAMES},
               "location": {"accuracy_radius": None, "latitude": None, "longitude": None, "metro_code": None,
                            "time_zone": None},
               "postal": {"code": None}, "subdivisions": [COUNTRY]}


def project(value, keys):
    """What of a decoded value the record class of keys holds."""
    if keys is None:
        return value
    if isinstance(keys, list):
        return [project(v, keys[0]) for v in value]
    return {k: project(v, keys[k]) for k, v in value.items() if k in keys}


def without_line_number(message):
    """ "line 7: ADDRESS: reason" -> "ADDRESS: reason" """
    assert message.startswith("line "), message
    return message.split(": ", 1)[1]


def ours(db, addrs):
    """address -> (found, prefix, code) or ("error",); and address -> the --json record"""
    out, records = {}, {}
    args_out, args_err = [], []
    for i in range(0, len(addrs), 400):
        batch = addrs[i:i + 400]
        p = subprocess.run([CLI, "lookup", "--json", db] + batch, capture_output=True, text=True)
        args_out.append(p.stdout)
        # Addresses given as arguments count as lines 1, 2, ... of their run.
        args_err += [without_line_number(e) for e in p.stderr.splitlines()]
        for line in p.stdout.splitlines():
            o = json.loads(line)
            code = o["record"].get("country", {}).get("iso_code", "") if o["found"] else ""
            out[o["address"]] = (o["found"], o["prefix_length"], code)
            if o["found"]:
                records[o["address"]] = o["record"]
        for line in p.stderr.splitlines():
            out[ipaddress.ip_address(without_line_number(line).split(": ", 1)[0]).compressed] = ("error",)
    # The same addresses from standard input, walked in batches: the same lines, and
    # the same messages with the line numbers in front.
    p = subprocess.run([CLI, "lookup", "--json", db, "-"], input="\n".join(addrs) + "\n", capture_output=True,
                       text=True)
    if p.stdout != "".join(args_out):
        failures.append(f"{os.path.basename(db)}: lookup - prints other lines than the arguments")
    # The lines without --json, where many lookups pass over the values decoded before.
    plain_out, plain_err = "", []
    for i in range(0, len(addrs), 400):
        q = subprocess.run([CLI, "lookup", db] + addrs[i:i + 400], capture_output=True, text=True)
        plain_out += q.stdout
        plain_err += q.stderr.splitlines()
    q = subprocess.run([CLI, "lookup", db, "-"], input="\n".join(addrs) + "\n", capture_output=True, text=True)
    if q.stdout != plain_out or [without_line_number(e) for e in q.stderr.splitlines()] != \
            [without_line_number(e) for e in plain_err]:
        failures.append(f"{os.path.basename(db)}: lookup - (lines) differs from the arguments")
    numbered, pending = [], list(args_err)
    for number, a in enumerate(addrs, 1):
        if pending and pending[0].startswith(a + ": "):
            numbered.append(f"line {number}: {pending.pop(0)}")
    if p.stderr.splitlines() != numbered:
        failures.append(f"{os.path.basename(db)}: lookup - reports {p.stderr[:200]!r}, the arguments {numbered[:3]}")
    return out, records


def networks(db):
    p = subprocess.run([CLI, "mmdb", db], capture_output=True, text=True)
    rows = []
    for line in p.stdout.splitlines():
        cell = line.split(",")
        if "/" in cell[0] and cell[0][0].isdigit():
            rows.append((ipaddress.ip_network(cell[0]), cell[3]))
    return p.returncode, rows


def random_in(net):
    return str(net[rng.randrange(net.num_addresses)])


def check(name):
    db = os.path.join(DATA, name)
    rdrs = readers(db)
    meta = rdrs[0].metadata()
    rc, rows = networks(db)
    addrs = [str(ipaddress.IPv4Address(rng.getrandbits(32))) for _ in range(150)]
    for net, code in rows:
        a = random_in(net)
        addrs.append(a)
        # Rows are IPv4 networks: the reference must find the same network and code.
        ref = reference(rdrs, a)
        if ref not in (None, ("error",)) and (ref[1] != net.prefixlen or ref[2] != code or not ref[0]):
            failures.append(f"{name}: row {net} {code!r}, reference {ref} for {a}")
        if meta.ip_version == 6:
            addrs.append("::ffff:" + a)
            addrs.append("2002:%x:%x::1" % (int(net[0]) >> 16, int(net[0]) & 0xFFFF))
    if meta.ip_version == 6:
        addrs += [str(ipaddress.IPv6Address(rng.getrandbits(128))) for _ in range(100)]
        for seed in V6_SEEDS:
            base = int(ipaddress.IPv6Address(seed))
            addrs += [str(ipaddress.IPv6Address(base + rng.getrandbits(rng.choice([0, 4, 16, 40, 64, 96]))))
                      for _ in range(4)]
    addrs = [ipaddress.ip_address(a).compressed for a in addrs]
    got, records = ours(db, addrs)
    keys = CITY_RECORD if meta.database_type.lower().endswith("-city") else COUNTRY_RECORD
    compared = 0
    for a in addrs:
        ref = reference(rdrs, a)
        if ref is None:
            continue
        compared += 1
        outcomes[ref[0]] = outcomes.get(ref[0], 0) + 1
        if got.get(a) != ref:
            failures.append(f"{name}: {a}: zarvo {got.get(a)}, libmaxminddb {ref}")
        elif ref[0] is True:
            # The whole record: what the database holds of the record's keys, no more.
            want = project(rdrs[0].get(a), keys)
            if records.get(a) != want:
                failures.append(f"{name}: {a}: --json {records.get(a)!r:.300}, libmaxminddb {want!r:.300}")
            json_compared[0] += 1
    return compared, len(rows)


SKIP = {"MaxMind-DB-no-ipv4-search-tree.mmdb",  # string records: a record type cannot take them
        "MaxMind-DB-string-value-entries.mmdb",
        "GeoIP2-City-Test-Invalid-Node-Count.mmdb"}

total = 0
outcomes = {}
json_compared = [0]
for name in sorted(os.listdir(DATA)):
    if not name.endswith(".mmdb") or name in SKIP:
        continue
    compared, rows = check(name)
    total += compared
    print(f"{name}: {compared} addresses, {rows} rows")

# Records that are no maps: the record type refuses them with the conversion message.
p = subprocess.run([CLI, "lookup", os.path.join(DATA, "MaxMind-DB-no-ipv4-search-tree.mmdb"), "1.2.3.4"],
                   capture_output=True, text=True)
if p.returncode != 1 or "Could not convert 'string' to 'TMMDBIPCountryInfoEx'." not in p.stderr:
    failures.append(f"no-ipv4-search-tree: rc {p.returncode} {p.stderr!r}")
# A node count larger than the file: both readers refuse to open it.
bad = os.path.join(DATA, "GeoIP2-City-Test-Invalid-Node-Count.mmdb")
p = subprocess.run([CLI, "lookup", bad, "1.2.3.4"], capture_output=True, text=True)
if p.returncode != 1 or "search tree is corrupt" not in p.stderr:
    failures.append(f"invalid node count: rc {p.returncode} {p.stderr!r}")
try:
    r = maxminddb.open_database(bad, maxminddb.MODE_MMAP_EXT)
    r.get("1.2.3.4")
    failures.append("libmaxminddb opened the invalid node count file")
except (maxminddb.InvalidDatabaseError, ValueError, ImportError):
    pass


# Ill-formed UTF-8 in database strings: the output must decode strictly, each string
# reading as Python's own decoder with errors="replace" reads it (one U+FFFD per
# maximal subpart). A full IPv4 tree of depth 6 gives each of 64 networks its own code.
def ill_formed_db(codes):
    def ctrl(t, n):
        return bytes([(t << 5) | n]) if t <= 7 else bytes([n, t - 7])

    def s(b):
        return ctrl(2, len(b)) + b

    def uint(t, v, n):
        return ctrl(t, n) + v.to_bytes(n, "big")

    inner = 63
    data, offsets = b"", []
    for code in codes:
        offsets.append(len(data))
        data += ctrl(7, 1) + s(b"country") + ctrl(7, 1) + s(b"iso_code") + s(code)
    tree = b""
    for j in range(inner):
        kids = [2 * j + 1, 2 * j + 2]
        if kids[0] >= inner:
            kids = [inner + 16 + offsets[k - inner] for k in kids]
        tree += b"".join(k.to_bytes(3, "big") for k in kids)
    meta = (ctrl(7, 9) + s(b"binary_format_major_version") + uint(5, 2, 1) +
            s(b"binary_format_minor_version") + uint(5, 0, 1) + s(b"build_epoch") + uint(9, 0, 1) +
            s(b"database_type") + s(b"Test-Country") + s(b"description") + ctrl(7, 0) +
            s(b"ip_version") + uint(5, 4, 1) + s(b"languages") + ctrl(11, 0) +
            s(b"node_count") + uint(6, inner, 1) + s(b"record_size") + uint(5, 24, 1))
    return tree + bytes(16) + data + b"\xab\xcd\xefMaxMind.com" + meta


pieces = [b"A", b"z", b"\xff", b"\x80", b"\xbf", b"\xc0", b"\xc3", b"\xc3\xa9", b"\xe0", b"\xe0\xa0",
          b"\xe0\x80", b"\xed\xa0", b"\xed\x9f\xbf", b"\xe2\x82", b"\xe2\x82\xac", b"\xf0\x9f",
          b"\xf0\x9f\x98\x80", b"\xf0\x8f", b"\xf4\x90", b"\xf4\x8f\xbf\xbf", b"\xf5", b"\xfe"]
codes = [b"A\xffB"] + [b"".join(rng.choice(pieces) for _ in range(rng.randrange(1, 7))) for _ in range(63)]
ill = os.path.join(os.environ.get("TMPDIR", "/tmp"), f"zarvo-ill-formed-{os.getpid()}.mmdb")
with open(ill, "wb") as f:
    f.write(ill_formed_db(codes))
try:
    addrs = [str(ipaddress.IPv4Address((k << 26) + 1)) for k in range(64)]
    p = subprocess.run([CLI, "lookup", "--json", ill] + addrs, capture_output=True)
    q = subprocess.run([CLI, "mmdb", ill], capture_output=True)
finally:
    os.unlink(ill)
try:
    lines = p.stdout.decode("utf-8").splitlines()
    rows = [r.split(",") for r in q.stdout.decode("utf-8").splitlines() if r[:1].isdigit() and "/" in r]
    if p.returncode != 0 or len(lines) != 64 or len(rows) != 64:
        failures.append(f"ill-formed strings: rc {p.returncode}, {len(lines)} lines, {len(rows)} rows")
    for k, (line, row) in enumerate(zip(lines, rows)):
        want = codes[k].decode("utf-8", "replace")
        got = json.loads(line)["record"]["country"]["iso_code"]
        if got != want or row[3] != want:
            failures.append(f"ill-formed string {codes[k]!r}: json {got!r}, row {row[3]!r}, want {want!r}")
    if lines and json.loads(lines[0])["record"]["country"]["iso_code"] != "A\ufffdB":
        failures.append(f"A FF B reads {lines[0]!r}")
except UnicodeDecodeError as e:
    failures.append(f"output of ill-formed strings is no UTF-8: {e}")
print(f"{len(codes)} ill-formed database strings compared with Python's decoder")

print(f"{total} lookups compared: {outcomes.get(True, 0)} found, {outcomes.get(False, 0)} not found, "
      f"{outcomes.get('error', 0)} errors on both sides; {json_compared[0]} --json records")
if outcomes.get(True, 0) < 2000 or outcomes.get(False, 0) < 2000 or not outcomes.get("error"):
    failures.append(f"too few lookups of some outcome: {outcomes}")
for f in failures[:40]:
    print("FAIL", f)
sys.exit(1 if failures else 0)
