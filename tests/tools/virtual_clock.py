#!/usr/bin/env python3
"""A clock on a serial line: plays clock equipment on the master side of a
pseudo-terminal, for the clock setter's system tests and the demo.

It sends time frames (35 bytes: "*", seconds, minutes, hours, day, month,
four-digit year, a 20-character tail ending in "#") well formed or not:
with chosen field texts, cut short, shifted so that the reader starts in the
middle of one, with noise, back to back or apart, at chosen moments. Bytes
go out paced as a 9600 baud line carries them (each one no sooner than one
byte time after the one before, so never faster than the line) or as one
burst, and bytes can be held back and released later.

As a module:
    clock = VirtualClock(master_fd)
    clock.send(frame_of(datetime.now()))            # paced, now
    clock.send(compose_frame("56", "34", "00", 25, 12, 2024), at=t0 + 1.0)
    clock.send(b"x" * 36, paced=False)               # a burst
    clock.hold(frame[20:]); clock.send(frame[:20]); clock.release()

As a program (a pty of its own, or an inherited master descriptor):
    virtual_clock.py --count 10 --interval 1
    virtual_clock.py --fd 5 --start "2024-12-25 12:34:56" --skip 10
"""

import argparse
import datetime
import os
import random
import select
import sys
import time
import tty

BAUD = 9600
FRAME_LENGTH = 35
TAIL_MODE_1 = b"         1         #"
TAIL_BROADCAST = b"         1     0213#"


def byte_seconds(bits_per_byte=10):
    """Time one byte takes on the line: 10 bits for 8N1, 9 for 7N1."""
    return bits_per_byte / BAUD


def _field(value, width):
    if isinstance(value, int):
        return b"%0*d" % (width, value)
    if isinstance(value, str):
        return value.encode("latin-1")
    return bytes(value)


def compose_frame(seconds, minutes, hours, day, month, year, tail=TAIL_MODE_1):
    """A frame from six fields: numbers are written with leading zeros to
    their width, texts and bytes go in exactly as given (so a field may be
    " 0", "1a" or short)."""
    return (b"*" + _field(seconds, 2) + _field(minutes, 2) + _field(hours, 2) + _field(day, 2)
            + _field(month, 2) + _field(year, 4) + bytes(tail))


def frame_of(moment, tail=TAIL_MODE_1):
    """The frame of a date and time, as a clock sends it."""
    return compose_frame(moment.second, moment.minute, moment.hour, moment.day, moment.month, moment.year, tail)


def misaligned(frames, skip):
    """Frames back to back with the first `skip` bytes gone: a reader that
    starts there takes every block across two frames."""
    return b"".join(frames)[skip:]


def noisy(data, count, seed=0):
    """`data` with `count` bytes replaced by printable noise at random places."""
    rng = random.Random(seed)
    out = bytearray(data)
    for _ in range(count):
        out[rng.randrange(len(out))] = rng.choice(b"0123456789 *#~")
    return bytes(out)


