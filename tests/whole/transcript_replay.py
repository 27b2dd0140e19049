#!/usr/bin/env python3
"""Replays a golden transcript of VISCA-over-IP exchanges against the
appliance on the virtual board, and checks what the camera read and what
the controller got back.

    transcript_replay.py --camera-log LOG [--board HOST] [--bound S] FILE

FILE holds one exchange after another (tests/whole/transcripts/README.md
gives the format). For each exchange the datagrams go out, then a fence: a
request whose answer is known (a power inquiry on the VISCA ports, an
enquiry on the network-settings port). The bridge serves each socket in
order and the camera answers in order, so whatever the exchange made the
camera read, and every answer it got at once, came before the fence's
answer; after that only the completions of moves are awaited. Nothing is
awaited on a clock; --bound only ends a wait for what was lost.

On the LAN it also watches every frame on the link: an exchange fails when
the appliance sent anything to an address but the controller's or the
broadcast, or asked (ARP) for another address to send to.

Prints one line per exchange:
    ok|FAIL|XFAIL|XPASS FILE:LINE: what was sent
and, for a failure, what was expected and what came. The status is 1 when
an exchange failed that was not marked as expected to fail, or one so
marked passed (the mark is stale).
"""
import argparse
import re
import select
import socket
import sys
import time

LOCALHOST = "127.0.0.1"
CONTROLLER = "192.168.5.7"   # this end of the virtual LAN
VISCA, DISCOVERY, LOOP, LOOP_REPLY = 52381, 52380, 52385, 52386
# The network-settings responder answers at most four datagrams a second.
SETTINGS_ANSWERS_PER_SECOND = 4


def parse_bytes(text, where):
    out = bytearray()
    for token in re.findall(r'"[^"]*"|\S+', text):
        if token.startswith('"'):
            out += token[1:-1].encode("latin1")
        elif re.fullmatch(r"[0-9A-Fa-f]{2}", token):
            out.append(int(token, 16))
        else:
            raise SystemExit("%s: not a byte: %s" % (where, token))
    return bytes(out)


def show(data):
    return " ".join("%02X" % b for b in data)


class exchange:
    def __init__(self, line, to, port):
        self.line, self.to, self.port = line, to, port
        self.sends, self.serial, self.replies = [], [], []
        self.expected_failure = None


def comes_later(datagram):
    """A VISCA-over-IP reply that completes a command on a socket (x0 5y, y
    of 1 to 2): the camera sends it when the move is done."""
    return datagram[:2] == b"\x01\x11" and len(datagram) > 9 and datagram[9] in (0x51, 0x52)


def without_comment(line):
    """The line up to a # that is not inside a quoted text."""
    quoted = False
    for i, c in enumerate(line):
        if c == '"':
            quoted = not quoted
        elif c == "#" and not quoted:
            return line[:i]
    return line


def read_transcript(path):
    exchanges, to, port, current = [], VISCA, 0, None
    for number, raw in enumerate(open(path), 1):
        if not raw.strip():
            current = None   # a blank line ends an exchange
            continue
        text = without_comment(raw).strip()
        if not text:
            continue
        word, _, rest = text.partition(" ")
        where = "%s:%d" % (path, number)
        if word == "to":
            to = LOOP if rest == "loop" else int(rest)
        elif word == "from":
            port = 0 if rest == "ephemeral" else int(rest)
        elif word == "send":
            if current is None or current.serial or current.replies or current.expected_failure:
                current = exchange(number, to, port)
                exchanges.append(current)
            current.sends.append(parse_bytes(rest, where))
        elif word in ("serial", "reply"):
            if current is None:
                raise SystemExit("%s: %s before any send" % (where, word))
            (current.serial if word == "serial" else current.replies).append(parse_bytes(rest, where))
        elif word == "expect-failure":
            current.expected_failure = rest
        else:
            raise SystemExit("%s: unknown line: %s" % (where, text))
    return exchanges


