#!/usr/bin/env python3
"""The bench: timing and CPU figures of the family's real programs, each
beside a reference that waits the simple way (bench/polling_reference.cpp).
Prints a table per machine; writes it, every sample (JSON) and histograms
(PNG) into --out. Figures, never pass/fail. Only inside the sandbox, under
bench/realtime_grant.py (make bench runs it so). What runs side by side,
and when: docs/performance.md, "Schedule"; beside those, the machine's
floor under each policy of their rows (bench/machine_floor.py).
"""

import argparse
import json
import shutil
import sys
import tempfile
import threading
import time
import traceback
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from broadcaster_runs import run_broadcasters
from busy_load import BusyLoad, load_average
from harness import REPO, core_shares, core_times, log, next_instant, realtime_granted
from machine_floor import Floor
from report import as_json, format_table, plot_delays
from rig import Runner, SerialPorts, WineSession, assert_in_sandbox, ensure_template
from sender_series import run_sender_series
from setter_trials import run_setter_trial, summarize

SIZES = {"full": {"turns": 200, "datagrams": 200, "reference_turns": 50, "setter_trials": 3, "wine_datagrams": 60,
                  "load_s": 600},
         "quick": {"turns": 3, "datagrams": 4, "reference_turns": 2, "setter_trials": 1, "wine_datagrams": 4,
                   "load_s": 120}}
PARTS = ("sender", "broadcaster", "setter")
# Where in the second each one's turns fall, so that no two wake at once:
# broadcasters .0 .25 .5, senders .125 .375 .625, clock setters .6 (their
# back-to-back frames end before .9).
BROADCASTERS = {"program": 0.0, "realtime": 0.25, "reference": 0.5}
SENDERS = {"program": 0.125, "realtime": 0.375, "reference": 0.625}
SETTER_AT, SETTER_LEAD_S = 0.6, 6.5


class Machine:
    """The rig's pieces for one run (quiet, busy or Wine) and its figures."""

    def __init__(self, name, runner, workdir, sides):
        self.name, self.runner, self.workdir, self.sides = name, runner, workdir, sides
        self.results, self.load, self.cores = {}, None, None

    def keep(self, part, who, value):
        self.results.setdefault(part, {})[who] = value


def serialized(fn, lock):
    """fn under a lock: the rig's Runner and SerialPorts are not made for threads."""
    def locked(*args, **kwargs):
        with lock:
            return fn(*args, **kwargs)
    return locked


def program_of(part, who, com):
    if who == "reference":
        return "polling_reference", "%s %d" % (part, com)
    return ("serial_time_sender_8bit" if part == "sender" else "clock_setter_8bit"), "/%d /R" % com


def sender(m, who, com, turns, every=1, stamping=True):
    series = run_sender_series(m.runner, com, *program_of("sender", who, com), turns, SENDERS[who],
                               realtime=who == "realtime", every=every, stamping=stamping)
    m.keep("sender", who, vars(series))


def setters(m, whos, com, trials):
    """`trials` clock setter trials of each of `whos` in turn on COM`com`."""
    done = {who: [] for who in whos}
    for i in range(trials):
        for who in whos:
            at = next_instant(time.time() + SETTER_LEAD_S, SETTER_AT)
            done[who].append(run_setter_trial(m.runner, com, *program_of("setter", who, com), at,
                                              "%s setter %s %d" % (m.name, who, i + 1), m.workdir,
                                              realtime=who == "realtime"))
    for who, trials_done in done.items():
        m.keep("setter", who, summarize(trials_done))


def broadcasters(m, count, whos, stamping=True):
    linux = m.runner.platform == "linux"
    sides = [(who, "udp_time_broadcaster" if who != "reference" else "polling_reference",
              BROADCASTERS[who] if linux else 0.0, who == "realtime") for who in whos]
    for run in run_broadcasters(m.runner, count, sides, stamping):
        m.keep("broadcaster", run.label, run.figures())


def side_by_side(m, floors, *jobs):
    """Runs the jobs (functions) in threads, with the machine's floor under
    each policy of `floors` beside them (it needs the grant to start), and
    raises the first failure."""
    beside = [Floor(m.workdir, who, SIZES["full"]["load_s"]) for who in floors if realtime_granted()]
    try:
        with ThreadPoolExecutor(len(jobs)) as pool:
            for future in [pool.submit(job) for job in jobs]:
                future.result()
    finally:
        for floor in beside:
            m.keep("floor", floor.who, floor.stop())


def quiet_linux(m, size, parts, stamping):
    jobs = []
    if "sender" in parts:
        jobs.append(lambda: sender(m, "program", 1, size["turns"], stamping=stamping))
    if "setter" in parts:
        jobs.append(lambda: setters(m, ["program"], 2, size["setter_trials"]))
    if "broadcaster" in parts:
        jobs.append(lambda: broadcasters(m, size["datagrams"], ["program", "reference"], stamping=stamping))
    side_by_side(m, ["program"], *jobs)
    if "sender" in parts:
        sender(m, "reference", 1, size["reference_turns"])
    if "setter" in parts:
        setters(m, ["reference"], 2, size["setter_trials"])


def wine(m, size, parts):
    """Only the broadcaster's rows: Wine runs on the real clock alone
    (docs/performance.md, "Schedule")."""
    if "broadcaster" in parts:
        broadcasters(m, size["wine_datagrams"], ["program", "reference"])


