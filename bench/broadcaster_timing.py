#!/usr/bin/env python3
"""The UDP time broadcaster: how long after the turn of the second its
datagram reaches a listener on loopback, and how much of a core it uses.

The listener (tests/system/broadcast_listener.py) takes each datagram's
arrival time from the kernel (SO_TIMESTAMPNS), so the harness's own
scheduling adds nothing to the delay. The delay is that arrival less the
start of the second the frame carries; the first datagrams, sent at start-up
at whatever point of the second, are left out until the sends have settled
on the turn. The program and its polling reference run side by side, each
with its own socket (told apart by source port); on Linux the reference's
clock is faked half a second ahead, so that the two never wake at the same
moment and the reference's poll does not take the program's core.

Alone (inside the sandbox): python3 bench/broadcaster_timing.py [run_bench options]
"""

import threading
import time

from bench_support import (CpuReading, CpuTally, faked_clock, frame_epoch, log, next_instant,
                           sleep_until, wait_for)
from broadcast_listener import Listener

# The pause of 990 ms falls this much short of a second.
PAUSE_SHORTFALL_S = 0.010
# Half a second between the program's turns and the reference's.
REFERENCE_OFFSET_S = 0.5
# A start is aligned when the first datagram arrives this soon after a turn;
# it is timed to leave this long after it.
ALIGNED_S = 0.008
FIRST_SEND_AFTER_TURN_S = 0.003
ATTEMPTS_TO_ALIGN = 3
STARTUP_GUESS_S = {"linux": 0.02, "windows": 3.5}
# Beyond the settled datagrams: how long sends may still drift onto the turn.
SETTLING_S = 30


class DatagramLog:
    """Collects every datagram on port 16000 in a thread, with its kernel
    arrival time."""

    def __init__(self):
        self.listener = Listener()
        self.datagrams = []
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop.is_set():
            datagram = self.listener.receive(0.2)
            if datagram is not None:
                with self._lock:
                    self.datagrams.append(datagram)

    def from_source(self, source):
        with self._lock:
            return [d for d in self.datagrams if d.source == source]

    def sources(self):
        with self._lock:
            return list(dict.fromkeys(d.source for d in self.datagrams))

    def close(self):
        self._stop.set()
        self._thread.join(timeout=2)
        self.listener.close()


class BroadcastRun:
    """One sender of datagrams (the program or the reference) in a run."""

    def __init__(self, label, program_run, source, offset):
        self.label = label
        self.program = program_run
        self.source = source
        self.offset = offset
        self.cpu_start = None
        self.cpu = CpuTally()
        self.delays_s = []
        self.skipped_seconds = 0
        self.unsettled = 0


def start_sender(runner, datagrams, label, name, tail, offset, faked):
    """Starts one sender so that its first datagram leaves just after a turn
    of its second, and returns it once that datagram has named its source
    port.

    The first datagram leaves at start-up; each pause of 990 ms then ends
    10 ms earlier in the second than the send before it, until a pause ends
    before the turn and the sends settle on it. Started at 0.8 s into a
    second, that takes 80 s. So the start is timed: right after the turn,
    less the time the program takes to start, measured on a first start and
    corrected on the next ones (Wine's start-up under qemu takes seconds)."""
    startup = STARTUP_GUESS_S[runner.platform]
    for attempt in range(ATTEMPTS_TO_ALIGN):
        known = set(datagrams.sources())
        at = next_instant(time.time() + 0.05 + startup, offset % 1.0) - startup + FIRST_SEND_AFTER_TURN_S
        sleep_until(at)
        started = time.time()
        program_run = runner.start(name, tail, **(faked_clock(offset) if faked else {}))
        source = wait_for(lambda: next((s for s in datagrams.sources() if s not in known), None),
                          runner.patience, "the first datagram of %s" % label)
        first = datagrams.from_source(source)[0]
        turn = frame_epoch(first.data) - offset
        if first.arrival - turn <= ALIGNED_S or attempt == ATTEMPTS_TO_ALIGN - 1:
            log("%s: first datagram %.1f ms after the turn (start-up %.3f s)"
                % (label, 1000 * (first.arrival - turn), first.arrival - started))
            return BroadcastRun(label, program_run, source, offset)
        startup = first.arrival - started
        program_run.stop()


def settled_index(datagrams, offset):
    """Where the settled sends begin: after the first datagram that arrived
    less than PAUSE_SHORTFALL_S after its turn, since the pause that followed
    it ended before the next turn; None before then."""
    for index, datagram in enumerate(datagrams[:-1]):
        if datagram.arrival - (frame_epoch(datagram.data) - offset) < PAUSE_SHORTFALL_S:
            return index + 1
    return None


def measure_broadcaster(runner, platform, count, background=()):
    """Runs the broadcaster and the polling reference until each has sent
    `count` settled datagrams. `background` holds Background jobs started
    before (the long waits of the other programs); they are joined before
    the end and their results returned with the two runs."""
    datagrams = DatagramLog()
    runs = []
    try:
        runs.append(start_sender(runner, datagrams, "broadcaster", "udp_time_broadcaster", "", 0.0, False))
        faked = platform == "linux"
        runs.append(start_sender(runner, datagrams, "reference", "polling_reference", "broadcaster",
                                 REFERENCE_OFFSET_S if faked else 0.0, faked))
        deadline = time.monotonic() + count + SETTLING_S + runner.patience
        while time.monotonic() < deadline:
            done = True
            for run in runs:
                mine = datagrams.from_source(run.source)
                first = settled_index(mine, run.offset)
                if run.cpu_start is None and first is not None:
                    run.cpu_start = CpuReading(run.program.pid)
                if first is None or len(mine) < first + count:
                    done = False
            if done:
                break
            time.sleep(0.05)
        for run in runs:
            if run.cpu_start is not None:
                run.cpu.add(run.cpu_start, CpuReading(run.program.pid))
        results = [job.result(timeout=300) for job in background]
    finally:
        for run in runs:
            run.program.stop()
        datagrams.close()
    for run in runs:
        mine = datagrams.from_source(run.source)
        first = settled_index(mine, run.offset) or len(mine)
        measured = mine[first:first + count]
        turns = [frame_epoch(d.data) - run.offset for d in measured]
        run.delays_s = [d.arrival - turn for d, turn in zip(measured, turns)]
        run.unsettled = first
        run.skipped_seconds = sum(int(round(b - a)) - 1 for a, b in zip(turns, turns[1:]))
        if len(run.delays_s) < count:
            raise AssertionError("%s: %d settled datagrams, wanted %d" % (run.label, len(run.delays_s), count))
        log("%s: %d datagrams after %d unsettled, CPU %.3f %% of a core"
            % (run.label, len(run.delays_s), first, run.cpu.run_percent()))
    return runs, results


if __name__ == "__main__":
    import sys

    import run_bench

    sys.exit(run_bench.main(["--only", "broadcaster"] + sys.argv[1:]))