class controller:
    def __init__(self, board, camera_log, bound):
        self.board, self.camera_log, self.bound = board, camera_log, bound
        self.sockets = {}
        self.log_at = 0
        self.fences = 0
        self.settings_answers = []   # when the responder's answers came
        # Replies to VISCA over IP come to port 52381 (on the loop: 52386).
        self.listener = self.bound_socket(LOOP_REPLY if board == LOCALHOST else VISCA)
        # Every frame on the LAN's link, to see where the appliance sends
        # anything at all (root in the LAN's namespace only).
        self.link = None
        self.leaks = []
        if board != LOCALHOST:
            self.link = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0003))
            self.link.bind(("lan0", 0))
        # The network-settings fence's answer is broadcast to a port of its own.
        self.settings_fence = self.bound_socket(0)
        self.settings_fence_port = self.settings_fence.getsockname()[1]

    def bound_socket(self, port):
        if port and port in self.sockets:
            return self.sockets[port]
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        s.bind(("", port))
        self.sockets[s.getsockname()[1]] = s
        return s

    def new_log_lines(self):
        with open(self.camera_log, "rb") as f:
            f.seek(self.log_at)
            data = f.read()
        complete = data[: data.rfind(b"\n") + 1]
        self.log_at += len(complete)
        return [bytes.fromhex(line) for line in complete.decode().splitlines() if line.strip()]

    def receive(self, until, wanted):
        """(Local port, datagram) pairs that come before until, or until
        wanted(received) holds."""
        got = []
        while not wanted(got):
            left = until - time.monotonic()
            if left <= 0:
                break
            watched = list(self.sockets.values()) + ([self.link] if self.link else [])
            ready, _, _ = select.select(watched, [], [], left)
            for s in ready:
                if s is self.link:
                    self.look_at_frame(s.recv(65536))
                    continue
                data, (host, _) = s.recvfrom(65536)
                if host != self.board:
                    continue   # only the appliance's datagrams count
                if data[:1] == b"\x02" and data[1:5] in (b"MAC:", b"NAK:"):
                    self.settings_answers.append(time.monotonic())
                got.append((s.getsockname()[1], data))
        return got

    def look_at_frame(self, frame):
        """Notes what the appliance sends to anyone but the controller: an
        IPv4 datagram to another address than ours or the broadcast, or an
        ARP request for another address (a datagram it means to send)."""
        me = socket.inet_aton(CONTROLLER)
        board = socket.inet_aton(self.board)
        kind = frame[12:14]
        if kind == b"\x08\x00" and frame[26:30] == board:
            to = frame[30:34]
            if to not in (me, b"\xff\xff\xff\xff", board[:3] + b"\xff") and to[0] < 224:
                self.leaks.append("an IPv4 datagram to %s" % socket.inet_ntoa(to))
        elif kind == b"\x08\x06" and frame[20:22] == b"\x00\x01" and frame[28:32] == board:
            if frame[38:42] != me:
                self.leaks.append("an ARP request for %s" % socket.inet_ntoa(frame[38:42]))

    def pace_settings(self, needed):
        # Four answers within a second are all the responder gives: wait
        # until needed more may go, counting from when they came here (after
        # the responder sent them, so never fewer than it counts itself).
        recent = [t for t in self.settings_answers if t > time.monotonic() - 1.0]
        over = len(recent) + needed - SETTINGS_ANSWERS_PER_SECOND
        if over > 0:
            time.sleep(max(0.0, recent[over - 1] + 1.05 - time.monotonic()))

    def fence(self, to):
        """A request and the answer that closes an exchange on port to."""
        self.fences += 1
        if to == DISCOVERY:
            return (self.settings_fence, b"\x02ENQ:network\xff\x03", None,
                    lambda port, d: port == self.settings_fence_port and b"INFO:network" in d)
        seq = (0x7E000000 + self.fences).to_bytes(4, "big")
        camera, header, origin = (0x82, 0xA0, b"\x00\x00\x01") if to == LOOP else (0x81, 0x90, None)
        request = b"\x01\x10\x00\x05" + seq + bytes([camera, 0x09, 0x04, 0x00, 0xFF])
        answer = b"\x01\x11\x00\x04" + seq + bytes([header, 0x50, 0x02, 0xFF])
        return self.listener, request, (seq, camera), lambda port, d: d == answer

    def run(self, e):
        target = (self.board, e.to)
        fence_socket, request, fence_serial, is_answer = self.fence(e.to)
        if e.to == DISCOVERY:
            self.pace_settings(len(e.sends) + 1)
        sender = self.bound_socket(e.port)
        for datagram in e.sends:
            sender.sendto(datagram, target)
        fence_socket.sendto(request, target)

        # Whatever the camera or the bridge answers at once comes before the
        # fence's answer; only a completion that waits for a move may come
        # after it, so once the fence is answered nothing else is awaited.
        def settled(got):
            if not any(is_answer(*r) for r in got):
                return False
            missing = list(e.replies)
            for port, d in got:
                if d in missing:
                    missing.remove(d)
            return not any(comes_later(d) for d in missing)

        replies = self.receive(time.monotonic() + self.bound, settled)
        fenced = any(is_answer(*r) for r in replies)
        replies = [d for port, d in replies if not is_answer(port, d)]

        serial = self.new_log_lines()
        if fence_serial is not None:
            seq, camera = fence_serial
            # The fence's own line ends what the exchange made the camera read.
            ends = [i for i, m in enumerate(serial) if m[4:8] == seq and m[8:9] == bytes([camera])]
            serial = serial[: ends[0]] + serial[ends[0] + 1 :] if ends else serial
        problems = ["the appliance sent %s" % leak for leak in self.leaks]
        self.leaks = []
        if not fenced:
            problems.append("the fence got no answer within %g s" % self.bound)
        if serial != e.serial:
            problems.append("serial expected [%s], got [%s]" % (" | ".join(map(show, e.serial)),
                                                                 " | ".join(map(show, serial))))
        if replies != e.replies:
            problems.append("replies expected [%s], got [%s]" % (" | ".join(map(show, e.replies)),
                                                                  " | ".join(map(show, replies))))
        return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--camera-log", required=True)
    parser.add_argument("--board", default="192.168.5.20")
    parser.add_argument("--bound", type=float, default=30.0,
                        help="longest wait for an exchange's replies and its fence's answer (reached only "
                        "when something is lost)")
    parser.add_argument("transcript")
    args = parser.parse_args()

    exchanges = read_transcript(args.transcript)
    c = controller(args.board, args.camera_log, args.bound)
    c.new_log_lines()   # what the camera read before the replay is not ours
    failures = expected_failures = 0
    for e in exchanges:
        problems = c.run(e)
        what = "%s:%d: %s" % (args.transcript.rsplit("/", 1)[-1], e.line, " + ".join(map(show, e.sends)))
        if e.expected_failure:
            # A mark that no longer holds is stale: it fails, so that it goes.
            verdict = "XFAIL" if problems else "XPASS"
            expected_failures += bool(problems)
            failures += not problems
        else:
            verdict = "FAIL" if problems else "ok"
            failures += bool(problems)
        print(verdict, what, flush=True)
        if e.expected_failure:
            print("    expected to fail: %s" % e.expected_failure, flush=True)
        for p in problems:
            print("    " + p, flush=True)
    print("%d exchanges, %d failed, %d expected to fail" % (len(exchanges), failures, expected_failures), flush=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
