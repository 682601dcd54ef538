"""The serial time sender in repeat mode, one process serving many turns of
the minute (docs/performance.md, "One process, many turns of the minute"):
for each, when the program entered write() with the turn's frame (its stamp,
bench_clock.c) and when the frame's first byte reached the other end of the
pty (the rig's capture thread), both counted from the turn.
"""

import time

from harness import (FRAME, ClockPage, CpuReading, TurnFigures, assert_realtime, log, make_realtime, next_instant,
                     observe_in_real_time, offset_for_minute_turn)
# From tests/system and tests/tools; frame_epoch fails on a frame that is not a sender's.
from broadcast_listener import frame_epoch  # noqa: E402
from virtual_clock import TAIL_MODE_1  # noqa: E402

# The next turn comes at least this long after the last frame is in.
LEAD_S = 0.3


def run_sender_series(runner, com, name, tail, turns, fraction, realtime=False, every=1, stamping=True):
    """Starts `name` `tail` on COM`com` and measures `turns` turns at
    `fraction` of a real second, one every `every` seconds; without
    `stamping` the calls are not stamped (what stamping costs)."""
    label = "%s COM%d" % (name, com)
    series = TurnFigures()
    turn = next_instant(time.time() + 1.5, fraction)
    page = ClockPage(offset_for_minute_turn(turn), stamping)
    capture = runner.ports.create(com)[com].capture()
    program = None
    try:
        observe_in_real_time(capture._thread)
        program = runner.start(name, tail, **page.options(runner.bin_dir))
        if realtime:
            make_realtime(runner, program)
        capture.wait_for_bytes(FRAME, runner.patience)
        start = CpuReading(program.pid)
        series.startup_cpu_ms = 1000 * start.run_s
        # The first turn the program acts on follows from what it sent.
        turn = (frame_epoch(capture.data[:FRAME], TAIL_MODE_1) // 60 + 1) * 60 - page.offset_s
        for k in range(1, turns + 1):
            capture.wait_for_bytes(FRAME * (k + 1), max(0.0, turn - time.time()) + runner.patience)
            frame = capture.data[FRAME * k:FRAME * (k + 1)]
            carried = frame_epoch(frame, TAIL_MODE_1) - page.offset_s
            if abs(carried - turn) > 0.001:
                raise AssertionError("%s: turn frame %r stands for %.3f, the turn was at %.3f"
                                     % (label, frame, carried, turn))
            stamp = page.stamps()[k] if stamping else None
            assert stamp is None or (stamp.call, stamp.size) == (1, FRAME), "%s: %r" % (label, stamp)
            series.keep(turn, capture.arrival_of_byte(FRAME * k)[0], stamp)
            if k < turns:
                # The same minute of the program's clock, nearer its end.
                minute = turn + page.offset_s + 60
                turn = next_instant(max(time.time() + LEAD_S, turn + every - 0.5), fraction)
                page.set_offset(offset_for_minute_turn(turn, minute))
        series.cpu.add(start, CpuReading(program.pid))
        if realtime:
            assert_realtime(program)
    finally:
        if program:
            program.stop()
        capture.stop()
        runner.ports.remove(com)
        page.close()
    log("%s: %d turns, CPU %.3f %% of a core" % (label, turns, series.cpu.percent() or 0))
    return series
