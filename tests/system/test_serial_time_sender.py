"""serial_time_sender, both variants, through the real programs: what
arrives at the other end of COM1..COM4, which port, the line settings asked
for, repeat mode and a port that cannot be opened. Runs for the Linux
builds and, under Wine, for the Windows builds (--platform)."""

import datetime
import errno
import os
import termios
import time

import pytest

MODE_TAIL = {m: b"         %d         #" % m for m in (1, 7, 8, 9)}
SENDER = "serial_time_sender_%s"
# COM4 belongs to the repeat-mode sender that runs through the whole module
# (see minute_sender); the other tests use COM1..COM3.
PORTS = (1, 2, 3)


def clock_frame(when, mode=1):
    return b"*" + when.strftime("%S%M%H%d%m%Y").encode() + MODE_TAIL[mode]


def time_of(frame):
    return datetime.datetime.strptime(frame[1:15].decode(), "%S%M%H%d%m%Y")


def assert_clock_frame(frame, mode, earliest, latest):
    """A 35-byte frame of the PC clock read between earliest and latest."""
    assert len(frame) == 35 and frame[:1] == b"*" and frame[15:] == MODE_TAIL[mode], frame
    assert earliest.replace(microsecond=0) <= time_of(frame) <= latest, (frame, earliest, latest)


def assert_turn_frames_only(port, first, patience):
    """What a sender in repeat mode on the real clock sent after its first
    frame: a frame of the PC clock at each turn of the minute since then
    (seconds 00), and nothing else."""
    data = port.read_available()
    turns = []
    turn = time_of(first).replace(second=0) + datetime.timedelta(minutes=1)
    while turn <= datetime.datetime.now():
        turns.append(turn)
        turn += datetime.timedelta(minutes=1)
    expected = b"".join(clock_frame(t) for t in turns)
    if len(data) < len(expected):
        # The frame of a turn just past may still be on its way.
        data += port.read_exact(len(expected) - len(data), timeout=patience)
    assert data == expected, "COM%d: %r, turns since the first frame: %s" % (port.com, data, turns)


def assert_line_settings(program, com, bits, platform):
    """The line settings the sender asks for, as termios requests (a pty
    itself keeps 8 data bits and no parity whatever is asked). The test put
    INPCK on the line before the start, so clearing it is visible."""
    requests = program.line_requests(com)
    text = "\n".join(map(str, requests))
    settings = [r for r in requests if r.is_termios]
    assert settings and all(r.ok for r in settings), text
    first_9600 = next(i for i, r in enumerate(settings) if r.baud == 9600)
    assert all(r.baud == 9600 for r in settings[first_9600:]), text
    assert not any(r.parity or r.rts_cts or any(r.xon_xoff) for r in settings), text

    sized = [r for r in settings[first_9600:] if r.data_bits == bits and not r.two_stop_bits]
    assert sized, text
    if platform == "linux":
        if bits == 8:
            # The eight-bit variant's data-size step also turns parity
            # checking off ...
            assert any(not r.parity_check for r in sized) and not settings[-1].parity_check, text
        else:
            # ... the seven-bit variant leaves the flag as the port had it.
            assert all(r.parity_check for r in settings), text
        # termios has no one and a half stop bits: that step is refused
        # without a request, so the one stop bit of the data-size step stays.
        assert not any(r.two_stop_bits for r in settings), text
        assert not any(not r.is_termios for r in requests), "DTR/RTS touched:\n" + text
    else:
        # Wine ties INPCK to the parity setting, not to the control block's
        # parity-checking flag, so under Wine the variants differ only in the
        # data size. It turns the request for one and a half stop bits
        # (asked after the data size) into two stop bits, where a real UART
        # driver refuses it with 7 or 8 data bits.
        assert settings[-1].two_stop_bits, text


@pytest.fixture(scope="module", autouse=True)
def minute_sender(programs, session_ports, platform):
    """The eight-bit sender in repeat mode on COM4 ("/4 /R"), started before
    the module's other tests and checked by the last one. On Linux its clock
    starts at 23:59:57 on 31 December 2024 (libfaketime); under Wine it waits
    for a real change of minute while the other tests run."""
    port = session_ports.create(4)[4]
    capture = port.capture()
    faketime = "2024-12-31 23:59:57" if platform == "linux" else None
    started = datetime.datetime.now()
    program = programs.start(SENDER % "8bit", "/4 /R", faketime=faketime)
    yield program, capture, started
    program.stop()
    session_ports.remove(4)


