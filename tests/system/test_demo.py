"""`make demo` in its short form: the whole family against itself, in the
sandbox, with a transcript that shows each program at work and a clean end."""

import os
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def test_short_demo_shows_every_program_at_work_and_ends_cleanly(platform, pytestconfig):
    run = subprocess.run([sys.executable, str(ROOT / "scripts" / "demo.py"),
                          "--platform", pytestconfig.getoption("platform"),
                          "--seconds", "8"], capture_output=True, text=True, timeout=600,
                         env={k: v for k, v in os.environ.items() if k != "DISPLAY"})
    transcript = run.stdout
    assert run.returncode == 0, run.stderr + transcript
    # The sender's frame as read by the clock on COM1, decoded.
    assert re.search(r"COM1 clock +received \*\d{14} {9}1 {9}# +\(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d mode 1\)",
                     transcript), transcript
    # The virtual clock on COM2 and the clock writes the setter asked for.
    assert re.search(r"COM2 clock +sent +\*\d{14} {9}1 {9}#", transcript), transcript
    if platform == "linux":
        assert re.search(r"setter +asks to set the clock: \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.000", transcript), transcript
    # The broadcaster's datagrams on the private loopback.
    assert re.search(r"UDP +127\.0\.0\.1:\d+ -> 127\.0\.0\.255:16000 +'\*\d{14} {9}1 {5}0213#'", transcript), transcript
    assert "screenshot of the window: build/demo/receiver.png" in transcript
    assert (ROOT / "build" / "demo" / "receiver.png").stat().st_size > 0
    # A clean end: every program it started is gone.
    stopped = [int(pid) for pid in re.findall(r"stopping \S+ \(pid (\d+)\)", transcript)]
    assert len(stopped) >= 3, transcript
    for pid in stopped:
        assert not Path("/proc/%d" % pid).exists() or \
            Path("/proc/%d/stat" % pid).read_text().split()[2] == "Z", pid
    assert transcript.rstrip().endswith("done: every program the demo started has ended")
