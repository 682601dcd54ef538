#!/usr/bin/env python3
"""A soak of the broadcaster: it runs for minutes (10 by default) while every
datagram is checked: one a second, no second skipped or sent twice, each a
frame of the clock at its arrival; its memory (VmRSS) and CPU are sampled.
Prints figures; passes or fails nothing.

Run it only inside the test sandbox, where loopback is the only interface:
    tests/system/sandbox /usr/bin/python3 bench/broadcaster_soak.py build/linux/bin/udp_time_broadcaster
It refuses to start the broadcaster anywhere else (make soak runs it so).
"""
import argparse
import re
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "system"))
from broadcast_listener import Listener, frame_epoch  # noqa: E402

from bench_support import CpuReading, percentile  # noqa: E402
from rig import refusal_message, sandbox_problems  # noqa: E402


def vm_rss_kib(pid):
    status = Path("/proc/%d/status" % pid).read_text()
    return int(re.search(r"^VmRSS:\s+(\d+) kB", status, re.M).group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("program")
    parser.add_argument("--minutes", type=float, default=10)
    args = parser.parse_args()
    problems = sandbox_problems()
    if problems:
        sys.exit("broadcaster_soak: " + refusal_message(problems))

    listener = Listener()
    program = subprocess.Popen([args.program], stdin=subprocess.DEVNULL)
    epochs, delays, rss = [], [], []
    bad = 0
    try:
        first = listener.receive(10)
        if first is None:
            sys.exit("broadcaster_soak: no datagram within 10 s")
        cpu_0, start = CpuReading(program.pid), time.monotonic()
        epochs.append(frame_epoch(first.data))
        end = start + args.minutes * 60
        next_sample = start
        while time.monotonic() < end:
            if time.monotonic() >= next_sample:
                rss.append(vm_rss_kib(program.pid))
                next_sample += 10
            datagram = listener.receive(min(2.0, max(0.001, end - time.monotonic())))
            if datagram is None:
                continue
            try:
                epoch = frame_epoch(datagram.data)
            except AssertionError:
                bad += 1
                continue
            epochs.append(epoch)
            delays.append(datagram.arrival - epoch)
        cpu_1, elapsed = CpuReading(program.pid), time.monotonic() - start
        running = program.poll() is None
    finally:
        if program.poll() is None:
            program.send_signal(signal.SIGTERM)
        program.wait(timeout=30)
        listener.close()

    gaps = [b - a for a, b in zip(epochs, epochs[1:])]
    skipped = sum(int(g) - 1 for g in gaps if g > 1)
    repeated = sum(1 for g in gaps if g < 1)
    ms = [d * 1000 for d in delays]
    print("soak of %.1f min: %d datagrams, %d not frames; seconds skipped %d, sent twice or backwards %d; "
          "still running at the end: %s" % (elapsed / 60, len(epochs), bad, skipped, repeated, running))
    if ms:
        print("arrival after the turn of the second: p50 %.3f ms, p99 %.3f ms, max %.3f ms"
              % (percentile(ms, 50), percentile(ms, 99), max(ms)))
    print("VmRSS: first %d KiB, last %d KiB, lowest %d KiB, highest %d KiB (%d samples, every 10 s)"
          % (rss[0], rss[-1], min(rss), max(rss), len(rss)))
    print("CPU: %.3f %% of a core (ticks), %.4f %% (schedstat)"
          % (100 * (cpu_1.ticks_s - cpu_0.ticks_s) / elapsed, 100 * (cpu_1.run_s - cpu_0.run_s) / elapsed))
    with open("/proc/loadavg") as f:
        print("machine load at the end (1-minute average): %s" % f.read().split()[0])


if __name__ == "__main__":
    main()
