#!/usr/bin/env python3
"""Writes a UTF-8 CSV of about SIZE bytes: a header, then rows of numbers,
accented and CJK text, quoted fields with commas and doubled quotes."""
import sys

def main():
    path, size = sys.argv[1], int(float(sys.argv[2]))
    names = ["Zoë", "Łukasz", "Ærøskøbing", "東京", "Müller", "Straße", "São Paulo", "Ñandú"]
    block = []
    for i in range(10000):
        n = names[i % len(names)]
        block.append(f'{i},{n},"{n}, {i % 97}","say ""hi"" {i}",{i * 7919 % 1000003}.{i % 100:02d},192.0.2.{i % 256}\n')
    chunk = "".join(block).encode("utf-8")
    with open(path, "wb") as f:
        f.write(b"id,name,place,quote,amount,address\n")
        written = 0
        while written < size:
            f.write(chunk)
            written += len(chunk)

if __name__ == "__main__":
    main()
