#!/usr/bin/env python3
"""Figures for the units' real-time guard (printed, never pass/fail): the CPU
each program takes from its start until it first sleeps, the longest run
without a blocking call that a unit's LimitRTTIME= must allow, since systemd
sets SCHED_FIFO before the program starts. Natively, and under qemu-x86_64's
emulation, a stand-in for a slow PC. Runs in the sandbox:

    tests/system/sandbox python3 bench/startup_stretch.py build/linux [runs]

The CPU is read from /proc/PID/schedstat the moment the process is first
seen sleeping, so it counts the whole start-up (the dynamic loader, the
libraries' constructors, opening and setting up the line or the socket) and
the few polls up to the first pause: an upper bound on the longest stretch.
"""

import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests", "system"))
from clock_setter_wait import bind_fresh_pty  # noqa: E402
from rig import refusal_message, sandbox_problems  # noqa: E402

PROGRAMS = [("serial_time_sender_8bit", "/1 /R"), ("clock_setter_8bit", "/1 /R"), ("udp_time_broadcaster", "")]


def cpu_ms_until_first_sleep(command):
    master = bind_fresh_pty()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            with open("/proc/%d/stat" % process.pid) as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
            if state == "S":
                with open("/proc/%d/schedstat" % process.pid) as f:
                    return int(f.read().split()[0]) / 1e6
        return float("nan")
    finally:
        process.kill()
        process.wait()
        os.close(master)


def main():
    problems = sandbox_problems()
    if problems:
        sys.exit("startup_stretch: " + refusal_message(problems))
    build = sys.argv[1] if len(sys.argv) > 1 else "build/linux"
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    emulator = shutil.which("qemu-x86_64-static") or shutil.which("qemu-x86_64")
    print("CPU from start to first sleep, ms: first run (cold), then median and max of %d" % runs)
    for name, tail in PROGRAMS:
        program = [os.path.join(build, "bin", name)] + tail.split()
        for label, command in (("native", program), ("emulated", [emulator] + program if emulator else None)):
            if command is None:
                continue
            figures = [cpu_ms_until_first_sleep(command) for _ in range(runs + 1)]
            rest = sorted(figures[1:])
            print("%-24s %-9s cold %6.1f  median %6.1f  max %6.1f" % (name, label, figures[0], rest[len(rest) // 2],
                                                                     rest[-1]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
