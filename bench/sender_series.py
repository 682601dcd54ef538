"""The serial time sender in repeat mode, one process serving many turns of
the minute: for each, when the program entered write() with the turn's frame
(its stamp, bench_clock.c) and when the frame's first byte reached the other
end of the pty (the rig's capture thread), both counted from the turn.

On Linux the program's clock runs at an offset the harness sets in the
shared page. Its first turn comes at a chosen real moment; once the turn's
frame is in, the offset moves the clock forward within the same minute, so
that the next turn comes at the next chosen moment, 0.3 to 1.3 s later. The
program notices at its next reading (at most 100 ms later: it reads the clock
that often so that a clock set forward or back is noticed) and then waits
the last second of a minute as it always does. Every frame must carry the
minute of its turn with seconds 00, which checks that the program's clock is
where the harness put it. Under Wine (real clock, no page) the turns are
real ones, a minute apart.
"""

import time

from harness import (FRAME, ClockPage, CpuReading, CpuTally, assert_realtime, frame_epoch, log, make_realtime,
                     next_instant, observe_in_real_time, offset_for_minute_turn)

# The next turn comes at least this long after the last frame is in.
LEAD_S = 0.3


class Series:
    """What the turns of one process gave (delays in s from each turn)."""

    def __init__(self, label):
        self.label = label
        self.at_call, self.delivered, self.woke, self.overshoot, self.turns = [], [], [], [], []
        self.cpu = CpuTally()
        self.startup_ms = None


def run_sender_series(runner, ports, com, name, tail, turns, fraction, realtime=False, every=1,
                      stamping=True, first_turn=None):
    """Starts `name` `tail` on COM`com` and measures `turns` turns. Linux:
    turns at `fraction` of a real second, one every `every` seconds (the
    first at `first_turn` if given); with `stamping` off the calls are not
    stamped (the cost of stamping, against a run with it). Under Wine each
    turn is the next real turn of the minute after the first frame."""
    label = "%s COM%d" % (name, com)
    series = Series(label)
    linux = runner.platform == "linux"
    turn = first_turn or next_instant(time.time() + 1.5, fraction)
    page = ClockPage(offset_for_minute_turn(turn), stamping) if linux else None
    port = ports.create(com)[com]
    capture = port.capture()
    program = None
    try:
        observe_in_real_time(capture._thread)
        program = runner.start(name, tail, **(page.options(runner.bin_dir) if page else {}))
        if realtime:
            make_realtime(runner, program)
        capture.wait_for_bytes(FRAME, runner.patience)
        start = CpuReading(program.pid)
        series.startup_ms = 1000 * start.run_s
        offset = page.offset_s if page else 0.0
        # The first turn the program acts on follows from what it sent.
        turn = (frame_epoch(capture.data[:FRAME]) // 60 + 1) * 60 - offset
        for k in range(1, turns + 1):
            capture.wait_for_bytes(FRAME * (k + 1), max(0.0, turn - time.time()) + runner.patience)
            frame = capture.data[FRAME * k:FRAME * (k + 1)]
            if abs(frame_epoch(frame) - offset - turn) > 0.001:
                raise AssertionError("%s: turn frame %r stands for %.3f, the turn was at %.3f"
                                     % (label, frame, frame_epoch(frame) - offset, turn))
            series.delivered.append(capture.arrival_of_byte(FRAME * k)[0] - turn)
            series.turns.append(turn)
            if page and stamping:
                stamp = page.stamps()[k]
                assert (stamp.call, stamp.size) == (1, FRAME), "%s: %r" % (label, stamp)
                series.at_call.append(stamp.at - turn)
                series.woke.append(stamp.woke - turn)
                series.overshoot.append(stamp.woke - stamp.planned)
            if page and k < turns:
                # The same minute of the program's clock, nearer its end.
                minute = turn + offset + 60
                turn = next_instant(max(time.time() + LEAD_S, turn + every - 0.5), fraction)
                offset = offset_for_minute_turn(turn, minute)
                page.set_offset(offset)
            else:
                turn += 60
        series.cpu.add(start, CpuReading(program.pid))
        if realtime:
            assert_realtime(program)
    finally:
        if program:
            program.stop()
        capture.stop()
        ports.remove(com)
        if page:
            page.close()
    log("%s: %d turns, CPU %.3f %% of a core" % (label, turns, series.cpu.percent() or 0))
    return series
