"""The release archives: what they hold, their checksums, and the same bytes
when the programs are built and packed again from the same commit; the Debian
package through lintian, systemd-analyze, and an install, the system tests and a
purge in a throw-away root inside the sandbox."""

import hashlib
import io
import os
import subprocess
import tarfile
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
WINDOWS_PROGRAMS = {"serial_time_sender_8bit.exe", "serial_time_sender_7bit.exe", "udp_time_broadcaster.exe",
                    "clock_setter_7bit.exe", "clock_setter_8bit.exe", "udp_time_receiver.exe"}
LINUX_PROGRAMS = {name[:-4] for name in WINDOWS_PROGRAMS}
MAN_PAGES = {"serial_time_sender.1", "serial_time_sender_8bit.1", "serial_time_sender_7bit.1",
             "clock_setter.1", "clock_setter_8bit.1", "clock_setter_7bit.1",
             "udp_time_broadcaster.1", "udp_time_receiver.1"}
SANDBOX = str(ROOT / "tests" / "system" / "sandbox")
UNITS = ["serial-time-sender@.service", "clock-setter@.service", "udp-time-broadcaster.service"]
DOCS = ["README.md", "serial_time_sender.md", "udp_time_broadcaster.md", "clock_setter.md", "udp_time_receiver.md",
        "debian.md", "copyright", "changelog.gz", "examples/60-time-family-serial.rules"]
DEB_FILES = ({"usr/bin/" + name for name in LINUX_PROGRAMS} | {"usr/share/man/man1/%s.gz" % p for p in MAN_PAGES}
             | {"usr/share/doc/time-family/" + name for name in DOCS} | {"lib/systemd/system/" + u for u in UNITS})


def pack(out, windows_bin=ROOT / "build" / "windows" / "bin"):
    subprocess.run([str(ROOT / "scripts" / "make-dist"), "--out", str(out), "--windows-bin", str(windows_bin)],
                   check=True, stdout=subprocess.DEVNULL)
    return out / "time-family-windows.zip", out / "time-family-linux.tar.gz", *out.glob("time-family_*.deb")


@pytest.fixture(scope="module")
def archives(tmp_path_factory):
    return pack(tmp_path_factory.mktemp("dist"))


def test_windows_zip_holds_the_six_programs_a_guide_and_their_checksums(archives):
    with zipfile.ZipFile(archives[0]) as archive:
        names = {Path(n).name: n for n in archive.namelist()}
        assert set(names) == WINDOWS_PROGRAMS | {"USAGE.txt", "SHA256SUMS"}
        sums = {}
        for line in archive.read(names["SHA256SUMS"]).decode().splitlines():
            digest, name = line.split("  ")
            sums[name] = digest
        assert set(sums) == WINDOWS_PROGRAMS | {"USAGE.txt"}
        for name, digest in sums.items():
            assert hashlib.sha256(archive.read(names[name])).hexdigest() == digest, name
        for program in WINDOWS_PROGRAMS:
            data = archive.read(names[program])
            assert data == (ROOT / "build" / "windows" / "bin" / program).read_bytes()
            assert data[:2] == b"MZ"
        usage = archive.read(names["USAGE.txt"]).decode()
        for program in ("serial_time_sender", "udp_time_broadcaster", "clock_setter", "udp_time_receiver"):
            assert "# " + program in usage


def test_linux_tarball_holds_the_programs_and_their_manual_pages(archives):
    with tarfile.open(archives[1]) as archive:
        members = {m.name: m for m in archive.getmembers()}
    programs = {Path(n).name for n in members if "/bin/" in n}
    pages = {Path(n).name for n in members if "/share/man/man1/" in n}
    assert programs == LINUX_PROGRAMS
    assert pages == MAN_PAGES
    assert all(m.uid == 0 and m.gid == 0 for m in members.values())
    assert len({m.mtime for m in members.values()}) == 1


def test_building_and_packing_again_gives_the_same_bytes(archives, tmp_path):
    # A fresh build of the Windows programs in another folder, packed again.
    build = tmp_path / "windows"
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-G", "Ninja",
                    "--toolchain", str(ROOT / "cmake" / "mingw-i686.cmake"), "-DCMAKE_BUILD_TYPE=Release"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build), "-j2"], check=True, stdout=subprocess.DEVNULL)
    again = pack(tmp_path / "dist", windows_bin=build / "bin")
    for first, second in zip(archives, again):
        assert first.read_bytes() == second.read_bytes(), first.name


