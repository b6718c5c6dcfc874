#!/usr/bin/env python3
"""A lossy, slow UDP relay for DNS on loopback, in front of one server.

Every tenth question (by the order in which questions are first seen) is lost the
first time it comes: the relay drops that datagram, and passes the question on when
it is sent again. Each answer goes back DELAY_MS after the server gave it. Nothing
but 127.0.0.1 is used.

Usage: relay.py LISTEN_PORT SERVER_PORT [DELAY_MS] [LOSE_EVERY]
Prints "ready" once it listens; on SIGTERM prints its counts to standard error.
"""
import heapq
import select
import signal
import socket
import sys
import time

listen_port, server_port = int(sys.argv[1]), int(sys.argv[2])
delay = (float(sys.argv[3]) if len(sys.argv) > 3 else 20.0) / 1000
lose_every = int(sys.argv[4]) if len(sys.argv) > 4 else 10

front = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
front.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
front.bind(("127.0.0.1", listen_port))
back = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
back.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
back.connect(("127.0.0.1", server_port))

seen = {}       # question -> times it came
first_seen = 0  # questions seen so far
waiting = {}    # (id, question) -> the client's addresses
due = []        # (time, n, datagram, address): answers held back
counts = {"queries": 0, "lost": 0, "forwarded": 0, "answers": 0, "unmatched": 0}
running = True


def question(msg):
    """The question name and type of a DNS message, as bytes (None when none)."""
    if len(msg) < 12:
        return None
    p = 12
    while p < len(msg) and msg[p] != 0:
        if msg[p] >= 0xC0:
            return None
        p += 1 + msg[p]
    return msg[12:p + 5].lower()


def stop(*_):
    global running
    running = False


signal.signal(signal.SIGTERM, stop)
signal.signal(signal.SIGINT, stop)
print("ready", flush=True)
n = 0
while running:
    timeout = max(0.0, due[0][0] - time.monotonic()) if due else 0.2
    try:
        ready, _, _ = select.select([front, back], [], [], timeout)
    except InterruptedError:
        continue
    if front in ready:
        for _ in range(256):
            try:
                msg, addr = front.recvfrom(4096, socket.MSG_DONTWAIT)
            except BlockingIOError:
                break
            q = question(msg)
            if q is None:
                continue
            counts["queries"] += 1
            times = seen.get(q, 0)
            seen[q] = times + 1
            if times == 0:
                first_seen += 1
                if first_seen % lose_every == 0:
                    counts["lost"] += 1
                    continue
            key = (msg[:2], q)
            waiting.setdefault(key, []).append(addr)
            back.send(msg)
            counts["forwarded"] += 1
    if back in ready:
        now = time.monotonic()
        for _ in range(256):
            try:
                msg = back.recv(65535, socket.MSG_DONTWAIT)
            except BlockingIOError:
                break
            key = (msg[:2], question(msg))
            addrs = waiting.get(key)
            if not addrs:
                counts["unmatched"] += 1
                continue
            addr = addrs.pop(0)
            if not addrs:
                del waiting[key]
            n += 1
            heapq.heappush(due, (now + delay, n, msg, addr))
    now = time.monotonic()
    while due and due[0][0] <= now:
        _, _, msg, addr = heapq.heappop(due)
        front.sendto(msg, addr)
        counts["answers"] += 1
print(" ".join(f"{k} {v}" for k, v in counts.items()), file=sys.stderr, flush=True)
