#!/usr/bin/python3
"""The scenarios, run inside the Debian guest at each boot by machine-check.service.

The share (/mnt/machine) holds this script, the package to install, the virtual
clock and the rig's waiting helpers; each scenario writes what it saw to
results/NAME.json there, for test_machine.py on the host to judge. The first
boot installs the package, runs the scenarios against it and reboots; the
second checks the units started at boot and purges the package, then powers
the guest off.

Cabling (made by test_machine.py): two null-modem cables, one between two UARTs
and one from a third UART to the USB adapter (an FTDI FT232, ttyUSB0). On the
PC (amd64) the UARTs are 8250s, ttyS1 to ttyS2 and ttyS3 to the adapter; on the
ARM board (arm64, QEMU's virt) the board's own PL011 (ttyAMA0, named /dev/comN
by the udev example) to a PCI 16550 (ttyS0), and a second one (ttyS1) to the
adapter.
"""

import datetime
import json
import os
import platform
import select
import socket
import struct
import subprocess
import sys
import termios
import time
import traceback
import threading
import tty
from pathlib import Path

SHARE = Path("/mnt/machine")
RESULTS = SHARE / "results"
sys.path.insert(0, str(SHARE))
from virtual_clock import VirtualClock, frame_of  # noqa: E402  (the tests' clock, copied onto the share)
from waiting import wait_for  # noqa: E402  (the rig's)

UNITS = ["udp-time-broadcaster.service", "serial-time-sender@.service", "clock-setter@.service"]
PROGRAMS = ["serial_time_sender_8bit", "serial_time_sender_7bit", "clock_setter_8bit", "clock_setter_7bit",
            "udp_time_broadcaster", "udp_time_receiver"]
HOSTS = "127.0.0.1\tlocalhost\n127.0.1.1\ttimeguest\n"
UDEV_RULE = "/etc/udev/rules.d/60-time-family-serial.rules"
ADAPTER_DRIVER = "/sys/bus/usb/drivers/ftdi_sio"
FRAME_LENGTH = 35
# The board's lines: "uart" is cabled to "uart_peer", and the adapter to "adapter_peer"; at the reboot a
# clock plays on "boot_clock" for the clock setter on "boot_setter".
BOARD = {
    "x86_64": {"uart": "/dev/ttyS1", "uart_peer": "/dev/ttyS2", "adapter_peer": "/dev/ttyS3",
               "boot_clock": "/dev/ttyS1", "boot_setter": "/dev/ttyS2"},
    "aarch64": {"uart": "/dev/ttyAMA0", "uart_peer": "/dev/ttyS0", "adapter_peer": "/dev/ttyS1",
                "boot_clock": "/dev/ttyS0", "boot_setter": "/dev/ttyAMA0"},
}[platform.machine()]
# Linux's numbers, which Python's socket module does not name.
IP_PKTINFO = 8
SO_TIMESTAMPNS = 35

scenarios = []


def scenario(function):
    scenarios.append(function)
    return function


def run(*command):
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          env={**os.environ, "DEBIAN_FRONTEND": "noninteractive"})
    return done.returncode, done.stdout.strip()


def systemctl(*args):
    return run("systemctl", *args)[1]


def set_clock(moment):
    time.clock_settime(time.CLOCK_REALTIME, moment.timestamp())


def just_before_a_turn(seconds_left):
    """Sets the clock `seconds_left` seconds before the next turn of its minute; returns that turn."""
    turn = datetime.datetime.now().replace(second=0, microsecond=0) + datetime.timedelta(minutes=1)
    set_clock(turn - datetime.timedelta(seconds=seconds_left))
    return turn


def open_line(path, data_bits=termios.CS8):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    tty.setraw(fd)
    attributes = termios.tcgetattr(fd)
    attributes[2] = (attributes[2] & ~termios.CSIZE) | data_bits | termios.CLOCAL | termios.CREAD
    attributes[4] = attributes[5] = termios.B9600
    termios.tcsetattr(fd, termios.TCSANOW, attributes)
    termios.tcflush(fd, termios.TCIOFLUSH)
    return fd


def line_settings(path):
    """The data bits, parity and stop bits the driver holds for a line that a program has open."""
    fd = os.open(path, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        cflag = termios.tcgetattr(fd)[2]
    finally:
        os.close(fd)
    bits = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}[cflag & termios.CSIZE]
    return {"data_bits": bits, "parity": bool(cflag & termios.PARENB), "two_stop_bits": bool(cflag & termios.CSTOPB)}


