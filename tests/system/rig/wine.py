"""Wine for the Windows builds: a template prefix per build, a private
prefix per test session.

Making a prefix (wineboot --init) takes tens of seconds, so it is done once
per build into <windows build dir>/wine-template (remade when the Wine
version or the way it is made changes) and each session mounts a copy-on-
write overlay of it. The template is a 64-bit prefix: the wineserver and
Wine's own services then run natively, and only the family's 32-bit
programs go through Wine's 32-bit loader.

Serial ports. When Wine's server starts, its mount manager maps every serial
device it finds (/dev/ttyS0 of the machine is the console) to the next free
COM name, so plain dosdevices symlinks are not enough. The template maps
COM1..COM4 explicitly in HKLM\\Software\\Wine\\Ports to /dev/ttyS0..3; in the
sandbox those paths exist only while a test has bound a pty slave there, so
a port the test did not create cannot be opened, and no COM name can reach
a device of the machine (the sandbox's /dev holds none).

WineSession starts a persistent wineserver and Wine's services before any
program runs, so that a traced program's strace follows only the program,
and ends them all with `wineserver -k` on its own prefix.
"""

import fcntl
import os
import re
import shutil
import subprocess
import time
from pathlib import Path

WINE64 = "/usr/lib/wine/wine64"
# Bump when the template is made differently, so that old ones are remade.
TEMPLATE_FORMAT = "time-family rig template 1"
PORT_DEVICES = {"COM%d" % n: "/dev/ttyS%d" % (n - 1) for n in range(1, 5)}


def wine_environment(prefix, debug="-all"):
    env = {key: value for key, value in os.environ.items() if key != "DISPLAY"}
    env.update(WINEPREFIX=str(prefix), WINEDLLOVERRIDES="mscoree,mshtml=", WINEDEBUG=debug,
               WINEARCH="win64")
    return env


def wine_version():
    return subprocess.run([WINE64, "--version"], capture_output=True, text=True, check=True).stdout.strip()


def set_port_registry(system_reg):
    """Writes COM1..COM4 -> /dev/ttyS0..3 into a prefix's system.reg."""
    text = system_reg.read_text(encoding="utf-8", errors="surrogateescape")
    values = "".join('"%s"="%s"\n' % item for item in PORT_DEVICES.items())
    header = re.compile(r"^\[Software\\\\Wine\\\\Ports\][^\n]*\n(#time=[0-9a-f]+\n)?", re.M)
    match = header.search(text)
    if match:
        # Drop whatever values the key had, then put ours in.
        rest = text[match.end():]
        end = re.search(r"^\s*$", rest, re.M)
        rest = rest[end.start():] if end else ""
        text = text[:match.end()] + values + rest
    else:
        text += "\n[Software\\\\Wine\\\\Ports] 0\n" + values
    system_reg.write_text(text, encoding="utf-8", errors="surrogateescape")


def ensure_template(template):
    """Makes the template prefix unless a current one exists. Returns the
    seconds spent making it (0 when it was already there)."""
    template = Path(template)
    template.parent.mkdir(parents=True, exist_ok=True)
    expected = "%s\n%s\n" % (TEMPLATE_FORMAT, wine_version())
    stamp = template / ".rig-template"
    with open(str(template) + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if stamp.exists() and stamp.read_text() == expected:
            return 0.0
        started = time.monotonic()
        fresh = template.with_name(template.name + ".new")
        shutil.rmtree(fresh, ignore_errors=True)
        env = wine_environment(fresh)
        subprocess.run([WINE64, "wineboot", "--init"], env=env, check=True, timeout=900,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=env, check=True, timeout=300)
        set_port_registry(fresh / "system.reg")
        for link in (fresh / "dosdevices").glob("com*"):
            link.unlink()
        (fresh / ".rig-template").write_text(expected)
        shutil.rmtree(template, ignore_errors=True)
        fresh.rename(template)
        return time.monotonic() - started


class WineSession:
    """A private prefix (overlay of the template) with its wineserver."""

    def __init__(self, template, workdir):
        self.workdir = Path(workdir)
        self.prefix = self.workdir / "prefix"
        for name in ("upper", "work", "prefix"):
            (self.workdir / name).mkdir(parents=True)
        subprocess.run(["mount", "-t", "overlay", "wine-session", "-o",
                        "lowerdir=%s,upperdir=%s,workdir=%s" % (template, self.workdir / "upper",
                                                                self.workdir / "work"),
                        str(self.prefix)], check=True)
        self.env = wine_environment(self.prefix)
        self.started = False

    def start(self, display=None):
        """Starts the wineserver and Wine's services (the mount manager reads
        the port registry then), and the desktop process on `display`: the
        windows of every later program are drawn through the desktop's
        graphics driver, which without a display is none. Returns the
        seconds it took."""
        began = time.monotonic()
        # The server outlives this call; it must not write into pytest's output.
        subprocess.run(["wineserver", "-p"], env=self.env, check=True, timeout=60,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.started = True
        env = {**self.env, "DISPLAY": display} if display else self.env
        subprocess.run([WINE64, "wineboot"], env=env, check=True, timeout=300,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return time.monotonic() - began

    def dos_devices(self):
        """name -> target of the prefix's dosdevices symlinks (c:, com1, ...)."""
        folder = self.prefix / "dosdevices"
        return {link.name: os.readlink(link) for link in folder.iterdir() if link.is_symlink()}

    def close(self):
        if self.started:
            quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            subprocess.run(["wineserver", "-k"], env=self.env, timeout=60, **quiet)
            subprocess.run(["wineserver", "-w"], env=self.env, timeout=60, **quiet)
            self.started = False
        deadline = time.monotonic() + 10
        while subprocess.run(["umount", str(self.prefix)], stderr=subprocess.DEVNULL).returncode != 0:
            if time.monotonic() > deadline:
                break
            time.sleep(0.1)
        shutil.rmtree(self.workdir, ignore_errors=True)


if __name__ == "__main__":
    # python3 -m rig.wine TEMPLATE_DIR: makes the template ahead of the tests.
    import sys

    from .sandbox_check import assert_in_sandbox

    assert_in_sandbox()
    seconds = ensure_template(sys.argv[1])
    print("wine template %s: %s" % (sys.argv[1], "made in %.1f s" % seconds if seconds else "current"))
