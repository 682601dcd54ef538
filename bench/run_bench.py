#!/usr/bin/env python3
"""The bench: timing and CPU figures of the family's real programs, each
beside a reference that waits the simple way (bench/polling_reference.cpp,
which polls the clock and the serial queue without a pause). Prints a table
per platform and writes histograms of the delays as PNG, the table as text
and every figure as JSON into --out. Figures, never pass/fail.

Only inside the sandbox (make bench does this):
    tests/system/sandbox /usr/bin/python3 bench/run_bench.py [--platform linux windows] [--quick]

Schedule (about five minutes for both platforms):
  Linux, broadcaster   the broadcaster beside its reference (whose clock is
                       faked half a second ahead) for 60 settled datagrams;
                       meanwhile a sender and a clock setter wait ~50 s for
                       a faked turn of the minute (the long waits)
  Linux, sender        short trials, program and reference alternating, each
                       with a faked turn 0.8 s after its start
  Linux, clock setter  trials of a cycle one frame a second, a short wait for
                       a faked turn and a cycle of frames back to back
  Wine                 the broadcaster beside its reference throughout; the
                       sender and the clock setter wait for a real turn of
                       the minute, their references for the next one
  Linux, busy machine  with a competing load (bench/busy_load.py) the same
                       measurements, the programs once the normal way and
                       once under SCHED_FIFO 10 (granted from outside the
                       sandbox by bench/realtime_grant.py, as make bench runs
                       it), beside the references: the broadcasters for 120
                       settled datagrams while, on other ports, 30 trials of
                       each sender, 3 of each clock setter and two long waits
                       of the sender run
"""

import argparse
import json
import os
import shutil
import sys
import tempfile
import threading
import time
import traceback
from pathlib import Path

from bench_support import REPO, Background, log, next_instant, next_minute_turn, sleep_until, wait_for_distant_turn
from broadcaster_timing import measure_broadcaster
from busy_load import BusyLoad
from realtime_grant import ENVIRONMENT as GRANT_ENVIRONMENT
from report import as_json, format_table, plot_delays
from rig import Runner, SerialPorts, WineSession, assert_in_sandbox, ensure_template
from sender_timing import run_sender_trial
from sender_timing import summarize as summarize_senders
from setter_timing import run_setter_trial
from setter_timing import summarize as summarize_setters

SIZES = {
    # datagrams per broadcaster, sender trials per side, setter trials per
    # side; the same on the busy machine, and the bound of its load
    "full": {"datagrams": 60, "sender_trials": 12, "setter_trials": 3, "long_waits": True,
             "busy": {"datagrams": 120, "sender_trials": 30, "setter_trials": 3, "load_s": 600}},
    "quick": {"datagrams": 4, "sender_trials": 1, "setter_trials": 1, "long_waits": False,
              "busy": {"datagrams": 4, "sender_trials": 1, "setter_trials": 1, "load_s": 120}},
}
PARTS = ("sender", "broadcaster", "setter")
# The port switch is the first "/" of the tail, so it comes before "/R".
SENDER = ("serial_time_sender_8bit", "/%d /R")
SETTER = ("clock_setter_8bit", "/%d /R")
# Linux trials: the faked turn this long after the start.
SENDER_LEAD_S = 0.8
SETTER_LEAD_S = 6.5
LONG_WAIT_S = 48.0
# Under Wine: the programs start with at least this long before a real turn
# (or after the nearer one), and the sender's measured turn is at least
# WINE_SENDER_WAIT_S after its first frame.
WINE_LEAD_S = 30.0
WINE_SENDER_WAIT_S = 5.0
# Fractions of the second of the turns on the busy machine: the broadcasters
# at .0, .25 (SCHED_FIFO) and .5 (reference), the senders at .75, their long
# waits at .875, the clock setters at .6 (their frames end before .9).
BUSY_SENDER_AT = 0.75
BUSY_LONG_WAIT_AT = 0.875
BUSY_SETTER_AT = 0.6


def serialized(fn, lock):
    """fn under a lock: the rig's Runner and SerialPorts are not made for
    threads, and the long waits start programs beside the broadcaster."""
    def locked(*args, **kwargs):
        with lock:
            return fn(*args, **kwargs)
    return locked