def read_frames(fd, until):
    """Frames arriving on a line until the wall clock shows `until`: [time of the first byte, text] each.
    Bytes before a "*" (the end of a frame the reading began in) are left out."""
    frames, pending, began = [], b"", None
    while time.time() < until:
        if not select.select([fd], [], [], 0.05)[0]:
            continue
        arrived, data = time.time(), os.read(fd, 256)
        if not pending:
            data = data[data.find(b"*"):] if b"*" in data else b""
            began = arrived
        pending += data
        while len(pending) >= FRAME_LENGTH:
            frames.append([began, pending[:FRAME_LENGTH].decode("latin-1")])
            pending, began = pending[FRAME_LENGTH:], arrived
    return frames


def datagrams(seconds):
    """Listens on UDP port 16000 from now; the function returned gives what arrives for `seconds` more:
    [arrival, source, destination address, text] each."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.setsockopt(socket.IPPROTO_IP, IP_PKTINFO, 1)
    listener.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)  # arrival as the kernel saw it
    listener.bind(("0.0.0.0", 16000))
    listener.settimeout(0.2)
    return lambda: collect(listener, seconds)


def collect(listener, seconds):
    got, deadline = [], time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            data, ancillary, _, source = listener.recvmsg(256, 64)
        except socket.timeout:
            continue
        parts = {kind: info for _, kind, info in ancillary}
        whole, nanoseconds = struct.unpack("qq", parts[SO_TIMESTAMPNS][:16])
        destination = socket.inet_ntoa(parts[IP_PKTINFO][8:12])
        got.append([whole + nanoseconds / 1e9, source[0], destination, data.decode("latin-1")])
    listener.close()
    return got


class PlayedClock(threading.Thread):
    """A clock on a serial line: a frame a second of its own time, from `first` on, to the port at the
    cable's other end. Frames go out only while a program has that port open: on a real line the frames
    of a port nobody reads are lost, whereas the emulator would hold them back and deliver them late."""

    def __init__(self, line, first, other_end):
        super().__init__(daemon=True)
        self.fd = open_line(line)
        os.set_blocking(self.fd, True)
        self.clock, self.first, self.other_end = VirtualClock(self.fd), first, other_end
        self.ended = threading.Event()
        self.start()

    def run(self):
        begin, n = time.monotonic(), 0
        while not self.ended.is_set():
            at = begin + n
            if held_open(self.other_end):
                self.clock.send(frame_of(self.first + datetime.timedelta(seconds=n)), at=at)
            else:
                time.sleep(max(0.0, at - time.monotonic()))
            n += 1

    def now(self):
        """The clock's own time: its last frame's, from the moment the frame's first byte left."""
        sent_at, _, frame = self.clock.sent[-1]
        return datetime.datetime.strptime(frame[1:15].decode(), "%S%M%H%d%m%Y") + datetime.timedelta(
            seconds=time.monotonic() - sent_at)

    def stop(self):
        self.ended.set()
        self.join()
        os.close(self.fd)


def held_open(device):
    """Whether a process has `device` (or what its link leads to) open."""
    device = os.path.realpath(device)
    for fd in Path("/proc").glob("[0-9]*/fd/*"):
        try:
            if os.readlink(fd) == device:
                return True
        except OSError:  # a process or descriptor gone meanwhile
            pass
    return False


def held_by(unit):
    """The terminals that the main process of a unit has open."""
    pid = systemctl("show", "-p", "MainPID", "--value", unit)
    return {os.readlink(fd) for fd in Path("/proc", pid, "fd").glob("*")} & {str(p) for p in Path("/dev").glob("tty*")}


def settled(predicate, timeout):
    """Whether predicate() came true within `timeout` seconds; what it means is for the host to judge."""
    try:
        return bool(wait_for(predicate, timeout, "a state"))
    except AssertionError:
        return False


def year_is(year):
    return lambda: datetime.datetime.now().year == year


def adapter(action):
    """Unbinds or binds the USB adapter's serial driver, as pulling it out and plugging it back does."""
    if action == "unbind":
        tty_name = os.path.basename(os.path.realpath("/dev/com2"))
        adapter.interface = os.path.basename(os.path.realpath("/sys/class/tty/%s/device/.." % tty_name))
    Path(ADAPTER_DRIVER, action).write_text(adapter.interface)
    run("udevadm", "settle")


def link_of(path):
    return os.readlink(path) if os.path.islink(path) else None


