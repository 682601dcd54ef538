"""The release archives: what they hold, their checksums, and the same bytes
when the programs are built and packed again from the same commit."""

import hashlib
import io
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


def pack(out, windows_bin=ROOT / "build" / "windows" / "bin"):
    subprocess.run([str(ROOT / "scripts" / "make-dist"), "--out", str(out), "--windows-bin", str(windows_bin)],
                   check=True, stdout=subprocess.DEVNULL)
    return out / "time-family-windows.zip", out / "time-family-linux.tar.gz"


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