class Platform:
    """The rig's pieces for one platform and the figures gathered there."""

    def __init__(self, name, runner, workdir, realtime=False):
        self.name = name
        self.runner = runner
        self.workdir = workdir
        self.sides = ("program", "realtime", "reference") if realtime else ("program", "reference")
        self.sender = {who: [] for who in self.sides}
        self.setter = {who: [] for who in self.sides}
        self.broadcaster = None
        self.load = None

    def results(self, parts):
        out = {}
        if "sender" in parts and self.sender["program"]:
            out["sender"] = {}
            for who, trials in self.sender.items():
                delays, cpu = summarize_senders(trials)
                out["sender"][who] = {"delays_s": delays, "cpu": cpu}
        if "broadcaster" in parts and self.broadcaster:
            out["broadcaster"] = {}
            for who, run in zip(self.sides, self.broadcaster):
                out["broadcaster"][who] = {"delays_s": run.delays_s, "cpu": run.cpu,
                                           "seconds_without_datagram": run.skipped_seconds,
                                           "unsettled_datagrams": run.unsettled,
                                           "left_out_near_other_trials": run.left_out}
        if "setter" in parts and self.setter["program"]:
            out["setter"] = {who: summarize_setters(trials) for who, trials in self.setter.items()}
        return out


def sender_trial(p, who, com, turn, faked, label, **options):
    """`who`: "program", "realtime" (the program under SCHED_FIFO) or "reference"."""
    name, tail = SENDER if who != "reference" else ("polling_reference", "sender %d")
    tail = tail % com
    return run_sender_trial(p.runner, p.runner.ports, com, name, tail, turn, faked, label,
                            realtime=who == "realtime", **options)


def setter_trial(p, who, com, turn, faked, label, first_cycle_done=None, **options):
    name, tail = SETTER if who != "reference" else ("polling_reference", "setter %d")
    tail = tail % com
    return run_setter_trial(p.runner, p.runner.ports, com, name, tail, turn, faked, label, p.workdir,
                            first_cycle_done, realtime=who == "realtime", **options)


def start_long_waits(p, parts, sender_turn, setter_turn, sender_faked, label):
    """Starts a sender and a clock setter that wait for the given turns, and
    returns [(part, job)] once the clock setter's first cycle is over, so
    that its frame waits do not overlap what is measured next."""
    jobs = []
    if "setter" in parts:
        done = threading.Event()
        jobs.append(("setter", Background("setter", lambda: setter_trial(
            p, "program", 2, setter_turn, sender_faked, "%s setter, long wait" % label, done))))
        done.wait(timeout=2 * p.runner.patience + 10)
    if "sender" in parts:
        jobs.append(("sender", Background("sender", lambda: sender_trial(
            p, "program", 1, sender_turn, sender_faked, "%s sender, long wait" % label))))
    return jobs


def finish_long_waits(p, jobs, results=None):
    for (part, job), trial in zip(jobs, results if results is not None else [None] * len(jobs)):
        getattr(p, part)["program"].append(trial if results is not None else job.result(timeout=300))


def linux_broadcaster(p, size, parts):
    """The broadcaster beside its reference; meanwhile the long waits, their
    turns half a second away from the broadcasters' (at .25 and .6)."""
    jobs = []
    if size["long_waits"]:
        now = time.time()
        jobs = start_long_waits(p, parts, next_instant(now + LONG_WAIT_S, 0.25),
                                next_instant(now + LONG_WAIT_S + 3, 0.6), True, "linux")
    if "broadcaster" in parts:
        p.broadcaster, results = measure_broadcaster(p.runner, "linux", size["datagrams"], [j for _, j in jobs])
        finish_long_waits(p, jobs, results)
    else:
        finish_long_waits(p, jobs)


def linux_senders(p, size):
    for i in range(size["sender_trials"]):
        for who in ("program", "reference"):
            turn = time.time() + SENDER_LEAD_S
            p.sender[who].append(sender_trial(p, who, 1, turn, True, "linux sender %s %d" % (who, i + 1)))


def linux_setters(p, size):
    for i in range(size["setter_trials"]):
        for who in ("program", "reference"):
            turn = time.time() + SETTER_LEAD_S
            p.setter[who].append(setter_trial(p, who, 2, turn, True, "linux setter %s %d" % (who, i + 1)))


class TurnsKnown:
    """The turns that trials running in threads have settled on."""

    def __init__(self):
        self.turns = []
        self._changed = threading.Condition()

    def add(self, turn):
        with self._changed:
            self.turns.append(turn)
            self._changed.notify_all()

    def wait(self, count, timeout):
        with self._changed:
            if not self._changed.wait_for(lambda: len(self.turns) >= count, timeout):
                raise RuntimeError("only %d of %d turns known after %d s" % (len(self.turns), count, timeout))
            return list(self.turns)


