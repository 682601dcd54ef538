"""The UDP time broadcaster: for each datagram, when the program entered
sendto() (its stamp, bench_clock.c; Linux) and when the datagram reached a
listener on loopback (the kernel's SO_TIMESTAMPNS), both counted from the
turn of the second the frame carries. The program, the program under
SCHED_FIFO and the polling reference run side by side, told apart by source
port, each with its clock at its own offset so that they never wake at once.
How each is settled before it counts: docs/performance.md, "Broadcasters".
"""

import os
import re
import signal
import threading
import time

from harness import (FRAME, ClockPage, CpuReading, TurnFigures, assert_realtime, log, make_realtime, sleep_until,
                     wait_for)
# From tests/system; frame_epoch fails on a datagram that is not a broadcast frame.
from broadcast_listener import Listener, frame_epoch  # noqa: E402

PAUSE_SHORTFALL_S = 0.010
RESUME_AFTER_S = 0.005


class DatagramLog:
    """Every datagram on port 16000 with its kernel arrival time, gathered by a thread."""

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


class Broadcast(TurnFigures):
    """One broadcaster of a run, and its figures once the run is over."""

    def __init__(self, label, program, source, offset, page, realtime):
        super().__init__()
        self.label, self.program, self.source, self.offset = label, program, source, offset
        self.page, self.realtime = page, realtime
        self.startup_cpu_ms = 1000 * CpuReading(program.pid).run_s
        self.cpu_start = None
        self.unsettled = self.skipped_seconds = 0
        self.rss_kib = []

    def figures(self):
        return {key: value for key, value in vars(self).items()
                if key not in ("label", "program", "source", "offset", "page", "realtime", "cpu_start")}


def settled_index(datagrams, offset):
    """Where the settled sends begin: after the first datagram that arrived
    less than PAUSE_SHORTFALL_S after its turn; None before then."""
    for index, datagram in enumerate(datagrams[:-1]):
        if datagram.arrival - (frame_epoch(datagram.data) - offset) < PAUSE_SHORTFALL_S:
            return index + 1
    return None


def vm_rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"^VmRSS:\s+(\d+) kB", f.read(), re.M).group(1))


def start_broadcaster(runner, datagrams, label, name, offset, realtime=False, stamping=True):
    """Starts one broadcaster, holds it after its first datagram until the
    tenth second after it, and returns its Broadcast."""
    known = datagrams.sources()
    page = ClockPage(offset, stamping) if runner.platform == "linux" else None
    program = runner.start(name, "broadcaster" if name == "polling_reference" else "",
                           **(page.options(runner.bin_dir) if page else {}))
    source = wait_for(lambda: next(iter(datagrams.sources() - known), None), runner.patience,
                      "the first datagram of %s" % label)
    os.kill(program.pid, signal.SIGSTOP)
    if realtime:
        make_realtime(runner, program)

    def release():
        # Should the stop have come only after a second datagram (a harness
        # held up on a busy machine), the release follows the last one.
        planned = None
        while True:
            last = frame_epoch(datagrams.from_source(source)[-1].data) - offset + 10 + RESUME_AFTER_S
            if last == planned:
                break
            planned = last
            sleep_until(planned)
        if program.running():
            os.kill(program.pid, signal.SIGCONT)

    threading.Thread(target=release, daemon=True).start()
    return Broadcast(label, program, source, offset, page, realtime)


def run_broadcasters(runner, count, sides, stamping=True):
    """Runs the broadcasters of `sides` [(label, name, offset, realtime)] side
    by side until each has `count` settled datagrams (or a bound passes),
    and returns their Broadcasts."""
    datagrams = DatagramLog()
    runs = []
    try:
        for label, name, offset, realtime in sides:
            runs.append(start_broadcaster(runner, datagrams, label, name, offset, realtime, stamping))
        deadline = time.monotonic() + count + 20 + runner.patience
        while time.monotonic() < deadline:
            done = True
            for run in runs:
                if not run.program.running():
                    raise RuntimeError("%s ended with status %s" % (run.label, run.program.returncode))
                mine = datagrams.from_source(run.source)
                first = settled_index(mine, run.offset)
                if run.cpu_start is None and first is not None:
                    run.cpu_start = CpuReading(run.program.pid)
                    run.rss_kib.append(vm_rss_kib(run.program.pid))
                done = done and first is not None and len(mine) - first >= count
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
        figures(run, datagrams.from_source(run.source), count)
    return runs


def figures(run, mine, count):
    first = settled_index(mine, run.offset)
    run.unsettled = len(mine) if first is None else first
    stamps = run.page.stamps() if run.page else []
    if run.page:
        run.page.close()
        if stamps and len(stamps) < len(mine) or any((s.call, s.size) != (2, FRAME) for s in stamps):
            raise AssertionError("%s: %d stamps for %d datagrams" % (run.label, len(stamps), len(mine)))
    for index in range(run.unsettled, min(len(mine), run.unsettled + count)):
        # The k-th sendto sent the k-th datagram: never after its arrival.
        stamp = stamps[index] if stamps else None
        assert stamp is None or stamp.at <= mine[index].arrival, "%s: stamps out of step" % run.label
        run.keep(frame_epoch(mine[index].data) - run.offset, mine[index].arrival, stamp)
    turns = [frame_epoch(d.data) for d in mine[run.unsettled:]]
    run.skipped_seconds = sum(int(round(b - a)) - 1 for a, b in zip(turns, turns[1:]))
    if len(run.turns) < count:
        # Reported with the n it has: under Wine on a busy machine sends may
        # keep arriving 10 ms or more after the turn.
        log("%s: only %d settled datagrams of %d in the time given" % (run.label, len(run.turns), count))
    log("%s: %d datagrams after %d unsettled, CPU %.3f %% of a core"
        % (run.label, len(run.turns), run.unsettled, run.cpu.percent() or 0))
