#!/usr/bin/env python3
"""A UDP peer for the whole-process tests: sends datagrams, then prints
every datagram it receives for a while, one line each:
    <port it arrived on> <sender ip>:<sender port> <hex bytes>

    udp_peer.py --to HOST:PORT [--port P] [--listen P]... [--wait S] HEX...

--port   the local port the datagrams are sent from (and listened on);
         default: one the system picks
--listen further local ports to listen on (e.g. 52381 for VISCA replies)
--wait   how long to listen after sending (default 1 s)
--random N datagrams of random bytes before the given ones (--seed S to
         repeat a run; the seed is printed on standard error)
HEX      a datagram as hex bytes, spaces allowed within one argument
"""
import argparse
import random
import select
import socket
import sys
import time


def bound(port):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    s.bind(("", port))
    return s


def garbage(rng):
    """Random bytes, often behind a header the appliance looks at twice."""
    body = bytes(rng.randrange(256) for _ in range(rng.choice([0, 1, 8, 9, 12, 17, rng.randrange(1400)])))
    prefix = rng.choice([b"", b"\x01\x00", b"\x01\x10\x00\x05\x00\x00\x00\x01\x81", b"\x02",
                         b"\x02\x01", b"\x02ENQ:network", b"\x02MAC:", b"\x01\x00\x00\x05\xff\xff\xff\xff\x82"])
    data = prefix + body
    if rng.randrange(3) == 0:
        data += b"\xff"
    return data


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--to", required=True)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--listen", type=int, action="append", default=[])
    parser.add_argument("--wait", type=float, default=1.0)
    parser.add_argument("--gap", type=float, default=0.0, help="pause between datagrams")
    parser.add_argument("--random", type=int, default=0)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("datagrams", nargs="*")
    args = parser.parse_args()
    host, port = args.to.rsplit(":", 1)

    sender = bound(args.port)
    sockets = [sender] + [bound(p) for p in args.listen if p != args.port]
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(1 << 32)
    if args.random:
        print("udp_peer: seed", seed, file=sys.stderr)
    rng = random.Random(seed)
    for _ in range(args.random):
        sender.sendto(garbage(rng), (host, int(port)))
    for text in args.datagrams:
        sender.sendto(bytes.fromhex(text), (host, int(port)))
        if args.gap:
            time.sleep(args.gap)

    end = time.monotonic() + args.wait
    while True:
        left = end - time.monotonic()
        if left <= 0:
            break
        ready, _, _ = select.select(sockets, [], [], left)
        for s in ready:
            data, (ip, sport) = s.recvfrom(65536)
            print(s.getsockname()[1], "%s:%d" % (ip, sport), data.hex(" ").upper(), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