def wine_phase(p, size, parts):
    """Under Wine the clocks cannot be faked, so the sender and the clock
    setter wait for real turns of the minute: the programs start at least
    WINE_LEAD_S before a turn (after the nearer one if needed) and each is
    measured at the turn it must act on, which follows from what it sent;
    the references (which poll both cores) at the turn a minute after the
    later of those. The broadcaster and its reference run throughout;
    datagrams of the seconds around the turns are left out."""
    wait_for_distant_turn(WINE_LEAD_S)
    turn = next_minute_turn(time.time())
    excluded, final, known = [], threading.Event(), TurnsKnown()

    def program_turn(t):
        excluded.append((t - 0.5, t + 1.5))
        known.add(t)

    jobs = []
    if "setter" in parts:
        done = threading.Event()
        jobs.append(("setter", Background("setter", lambda: setter_trial(
            p, "program", 2, turn, False, "wine setter, long wait", done, turn_known=program_turn))))
        done.wait(timeout=2 * p.runner.patience + 10)
    if "sender" in parts:
        jobs.append(("sender", Background("sender", lambda: sender_trial(
            p, "program", 1, turn, False, "wine sender, long wait", min_wait=WINE_SENDER_WAIT_S,
            turn_known=program_turn))))

    def references():
        reference_turn = max(known.wait(len(jobs), 3 * p.runner.patience + 120)) + 60

        def reference_window(t):
            excluded.append((t - 18, t + 8))

        reference_window(reference_turn)
        final.set()
        started = []
        if "setter" in parts:
            started.append(Background("setter reference", lambda: (
                sleep_until(reference_turn - 17),
                setter_trial(p, "reference", 4, reference_turn, False, "wine setter reference",
                             turn_known=reference_window))[1]))
        if "sender" in parts:
            started.append(Background("sender reference", lambda: (
                sleep_until(reference_turn - 11),
                sender_trial(p, "reference", 3, reference_turn, False, "wine sender reference",
                             turn_known=reference_window))[1]))
        return [job.result(timeout=300) for job in started]

    everything = [job for _, job in jobs]
    if jobs:
        everything.append(Background("references", references))
    else:
        final.set()
    if "broadcaster" in parts:
        p.broadcaster, results = measure_broadcaster(p.runner, "windows", size["datagrams"], everything, excluded,
                                                     final)
    else:
        results = [job.result(timeout=400) for job in everything]
    for (part, _), trial in zip(jobs, results):
        getattr(p, part)["program"].append(trial)
    for part, trial in zip([part for part, _ in jobs], results[len(jobs)] if jobs else []):
        getattr(p, part)["reference"].append(trial)


def busy_trials(p, size, parts):
    """The sender and clock setter trials of the busy machine, each side in
    turn, on COM1 and COM2."""
    for i in range(size["sender_trials"] if "sender" in parts else 0):
        for who in p.sides:
            turn = next_instant(time.time() + SENDER_LEAD_S, BUSY_SENDER_AT)
            p.sender[who].append(sender_trial(p, who, 1, turn, True, "busy sender %s %d" % (who, i + 1)))
    for i in range(size["setter_trials"] if "setter" in parts else 0):
        for who in p.sides:
            turn = next_instant(time.time() + SETTER_LEAD_S, BUSY_SETTER_AT)
            p.setter[who].append(setter_trial(p, who, 2, turn, True, "busy setter %s %d" % (who, i + 1)))


def busy_phase(p, size, parts, quick):
    """The busy machine: the load, then the broadcasters side by side while
    the trials and the long waits of the sender run beside them."""
    p.load = BusyLoad(p.workdir / "load", size["load_s"], quick)
    try:
        jobs = [Background("busy trials", lambda: busy_trials(p, size, parts))]
        long_waits = []
        if not quick and "sender" in parts:
            now = time.time()
            for k, (who, com) in enumerate((("program", 3), ("realtime", 4))):
                if who in p.sides:
                    turn = next_instant(now + LONG_WAIT_S + k, BUSY_LONG_WAIT_AT)
                    long_waits.append(who)
                    jobs.append(Background("long wait", lambda who=who, com=com, turn=turn: sender_trial(
                        p, who, com, turn, True, "busy sender %s, long wait" % who)))
        if "broadcaster" in parts:
            p.broadcaster, results = measure_broadcaster(p.runner, "linux", size["datagrams"], jobs,
                                                         realtime="realtime" in p.sides)
        else:
            results = [job.result(timeout=600) for job in jobs]
        for who, trial in zip(long_waits, results[1:]):
            p.sender[who].append(trial)
    finally:
        p.load.stop()
        log(p.load.summary())


def make_platform(name, args, ports, workdir, lock, realtime=None):
    """The platform's pieces; `realtime` (True or False) for the busy machine."""
    folder = workdir / (name + ("-busy" if realtime is not None else ""))
    folder.mkdir()
    wine = None
    if name == "windows":
        template = Path(args.wine_template or Path(args.windows_bin).parent / "wine-template")
        made = ensure_template(template)
        if made:
            log("wine template made in %.1f s" % made)
        wine = WineSession(template, folder / "wine")
        try:
            log("wine session started in %.1f s" % wine.start())
        except Exception:
            wine.close()
            raise
    (folder / "programs").mkdir()
    runner = Runner(name, args.linux_bin if name == "linux" else args.windows_bin, folder / "programs", ports, wine)
    runner.start = serialized(runner.start, lock)
    return Platform(name, runner, folder, bool(realtime)), wine


