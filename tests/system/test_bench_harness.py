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

from harness import ClockPage, next_instant, offset_for_minute_turn, percentile  # noqa: E402
from broadcaster_runs import settled_index  # noqa: E402
from realtime_grant import ENVIRONMENT, refusal  # noqa: E402
from setter_trials import first_cycle_start, frames_for, frames_taken, next_turn_after  # noqa: E402
from virtual_clock import compose_frame  # noqa: E402

Datagram = namedtuple("Datagram", "data arrival source destination")
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
FLOOR = "machine floor (cyclictest)"


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
    # The next turn of a series: the same minute of the program's clock,
    # moved forward so that it ends at the next chosen moment.
    later = offset_for_minute_turn(instant + 1.0, faked + 60)
    assert later > offset and (instant + 0.1 + later) // 60 == faked // 60
    assert instant + 1.0 + later == pytest.approx(faked + 60)


def test_the_page_moves_a_programs_clock_and_stamps_its_calls(tmp_path, pytestconfig):
    # Programs of the machine, not of the family: date reads the clock,
    # Python's os.write calls write().
    page = ClockPage(offset_s=-86400.0 * 365, folder=tmp_path)
    options = page.options(pytestconfig.getoption("linux_bin"))
    env = dict(os.environ, LD_PRELOAD=options["preload"][0], **options["env"])
    shown = float(subprocess.run(["date", "+%s.%N"], env=env, capture_output=True, text=True, check=True).stdout)
    assert shown == pytest.approx(time.time() - 86400 * 365, abs=1.0)
    before = time.time()
    write = ["/usr/bin/python3", "-c", "import os, time; time.time(); os.write(1, b'stamped')"]
    subprocess.run(write, env=env, stdout=subprocess.DEVNULL, check=True)
    stamps = page.stamps()
    assert [(s.call, s.size) for s in stamps] == [(1, 7)]
    # The real clock, not the program's; its reading of the clock before the call.
    assert before <= stamps[0].seen <= stamps[0].at <= time.time()
    page.close()
    quiet = ClockPage(stamping=False, folder=tmp_path)
    subprocess.run(write, env=dict(env, TIME_FAMILY_BENCH_PAGE=str(quiet.path)), stdout=subprocess.DEVNULL, check=True)
    assert quiet.stamps() == []


def test_next_instant_keeps_the_fraction_and_never_goes_back():
    assert next_instant(10.2, 0.25) == 10.25
    assert next_instant(10.3, 0.25) == 11.25
    assert next_instant(10.25, 0.25) == 10.25


def test_a_clock_setters_take_never_falls_beside_its_turn():
    turn = time.mktime((2026, 7, 3, 14, 2, 0, 0, 0, -1))
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
    log = tmp_path / "writes.log"
    lines = []
    for j in (0, 1, 3):
        lines.append("clock_settime clock=0 epoch=1.0 local=2031-03-05 03:30:00.236 offset=+0000 mono=1.0 pid=7")
        lines.append("clock_settime clock=0 epoch=1.0 local=2031-03-05 %02d:11:12.000 offset=+0000 mono=1.0 pid=7"
                     % (j + 1))
    lines.append("clock_settime clock=0 epoch=1.0 local=2029-01-01 02:11:12.000 offset=+0000 mono=1.0 pid=7")
    log.write_text("\n".join(lines) + "\n")
    assert frames_taken(str(log)) == [0, 1, 3]
    assert frames_taken(str(tmp_path / "none.log")) == []
    assert frames_for(5, 2) == [b"*12110605032031         1         #", b"*12110705032031         1         #"]


def figures_of(row):
    """The figures of a row of the table, after its name ("-" as None); None for other lines."""
    try:
        return [None if word == "-" else float(word) for word in row[28:].split()]
    except ValueError:
        return None


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
    quiet, busy = table.split("on a busy machine")
    rows = {line.split()[0]: line.split() for line in quiet.splitlines() if line.startswith("  ")
            and line.split()[0] in ("serial_time_sender_8bit", "udp_time_broadcaster", "clock_setter_8bit")}
    # n, then the call's and the delivery's p50, p99, max and share within 1 ms.
    assert rows["serial_time_sender_8bit"][1] == "3" and rows["udp_time_broadcaster"][1] == "4", table
    for name in ("serial_time_sender_8bit", "udp_time_broadcaster"):
        at_call, delivered = [float(x) for x in rows[name][2:6]], [float(x) for x in rows[name][6:10]]
        assert 0 <= at_call[0] <= delivered[0] and at_call[1] <= at_call[2], table
    def rows_named(section, label):  # rows only: a figure beside a name in the prose may repeat the label
        return sum(line.lstrip().startswith(label + "  ") for line in section.splitlines())
    assert rows_named(quiet, "polling reference") == 3 and rows_named(busy, "polling reference") == 3, table
    assert "it got" in busy, table
    realtime = ENVIRONMENT in os.environ
    # The floor (cyclictest) needs the grant to start, under SCHED_FIFO too on the busy machine; each row
    # at the call ends in its p99 over the floor's under the same policy.
    assert rows_named(busy, "under SCHED_FIFO 10") == (4 if realtime else 0), table
    for section, floors in ((quiet, [FLOOR]), (busy, [FLOOR, "under SCHED_FIFO 10"])):
        lines = [(line[:28].strip(), figures_of(line)) for line in section.splitlines() if figures_of(line)]
        floor_p99 = {name: figures[2] for name, figures in lines if name in floors and len(figures) == 5}
        assert len(floor_p99) == (len(floors) if realtime else 0), table
        programs = [(name, figures) for name, figures in lines if len(figures) == 11]
        assert len(programs) == 4 + 2 * (section is busy and realtime), table
        for name, figures in programs:
            floor = floor_p99.get(floors[-1] if name == "under SCHED_FIFO 10" else floors[0])
            ratio = figures[2] / floor if realtime and figures[2] is not None else None
            assert figures[-1] == (None if ratio is None else pytest.approx(ratio, rel=0.02, abs=0.006)), name
    assert (out / "bench.txt").read_text() in table
    for picture in ("delays-linux-sender.png", "delays-busy-broadcaster.png"):
        assert (out / picture).read_bytes()[:8] == PNG_SIGNATURE
    figures = json.loads((out / "bench.json").read_text())["machines"]
    for machine, sides in (("linux", ("program", "reference")),
                           ("busy", ("program", "reference") + (("realtime",) if realtime else ()))):
        for who in sides:
            broadcaster, sender = figures[machine]["broadcaster"][who], figures[machine]["sender"][who]
            assert len(broadcaster["at_call_s"]) == len(broadcaster["delivered_s"]) == 4
            assert len(sender["at_call_s"]) == len(sender["delivered_s"]) == (3 if who != "reference" else 2)
            assert figures[machine]["setter"][who]["sent_1s"] == 5
        floors = {"linux": ["program"], "busy": ["program", "realtime"]}[machine] if realtime else []
        assert sorted(figures[machine].get("floor", {})) == floors
        assert all(figures[machine]["floor"][who]["wakeups_s"] for who in floors)
    assert figures["busy"]["load"]["cores"] > 0.5
