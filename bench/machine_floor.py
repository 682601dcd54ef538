"""The machine's own floor beside the rows: how late the kernel wakes a task
sleeping until a moment, under the rows' load and policy (rt-tests'
cyclictest; docs/performance.md says how and why so). Its --duration ends
it in any case; stop() first, by its pid.
"""

import os
import re
import signal
import subprocess
import threading

from harness import FLOOR, PRIORITY, log, request, wait_for

# Its wake-ups fall this far into each 5 ms of the real second, away from
# the 2 ms before the turns, which all fall on that grid.
OFFSET_US = {"program": 1250, "realtime": 2250}
SAMPLE = re.compile(rb"^\s*0:\s*(\d+):\s*(-?\d+)$", re.M)
SETTLED_CYCLE = 200  # from its second second on: its start takes its page faults


class Floor:
    """cyclictest from now until stop(), under the normal policy ("program")
    or SCHED_FIFO 10 ("realtime")."""

    def __init__(self, folder, who, seconds):
        self.who, self.path, self._refused, self._process = who, folder / ("floor-%s.txt" % who), None, None
        self.command = ["cyclictest", "--laptop", "--quiet", "--verbose", "--clock=1", "--interval=5000",
                        "--secaligned", str(OFFSET_US[who]), "--duration=%d" % seconds] + (
                            ["--policy=fifo", "-p", str(PRIORITY)] if who == "realtime" else ["--policy=other"])
        starter = threading.Thread(target=self._start)
        starter.start()
        starter.join()
        if self._process is None:
            raise RuntimeError("cyclictest did not start: %s" % (self._refused or "see above (rt-tests?)"))
        pid, policy = self._process.pid, os.SCHED_FIFO if who == "realtime" else os.SCHED_OTHER
        wait_for(lambda: self._process.poll() is not None or policy in [
            os.sched_getscheduler(int(task)) for task in os.listdir("/proc/%d/task" % pid) if int(task) != pid],
            10, "cyclictest's measuring thread")
        if self._process.poll() is not None:
            raise RuntimeError("cyclictest ended at once: %s" % self.path.read_text()[-500:])
        # Its main thread only prints.
        os.sched_setscheduler(pid, os.SCHED_OTHER, os.sched_param(0))

    def _start(self):
        """cyclictest will not start where it may not raise its priority, so
        it starts from this thread, which the grant puts under SCHED_FIFO 10
        (and the guard); its measuring thread then takes its own policy."""
        with open("/proc/self/task/%d/comm" % threading.get_native_id(), "w") as f:
            f.write(FLOOR)
        self._refused = request(threading.get_native_id())
        if not self._refused:
            with open(self.path, "wb") as out:
                self._process = subprocess.Popen(self.command, stdin=subprocess.DEVNULL, stdout=out,
                                                 stderr=subprocess.STDOUT)

    def stop(self):
        """Ends cyclictest (SIGINT: it prints what it has); its figures, how
        late each wake-up came (s)."""
        if self._process.poll() is None:
            self._process.send_signal(signal.SIGINT)
        try:
            self._process.wait(15)
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.wait()
        late = [int(us) / 1e6 for cycle, us in SAMPLE.findall(self.path.read_bytes()) if int(cycle) >= SETTLED_CYCLE]
        log("floor %s: %d wake-ups" % (self.who, len(late)))
        return {"command": self.command, "wakeups_s": late}
