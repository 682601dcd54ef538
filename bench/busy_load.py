"""The competing load of the bench's busy machine: stress-ng inside the
sandbox, at normal priority, with CPU-bound workers for both cores, one that
maps, writes and unmaps memory and one that writes, reads and removes files
in the bench's own folder.

It ends by itself: stress-ng's --timeout is a deadline inside the load, and
stop() ends it by its pid first (SIGINT, which stress-ng passes to its
workers; SIGKILL if it lingers); the sandbox ends whatever is left. Its own
figures: the machine's 1-minute load average before it started and when it
stopped, and the CPU it got (its workers' user and system time, from
wait4), as a share of the machine's cores.
"""

import os
import signal
import subprocess
import time

from harness import log, wait_for

FULL = ["--cpu", "2", "--vm", "1", "--vm-bytes", "128M", "--hdd", "1", "--hdd-bytes", "16M"]
QUICK = ["--cpu", "1", "--vm", "1", "--vm-bytes", "16M", "--hdd", "1", "--hdd-bytes", "1M"]


def load_average():
    with open("/proc/loadavg") as f:
        return float(f.read().split()[0])


def children_of(pid):
    found = []
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                with open("/proc/%s/stat" % name) as f:
                    if int(f.read().rsplit(")", 1)[1].split()[1]) == pid:
                        found.append(int(name))
            except (OSError, IndexError, ValueError):
                pass
    return found


class BusyLoad:
    def __init__(self, folder, seconds, quick=False):
        self.folder = folder
        folder.mkdir()
        self.workers = QUICK if quick else FULL
        self.command = ["stress-ng"] + self.workers + ["--timeout", "%ds" % seconds, "--temp-path", str(folder)]
        self.load_before = load_average()
        self.load_after = None
        self.cpu_s = None
        self.elapsed_s = None
        self._stderr = open(folder / "stress-ng.log", "wb")
        self._process = subprocess.Popen(self.command, stdin=subprocess.DEVNULL, stdout=self._stderr,
                                         stderr=subprocess.STDOUT, cwd=str(folder))
        self._started = time.monotonic()
        count = sum(int(self.workers[i + 1]) for i, w in enumerate(self.workers) if w in ("--cpu", "--vm", "--hdd"))
        wait_for(lambda: len(children_of(self._process.pid)) >= count or self._process.poll() is not None, 30,
                 "the load's %d workers" % count)
        if self._process.poll() is not None:
            raise RuntimeError("stress-ng ended at once: %s" % (folder / "stress-ng.log").read_text()[-500:])
        log("load: %s, load average %.2f before it" % (" ".join(self.workers), self.load_before))

    def stop(self):
        if self.cpu_s is not None:
            return
        self.load_after = load_average()
        pid = self._process.pid
        if self._process.poll() is None:
            os.kill(pid, signal.SIGINT)
        deadline = time.monotonic() + 15
        usage = None
        while usage is None:
            done, status, rusage = os.wait4(pid, os.WNOHANG)
            if done:
                usage = rusage
                self._process.returncode = status
            elif time.monotonic() > deadline:
                os.kill(pid, signal.SIGKILL)
                _, status, usage = os.wait4(pid, 0)
                self._process.returncode = status
            else:
                time.sleep(0.05)
        self.elapsed_s = time.monotonic() - self._started
        self.cpu_s = usage.ru_utime + usage.ru_stime
        self._stderr.close()

    def cores(self):
        return self.cpu_s / self.elapsed_s

    def summary(self):
        return ("load: stress-ng %s at normal priority, %.0f s; 1-minute load average %.2f before it, %.2f at "
                "its end; it got %.2f of the %d cores (%.0f %%)"
                % (" ".join(self.workers), self.elapsed_s, self.load_before, self.load_after, self.cores(),
                   os.cpu_count(), 100 * self.cores() / os.cpu_count()))

    def as_dict(self):
        return {"command": self.command, "load_average_before": self.load_before,
                "load_average_at_end": self.load_after, "cpu_seconds": self.cpu_s, "seconds": self.elapsed_s,
                "cores": self.cores()}
