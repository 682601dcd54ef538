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

import os
import signal
import threading
import time

from bench_support import (CpuReading, CpuTally, assert_realtime, faked_clock, frame_epoch, log, make_realtime,
                           sleep_until, wait_for)
from broadcast_listener import Listener

# The pause of 990 ms falls this much short of a second.
PAUSE_SHORTFALL_S = 0.010
# Half a second between the program's turns and the reference's; the
# program under SCHED_FIFO (busy machine) sends at a quarter past.
REFERENCE_OFFSET_S = 0.5
REALTIME_OFFSET_S = 0.75
# A sender held after its first datagram goes on this long after the turn
# of the tenth second from that datagram's.
RESUME_AFTER_S = 0.005
# Beyond the settled datagrams: time for the start and the hold.
SETTLING_S = 15


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
        self.left_out = 0
        self.realtime = False


def start_sender(runner, datagrams, label, name, tail, offset, faked, realtime=False):
    """Starts one sender and sees to it that its sends settle on the turn of
    its second at once; returns it when its first datagram has named its
    source port.

    The first datagram leaves at start-up, at whatever point of the second;
    each pause of 990 ms then ends about 10 ms earlier in the second than the
    send before it, until one ends before the turn and the sends settle on
    it. Started 0.8 s into a second, that takes 80 s, and a start cannot be
    timed under Wine, whose start-up under qemu varies by half a second. So
    the program is stopped (SIGSTOP) in the pause after its first send and
    let go on (SIGCONT) 10 s after the second of that send began. Its pause,
    with whatever was left of it, then ends within that tenth second, whose
    units digit is the one just sent, so it waits for the next turn and sends
    right after it, and so on from then. Should the stop have come only after
    a second send (a harness held up on a busy machine), the release follows
    the last datagram instead."""
    known = set(datagrams.sources())
    program_run = runner.start(name, tail, **(faked_clock(offset) if faked else {}))
    source = wait_for(lambda: next((s for s in datagrams.sources() if s not in known), None),
                      runner.patience, "the first datagram of %s" % label)
    os.kill(program_run.pid, signal.SIGSTOP)
    if realtime:
        make_realtime(runner, program_run)
    first = datagrams.from_source(source)[0]

    def go_on_after(datagram):
        return frame_epoch(datagram.data) - offset + 10 + RESUME_AFTER_S

    go_on = go_on_after(first)

    def release():
        planned = go_on
        while True:
            sleep_until(planned)
            last = go_on_after(datagrams.from_source(source)[-1])
            if last == planned:
                break
            planned = last
        os.kill(program_run.pid, signal.SIGCONT)

    threading.Thread(target=release, daemon=True).start()
    log("%s: first datagram %.1f ms into its second; held for %.1f s"
        % (label, 1000 * (first.arrival - (frame_epoch(first.data) - offset)), go_on - time.time()))
    run = BroadcastRun(label, program_run, source, offset)
    run.realtime = realtime
    return run


def settled_index(datagrams, offset):
    """Where the settled sends begin: after the first datagram that arrived
    less than PAUSE_SHORTFALL_S after its turn, since the pause that followed
    it ended before the next turn; None before then."""
    for index, datagram in enumerate(datagrams[:-1]):
        if datagram.arrival - (frame_epoch(datagram.data) - offset) < PAUSE_SHORTFALL_S:
            return index + 1
    return None


def measured(datagrams, offset, count, excluded):
    """The datagrams to measure: settled ones, leaving out those whose turn
    falls in one of the `excluded` windows (start, end) of real time, where
    other measurements load the machine. Returns (where the settled ones
    begin or None, the chosen ones, how many were left out)."""
    first = settled_index(datagrams, offset)
    chosen, left_out = [], 0
    if first is None:
        return None, chosen, left_out
    for datagram in datagrams[first:]:
        turn = frame_epoch(datagram.data) - offset
        if any(start <= turn <= end for start, end in excluded):
            left_out += 1
            continue
        chosen.append(datagram)
        if len(chosen) == count:
            break
    return first, chosen, left_out


def measure_broadcaster(runner, platform, count, background=(), excluded=(), final=None, realtime=False):
    """Runs the broadcaster and the polling reference (and with `realtime` the
    broadcaster under SCHED_FIFO as well) until each has sent `count`
    settled datagrams outside the `excluded` windows. `background` holds Background jobs started
    before (the other programs' trials); they are joined before the end and
    their results returned with the runs. Other threads may add windows to
    `excluded` (a list) until the Event `final`, if given, is set."""
    datagrams = DatagramLog()
    runs = []
    try:
        runs.append(start_sender(runner, datagrams, "broadcaster", "udp_time_broadcaster", "", 0.0, False))
        faked = platform == "linux"
        if realtime:
            runs.append(start_sender(runner, datagrams, "broadcaster, SCHED_FIFO", "udp_time_broadcaster", "",
                                     REALTIME_OFFSET_S, True, realtime=True))
        runs.append(start_sender(runner, datagrams, "reference", "polling_reference", "broadcaster",
                                 REFERENCE_OFFSET_S if faked else 0.0, faked))
        started = time.monotonic()
        while True:
            allowance = SETTLING_S + sum(end - start for start, end in list(excluded))
            if time.monotonic() > started + count + allowance + runner.patience:
                break
            done = final is None or final.is_set()
            for run in runs:
                first, chosen, _ = measured(datagrams.from_source(run.source), run.offset, count, excluded)
                if run.cpu_start is None and first is not None:
                    run.cpu_start = CpuReading(run.program.pid)
                if len(chosen) < count:
                    done = False
            if done:
                break
            time.sleep(0.5)
        for run in runs:
            if run.cpu_start is not None:
                run.cpu.add(run.cpu_start, CpuReading(run.program.pid))
            if run.realtime:
                assert_realtime(run.program)
        results = [job.result(timeout=300) for job in background]
    finally:
        for run in runs:
            run.program.stop()
        datagrams.close()
    for run in runs:
        mine = datagrams.from_source(run.source)
        first, chosen, run.left_out = measured(mine, run.offset, count, excluded)
        turns = [frame_epoch(d.data) - run.offset for d in chosen]
        run.delays_s = [d.arrival - turn for d, turn in zip(chosen, turns)]
        run.unsettled = len(mine) if first is None else first
        settled_turns = [frame_epoch(d.data) - run.offset for d in mine[run.unsettled:]]
        run.skipped_seconds = sum(int(round(b - a)) - 1 for a, b in zip(settled_turns, settled_turns[1:]))
        if len(run.delays_s) < count:
            # Reported with the n it has: under Wine on a busy machine sends
            # may keep arriving 10 ms or more after the turn.
            log("%s: only %d settled datagrams of %d in the time given" % (run.label, len(run.delays_s), count))
        log("%s: %d datagrams after %d unsettled (%d left out), CPU %.3f %% of a core"
            % (run.label, len(run.delays_s), run.unsettled, run.left_out, run.cpu.run_percent()))
    return runs, results


if __name__ == "__main__":
    import sys

    import run_bench

    sys.exit(run_bench.main(["--only", "broadcaster"] + sys.argv[1:]))
