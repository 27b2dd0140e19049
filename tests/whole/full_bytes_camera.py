#!/usr/bin/env python3
"""A stand-in camera whose answers carry data bytes across the whole range,
a controller that records every reply it gets, and the check of the two.

    full_bytes_camera.py camera --link PATH --log FILE --seed N
        A pseudo-terminal linked at PATH. Every tagged message it reads is
        answered behind its tag as a camera answers: an inquiry (x 09 ...)
        with a completion carrying 1 to 13 data bytes of 00 to FE (x0 bytes,
        90 51 and the tag's own bytes among them), a command with an
        acknowledgement and a completion, or now and then an error. The
        answers go out in writes of random sizes. Logs "TAG|REPLY" per reply.
    full_bytes_camera.py controller --to HOST --count N --log FILE --device-mac MAC
        On the LAN: sends N commands and inquiries to HOST:52381, sequence
        numbers with and without FF bytes, each after the last one's
        completion (or 2 s; it stops after 10 without one). Logs "sent SEQ", every datagram it gets
        ("got ADDRESS PORT PAYLOAD"), and every frame the device puts on
        the LAN ("udp ADDRESS PORT", "arp ADDRESS").
    full_bytes_camera.py check CAMERA-LOG CONTROLLER-LOG ORIGIN
        Prints what differs; nothing when every reply the camera wrote to a
        sent command reached the controller whole behind its own sequence
        number, and nothing went anywhere else.
"""
import argparse
import os
import random
import select
import signal
import socket
import struct
import sys
import time
import tty


def tag_for(origin, seq):
    flags, sequence = 0, bytearray()
    for i, b in enumerate(seq):
        if b == 0xFF:
            flags |= 0x08 >> i
            b = 0xFE
        sequence.append(b)
    return bytes([flags]) + origin + bytes(sequence)


def camera(args):
    rng = random.Random(args.seed)
    master, slave = os.openpty()
    tty.setraw(slave)
    temporary = args.link + ".new"
    os.symlink(os.ttyname(slave), temporary)
    os.rename(temporary, args.link)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    log = open(args.log, "w", buffering=1)
    pending = b""

    def data_byte(tag):
        pick = rng.random()
        if pick < 0.3:
            return rng.choice([0x80, 0x90, 0xA0, 0xB0, 0xC0, 0xD0, 0xE0, 0xF0])
        if pick < 0.45:
            b = rng.choice(tag)
            return b if b != 0xFF else 0xFE
        return rng.randrange(0xFF)

    while True:
        pending += os.read(master, 4096)
        while True:
            end = pending.find(b"\xff", 8)
            if end < 0:
                break
            message, pending = pending[: end + 1], pending[end + 1 :]
            tag, visca = message[:8], message[8:]
            header = 0x80 + ((visca[0] & 0x07) << 4)
            socket_number = rng.choice([1, 2])
            if len(visca) > 2 and visca[1] == 0x09:
                answers = [bytes([header, 0x50]) + bytes(data_byte(tag) for _ in range(rng.randint(1, 13))) + b"\xff"]
            elif rng.random() < 0.15:
                answers = [bytes([header, 0x60 | socket_number, rng.choice([0x02, 0x03, 0x41]), 0xFF])]
            else:
                answers = [bytes([header, 0x40 | socket_number, 0xFF]), bytes([header, 0x50 | socket_number, 0xFF])]
            line = b"".join(tag + a for a in answers)
            at = 0
            while at < len(line):
                n = rng.choice([1, 2, 5, 11, len(line)])
                os.write(master, line[at : at + n])
                at += n
            for a in answers:
                log.write(tag.hex(" ").upper() + "|" + a.hex(" ").upper() + "\n")


def parse_frame(frame, device_mac):
    """("udp", address, port) or ("arp", address) for a frame the device sent."""
    if frame[6:12] != device_mac:
        return None
    kind = struct.unpack("!H", frame[12:14])[0]
    if kind == 0x0806 and struct.unpack("!H", frame[20:22])[0] == 1:
        return ("arp", socket.inet_ntoa(frame[38:42]))
    if kind == 0x0800 and frame[23] == 17:
        header = (frame[14] & 0x0F) * 4
        port = struct.unpack("!H", frame[14 + header + 2 : 14 + header + 4])[0]
        return ("udp", socket.inet_ntoa(frame[30:34]), port)
    return None


