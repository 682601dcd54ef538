"""The rig's own checks: the refusal outside the sandbox, the ports, the
strace reading, Wine's COM names and the private display."""

import os
import signal
import stat
import subprocess
import sys
from pathlib import Path

import pytest

from rig import WaitTimeout, parse_trace_lines, sandbox_problems, wait_for
from rig.wine import WINE64

HERE = Path(__file__).resolve().parent

SANDBOX_LIKE = dict(
    interface_names=["lo"],
    uid_map="         0          0          1\n",
    pid_namespace="pid:[4026532175]",
    mountinfo="30 25 0:40 / /dev rw,relatime - tmpfs sandbox-dev rw,size=16384k,mode=755\n",
    serial_devices={"/dev/ttyS0": (True, 136)},
)

MACHINE_LIKE = dict(
    interface_names=["lo", "eth0"],
    uid_map="         0          0 4294967295\n",
    pid_namespace="pid:[4026531836]",
    mountinfo="22 1 0:5 / /dev rw,nosuid - devtmpfs udev rw,size=12334808k\n",
    serial_devices={"/dev/ttyS0": (True, 4)},
)


def test_a_proper_sandbox_passes_and_this_is_one():
    assert sandbox_problems(**SANDBOX_LIKE) == []
    assert sandbox_problems() == []


@pytest.mark.parametrize("fault, words", [
    ("interface_names", "eth0"),
    ("uid_map", "initial user namespace"),
    ("pid_namespace", "initial process-id namespace"),
    ("mountinfo", "/dev is not"),
    ("serial_devices", "/dev/ttyS0 is not a test pseudo-terminal"),
])
def test_each_sign_of_the_machine_is_refused(fault, words):
    problems = sandbox_problems(**{**SANDBOX_LIKE, fault: MACHINE_LIKE[fault]})
    assert len(problems) == 1 and words in problems[0], problems
    assert len(sandbox_problems(**MACHINE_LIKE)) == 5


def fresh_dev(label, *machine_like_ports):
    """Shell steps that put a new tmpfs named `label` over /dev (within the
    nested mount namespace), holding null and, bound from null, the given
    ports: character devices that are not pseudo-terminals."""
    nodes = ("null",) + machine_like_ports
    steps = ["mount -t tmpfs %s /mnt" % label]
    steps += ["touch /mnt/%s && mount --bind /dev/null /mnt/%s" % (n, n) for n in nodes]
    return " && ".join(steps + ["mount --move /mnt /dev"])


def run_pytest_in(shell_setup):
    """Runs a pytest session of this folder after `shell_setup` in nested
    namespaces of the sandbox; returns (exit code, output)."""
    command = shell_setup + ' && exec "$0" -m pytest -p no:cacheprovider -q "$1" -k "a_proper_sandbox"'
    result = subprocess.run(
        ["unshare", "--user", "--map-root-user", "--net", "--mount", "--propagation", "private",
         "sh", "-c", command, sys.executable, str(HERE / "test_rig.py")],
        cwd=HERE, capture_output=True, text=True, timeout=60)
    return result.returncode, result.stdout + result.stderr


@pytest.mark.parametrize("setup, words", [
    ("ip link add sandbox-extra type bridge", "sandbox-extra"),
    (fresh_dev("other-dev"), "/dev is not the sandbox's private tmpfs"),
    (fresh_dev("sandbox-dev", "ttyS3"), "/dev/ttyS3 is not a test pseudo-terminal"),
])
def test_a_session_refuses_to_start_when_the_sandbox_is_broken(setup, words):
    code, output = run_pytest_in(setup)
    assert code == 3, output
    assert "refusing to run" in output and words in output, output
    assert " passed" not in output


def test_the_same_session_runs_in_an_intact_nested_sandbox():
    # The counterpart of the refusals above: the child session itself works.
    code, output = run_pytest_in("true")
    assert code == 0 and "1 passed" in output, output


def processes_named(marker):
    """Pids of the processes, in this sandbox and the ones nested in it,
    whose command line starts with `marker`."""
    found = []
    for entry in os.listdir("/proc"):
        try:
            if entry.isdigit() and Path("/proc", entry, "cmdline").read_bytes().startswith(marker.encode()):
                found.append(int(entry))
        except OSError:
            pass  # ended meanwhile
    return found