def busy_linux(m, size, parts, quick):
    m.load = BusyLoad(m.workdir / "load", size["load_s"], quick)
    try:
        jobs = []
        if "sender" in parts:
            jobs += [lambda who=who, com=com: sender(m, who, com, size["turns"])
                     for who, com in zip(m.sides[:-1], (1, 2))]
            jobs.append(lambda: sender(m, "reference", 3, size["reference_turns"], every=4))
        if "setter" in parts:
            jobs.append(lambda: setters(m, m.sides, 4, size["setter_trials"]))
        if "broadcaster" in parts:
            jobs.append(lambda: broadcasters(m, size["datagrams"], m.sides))
        side_by_side(m, [who for who in m.sides if who != "reference"], *jobs)
    finally:
        m.load.stop()
        log(m.load.summary())


def make_machine(name, args, ports, workdir, lock, sides):
    platform = "windows" if name == "windows" else "linux"
    folder = workdir / name
    (folder / "programs").mkdir(parents=True)
    session = None
    if platform == "windows":
        template = Path(args.wine_template or Path(args.windows_bin).parent / "wine-template")
        ensure_template(template)
        session = WineSession(template, folder / "wine")
        try:
            log("wine session started in %.1f s" % session.start())
        except Exception:
            session.close()
            raise
    runner = Runner(platform, args.linux_bin if platform == "linux" else args.windows_bin, folder / "programs",
                    ports, session)
    runner.start = serialized(runner.start, lock)
    return Machine(name, runner, folder, sides)


def main(argv=None):
    parser = argparse.ArgumentParser(description="Timing and CPU figures of the family's programs.")
    parser.add_argument("--platform", nargs="+", choices=("linux", "windows"), default=["linux", "windows"])
    parser.add_argument("--only", nargs="+", choices=PARTS, default=list(PARTS))
    parser.add_argument("--machine", nargs="+", choices=("quiet", "busy"), default=["quiet", "busy"],
                        help="the quiet machine, and (Linux) the busy one with a competing load")
    parser.add_argument("--quick", action="store_true", help="tiny samples: checks that the harness works")
    parser.add_argument("--without-stamps", action="store_true",
                        help="no stamps in the quiet Linux run: what stamping costs the delivery figures")
    parser.add_argument("--out", default=str(REPO / "build" / "bench"))
    parser.add_argument("--linux-bin", default=str(REPO / "build" / "linux" / "bin"))
    parser.add_argument("--windows-bin", default=str(REPO / "build" / "windows" / "bin"))
    parser.add_argument("--wine-template", default=None)
    args = parser.parse_args(argv)
    assert_in_sandbox()
    # The observers (the ptys' capture threads) share the interpreter with
    # the harness's other threads: one that wants to run waits for the one
    # running Python code at most this long (5 ms by default).
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
    began, started = time.monotonic(), time.strftime("%Y-%m-%d %H:%M:%S")
    load = "%.2f" % load_average()
    plan = []
    if "linux" in args.platform and "quiet" in args.machine:
        plan.append(("linux", ["program", "reference"], lambda m: quiet_linux(m, size, parts, not args.without_stamps)))
    if "windows" in args.platform:
        plan.append(("windows", ["program", "reference"], lambda m: wine(m, size, parts)))
    if "linux" in args.platform and "busy" in args.machine:
        if not realtime_granted():
            log("busy machine: no SCHED_FIFO rows, the bench runs without bench/realtime_grant.py")
        sides = ["program", "realtime", "reference"] if realtime_granted() else ["program", "reference"]
        plan.append(("busy", sides, lambda m: busy_linux(m, size, parts, args.quick)))
    machines, failures = {}, {}
    try:
        for name, sides, run in plan:
            try:
                machines[name] = make_machine(name, args, ports, workdir, lock, sides)
                log("%s: started" % name)
                before = core_times()
                run(machines[name])
                machines[name].cores = core_shares(before, core_times())
            except Exception as error:
                log(traceback.format_exc())
                failures[name] = error
            finally:
                if name in machines:
                    machines[name].runner.stop_all()
    finally:
        ports.remove_all()
        for wine_session in filter(None, (m.runner.wine for m in machines.values())):
            wine_session.close()
        shutil.rmtree(workdir, ignore_errors=True)

    texts, everything, pictures = [], {}, []
    for name, m in machines.items():
        if name in failures:
            texts.append("%s: the run failed: %s: %s" % (name, type(failures[name]).__name__, failures[name]))
            continue
        texts.append(format_table(name, m.results, m.load.summary() if m.load else None, m.cores))
        everything[name] = dict(as_json(m.results), cores_busy_stolen_percent=m.cores)
        if m.load:
            everything[name]["load"] = m.load.as_dict()
        pictures += plot_delays(name, m.results, str(out_dir))
    table = "Bench of %s, load average %s at the start, %d s\n\n%s\n" % (
        started, load, time.monotonic() - began, "\n\n".join(texts))
    print(table)
    (out_dir / "bench.txt").write_text(table)
    (out_dir / "bench.json").write_text(json.dumps({"started": started, "load": load, "machines": everything},
                                                   indent=1))
    for path in pictures:
        print("histogram: %s" % path)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
