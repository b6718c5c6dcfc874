"""What the cross-checks of the MaxMind DB tools share: python3-maxminddb, the values of a
decoded record by path as `lookup --field` and `generate --field` print them, and the
networks of a database walked through the pure-Python reader."""
import ipaddress
import json
import struct
import sys

try:
    import maxminddb
except ImportError:  # a python3 outside Debian's (pyenv, venv) does not see the package
    sys.path.append("/usr/lib/python3/dist-packages")
    import maxminddb


def paths_of(value, prefix=""):
    """Every path of a decoded record: its keys and indexes joined by dots."""
    out = []
    if isinstance(value, dict):
        for k, v in value.items():
            p = f"{prefix}.{k}" if prefix else k
            out.append(p)
            out += paths_of(v, p)
    elif isinstance(value, list):
        for i, v in enumerate(value):
            p = f"{prefix}.{i}" if prefix else str(i)
            out.append(p)
            out += paths_of(v, p)
    return out


MISSING = object()


def at_path(record, path):
    v = record
    for step in path.split("."):
        if isinstance(v, dict) and step in v:
            v = v[step]
        elif isinstance(v, list) and step.isdigit() and int(step) < len(v):
            v = v[int(step)]
        else:
            return MISSING
    return v


def same_number(text_value, want):
    """A double reads back exactly; a float (single) as the nearest single."""
    got = float(text_value)
    return got == want or struct.unpack("f", struct.pack("f", got))[0] == want


def same_json(got, want):
    if isinstance(want, bool) or want is None:
        return got == want
    if isinstance(want, float):
        return isinstance(got, (int, float)) and same_number(repr(got), want)
    if isinstance(want, (bytes, bytearray)):
        return got == list(want)
    if isinstance(want, dict):
        return isinstance(got, dict) and got.keys() == want.keys() and all(same_json(got[k], want[k]) for k in want)
    if isinstance(want, list):
        return isinstance(got, list) and len(got) == len(want) and all(same_json(g, w) for g, w in zip(got, want))
    return got == want


def same_field(text, want):
    if want is MISSING:
        return text == ""
    if isinstance(want, str):
        esc = want.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n").replace("\r", "\\r")
        return text == esc
    if isinstance(want, bool):
        return text == ("true" if want else "false")
    if isinstance(want, int):
        return text == str(want)
    if isinstance(want, float):
        return same_number(text, want)
    try:
        return same_json(json.loads(text), want)
    except ValueError:
        return False


def python_networks(reader):
    """Every network with its record, through the pure-Python reader's node and data
    reads (its own iteration came with a later release): depth first, the branches that
    lead back into the IPv4 tree of an IPv6 database passed over, and the networks below
    ::/96 of such a database as IPv4 networks."""
    meta = reader.metadata()
    bits = 128 if meta.ip_version == 6 else 32
    reader.get("1.1.1.1")  # sets the IPv4 start node
    ipv4_start = reader._ipv4_start
    out, stack = [], [(0, 0, 0)]
    while stack:
        node, depth, acc = stack.pop()
        if acc != 0 and node == ipv4_start and bits == 128 and node < meta.node_count:
            continue
        if node > meta.node_count:
            value = acc << (bits - depth)
            if bits == 128 and value < 2 ** 32 and depth >= 96:
                out.append((ipaddress.IPv4Network((value, depth - 96)), reader._resolve_data_pointer(node)))
            else:
                net = ipaddress.IPv6Network((value, depth)) if bits == 128 else ipaddress.IPv4Network((value, depth))
                out.append((net, reader._resolve_data_pointer(node)))
        elif node < meta.node_count:
            stack.append((reader._read_node(node, 1), depth + 1, acc << 1 | 1))
            stack.append((reader._read_node(node, 0), depth + 1, acc << 1))
    return out


def code_of(rec):
    if isinstance(rec, dict) and isinstance(rec.get("country"), dict):
        return rec["country"].get("iso_code", "")
    return ""
