"""Starting the family's real programs: Linux builds natively, Linux arm64
builds under qemu-aarch64 (registered in the sandbox's own binfmt_misc),
Windows builds under Wine, always inside the sandbox.

Runner.start(name, tail, ...) starts the program of that base name
("serial_time_sender_8bit") from the session's platform build and returns a
Program. The command tail is split on blanks into arguments, as a shell
would; both platforms hand it back to the program joined by single blanks.

Options of start():
    env={...}             variables added to the program's environment
    strace=True           log the program's ioctls (see line_requests.py);
                          Program.line_requests() parses the log
    faketime="YYYY-MM-DD hh:mm:ss"
                          (Linux) libfaketime: the program's clock starts at
                          that local time and runs on at normal speed
    faketime=<seconds since 1970, UTC>
                          the same at an exact instant, also one of the hour
                          that a zone's local time names twice
    preload=[paths]       (Linux) further LD_PRELOAD libraries
    display=":N"          DISPLAY for windowed programs (see display.py)

Program:
    pid                   the program's own process id (also under strace)
    wait(timeout)         its exit code; AssertionError if still running then
    returncode            None while it runs
    running()
    stop(timeout)         SIGTERM by pid, SIGKILL if it lingers; exit code
    stderr                what it wrote to stderr (complete once ended)
    line_requests()       the serial-line requests it made (needs strace)

Every start first checks that this is the sandbox (sandbox_check.py), and
Runner.stop_all() ends whatever is still running, by pid.

Under Wine, Program.pid is the process that runs the Windows program. Wine 8
(Debian 12) runs it in the process the rig started; Wine 10 (Debian 13) runs
start.exe there, which starts the program in a process of its own (whose
parent is the sandbox's first process, not start.exe's) and waits for it,
passing on its exit code. The first use of Program.pid finds that process
by a variable only this start put into the environment, and by the
program's image and Windows's own libraries in its memory map, and waits
for it (at most `patience`) unless the program ends first; start() itself
does not wait, so that programs started one after another start together.
"""

import os
import select
import signal
import subprocess
import time
from pathlib import Path

from .line_requests import parse_line_requests
from .sandbox_check import assert_in_sandbox

# Each Linux build's own: the arm64 programs load Debian's libfaketime:arm64.
LIBFAKETIME = {build: "/usr/lib/%s-linux-gnu/faketime/libfaketime.so.1" % triplet
               for build, triplet in (("linux", "x86_64"), ("linux-arm64", "aarch64"))}

STRACE = ["strace", "-ff", "-ttt", "-qq", "-v", "-y", "-X", "raw", "--seccomp-bpf", "-e", "trace=ioctl"]



def sandbox_processes():
    return [int(name) for name in os.listdir("/proc") if name.isdigit()]