def port_of(line):
    """The digit N of the COM port that opens `line`: /dev/comN where it leads there, else /dev/ttyS(N-1)."""
    for digit in range(1, 5):
        com = "/dev/com%d" % digit
        if os.path.realpath(com) == line or (line == "/dev/ttyS%d" % (digit - 1) and not os.path.lexists(com)):
            return digit
    raise AssertionError("no COM port opens %s: %s" % (line, sorted(str(p) for p in Path("/dev").glob("com*"))))


def install_udev_example():
    """The udev example with this adapter's numbers put in and, where a line of it names the board's UART
    but is commented out, that line taken in, as its own comments say; returns the adapter's numbers."""
    numbers = dict(line.split("=", 1) for line in
                   run("udevadm", "info", "--query=property", "--name=/dev/ttyUSB0")[1].splitlines() if "=" in line)
    rule = Path("/usr/share/doc/time-family/examples/60-time-family-serial.rules").read_text()
    rule = (rule.replace('"0403"', '"%s"' % numbers["ID_VENDOR_ID"]).replace('"6001"', '"%s"' % numbers["ID_MODEL_ID"])
            .replace('"A1B2C3D4"', '"%s"' % numbers["ID_SERIAL_SHORT"]))
    board_uart = '# KERNEL=="%s"' % os.path.basename(BOARD["uart"])
    Path(UDEV_RULE).write_text("".join(line[2:] if line.startswith(board_uart) else line
                                       for line in rule.splitlines(keepends=True)))
    run("udevadm", "control", "--reload")
    run("udevadm", "trigger", "--subsystem-match=tty")
    run("udevadm", "settle")
    return numbers


@scenario
def install():
    deb = sorted((SHARE / "dist").glob("time-family_*.deb"))[-1]
    status, output = run("apt-get", "install", "-y", str(deb))
    units = [str(Path("/lib/systemd/system", unit)) for unit in UNITS]
    return {"status": status, "output": output[-3000:],
            "files": run("dpkg", "-L", "time-family")[1].splitlines(),
            "enabled": [systemctl("is-enabled", unit) for unit in UNITS],
            "running": [systemctl("is-active", unit) for unit in ("udp-time-broadcaster", "serial-time-sender@2",
                                                                  "clock-setter@2")],
            "verify": run("systemd-analyze", "verify", *units),
            "security": [run("systemd-analyze", "security", "--offline=yes", "--threshold=40", unit)[0]
                         for unit in units],
            # "→ Overall exposure level for udp-time-broadcaster.service: 2.9 OK 🙂", for the log
            "exposure": [run("systemd-analyze", "security", "--offline=yes", unit)[1].splitlines()[-1]
                         for unit in units]}


@scenario
def broadcaster_with_host_entry():
    listen = datagrams(5.5)
    systemctl("enable", "--now", "udp-time-broadcaster")
    return {"host": run("getent", "hosts", "timeguest")[1], "datagrams": listen()}


@scenario
def broadcaster_without_host_entry():
    systemctl("stop", "udp-time-broadcaster")
    Path("/etc/hosts").write_text(HOSTS.replace("127.0.1.1\ttimeguest\n", ""))
    try:
        listen = datagrams(5.5)
        systemctl("start", "udp-time-broadcaster")
        return {"host": run("getent", "hosts", "timeguest")[1], "datagrams": listen()}
    finally:
        Path("/etc/hosts").write_text(HOSTS)


def clock_setter_behind(clock):
    return (clock.now() - datetime.datetime.now()).total_seconds()


@scenario
def clock_setter():
    timesyncd_before = systemctl("is-active", "systemd-timesyncd")
    if not BOARD["uart"].startswith("/dev/ttyS"):
        install_udev_example()  # its rule for the board's UART
    unit = "clock-setter@%d" % port_of(BOARD["uart"])
    clock = PlayedClock(BOARD["uart_peer"], datetime.datetime(2031, 6, 18, 10, 20, 30), BOARD["uart"])
    try:
        systemctl("start", unit)
        wait_for(year_is(2031), 20, "the clock set to 2031")
        return {"timesyncd_before": timesyncd_before, "timesyncd_after": systemctl("is-active", "systemd-timesyncd"),
                "now": str(datetime.datetime.now()), "behind_the_clock": clock_setter_behind(clock),
                "unit": systemctl("is-active", unit), "line": sorted(held_by(unit))}
    finally:
        systemctl("stop", unit)
        clock.stop()


