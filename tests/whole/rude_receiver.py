#!/usr/bin/env python3
"""Receivers that treat the appliance's sender badly, with ordinary sockets:

    rude_receiver.py stall HOST:PORT SECONDS
        connects, reads part of a picture (300 kB, a full 1080p picture is
        about 290 kB), then holds the connection for SECONDS without reading
    rude_receiver.py churn HOST:PORT SECONDS [--seed S]
        for SECONDS: connects, reads a random amount (nothing to about two
        pictures), and goes, every other time with a reset (SO_LINGER 0)
        rather than an orderly close; prints how many times it connected

Each ends with status 0 once it has connected at least once (it keeps trying
for 10 s), 1 otherwise.
"""
import random
import socket
import struct
import sys
import time


def connect(address, patience=10.0):
    host, port = address.rsplit(":", 1)
    deadline = time.monotonic() + patience
    while True:
        try:
            return socket.create_connection((host, int(port)), timeout=2)
        except OSError:
            if time.monotonic() > deadline:
                return None
            time.sleep(0.1)


def read_bytes(sock, count):
    got = 0
    while got < count:
        data = sock.recv(min(65536, count - got))
        if not data:
            break
        got += len(data)
    return got


def stall(address, seconds):
    sock = connect(address)
    if sock is None:
        return 1
    got = read_bytes(sock, 300_000)
    print(f"stalled after {got} bytes", flush=True)
    time.sleep(seconds)
    sock.close()
    return 0


def churn(address, seconds, seed):
    rng = random.Random(seed)
    end = time.monotonic() + seconds
    connections = 0
    while time.monotonic() < end:
        sock = connect(address)
        if sock is None:
            break
        connections += 1
        try:
            read_bytes(sock, rng.randrange(600_000))
        except OSError:
            pass
        if connections % 2:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        sock.close()
    print(f"connected {connections} times", flush=True)
    return 0 if connections else 1


def main():
    if len(sys.argv) < 4 or sys.argv[1] not in ("stall", "churn"):
        print(__doc__, file=sys.stderr)
        return 2
    mode, address, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
    if mode == "stall":
        return stall(address, seconds)
    seed = int(sys.argv[5]) if len(sys.argv) > 5 and sys.argv[4] == "--seed" else random.randrange(1 << 30)
    print(f"seed {seed}", file=sys.stderr)
    return churn(address, seconds, seed)


if __name__ == "__main__":
    sys.exit(main())
