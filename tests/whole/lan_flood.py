#!/usr/bin/env python3
"""Another host on the LAN flooding the appliance's VISCA ports with
garbage, for the whole-process tests:

    lan_flood.py --from ADDRESS --to HOST [--count N] [--seconds S] [--seed S]

sends N datagrams (default 4000) spread over S seconds (default 4) from
ADDRESS, alternately to ports 52381 and 52380, of four kinds: random bytes;
VISCA-over-IP commands with a valid header, 0x81 at byte 8 and 0xFF last
but further 0xFF bytes inside; payloads of 1,400 bytes; and look-alikes of
the network-settings enquiry and its answers. None is a well-formed VISCA
message. The seed is printed on standard error.
"""
import argparse
import random
import socket
import sys
import time


def random_bytes(rng, n):
    return bytes(rng.randrange(256) for _ in range(n))


def inner_terminators(rng):
    body = bytearray(random_bytes(rng, rng.randrange(2, 40)))
    body[rng.randrange(len(body))] = 0xFF
    message = b"\x81" + bytes(body) + b"\xff"
    return b"\x01\x00" + len(message).to_bytes(2, "big") + random_bytes(rng, 4) + message


def long_payload(rng):
    body = random_bytes(rng, 1400 - 10)
    return b"\x01\x00\x05\x78" + random_bytes(rng, 4) + b"\x81" + body + b"\xff"


def enquiry_like(rng):
    text = rng.choice([b"ENQ:network", b"ENQ:netwrk", b"ENQ:", b"MAC:02-00-00-00-00-01", b"ACK:", b"NAK:",
                       b"MAC:02-00-00-00-00-01\xffIPADR:192.168.5.99\xffMASK:255.255.255.0\xffNAME:x"])
    return bytes([rng.choice([0x02, 0x00, 0x01])]) + text + rng.choice([b"\xff\x03", b"", random_bytes(rng, 20)])


def datagram(rng):
    kind = rng.randrange(4)
    if kind == 0:
        data = random_bytes(rng, rng.randrange(1, 64))
        return (b"\x00" + data[1:]) if data[0] == 0x01 else data   # never a VISCA command
    if kind == 1:
        return inner_terminators(rng)
    if kind == 2:
        return long_payload(rng)
    return enquiry_like(rng)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--from", dest="source", required=True)
    parser.add_argument("--to", required=True)
    parser.add_argument("--count", type=int, default=4000)
    parser.add_argument("--seconds", type=float, default=4.0)
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(1 << 32)
    print("lan_flood: seed", seed, file=sys.stderr)
    rng = random.Random(seed)

    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((args.source, 0))
    start = time.monotonic()
    for i in range(args.count):
        due = start + args.seconds * i / args.count
        if due > time.monotonic():
            time.sleep(due - time.monotonic())
        try:
            s.sendto(datagram(rng), (args.to, 52381 if i % 2 == 0 else 52380))
        except OSError:
            pass   # a full send buffer: the flood goes on
    print("lan_flood: sent", args.count, "in %.1f s" % (time.monotonic() - start), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