def read_or_empty(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:  # a process that ended meanwhile
        return b""


def pid_reporter(fd):
    """A wrapper that writes its pid to `fd`, closes it and exec()s the
    program, which so keeps that pid (also as strace's tracee)."""
    return ["/bin/bash", "-c", 'echo $$ >&%d; exec "$0" "$@" %d>&-' % (fd, fd)]


class Program:
    def __init__(self, runner, name, tail, popen, pid, stderr_path, trace_prefix, find_pid=None):
        self.runner = runner
        self.name = name
        self.tail = tail
        self.popen = popen
        self._pid = pid
        # Under Wine, finds the process that runs the program when .pid is first asked for.
        self._find_pid = find_pid
        self.stderr_path = stderr_path
        self.trace_prefix = trace_prefix
        self._noted_end = False

    @property
    def pid(self):
        if self._find_pid:
            self._pid, self._find_pid = self._find_pid(), None
        return self._pid

    def __repr__(self):
        return "<%s %r pid %s>" % (self.name, self.tail, self._pid)

    @property
    def returncode(self):
        code = self.popen.poll()
        if code is not None:
            self._note_end()
        return code

    def running(self):
        return self.returncode is None

    def wait(self, timeout):
        try:
            code = self.popen.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("%r still running after %.1f s" % (self, timeout)) from None
        self._note_end()
        return code

    def stop(self, timeout=10):
        if self.popen.poll() is None:
            try:
                os.kill(self.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                self.popen.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                # The program, and under Wine 10 the start.exe that waits for it.
                for pid in {self.pid, self.popen.pid}:
                    try:
                        os.kill(pid, signal.SIGKILL)
                    except ProcessLookupError:
                        pass
                self.popen.wait(timeout=timeout)
        self._note_end()
        return self.popen.returncode

    def _note_end(self):
        if not self._noted_end:
            self._noted_end = True
            self.runner._program_ended(self)

    @property
    def stderr(self):
        return Path(self.stderr_path).read_text(errors="replace")

    def line_requests(self, com=None):
        assert self.trace_prefix, "start the program with strace=True"
        requests = parse_line_requests(self.trace_prefix)
        return [r for r in requests if com is None or r.com == com]


class Runner:
    def __init__(self, platform, bin_dir, workdir, ports, wine=None):
        # platform: "linux", "windows" or "linux-arm64"; the arm64 builds are
        # Linux ones (self.platform) run by an emulator (self.emulated).
        self.build = platform
        self.platform = "windows" if platform == "windows" else "linux"
        self.emulated = platform == "linux-arm64"
        self.bin_dir = Path(bin_dir)
        self.workdir = Path(workdir)
        self.ports = ports
        self.wine = wine
        self.programs = []
        # Seconds a program may need to start and do its first thing: Wine
        # (and its 32-bit loader, emulated on kernels without ia32) is slow.
        self.patience = 10.0 if self.platform == "linux" else 60.0

    def host_tool(self, name):
        """A test tool that must be of the machine's own architecture: in
        the arm64 build, its native twin (host-bin/)."""
        return self.bin_dir.parent / "host-bin" / name if self.emulated else self.bin_dir / name

    def path_of(self, name):
        path = self.bin_dir / (name + (".exe" if self.platform == "windows" else ""))
        if not path.is_file():
            raise FileNotFoundError("%s not built: %s" % (name, path))
        return path

    def start(self, name, tail="", *, env=None, strace=False, faketime=None, preload=(), display=None):
        assert_in_sandbox()
        if self.platform == "windows" and (faketime or preload):
            raise ValueError("libfaketime and LD_PRELOAD apply to the Linux builds only")
        number = len(self.programs) + 1
        stem = self.workdir / ("%03d-%s" % (number, name))
        path = self.path_of(name)

        # The sandbox's narrow address space is for qemu-i386 under Wine only.
        base = dict(self.wine.env) if self.platform == "windows" else \
            {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "QEMU_RESERVED_VA")}
        extra = dict(env or {})
        if display:
            extra["DISPLAY"] = display
        libraries = list(preload) + ([LIBFAKETIME[self.build]] if faketime else [])
        if libraries and self.emulated:
            # For the emulated program alone: the native shell and strace
            # around it would refuse an arm64 library, on the program's stderr.
            extra["QEMU_SET_ENV"] = "LD_PRELOAD=" + ":".join(libraries)
        elif libraries:
            extra["LD_PRELOAD"] = ":".join(libraries)
        if isinstance(faketime, (int, float)):
            # An offset from the real clock, fixed now: no local time to
            # read, so no doubt about which instant it means.
            extra["FAKETIME"] = "%+.6f" % (faketime - time.time())
        elif faketime:
            extra["FAKETIME"] = "@" + faketime
        if faketime:
            extra["FAKETIME_DONT_FAKE_MONOTONIC"] = "1"

        if self.platform == "windows":
            extra["TIME_FAMILY_RIG_START"] = stem.name
        command = (["wine", str(path)] if self.platform == "windows" else [str(path)]) + tail.split()
        read_end, write_end = os.pipe()
        command = pid_reporter(write_end) + command
        trace_prefix = None
        if strace:
            trace_prefix = str(stem) + ".trace"
            if "ASAN_OPTIONS" in base and "ASAN_OPTIONS" not in extra:
                # A sanitizer build's leak check cannot run under ptrace:
                # it would fail the traced program at its exit.
                extra["ASAN_OPTIONS"] = base["ASAN_OPTIONS"] + ":detect_leaks=0"
            # Only the program gets the extra variables, not strace itself.
            command = STRACE + ["-o", trace_prefix] + \
                [arg for item in extra.items() for arg in ("-E", "%s=%s" % item)] + \
                ["--"] + command
            environment = base
        else:
            environment = {**base, **extra}

        with open(str(stem) + ".stderr", "wb") as stderr:
            popen = subprocess.Popen(command, env=environment, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=stderr,
                                     pass_fds=(write_end,), cwd=str(self.workdir))
        os.close(write_end)
        try:
            pid = self._read_pid(read_end, popen)
        finally:
            os.close(read_end)
        # Not waited for here: programs started one after another start at once, as under Wine 8.
        find_pid = None
        if self.platform == "windows":
            def find_pid(launcher=pid):
                return self._process_running(path.name, stem.name, popen, launcher)
        program = Program(self, name, tail, popen, pid, str(stem) + ".stderr", trace_prefix, find_pid)
        self.programs.append(program)
        return program

    @staticmethod
    def _read_pid(read_end, popen):
        ready, _, _ = select.select([read_end], [], [], 30)
        text = os.read(read_end, 64).decode() if ready else ""
        if not text.strip():
            popen.kill()
            raise RuntimeError("program did not start (exit %s)" % popen.wait(timeout=10))
        return int(text)

    def _process_running(self, image, start, popen, launcher):
        """The process of this start that runs the program's image (not start.exe),
        or the launcher's own pid once the launcher has ended without one."""
        marker = ("TIME_FAMILY_RIG_START=%s" % start).encode()
        deadline = time.monotonic() + self.patience
        while popen.poll() is None and time.monotonic() < deadline:
            for pid in sandbox_processes():
                if marker not in read_or_empty("/proc/%d/environ" % pid).split(b"\0"):
                    continue
                # Wine 10's loader maps the image for a moment before it decides to start it through
                # start.exe; the image runs once the libraries it needs are mapped beside it.
                maps = read_or_empty("/proc/%d/maps" % pid)
                if image.encode() in maps and b"kernelbase.dll" in maps and b"/start.exe" not in maps:
                    return pid
            time.sleep(0.05)
        return launcher

    def run(self, name, tail="", timeout=None, **options):
        """Starts the program and waits for it to end."""
        program = self.start(name, tail, **options)
        program.wait(self.patience if timeout is None else timeout)
        return program

    def running_programs(self):
        return [p for p in self.programs if p.popen.poll() is None]

    def _program_ended(self, program):
        # A Linux build locks its port with TIOCEXCL, which stays on the line
        # as long as the rig's own slave descriptor keeps it open. Once no
        # program of the session runs any more, the next one must be able to
        # open the port again.
        if not self.running_programs():
            self.ports.release_exclusive()

    def stop_all(self):
        """Stops every program still running, each by its pid; one that will
        not end does not keep the others running. Raises the first failure."""
        failures = []
        for program in self.programs:
            try:
                program.stop()
            except (OSError, subprocess.SubprocessError) as failure:
                failures.append(failure)
        if failures:
            raise failures[0]
