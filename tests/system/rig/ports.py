"""Serial ports for the tests: pseudo-terminal pairs bound over /dev/ttyS*.

COM n is /dev/ttyS<n-1> for the Linux builds and, through Wine's port
registry (see wine.py), for the Windows builds too. SerialPorts.create(n)
makes a pty pair, puts the line in raw mode and binds the slave over
/dev/ttyS<n-1> in the sandbox's private /dev; a port that was not created
does not exist at all, so opening it fails. SerialPorts.link(n) makes
/dev/com<n>, which the Linux builds open in place of /dev/ttyS<n-1>, as a
udev rule makes it for a USB adapter: a link to a fresh pty bound at
/dev/ttyUSB<n-1>; link(n, dangling=True) a link that leads nowhere. The
test holds the master end (SerialPort) and also keeps one descriptor of the
slave open, so the line keeps its settings and the master never reads EIO
while no program has the port open.

SerialPort:
    com, device, link        COM number, the path of its pty slave and the
                             /dev/com link to it, if any
    write(data)              bytes into the line, for the program to read
    read_exact(n, timeout)   exactly n bytes or AssertionError (with what came)
    read_until_quiet(quiet, timeout)  all bytes until the line is quiet
    read_available()         what has arrived so far, without waiting
    assert_no_more_bytes()   nothing has arrived (use after the writer ended)
    expect_silence(seconds)  nothing arrives for that long (a running writer)
    set_termios_flags(...)   change the line's termios flags, e.g. INPCK on,
                             to see whether a program leaves or clears them
    release_exclusive()      undo a TIOCEXCL left by a program that has ended
    bytes_waiting()          bytes in the line's receive queue that no
                             program has read yet (FIONREAD on the slave)
    hang_up()                close the master end: the line goes away under
                             the program, whose writes and queries on the
                             port fail from then on (SerialPorts.plug_back
                             then puts a new line under the same name)
    capture()                a Capture: a thread that timestamps every chunk
"""

import errno
import fcntl
import os
import pty
import select
import subprocess
import termios
import threading
import time
import tty


def device_of(com):
    return "/dev/ttyS%d" % (com - 1)


def link_of(com):
    return "/dev/com%d" % com


class SerialPort:
    def __init__(self, com, device=None, link=None):
        self.com = com
        self.device = device or device_of(com)
        self.link = link
        self.master, self._slave = pty.openpty()
        self.slave_path = os.ttyname(self._slave)
        tty.setraw(self._slave)
        os.set_blocking(self.master, False)
        self._capture = None
        self._bound = False

    # -- binding into /dev ---------------------------------------------------

    def bind(self):
        if os.path.lexists(self.device):
            raise RuntimeError("%s already exists" % self.device)
        open(self.device, "w").close()
        subprocess.run(["mount", "--bind", self.slave_path, self.device], check=True)
        self._bound = True
        if self.link:
            os.symlink(os.path.basename(self.device), self.link)

    def _unbind(self, lazy=False):
        # Under Wine the wineserver holds the device open and lets go of it
        # only once it has noticed that the program's process is gone.
        deadline = time.monotonic() + (0 if lazy else 5)
        while subprocess.run(["umount", self.device], stderr=subprocess.DEVNULL).returncode != 0:
            if time.monotonic() > deadline:
                subprocess.run(["umount", "--lazy", self.device], check=True)
                return
            time.sleep(0.05)

    def remove(self, lazy=False):
        if self._capture:
            self._capture.stop()
        if self.link:
            os.unlink(self.link)
        if self._bound:
            self._unbind(lazy)
            os.unlink(self.device)
            self._bound = False
        os.close(self._slave)
        if self.master is not None:
            os.close(self.master)

    def hang_up(self):
        if self._capture:
            self._capture.stop()
        os.close(self.master)
        self.master = None

    # -- line settings -------------------------------------------------------

    def set_termios_flags(self, iflag_on=0, iflag_off=0, cflag_on=0, cflag_off=0):
        attrs = termios.tcgetattr(self._slave)
        attrs[0] = (attrs[0] | iflag_on) & ~iflag_off
        attrs[2] = (attrs[2] | cflag_on) & ~cflag_off
        termios.tcsetattr(self._slave, termios.TCSANOW, attrs)

    def termios_flags(self):
        """(iflag, oflag, cflag, lflag) of the line as it stands."""
        return tuple(termios.tcgetattr(self._slave)[:4])

    def release_exclusive(self):
        if self.master is None:
            return  # a line that went away holds nothing for the next program
        fcntl.ioctl(self._slave, termios.TIOCNXCL)

    def bytes_waiting(self):
        count = fcntl.ioctl(self._slave, termios.FIONREAD, b"\0\0\0\0")
        return int.from_bytes(count, "little")

    # -- bytes ---------------------------------------------------------------

    def write(self, data):
        view = memoryview(bytes(data))
        while view:
            select.select([], [self.master], [], 5)
            written = os.write(self.master, view)
            view = view[written:]

    def _read_some(self, timeout):
        assert self._capture is None, "the port is being captured; read from the capture"
        ready, _, _ = select.select([self.master], [], [], max(timeout, 0))
        if not ready:
            return b""
        try:
            return os.read(self.master, 4096)
        except OSError as e:
            if e.errno in (errno.EAGAIN, errno.EIO):
                return b""
            raise

    def read_available(self):
        data = b""
        while True:
            chunk = self._read_some(0)
            if not chunk:
                return data
            data += chunk

    def read_exact(self, count, timeout):
        data = b""
        deadline = time.monotonic() + timeout
        while len(data) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("COM%d: wanted %d bytes within %.1f s, got %d: %r"
                                     % (self.com, count, timeout, len(data), data))
            # Never take more than asked: what follows is the next check's.
            ready, _, _ = select.select([self.master], [], [], left)
            if ready:
                try:
                    data += os.read(self.master, count - len(data))
                except OSError as e:
                    if e.errno not in (errno.EAGAIN, errno.EIO):
                        raise
        return data

    def read_until_quiet(self, quiet=0.3, timeout=5.0):
        data = b""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            chunk = self._read_some(min(quiet, deadline - time.monotonic()))
            if not chunk:
                return data
            data += chunk
        return data

    def assert_no_more_bytes(self):
        extra = self.read_available()
        assert extra == b"", "COM%d: unexpected bytes %r" % (self.com, extra)

    def expect_silence(self, seconds):
        extra = self.read_until_quiet(quiet=seconds, timeout=seconds)
        assert extra == b"", "COM%d: unexpected bytes within %.1f s: %r" % (self.com, seconds, extra)

    def capture(self):
        assert self._capture is None
        self._capture = Capture(self)
        return self._capture