class VirtualClock:
    """Writes to the master side of a pty; what the program reads on the
    slave side arrives in the order and at the pace written here."""

    def __init__(self, fd, bits_per_byte=10):
        self.fd = fd
        self.byte_time = byte_seconds(bits_per_byte)
        self.held = b""
        self.last_byte_at = None  # time.monotonic() of the last byte written
        self.sent = []  # (start, end, bytes) of each send

    def _write(self, data):
        while data:
            try:
                done = os.write(self.fd, data)
            except BlockingIOError:  # a non-blocking descriptor with a full line
                select.select([], [self.fd], [], 1.0)
                continue
            data = data[done:]

    @staticmethod
    def _sleep_until(moment):
        while True:
            left = moment - time.monotonic()
            if left <= 0:
                return
            time.sleep(left)

    def send(self, data, at=None, paced=True):
        """Sends `data` from the monotonic time `at` (now if None), one byte
        at a time at the line's pace, or as one write when not paced.
        Returns (first byte's time, last byte's time)."""
        data = bytes(data)
        if at is not None:
            self._sleep_until(at)
        start = None
        if not paced:
            start = time.monotonic()
            self._write(data)
            self.last_byte_at = time.monotonic()
        else:
            for i in range(len(data)):
                if self.last_byte_at is not None:
                    self._sleep_until(self.last_byte_at + self.byte_time)
                self._write(data[i:i + 1])
                self.last_byte_at = time.monotonic()
                if start is None:
                    start = self.last_byte_at
        end = self.last_byte_at
        if start is None:
            start = end = time.monotonic()
        self.sent.append((start, end, data))
        return start, end

    def send_frames(self, frames, interval=1.0, start=None, paced=True):
        """Sends each frame `interval` seconds after the one before, the
        first at `start` (now if None); interval 0 sends them back to back.
        Returns the (start, end) times of each."""
        start = time.monotonic() if start is None else start
        times = []
        for i, frame in enumerate(frames):
            at = start + i * interval if interval > 0 else None
            times.append(self.send(frame, at=at, paced=paced))
        return times

    def hold(self, data):
        """Keeps bytes back until release()."""
        self.held += bytes(data)

    def release(self, at=None, paced=True):
        """Sends the bytes held back."""
        data, self.held = self.held, b""
        return self.send(data, at=at, paced=paced)


def _parse_start(text):
    if text == "now":
        return None
    return datetime.datetime.strptime(text, "%Y-%m-%d %H:%M:%S")


def main(argv=None):
    parser = argparse.ArgumentParser(description="Play a clock that sends time frames on a pty.")
    parser.add_argument("--fd", type=int, help="master descriptor to write to (default: a new pty)")
    parser.add_argument("--link", help="with a new pty, also make this symlink to its slave")
    parser.add_argument("--count", type=int, default=5, help="frames to send (0: until ended)")
    parser.add_argument("--interval", type=float, default=1.0, help="seconds between frames (0: back to back)")
    parser.add_argument("--delay", type=float, default=0.0, help="seconds before the first frame")
    parser.add_argument("--start", default="now", help='time of the first frame, "now" or "YYYY-MM-DD hh:mm:ss"')
    parser.add_argument("--skip", type=int, default=0, help="leave out the first bytes (start mid-frame)")
    parser.add_argument("--noise", type=int, default=0, help="bytes of noise in each frame")
    parser.add_argument("--extra", type=int, default=0, help="stray bytes after each frame")
    parser.add_argument("--burst", action="store_true", help="send each frame as one burst")
    parser.add_argument("--bits", type=int, default=10, choices=(9, 10, 11), help="bits per byte on the line")
    args = parser.parse_args(argv)

    if args.fd is None:
        master, slave = os.openpty()
        # Raw, as a serial line moves bytes; the slave stays open so the
        # line keeps its settings until a program opens it.
        tty.setraw(slave)
        name = os.ttyname(slave)
        if args.link:
            os.symlink(name, args.link)
        print(name, flush=True)
    else:
        master = args.fd
    clock = VirtualClock(master, args.bits)
    first = _parse_start(args.start)
    begin = time.monotonic() + args.delay
    skip = args.skip
    n = 0
    try:
        while args.count == 0 or n < args.count:
            at = begin + n * args.interval if args.interval > 0 else None
            if at is not None:
                VirtualClock._sleep_until(at)
            if first is None:
                moment = datetime.datetime.now()
            else:
                moment = first + datetime.timedelta(seconds=n * max(args.interval, 0))
            data = noisy(frame_of(moment), args.noise, seed=n) if args.noise else frame_of(moment)
            data += b"+" * args.extra
            data, skip = data[skip:], max(0, skip - len(data))
            clock.send(data, paced=not args.burst)
            n += 1
    except (KeyboardInterrupt, BrokenPipeError):
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