def start_nested_sandbox(marker, then):
    """Starts a new sandbox whose command leaves a detached `sleep`, renamed
    `marker`, behind and then runs the shell text `then`."""
    environment = {k: v for k, v in os.environ.items() if k != "TIME_FAMILY_SANDBOX"}
    command = "setsid bash -c 'exec -a %s sleep 600' </dev/null >/dev/null 2>&1 & %s" % (marker, then)
    return subprocess.Popen([str(HERE / "sandbox"), "bash", "-c", command], env=environment,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


@pytest.mark.parametrize("how", ["ends", "is killed"])
def test_nothing_started_in_a_sandbox_outlives_it(how):
    marker = "left-behind-%d-%s" % (os.getpid(), how.replace(" ", "-"))
    # In the sandbox, the command waits until the detached process runs.
    started = "until pgrep -f '^%s' >/dev/null; do sleep 0.02; done; " % marker
    sandbox = start_nested_sandbox(marker, started + ("exit 7" if how == "ends" else "sleep 600"))
    try:
        if how == "is killed":
            wait_for(lambda: processes_named(marker), 30, "the detached process")
            os.kill(sandbox.pid, signal.SIGKILL)
        code = sandbox.wait(timeout=30)
        assert code == (7 if how == "ends" else -signal.SIGKILL), sandbox.stderr.read()
        wait_for(lambda: not processes_named(marker), 10, "the end of the detached process")
    finally:
        if sandbox.poll() is None:
            sandbox.kill()
            sandbox.wait(timeout=30)
        sandbox.stderr.close()


def test_ports_exist_only_while_created_and_carry_bytes_both_ways(serial_ports, session_ports):
    ports = serial_ports(2, 4)
    assert sorted(p for p in os.listdir("/dev") if p.startswith("ttyS")) == ["ttyS1", "ttyS3"]
    for port in ports.values():
        st = os.stat(port.device)
        assert stat.S_ISCHR(st.st_mode) and os.major(st.st_rdev) in range(136, 144)

    fd = os.open("/dev/ttyS1", os.O_RDWR | os.O_NOCTTY)
    try:
        os.write(fd, b"to the test\x00\xff\n")
        assert ports[2].read_exact(14, timeout=5) == b"to the test\x00\xff\n"
        ports[2].write(b"to the program\r")
        assert wait_for(lambda: os.read(fd, 64), 5, "bytes at the device") == b"to the program\r"
    finally:
        os.close(fd)
    ports[4].assert_no_more_bytes()

    session_ports.remove(2, 4)
    assert not any(p.startswith("ttyS") for p in os.listdir("/dev"))


def test_read_checks_report_what_came(serial_ports):
    port = serial_ports(1)[1]
    port.write(b"")
    fd = os.open(port.device, os.O_RDWR | os.O_NOCTTY)
    os.write(fd, b"abc")
    os.close(fd)
    with pytest.raises(AssertionError, match="wanted 4 bytes .* got 3: b'abc'"):
        port.read_exact(4, timeout=0.2)
    fd = os.open(port.device, os.O_RDWR | os.O_NOCTTY)
    os.write(fd, b"x")
    os.close(fd)
    with pytest.raises(AssertionError, match="unexpected bytes b'x'"):
        port.assert_no_more_bytes()


def test_wait_for_returns_the_value_or_names_what_it_waited_for():
    assert wait_for(lambda: 42, 1, "an answer") == 42
    with pytest.raises(WaitTimeout, match="waiting for the impossible"):
        wait_for(lambda: None, 0.05, "the impossible")


STRACE_LINES = [
    # the Linux builds' raw mode at open, then baud rate and data size
    "1700000000.000001 ioctl(3</dev/ttyS2>, 0x5402, {c_iflag=, c_oflag=0|0|0|0|0|0|0x4, "
    "c_cflag=0xf|0x30|0x880, c_lflag=0xa30, c_line=0, c_cc=[[VINTR]=0x3, [VMIN]=0x1]}) = 0",
    "1700000000.000002 ioctl(3</dev/ttyS2>, 0x5402, {c_iflag=0x10, c_oflag=0x4, "
    "c_cflag=0xd|0x20|0x80000840, c_lflag=0, c_line=0, c_cc=[]}) = 0",
    "1700000000.000003 ioctl(3</dev/ttyS2>, 0x5401, {c_iflag=0x10, c_oflag=0x4, c_cflag=0xd, c_lflag=0}) = 0",
    "1700000000.000004 ioctl(3</dev/ttyS2>, 0x5417, [0x6]) = -1 ENOTTY (Inappropriate ioctl for device)",
    "1700000000.000005 ioctl(1</dev/pts/0>, 0x5402, {c_iflag=0, c_oflag=0, c_cflag=0xbd, c_lflag=0}) = 0",
    "1700000000.000006 ioctl(4</dev/ttyS0>, 0x5416, [0x4]) = 0",
    # Wine 10's termios2: the rate in c_ospeed, the input rate field shifted into place
    "1700000000.000007 ioctl(11</dev/ttyS1>, 0x402c542b, {c_iflag=0x10, c_oflag=0x4, "
    "c_cflag=0x1000|0x1000<<0x10|0x20|0x880, c_lflag=0, c_line=0, c_cc=[], c_ispeed=9600, c_ospeed=9600}) = 0",
]


def test_strace_lines_become_line_requests():
    requests = parse_trace_lines(STRACE_LINES, pid=7)
    assert [r.request for r in requests] == ["TCSETS", "TCSETS", "TIOCMBIC", "TIOCMBIS", "TCSETS2"]
    raw, sized, lines_off, rts_on, termios2 = requests
    assert (raw.com, raw.baud, raw.data_bits, raw.parity, raw.parity_check, raw.ok) == (3, 38400, 8, False, False, True)
    assert (sized.baud, sized.data_bits, sized.parity_check, sized.two_stop_bits, sized.rts_cts) == \
        (9600, 7, True, True, True)
    assert (lines_off.dtr, lines_off.rts, lines_off.ok) == (True, True, False)
    assert (rts_on.com, rts_on.dtr, rts_on.rts, rts_on.ok) == (1, False, True, True)
    assert (termios2.com, termios2.baud, termios2.data_bits, termios2.parity, termios2.is_termios) == \
        (2, 9600, 7, False, True)


def copy_to_port(wine, name):
    """Copies C:\\windows\\system.ini to a COM name with Wine's own cmd.exe
    (a 64-bit program, quick to start); returns cmd's exit code, 1 when the
    port cannot be opened, and the bytes that should arrive."""
    result = subprocess.run([WINE64, "cmd", "/c", "copy /b C:\\windows\\system.ini " + name],
                            env=wine.env, capture_output=True, timeout=120)
    return result.returncode, (wine.prefix / "drive_c" / "windows" / "system.ini").read_bytes()


def test_wine_com_names_are_the_test_ptys_and_nothing_else(platform, wine, serial_ports):
    if platform != "windows":
        pytest.skip("Wine's port mapping")
    assert {name: target for name, target in wine.dos_devices().items() if name.startswith("com")} == \
        {"com%d" % n: "/dev/ttyS%d" % (n - 1) for n in range(1, 5)}

    ports = serial_ports(1, 2, 3, 4)
    for n in (3, 1, 4, 2):
        code, payload = copy_to_port(wine, "COM%d" % n)
        assert code == 0
        assert ports[n].read_available() == payload  # cmd has ended: all is there
        for other in set(ports) - {n}:
            ports[other].assert_no_more_bytes()


def test_wine_cannot_open_a_port_the_test_did_not_create(platform, wine, serial_ports):
    if platform != "windows":
        pytest.skip("Wine's port mapping")
    ports = serial_ports(3)
    for name in ("COM1", "COM2", "COM4", "COM5"):
        assert copy_to_port(wine, name)[0] == 1, name
    ports[3].assert_no_more_bytes()
    code, payload = copy_to_port(wine, "COM3")
    assert code == 0 and ports[3].read_available() == payload


def test_the_private_display_takes_screenshots(display, rig_workdir):
    assert display.name.startswith(":") and os.environ.get("DISPLAY") != display.name
    shot = display.screenshot(rig_workdir / "screen.png")
    size = subprocess.run(["identify", "-format", "%w %h %m", str(shot)], capture_output=True,
                          text=True, check=True).stdout
    assert size == "1024 768 PNG"
