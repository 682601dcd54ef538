"""What the bench's measurements share: where things are, CPU time from /proc,
percentiles, faked clocks, frames, and waiting for moments and events.

Every program is started through the system-test rig (tests/system/rig),
which refuses to start anything outside tests/system/sandbox.
"""

import datetime
import math
import os
import sys
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
for folder in (REPO / "tests" / "system", REPO / "tests" / "tools"):
    if str(folder) not in sys.path:
        sys.path.insert(0, str(folder))

from rig.programs import LIBFAKETIME  # noqa: E402
from rig.waiting import sleep_until, wait_for  # noqa: E402

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
FRAME_LENGTH = 35


def log(text):
    """Progress on stderr; the table goes to stdout."""
    print("bench: " + text, file=sys.stderr, flush=True)


# -- CPU time ------------------------------------------------------------------

class CpuReading:
    """A process's CPU time at one moment: utime + stime from /proc/PID/stat
    (in clock ticks, 10 ms here) and the scheduler's run time from
    /proc/PID/schedstat (nanoseconds), with the monotonic time of the reading
    and the page faults so far (minor, major)."""

    def __init__(self, pid):
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        self.ticks_s = (int(fields[11]) + int(fields[12])) / CLOCK_TICKS
        self.faults = (int(fields[7]), int(fields[9]))
        with open("/proc/%d/schedstat" % pid) as f:
            self.run_s = int(f.read().split()[0]) / 1e9
        self.at = time.monotonic()


class CpuTally:
    """CPU time and elapsed time summed over one or more windows of a run."""

    def __init__(self):
        self.ticks_s = 0.0
        self.run_s = 0.0
        self.elapsed_s = 0.0
        self.faults = [0, 0]

    def add(self, before, after):
        self.ticks_s += after.ticks_s - before.ticks_s
        self.run_s += after.run_s - before.run_s
        self.elapsed_s += after.at - before.at
        self.faults = [n + b - a for n, a, b in zip(self.faults, before.faults, after.faults)]

    def merge(self, other):
        self.ticks_s += other.ticks_s
        self.run_s += other.run_s
        self.elapsed_s += other.elapsed_s
        self.faults = [n + m for n, m in zip(self.faults, other.faults)]

    def stat_percent(self):
        """Share of one core by /proc/PID/stat, in percent."""
        return 100.0 * self.ticks_s / self.elapsed_s if self.elapsed_s else None

    def run_percent(self):
        """Share of one core by /proc/PID/schedstat, in percent."""
        return 100.0 * self.run_s / self.elapsed_s if self.elapsed_s else None

    def as_dict(self):
        return {"stat_percent": self.stat_percent(), "schedstat_percent": self.run_percent(),
                "seconds": self.elapsed_s, "minor_faults": self.faults[0], "major_faults": self.faults[1]}


# -- figures -------------------------------------------------------------------

def percentile(values, p):
    """Nearest rank: the smallest value with at least p % of the values at or
    below it. With fewer than 100 values p99 is the largest."""
    ordered = sorted(values)
    if not ordered:
        return None
    rank = max(1, math.ceil(p / 100.0 * len(ordered)))
    return ordered[rank - 1]


def summary_ms(delays_s):
    """n, p50, p99 and max of delays given in seconds, in milliseconds."""
    ms = [d * 1000.0 for d in delays_s]
    return {"n": len(ms), "p50": percentile(ms, 50), "p99": percentile(ms, 99), "max": max(ms) if ms else None}


# -- faked clocks --------------------------------------------------------------

def faked_clock(offset_s):
    """Start options of the rig for a Linux program whose clock runs `offset_s`
    seconds ahead of the real one (behind when negative): libfaketime with a
    fixed offset, so that a moment of the program's clock is a known moment
    of the observer's. The monotonic clock stays real."""
    return {"preload": [LIBFAKETIME],
            "env": {"FAKETIME": "%+.6f" % offset_s, "FAKETIME_DONT_FAKE_MONOTONIC": "1"}}


def offset_for_minute_turn(real_instant):
    """The offset that puts a turn of the minute of the faked clock at
    `real_instant` of the real one (local offsets are whole minutes)."""
    return -(real_instant % 60.0)


def next_instant(after, fraction):
    """The first moment at or after `after` whose fraction of a second is
    `fraction`."""
    instant = math.floor(after) + fraction
    return instant if instant >= after else instant + 1.0


def next_minute_turn(after):
    return math.ceil(after / 60.0) * 60.0


def next_turn_after(instant, turn):
    """The first turn after `instant` of a clock whose minute turns at the
    real moment `turn` and every 60 s before and after it."""
    return turn + 60.0 * (math.floor((instant - turn) / 60.0) + 1)