@scenario
def sender_seven_bit():
    unit = "serial-time-sender@%d" % port_of(BOARD["uart"])
    drop_in = "/etc/systemd/system/%s.service.d/7bit.conf" % unit
    os.makedirs(os.path.dirname(drop_in), exist_ok=True)
    Path(drop_in).write_text("[Service]\nExecStart=\nExecStart=/usr/bin/serial_time_sender_7bit /%i /R\n")
    systemctl("daemon-reload")
    clock = open_line(BOARD["uart_peer"], termios.CS7)
    try:
        started = time.time()
        systemctl("start", unit)
        return {"started": started, "frames": read_frames(clock, started + 5), "line": line_settings(BOARD["uart"]),
                "command": systemctl("show", "-p", "ExecStart", "--value", unit), "port": port_of(BOARD["uart"])}
    finally:
        systemctl("stop", unit)
        os.close(clock)
        os.remove(drop_in)
        systemctl("daemon-reload")


@scenario
def sender():
    numbers = install_udev_example()
    clock = open_line(BOARD["adapter_peer"])
    turn = just_before_a_turn(6)
    started = time.time()
    systemctl("start", "serial-time-sender@2")
    frames = read_frames(clock, turn.timestamp() + 1.5)
    os.close(clock)
    return {"serial": numbers["ID_SERIAL_SHORT"], "com2": link_of("/dev/com2"), "started": started,
            "turn": turn.timestamp(), "frames": frames, "line": line_settings("/dev/ttyUSB0")}


def through_a_turn(line):
    """The frames on `line` from 3 s before a turn of the minute (the clock set there) to 1.5 s after it."""
    turn = just_before_a_turn(3).timestamp()
    return {"com2": link_of("/dev/com2"), "turn": turn, "frames": read_frames(line, turn + 1.5)}


@scenario
def sender_replug():
    clock = open_line(BOARD["adapter_peer"])
    try:
        adapter("unbind")
        away = through_a_turn(clock)
        away["unit"] = systemctl("is-active", "serial-time-sender@2")
        adapter("bind")
        back = through_a_turn(clock)
        # Pulled out and plugged back between two turns: the turn's write into the old line fails, and the
        # sender opens the line again at once for that turn's frame.
        adapter("unbind")
        adapter("bind")
        return {"away": away, "back": back, "replugged": through_a_turn(clock)}
    finally:
        systemctl("stop", "serial-time-sender@2")
        os.close(clock)


def sub_state(unit):
    return systemctl("show", "-p", "SubState", "--value", unit)


@scenario
def clock_setter_replug():
    clock = PlayedClock(BOARD["adapter_peer"], datetime.datetime(2032, 2, 3, 4, 5, 40), "/dev/com2")
    try:
        systemctl("start", "clock-setter@2")
        wait_for(year_is(2032), 20, "the clock set to 2032")
        adapter("unbind")
        # Its next cycle, at the turn of the minute, finds no line: it ends and is started again 30 s later.
        just_before_a_turn(2)
        wait_for(lambda: sub_state("clock-setter@2") == "auto-restart", 20, "the clock setter to end without its line")
        clock.stop()
        adapter("bind")
        clock = PlayedClock(BOARD["adapter_peer"], datetime.datetime(2033, 3, 4, 5, 6, 20), "/dev/com2")
        wait_for(year_is(2033), 45, "the clock set to 2033 after the adapter is back")
        return {"now": str(datetime.datetime.now()), "behind_the_clock": clock_setter_behind(clock),
                "unit": systemctl("is-active", "clock-setter@2"),
                "restarts": int(systemctl("show", "-p", "NRestarts", "--value", "clock-setter@2"))}
    finally:
        systemctl("stop", "clock-setter@2")
        clock.stop()


# A clock on the cable of the clock setter's line (COM3 on amd64) from the boot on, ready before the clock
# setter starts.
CLOCK_UNIT = """[Unit]
Description=A clock on the cable of COM{port}
RequiresMountsFor=/mnt/machine
Before=clock-setter@{port}.service

[Service]
Type=notify
ExecStart=/usr/bin/python3 {script} --line {line} --start 2034-04-05T06:07:08

[Install]
WantedBy=multi-user.target
"""


def instances():
    return ["udp-time-broadcaster", "serial-time-sender@2", "clock-setter@%d" % port_of(BOARD["boot_setter"])]


