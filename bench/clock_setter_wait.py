#!/usr/bin/env python3
"""Figures for the clock setter's waits (printed, never pass/fail).

Runs the Linux build against the virtual clock on a pty bound over
/dev/ttyS0, with the clock-write recorder loaded, so it must run inside the
sandbox:

    tests/system/sandbox python3 bench/clock_setter_wait.py build/linux [seconds]

It prints:
- the CPU share of the program in repeat mode while a clock sends one frame
  a second (mostly the wait for the minute, two cycles a minute);
- the CPU share of a frame wait that gets no data until its 5 s limit;
- how many frames of a stream sent back to back at 9600 baud one cycle
  takes: the exactly-35 rule takes every frame as long as every moment with
  35 waiting is seen, so a cycle should take the first five in a row;
- which frames a second cycle in repeat mode sets, when the clock went on
  sending during the wait for the minute.
"""

import datetime
import os
import subprocess
import sys
import threading
import time
import tty

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "tools"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "system"))
import virtual_clock  # noqa: E402
from rig import refusal_message, sandbox_problems  # noqa: E402

PORT = "/dev/ttyS0"


def bind_fresh_pty():
    """A new pty whose slave stands at /dev/ttyS0 (COM1); returns the master.
    Each run gets its own: a program holds its port exclusively."""
    master, slave = os.openpty()
    tty.setraw(slave)  # as a serial line: bytes unchanged, no echo
    if not os.path.exists(PORT):
        open(PORT, "w").close()
    subprocess.call(["umount", "-l", PORT], stderr=subprocess.DEVNULL)
    subprocess.check_call(["mount", "--bind", os.ttyname(slave), PORT])
    os.close(slave)
    return master


class Run:
    def __init__(self, build, build_bits, tail, log):
        self.log = log
        if os.path.exists(log):
            os.remove(log)
        env = dict(os.environ, LD_PRELOAD=os.path.join(build, "lib", "clock_write_recorder.so"),
                   CLOCK_WRITE_LOG=log, TZ="UTC")
        program = os.path.join(build, "bin", "clock_setter_%dbit" % build_bits)
        self.process = subprocess.Popen([program] + ([tail] if tail else []), env=env)
        # Until the program has its port open (and set up a moment later).
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and not self.has_port_open():
            time.sleep(0.01)
        time.sleep(0.05)

    def has_port_open(self):
        folder = "/proc/%d/fd" % self.process.pid
        try:
            return any(os.readlink(os.path.join(folder, fd)) == PORT for fd in os.listdir(folder))
        except OSError:
            return False

    def cpu_seconds(self):
        with open("/proc/%d/schedstat" % self.process.pid) as f:
            return int(f.read().split()[0]) / 1e9

    def time_writes(self):
        """The times of day the program asked for in its time steps."""
        if not os.path.exists(self.log):
            return []
        lines = open(self.log).read().splitlines()
        return [line.split("local=")[1][11:19] for line in lines[1::2]]


def frames_from(first, count):
    return [virtual_clock.frame_of(first + datetime.timedelta(seconds=i)) for i in range(count)]


def repeat_mode_cpu(build, seconds, log):
    master = bind_fresh_pty()
    run = Run(build, 8, "/R", log)
    clock = virtual_clock.VirtualClock(master)
    stop = threading.Event()

    def send_every_second():
        at = time.monotonic() + 0.3
        moment = datetime.datetime.now().replace(microsecond=0)
        while not stop.is_set():
            clock.send(virtual_clock.frame_of(moment), at=at)
            at += 1.0
            moment += datetime.timedelta(seconds=1)

    sender = threading.Thread(target=send_every_second, daemon=True)
    sender.start()
    time.sleep(2.0)
    cpu0, t0 = run.cpu_seconds(), time.monotonic()
    time.sleep(seconds)
    cpu1, t1 = run.cpu_seconds(), time.monotonic()
    stop.set()
    run.process.terminate()
    run.process.wait()
    os.close(master)
    print("repeat mode, a frame a second, %.0f s: CPU %.3f %% of a core; %d frames applied"
          % (t1 - t0, 100 * (cpu1 - cpu0) / (t1 - t0), len(run.time_writes())))


def idle_wait_cpu(build, log):
    master = bind_fresh_pty()
    run = Run(build, 8, "", log)
    time.sleep(0.2)
    cpu0, t0 = run.cpu_seconds(), time.monotonic()
    cpu = cpu0
    while run.process.poll() is None:
        try:
            cpu = run.cpu_seconds()
        except OSError:
            break
        time.sleep(0.05)
    elapsed = time.monotonic() - t0
    os.close(master)
    print("frame wait with no data: ended after %.2f s, CPU %.3f %% of a core" % (elapsed, 100 * (cpu - cpu0) / elapsed))


def back_to_back_capture(build, bits, runs, log):
    first = datetime.datetime(2026, 12, 1, 10, 1, 0)
    stream = b"".join(frames_from(first, 15))
    skipped = []
    pace = []
    for _ in range(runs):
        master = bind_fresh_pty()
        run = Run(build, 8, "", log)
        start, end = virtual_clock.VirtualClock(master, bits).send(stream)
        run.process.wait(timeout=15)
        os.close(master)
        taken = [int(t[6:8]) for t in run.time_writes()]
        # Frames of the stream passed over before the fifth applied one; a
        # cycle that took a misaligned block applies fewer than five.
        skipped.append(taken[-1] - 4 if len(taken) == 5 else "%d applied" % len(taken))
        pace.append((end - start) / (len(stream) - 1))
    counted = [s for s in skipped if isinstance(s, int)]
    print("back to back at %d bits a byte (%.3f ms a byte as sent): %d cycles, frames passed over: %s "
          "(%d of %d frames in the cycles that applied five)"
          % (bits, 1e3 * sum(pace) / len(pace), runs, skipped, sum(counted), 5 * len(counted) + sum(counted)))


def second_cycle_after_minute_wait(build, log):
    master = bind_fresh_pty()
    run = Run(build, 8, "/R", log)
    clock = virtual_clock.VirtualClock(master)
    now = datetime.datetime.now()
    # Send until 12 s after the turn that follows the first cycle (five
    # frames from 0.3 s on): the program waits for the first turn after it.
    after_cycle = (now + datetime.timedelta(seconds=5.5)).replace(second=0, microsecond=0)
    end = after_cycle + datetime.timedelta(seconds=72)
    at = time.monotonic() + 0.3
    moment = now.replace(microsecond=0)
    while moment < end:
        clock.send(virtual_clock.frame_of(moment), at=at)
        at += 1.0
        moment += datetime.timedelta(seconds=1)
    run.process.terminate()
    run.process.wait()
    os.close(master)
    writes = run.time_writes()
    print("repeat mode, clock sending every second across a minute: cycle 1 set %s, cycle 2 set %s"
          % (writes[:5], writes[5:10]))


def main():
    problems = sandbox_problems()
    if problems:
        sys.exit("clock_setter_wait: " + refusal_message(problems))
    build = sys.argv[1] if len(sys.argv) > 1 else "build/linux"
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 60.0
    log = "/tmp/clock_setter_bench_writes.log"
    idle_wait_cpu(build, log)
    repeat_mode_cpu(build, seconds, log)
    for bits in (9, 10):
        back_to_back_capture(build, bits, 20, log)
    second_cycle_after_minute_wait(build, log)
    return 0


if __name__ == "__main__":
    sys.exit(main())