def wait_for_distant_turn(lead_s):
    """Returns at once if the next real turn of the minute is at least
    `lead_s` away, else once that turn has passed (so at most lead_s later):
    a program then started has a long wait before the turn it acts on."""
    now = time.time()
    turn = next_minute_turn(now)
    if turn - now < lead_s:
        sleep_until(turn + 0.5)


# -- frames --------------------------------------------------------------------

def frame_fields(frame):
    """(year, month, day, hour, minute, second) of a frame's digits."""
    text = frame[1:15].decode("ascii")
    ss, mm, hh, day, month, year = (int(text[i:j]) for i, j in ((0, 2), (2, 4), (4, 6), (6, 8), (8, 10), (10, 14)))
    return year, month, day, hh, mm, ss


def frame_epoch(frame):
    """The moment a frame's local date and time stand for, in seconds since
    the epoch."""
    year, month, day, hh, mm, ss = frame_fields(frame)
    return time.mktime((year, month, day, hh, mm, ss, 0, 0, -1))


def local_datetime(instant):
    return datetime.datetime.fromtimestamp(instant)


# -- concurrency ---------------------------------------------------------------

class Background:
    """Runs fn() in a thread; result() joins it and returns its value or
    raises its exception."""

    def __init__(self, name, fn):
        self.name = name
        self._value = None
        self._error = None
        self._thread = threading.Thread(target=self._run, args=(fn,), name=name, daemon=True)
        self._thread.start()

    def _run(self, fn):
        try:
            self._value = fn()
        except BaseException as error:  # handed to the caller of result()
            self._error = error

    def result(self, timeout=None):
        self._thread.join(timeout)
        if self._thread.is_alive():
            raise RuntimeError("%s still running after %s s" % (self.name, timeout))
        if self._error is not None:
            raise self._error
        return self._value


def executable_of(pid):
    try:
        return os.readlink("/proc/%d/exe" % pid)
    except OSError:
        return None


def make_realtime(runner, program_run):
    """Has a running program scheduled as the systemd units start it
    (SCHED_FIFO, priority 10), granted from outside the sandbox by
    bench/realtime_grant.py, once it runs its own executable (it starts
    through a wrapper that reports its pid). Raises if that fails."""
    from realtime_grant import PRIORITY, request
    path = str(runner.path_of(program_run.name))
    wait_for(lambda: executable_of(program_run.pid) == path or not program_run.running(), runner.patience,
             "%r to run its executable" % program_run)
    why = request(program_run.pid)
    if why:
        raise RuntimeError("%r: SCHED_FIFO refused: %s" % (program_run, why))
    assert_realtime(program_run)
    assert os.sched_getparam(program_run.pid).sched_priority == PRIORITY


def observe_in_real_time(capture):
    """Has the capture thread of a pty (the observer, which stands for the
    clock at the other end of the line) read under SCHED_FIFO, where the
    grant is given, so that what is measured is the program and the pty,
    not the observer's wait behind the load. Returns whether it does."""
    from realtime_grant import ENVIRONMENT, OBSERVER, request
    if ENVIRONMENT not in os.environ:
        return False
    thread = capture._thread.native_id
    with open("/proc/self/task/%d/comm" % thread, "w") as f:
        f.write(OBSERVER)
    why = request(thread)
    if why:
        raise RuntimeError("the observer's SCHED_FIFO refused: %s" % why)
    return True


def assert_realtime(program_run):
    """The program still runs under SCHED_FIFO (it must not drop it)."""
    policy = os.sched_getscheduler(program_run.pid)
    if policy != os.SCHED_FIFO:
        raise AssertionError("%r runs under scheduling policy %d, not SCHED_FIFO" % (program_run, policy))


def port_is_open_by(pid, device):
    """Whether process `pid` holds `device` (say /dev/ttyS0) open."""
    folder = "/proc/%d/fd" % pid
    try:
        names = os.listdir(folder)
    except OSError:
        return False
    for name in names:
        try:
            if os.readlink(os.path.join(folder, name)) == device:
                return True
        except OSError:
            pass
    return False


__all__ = ["REPO", "log", "CpuReading", "CpuTally", "percentile", "summary_ms", "faked_clock",
           "offset_for_minute_turn", "next_instant", "next_minute_turn", "next_turn_after", "wait_for_distant_turn",
           "make_realtime", "assert_realtime", "observe_in_real_time", "sleep_until", "frame_fields",
           "frame_epoch", "local_datetime", "Background", "port_is_open_by", "wait_for", "FRAME_LENGTH"]
