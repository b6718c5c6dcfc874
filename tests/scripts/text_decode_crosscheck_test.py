#!/usr/bin/env python3
"""Cross-checks the decoding of ill-formed text against Python's codecs.

Files of random lines full of ill-formed UTF-8 (stray continuation bytes, cut
sequences, overlongs, encoded surrogates, values beyond U+10FFFF, bytes that never
lead) are printed with `zarvo-cli view --no-header`; each line must be what
bytes.decode("utf-8", "replace") makes of it: one U+FFFD for each maximal subpart
of an ill-formed sequence. The same for UTF-16 in both byte orders with lone
surrogates (one U+FFFD each) and an odd last byte. Small blocks do not matter here: the lines are
long enough to cross the reader's blocks at every kind of sequence.

The lines keep clear of what the viewer reads as structure (line breaks, NUL, the
delimiters , ; |, quotes and blanks, which it trims), so that each line is one
field; a tab or backslash comes back escaped.
"""
import os
import random
import subprocess
import sys
import tempfile

CLI = sys.argv[1]
rng = random.Random(20261211)
STRUCTURE = set(b"\r\n\0,;|\" ")
PLAIN = bytes(b for b in range(1, 128) if b not in STRUCTURE)
PIECES = [
    lambda: bytes([rng.choice(PLAIN)]),
    lambda: bytes([rng.randint(0x80, 0xBF)]),  # stray continuation
    lambda: bytes([rng.randint(0xC0, 0xFF)]),  # a lead alone, or one that never leads
    lambda: bytes([rng.randint(0xE0, 0xF4), rng.randint(0x80, 0xBF)]),  # cut short
    lambda: bytes([0xED, rng.randint(0xA0, 0xBF), rng.randint(0x80, 0xBF)]),  # a surrogate
    lambda: bytes([0xE0, rng.randint(0x80, 0x9F), rng.randint(0x80, 0xBF)]),  # overlong
    lambda: bytes([0xF4, rng.randint(0x90, 0xBF), 0x80, 0x80]),  # beyond U+10FFFF
    lambda: rng.choice(["é", "€", "😀", "東"]).encode("utf-8"),
    lambda: rng.choice(["é", "€", "😀"]).encode("utf-8")[:-1],  # a character cut short
]


def escape(text):
    return text.replace("\\", "\\\\").replace("\t", "\\t")


def run(data, lines):
    with tempfile.NamedTemporaryFile("wb", suffix=".txt", delete=False) as f:
        f.write(data)
        path = f.name
    try:
        res = subprocess.run([CLI, "view", "--no-header", "--max", str(lines + 1), path], capture_output=True)
    finally:
        os.unlink(path)
    if res.returncode != 0:
        raise AssertionError(f"zarvo-cli failed: {res.stderr.decode()}")
    return res.stdout.decode("utf-8").split("\n")[:-1]


def compare(what, got, want):
    if got != want:
        for n, (g, w) in enumerate(zip(got, want)):
            if g != w:
                raise AssertionError(f"{what}: line {n + 1}\n  zarvo:  {g!r}\n  python: {w!r}")
        raise AssertionError(f"{what}: {len(got)} lines from zarvo-cli, {len(want)} from Python")


def utf8_file(index):
    lines = [b"a" + b"".join(rng.choice(PIECES)() for _ in range(rng.randint(0, 400))) for _ in range(40)]
    data = b"\n".join(lines) + rng.choice([b"", b"\n", b"\r\n"])
    compare(f"UTF-8 file {index}", run(data, len(lines)), [escape(l.decode("utf-8", "replace")) for l in lines])
    return len(lines)


def utf16_unit():
    kind = rng.random()
    if kind < 0.15:
        return rng.randint(0xD800, 0xDFFF)  # half a pair, alone or not
    if kind < 0.3:
        return rng.randint(0x80, 0xFFFF)
    return rng.choice(PLAIN)


def utf16_file(index):
    big = index % 2 == 1
    order = "big" if big else "little"
    codec = "utf-16-be" if big else "utf-16-le"
    lines = []
    for _ in range(30):
        units = [ord("a")] + [utf16_unit() for _ in range(rng.randint(0, 300))]
        lines.append(b"".join(u.to_bytes(2, order) for u in units if not 0xFFFE <= u))
    sep = "\n".encode(codec)
    # An odd last byte, behind a unit that is not half a pair: after a high surrogate
    # Python takes the two as one cut character, the viewer as two bad units.
    last = int.from_bytes(lines[-1][-2:], order)
    tail = b"\xd8" if rng.random() < 0.5 and not 0xD800 <= last <= 0xDBFF else b""
    data = (b"\xfe\xff" if big else b"\xff\xfe") + sep.join(lines) + tail
    want = [escape(l.decode(codec, "replace")) for l in lines]
    if tail:
        want[-1] = escape((lines[-1] + tail).decode(codec, "replace"))
    compare(f"UTF-16 file {index}", run(data, len(lines)), want)
    return len(lines)


def main():
    n = sum(utf8_file(i) for i in range(60))
    m = sum(utf16_file(i) for i in range(20))
    print(f"text decode cross-check: {n} UTF-8 and {m} UTF-16 lines agree with Python")


if __name__ == "__main__":
    main()
