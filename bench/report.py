"""The bench's table and its histograms."""

import os
import tempfile

from bench_support import summary_ms

ROW = "  %-28s %5s  %8s  %8s  %8s  %8s  %10s"
PLATFORM_TITLES = {"linux": "Linux (native builds)",
                   "windows": "Windows builds under Wine (32-bit, emulated by qemu-i386)",
                   "busy": "Linux (native builds) on a busy machine"}
NAMES = {"realtime": "  under SCHED_FIFO 10", "reference": "polling reference"}


def _number(value, digits=3):
    if value is None:
        return "-"
    if value >= 100:
        return "%.1f" % value
    return "%.*f" % (digits, value)


def _ratio(a, b):
    if a is None or b is None or b == 0:
        return None
    return a / b


def _ratio_text(value):
    if value is None:
        return "-"
    if value < 0.01:
        return "%.1e" % value
    return "%.2f" % value


def _within_1ms(delays_s):
    if not delays_s:
        return None
    return 100.0 * sum(1 for d in delays_s if d <= 0.001) / len(delays_s)


def _delay_rows(label, program_name, section):
    figures = {}
    for who, data in section.items():
        figures[who] = (summary_ms(data["delays_s"]), _within_1ms(data["delays_s"]), data["cpu"].run_percent())
    rows = [label]
    for who, (s, within, cpu) in figures.items():
        rows.append(ROW % (NAMES.get(who, program_name), s["n"], _number(s["p50"]), _number(s["p99"]),
                           _number(s["max"]), _number(within, 1), _number(cpu)))
    reference, within_r, cpu_r = figures["reference"]
    for who in [w for w in figures if w != "reference"]:
        s, within, cpu = figures[who]
        rows.append(ROW % (
            "ratio %s/reference" % ("program" if who == "program" else "SCHED_FIFO"), "",
            _ratio_text(_ratio(s["p50"], reference["p50"])), _ratio_text(_ratio(s["p99"], reference["p99"])),
            _ratio_text(_ratio(s["max"], reference["max"])), _ratio_text(_ratio(within, within_r)),
            _ratio_text(_ratio(cpu, cpu_r))))
    return rows


def _share(taken, sent):
    if not sent:
        return None
    return taken / sent


def _capture_text(taken, sent):
    if not sent:
        return "-"
    return "%d/%d %5.1f %%" % (taken, sent, 100.0 * taken / sent)


def format_table(platform, results, started, load=None):
    lines = ["%s, %s" % (PLATFORM_TITLES[platform], started), ""]
    if load:
        lines += [load, ""]
    lines.append(ROW % ("", "n", "p50 ms", "p99 ms", "max ms", "<=1 ms %", "CPU %"))
    if "sender" in results:
        lines += _delay_rows("serial time sender /R: turn of the minute to the frame's first byte at the pty",
                             "serial_time_sender_8bit", results["sender"])
    if "broadcaster" in results:
        lines += _delay_rows("broadcaster: turn of the second to the datagram at a listener",
                             "udp_time_broadcaster", results["broadcaster"])
    if "setter" in results:
        setters = results["setter"]
        reference = setters["reference"]
        lines.append("clock setter /R against the virtual clock: frames taken, CPU while waiting for the minute")
        lines.append("  %-28s %16s  %16s  %10s" % ("", "one a second", "back to back", "CPU %"))
        for who, s in setters.items():
            lines.append("  %-28s %16s  %16s  %10s" % (NAMES.get(who, "clock_setter_8bit"),
                                                       _capture_text(s["taken_1s"], s["sent_1s"]),
                                                       _capture_text(s["taken_b2b"], s["sent_b2b"]),
                                                       _number(s["cpu"].run_percent())))
        for who in [w for w in setters if w != "reference"]:
            s = setters[who]
            lines.append("  %-28s %16s  %16s  %10s" % (
                "ratio %s/reference" % ("program" if who == "program" else "SCHED_FIFO"),
                _ratio_text(_ratio(_share(s["taken_1s"], s["sent_1s"]),
                                   _share(reference["taken_1s"], reference["sent_1s"]))),
                _ratio_text(_ratio(_share(s["taken_b2b"], s["sent_b2b"]),
                                   _share(reference["taken_b2b"], reference["sent_b2b"]))),
                _ratio_text(_ratio(s["cpu"].run_percent(), reference["cpu"].run_percent()))))
    faults = [(who, data["cpu"].faults) for section in results.values() for who, data in section.items()
              if who != "reference"]
    lines.append("")
    if platform == "busy":
        lines.append("  Page faults of the programs while waiting: %d minor, %d major."
                     % (sum(f[0] for _, f in faults), sum(f[1] for _, f in faults)))
    lines.append("  <=1 ms %: share of the delays within 1 ms. CPU %: share of one core from /proc/PID/schedstat")
    lines.append("  over the waits measured (/proc/PID/stat ticks in the JSON). p99 is the nearest rank: the")
    lines.append("  largest of fewer than 100.")
    return "\n".join(lines)


def plot_delays(platform, results, out_dir):
    """One histogram PNG per program: the program's delays and the
    reference's, on a logarithmic axis of milliseconds. Returns the paths."""
    os.environ.setdefault("MPLCONFIGDIR", tempfile.mkdtemp(prefix="bench-mpl-"))
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy

    written = []
    titles = {"sender": ("serial time sender /R", "turn of the minute to the first byte at the pty"),
              "broadcaster": ("UDP time broadcaster", "turn of the second to the datagram at the listener")}
    for key, (name, what) in titles.items():
        if key not in results:
            continue
        series = [({"program": "program", "realtime": "program, SCHED_FIFO 10"}.get(who, "polling reference"),
                   data["delays_s"]) for who, data in results[key].items()]
        values = [d * 1000.0 for _, delays in series for d in delays if d > 0]
        if not values:
            continue
        low, high = min(values) / 1.2, max(values) * 1.2
        bins = numpy.geomspace(low, high, 40)
        figure, axes = plt.subplots(figsize=(7.5, 4.0), dpi=100)
        for (label, delays), colour in zip(series, ("tab:blue", "tab:green", "tab:orange")
                                           if len(series) == 3 else ("tab:blue", "tab:orange")):
            ms = [d * 1000.0 for d in delays if d > 0]
            if not ms:
                continue
            s = summary_ms(delays)
            axes.hist(ms, bins=bins, alpha=0.6, color=colour,
                      label="%s: n %d, p50 %.3f ms, p99 %.3f ms" % (label, s["n"], s["p50"], s["p99"]))
            axes.axvline(s["p99"], color=colour, linestyle="--", linewidth=1)
        axes.set_xscale("log")
        axes.set_xlabel("delay, ms (log scale; dashed: p99)")
        axes.set_ylabel("count")
        axes.set_title("%s, %s\n%s" % (name, PLATFORM_TITLES[platform], what), fontsize=10)
        axes.legend(fontsize=8)
        figure.tight_layout()
        path = os.path.join(out_dir, "delays-%s-%s.png" % (platform, key))
        figure.savefig(path)
        plt.close(figure)
        written.append(path)
    return written


def as_json(results):
    """The figures and the raw delays, for later reading."""
    out = {}
    for key, section in results.items():
        out[key] = {}
        for who, data in section.items():
            entry = {}
            for name, value in data.items():
                entry[name] = value.as_dict() if hasattr(value, "as_dict") else value
            if "delays_s" in data:
                entry["summary_ms"] = summary_ms(data["delays_s"])
            out[key][who] = entry
    return out
