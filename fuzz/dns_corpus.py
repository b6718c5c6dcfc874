#!/usr/bin/env python3
"""Writes the seed corpus of the DNS reply fuzzer: replies captured from a dnsmasq
started on 127.0.0.1 for the purpose, and hand-made ones (compression chains,
loops, truncation, every RCODE, fields past the end, oversize).
The hostile hand-made ones go to fuzz/regressions/dns.
Usage: fuzz/dns_corpus.py"""
import os
import socket
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus", "dns")
REGRESSIONS = os.path.join(HERE, "regressions", "dns")
HOSTILE = {"self-loop", "label-loop", "forward-pointer", "pointer-outside", "extended-label", "rdata-past-end",
           "name-outside-rdata", "fixed-past-end", "long-name", "counts-too-high", "oversize", "many-records"}


def name(text):
    out = b""
    for label in text.split(".") if text else []:
        out += bytes([len(label)]) + label.encode()
    return out + b"\0"


def query(qid, qname, qtype=12):
    return struct.pack(">6H", qid, 0x0100, 1, 0, 0, 0) + name(qname) + struct.pack(">2H", qtype, 1)


def record(owner, rtype, rdata, rdlength=None):
    n = len(rdata) if rdlength is None else rdlength
    return owner + struct.pack(">HHIH", rtype, 1, 300, n) + rdata


def reply(q, an=(), ns=(), ar=(), flags=0x8180):
    head = struct.pack(">6H", struct.unpack(">H", q[:2])[0], flags, 1, len(an), len(ns), len(ar))
    return head + q[12:] + b"".join(an) + b"".join(ns) + b"".join(ar)


def free_port():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def captured():
    tmp = tempfile.mkdtemp()
    with open(os.path.join(tmp, "hosts"), "w") as f:
        f.write("10.9.0.1 one.test\n10.9.0.2 two.test alias2.test\n2001:db8::1 six.test\n")
        f.write("10.9.0.3 " + ".".join(["label%02d" % i for i in range(20)]) + ".test\n")
    port = free_port()
    args = ["dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null", "--no-resolv", "--no-hosts",
            "--addn-hosts=" + os.path.join(tmp, "hosts"), "--bogus-priv", "--listen-address=127.0.0.1",
            "--bind-interfaces", "--port=%d" % port, "--pid-file=", "--log-facility=/dev/null",
            "--ptr-record=4.0.9.10.in-addr.arpa,ptr-only.test", "--txt-record=one.test,hello"]
    if os.geteuid() == 0:
        args.append("--user=root")
    proc = subprocess.Popen(args)
    try:
        time.sleep(0.5)
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.settimeout(1)
        asks = [("1.0.9.10.in-addr.arpa", 12), ("2.0.9.10.in-addr.arpa", 12), ("3.0.9.10.in-addr.arpa", 12),
                ("4.0.9.10.in-addr.arpa", 12), ("9.0.9.10.in-addr.arpa", 12), ("1.2.0.192.in-addr.arpa", 12),
                ("1.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2.ip6.arpa", 12),
                ("1.0.9.10.IN-ADDR.ARPA", 12), ("one.test", 1), ("one.test", 16), ("six.test", 28),
                ("missing.test", 1)]
        for i, (qname, qtype) in enumerate(asks):
            s.sendto(query(0x1000 + i, qname, qtype), ("127.0.0.1", port))
            data = s.recv(9000)
            yield "dnsmasq-%02d-%s-%d" % (i, qname.split(".")[0], qtype), data
    finally:
        proc.terminate()
        proc.wait()


def crafted():
    q = query(0xBEEF, "1.2.0.192.in-addr.arpa")
    ptr = lambda host, owner=b"\xc0\x0c": record(owner, 12, name(host))
    yield "answer", reply(q, [ptr("host.example")])
    yield "additional-only", reply(q, [record(b"\xc0\x0c", 1, bytes([192, 0, 2, 1]))], [], [ptr("extra.example")])
    yield "all-sections", reply(q, [ptr("a.example")], [ptr("b.example")], [ptr("c.example")])
    yield "compressed", reply(q, [record(b"\xc0\x0c", 12, b"\x01x\xc0\x10")])
    yield "chained", reply(q, [record(b"\xc0\x0c", 12, b"\x03www\xc0\x12"), record(b"\xc0\x0c", 12, b"\x01m\xc0\x34")])
    yield "self-loop", reply(q, [record(b"\xc0\x28", 12, b"\xc0\x0c")])
    yield "label-loop", reply(q, [record(b"\xc0\x0c", 12, b"\x01a\xc0\x34")])
    yield "forward-pointer", reply(q, [record(b"\xc0\x0c", 12, b"\xc0\x7f")])
    yield "pointer-outside", reply(q, [record(b"\xc0\x0c", 12, b"\xff\xff")])
    yield "extended-label", reply(q, [record(b"\xc0\x0c", 12, b"\x41\x00")])
    yield "rdata-past-end", reply(q, [record(b"\xc0\x0c", 12, name("a.b"), 40)])
    yield "name-outside-rdata", reply(q, [record(b"\xc0\x0c", 12, name("abc.example"), 3)])
    yield "fixed-past-end", reply(q)[:40] + b"\xc0\x0c\x00\x0c\x00"
    yield "truncated-tc", reply(q, [ptr("one.example"), ptr("two.example")], flags=0x8380)[:-5]
    yield "long-name", reply(q, [ptr(".".join(["abc"] * 70))])
    yield "odd-bytes", reply(q, [record(b"\xc0\x0c", 12, b"\x03a.,\x02 \\\x00")])
    yield "root-name", reply(q, [ptr("")])
    yield "no-records", reply(q)
    yield "two-questions", struct.pack(">6H", 0xBEEF, 0x8180, 2, 1, 0, 0) + q[12:] + q[12:] + ptr("two.example")
    yield "no-question", struct.pack(">6H", 0xBEEF, 0x8180, 0, 1, 0, 0) + ptr("x.example", name("1.2.0.192.in-addr.arpa"))
    yield "counts-too-high", struct.pack(">6H", 0xBEEF, 0x8180, 1, 0xFFFF, 0xFFFF, 0xFFFF) + q[12:] + ptr("a.example")
    for rcode in (1, 2, 3, 4, 5, 6, 15):
        yield "rcode-%d" % rcode, reply(q, flags=0x8180 | rcode)
    yield "short-4", q[:4]
    yield "short-11", q[:11]
    yield "header-only", q[:12]
    yield "oversize", reply(q, [ptr("host.example")]) + bytes(8193 - len(reply(q, [ptr("host.example")])))
    many = [record(b"\xc0\x0c", 12, b"\x01" + bytes([97 + i % 26]) + b"\xc0\x0c") for i in range(300)]
    yield "many-records", reply(q, many)


def main():
    os.makedirs(CORPUS, exist_ok=True)
    os.makedirs(REGRESSIONS, exist_ok=True)
    items = list(crafted())
    try:
        items += list(captured())
    except (OSError, socket.timeout) as e:
        print("dnsmasq capture skipped:", e, file=sys.stderr)
    for label, data in items:
        with open(os.path.join(REGRESSIONS if label in HOSTILE else CORPUS, label), "wb") as f:
            f.write(data)
    print("%d files" % len(items))


if __name__ == "__main__":
    main()
