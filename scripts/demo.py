#!/usr/bin/env python3
"""The family against itself, live, inside the test sandbox.

    tests/system/sandbox /usr/bin/python3 scripts/demo.py [--platform linux|linux-arm64|windows] [--seconds 30]

(`make demo` does this.) Everything runs in the sandbox's own user, network,
mount and process-id namespaces: the serial ports are pseudo-terminals, the
network is a private loopback, and clock writes are recorded, never applied. It prints a
transcript as things happen:

- serial_time_sender_8bit /R on COM1, and what a clock at the other end reads;
- a virtual clock on COM2 sending a frame a second, and clock_setter_8bit /2
  reading them, with every clock write it asks for;
- udp_time_broadcaster and udp_time_receiver on the private network: every
  datagram seen on the loopback, and the receiver's window on the user's
  display (or a virtual one), with a screenshot in build/demo/receiver.png.

It ends after --seconds or at Ctrl+C, stopping every program it started by
its pid. Should the demo itself be killed, the sandbox's end takes them
down with it.
"""

import argparse
import datetime
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "tests" / "system"), str(ROOT / "tests" / "tools")]

from rig import Display, Runner, SerialPorts, WineSession, assert_in_sandbox, ensure_template  # noqa: E402
from virtual_clock import VirtualClock, frame_of  # noqa: E402

UDP_PORT = 16000
ETH_P_IP = 0x0800
PACKET_OUTGOING = 4
# How far ahead of the PC the virtual clock on COM2 runs, so that the clock
# setter's requests visibly differ from the PC's own time.
CLOCK_AHEAD = datetime.timedelta(hours=2, minutes=30)


class Transcript:
    """Lines from several threads, each stamped with the PC's local time."""

    def __init__(self):
        self.lock = threading.Lock()

    def say(self, source, text):
        stamp = datetime.datetime.now().strftime("%H:%M:%S.%f")[:-3]
        with self.lock:
            print("%s  %-12s %s" % (stamp, source, text), flush=True)


def describe_frame(frame):
    """The fields of a frame in words, or why it is none."""
    text = frame.decode("latin-1")
    if len(text) != 35 or text[0] != "*" or text[-1] != "#":
        return "not a frame: %r" % text
    ss, mm, hh, day, month, year = text[1:3], text[3:5], text[5:7], text[7:9], text[9:11], text[11:15]
    return "%s-%s-%s %s:%s:%s mode %s%s" % (year, month, day, hh, mm, ss, text[24],
                                          " tail %r" % text[15:] if text[30:34].strip() else "")


def watch_sender(port, say, stopping):
    """The clock on COM1: reads each 35-byte frame the sender writes."""
    while not stopping.is_set():
        try:
            frame = port.read_exact(35, timeout=0.5)
        except AssertionError:
            continue
        say("COM1 clock", "received %s  (%s)" % (frame.decode("latin-1"), describe_frame(frame)))


def feed_clock_setter(port, say, stopping):
    """The virtual clock on COM2: one frame a second, 2 h 30 min ahead."""
    clock = VirtualClock(port.master)
    next_at = time.monotonic()
    while not stopping.is_set():
        moment = datetime.datetime.now() + CLOCK_AHEAD
        # The clock setter never applies a frame of the hour after midnight
        # or of the first minute of an hour: the clock skips them.
        moment += datetime.timedelta(hours=moment.hour == 0, minutes=moment.minute == 0)
        frame = frame_of(moment)
        clock.send(frame, at=next_at)
        say("COM2 clock", "sent     %s" % frame.decode("latin-1"))
        next_at += 1.0
        stopping.wait(max(0.0, next_at - time.monotonic() - 0.05))


def follow_file(path, on_line, stopping):
    """Calls on_line for each line appended to a file."""
    position = 0
    while True:
        finished = stopping.is_set()
        try:
            with open(path, "r", errors="replace") as f:
                f.seek(position)
                for line in f:
                    if line.endswith("\n"):
                        on_line(line.rstrip("\n"))
                        position += len(line.encode())
        except FileNotFoundError:
            pass
        if finished:
            return
        stopping.wait(0.2)


# Wine refuses to set the clock and reports the change it was asked for.
WINE_CLOCK_REFUSAL = re.compile(r"NtSetSystemTime not allowed: difference (-?\d+) ms")


def describe_clock_write(line):
    """A line of the clock-write recorder (Linux) or of Wine's refusal."""
    refused = WINE_CLOCK_REFUSAL.search(line)
    if refused:
        wanted = datetime.datetime.now() + datetime.timedelta(milliseconds=int(refused.group(1)))
        return "asks to set the clock: %s (Wine refuses)" % wanted.strftime("%Y-%m-%d %H:%M:%S")
    if " local=" in line:
        return "asks to set the clock: " + line.split(" local=")[-1].split(" mono=")[0]
    return None


def show_clock_write(say):
    def on_line(line):
        text = describe_clock_write(line)
        if text:
            say("setter", text)
    return on_line


def run_clock_setter(runner, port, workdir, say, stopping):
    """clock_setter_8bit /2, started again each time it ends its cycle."""
    platform = runner.platform
    recorder = runner.bin_dir.parent / "lib" / "clock_write_recorder.so"
    round_number = 0
    while not stopping.is_set():
        round_number += 1
        log = workdir / ("clock-writes-%d.log" % round_number)
        if platform == "linux":
            options = {"preload": [str(recorder)], "env": {"CLOCK_WRITE_LOG": str(log)}}
        else:
            options = {"env": {"WINEDEBUG": "err+sync"}}
        say("setter", "start clock_setter_8bit /2 (cycle %d)" % round_number)
        program = runner.start("clock_setter_8bit", "/2", **options)
        done = threading.Event()
        follower = threading.Thread(target=follow_file, daemon=True, args=(
            log if platform == "linux" else program.stderr_path, show_clock_write(say), done))
        follower.start()
        while program.running() and not stopping.is_set():
            stopping.wait(0.2)
        done.set()
        follower.join(timeout=2)
        if stopping.is_set():
            break
        say("setter", "clock_setter_8bit ended, exit code %s" % program.returncode)
        # The Linux build held the line exclusively; the next one opens it anew.
        port.release_exclusive()


