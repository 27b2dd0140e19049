#!/usr/bin/env python3
"""Checks of the virtual camera's records for the whole-process tests.

    camera_check.py malformed LOG
        prints every line of a camera log (--camera-log) that is not a
        well-formed tagged message: an 8-byte tag whose first byte is 0x00
        to 0x0F, then a VISCA message of at most 16 bytes from a controller
        to camera 1..7 whose only 0xFF is its last byte
    camera_check.py acks TIMING ORIGIN HEADER
        prints the sequence numbers (decimal) of the acknowledgements the
        camera wrote (--camera-timing "out" lines) behind tags of origin
        ORIGIN (three hex bytes, e.g. A8 05 07) from camera HEADER (90, A0)
    camera_check.py commands FIRST COUNT ORIGIN MESSAGE...
        prints the lines the camera log shows for COUNT commands with
        sequence numbers from FIRST (wrapping at 2^32), cycling through the
        VISCA MESSAGEs, from a controller of origin ORIGIN
"""
import sys


def fields(line):
    return [int(w, 16) for w in line.split()]


def well_formed(message):
    tag, visca = message[:8], message[8:]
    return (len(tag) == 8 and tag[0] <= 0x0F and 3 <= len(visca) <= 16 and 0x81 <= visca[0] <= 0x87
            and visca[-1] == 0xFF and 0xFF not in visca[:-1])


def sequence(tag):
    # The flag bits in byte 0 say which 0xFF bytes the tag holds as 0xFE.
    return int.from_bytes(bytes(b + (1 if tag[0] & (8 >> i) else 0) for i, b in enumerate(tag[4:8])), "big")


def tag(origin, seq):
    raw = seq.to_bytes(4, "big")
    flags = sum(8 >> i for i in range(4) if raw[i] == 0xFF)
    return bytes([flags]) + bytes(origin) + bytes(0xFE if b == 0xFF else b for b in raw)


def main():
    if sys.argv[1] == "malformed":
        for line in open(sys.argv[2]):
            if line.strip() and not well_formed(fields(line)):
                print(line.rstrip())
    elif sys.argv[1] == "acks":
        origin, header = fields(sys.argv[3]), int(sys.argv[4], 16)
        for line in open(sys.argv[2]):
            words = line.split(None, 2)
            if len(words) < 3 or words[1] != "out":
                continue
            m = fields(words[2])
            if len(m) == 11 and m[1:4] == origin and m[8] == header and m[9] & 0xF0 == 0x40:
                print(sequence(m))
    elif sys.argv[1] == "commands":
        first, count, origin = int(sys.argv[2], 0), int(sys.argv[3]), fields(sys.argv[4])
        messages = [fields(m) for m in sys.argv[5:]]
        for i in range(count):
            line = tag(origin, (first + i) & 0xFFFFFFFF) + bytes(messages[i % len(messages)])
            print(" ".join("%02X" % b for b in line))
    return 0


if __name__ == "__main__":
    sys.exit(main())