ONE_FRAME = [
    # variant, command tail, port used, expected frame (a number: the mode
    # digit of a frame of the PC clock)
    ("8bit", "", 1, 1),
    ("7bit", "", 1, 1),
    ("8bit", "/2 /909300012312024", 2, b"*00300931122024" + MODE_TAIL[9]),
    ("7bit", "\\3 \\R", 3, 1),       # "\R" is no repeat switch of the seven-bit variant
    ("8bit", "/5", 1, 1),
    ("7bit", "/91230", 1, b"*3012" + MODE_TAIL[9]),
    ("8bit", "/3 /7 /8", 3, 7),
    # characters after /9 go out as they stand; /8 wins over /9
    ("7bit", "/8 /9ab30x0.231202Z", 1, b"*x030ab31.2202Z" + MODE_TAIL[8]),
]


@pytest.mark.parametrize("variant, tail, used, expected", ONE_FRAME,
                         ids=["%s %r" % (v, t) for v, t, _, _ in ONE_FRAME])
def test_one_frame_on_the_selected_port_then_exit_0(programs, serial_ports, platform, variant, tail, used,
                                                   expected):
    ports = serial_ports(*PORTS)
    ports[used].set_termios_flags(iflag_on=termios.INPCK)
    before = datetime.datetime.now()
    sender = programs.start(SENDER % variant, tail, strace=True)
    assert sender.wait(programs.patience) == 0, sender.stderr

    if isinstance(expected, int):
        frame = ports[used].read_exact(35, timeout=1)
        assert_clock_frame(frame, expected, before, datetime.datetime.now())
    else:
        assert ports[used].read_exact(len(expected), timeout=1) == expected
    for port in ports.values():
        port.assert_no_more_bytes()  # the sender has ended: nothing else comes
    assert sender.stderr == ""
    assert_line_settings(sender, used, int(variant[0]), platform)


REPEAT = [
    # variant, command tail, port used
    ("8bit", "\\3 \\R", 3),
    ("8bit", "/2 /r", 2),
    ("7bit", "/R /2", 1),
    ("7bit", "\\2 /R", 1),
]


@pytest.mark.parametrize("variant, tail, used", REPEAT, ids=["%s %r" % (v, t) for v, t, _ in REPEAT])
def test_repeat_switches_keep_the_sender_running(programs, serial_ports, platform, variant, tail, used):
    ports = serial_ports(*PORTS)
    if platform == "linux":
        sender = programs.start(SENDER % variant, tail, faketime="2024-03-05 10:15:57")
        first = ports[used].read_exact(35, timeout=programs.patience)
        assert first in (clock_frame(datetime.datetime(2024, 3, 5, 10, 15, 57)),
                         clock_frame(datetime.datetime(2024, 3, 5, 10, 15, 58)))
        assert ports[used].read_exact(35, timeout=5) == clock_frame(datetime.datetime(2024, 3, 5, 10, 16))
    else:
        before = datetime.datetime.now()
        sender = programs.start(SENDER % variant, tail)
        first = ports[used].read_exact(35, timeout=programs.patience)
        assert_clock_frame(first, 1, before, datetime.datetime.now())
        # A sender that sends once ends right after its frame (it closes the
        # port and exits); in repeat mode it waits for the next minute.
        with pytest.raises(AssertionError, match="still running"):
            sender.wait(2)
        # Wine's clock is the real one: a turn of the minute may fall in here.
        assert_turn_frames_only(ports[used], first, programs.patience)
    assert sender.running()
    for com, port in ports.items():
        if com != used or platform == "linux":
            port.assert_no_more_bytes()
    assert sender.stop() is not None and not sender.running()


def test_a_port_held_by_another_program_sends_nothing_and_exits_0(programs, serial_ports, platform):
    if platform == "windows":
        pytest.skip("Wine does not keep a second CreateFile off a serial port that is held")
    ports = serial_ports(*PORTS)
    # eight-bit: repeat mode, COM1; its clock a minute from the next turn
    holder = programs.start(SENDER % "8bit", "\\R", faketime="2024-03-05 10:15:00")
    ports[1].read_exact(35, timeout=programs.patience)
    for variant in ("7bit", "8bit"):
        second = programs.run(SENDER % variant, "/1")
        assert second.returncode == 0 and second.stderr == ""
    assert holder.running()
    for port in ports.values():
        port.assert_no_more_bytes()


@pytest.mark.parametrize("variant, tail, present", [
    ("8bit", "/2", (1, 3)),
    ("7bit", "", ()),
])
def test_a_missing_port_sends_nothing_and_exits_0(programs, serial_ports, variant, tail, present):
    ports = serial_ports(*present)
    sender = programs.run(SENDER % variant, tail, strace=True)
    assert sender.returncode == 0 and sender.stderr == ""
    assert sender.line_requests() == []
    for port in ports.values():
        port.assert_no_more_bytes()


