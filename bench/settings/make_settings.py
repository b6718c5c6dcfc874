#!/usr/bin/env python3
"""Writes settings files (zarvo2.ini) for the settings-reading benchmarks.

  make_settings.py sets N FILE         the options, then N named sets of 29 settings
                                       each, as the window writes them
  make_settings.py fill TEXT MB FILE   TEXT repeated to MB megabytes ("=\\n", "a=\\n")
  make_settings.py empty-sets MB FILE  named sets without settings, MB megabytes of them
  make_settings.py huge-counts N FILE  N sets of one setting each whose counts say 2000000000
"""
import sys


def options(i):
    # The keys in the order the window writes them, with values that vary by set.
    return [
        "ResolveCountry=0",
        "MMDBFilePath=/usr/share/GeoIP/GeoLite2-Country.mmdb",
        "Append=0",
        f"IPRange1=10.{i % 256}.{i // 256 % 256}.0/24",
        "IPRangeN=1",
        "UsableHostIPAddresses=1",
        "Exclude=1",
        "Exclude1=*.0",
        "ExcludeN=1",
        "DNS1=8.8.8.8",
        "DNSN=1",
        f"Mode={i % 3}",
        f"TotalCount={100 + i}",
        "EachCount=10",
        f"Random={i % 2}",
        "EscapeIPv6=0",
        "AddPort=1",
        f"Ports={1000 + i % 5000}",
        "GenerateNames=1",
        f"NameTemplate=host{i}-#.example.com",
        "CounterSymbol=#",
        "FirstCounter=1",
        "CounterStep=1",
        "CounterDigits=3",
        "NameDelimiter=0",
        "NameCustomDelimiter=|",
        "IPDelimiter=0",
        "ResolvedDelimiter=0",
        "UnresolvedDelimiter=0",
    ]


def write_sets(n, path):
    lines = options(0) + [f"StoredListN={n}"]
    for s in range(1, n + 1):
        body = options(s)
        lines += [f"StoredList{s}.Name=set {s}", f"StoredList{s}.Count={len(body)}"]
        lines += [f"StoredList{s}.Setting{j}={v}" for j, v in enumerate(body, 1)]
    with open(path, "w", newline="") as f:
        f.write("\r\n".join(lines) + "\r\n")


def write_empty_sets(mb, path):
    # Within size, the "StoredListN" line included: a settings file over 64 MiB is refused.
    size = int(mb * (1 << 20)) - 32
    lines, total, s = [], 0, 0
    while total + len(f"StoredList{s + 1}.Name=n{s + 1}\r\n") <= size:
        s += 1
        lines.append(f"StoredList{s}.Name=n{s}\r\n")
        total += len(lines[-1])
    with open(path, "w", newline="") as f:
        f.write(f"StoredListN={s}\r\n" + "".join(lines))


def write_huge_counts(n, path):
    lines = [f"StoredListN={n}"]
    for s in range(1, n + 1):
        lines += [f"StoredList{s}.Name=set {s}", f"StoredList{s}.Count=2000000000",
                  f"StoredList{s}.Setting1=Ports={s}"]
    with open(path, "w", newline="") as f:
        f.write("\r\n".join(lines) + "\r\n")


def write_fill(text, mb, path):
    unit = text.encode().decode("unicode_escape").encode("latin-1")
    size = int(mb * (1 << 20))
    with open(path, "wb") as f:
        f.write((unit * (size // len(unit) + 1))[:size])


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "sets":
        write_sets(int(sys.argv[2]), sys.argv[3])
    elif len(sys.argv) == 4 and sys.argv[1] == "empty-sets":
        write_empty_sets(float(sys.argv[2]), sys.argv[3])
    elif len(sys.argv) == 4 and sys.argv[1] == "huge-counts":
        write_huge_counts(int(sys.argv[2]), sys.argv[3])
    elif len(sys.argv) == 5 and sys.argv[1] == "fill":
        write_fill(sys.argv[2], float(sys.argv[3]), sys.argv[4])
    else:
        sys.exit(__doc__)
