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
"""

import argparse
import json
import shutil
import sys
import tempfile
import threading
import time
import traceback
from pathlib import Path

from bench_support import REPO, Background, log, next_instant, next_minute_turn, sleep_until
from broadcaster_timing import measure_broadcaster
from report import as_json, format_table, plot_delays
from rig import Runner, SerialPorts, WineSession, assert_in_sandbox, ensure_template
from sender_timing import run_sender_trial
from sender_timing import summarize as summarize_senders
from setter_timing import run_setter_trial
from setter_timing import summarize as summarize_setters

SIZES = {
    # datagrams per broadcaster, sender trials per side, setter trials per side
    "full": {"datagrams": 60, "sender_trials": 12, "setter_trials": 3, "long_waits": True},
    "quick": {"datagrams": 4, "sender_trials": 1, "setter_trials": 1, "long_waits": False},
}
PARTS = ("sender", "broadcaster", "setter")
# The port switch is the first "/" of the tail, so it comes before "/R".
SENDER = ("serial_time_sender_8bit", "/%d /R")
SETTER = ("clock_setter_8bit", "/%d /R")
# Linux trials: the faked turn this long after the start.
SENDER_LEAD_S = 0.8
SETTER_LEAD_S = 6.5
LONG_WAIT_S = 48.0


def serialized(fn, lock):
    """fn under a lock: the rig's Runner and SerialPorts are not made for
    threads, and the long waits start programs beside the broadcaster."""
    def locked(*args, **kwargs):
        with lock:
            return fn(*args, **kwargs)
    return locked


class Platform:
    """The rig's pieces for one platform and the figures gathered there."""

    def __init__(self, name, runner, workdir):
        self.name = name
        self.runner = runner
        self.workdir = workdir
        self.sender = {"program": [], "reference": []}
        self.setter = {"program": [], "reference": []}
        self.broadcaster = None

    def results(self, parts):
        out = {}
        if "sender" in parts and self.sender["program"]:
            out["sender"] = {}
            for who, trials in self.sender.items():
                delays, cpu = summarize_senders(trials)
                out["sender"][who] = {"delays_s": delays, "cpu": cpu}
        if "broadcaster" in parts and self.broadcaster:
            out["broadcaster"] = {}
            for who, run in zip(("program", "reference"), self.broadcaster):
                out["broadcaster"][who] = {"delays_s": run.delays_s, "cpu": run.cpu,
                                           "seconds_without_datagram": run.skipped_seconds,
                                           "unsettled_datagrams": run.unsettled,
                                           "left_out_near_other_trials": run.left_out}
        if "setter" in parts and self.setter["program"]:
            out["setter"] = {who: summarize_setters(trials) for who, trials in self.setter.items()}
        return out


def sender_trial(p, who, com, turn, faked, label):
    name, tail = SENDER if who == "program" else ("polling_reference", "sender %d")
    tail = tail % com
    return run_sender_trial(p.runner, p.runner.ports, com, name, tail, turn, faked, label)


def setter_trial(p, who, com, turn, faked, label, first_cycle_done=None):
    name, tail = SETTER if who == "program" else ("polling_reference", "setter %d")
    tail = tail % com
    return run_setter_trial(p.runner, p.runner.ports, com, name, tail, turn, faked, label, p.workdir,
                            first_cycle_done)


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


def wine_phase(p, size, parts):
    """Under Wine the clocks cannot be faked, so the sender and the clock
    setter wait for real turns of the minute: the programs for the first
    turn at least half a minute away, the references (which poll both cores)
    for the next one. The broadcaster and its reference run throughout;
    datagrams of the seconds around the turns are left out."""
    turn = next_minute_turn(time.time() + 30)
    next_turn = turn + 60
    jobs = start_long_waits(p, parts, turn, turn, False, "wine")
    references = []
    if "setter" in parts:
        references.append(("setter", Background("setter reference", lambda: (
            sleep_until(next_turn - 17),
            setter_trial(p, "reference", 4, next_turn, False, "wine setter reference"))[1])))
    if "sender" in parts:
        references.append(("sender", Background("sender reference", lambda: (
            sleep_until(next_turn - 11),
            sender_trial(p, "reference", 3, next_turn, False, "wine sender reference"))[1])))
    everything = [job for _, job in jobs + references]
    if "broadcaster" in parts:
        excluded = [(turn - 0.5, turn + 1.5)] + ([(next_turn - 18, next_turn + 8)] if references else [])
        p.broadcaster, results = measure_broadcaster(p.runner, "windows", size["datagrams"], everything, excluded)
    else:
        results = [job.result(timeout=300) for job in everything]
    for (part, _), trial in zip(jobs, results):
        getattr(p, part)["program"].append(trial)
    for (part, _), trial in zip(references, results[len(jobs):]):
        getattr(p, part)["reference"].append(trial)


def make_platform(name, args, ports, workdir, lock):
    folder = workdir / name
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
    return Platform(name, runner, folder), wine


def main(argv=None):
    parser = argparse.ArgumentParser(description="Timing and CPU figures of the family's programs.")
    parser.add_argument("--platform", nargs="+", choices=("linux", "windows"), default=["linux", "windows"])
    parser.add_argument("--only", nargs="+", choices=PARTS, default=list(PARTS))
    parser.add_argument("--quick", action="store_true", help="tiny samples: checks that the harness works")
    parser.add_argument("--out", default=str(REPO / "build" / "bench"))
    parser.add_argument("--linux-bin", default=str(REPO / "build" / "linux" / "bin"))
    parser.add_argument("--windows-bin", default=str(REPO / "build" / "windows" / "bin"))
    parser.add_argument("--wine-template", default=None)
    args = parser.parse_args(argv)
    assert_in_sandbox()

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
        if "linux" in args.platform:
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
    finally:
        for p in platforms.values():
            p.runner.stop_all()
        ports.remove_all()
        if wine:
            wine.close()
        shutil.rmtree(workdir, ignore_errors=True)

    texts, everything, pictures = [], {}, []
    heading = "Bench of %s, load average %s at the start, %d s" % (started, load, time.monotonic() - began)
    for name in ("linux", "windows"):
        if name in failures:
            texts.append("%s: the run failed: %s: %s" % (name, type(failures[name]).__name__, failures[name]))
        elif name in platforms:
            results = platforms[name].results(parts)
            texts.append(format_table(name, results, started))
            everything[name] = as_json(results)
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