def test_a_dev_com_link_wins_over_ttyS_and_its_device_is_held(linux_only, programs, serial_ports):
    ttys = serial_ports(2)[2]
    linked = serial_ports.link(2)
    before = datetime.datetime.now()
    assert programs.run(SENDER % "7bit", "/2").returncode == 0
    assert_clock_frame(linked.read_exact(35, timeout=1), 1, before, datetime.datetime.now())
    linked.release_exclusive()  # left on the line by the sender that ended (minute_sender still runs)
    # Held through the link, the device itself is held: by whatever name.
    holder = programs.start(SENDER % "8bit", "/2 /R")
    linked.read_exact(35, timeout=programs.patience)
    assert programs.run(SENDER % "7bit", "/2").returncode == 0
    with pytest.raises(OSError) as refused:
        os.close(os.open(linked.device, os.O_RDWR | os.O_NOCTTY))
    assert refused.value.errno == errno.EBUSY
    assert holder.running()
    linked.assert_no_more_bytes()
    ttys.assert_no_more_bytes()


def test_a_dev_com_link_pulled_out_is_waited_for_and_ttyS_is_never_written(linux_only, programs, serial_ports):
    """An adapter pulled out takes its link along: in repeat mode the sender
    opens the port again through the link once it is back, never through
    /dev/ttyS(N-1), which may lead to other equipment."""
    ttys = serial_ports(2)[2]
    linked = serial_ports.link(2)
    programs.start(SENDER % "8bit", "/2 /R", faketime="2024-03-05 10:15:58 x60")
    linked.read_exact(35, timeout=programs.patience)
    serial_ports.pull_out(linked.link)
    ttys.expect_silence(3.0)  # three turns of the minute
    frame = serial_ports.link(2).read_exact(35, timeout=programs.patience)
    assert frame[:3] == b"*00", frame
    ttys.assert_no_more_bytes()


def test_a_dangling_dev_com_link_sends_nothing_and_exits_0_without_trying_ttyS(linux_only, programs, serial_ports):
    ttys = serial_ports(3)[3]
    serial_ports.link(3, dangling=True)
    for variant in ("8bit", "7bit"):
        sender = programs.run(SENDER % variant, "/3", timeout=2)
        assert sender.returncode == 0 and sender.stderr == ""
    ttys.assert_no_more_bytes()


def test_fixed_time_goes_out_again_at_each_minute_change(programs, serial_ports, platform):
    if platform != "linux":
        pytest.skip("under Wine the one real minute change is spent on minute_sender")
    ports = serial_ports(*PORTS)
    fixed = b"*00300931122024" + MODE_TAIL[7]
    sender = programs.start(SENDER % "7bit", "/909300012312024 /7 /R", faketime="2024-06-01 08:00:58")
    assert ports[1].read_exact(35, timeout=programs.patience) == fixed
    assert ports[1].read_exact(35, timeout=5) == fixed
    assert sender.running()


def test_repeat_mode_sends_at_once_then_at_each_minute_change(minute_sender, programs, platform):
    program, capture, started = minute_sender
    if platform == "linux":
        data = capture.wait_for_bytes(70, timeout=programs.patience)
        assert data[:35] in (clock_frame(datetime.datetime(2024, 12, 31, 23, 59, 57)),
                             clock_frame(datetime.datetime(2024, 12, 31, 23, 59, 58)))
        assert data[35:70] == clock_frame(datetime.datetime(2025, 1, 1, 0, 0, 0))
        first_at, second_at = capture.arrival_of_byte(0)[1], capture.arrival_of_byte(35)[1]
        assert 1.5 < second_at - first_at < 3.5
    else:
        first = capture.wait_for_bytes(35, timeout=programs.patience)[:35]
        first_arrival = datetime.datetime.fromtimestamp(capture.arrival_of_byte(0)[0])
        assert_clock_frame(first, 1, started, first_arrival)
        next_minute = time_of(first).replace(second=0) + datetime.timedelta(minutes=1)
        left = (next_minute - datetime.datetime.now()).total_seconds()
        capture.wait_for_bytes(70, timeout=max(left, 0) + programs.patience)
        # The module may have run past more than one change of minute: each
        # one brought its frame, as soon as the minute changed (Wine and an
        # emulated 32-bit loader are slow, but not that slow).
        data = capture.data
        assert len(data) % 35 == 0, data
        for k in range(1, len(data) // 35):
            minute = next_minute + datetime.timedelta(minutes=k - 1)
            assert data[35 * k:35 * (k + 1)] == clock_frame(minute)
            arrival = datetime.datetime.fromtimestamp(capture.arrival_of_byte(35 * k)[0])
            assert minute <= arrival < minute + datetime.timedelta(seconds=2), (k, arrival)
    assert program.running()
    program.stop()
    assert not program.running()
    assert len(capture.data) % 35 == 0
