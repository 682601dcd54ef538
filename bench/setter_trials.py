"""The clock setter in repeat mode against the virtual clock
(tests/tools/virtual_clock.py): the share of frames it takes when the clock
sends one frame a second and when it sends them back to back, and its CPU
while it waits for the minute; a trial: docs/performance.md, "Clock setter".
A missed frame costs the cycle: the fifth wait runs into the 5 s limit and
the program ends, as it should.
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
FRAME_DATE = datetime.date(2031, 3, 5)
FRAME_MINUTE, FRAME_SECOND = 11, 12
RECORDED_WRITE = re.compile(r"local=(\d{4}-\d\d-\d\d) (\d\d):(\d\d:\d\d\.\d{3})")
# The frames start this long after the program holds its port; the back to
# back ones this long after the turn.
FIRST_FRAME_AFTER_S, SECOND_CYCLE_AFTER_S = 0.3, 0.1
# The fifth frame ends at least this long before a turn, or the cycle
# starts CYCLE_SHIFT_S later, after the turn: the take never falls on either
# side of it.
TAKE_BEFORE_TURN_S, CYCLE_SHIFT_S = 1.0, 1.2


def next_turn_after(instant, turn):
    """The first turn after `instant` of a clock whose minute turns at the
    real moment `turn` and every 60 s before and after it."""
    return turn + 60.0 * (math.floor((instant - turn) / 60.0) + 1)


def frames_for(first, count):
    """Frames j = first .. first+count-1, each carrying (j+1):11:12."""
    return [compose_frame(FRAME_SECOND, FRAME_MINUTE, j + 1, FRAME_DATE.day, FRAME_DATE.month, FRAME_DATE.year)
            for j in range(first, first + count)]


def frames_taken(log_path):
    """The frames a program has applied, in order, from its clock writes."""
    text = open(log_path).read() if os.path.exists(log_path) else ""
    return [int(hh) - 1 for day, hh, rest in RECORDED_WRITE.findall(text)
            if day == FRAME_DATE.isoformat() and rest == "%02d:%02d.000" % (FRAME_MINUTE, FRAME_SECOND)]


class SetterTrial:
    def __init__(self):
        self.taken_1s = self.taken_b2b = self.sent_b2b = 0
        self.sent_1s = FRAMES_PER_CYCLE
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


def run_setter_trial(runner, com, program, tail, turn, label, workdir, realtime=False):
    """One trial (see above) of `program` `tail` on COM`com`, around the turn
    of the minute at the real moment `turn` (or the one its first cycle
    leads to). With `realtime` it runs under SCHED_FIFO."""
    trial = SetterTrial()
    log_path = str(workdir / ("%s-clock-writes.log" % label.replace(" ", "-")))
    page = ClockPage(offset_for_minute_turn(turn), stamping=False)
    options = page.options(runner.bin_dir)
    options["preload"].insert(0, str(runner.bin_dir.parent / "lib" / "clock_write_recorder.so"))
    options["env"]["CLOCK_WRITE_LOG"] = log_path
    port = runner.ports.create(com)[com]
    clock = VirtualClock(port.master)
    program_run = runner.start(program, tail, **options)
    try:
        wait_for(lambda: port_is_open_by(program_run.pid, port.device) or not program_run.running(),
                 runner.patience, "%s to open %s" % (label, port.device))
        trial.startup_ms = 1000 * CpuReading(program_run.pid).run_s
        if realtime:
            make_realtime(runner, program_run)
        start, turn = first_cycle_start(time.time(), turn)
        clock.send_frames(frames_for(0, FRAMES_PER_CYCLE), interval=1.0, start=time.monotonic() + start - time.time())
        # The fifth take follows the fifth frame's last byte within a poll.
        wait_for(lambda: len(frames_taken(log_path)) >= FRAMES_PER_CYCLE or not program_run.running(),
                 runner.patience, "%s to take the first cycle" % label)
        trial.taken_1s = len(frames_taken(log_path))
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
            clock.send_frames(frames_for(FRAMES_PER_CYCLE, FRAMES_PER_CYCLE), interval=0)
            trial.sent_b2b = FRAMES_PER_CYCLE
            wait_for(lambda: len(frames_taken(log_path)) >= 2 * FRAMES_PER_CYCLE or not program_run.running(),
                     runner.patience + 6, "%s to take the second cycle" % label)
        order = frames_taken(log_path)
        trial.taken_b2b = len(order) - trial.taken_1s
    finally:
        program_run.stop()
        runner.ports.remove(com)
        page.close()
    if order != list(range(len(order))):
        log("%s: took frames %s (not in order or not ours)" % (label, order))
    log("%s: took %d/%d one a second, %d/%d back to back, CPU waiting %s"
        % (label, trial.taken_1s, trial.sent_1s, trial.taken_b2b, trial.sent_b2b,
           "%.3f %%" % trial.cpu.percent() if trial.cpu.elapsed_s else "-"))
    return trial


def summarize(trials):
    cpu = CpuTally()
    for trial in trials:
        cpu.merge(trial.cpu.run_s, trial.cpu.elapsed_s, trial.cpu.faults)
    totals = {key: sum(getattr(t, key) for t in trials) for key in ("taken_1s", "sent_1s", "taken_b2b", "sent_b2b")}
    return dict(totals, cpu=cpu, startup_cpu_ms=max(t.startup_ms or 0 for t in trials))
