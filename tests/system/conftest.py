"""pytest set-up for the system tests: refuses to run outside the sandbox,
and gives every test file the rig's fixtures. The API is described in
rig/__init__.py; in short:

    def test_something(programs, serial_ports):
        ports = serial_ports(1, 2)
        sender = programs.run("serial_time_sender_8bit", "/2")
        assert sender.returncode == 0
        assert ports[2].read_exact(35, timeout=programs.patience).startswith(b"*")
        ports[1].assert_no_more_bytes()
"""

import shutil
import tempfile
from pathlib import Path

import pytest

from rig import Display, Runner, SerialPorts, WineSession, ensure_template
from rig.ports import link_of
from rig.sandbox_check import refusal_message, sandbox_problems

REPO = Path(__file__).resolve().parents[2]


def pytest_addoption(parser):
    group = parser.getgroup("time family rig")
    group.addoption("--platform", choices=("linux", "linux-arm64", "windows"), default="linux",
                    help="test the Linux builds natively, the Linux arm64 builds under qemu-aarch64 "
                         "or the Windows builds under Wine")
    group.addoption("--linux-bin", default=None, help="default build/linux/bin (build/linux-arm64/bin)")
    group.addoption("--windows-bin", default=str(REPO / "build" / "windows" / "bin"))
    group.addoption("--wine-template", default=None,
                    help="template prefix (default: wine-template beside the Windows bin folder)")


def pytest_sessionstart(session):
    # Before anything is collected or started: the programs must never run
    # on the machine's network or near its serial ports.
    problems = sandbox_problems()
    if problems:
        pytest.exit(refusal_message(problems), returncode=3)
    session.config.rig_timings = {}


def pytest_terminal_summary(terminalreporter, config):
    timings = getattr(config, "rig_timings", {})
    if timings:
        terminalreporter.write_line("rig: " + ", ".join("%s %.1f s" % item for item in timings.items()))


@pytest.fixture(scope="session")
def platform(pytestconfig):
    # The system the programs are built for: the arm64 builds are Linux ones.
    return "windows" if pytestconfig.getoption("platform") == "windows" else "linux"


@pytest.fixture(scope="session")
def rig_workdir():
    folder = Path(tempfile.mkdtemp(prefix="time-family-rig-"))
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture(scope="session")
def session_ports():
    ports = SerialPorts()
    yield ports
    ports.remove_all()


@pytest.fixture(scope="session")
def wine(platform, pytestconfig, rig_workdir, request):
    if platform != "windows":
        yield None
        return
    # The session's desktop is made on the private display (see WineSession.start).
    display = request.getfixturevalue("display")
    windows_bin = Path(pytestconfig.getoption("windows_bin"))
    template = pytestconfig.getoption("wine_template") or windows_bin.parent / "wine-template"
    timings = pytestconfig.rig_timings
    made = ensure_template(template)
    if made:
        timings["wine template made"] = made
    session = WineSession(template, rig_workdir / "wine")
    try:
        timings["wine session start"] = session.start(display.name)
        yield session
    finally:
        session.close()


@pytest.fixture(scope="session")
def programs(platform, pytestconfig, rig_workdir, session_ports, wine):
    build = pytestconfig.getoption("platform")
    bin_dir = pytestconfig.getoption("windows_bin") if platform == "windows" else \
        pytestconfig.getoption("linux_bin") or str(REPO / "build" / build / "bin")
    folder = rig_workdir / "programs"
    folder.mkdir()
    runner = Runner(build, bin_dir, folder, session_ports, wine)
    yield runner
    runner.stop_all()


@pytest.fixture
def serial_ports(session_ports):
    created = []

    def make(*coms):
        ports = session_ports.create(*coms)
        created.extend(ports)
        return ports

    def link(com, dangling=False):
        created.append(link_of(com))
        return session_ports.link(com, dangling)

    make.link = link
    make.pull_out = session_ports.pull_out
    yield make
    session_ports.remove(*created)


@pytest.fixture
def linux_only(platform):
    if platform != "linux":
        pytest.skip("Wine maps COM names through its own port registry, not /dev/com links")


@pytest.fixture(autouse=True)
def _stop_programs_of_test(programs, serial_ports):
    # Set up after serial_ports, so torn down before it: a program still
    # running at the end of its test is stopped before its ports go away.
    # Programs of module or session fixtures started earlier are left alone.
    first = len(programs.programs)
    yield
    for program in programs.programs[first:]:
        program.stop()


@pytest.fixture(scope="session")
def display():
    screen = Display()
    yield screen
    screen.close()
