"""The UDP time broadcaster: for each datagram, when the program entered
sendto() (its stamp, bench_clock.c; Linux) and when the datagram reached a
listener on loopback (the kernel's SO_TIMESTAMPNS), both counted from the
turn of the second the frame carries. Several broadcasters run side by side
(the program, the program under SCHED_FIFO, the polling reference), told
apart by source port, each with its clock at its own offset so that they
never wake at the same moment.

Settling: the first datagram leaves at start-up, at whatever point of the
second; each 990 ms pause then ends about 10 ms earlier in the second, until
one ends before the turn. Started late in a second that takes 100 s, and a
start under Wine cannot be timed. So the program is stopped (SIGSTOP) after
its first datagram and let go on (SIGCONT) in the tenth second after that
datagram's: its pause then ends within a second whose units digit is the one
just sent, so it waits for the next turn and is settled from then on. A
datagram counts from the one after the first that arrived within 10 ms of
its turn.
"""

import os
import re
import signal
import threading
import time

from harness import ClockPage, CpuReading, CpuTally, assert_realtime, log, make_realtime, sleep_until, wait_for
# From tests/system, on the path that harness sets; frame_epoch fails on a
# datagram that is not a broadcast frame.
from broadcast_listener import Listener, frame_epoch  # noqa: E402

PAUSE_SHORTFALL_S = 0.010
RESUME_AFTER_S = 0.005


class DatagramLog:
    """Every datagram on port 16000, with its kernel arrival time, gathered
    by a thread."""

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
            return {d.source for d in self.datagrams}

    def close(self):
        self._stop.set()
        self._thread.join(timeout=2)
        self.listener.close()


class Broadcast:
    """One broadcaster of a run, and its figures once the run is over."""

    def __init__(self, label, program, source, offset, page, realtime):
        self.label, self.program, self.source, self.offset = label, program, source, offset
        self.page, self.realtime = page, realtime
        self.startup_ms = 1000 * CpuReading(program.pid).run_s
        self.cpu_start = None
        self.cpu = CpuTally()
        self.at_call, self.delivered, self.woke, self.overshoot, self.turns = [], [], [], [], []
        self.unsettled = self.skipped_seconds = self.left_out = 0
        self.rss_kib = []


def settled_index(datagrams, offset):
    """Where the settled sends begin: after the first datagram that arrived
    less than PAUSE_SHORTFALL_S after its turn; None before then."""
    for index, datagram in enumerate(datagrams[:-1]):
        if datagram.arrival - (frame_epoch(datagram.data) - offset) < PAUSE_SHORTFALL_S:
            return index + 1
    return None


def chosen(datagrams, offset, count, excluded):
    """(where the settled ones begin or None, indices of up to `count`
    settled datagrams whose turn is outside the `excluded` windows of real
    time, how many were left out)."""
    first = settled_index(datagrams, offset)
    indices, left_out = [], 0
    for index in range(first or len(datagrams), len(datagrams)):
        turn = frame_epoch(datagrams[index].data) - offset
        if any(start <= turn <= end for start, end in excluded):
            left_out += 1
        elif len(indices) < count:
            indices.append(index)
    return first, indices, left_out


def vm_rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"^VmRSS:\s+(\d+) kB", f.read(), re.M).group(1))


def start_broadcaster(runner, datagrams, label, name, tail, offset, realtime=False, stamping=True):
    """Starts one broadcaster, holds it after its first datagram (see the
    module's comment) and returns its Broadcast."""
    known = datagrams.sources()
    page = ClockPage(offset, stamping) if runner.platform == "linux" else None
    program = runner.start(name, tail, **(page.options(runner.bin_dir) if page else {}))
    source = wait_for(lambda: next(iter(datagrams.sources() - known), None), runner.patience,
                      "the first datagram of %s" % label)
    os.kill(program.pid, signal.SIGSTOP)
    if realtime:
        make_realtime(runner, program)

    def go_on_after(datagram):
        return frame_epoch(datagram.data) - offset + 10 + RESUME_AFTER_S

    def release():
        # Should the stop have come only after a second datagram (a harness
        # held up on a busy machine), the release follows the last one.
        planned = go_on_after(datagrams.from_source(source)[0])
        while True:
            sleep_until(planned)
            last = go_on_after(datagrams.from_source(source)[-1])
            if last == planned:
                break
            planned = last
        os.kill(program.pid, signal.SIGCONT)

    threading.Thread(target=release, daemon=True).start()
    return Broadcast(label, program, source, offset, page, realtime)


def run_broadcasters(runner, count, sides, excluded=(), stamping=True):
    """Runs the broadcasters of `sides` [(label, name, offset, realtime)] side
    by side until each has `count` settled datagrams outside the `excluded`
    windows (or a bound passes), and returns their Broadcasts. Without
    `stamping` their calls are not stamped (what stamping costs)."""
    datagrams = DatagramLog()
    runs = []
    try:
        for label, name, offset, realtime in sides:
            runs.append(start_broadcaster(runner, datagrams, label, name, "broadcaster" if name ==
                                          "polling_reference" else "", offset, realtime, stamping))
        deadline = time.monotonic() + count + 20 + sum(end - start for start, end in excluded) + runner.patience
        while time.monotonic() < deadline:
            done = True
            for run in runs:
                first, indices, _ = chosen(datagrams.from_source(run.source), run.offset, count, excluded)
                if run.cpu_start is None and first is not None:
                    run.cpu_start = CpuReading(run.program.pid)
                    run.rss_kib.append(vm_rss_kib(run.program.pid))
                done = done and len(indices) == count
            if done:
                break
            time.sleep(0.5)
        for run in runs:
            if run.cpu_start is not None:
                run.cpu.add(run.cpu_start, CpuReading(run.program.pid))
                run.rss_kib.append(vm_rss_kib(run.program.pid))
            if run.realtime:
                assert_realtime(run.program)
    finally:
        for run in runs:
            run.program.stop()
        datagrams.close()
    for run in runs:
        figures(run, datagrams.from_source(run.source), count, excluded)
    return runs


def figures(run, mine, count, excluded):
    first, indices, run.left_out = chosen(mine, run.offset, count, excluded)
    run.unsettled = len(mine) if first is None else first
    stamps = run.page.stamps() if run.page else []
    if run.page:
        run.page.close()
        if stamps and len(stamps) < len(mine) or any((s.call, s.size) != (2, 35) for s in stamps):
            raise AssertionError("%s: %d stamps for %d datagrams" % (run.label, len(stamps), len(mine)))
    for index in indices:
        turn = frame_epoch(mine[index].data) - run.offset
        run.delivered.append(mine[index].arrival - turn)
        run.turns.append(turn)
        if stamps:
            # The k-th sendto sent the k-th datagram: never after its arrival.
            stamp = stamps[index]
            assert stamp.at <= mine[index].arrival, "%s: stamps out of step" % run.label
            run.at_call.append(stamp.at - turn)
            run.woke.append(stamp.woke - turn)
            run.overshoot.append(stamp.woke - stamp.planned)
    turns = [frame_epoch(d.data) for d in mine[run.unsettled:]]
    run.skipped_seconds = sum(int(round(b - a)) - 1 for a, b in zip(turns, turns[1:]))
    if len(indices) < count:
        # Reported with the n it has: under Wine on a busy machine sends may
        # keep arriving 10 ms or more after the turn.
        log("%s: only %d settled datagrams of %d in the time given" % (run.label, len(indices), count))
    log("%s: %d datagrams after %d unsettled (%d left out), CPU %.3f %% of a core"
        % (run.label, len(indices), run.unsettled, run.left_out, run.cpu.percent() or 0))