def controller(args):
    rng = random.Random(args.count)
    device_mac = bytes.fromhex(args.device_mac.replace(":", ""))
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("0.0.0.0", 52381))
    watch = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0003))
    watch.bind((args.interface, 0))
    log = open(args.log, "w", buffering=1)
    messages = [
        "81 09 00 02 FF",  # version
        "81 09 04 47 FF",  # zoom position
        "81 09 06 12 FF",  # pan-tilt position
        "81 09 7E 7E 00 FF",  # block inquiries
        "81 09 7E 7E 02 FF",
        "81 01 04 07 00 FF",  # zoom stop
        "81 01 06 01 0C 0C 03 03 FF",  # pan-tilt stop
    ]

    def take(until):
        while True:
            wait = until - time.monotonic()
            if wait <= 0:
                return None
            ready, _, _ = select.select([s, watch], [], [], wait)
            if watch in ready:
                seen = parse_frame(watch.recv(2048), device_mac)
                if seen:
                    log.write(" ".join(str(x) for x in seen) + "\n")
            if s in ready:
                payload, (address, port) = s.recvfrom(2048)
                log.write("got %s %d %s\n" % (address, port, payload.hex(" ").upper()))
                return payload

    lost = 0
    for i in range(args.count):
        if lost == 10:
            break  # the rest would only say the same, slowly
        seq = bytearray([0x00, 0x00, i, 0x10])  # byte 2 tells them apart
        for k in (0, 1, 3):
            if rng.random() < 0.2:
                seq[k] = 0xFF
        visca = bytes.fromhex(messages[i % len(messages)])
        log.write("sent %s\n" % seq.hex(" ").upper())
        s.sendto(bytes([0x01, 0x10 if visca[1] == 0x09 else 0x00, 0, len(visca)]) + bytes(seq) + visca, (args.to, 52381))
        until = time.monotonic() + 2
        while True:
            payload = take(until)
            if payload is None:
                lost += 1
                break
            if payload[4:8] == seq and len(payload) > 9 and payload[9] >> 4 in (5, 6):
                break
    # Whatever else the device sends, until it has been quiet for 2 s.
    while take(time.monotonic() + 2) is not None:
        pass


def check(args):
    origin = bytes.fromhex(args.origin)
    written = {}
    for line in open(args.camera_log):
        tag, reply = line.strip().split("|")
        written.setdefault(tag, []).append(reply)
    sent, got, problems, frames = [], {}, [], 0
    for line in open(args.controller_log):
        word = line.split()
        if word[0] == "sent":
            sent.append(" ".join(word[1:]))
        if word[0] == "got":
            if word[1] != args.device:
                problems.append("a datagram from %s: %s" % (word[1], line.strip()))
            payload = word[3:]
            got.setdefault(" ".join(payload[4:8]), []).append(" ".join(payload))
        frames += word[0] in ("udp", "arp")
        if word[0] == "udp" and not (word[1] == args.controller and word[2] == "52381"):
            problems.append("the device sent to %s port %s" % (word[1], word[2]))
        elif word[0] == "arp" and word[1] != args.controller:
            problems.append("the device looked for %s" % word[1])
    answered = 0
    for seq in sent:
        tag = tag_for(origin, bytes.fromhex(seq)).hex(" ").upper()
        expected = []
        for reply in written.get(tag, []):
            n = len(reply.split())
            expected.append("01 11 %02X %02X %s %s" % (n >> 8, n & 0xFF, seq, reply))
        if got.pop(seq, []) != expected:
            problems.append("sequence %s: the camera wrote %s" % (seq, expected))
        answered += bool(expected)
    for seq, replies in got.items():
        problems.append("replies behind a sequence number never sent: %s" % replies)
    for p in problems[:20]:
        print(p)
    if frames == 0:
        print("no frame of the device seen on the LAN: the watch is blind")
    if not problems:
        sys.stderr.write("%d commands, %d answered, %d replies checked, %d frames of the device seen\n"
                         % (len(sent), answered, sum(len(v) for v in written.values()), frames))


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="what", required=True)
    c = sub.add_parser("camera")
    c.add_argument("--link", required=True)
    c.add_argument("--log", required=True)
    c.add_argument("--seed", type=int, required=True)
    k = sub.add_parser("controller")
    k.add_argument("--to", required=True)
    k.add_argument("--count", type=int, default=200)  # at most 255
    k.add_argument("--log", required=True)
    k.add_argument("--device-mac", required=True)
    k.add_argument("--interface", default="lan0")
    x = sub.add_parser("check")
    x.add_argument("camera_log")
    x.add_argument("controller_log")
    x.add_argument("origin")
    x.add_argument("--device", default="192.168.5.20")
    x.add_argument("--controller", default="192.168.5.7")
    args = parser.parse_args()
    {"camera": camera, "controller": controller, "check": check}[args.what](args)


if __name__ == "__main__":
    main()
