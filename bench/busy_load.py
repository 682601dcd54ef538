"""The competing load of the busy machine (docs/performance.md, "The busy
machine"): stress-ng inside the sandbox at normal priority. Its own --timeout
ends it in any case; stop() ends it by its pid first (SIGINT, SIGKILL if it
lingers). Its figures: the 1-minute load average before and at its end, and
the CPU its workers got (wait4).
"""

import os
import signal
import subprocess
import time

from harness import log, wait_for

# CPU-bound workers for both cores, one that maps, writes and unmaps memory,
# and one that writes, reads and removes files in the bench's folder.
FULL = ["--cpu", "2", "--vm", "1", "--vm-bytes", "128M", "--hdd", "1", "--hdd-bytes", "16M"]
QUICK = ["--cpu", "1", "--vm", "1", "--vm-bytes", "16M", "--hdd", "1", "--hdd-bytes", "1M"]


def load_average():
    return float(open("/proc/loadavg").read().split()[0])


def workers_of(pid):
    return len(open("/proc/%d/task/%d/children" % (pid, pid)).read().split())


class BusyLoad:
    def __init__(self, folder, seconds, quick=False):
        folder.mkdir()
        self.workers = QUICK if quick else FULL
        self.command = ["stress-ng"] + self.workers + ["--timeout", "%ds" % seconds, "--temp-path", str(folder)]
        self.load_before, self.load_after, self.cpu_s, self.elapsed_s = load_average(), None, None, None
        self._log = open(folder / "stress-ng.log", "wb")
        self._process = subprocess.Popen(self.command, stdin=subprocess.DEVNULL, stdout=self._log,
                                         stderr=subprocess.STDOUT, cwd=str(folder))
        self._started = time.monotonic()
        wait_for(lambda: self._process.poll() is not None or workers_of(self._process.pid) >= 3, 30,
                 "the load's workers")
        if self._process.poll() is not None:
            raise RuntimeError("stress-ng ended at once: %s" % (folder / "stress-ng.log").read_text()[-500:])
        log("load: %s, load average %.2f before it" % (" ".join(self.workers), self.load_before))

    def stop(self):
        if self.cpu_s is not None:
            return
        self.load_after = load_average()
        # Unreaped until wait4 below takes its usage: the pid is still stress-ng's, a zombie at worst.
        pid = self._process.pid
        os.kill(pid, signal.SIGINT)
        deadline = time.monotonic() + 15
        done, status, usage = os.wait4(pid, os.WNOHANG)
        while not done and time.monotonic() <= deadline:
            time.sleep(0.05)
            done, status, usage = os.wait4(pid, os.WNOHANG)
        if not done:
            os.kill(pid, signal.SIGKILL)
            _, status, usage = os.wait4(pid, 0)
        self._process.returncode = status
        self.elapsed_s = time.monotonic() - self._started
        self.cpu_s = usage.ru_utime + usage.ru_stime
        self._log.close()

    def as_dict(self):
        return {"command": self.command, "load_average_before": self.load_before,
                "load_average_at_end": self.load_after, "cpu_seconds": self.cpu_s, "seconds": self.elapsed_s,
                "cores": self.cpu_s / self.elapsed_s}

    def summary(self):
        cores = self.cpu_s / self.elapsed_s
        return ("load: stress-ng %s at normal priority, %.0f s; 1-minute load average %.2f before it, %.2f at "
                "its end; it got %.2f of the %d cores (%.0f %%)" % (" ".join(self.workers), self.elapsed_s,
                                                                     self.load_before, self.load_after, cores,
                                                                     os.cpu_count(), 100 * cores / os.cpu_count()))
