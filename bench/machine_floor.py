"""The machine's own floor beside the rows: how late the kernel wakes a task
sleeping until a moment, under their load and policy (rt-tests' cyclictest;
docs/performance.md, "The machine's floor"). Its --duration ends it anyway.
"""

import os
import re
import signal
import subprocess
import threading

from harness import FLOOR, PRIORITY, grant_thread, log, wait_for

# Its wake-ups fall this far into each 5 ms of the real second, away from
# the 2 ms before the turns, which all fall on that grid.
INTERVAL_US, OFFSET_US = 5000, {"program": 1250, "realtime": 2250}
SAMPLE = re.compile(rb"^\s*0:\s*(\d+):\s*(-?\d+)$", re.M)
SETTLED_CYCLE = 200  # from its second second on: its start takes its page faults


class Floor:
    """cyclictest from now until stop(), under the normal policy ("program")
    or SCHED_FIFO 10 ("realtime")."""

    def __init__(self, folder, who, seconds):
        self.who, self.path, self._process, self._error = who, folder / ("floor-%s.txt" % who), None, None
        self.command = ["cyclictest", "--laptop", "--quiet", "--verbose", "--clock=1", "--interval=%d" % INTERVAL_US,
                        "--secaligned", str(OFFSET_US[who]), "--duration=%d" % seconds] + (
                            ["--policy=fifo", "-p", str(PRIORITY)] if who == "realtime" else ["--policy=other"])
        starter = threading.Thread(target=self._start)
        starter.start()
        starter.join()
        if self._error:
            raise self._error
        pid, policy = self._process.pid, os.SCHED_FIFO if who == "realtime" else os.SCHED_OTHER
        wait_for(lambda: self._process.poll() is not None or policy in [
            os.sched_getscheduler(int(task)) for task in os.listdir("/proc/%d/task" % pid) if int(task) != pid],
            10, "cyclictest's measuring thread")
        if self._process.poll() is not None:
            raise RuntimeError("cyclictest ended at once: %s" % self.path.read_text()[-500:])
        # Its main thread only prints.
        os.sched_setscheduler(pid, os.SCHED_OTHER, os.sched_param(0))

    def _start(self):
        """From a thread the grant puts under SCHED_FIFO: cyclictest will not
        start where it may not raise its priority."""
        try:
            grant_thread(threading.get_native_id(), FLOOR)
            with open(self.path, "wb") as out:
                self._process = subprocess.Popen(self.command, stdin=subprocess.DEVNULL, stdout=out,
                                                 stderr=subprocess.STDOUT)
        except Exception as error:  # raised by __init__
            self._error = error

    def stop(self):
        """Ends it (SIGINT: it prints what it has); how late each wake-up came (s)."""
        if self._process.poll() is None:
            self._process.send_signal(signal.SIGINT)
        try:
            self._process.wait(15)
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.wait()
        # A wake-up later than the interval stands also for the moments it
        # overran, which cyclictest skips, each as late as what was left of it.
        late = [(int(us) - k * INTERVAL_US) / 1e6 for cycle, us in SAMPLE.findall(self.path.read_bytes())
                if int(cycle) >= SETTLED_CYCLE for k in range(max(0, int(us) - 1) // INTERVAL_US + 1)]
        log("floor %s: %d wake-ups" % (self.who, len(late)))
        return {"command": self.command, "wakeups_s": late}
