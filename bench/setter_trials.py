"""The clock setter in repeat mode against the virtual clock
(tests/tools/virtual_clock.py): the share of frames it takes when the clock
sends one frame a second and when it sends them back to back, and its CPU
while it waits for the minute.

One trial is one process and one turn of the minute: once the program holds
its fresh pty, the clock sends five frames a second apart; the program waits
for the minute (CPU from its fifth take until just before the turn); right
after the turn the clock sends five frames back to back, paced as a 9600
baud line carries them. A missed frame costs the cycle: the fifth wait runs
into the 5 s limit and the program ends, as it should.

Frame j carries the time (j+1):11:12, so each clock write names its frame:
on Linux the clock-write recorder logs the values asked for (the frames
carry a fixed date, and the program's clock runs at an offset set in the
page it shares with bench_clock.so, so that the turn comes soon); Wine
refuses SetLocalTime and reports the difference on stderr (the frames carry
today's date, the turn is a real one). The turn waited for is the first
after the fifth take; where the fifth frame would end less than a second
before a turn, the cycle starts 1.2 s later, so that the take never falls on
either side of it.
"""

import datetime
import math
import os
import re
import time

from harness import (ClockPage, CpuReading, CpuTally, assert_realtime, log, make_realtime, offset_for_minute_turn,
                     port_is_open_by, sleep_until, wait_for)
from virtual_clock import VirtualClock, byte_seconds, compose_frame

FRAMES_PER_CYCLE = 5
LINUX_FRAME_DATE = datetime.date(2031, 3, 5)
FRAME_MINUTE = 11
FRAME_SECOND = 12
RECORDED_WRITE = re.compile(r"local=(\d{4}-\d\d-\d\d) (\d\d):(\d\d:\d\d\.\d{3})")
WINE_REFUSAL = re.compile(r"err:sync:NtSetSystemTime not allowed: difference (-?\d+) ms")
# The frames start this long after the program holds its port.
FIRST_FRAME_AFTER_S = 0.3
# The back-to-back frames start this long after the turn.
SECOND_CYCLE_AFTER_S = 0.1
# The fifth frame ends at least this long before a turn, or the cycle
# starts CYCLE_SHIFT_S later, after the turn.
TAKE_BEFORE_TURN_S = 1.0
CYCLE_SHIFT_S = 1.2


def local_datetime(instant):
    return datetime.datetime.fromtimestamp(instant)


def next_turn_after(instant, turn):
    """The first turn after `instant` of a clock whose minute turns at the
    real moment `turn` and every 60 s before and after it."""
    return turn + 60.0 * (math.floor((instant - turn) / 60.0) + 1)


def frames_for(date, first, count):
    """Frames j = first .. first+count-1, each carrying (j+1):11:12 of `date`."""
    return [compose_frame(FRAME_SECOND, FRAME_MINUTE, j + 1, date.day, date.month, date.year)
            for j in range(first, first + count)]


class TakeLog:
    """The frames a program has applied, in order, read from its clock writes."""

    def __init__(self, platform, program_run, log_path, date):
        self.platform, self.program, self.log_path, self.date = platform, program_run, log_path, date
        self._wine_lines = []  # (first seen, difference in ms)

    def taken(self):
        if self.platform == "linux":
            text = open(self.log_path).read() if os.path.exists(self.log_path) else ""
            return [int(hh) - 1 for day, hh, rest in RECORDED_WRITE.findall(text)
                    if day == self.date.isoformat() and rest == "%02d:%02d.000" % (FRAME_MINUTE, FRAME_SECOND)]
        now = time.time()
        differences = WINE_REFUSAL.findall(self.program.stderr)
        self._wine_lines += [(now, int(d)) for d in differences[len(self._wine_lines):]]
        asked = [local_datetime(seen + difference / 1000.0) for seen, difference in self._wine_lines]
        return [a.hour - 1 if a.minute in (FRAME_MINUTE, FRAME_MINUTE + 1) else None for a in asked]


class SetterTrial:
    def __init__(self, label):
        self.label = label
        self.taken_1s = self.taken_b2b = self.sent_b2b = 0
        self.sent_1s = FRAMES_PER_CYCLE
        self.order = []
        self.cpu = CpuTally()
        self.startup_ms = None


def first_cycle_start(opened_wall, turn):
    """(start of the first cycle, the turn the program will wait for), as
    real moments, for a program that held its port at `opened_wall` and a
    clock whose minute turns at the real moment `turn`."""
    start = opened_wall + FIRST_FRAME_AFTER_S
    end = start + (FRAMES_PER_CYCLE - 1) * 1.0 + 35 * byte_seconds()
    if next_turn_after(end, turn) - end < TAKE_BEFORE_TURN_S:
        start, end = start + CYCLE_SHIFT_S, end + CYCLE_SHIFT_S
    return start, next_turn_after(end, turn)


