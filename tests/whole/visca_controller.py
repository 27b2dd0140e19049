#!/usr/bin/env python3
"""A well-behaved VISCA-over-IP controller for the whole-process tests: sends
commands with sequence numbers of its own and waits for their replies.

    visca_controller.py --to HOST:PORT [--listen P] [--count N] [--interval S]
                        [--first SEQ] [--wait S] HEX...

Each command goes in its own datagram (type 01 00, the VISCA message's
length, sequence numbers FIRST, FIRST+1, ...), cycling through the given
VISCA messages; --interval 0 sends them back to back. Replies are taken on
port P (default 52381, where the appliance sends them) from the sending
socket. Once every command has its acknowledgement and its completion, or
--wait seconds after the last one was sent, it prints one line per command:
    command SEQ ack MS|- completion MS|- other N
(milliseconds from sending to the reply, - when none came; other counts the
further replies with its sequence number), then
    summary sent N acks A completions C late L
where late counts acknowledgements that took more than 300 ms.
"""
import argparse
import select
import socket
import sys
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--to", required=True)
    parser.add_argument("--listen", type=int, default=52381)
    parser.add_argument("--count", type=int, default=1)
    parser.add_argument("--interval", type=float, default=0.5)
    parser.add_argument("--first", type=lambda t: int(t, 0), default=1)
    parser.add_argument("--wait", type=float, default=5.0)
    parser.add_argument("messages", nargs="+")
    args = parser.parse_args()
    host, port = args.to.rsplit(":", 1)
    messages = [bytes.fromhex(m) for m in args.messages]

    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("", args.listen))

    sent = {}      # sequence number -> time sent
    acks, completions, other = {}, {}, {}

    def take(timeout):
        ready, _, _ = select.select([s], [], [], max(0.0, timeout))
        if not ready:
            return
        data, _ = s.recvfrom(65536)
        now = time.monotonic()
        if len(data) < 11 or data[0:2] != b"\x01\x11":
            return
        seq = int.from_bytes(data[4:8], "big")
        if seq not in sent:
            return
        kind = data[9] & 0xF0
        table = acks if kind == 0x40 else completions if kind == 0x50 else None
        if table is not None and seq not in table:
            table[seq] = (now - sent[seq]) * 1000
        else:
            other[seq] = other.get(seq, 0) + 1

    def done():
        return all(q in acks and q in completions for q in sent)

    next_send = time.monotonic()
    for i in range(args.count):
        while time.monotonic() < next_send:
            take(next_send - time.monotonic())
        seq = (args.first + i) & 0xFFFFFFFF
        message = messages[i % len(messages)]
        header = b"\x01\x00" + len(message).to_bytes(2, "big") + seq.to_bytes(4, "big")
        sent[seq] = time.monotonic()
        s.sendto(header + message, (host, int(port)))
        next_send += args.interval
    end = time.monotonic() + args.wait
    while not done() and time.monotonic() < end:
        take(end - time.monotonic())

    def ms(table, seq):
        return "%.1f" % table[seq] if seq in table else "-"

    for seq in sent:
        print("command %d ack %s completion %s other %d" % (seq, ms(acks, seq), ms(completions, seq),
                                                               other.get(seq, 0)))
    print("summary sent %d acks %d completions %d late %d" %
          (len(sent), len(acks), len(completions), sum(1 for v in acks.values() if v > 300)), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
