"""The system-test rig: the family's real programs, run in the sandbox.

Every system test runs under tests/system/sandbox (see that script): its own
user, network, mount and process-id namespaces, only loopback, a private
/dev without the machine's serial ports. conftest.py refuses to run anywhere
else.

pytest options (ctest passes them; see CMakeLists.txt here):
    --platform=linux|windows   which build to test (Windows: under Wine)
    --linux-bin=DIR            default build/linux/bin
    --windows-bin=DIR          default build/windows/bin

Fixtures (conftest.py):
    platform       "linux" or "windows"
    programs       the session's Runner (programs.py): programs.start(name,
                   tail, env=, strace=, faketime=, preload=, display=),
                   programs.run(...), programs.patience (seconds a start may
                   take on this platform); programs still running at the end
                   of a test are stopped by pid
    serial_ports   factory: serial_ports(1, 3) binds fresh pty pairs over
                   COM1 and COM3 (= /dev/ttyS0, /dev/ttyS2) for this test and
                   returns {1: SerialPort, 3: SerialPort} (ports.py); ports
                   not asked for do not exist. serial_ports.link(2): /dev/com2
                   as a link to a fresh pty (link(3, dangling=True): to none)
    linux_only     skips the test under Wine
    session_ports  the session's SerialPorts, for ports that must outlive a
                   test (module fixtures); remove them yourself
    wine           the session's WineSession (wine.py), or None on Linux
    display        a private Xvfb Display (display.py): .name, .screenshot(path)
    rig_workdir    the session's scratch folder (traces, stderr logs)

Helpers:
    wait_for(predicate, timeout, what)       waiting.py
    sleep_until(wall-clock instant)          waiting.py
    wait_clear_of_turn(period, before, after) waiting.py
    parse_line_requests / LineRequest        line_requests.py
    sandbox_problems / assert_in_sandbox     sandbox_check.py

What the pseudo-terminals and Wine do differently from a real COM port (found
by experiment; tests must allow for it):
- A pty keeps CS8 and clears PARENB whatever is asked, so read settings as
  requests (strace). Modem-line ioctls (TIOCMBIS/TIOCMBIC/TIOCMGET) fail with
  ENOTTY on a pty: the requests show in the log with ok=False.
- A Linux build's TIOCEXCL stays on the line while the rig holds its slave;
  the runner clears it once no program of the session runs.
- Wine: each SetCommState becomes several TCSETS; INPCK follows the Parity
  field, not fParity; ONE5STOPBITS becomes CSTOPB (a UART driver would refuse
  it with 7 or 8 data bits); a port opened with share mode 0 can still be
  opened by a second program; the device is opened by the wineserver, which
  lets go of it a moment after the program's process has gone.
- Where the kernel has no ia32 emulation, Wine's 32-bit loader runs under
  qemu-i386 (see tests/system/sandbox): a Windows program takes 2 to 4 s to
  start, hence programs.patience. The wineserver and Wine's own services are
  64-bit and native.
"""

from .display import Display
from .line_requests import LineRequest, parse_line_requests, parse_trace_lines
from .ports import Capture, SerialPort, SerialPorts
from .programs import Program, Runner
from .sandbox_check import assert_in_sandbox, refusal_message, sandbox_problems
from .waiting import WaitTimeout, sleep_until, wait_clear_of_turn, wait_for
from .wine import WineSession, ensure_template
