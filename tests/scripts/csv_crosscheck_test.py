#!/usr/bin/env python3
"""Cross-checks the viewer's CSV parsing against Python's csv module.

Random RFC 4180 files (written by csv.writer, CR LF line ends) are printed with
`zarvo-cli view` and read back with csv.reader; every record must have the same
fields. The files keep to what the two rules agree on: the delimiter (",", ";"
or "|") is the first candidate on the header line; unquoted fields have no
blanks at their ends (the viewer trims them); line breaks inside fields are
CR LF, which is what the viewer joins the lines of a record with.
"""
import csv
import io
import os
import random
import subprocess
import sys
import tempfile

CLI = sys.argv[1]
rng = random.Random(20261210)
ALPHABET = "abcxyz019 ,;|\"'\\\t.-é東京😀"


def field(quote_all):
    kind = rng.random()
    if kind < 0.1:
        return ""
    if kind < 0.2:
        text = "".join(rng.choice("abc \n,\"") for _ in range(rng.randint(1, 12))).replace("\n", "\r\n")
    else:
        text = "".join(rng.choice(ALPHABET) for _ in range(rng.randint(1, 15)))
    return text if quote_all else text.strip(" ")


def escape(value):
    return value.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n").replace("\r", "\\r")


def check(index):
    delimiter = rng.choice(",;|")
    quote_all = rng.random() < 0.3
    columns = rng.randint(2, 8)
    rows = [[f"c{i}" for i in range(columns)]]
    for _ in range(rng.randint(0, 60)):
        rows.append([field(quote_all) for _ in range(rng.randint(1, columns + 2))])
    buf = io.StringIO(newline="")
    writer = csv.writer(buf, delimiter=delimiter, quoting=csv.QUOTE_ALL if quote_all else csv.QUOTE_MINIMAL)
    writer.writerows(rows)
    text = buf.getvalue()
    multiline = "\r\n" in "".join("".join(r) for r in rows)
    encoding = "utf-8-sig" if index % 5 == 0 else "utf-8"
    with tempfile.NamedTemporaryFile("wb", suffix=".csv", delete=False) as f:
        f.write(text.encode(encoding))
        path = f.name
    try:
        opts = ["--no-header", "--max", str(text.count("\n") + 1)]
        if multiline or rng.random() < 0.5:
            opts.append("--cell-line-breaks")
        res = subprocess.run([CLI, "view", *opts, path], capture_output=True)
    finally:
        os.unlink(path)
    if res.returncode != 0:
        raise AssertionError(f"zarvo-cli failed: {res.stderr.decode()}")
    got = res.stdout.decode("utf-8").split("\n")[:-1]
    want = ["\t".join(escape(v) for v in row) for row in csv.reader(io.StringIO(text, newline=""), delimiter=delimiter)]
    if got != want:
        for n, (g, w) in enumerate(zip(got, want)):
            if g != w:
                raise AssertionError(f"file {index} ({delimiter!r}, {opts}): record {n}\n  zarvo:  {g!r}\n  python: {w!r}")
        raise AssertionError(f"file {index}: {len(got)} records from zarvo-cli, {len(want)} from Python")
    return len(want)


def main():
    records = sum(check(i) for i in range(150))
    print(f"csv cross-check: 150 files, {records} records agree")


if __name__ == "__main__":
    main()
