#!/usr/bin/env python3
"""A test device on a pseudo-terminal for the Windows tests under Wine.

Creates a pty, points LINK (the path Wine's registry maps a COM number to) at
its device end, plays MODE on the other end while COMMAND runs, then removes
the link. Exits with COMMAND's status, or 1 when the device saw something
wrong (its reason goes to stderr).

  pty_device.py --link PATH --com N --mode MODE [--image FILE] -- COMMAND...

COMMAND gets FLASH3_TEST_COM=N, FLASH3_TEST_SIGNAL (a Windows path the test
creates to signal the device) and, with --image, FLASH3_TEST_IMAGE (the image
as a Windows path).

Modes:
  idle    never reads: what the program sends piles up until the line is full
  stall   reads nothing until the signal file appears; then drains the line,
          checks the bytes against pattern(i), and answers with the count
          (4 bytes, little-endian) and 1 if every byte matched, else 0
  bytes   expects 00..FF in order, then sends FF..00
  echo    sends back every byte it reads
  unplug  on the first byte it reads, closes the pty: the device is gone
  flash   a device in FLASH3 boot mode: waits for E1 94, answers 91 26, then
          checks every T byte of the image and answers every R record
"""

import argparse
import os
import select
import subprocess
import sys
import threading
import time
import tty


def windows_path(path):
    # Wine's drive Z: is the root of the Unix file system.
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def pattern(i):
    return (i * 7 + i // 251) & 0xFF


def image_records(path):
    """The T and R records of a .pf3 image: [('T', byte) or ('R', byte)]."""
    data = open(path, "rb").read()
    records = []
    for i in range(0, len(data) - 3, 4):
        rec = data[i:i + 4]
        if rec[:1] in (b"T", b"R") and rec[3:4] == b":":
            records.append((rec[:1].decode(), int(rec[1:3], 16)))
    return records


class Device:
    def __init__(self, master, slave, mode, signal_unix, image):
        self.master = master
        self.slave = slave
        self.mode = mode
        self.signal_unix = signal_unix
        self.image = image
        self.problem = None
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    # ---- the line ----
    def read(self, want, timeout=None):
        """Up to `want` bytes; waits until all came, the time-out ran out, or the run stopped."""
        got = bytearray()
        deadline = None if timeout is None else time.monotonic() + timeout
        while len(got) < want and not self.stopping.is_set():
            wait = 0.05 if deadline is None else min(0.05, deadline - time.monotonic())
            if wait <= 0:
                break
            ready, _, _ = select.select([self.master], [], [], wait)
            if ready:
                try:
                    got += os.read(self.master, want - len(got))
                except OSError:  # nobody holds the device end at the moment
                    time.sleep(0.01)
        return bytes(got)

    def send(self, data):
        os.write(self.master, bytes(data))

    def fail(self, why):
        if self.problem is None:
            self.problem = why

    # ---- the modes ----
    def run(self):
        try:
            getattr(self, "mode_" + self.mode)()
        except Exception as error:  # a crash of the device is a failed test
            self.fail("device crashed: %r" % (error,))

    def mode_idle(self):
        self.stopping.wait()

    def mode_stall(self):
        while not os.path.exists(self.signal_unix):
            if self.stopping.wait(0.01):
                return
        drained = bytearray()
        while True:
            chunk = self.read(65536, timeout=0.3)
            if not chunk:
                break
            drained += chunk
        matched = all(b == pattern(i) for i, b in enumerate(drained))
        if not matched:
            self.fail("the bytes that arrived are not the ones sent, in order")
        self.send(len(drained).to_bytes(4, "little") + bytes([1 if matched else 0]))
        self.stopping.wait()

    def mode_bytes(self):
        got = self.read(256)
        if self.stopping.is_set() and len(got) < 256:
            self.fail("only %d of the 256 byte values arrived" % len(got))
            return
        if got != bytes(range(256)):
            first = next(i for i in range(len(got)) if got[i] != i)
            self.fail("byte %d arrived as %02X" % (first, got[first]))
            return
        self.send(range(255, -1, -1))
        extra = self.read(1, timeout=0.2)
        if extra:
            self.fail("a byte nobody sent arrived: %02X" % extra[0])

    def mode_echo(self):
        while not self.stopping.is_set():
            data = self.read(1)
            if data:
                self.send(data)

    def mode_unplug(self):
        if self.read(1):
            os.close(self.master)
            os.close(self.slave)
            self.master = self.slave = -1
        self.stopping.wait()

    def mode_flash(self):
        entry = self.read(2)
        if entry != b"\xE1\x94":
            self.fail("entry bytes were %s, not E1 94" % entry.hex(" ").upper())
            return
        self.send(b"\x91\x26")
        for number, (kind, value) in enumerate(self.image, 1):
            if kind == "T":
                got = self.read(1)
                if got != bytes([value]):
                    self.fail("record %d: expected %02X, got %s" % (number, value, got.hex().upper() or "nothing"))
                    return
            else:
                self.send([value])
        extra = self.read(1, timeout=0.2)
        if extra:
            self.fail("a byte after the end of the image: %02X" % extra[0])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--link", required=True)
    parser.add_argument("--com", required=True, type=int)
    parser.add_argument("--mode", required=True,
                        choices=["idle", "stall", "bytes", "echo", "unplug", "flash"])
    parser.add_argument("--image")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser.error("no command to run")

    master, slave = os.openpty()
    # Raw from the start: bytes the device sends before the program sets the
    # line up must not be echoed or translated.
    tty.setraw(slave)

    link = os.path.abspath(args.link)
    os.makedirs(os.path.dirname(link), exist_ok=True)
    fresh = link + ".new"
    if os.path.lexists(fresh):
        os.unlink(fresh)
    os.symlink(os.ttyname(slave), fresh)
    os.replace(fresh, link)  # Wine follows the link at each open

    signal_unix = link + ".signal"
    if os.path.lexists(signal_unix):
        os.unlink(signal_unix)
    env = dict(os.environ, FLASH3_TEST_COM=str(args.com), FLASH3_TEST_SIGNAL=windows_path(signal_unix))
    image = []
    if args.image:
        image = image_records(args.image)
        env["FLASH3_TEST_IMAGE"] = windows_path(args.image)

    device = Device(master, slave, args.mode, signal_unix, image)
    device.thread.start()
    try:
        status = subprocess.call(command, env=env)
    finally:
        device.stopping.set()
        device.thread.join(5)
        if os.path.lexists(link):
            os.unlink(link)
        if os.path.lexists(signal_unix):
            os.unlink(signal_unix)
        for fd in (device.master, device.slave):
            if fd >= 0:
                os.close(fd)
    if status != 0:
        return status
    if device.problem:
        print("pty_device (%s): %s" % (args.mode, device.problem), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