def main(argv=None):
    parser = argparse.ArgumentParser(description="Timing and CPU figures of the family's programs.")
    parser.add_argument("--platform", nargs="+", choices=("linux", "windows"), default=["linux", "windows"])
    parser.add_argument("--only", nargs="+", choices=PARTS, default=list(PARTS))
    parser.add_argument("--machine", nargs="+", choices=("quiet", "busy"), default=["quiet", "busy"],
                        help="the quiet machine, and (Linux) the busy one with a competing load")
    parser.add_argument("--quick", action="store_true", help="tiny samples: checks that the harness works")
    parser.add_argument("--out", default=str(REPO / "build" / "bench"))
    parser.add_argument("--linux-bin", default=str(REPO / "build" / "linux" / "bin"))
    parser.add_argument("--windows-bin", default=str(REPO / "build" / "windows" / "bin"))
    parser.add_argument("--wine-template", default=None)
    args = parser.parse_args(argv)
    assert_in_sandbox()
    # The observers (the pty's capture threads) share the interpreter with
    # the harness's other threads: one that wants to run waits for the one
    # running Python code at most this long (5 ms by default, which showed
    # as delays of 5 ms on the busy machine).
    sys.setswitchinterval(0.0002)

    size = SIZES["quick" if args.quick else "full"]
    parts = set(args.only)
    out_dir = Path(args.out)
    out_dir.mkdir(parents=True, exist_ok=True)
    workdir = Path(tempfile.mkdtemp(prefix="time-family-bench-"))
    lock = threading.RLock()
    ports = SerialPorts()
    ports.create = serialized(ports.create, lock)
    ports.remove = serialized(ports.remove, lock)
    began = time.monotonic()
    started = time.strftime("%Y-%m-%d %H:%M:%S")
    with open("/proc/loadavg") as f:
        load = f.read().split()[0]
    platforms = {}
    wine = None
    failures = {}
    try:
        if "linux" in args.platform and "quiet" in args.machine:
            try:
                linux = platforms["linux"] = make_platform("linux", args, ports, workdir, lock)[0]
                log("linux: broadcaster and long waits")
                linux_broadcaster(linux, size, parts)
                if "sender" in parts:
                    log("linux: sender trials")
                    linux_senders(linux, size)
                if "setter" in parts:
                    log("linux: clock setter trials")
                    linux_setters(linux, size)
            except Exception as error:
                log(traceback.format_exc())
                failures["linux"] = error
        if "windows" in args.platform:
            try:
                platforms["windows"], wine = make_platform("windows", args, ports, workdir, lock)
                log("wine: the broadcaster throughout, the programs at one turn of the minute, "
                    "the references at the next")
                wine_phase(platforms["windows"], size, parts)
            except Exception as error:
                log(traceback.format_exc())
                failures["windows"] = error
        if "linux" in args.platform and "busy" in args.machine:
            try:
                realtime = GRANT_ENVIRONMENT in os.environ
                if not realtime:
                    log("busy machine: no SCHED_FIFO rows, the bench runs without bench/realtime_grant.py")
                busy = platforms["busy"] = make_platform("linux", args, ports, workdir, lock, realtime)[0]
                log("busy machine: the load, the broadcasters and beside them the trials")
                busy_phase(busy, size["busy"], parts, args.quick)
            except Exception as error:
                log(traceback.format_exc())
                failures["busy"] = error
    finally:
        for p in platforms.values():
            p.runner.stop_all()
        ports.remove_all()
        if wine:
            wine.close()
        shutil.rmtree(workdir, ignore_errors=True)

    texts, everything, pictures = [], {}, []
    heading = "Bench of %s, load average %s at the start, %d s" % (started, load, time.monotonic() - began)
    for name in ("linux", "windows", "busy"):
        if name in failures:
            texts.append("%s: the run failed: %s: %s" % (name, type(failures[name]).__name__, failures[name]))
        elif name in platforms:
            results = platforms[name].results(parts)
            busy_load = platforms[name].load
            texts.append(format_table(name, results, started, busy_load.summary() if busy_load else None))
            everything[name] = as_json(results)
            if busy_load:
                everything[name]["load"] = busy_load.as_dict()
            pictures += plot_delays(name, results, str(out_dir))
    table = heading + "\n\n" + "\n\n".join(texts) + "\n"
    print(table)
    (out_dir / "bench.txt").write_text(table)
    (out_dir / "bench.json").write_text(json.dumps({"started": started, "load": load, "platforms": everything},
                                                   indent=1))
    for path in pictures:
        print("histogram: %s" % path)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
