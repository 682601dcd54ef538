"""What every measurement of the bench shares: where things are, the page
shared with bench_clock.so, CPU time from /proc, figures, frames, and the
real-time grant as seen from inside the sandbox.

Every program is started through the system-test rig (tests/system/rig),
which refuses to start anything outside tests/system/sandbox.
"""

import collections
import ctypes
import math
import mmap
import os
import struct
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
for folder in (REPO / "tests" / "system", REPO / "tests" / "tools"):
    if str(folder) not in sys.path:
        sys.path.insert(0, str(folder))

from realtime_grant import ENVIRONMENT as GRANT, FLOOR, OBSERVER, PRIORITY, request  # noqa: E402
from rig.waiting import sleep_until, wait_for  # noqa: E402,F401 (for the measurements)

FRAME = 35


def log(text):
    """Progress on stderr; the table goes to stdout."""
    print("bench: " + text, file=sys.stderr, flush=True)


# -- the page shared with bench_clock.so -----------------------------------------

Stamp = collections.namedtuple("Stamp", "at woke planned seen before call size")


class ClockPage:
    """The program's clock offset and the stamps of its write() and sendto()
    calls (bench/bench_clock.c describes the layout). The file lies on a
    tmpfs: a page of a file on disk is made read-only again each time it is
    written back, and the program's next stamp took a page fault."""

    CAPACITY = 4000
    STAMP = struct.Struct("<qqqqqii")

    def __init__(self, offset_s=0.0, stamping=True, folder="/dev/shm"):
        descriptor, path = tempfile.mkstemp(prefix="time-family-bench-page-", dir=folder)
        self.path = Path(path)
        os.write(descriptor, bytes(16 + self.STAMP.size * self.CAPACITY))
        os.close(descriptor)
        self._file = open(self.path, "r+b")
        self._map = mmap.mmap(self._file.fileno(), 0)
        # One aligned 8-byte store, never a torn offset for the program.
        self._offset = ctypes.c_int64.from_buffer(self._map, 0)
        ctypes.c_uint32.from_buffer(self._map, 12).value = int(stamping)
        self.set_offset(offset_s)

    def set_offset(self, seconds):
        self.offset_s = seconds
        self._offset.value = round(seconds * 1e9)

    def stamps(self):
        """Stamp(at, woke, planned, seen, before, call, size) of each call so
        far, real moments in s (bench_clock.c); call 1 is write(), 2 sendto()."""
        count = struct.unpack_from("<I", self._map, 8)[0]
        return [Stamp(*(ns / 1e9 for ns in fields[:5]), *fields[5:]) for fields in
                (self.STAMP.unpack_from(self._map, 16 + self.STAMP.size * i) for i in range(count))]

    def options(self, bin_dir):
        """Start options of the rig for a program that uses this page."""
        return {"preload": [str(Path(bin_dir).parent / "lib" / "bench_clock.so")],
                "env": {"TIME_FAMILY_BENCH_PAGE": str(self.path)}}

    def close(self):
        del self._offset
        self._map.close()
        self._file.close()
        self.path.unlink()


def offset_for_minute_turn(real_instant, minute_after=None):
    """The offset that puts a turn of the minute of the program's clock at
    `real_instant` (local offsets are whole minutes): that turn is
    `minute_after` (a multiple of 60 s) where given."""
    if minute_after is None:
        return -(real_instant % 60.0)
    return minute_after - real_instant


def next_instant(after, fraction):
    """The first moment at or after `after` whose fraction of a second is
    `fraction`."""
    instant = math.floor(after) + fraction
    return instant if instant >= after else instant + 1.0


# -- CPU time and figures -------------------------------------------------------

class CpuReading:
    """A process's run time from /proc/PID/schedstat, its page faults so far
    (minor, major) from /proc/PID/stat, and the monotonic time."""

    def __init__(self, pid):
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        self.faults = (int(fields[7]), int(fields[9]))
        with open("/proc/%d/schedstat" % pid) as f:
            self.run_s = int(f.read().split()[0]) / 1e9
        self.at = time.monotonic()


class CpuTally:
    """Run time, elapsed time and page faults summed over windows of runs."""

    def __init__(self):
        self.run_s = self.elapsed_s = 0.0
        self.faults = [0, 0]

    def add(self, before, after):
        self.merge(after.run_s - before.run_s, after.at - before.at, [b - a for a, b in zip(before.faults,
                                                                                              after.faults)])

    def merge(self, run_s, elapsed_s, faults):
        self.run_s, self.elapsed_s = self.run_s + run_s, self.elapsed_s + elapsed_s
        self.faults = [n + m for n, m in zip(self.faults, faults)]

    def percent(self):
        """Share of one core, in percent."""
        return 100.0 * self.run_s / self.elapsed_s if self.elapsed_s else None

    def as_dict(self):
        return {"schedstat_percent": self.percent(), "seconds": self.elapsed_s, "minor_faults": self.faults[0],
                "major_faults": self.faults[1]}


