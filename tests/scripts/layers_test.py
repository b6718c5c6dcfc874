#!/usr/bin/env python3
"""Holds every quoted #include of the sources to the table of allowed edges in
docs/ARCHITECTURE.md: a file may include headers of its own layer and of the
layers its row names, nothing else."""
import os
import re
import sys

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
FREE = ("tests", "bench", "fuzz")  # may include any layer
SOURCE = re.compile(r".*\.(h|hpp|c|cc|cpp)$")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def read_table():
    text = open(os.path.join(ROOT, "docs", "ARCHITECTURE.md"), encoding="utf-8").read()
    block = re.search(r"<!-- layers:begin -->(.*?)<!-- layers:end -->", text, re.S)
    if not block:
        sys.exit("docs/ARCHITECTURE.md has no layers table")
    folders, allowed = {}, {}
    for line in block.group(1).splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) != 3 or cells[0] in ("layer", "") or set(cells[0]) <= set("-"):
            continue
        layer, dirs, may = cells
        for d in dirs.split(","):
            folders[d.strip().rstrip("/")] = layer
        allowed[layer] = {x.strip() for x in may.split(",") if x.strip()} | {layer}
    return folders, allowed


def layer_of(path, folders):
    best = None
    for d, layer in folders.items():
        if path == d or path.startswith(d + "/"):
            if best is None or len(d) > len(best[0]):
                best = (d, layer)
    return best[1] if best else None


def sources():
    for dirpath, dirnames, filenames in os.walk(ROOT):
        rel = os.path.relpath(dirpath, ROOT)
        top = rel.split(os.sep)[0]
        if rel != "." and top.startswith(".") or top.startswith("build") or top in FREE:
            dirnames[:] = []
            continue
        for f in filenames:
            if SOURCE.match(f):
                yield os.path.normpath(os.path.join(rel, f)).replace(os.sep, "/")


def main():
    folders, allowed = read_table()
    for layer, may in allowed.items():
        unknown = may - set(allowed)
        if unknown:
            sys.exit(f"layer {layer} names unknown layers {sorted(unknown)}")
    faults, files = [], 0
    for path in sorted(sources()):
        files += 1
        src = layer_of(path, folders)
        if src is None:
            faults.append(f"{path}: in no layer of the table")
            continue
        text = open(os.path.join(ROOT, path), encoding="utf-8", errors="replace").read()
        for inc in INCLUDE.findall(text):
            dst = layer_of(inc, folders)
            if dst is None:
                faults.append(f"{path}: includes \"{inc}\", which is in no layer")
            elif dst not in allowed[src]:
                faults.append(f"{path} ({src}) includes \"{inc}\" ({dst}): edge not allowed")
    for f in faults:
        print(f)
    print(f"layers: {files} files checked, {len(faults)} edges not allowed")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
