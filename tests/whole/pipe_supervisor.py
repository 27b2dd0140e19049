#!/usr/bin/env python3
"""A supervisor for the whole-process tests of the control pipe: talks to
the program over its -I and -O FIFOs the way a careless one might.

    pipe_supervisor.py COMMAND_FIFO REPLY_FIFO STEP...

Steps, run in order; each prints what it found, and the script exits 1 at
the first that fails:
  signal TEXT   ask "video_in" until the reply is "video_in TEXT" (10 s)
  reopen N      close the command pipe and open it again, N times, asking
                "video_in" each time and expecting the last signal again
  random SEED   64 KiB of random bytes in reads of 1 to 300 bytes, then the
                program must answer "video_in" again
  long          a 100,000-byte line, then "video_in" answered
  status PAIR.. ask "status": the line's pairs must include each PAIR
                (KEY=VALUE exactly, or KEY>N for a number above N)
  flood N       "video_in", each read alone, without reading a reply, until
                the reply pipe is full, then N more (replies it cannot take)
  drain         read whatever replies wait, and go on reading them
  exit          write "exit"
  hold          keep both pipes open, unread, for 30 s (the test ends this
                process once the program has gone)
The reply pipe is shrunk to one page, so that a flood fills it soon.
"""
import array
import fcntl
import os
import random
import select
import sys
import termios
import time

F_SETPIPE_SZ = getattr(fcntl, "F_SETPIPE_SZ", 1031)


class supervisor:
    def __init__(self, command_path, reply_path):
        self.command_path = command_path
        self.command = os.open(command_path, os.O_WRONLY)   # the program opens -I first
        self.reply = os.open(reply_path, os.O_RDONLY)
        fcntl.fcntl(self.reply, F_SETPIPE_SZ, 4096)
        self.pending = b""
        self.expected_signal = None

    @staticmethod
    def unread(fd):
        """Bytes waiting in the pipe behind fd (either end)."""
        count = array.array("i", [0])
        fcntl.ioctl(fd, termios.FIONREAD, count)
        return count[0]

    def settle(self, seconds=10):
        """Waits until the program has read all that was written: one read
        is one command, so a command written before then may join the
        previous one as its arguments."""
        end = time.monotonic() + seconds
        while self.unread(self.command) and time.monotonic() < end:
            time.sleep(0.001)

    def send(self, data):
        view = memoryview(data)
        while view:
            view = view[os.write(self.command, view):]

    def line(self, seconds):
        """The next reply line, or None after seconds of silence."""
        end = time.monotonic() + seconds
        while b"\n" not in self.pending:
            left = end - time.monotonic()
            if left <= 0 or not select.select([self.reply], [], [], left)[0]:
                return None
            chunk = os.read(self.reply, 65536)
            if not chunk:
                return None
            self.pending += chunk
        text, self.pending = self.pending.split(b"\n", 1)
        return text.decode(errors="replace")

    def ask_until(self, command, wanted, seconds):
        """Asks until a reply equals wanted (other replies are skipped)."""
        end = time.monotonic() + seconds
        seen = []
        while time.monotonic() < end:
            self.send(command.encode() + b"\n")
            while True:
                got = self.line(0.3)
                if got is None:
                    break
                if got == wanted:
                    return True
                seen.append(got)
        print(f"no [{wanted}] within {seconds} s; last replies: {seen[-5:]}", file=sys.stderr)
        return False

    def drain(self):
        self.pending = b""
        while select.select([self.reply], [], [], 0.2)[0]:
            if not os.read(self.reply, 65536):
                break


def fail(message):
    print("FAIL: " + message, file=sys.stderr)
    sys.exit(1)


def main():
    s = supervisor(sys.argv[1], sys.argv[2])
    steps = sys.argv[3:]
    while steps:
        step = steps.pop(0)
        if step == "signal":
            s.expected_signal = "video_in " + steps.pop(0)
            if not s.ask_until("video_in", s.expected_signal, 10):
                fail("no signal")
        elif step == "reopen":
            for i in range(int(steps.pop(0))):
                os.close(s.command)
                time.sleep(0.02)
                s.command = os.open(s.command_path, os.O_WRONLY)
                if not s.ask_until("video_in", s.expected_signal, 5):
                    fail(f"no reply after reopening the command pipe {i + 1} times")
            print("reopened and answered")
        elif step == "random":
            seed = int(steps.pop(0))
            print(f"random bytes, seed {seed}")
            r = random.Random(seed)
            sent = 0
            while sent < 65536:
                n = r.randint(1, 300)
                s.send(bytes(r.getrandbits(8) for _ in range(n)))
                sent += n
            if not s.ask_until("video_in", s.expected_signal, 10):
                fail("no reply after random bytes")
            print("answered after random bytes")
        elif step == "long":
            s.send(b"x" * 100000 + b"\n")
            if not s.ask_until("video_in", s.expected_signal, 10):
                fail("no reply after an over-long line")
            print("answered after an over-long line")
        elif step == "status":
            pairs = []
            while steps and ("=" in steps[0] or ">" in steps[0]):
                pairs.append(steps.pop(0))
            s.drain()
            s.settle()
            s.send(b"status\n")
            got = None
            end = time.monotonic() + 5
            while time.monotonic() < end:
                got = s.line(1)
                if got is not None and got.startswith("status "):
                    break
            if got is None or not got.startswith("status "):
                fail("no status line")
            print(got)
            values = dict(p.split("=", 1) for p in got.split()[1:])
            for p in pairs:
                if ">" in p:
                    key, least = p.split(">")
                    if key not in values or not values[key].isdigit() or int(values[key]) <= int(least):
                        fail(f"status: {key} is {values.get(key)}, wanted more than {least}")
                else:
                    key, value = p.split("=", 1)
                    if values.get(key) != value:
                        fail(f"status: {key} is {values.get(key)}, wanted {value}")
        elif step == "flood":
            beyond = int(steps.pop(0))
            for _ in range(100000):
                if beyond == 0:
                    break
                if s.unread(s.reply) > 4096 - len("video_in 1920x1080p59.94\n"):
                    beyond -= 1
                s.settle()
                s.send(b"video_in\n")
            s.settle()
            print(f"flooded: {s.unread(s.reply)} bytes of replies unread")
        elif step == "drain":
            s.drain()
        elif step == "exit":
            s.settle()
            s.send(b"exit\n")
            print("exit sent")
        elif step == "hold":
            print("holding", flush=True)
            time.sleep(30)
        else:
            fail("unknown step " + step)
        sys.stdout.flush()


main()