class TurnFigures:
    """What the turns of one program gave: delays in s from each turn, and
    its CPU while it served them."""

    def __init__(self):
        self.at_call_s, self.delivered_s, self.woke_s, self.overshoot_s, self.turns = [], [], [], [], []
        self.planned_s, self.seen_s, self.before_s = [], [], []
        self.cpu = CpuTally()
        self.startup_cpu_ms = None

    def keep(self, turn, delivered, stamp=None):
        """A turn's frame delivered at `delivered` (s); with the stamp of its
        call, the call's moments from the turn: its entry, its last sleep's end
        and the end asked for, the readings on either side of the turn; and
        that sleep's lateness."""
        self.turns.append(turn)
        self.delivered_s.append(delivered - turn)
        if stamp is not None:
            self.at_call_s.append(stamp.at - turn)
            for moment in ("woke", "planned", "seen", "before"):
                getattr(self, moment + "_s").append(getattr(stamp, moment) - turn)
            self.overshoot_s.append(stamp.woke - stamp.planned)


def core_times():
    """(busy, stolen, all) jiffies of the machine's cores from /proc/stat."""
    fields = [int(x) for x in open("/proc/stat").readline().split()[1:9]]
    return sum(fields) - fields[3] - fields[4], fields[7], sum(fields)


def core_shares(before, after):
    """(% busy, % stolen by the host) between two core_times()."""
    busy, stolen, total = (b - a for a, b in zip(before, after))
    return 100.0 * busy / total, 100.0 * stolen / total


def percentile(values, p):
    """Nearest rank: the smallest value with at least p % of the values at or
    below it. With fewer than 100 values p99 is the largest."""
    ordered = sorted(values)
    return ordered[max(1, math.ceil(p / 100.0 * len(ordered))) - 1] if ordered else None


def summary_ms(delays_s):
    """n, p50, p99, max (ms) and the share within 1 ms (%) of delays in s."""
    ms = [d * 1000.0 for d in delays_s]
    return {"n": len(ms), "p50": percentile(ms, 50), "p99": percentile(ms, 99), "max": max(ms) if ms else None,
            "within_1ms": 100.0 * sum(1 for d in ms if d <= 1.0) / len(ms) if ms else None}


# -- real-time scheduling, granted from outside ---------------------------------

def realtime_granted():
    return GRANT in os.environ


def make_realtime(runner, program_run):
    """Has a running program scheduled as the systemd units start it
    (SCHED_FIFO 10 under LimitRTTIME), granted by bench/realtime_grant.py,
    once it runs its own executable (it starts through a wrapper)."""
    path = str(runner.path_of(program_run.name))

    def own_executable():
        try:
            return os.readlink("/proc/%d/exe" % program_run.pid) == path
        except OSError:
            return not program_run.running()
    wait_for(own_executable, runner.patience, "%r to run its executable" % program_run)
    why = request(program_run.pid)
    if why:
        raise RuntimeError("%r: SCHED_FIFO refused: %s" % (program_run, why))
    assert_realtime(program_run)
    assert os.sched_getparam(program_run.pid).sched_priority == PRIORITY


def assert_realtime(program_run):
    """The program still runs under SCHED_FIFO (it must not drop it)."""
    policy = os.sched_getscheduler(program_run.pid)
    if policy != os.SCHED_FIFO:
        raise AssertionError("%r runs under scheduling policy %d, not SCHED_FIFO" % (program_run, policy))


def grant_thread(native_id, name):
    """Has a thread of the harness, named `name`, run under SCHED_FIFO."""
    with open("/proc/self/task/%d/comm" % native_id, "w") as f:
        f.write(name)
    why = request(native_id)
    if why:
        raise RuntimeError("the %s's SCHED_FIFO refused: %s" % (name, why))


def observe_in_real_time(thread):
    """Has a pty's reader thread (the observer: docs/performance.md,
    "Delivered") read under SCHED_FIFO where the grant is given, so that the
    delivery figure is the pty's, not the observer's wait behind the load."""
    if realtime_granted():
        grant_thread(thread.native_id, OBSERVER)


def port_is_open_by(pid, device):
    """Whether process `pid` holds `device` (say /dev/ttyS0) open."""
    folder = "/proc/%d/fd" % pid
    try:
        return any(os.readlink(os.path.join(folder, name)) == device for name in os.listdir(folder))
    except OSError:
        return False