class Capture:
    """Reads a port in a thread and keeps each chunk with the wall-clock and
    monotonic time of its arrival, for checks of when bytes came."""

    def __init__(self, port):
        self.port = port
        self.chunks = []  # (wall time, monotonic time, bytes)
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop.is_set():
            ready, _, _ = select.select([self.port.master], [], [], 0.05)
            if not ready:
                continue
            try:
                chunk = os.read(self.port.master, 4096)
            except OSError as e:
                if e.errno in (errno.EAGAIN, errno.EIO):
                    continue
                raise
            with self._lock:
                self.chunks.append((time.time(), time.monotonic(), chunk))

    @property
    def data(self):
        with self._lock:
            return b"".join(chunk for _, _, chunk in self.chunks)

    def arrival_of_byte(self, index):
        """(wall time, monotonic time) at which byte number `index` arrived."""
        with self._lock:
            seen = 0
            for wall, mono, chunk in self.chunks:
                seen += len(chunk)
                if seen > index:
                    return wall, mono
        raise IndexError(index)

    def wait_for_bytes(self, count, timeout):
        from .waiting import wait_for
        wait_for(lambda: len(self.data) >= count, timeout,
                 "%d bytes on COM%d (have %r)" % (count, self.port.com, self.data))
        return self.data

    def stop(self):
        self._stop.set()
        self._thread.join(timeout=2)
        self.port._capture = None


class SerialPorts:
    """The session's serial ports: at most one live SerialPort per COM, and
    one per /dev/com link, keyed by its path (None: dangling)."""

    def __init__(self):
        self.live = {}

    def create(self, *coms):
        created = {}
        try:
            for com in coms:
                if not 1 <= com <= 4:
                    raise ValueError("COM%d: the family uses COM1 to COM4" % com)
                if com in self.live:
                    raise RuntimeError("COM%d is already in use by this session" % com)
                port = SerialPort(com)
                port.bind()
                self.live[com] = created[com] = port
        except Exception:
            self.remove(*created)
            raise
        return created

    def link(self, com, dangling=False):
        path = link_of(com)
        port = None
        if dangling:
            os.symlink("ttyUSB-unplugged", path)
        else:
            port = SerialPort(com, device="/dev/ttyUSB%d" % (com - 1), link=path)
            port.bind()
        self.live[path] = port
        return port

    def plug_back(self, com):
        """A new line under the name of COM `com`, whose line has hung up,
        as a USB adapter plugged in again comes back under its name: the old
        one is unbound at once, even while a program still holds it, and a
        fresh pty is bound in its place."""
        self.live.pop(com).remove(lazy=True)
        port = self.live[com] = SerialPort(com)
        port.bind()
        return port

    def pull_out(self, key):
        """A USB adapter pulled out: its line hangs up, and its device and
        /dev/com link go away, even while a program still holds it."""
        port = self.live.pop(key)
        port.hang_up()
        port.remove(lazy=True)

    def remove(self, *keys):
        for key in keys:
            port = self.live.pop(key, False)
            if port:
                port.remove()
            elif port is None:  # a dangling link
                os.unlink(key)

    def remove_all(self):
        self.remove(*list(self.live))

    def release_exclusive(self):
        for port in filter(None, self.live.values()):
            port.release_exclusive()
