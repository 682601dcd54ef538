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
"""

import time

from bench_support import CpuReading, CpuTally, faked_clock, frame_epoch, log, offset_for_minute_turn


class SenderTrial:
    """What one turn gave: the delay in seconds and the CPU over the wait."""

    def __init__(self, label, delay_s, cpu, wait_s):
        self.label = label
        self.delay_s = delay_s
        self.cpu = cpu
        self.wait_s = wait_s


def run_sender_trial(runner, ports, com, program, tail, turn, faked, label):
    """Starts `program` with `tail` on COM`com` and measures the turn of the
    minute that falls at the real moment `turn`. With `faked` the program's
    clock is offset so that its minute turns then (Linux only); without, the
    caller has chosen a real turn of the minute."""
    offset = offset_for_minute_turn(turn) if faked else 0.0
    options = faked_clock(offset) if faked else {}
    port = ports.create(com)[com]
    capture = port.capture()
    program_run = runner.start(program, tail, **options)
    try:
        capture.wait_for_bytes(35, runner.patience)
        before = CpuReading(program_run.pid)
        capture.wait_for_bytes(70, max(0.0, turn - time.time()) + runner.patience)
        after = CpuReading(program_run.pid)
        arrival, _ = capture.arrival_of_byte(35)
        frame = capture.data[35:70]
    finally:
        program_run.stop()
        capture.stop()
        ports.remove(com)
    # The frame must be the one of the turn: the program's clock read
    # hh:mm:00 of the faked minute, which is `turn` on the real clock.
    carried = frame_epoch(frame) - offset
    if abs(carried - turn) > 0.001:
        raise AssertionError("%s: turn frame %r stands for %.3f, the turn was at %.3f"
                             % (label, frame, carried, turn))
    cpu = CpuTally()
    cpu.add(before, after)
    trial = SenderTrial(label, arrival - turn, cpu, after.at - before.at)
    log("%s: delay %.3f ms, waited %.1f s" % (label, trial.delay_s * 1000, trial.wait_s))
    return trial


def summarize(trials):
    """Delays and the CPU over all waits of a list of trials."""
    cpu = CpuTally()
    for trial in trials:
        cpu.merge(trial.cpu)
    return [t.delay_s for t in trials], cpu