def watch_datagrams(say, stopping):
    """Every datagram to UDP port 16000 on the sandbox's loopback."""
    sniffer = socket.socket(socket.AF_PACKET, socket.SOCK_DGRAM, socket.htons(ETH_P_IP))
    sniffer.bind(("lo", 0))
    sniffer.settimeout(0.5)
    while not stopping.is_set():
        try:
            packet, address = sniffer.recvfrom(70000)
        except socket.timeout:
            continue
        if address[2] == PACKET_OUTGOING or len(packet) < 28 or packet[9] != socket.IPPROTO_UDP:
            continue
        header = (packet[0] & 0x0F) * 4
        source_port, destination_port, length = struct.unpack("!HHH", packet[header:header + 6])
        if destination_port != UDP_PORT:
            continue
        payload = packet[header + 8:header + length]
        say("UDP", "%s:%d -> %s:%d  %r" % (socket.inet_ntoa(packet[12:16]), source_port,
                                          socket.inet_ntoa(packet[16:20]), destination_port,
                                          payload.decode("latin-1")))
    sniffer.close()


def usable_display(name):
    if not name:
        return False
    return subprocess.run(["xdpyinfo", "-display", name], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=10).returncode == 0


def screenshot_of_window(display_name, title, path):
    """Saves the window with this title, found with xdotool, as a PNG."""
    environment = dict(os.environ, DISPLAY=display_name)
    found = subprocess.run(["xdotool", "search", "--name", title], capture_output=True, text=True,
                           env=environment, timeout=10).stdout.split()
    target = found[-1] if found else "root"
    subprocess.run(["import", "-window", target, str(path)], env=environment, check=True, timeout=60,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return target != "root"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--platform", choices=("linux", "linux-arm64", "windows"), default="linux",
                        help="linux-arm64: the arm64 builds, run by qemu-aarch64")
    parser.add_argument("--seconds", type=float, default=30.0)
    args = parser.parse_args()

    assert_in_sandbox()
    say = Transcript().say
    stopping = threading.Event()
    signal.signal(signal.SIGINT, lambda *_: stopping.set())
    signal.signal(signal.SIGTERM, lambda *_: stopping.set())

    build = ROOT / "build"
    out_dir = build / "demo"
    out_dir.mkdir(parents=True, exist_ok=True)
    workdir = Path(tempfile.mkdtemp(prefix="time-family-demo-"))
    bin_dir = build / args.platform / "bin"

    say("demo", "the family in a sandbox: private loopback, pseudo-terminals for COM1 and COM2, "
                "clock writes recorded and never applied (%s builds)" % args.platform)
    ports = SerialPorts()
    wine = display = runner = None
    threads = []
    try:
        com = ports.create(1, 2)
        if usable_display(os.environ.get("DISPLAY")):
            display_name = os.environ["DISPLAY"]
            say("demo", "the receiver's window opens on your display %s" % display_name)
        else:
            display = Display()
            display_name = display.name
            say("demo", "no display of yours: the receiver's window opens on virtual display %s" % display_name)
        if args.platform == "windows":
            say("demo", "preparing Wine (the first time takes a few minutes)")
            template = build / "windows" / "wine-template"
            ensure_template(template)
            wine = WineSession(template, workdir / "wine")
            wine.start(display_name)
        runner = Runner(args.platform, bin_dir, workdir, ports, wine)

        for target, arguments in ((watch_sender, (com[1], say, stopping)),
                                  (feed_clock_setter, (com[2], say, stopping)),
                                  (watch_datagrams, (say, stopping)),
                                  (run_clock_setter, (runner, com[2], workdir, say, stopping))):
            thread = threading.Thread(target=target, args=arguments, daemon=True)
            thread.start()
            threads.append(thread)

        say("sender", "start serial_time_sender_8bit /R (COM1, repeat mode)")
        runner.start("serial_time_sender_8bit", "/R")
        say("receiver", "start udp_time_receiver")
        receiver = runner.start("udp_time_receiver", display=display_name)
        say("broadcast", "start udp_time_broadcaster")
        runner.start("udp_time_broadcaster")

        stopping.wait(args.seconds)
        stopping.set()
        if receiver.running():
            shot = out_dir / "receiver.png"
            if screenshot_of_window(display_name, "Quorvant - UDP Time Receiver", shot):
                say("receiver", "screenshot of the window: %s" % shot.relative_to(ROOT))
            else:
                say("receiver", "window not found; screenshot of the screen: %s" % shot.relative_to(ROOT))
    finally:
        stopping.set()
        # The clock setter's thread may be starting a program right now: let
        # it finish, so that the stop below sees every program there is.
        for thread in threads:
            thread.join(timeout=runner.patience + 5 if runner else 5)
        if runner:
            for program in runner.programs:
                if program.running():
                    say("demo", "stopping %s (pid %d)" % (program.name, program.pid))
            runner.stop_all()
        if wine:
            wine.close()
        if display:
            display.close()
        ports.remove_all()
        subprocess.run(["rm", "-rf", str(workdir)])
    say("demo", "done: every program the demo started has ended")
    return 0


if __name__ == "__main__":
    sys.exit(main())
