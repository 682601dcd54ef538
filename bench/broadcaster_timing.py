#!/usr/bin/env python3
"""How soon after the turn of the second the broadcaster's datagram arrives,
and how much of a core the broadcaster uses. Prints figures; passes or fails
nothing.

Run it only inside the test sandbox, where loopback is the only interface:
    tests/system/sandbox python3 bench/broadcaster_timing.py build/linux/bin/udp_time_broadcaster
It refuses to start the broadcaster anywhere else. A Windows build runs with
--wine (WINEPREFIX as the caller set it).
"""
import argparse
import os
import signal
import socket
import struct
import subprocess
import sys
import time

PORT = 16000
# Linux's kernel receive time, seconds and nanoseconds; Python 3.11 lacks the name.
SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)
FRAME_LENGTH = 35


def only_loopback():
    # The interfaces of this process's network namespace (/sys may show the
    # machine's).
    return [name for _, name in socket.if_nameindex()] == ["lo"]


def frame_epoch(frame):
    """The instant (seconds since the epoch) of the frame's local time."""
    text = frame.decode("ascii")
    ss, mm, hh, day, month, year = (int(text[i:j]) for i, j in ((1, 3), (3, 5), (5, 7), (7, 9), (9, 11), (11, 15)))
    return time.mktime((year, month, day, hh, mm, ss, 0, 0, -1))


def cpu_seconds(pid):
    """CPU time of the process from /proc/PID/stat (ticks) and schedstat (ns)."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])  # utime, stime
    with open("/proc/%d/schedstat" % pid) as f:
        run_ns = int(f.read().split()[0])
    return ticks / os.sysconf("SC_CLK_TCK"), run_ns / 1e9


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100 * (len(ordered) - 1))))]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("program")
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--wine", action="store_true")
    args = parser.parse_args()
    if not only_loopback():
        sys.exit("broadcaster_timing: not in the sandbox (interfaces other than lo); refusing to broadcast")

    listener = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    listener.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
    listener.bind(("0.0.0.0", PORT))
    listener.settimeout(1.0)

    # Start just after a turn of the second, so that the first pause already
    # ends before the next turn and every datagram after the first is settled.
    now = time.time()
    time.sleep(1 - now % 1 + 0.002)
    command = (["wine"] if args.wine else []) + [args.program]
    program = subprocess.Popen(command, stdin=subprocess.DEVNULL)
    try:
        delays = []
        cpu_start = None
        start = time.monotonic()
        limit = start + args.seconds + (120 if args.wine else 5)
        while time.monotonic() < limit and len(delays) < args.seconds:
            try:
                data, ancillary, _, _ = listener.recvmsg(64, socket.CMSG_SPACE(16))
            except socket.timeout:
                continue
            arrival = None
            for level, kind, payload in ancillary:
                if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS:
                    seconds, nanoseconds = struct.unpack("qq", payload[:16])
                    arrival = seconds + nanoseconds / 1e9
            if len(data) != FRAME_LENGTH or arrival is None:
                continue
            if cpu_start is None:
                # The first datagram marks the start; the measured minute is
                # the settled run after it.
                cpu_start = (cpu_seconds(program.pid), time.monotonic())
                continue
            delays.append(arrival - frame_epoch(data))
        if cpu_start is None:
            sys.exit("broadcaster_timing: no datagram arrived")
        (ticks_0, run_0), t0 = cpu_start
        ticks_1, run_1 = cpu_seconds(program.pid)
        elapsed = time.monotonic() - t0
    finally:
        program.send_signal(signal.SIGTERM)
        program.wait(timeout=30)

    ms = [d * 1000 for d in delays]
    print("datagrams measured: %d over %.1f s" % (len(ms), elapsed))
    print("delay from the turn of the second to arrival: p50 %.3f ms, p99 %.3f ms, max %.3f ms, min %.3f ms"
          % (percentile(ms, 50), percentile(ms, 99), max(ms), min(ms)))
    print("broadcaster CPU: %.3f %% of a core (/proc/PID/stat ticks), %.4f %% (schedstat)"
          % (100 * (ticks_1 - ticks_0) / elapsed, 100 * (run_1 - run_0) / elapsed))


if __name__ == "__main__":
    main()