def run_setter_trial(runner, ports, com, program, tail, turn, label, workdir, realtime=False):
    """One trial (see the module's comment) of `program` `tail` on COM`com`,
    around the turn of the minute at the real moment `turn` (or the one its
    first cycle leads to). With `realtime` it runs under SCHED_FIFO."""
    platform = runner.platform
    trial = SetterTrial(label)
    log_path = str(workdir / ("%s-clock-writes.log" % label.replace(" ", "-")))
    page = None
    if platform == "linux":
        page = ClockPage(offset_for_minute_turn(turn), stamping=False)
        options = page.options(runner.bin_dir)
        options["preload"].insert(0, str(runner.bin_dir.parent / "lib" / "clock_write_recorder.so"))
        options["env"]["CLOCK_WRITE_LOG"] = log_path
        date = LINUX_FRAME_DATE
    else:
        options = {"env": {"WINEDEBUG": "-all,err+sync"}}
        date = datetime.date.today()
    port = ports.create(com)[com]
    clock = VirtualClock(port.master)
    program_run = runner.start(program, tail, **options)
    takes = TakeLog(platform, program_run, log_path, date)
    try:
        wait_for(lambda: port_is_open_by(program_run.pid, port.device) or not program_run.running(),
                 runner.patience, "%s to open %s" % (label, port.device))
        trial.startup_ms = 1000 * CpuReading(program_run.pid).run_s
        if realtime:
            make_realtime(runner, program_run)
        planned = turn
        start, turn = first_cycle_start(time.time(), turn)
        if abs(turn - planned) > 0.001:
            log("%s: the first cycle leads to the turn at %.3f, not the one planned at %.3f"
                % (label, turn, planned))
        clock.send_frames(frames_for(date, 0, FRAMES_PER_CYCLE), interval=1.0,
                          start=time.monotonic() + start - time.time())
        # The fifth take follows the fifth frame's last byte within a poll.
        wait_for(lambda: len(takes.taken()) >= FRAMES_PER_CYCLE or not program_run.running(),
                 runner.patience, "%s to take the first cycle" % label)
        trial.taken_1s = len(takes.taken())
        if trial.taken_1s == FRAMES_PER_CYCLE and program_run.running():
            if time.time() > turn - 0.05:
                raise AssertionError("%s: the fifth take came %.3f s after the turn it must precede"
                                     % (label, time.time() - turn))
            before = CpuReading(program_run.pid)
            sleep_until(turn - 0.05)
            if program_run.running():
                trial.cpu.add(before, CpuReading(program_run.pid))
                if realtime:
                    assert_realtime(program_run)
            sleep_until(turn + SECOND_CYCLE_AFTER_S)
            # Under Wine the frames carry the date of the moment they are
            # taken, which a turn at midnight changes.
            second_date = date if platform == "linux" else local_datetime(turn + 0.5).date()
            clock.send_frames(frames_for(second_date, FRAMES_PER_CYCLE, FRAMES_PER_CYCLE), interval=0)
            trial.sent_b2b = FRAMES_PER_CYCLE
            wait_for(lambda: len(takes.taken()) >= 2 * FRAMES_PER_CYCLE or not program_run.running(),
                     runner.patience + 6, "%s to take the second cycle" % label)
        trial.order = takes.taken()
        trial.taken_b2b = len(trial.order) - trial.taken_1s
    finally:
        program_run.stop()
        ports.remove(com)
        if page:
            page.close()
    if trial.order != list(range(len(trial.order))):
        log("%s: took frames %s (not in order or not ours)" % (label, trial.order))
    log("%s: took %d/%d one a second, %d/%d back to back, CPU waiting %s"
        % (label, trial.taken_1s, trial.sent_1s, trial.taken_b2b, trial.sent_b2b,
           "%.3f %%" % trial.cpu.percent() if trial.cpu.elapsed_s else "-"))
    return trial


def summarize(trials):
    cpu = CpuTally()
    for trial in trials:
        cpu.merge(trial.cpu)
    return dict({key: sum(getattr(t, key) for t in trials) for key in ("taken_1s", "sent_1s", "taken_b2b",
                                                                       "sent_b2b")}, cpu=cpu,
                startup_cpu_ms=max(t.startup_ms or 0 for t in trials))