@scenario
def before_reboot():
    port = port_of(BOARD["boot_setter"])
    Path("/etc/systemd/system/machine-clock.service").write_text(
        CLOCK_UNIT.format(port=port, script=__file__, line=BOARD["boot_clock"]))
    # As the docs tell: a unit on a port that a link names waits for the link at boot. On the emulated board
    # of a busy machine the USB adapter once came later than systemd's 90 s wait, so the guest waits up to 5
    # minutes for it.
    for unit, digit in [("serial-time-sender@2", 2), ("clock-setter@%d" % port, port)]:
        if os.path.islink("/dev/com%d" % digit):
            for drop_in, text in [("%s.service.d/link.conf" % unit, "Wants=dev-com{0}.device\nAfter=dev-com{0}.device"),
                                  ("dev-com{0}.device.d/slow-board.conf", "JobRunningTimeoutSec=300")]:
                path = Path("/etc/systemd/system", drop_in.format(digit))
                path.parent.mkdir(exist_ok=True)
                path.write_text("[Unit]\n%s\n" % text.format(digit))
    return {"ntp": run("timedatectl", "set-ntp", "false"),
            "enable": run("systemctl", "enable", "machine-clock", *instances())}


def after_reboot():
    wait_for(lambda: systemctl("is-system-running") in ("running", "degraded"), 120, "the boot to end")
    units = instances()
    got = datagrams(3.5)()
    settled(year_is(2034), 10)
    return {"active": [systemctl("is-active", unit) for unit in units],
            "restarts": [systemctl("show", "-p", "NRestarts", "--value", unit) for unit in units],
            "failed": systemctl("list-units", "--failed", "--plain", "--no-legend"),
            "warnings": run("journalctl", "-b", "-p", "warning", "--no-pager", "-q",
                            *("--unit=" + unit for unit in units))[1],
            "year": datetime.datetime.now().year, "datagrams": got, "boot": run("systemd-analyze")[1],
            "ports": [sorted(held_by(unit)) for unit in units],
            "journal": run("journalctl", "-b", "-q", "--no-pager", "-o", "short-monotonic", "-u", "machine-clock",
                           *("--unit=" + unit for unit in units))[1]}


def purge():
    files = run("dpkg", "-L", "time-family")[1].splitlines()
    status, output = run("apt-get", "purge", "-y", "time-family")
    names = [name[:15] for name in PROGRAMS]  # as the kernel keeps a process's name
    return {"status": status, "output": output[-3000:],
            "left": [f for f in files if os.path.lexists(f) and not os.path.isdir(f)],
            "links": [str(p) for p in Path("/etc/systemd/system").glob("*.wants/*")
                      if p.name.startswith(("udp-time-", "serial-time-", "clock-setter@"))],
            "running": [comm for comm in (read_or_none(p / "comm") for p in Path("/proc").glob("[0-9]*"))
                        if comm in names],
            "known_to_dpkg": run("dpkg-query", "-W", "time-family")[0] == 0}


def read_or_none(path):
    try:
        return path.read_text().strip()
    except OSError:  # a process that ended meanwhile
        return None


def record(function):
    began = time.monotonic()
    try:
        facts, error = function(), None
    except Exception:
        facts, error = None, traceback.format_exc() + run("journalctl", "-b", "-n", "80", "--no-pager", "-q")[1]
    result = {"facts": facts, "error": error, "seconds": round(time.monotonic() - began, 1)}
    (RESULTS / (function.__name__ + ".json")).write_text(json.dumps(result, indent=1))
    print("machine scenario %s: %s in %.1f s" % (function.__name__, "error" if error else "done",
                                                 result["seconds"]), flush=True)


def play_clock(argv):
    """The boot's clock (machine-clock.service)."""
    line, first = argv[argv.index("--line") + 1], argv[argv.index("--start") + 1]
    clock = PlayedClock(line, datetime.datetime.fromisoformat(first), BOARD["boot_setter"])
    # Ready, from the service's main process itself (a message from systemd-notify, which ends at once,
    # may reach systemd too late to be told apart from any other process's).
    address = os.environ["NOTIFY_SOCKET"]
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as notify:
        notify.sendto(b"READY=1", "\0" + address[1:] if address.startswith("@") else address)
    clock.join()


def main():
    if "--line" in sys.argv:
        return play_clock(sys.argv)
    RESULTS.mkdir(exist_ok=True)
    if not (RESULTS / "before_reboot.json").exists():
        for function in scenarios:
            record(function)
        run("systemctl", "reboot")
    else:
        record(after_reboot)
        record(purge)
        run("systemctl", "poweroff")


if __name__ == "__main__":
    main()
