"""The system-test rig: the family's real programs, run in the sandbox.

Every system test runs under tests/system/sandbox (see that script): its own
user, network and mount namespaces, only loopback, a private /dev without
the machine's serial ports. conftest.py refuses to run anywhere else.

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
                   not asked for do not exist
    session_ports  the session's SerialPorts, for ports that must outlive a
                   test (module fixtures); remove them yourself
    wine           the session's WineSession (wine.py), or None on Linux
    display        a private Xvfb Display (display.py): .name, .screenshot(path)
    rig_workdir    the session's scratch folder (traces, stderr logs)

Helpers:
    wait_for(predicate, timeout, what)       waiting.py
    parse_line_requests / LineRequest        line_requests.py
    sandbox_problems / assert_in_sandbox     sandbox_check.py
"""

from .display import Display
from .line_requests import LineRequest, parse_line_requests, parse_trace_lines
from .ports import Capture, SerialPort, SerialPorts
from .programs import Program, Runner
from .sandbox_check import assert_in_sandbox, refusal_message, sandbox_problems
from .waiting import WaitTimeout, wait_for
from .wine import WineSession, ensure_template
