"""The bench's tables, histograms and JSON."""

import os
import tempfile

from harness import summary_ms

TITLES = {"linux": "Linux (native builds), quiet machine",
          "windows": "Windows builds under Wine (32-bit, emulated by qemu-i386; no stamps)",
          "busy": "Linux (native builds) on a busy machine"}
NAMES = {"sender": "serial_time_sender_8bit", "broadcaster": "udp_time_broadcaster", "setter": "clock_setter_8bit",
         "realtime": "  under SCHED_FIFO 10", "reference": "polling reference"}
HEADINGS = {"sender": "serial time sender /R: turn of the minute to its write(); delivered: first byte at the pty",
            "broadcaster": "broadcaster: turn of the second to its sendto(); delivered: at a listener on loopback"}
FLOOR = "machine floor (cyclictest)"
ROW = "  %-26s %5s %7s %7s %7s %6s   %7s %7s %7s %6s  %7s  %6s"
SETTER_ROW = "  %-25s %16s  %16s  %10s"


def _number(value, digits=3):
    return "-" if value is None else "%.1f" % value if value >= 100 else "%.*f" % (digits, value)


def _figures(delays_s):
    s = summary_ms(delays_s)
    return [_number(s[k]) for k in ("p50", "p99", "max")] + [_number(s["within_1ms"], 1)]


def _ordered(section):
    return [(who, section[who]) for who in ("program", "realtime", "reference") if who in section]


def _over_floor(results, who, at_call_s):
    """A row's p99 at the call over the floor's p99 under its policy."""
    floor = results.get("floor", {}).get("realtime" if who == "realtime" else "program")
    p99s = [summary_ms(delays)["p99"] for delays in (at_call_s, floor["wakeups_s"] if floor else [])]
    return "%.2f" % (p99s[0] / p99s[1]) if None not in p99s and p99s[1] > 0 else "-"


def _name(part, who):
    return NAMES[part] + (" under SCHED_FIFO" if who == "realtime" else "")


def late_calls(data, late_s=0.0002):
    """Where the calls over 0.2 ms late lost their time (docs/performance.md)."""
    late = [i for i, at in enumerate(data["at_call_s"]) if at > late_s]
    woke = [i for i in late if data["woke_s"][i] > 0]
    held = [i for i in late if i not in woke and data["seen_s"][i] > late_s]
    gaps = [1000 * (data["seen_s"][i] - data["before_s"][i]) for i in held] or [0]
    over = summary_ms(data["overshoot_s"])
    return ("%d calls over 0.2 ms: %d woke after the turn (%d from a sleep meant to end 3 ms or more before it), %d "
            "held in the poll (up to %.3f ms without a reading across the turn), %d after the reading that saw the "
            "turn; its last sleeps ended p50 %.3f, p99 %.3f, max %.3f ms late"
            % (len(late), len(woke), sum(1 for i in woke if data["planned_s"][i] < -0.003), len(held), max(gaps),
               len(late) - len(woke) - len(held), over["p50"], over["p99"], over["max"]))


