"""The machine's own floor, measured beside the rows: how late the kernel
wakes a task sleeping until a moment, under the same load, policy and
priority as the programs measured meanwhile (rt-tests' cyclictest, one
thread). --laptop: cyclictest asks the power management for no wake-up
latency (/dev/cpu_dma_latency), as the programs ask for none.

It wakes every 5 ms at 1.25 ms (normal) or 2.25 ms (SCHED_FIFO 10) into
each 5 ms of the real second: the turns of the programs beside it all fall
on that grid, so it never wakes within the 2 ms before a turn, where they
poll, while the 4 ms ticks of the kernel fall at each phase of its
wake-ups in turn. Its first second (its page faults) is left out.

cyclictest checks at its start that it may raise its own priority, which no
process in the sandbox may; so it is started from a thread of the harness
that bench/realtime_grant.py has put under SCHED_FIFO 10 (named "floor"),
and inherits that policy and the grant's LimitRTTIME. Its measuring thread
then sets the policy it is told; the main thread, which only prints, is
put back to the normal policy. Its own --duration ends it in any case; stop()
ends it by its pid first.
"""

import os
import re
import signal
import subprocess
import threading
import time

from harness import FLOOR, PRIORITY, log, realtime_granted, request, wait_for

INTERVAL_US = 5000
OFFSET_US = {"program": 1250, "realtime": 2250}
SETTLING_S = 1.0
SAMPLE = re.compile(rb"^\s*0:\s*(\d+):\s*(-?\d+)$", re.M)


def _granted_start(command, out):
    """Starts `command` from a thread under SCHED_FIFO, which it inherits."""
    started = {}

    def run():
        with open("/proc/self/task/%d/comm" % threading.get_native_id(), "w") as f:
            f.write(FLOOR)
        started["refused"] = request(threading.get_native_id())
        if started["refused"] is None:
            try:
                started["process"] = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out,
                                                      stderr=subprocess.STDOUT)
            finally:
                os.sched_setscheduler(0, os.SCHED_OTHER, os.sched_param(0))
    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    if started["refused"]:
        raise RuntimeError("the floor's SCHED_FIFO refused: %s" % started["refused"])
    return started["process"]


class Floor:
    """cyclictest from now until stop(); `who` "program" measures under the
    normal policy, "realtime" under SCHED_FIFO 10."""

    def __init__(self, folder, who, seconds):
        self.who, self.path = who, folder / ("floor-%s.txt" % who)
        policy = ["--policy=fifo", "-p", str(PRIORITY)] if who == "realtime" else ["--policy=other"]
        self.command = (["cyclictest", "--laptop", "--quiet", "--verbose", "--clock=1", "--interval=%d" % INTERVAL_US,
                         "--secaligned", str(OFFSET_US[who]), "--duration=%d" % seconds] + policy)
        self.wakeups_us = None
        with open(self.path, "wb") as out:
            self._process = _granted_start(self.command, out)
        pid, wanted = self._process.pid, os.SCHED_FIFO if who == "realtime" else os.SCHED_OTHER

        def measuring():
            tasks = [int(t) for t in os.listdir("/proc/%d/task" % pid) if int(t) != pid]
            return tasks and os.sched_getscheduler(tasks[0]) == wanted
        wait_for(lambda: self._process.poll() is not None or measuring(), 10, "cyclictest's measuring thread")
        if self._process.poll() is not None:
            raise RuntimeError("cyclictest ended at once: %s" % self.path.read_text()[-500:])
        os.sched_setscheduler(pid, os.SCHED_OTHER, os.sched_param(0))
        self._started = time.monotonic()

    def stop(self):
        """Ends cyclictest (SIGINT: it prints what it has) and keeps its
        wake-ups, in us after the moment each was due."""
        if self.wakeups_us is not None:
            return
        if self._process.poll() is None:
            self._process.send_signal(signal.SIGINT)
        try:
            self._process.wait(15)
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.wait()
        skip = SETTLING_S * 1e6 / INTERVAL_US
        self.wakeups_us = [int(us) for cycle, us in SAMPLE.findall(self.path.read_bytes()) if int(cycle) >= skip]
        log("floor %s: %d wake-ups in %.0f s" % (self.who, len(self.wakeups_us), time.monotonic() - self._started))

    def figures(self):
        return {"command": self.command, "wakeups_us": self.wakeups_us}


def floors_beside(folder, whos, seconds):
    """A Floor for each of `whos`, or none where the grant is not given."""
    if not realtime_granted():
        log("no machine floor: cyclictest needs bench/realtime_grant.py")
        return []
    return [Floor(folder, who, seconds) for who in whos]
