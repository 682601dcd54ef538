"""What a program asked of its serial line, read from an strace log.

A pseudo-terminal forces 8 data bits and no parity whatever is asked, so the
settings cannot be read back from the line; the requests themselves can. The
runner starts a program under

    strace -ff -ttt -qq -v -y -X raw --seccomp-bpf -e trace=ioctl -o PREFIX

(-y prints the path behind each descriptor, so a port is recognised whether
the program opened it itself or, as under Wine, received it from the
wineserver). parse_line_requests() turns the log into LineRequest records,
one per termios write (TCSETS, TCSETSW, TCSETSF, or their termios2 forms
TCSETS2, TCSETSW2, TCSETSF2) or modem-line change (TIOCMBIS, TIOCMBIC,
TIOCMSET) on a /dev/ttyS* device, in time order.

Wine 10 (Debian 13) sets a line through termios2: the baud rate field holds
BOTHER and the rate itself stands in c_ospeed; glibc may do the same one day.
"""

import dataclasses
import glob
import re
import termios

# The termios2 requests, _IOW('T', 0x2B..0x2D, struct termios2) of 44 bytes,
# are the same numbers on x86 and arm64; Python's termios does not name them.
TERMIOS_WRITES = {termios.TCSETS: "TCSETS", termios.TCSETSW: "TCSETSW", termios.TCSETSF: "TCSETSF",
                  0x402C542B: "TCSETS2", 0x402C542C: "TCSETSW2", 0x402C542D: "TCSETSF2"}
BOTHER = 0o010000  # the baud rate field's "the rate is in c_ospeed"
MODEM_LINE_WRITES = {termios.TIOCMBIS: "TIOCMBIS", termios.TIOCMBIC: "TIOCMBIC", termios.TIOCMSET: "TIOCMSET"}

BAUD_RATES = {getattr(termios, name): int(name[1:]) for name in dir(termios)
              if re.fullmatch(r"B\d+", name)}
DATA_BITS = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}

LINE = re.compile(r"^(?:(?P<time>\d+\.\d+) )?ioctl\((?P<fd>\d+)<(?P<path>[^>]*)>, (?P<request>0x[0-9a-f]+|\d+)"
                  r"(?:, (?P<arg>.*))?\) += (?P<result>-?\d+)")


def flag_value(text):
    """'0xd|0x30|0x880' or '0x1000|0x1000<<0x10|0x30' (strace -X raw) or '' ->
    the integer they make up."""
    value = 0
    for part in re.findall(r"(0x[0-9a-fA-F]+|\d+)(?:<<(0x[0-9a-fA-F]+|\d+))?", re.sub(r"/\*.*?\*/", "", text)):
        value |= int(part[0], 0) << (int(part[1], 0) if part[1] else 0)
    return value


def termios_field(arg, name):
    match = re.search(r"\b%s=([^,}]*)" % name, arg)
    return flag_value(match.group(1)) if match else 0


@dataclasses.dataclass
class LineRequest:
    time: float
    pid: int
    device: str
    request: str
    ok: bool
    iflag: int = 0
    oflag: int = 0
    cflag: int = 0
    lflag: int = 0
    ospeed: int = 0  # termios2's output rate, which counts where the baud rate field says BOTHER
    modem_lines: int = 0  # TIOCM_* bits of a modem-line change

    @property
    def com(self):
        return int(self.device[len("/dev/ttyS"):]) + 1

    @property
    def is_termios(self):
        return self.request in TERMIOS_WRITES.values()

    @property
    def baud(self):
        if self.cflag & termios.CBAUD == BOTHER:
            return self.ospeed
        return BAUD_RATES.get(self.cflag & termios.CBAUD)

    @property
    def data_bits(self):
        return DATA_BITS[self.cflag & termios.CSIZE]

    @property
    def parity(self):
        return bool(self.cflag & termios.PARENB)

    @property
    def parity_check(self):
        return bool(self.iflag & termios.INPCK)

    @property
    def two_stop_bits(self):
        return bool(self.cflag & termios.CSTOPB)

    @property
    def rts_cts(self):
        return bool(self.cflag & termios.CRTSCTS)

    @property
    def xon_xoff(self):
        """(output flow control IXON, input flow control IXOFF)"""
        return bool(self.iflag & termios.IXON), bool(self.iflag & termios.IXOFF)

    @property
    def dtr(self):
        return bool(self.modem_lines & termios.TIOCM_DTR)

    @property
    def rts(self):
        return bool(self.modem_lines & termios.TIOCM_RTS)

    def __str__(self):
        if self.is_termios:
            return ("%s %s baud=%s bits=%d parity=%s inpck=%s cstopb=%s crtscts=%s ixon/ixoff=%s ok=%s"
                    % (self.request, self.device, self.baud, self.data_bits, self.parity,
                       self.parity_check, self.two_stop_bits, self.rts_cts, self.xon_xoff, self.ok))
        return "%s %s dtr=%s rts=%s ok=%s" % (self.request, self.device, self.dtr, self.rts, self.ok)


def parse_trace_lines(lines, pid=0):
    requests = []
    for line in lines:
        match = LINE.match(line)
        if not match or not match.group("path").startswith("/dev/ttyS"):
            continue
        number = int(match.group("request"), 0)
        arg = match.group("arg") or ""
        when = float(match.group("time") or 0)
        ok = int(match.group("result")) >= 0
        device = match.group("path")
        if number in TERMIOS_WRITES:
            requests.append(LineRequest(when, pid, device, TERMIOS_WRITES[number], ok,
                                        termios_field(arg, "c_iflag"), termios_field(arg, "c_oflag"),
                                        termios_field(arg, "c_cflag"), termios_field(arg, "c_lflag"),
                                        termios_field(arg, "c_ospeed")))
        elif number in MODEM_LINE_WRITES:
            requests.append(LineRequest(when, pid, device, MODEM_LINE_WRITES[number], ok,
                                        modem_lines=flag_value(arg.strip("[]"))))
    return requests


def parse_line_requests(trace_prefix):
    """All requests in the per-process logs PREFIX.<pid>, in time order."""
    requests = []
    for path in glob.glob(glob.escape(trace_prefix) + ".*"):
        pid = int(path.rsplit(".", 1)[1])
        with open(path, errors="replace") as f:
            requests.extend(parse_trace_lines(f, pid))
    requests.sort(key=lambda r: r.time)
    return requests
