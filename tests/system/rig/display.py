"""A private X display for the windowed programs, and screenshots of it.

Xvfb picks a free display number itself (-displayfd) and listens only on
its unix socket, which in the sandbox is reachable from the sandbox alone
(the abstract socket belongs to the sandbox's network namespace, and the
socket directory is a private tmpfs).
"""

import os
import select
import signal
import subprocess
import time


def read_line(fd, timeout):
    """Reads up to a newline. Xvfb writes the number and the newline apart,
    and dies if the pipe is closed between the two."""
    text = b""
    deadline = time.monotonic() + timeout
    while not text.endswith(b"\n"):
        ready, _, _ = select.select([fd], [], [], max(0, deadline - time.monotonic()))
        chunk = os.read(fd, 32) if ready else b""
        if not chunk:
            break
        text += chunk
    return text.decode().strip()


class Display:
    def __init__(self, width=1024, height=768):
        read_end, write_end = os.pipe()
        self.popen = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp", "-noreset",
             "-screen", "0", "%dx%dx24" % (width, height)],
            pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(write_end)
        try:
            number = read_line(read_end, timeout=30)
        finally:
            os.close(read_end)
        if not number:
            self.close()
            raise RuntimeError("Xvfb did not report a display")
        self.name = ":" + number
        self.pid = self.popen.pid

    def screenshot(self, path):
        """Saves the whole screen as a PNG (ImageMagick's import)."""
        subprocess.run(["import", "-display", self.name, "-window", "root", str(path)],
                       check=True, timeout=60, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return path

    def close(self):
        if self.popen.poll() is None:
            os.kill(self.popen.pid, signal.SIGTERM)
            try:
                self.popen.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.kill(self.popen.pid, signal.SIGKILL)
                self.popen.wait(timeout=10)
