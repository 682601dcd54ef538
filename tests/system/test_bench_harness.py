"""The bench harness (bench/run_bench.py) itself: the pieces that turn what
it observes into figures, and a short run of the whole harness against the
Linux builds that must print its table, write its histograms and keep every
sample. Nothing here judges a timing figure: those are the bench's to print."""
import datetime
import json
import os
import subprocess
import sys
import time
from collections import namedtuple
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "bench"))

from bench_support import next_instant, next_turn_after, offset_for_minute_turn, percentile  # noqa: E402
from broadcaster_timing import settled_index  # noqa: E402
from realtime_grant import ENVIRONMENT, refusal  # noqa: E402
from sender_timing import turns_to_measure  # noqa: E402
from setter_timing import TakeLog, first_cycle_start, frames_for  # noqa: E402
from virtual_clock import compose_frame  # noqa: E402

Datagram = namedtuple("Datagram", "data arrival source destination")
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def test_percentiles_are_nearest_ranks():
    hundred = list(range(100, 0, -1))
    assert (percentile(hundred, 50), percentile(hundred, 99), percentile(hundred, 100)) == (50, 99, 100)
    # Fewer than a hundred samples: p99 is the largest, never an interpolation.
    assert percentile([0.3, 0.1, 0.2, 5.0], 99) == 5.0
    assert percentile([0.3, 0.1, 0.2, 5.0], 50) == 0.2
    assert percentile([], 50) is None


@pytest.mark.parametrize("instant", [1796700362.47, 1796700300.0, 1796700359.999])
def test_faked_minute_turn_falls_on_the_chosen_real_moment(instant):
    offset = offset_for_minute_turn(instant)
    assert -60 < offset <= 0
    faked = instant + offset
    assert abs(faked - round(faked / 60) * 60) < 1e-6
    assert time.localtime(round(faked)).tm_sec == 0


def test_next_instant_keeps_the_fraction_and_never_goes_back():
    assert next_instant(10.2, 0.25) == 10.25
    assert next_instant(10.3, 0.25) == 11.25
    assert next_instant(10.25, 0.25) == 10.25


def test_the_turn_measured_is_the_one_the_program_must_act_on():
    # A sender whose first frame says 14:01:58 sends at 14:02:00, whatever
    # turn was planned; asked for a wait of 5 s, the frame of 14:03:00.
    first = compose_frame(58, 1, 14, 3, 7, 2026)
    turn = time.mktime((2026, 7, 3, 14, 2, 0, 0, 0, -1))
    assert turns_to_measure(first, 0.0, turn - 1.7, 0.0) == (turn, 1)
    assert turns_to_measure(first, 0.0, turn - 1.7, 5.0) == (turn, 2)
    # A faked clock 20.5 s ahead turns 20.5 s earlier.
    assert turns_to_measure(first, 20.5, turn - 22.0, 0.0) == (turn - 20.5, 1)
    assert next_turn_after(100.0, 40.0) == 160.0 and next_turn_after(99.9, 40.0) == 100.0
    # A clock setter's fifth frame never ends within a second before the
    # turn it waits for: its cycle then starts after that turn.
    assert first_cycle_start(turn - 6.0, turn) == (pytest.approx(turn - 5.7), turn)
    assert first_cycle_start(turn - 5.0, turn) == (pytest.approx(turn - 3.5), turn + 60)


def test_only_a_program_of_the_family_in_a_sandbox_is_made_real_time():
    # Here the requester shares the pid namespace of whoever answers it.
    assert refusal(os.getpid(), os.getpid()) == "the requester is not inside a sandbox"
    assert "No such file" in refusal(2 ** 22 + 1, os.getpid())


def broadcast(second, delay):
    moment = datetime.datetime(2026, 7, 3, 14, 5, 0) + datetime.timedelta(seconds=second)
    data = compose_frame(moment.second, moment.minute, moment.hour, moment.day, moment.month, moment.year,
                         b"         1     0213#")
    return Datagram(data, time.mktime(moment.timetuple()) + delay, ("127.0.0.1", 40000), "127.0.0.255")


