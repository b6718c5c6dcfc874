#!/usr/bin/env python3
"""The reference for `zarvo-cli lookup FILE.mmdb -`: python3-maxminddb over its C
extension (libmaxminddb), one Reader.get_with_prefix_len per input line, printing the
address, the prefix length and the country code as zarvo-cli does.
Usage: python_lookup.py FILE.mmdb < ADDRESSES"""
import sys

try:
    import maxminddb
except ImportError:  # a python3 outside Debian's (pyenv, venv) does not see the package
    sys.path.append("/usr/lib/python3/dist-packages")
    import maxminddb

reader = maxminddb.open_database(sys.argv[1], maxminddb.MODE_MMAP_EXT)
lookup = reader.get_with_prefix_len
write = sys.stdout.write
for line in sys.stdin:
    address = line.split("#", 1)[0].strip()
    if not address:
        continue
    record, prefix = lookup(address)
    if record is None:
        write(f"{address}\t{prefix}\t-\n")
        continue
    country = record.get("country") if isinstance(record, dict) else None
    code = country.get("iso_code", "") if isinstance(country, dict) else ""
    write(f"{address}\t{prefix}\t{code}\n")