def format_table(machine, results, load=None, cores=None):
    lines = [TITLES[machine], ""] + ([load, ""] if load else [])
    if cores:
        lines += ["The machine's cores meanwhile: %.1f %% busy (all work, the bench's own too), %.2f %% taken by "
                  "the host (steal)." % cores, ""]
    lines.append("  %-26s %5s %30s   %30s  %7s  %6s" % ("", "", "at the program's call, ms", "delivered, ms", "",
                                                       "p99 at"))
    lines.append(ROW % ("", "n", "p50", "p99", "max", "<=1ms%", "p50", "p99", "max", "<=1ms%", "CPU %", "/floor"))
    if "floor" in results:
        lines.append("machine floor: cyclictest's wake-ups every 5 ms, how late each came after its moment")
        for who, data in _ordered(results["floor"]):
            lines.append((ROW % ((NAMES.get(who, FLOOR), len(data["wakeups_s"])) + tuple(_figures(data["wakeups_s"]))
                                 + ("",) * 6)).rstrip())
    for part in ("sender", "broadcaster"):
        if part in results:
            lines.append(HEADINGS[part])
            for who, data in _ordered(results[part]):
                lines.append(ROW % ((NAMES.get(who, NAMES[part]), len(data["delivered_s"])) +
                                    tuple(_figures(data["at_call_s"]) + _figures(data["delivered_s"])) +
                                    (_number(data["cpu"].percent()), _over_floor(results, who, data["at_call_s"]))))
    if "setter" in results:
        lines.append("clock setter /R against the virtual clock: frames taken, CPU while waiting for the minute")
        lines.append(SETTER_ROW % ("", "one a second", "back to back", "CPU %"))
        for who, s in _ordered(results["setter"]):
            taken = ["%d/%d %5.1f %%" % (s[t], s[n], 100.0 * s[t] / s[n]) if s[n] else "-"
                     for t, n in (("taken_1s", "sent_1s"), ("taken_b2b", "sent_b2b"))]
            lines.append(SETTER_ROW % (NAMES.get(who, NAMES["setter"]), *taken, _number(s["cpu"].percent())))
    programs = [(part, who, data) for part, section in results.items() for who, data in _ordered(section)
                if who != "reference" and part != "floor"]
    lines.append("")
    startup = ["%s %.1f" % (_name(part, who), data["startup_cpu_ms"]) for part, who, data in programs
               if data.get("startup_cpu_ms") is not None]
    if startup:
        lines.append("  Start-up CPU, ms (to the first frame; the clock setter: to its port open, the most of its"
                     " trials): " + "; ".join(startup) + ".")
    for part, who, data in programs:
        if part == "broadcaster" and data["rss_kib"]:
            lines.append("  %s: %d seconds without a datagram; VmRSS %s KiB (settled, end)."
                         % (_name(part, who), data["skipped_seconds"], " / ".join(map(str, data["rss_kib"]))))
        if data.get("at_call_s"):
            lines.append("  %s: %s" % (_name(part, who), late_calls(data)))
    faults = [sum(data["cpu"].faults[i] for _, _, data in programs) for i in (0, 1)]
    lines.append("  Page faults of the programs while measured: %d minor, %d major." % tuple(faults))
    lines.append("  <=1ms%: share of the delays within 1 ms. p99 is the nearest rank (the largest of fewer than")
    lines.append("  100). CPU %: one core's share from /proc/PID/schedstat over the turns measured; the sender's")
    lines.append("  turns come once a second, so its figure is an upper bound of a wait for the minute. p99 at /floor:")
    lines.append("  the p99 at the call over that of the machine floor's wake-ups under the same policy meanwhile.")
    return "\n".join(lines)


def plot_delays(machine, results, out_dir):
    """One PNG per program: the delays at the call (left) and delivered
    (right) of each side, on logarithmic axes of ms. Returns the paths."""
    os.environ.setdefault("MPLCONFIGDIR", tempfile.mkdtemp(prefix="bench-mpl-"))
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy

    written = []
    for part in ("sender", "broadcaster"):
        section = results.get(part, {})
        values = [d * 1000 for data in section.values() for key in ("at_call_s", "delivered_s") for d in data[key]
                  if d > 0]
        if not values:
            continue
        bins = numpy.geomspace(min(values) / 1.2, max(values) * 1.2, 40)
        figure, panels = plt.subplots(1, 2, figsize=(10, 4.0), dpi=100, sharey=True)
        for axes, key, what in zip(panels, ("at_call_s", "delivered_s"), ("at the program's call", "delivered")):
            for (who, data), colour in zip(_ordered(section), ("tab:blue", "tab:green", "tab:orange")):
                ms = [d * 1000 for d in data[key] if d > 0]
                if ms:
                    s = summary_ms(data[key])
                    axes.hist(ms, bins=bins, alpha=0.6, color=colour,
                              label="%s: n %d, p99 %.3f ms" % (NAMES.get(who, "program").strip(), s["n"], s["p99"]))
                    axes.axvline(s["p99"], color=colour, linestyle="--", linewidth=1)
            axes.set_xscale("log")
            axes.set_xlabel("ms after the turn, %s (dashed: p99)" % what)
            axes.legend(fontsize=7)
        panels[0].set_ylabel("count")
        figure.suptitle("%s, %s" % (NAMES[part], TITLES[machine]), fontsize=10)
        figure.tight_layout()
        path = os.path.join(out_dir, "delays-%s-%s.png" % (machine, part))
        figure.savefig(path)
        plt.close(figure)
        written.append(path)
    return written


def as_json(results):
    """The figures and every sample, for later reading."""
    out = {}
    for part, section in results.items():
        out[part] = {}
        for who, data in section.items():
            entry = {k: v.as_dict() if hasattr(v, "as_dict") else v for k, v in data.items()}
            for key in ("at_call_s", "delivered_s", "wakeups_s"):
                if key in data:
                    entry[key.replace("_s", "_summary_ms")] = summary_ms(data[key])
            out[part][who] = entry
    return out
