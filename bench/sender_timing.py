"""The serial time sender in repeat mode: how long after the turn of the
minute the first byte of its frame reaches the other end of the pty, and
how much of a core it uses while it waits for that turn.

One trial is one process and one turn. The program starts on a fresh pty,
sends its first frame at once, then waits for the minute. On Linux its clock
is faked with a fixed offset (bench_support.faked_clock) so that the turn
comes a second or two after the start, at a real moment the observer knows
exactly; under Wine it waits for a real turn. The delay is the arrival of
the turn frame's first byte at the pty master (taken by the rig's Capture
thread) less that moment, and the frame must carry that very minute with
seconds 00.

Which turn is measured follows from what the program sent, not from when the
harness hoped it would start: its first frame names the minute it read, and
it must send the next frame at the first turn of its clock after that (and
one at every turn after). The measured turn is the first of these at least
`min_wait` after the first frame (so that the CPU share covers a real wait);
the frames of the turns before it must be right too. Under Wine, where a
start takes seconds, a sender started at 01:58 sends at 02:00, whatever turn
was planned.
"""

import math
import time

from bench_support import (CpuReading, CpuTally, assert_realtime, faked_clock, frame_epoch, log, make_realtime,
                           observe_in_real_time, offset_for_minute_turn)

FRAME = 35


class SenderTrial:
    """What one turn gave: the delay in seconds and the CPU over the wait."""

    def __init__(self, label, delay_s, cpu, wait_s):
        self.label = label
        self.delay_s = delay_s
        self.cpu = cpu
        self.wait_s = wait_s


def turns_to_measure(first_frame, offset, first_arrival, min_wait):
    """(the first turn after a first frame, how many turns up to the one
    measured): the program's clock turns its minute after the one its first
    frame carries, at that real moment (its clock runs `offset` ahead), then
    every 60 s; the one measured is the first at least `min_wait` after the
    first frame's `first_arrival`."""
    first_turn = (math.floor(frame_epoch(first_frame) / 60.0) + 1) * 60.0 - offset
    return first_turn, int(max(0.0, math.ceil((first_arrival + min_wait - first_turn) / 60.0))) + 1


def run_sender_trial(runner, ports, com, program, tail, turn, faked, label, realtime=False, min_wait=0.0,
                     turn_known=None):
    """Starts `program` with `tail` on COM`com` and measures a turn of the
    minute (see the module's comment). With `faked` the program's clock is
    offset so that its minute turns at the real moment `turn` (Linux only);
    without, it keeps the real clock. With `realtime` it runs under
    SCHED_FIFO. `turn_known(real moment)` is called, if given, as soon as the
    measured turn is known."""
    offset = offset_for_minute_turn(turn) if faked else 0.0
    options = faked_clock(offset) if faked else {}
    port = ports.create(com)[com]
    capture = port.capture()
    try:
        observe_in_real_time(capture)
    except Exception:
        capture.stop()
        ports.remove(com)
        raise
    program_run = runner.start(program, tail, **options)
    try:
        if realtime:
            make_realtime(runner, program_run)
        capture.wait_for_bytes(FRAME, runner.patience)
        before = CpuReading(program_run.pid)
        first_arrival, _ = capture.arrival_of_byte(0)
        first_turn, turns = turns_to_measure(capture.data[:FRAME], offset, first_arrival, min_wait)
        measured = first_turn + 60.0 * (turns - 1)
        if turn_known:
            turn_known(measured)
        if abs(measured - turn) > 0.001:
            log("%s: measures the turn at %.3f, not the one planned at %.3f (first frame %.3f s before it)"
                % (label, measured, turn, measured - first_arrival))
        capture.wait_for_bytes(FRAME * (turns + 1), max(0.0, measured - time.time()) + runner.patience)
        after = CpuReading(program_run.pid)
        if realtime:
            assert_realtime(program_run)
        arrival, _ = capture.arrival_of_byte(FRAME * turns)
        frames = [capture.data[FRAME * k:FRAME * (k + 1)] for k in range(1, turns + 1)]
    finally:
        program_run.stop()
        capture.stop()
        ports.remove(com)
    # Each frame must be the one of its turn: the program's clock read
    # hh:mm:00 of that minute.
    for k, frame in enumerate(frames):
        carried = frame_epoch(frame) - offset
        if abs(carried - (first_turn + 60.0 * k)) > 0.001:
            raise AssertionError("%s: turn frame %r stands for %.3f, the turn was at %.3f"
                                 % (label, frame, carried, first_turn + 60.0 * k))
    cpu = CpuTally()
    cpu.add(before, after)
    trial = SenderTrial(label, arrival - measured, cpu, after.at - before.at)
    log("%s: delay %.3f ms, waited %.1f s" % (label, trial.delay_s * 1000, trial.wait_s))
    return trial


def summarize(trials):
    """Delays and the CPU over all waits of a list of trials."""
    cpu = CpuTally()
    for trial in trials:
        cpu.merge(trial.cpu)
    return [t.delay_s for t in trials], cpu