def test_sends_count_from_the_one_after_a_pause_that_ended_before_the_turn():
    # Started 35 ms into a second: each pause ends 10 ms earlier until one
    # ends before the turn; the send after that one is the first settled.
    drifting = [broadcast(i, d) for i, d in enumerate([0.035, 0.025, 0.015, 0.005, 0.0001, 0.0001])]
    assert settled_index(drifting, 0.0) == 4
    aligned = [broadcast(i, d) for i, d in enumerate([0.003, 0.0001, 0.0002])]
    assert settled_index(aligned, 0.0) == 1
    # A reference whose clock runs half a second ahead sends at real .5.
    ahead = [broadcast(i, d - 0.5) for i, d in enumerate([0.003, 0.0001])]
    assert settled_index(ahead, 0.5) == 1
    assert settled_index(drifting[:3], 0.0) is None


def test_recorded_clock_writes_name_the_frames_taken(tmp_path):
    # Each applied frame writes the date (the time as it stood) and then its
    # own time with milliseconds 0; only the second names the frame.
    date = datetime.date(2031, 3, 5)
    log = tmp_path / "writes.log"
    lines = []
    for j in (0, 1, 3):
        lines.append("clock_settime clock=0 epoch=1.0 local=2031-03-05 03:30:00.236 mono=1.0 pid=7")
        lines.append("clock_settime clock=0 epoch=1.0 local=2031-03-05 %02d:11:12.000 mono=1.0 pid=7" % (j + 1))
    lines.append("clock_settime clock=0 epoch=1.0 local=2029-01-01 02:11:12.000 mono=1.0 pid=7")
    log.write_text("\n".join(lines) + "\n")
    assert TakeLog("linux", None, str(log), date).taken() == [0, 1, 3]
    assert TakeLog("linux", None, str(tmp_path / "none.log"), date).taken() == []


def test_wine_refusals_name_the_frames_taken():
    class Program:
        stderr = ""

    program = Program()
    now = datetime.datetime.now()
    takes = TakeLog("windows", program, None, now.date())
    asked = [now.replace(hour=j + 1, minute=11, second=12, microsecond=0) for j in (2, 4)]
    program.stderr = "".join("err:sync:NtSetSystemTime not allowed: difference %d ms\n"
                             % round((a - now).total_seconds() * 1000) for a in asked)
    assert takes.taken() == [2, 4]


def test_frames_carry_their_number_in_the_hour():
    frames = frames_for(datetime.date(2031, 3, 5), 5, 2)
    assert frames == [b"*12110605032031         1         #", b"*12110705032031         1         #"]


def test_a_short_run_prints_the_table_and_writes_the_histograms(tmp_path, pytestconfig, platform):
    if platform != "linux":
        pytest.skip("the harness's short check runs the Linux builds")
    out = tmp_path / "bench"
    result = subprocess.run(
        [sys.executable, str(REPO / "bench" / "run_bench.py"), "--platform", "linux", "--quick",
         "--out", str(out), "--linux-bin", pytestconfig.getoption("linux_bin")],
        capture_output=True, text=True, timeout=240)
    assert result.returncode == 0, result.stderr[-3000:]
    table = result.stdout
    for heading in ("serial time sender /R", "broadcaster: turn of the second", "clock setter /R"):
        assert heading in table, table
    rows = {line.split()[0]: line.split() for line in table.splitlines() if line.startswith("  ")
            and line.split()[0] in ("serial_time_sender_8bit", "udp_time_broadcaster", "clock_setter_8bit")}
    assert rows["serial_time_sender_8bit"][1] == "1", table
    assert rows["udp_time_broadcaster"][1] == "4", table
    for name in ("serial_time_sender_8bit", "udp_time_broadcaster"):
        assert all(float(x) >= 0 for x in rows[name][2:6]), table
    quiet, busy = table.split("on a busy machine")
    assert quiet.count("polling reference") == 3 and quiet.count("ratio program/reference") == 3, table
    assert busy.count("polling reference") == 3 and "it got" in busy, table
    realtime = ENVIRONMENT in os.environ
    assert busy.count("under SCHED_FIFO 10") == (3 if realtime else 0), table
    assert (out / "bench.txt").read_text() in table
    for picture in ("delays-linux-sender.png", "delays-linux-broadcaster.png"):
        assert (out / picture).read_bytes()[:8] == PNG_SIGNATURE
    figures = json.loads((out / "bench.json").read_text())["platforms"]
    for machine, sides in (("linux", ("program", "reference")),
                           ("busy", ("program", "reference") + (("realtime",) if realtime else ()))):
        for who in sides:
            assert len(figures[machine]["broadcaster"][who]["delays_s"]) == 4
            assert len(figures[machine]["sender"][who]["delays_s"]) == 1
            assert figures[machine]["setter"][who]["sent_1s"] == 5
    assert figures["busy"]["load"]["cores"] > 0.5
