#!/usr/bin/env python3
"""A host on the LAN being rude to the web control page, for its benchmark:

    http_flood.py HOST [--junk N] [--idle N] [--page-from ADDRESS] [--seed S]

holds N idle connections open (default 200; connected, nothing sent), then
sends N junk requests (default 1000), each on a connection of its own, of
five kinds: random bytes, a request line without a version, headers far
beyond any limit, a path outside the page, and a valid status request cut
off half way. Meanwhile it fetches /api/status and / as a page would
(from ADDRESS, another host on the LAN, when given), and prints how long each took (median and worst), how many junk requests got
an answer and of which status, and how many idle connections the server
had closed by the end. The seed is printed.
"""
import argparse
import random
import socket
import statistics
import sys
import threading
import time


def fetch(host, path, source):
    start = time.monotonic()
    try:
        with socket.create_connection((host, 80), timeout=10, source_address=source) as s:
            s.sendall(f"GET {path} HTTP/1.1\r\nHost: {host}\r\nConnection: close\r\n\r\n".encode())
            data = b""
            while chunk := s.recv(65536):
                data += chunk
    except OSError as e:
        return time.monotonic() - start, type(e).__name__
    return time.monotonic() - start, data.split(b" ", 2)[1].decode() if data.startswith(b"HTTP/") else "none"


def junk(rng, host):
    kind = rng.randrange(5)
    if kind == 0:
        payload = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 2000)))
    elif kind == 1:
        payload = b"GET /api/status\r\n\r\n"
    elif kind == 2:
        payload = b"GET / HTTP/1.1\r\nHost: x\r\nX-Junk: " + b"a" * 100000 + b"\r\n\r\n"
    elif kind == 3:
        payload = b"GET /../../etc/passwd HTTP/1.1\r\nHost: x\r\n\r\n"
    else:
        payload = b"GET /api/status HTTP/1.1\r\nHo"
    try:
        with socket.create_connection((host, 80), timeout=1) as s:
            s.sendall(payload)
            if kind == 4:
                return "cut off"   # left for the server's time-out
            s.shutdown(socket.SHUT_WR)
            reply = s.recv(64)
            return reply.split(b" ", 2)[1].decode() if reply.startswith(b"HTTP/") else "closed"
    except OSError as e:
        return type(e).__name__


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("host")
    parser.add_argument("--junk", type=int, default=1000)
    parser.add_argument("--idle", type=int, default=200)
    parser.add_argument("--page-from", default=None)
    parser.add_argument("--seed", type=int, default=random.randrange(1 << 30))
    args = parser.parse_args()
    print(f"seed {args.seed}", file=sys.stderr)
    rng = random.Random(args.seed)

    idle = []
    for _ in range(args.idle):
        idle.append(socket.create_connection((args.host, 80), timeout=10))

    times = {"/api/status": [], "/": []}
    codes = {}
    done = threading.Event()

    def page():
        while not done.is_set():
            for path in times:
                took, code = fetch(args.host, path, (args.page_from, 0) if args.page_from else None)
                times[path].append((took, code))
            time.sleep(0.25)

    watcher = threading.Thread(target=page)
    watcher.start()
    start = time.monotonic()
    for _ in range(args.junk):
        outcome = junk(rng, args.host)
        codes[outcome] = codes.get(outcome, 0) + 1
    flood_seconds = time.monotonic() - start
    done.set()
    watcher.join()

    closed = 0
    for s in idle:
        s.setblocking(False)
        try:
            closed += s.recv(1) == b""
        except BlockingIOError:
            pass
        except OSError:
            closed += 1
        s.close()
    print(f"junk: {args.junk} requests in {flood_seconds:.1f} s: " +
          ", ".join(f"{k} {v}" for k, v in sorted(codes.items())))
    print(f"idle: {args.idle} connections held through the flood, {closed} closed by the server")
    for path, samples in times.items():
        ms = [t * 1000 for t, _ in samples]
        ok = sum(1 for _, c in samples if c == "200")
        print(f"page {path}{' from ' + args.page_from if args.page_from else ''}: "
              f"{ok} of {len(samples)} answered 200, median {statistics.median(ms):.1f} ms, "
              f"worst {max(ms):.1f} ms")


if __name__ == "__main__":
    main()