def test_lintian_finds_no_error_and_no_warning(archives):
    found = subprocess.run(["lintian", "--fail-on", "error,warning", str(archives[2])], capture_output=True, text=True)
    assert found.returncode == 0, found.stdout + found.stderr


def tree_of(root):
    """Every path under root but dpkg's own database."""
    return {str(p.relative_to(root)) for p in root.rglob("*") if not str(p.relative_to(root)).startswith("var/lib/dpkg")}


def dpkg(root, *args):
    # Without chroot, the maintainer scripts see DPKG_ROOT and leave systemd alone; the
    # libraries depended on are this machine's, which the root's database does not list.
    # The log would go to the machine's /var/log/dpkg.log.
    done = subprocess.run([SANDBOX, "dpkg", "--root", str(root), "--log=/dev/null", "--force-script-chrootless",
                           "--force-depends", *args], capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.fixture(scope="module")
def installed(archives, tmp_path_factory):
    """A root with an empty dpkg database, a mount point for this machine's units, the
    folder of `systemctl enable` and the tests' clock-write recorder; the package
    installed into it. The tests below use it in turn; the last one purges it."""
    root = tmp_path_factory.mktemp("root")
    for folder in ("var/lib/dpkg/info", "var/lib/dpkg/updates", "usr/lib/systemd/system",
                   "etc/systemd/system/multi-user.target.wants"):
        (root / folder).mkdir(parents=True)
    (root / "var/lib/dpkg/status").touch()
    (root / "usr/lib/clock_write_recorder.so").symlink_to(ROOT / "build" / "linux" / "lib" / "clock_write_recorder.so")
    before = tree_of(root)
    dpkg(root, "--install", str(archives[2]))
    assert {path for path in tree_of(root) - before if (root / path).is_file()} == DEB_FILES
    assert {path for path in DEB_FILES if os.access(root / path, os.X_OK)} == {"usr/bin/" + p for p in LINUX_PROGRAMS}
    return root, before


def test_every_unit_passes_verify_and_rates_ok_or_better(installed):
    root, _ = installed
    units = [str(root / "lib/systemd/system" / unit) for unit in UNITS]
    # The targets the units name are this machine's; programs and pages the root's.
    verify = "mount --bind -o ro /lib/systemd/system %s/usr/lib/systemd/system && systemd-analyze verify --root=%s \"$@\""
    checked = subprocess.run([SANDBOX, "/bin/sh", "-c", verify % (root, root), "verify", *units], capture_output=True,
                             text=True, env={**os.environ, "MANPATH": str(root / "usr/share/man")})
    assert (checked.returncode, checked.stdout + checked.stderr) == (0, "")
    for unit in units:
        # Exposure 4.0 of 10 is the highest that systemd still calls "OK".
        rated = subprocess.run(["systemd-analyze", "security", "--offline=yes", "--threshold=40", unit],
                               capture_output=True, text=True)
        assert rated.returncode == 0, rated.stdout.splitlines()[-1:]


def test_the_installed_programs_pass_system_tests_from_their_installed_paths(installed):
    root, _ = installed
    tests = ["test_serial_time_sender.py", "test_clock_setter.py", "test_udp_time_broadcaster.py",
             "-k", "one_frame or dev_com or without_a_display or 24_network"]
    run = subprocess.run([SANDBOX, "/usr/bin/python3", "-m", "pytest", "-p", "no:cacheprovider", "-q", *tests,
                          "--platform=linux", "--linux-bin=%s/usr/bin" % root],
                         cwd=ROOT / "tests" / "system", capture_output=True, text=True)
    assert run.returncode == 0 and " passed" in run.stdout, run.stdout[-4000:]


def test_purging_the_package_leaves_the_root_as_it_was(installed):
    root, before = installed
    # As `systemctl enable serial-time-sender@2` would have left it.
    (root / "etc/systemd/system/multi-user.target.wants/serial-time-sender@2.service").symlink_to(
        "/lib/systemd/system/serial-time-sender@.service")
    dpkg(root, "--purge", "time-family")
    assert tree_of(root) == before
    assert "time-family" not in (root / "var/lib/dpkg/status").read_text()
