"""The release archives, the installer and the Debian package: what they hold, their checksums, the same
bytes when built and packed again from one commit; the Windows programs they ship: imports, size, version and
manifest; and the Debian package's contents and lintian's verdict (tests/machine installs it on a booted
guest)."""

import hashlib
import io
import os
import re
import subprocess
import tarfile
import xml.etree.ElementTree as ElementTree
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
WINDOWS_PROGRAMS = {"serial_time_sender_8bit.exe", "serial_time_sender_7bit.exe", "udp_time_broadcaster.exe",
                    "clock_setter_7bit.exe", "clock_setter_8bit.exe", "udp_time_receiver.exe"}
TASKS = {"tasks/%s.xml" % name for name in ("udp_time_broadcaster", "serial_time_sender", "clock_setter")}
LINUX_PROGRAMS = {name[:-4] for name in WINDOWS_PROGRAMS}
MAN_PAGES = {"serial_time_sender.1", "serial_time_sender_8bit.1", "serial_time_sender_7bit.1",
             "clock_setter.1", "clock_setter_8bit.1", "clock_setter_7bit.1",
             "udp_time_broadcaster.1", "udp_time_receiver.1"}
UNITS = ["serial-time-sender@.service", "clock-setter@.service", "udp-time-broadcaster.service"]
DOCS = ["README.md", "serial_time_sender.md", "udp_time_broadcaster.md", "clock_setter.md", "udp_time_receiver.md",
        "debian.md", "copyright", "changelog.gz", "examples/60-time-family-serial.rules"]
DEB_FILES = ({"usr/bin/" + name for name in LINUX_PROGRAMS} | {"usr/share/man/man1/%s.gz" % p for p in MAN_PAGES}
             | {"usr/share/doc/time-family/" + name for name in DOCS} | {"lib/systemd/system/" + u for u in UNITS})


def pack(out, windows_bin=ROOT / "build" / "windows" / "bin"):
    subprocess.run([str(ROOT / "scripts" / "make-dist"), "--out", str(out), "--windows-bin", str(windows_bin)],
                   check=True, stdout=subprocess.DEVNULL)
    return (out / "time-family-windows.zip", out / "time-family-linux.tar.gz", out / "time-family-windows.msi",
            *out.glob("time-family_*.deb"))


@pytest.fixture(scope="module")
def archives(tmp_path_factory):
    return pack(tmp_path_factory.mktemp("dist"))


def test_windows_zip_holds_the_six_programs_a_guide_and_their_checksums(archives):
    with zipfile.ZipFile(archives[0]) as archive:
        names = {n.split("/", 1)[1]: n for n in archive.namelist()}
        assert set(names) == WINDOWS_PROGRAMS | TASKS | {"USAGE.txt", "LICENSE.txt", "SHA256SUMS"}
        sums = {}
        for line in archive.read(names["SHA256SUMS"]).decode().splitlines():
            digest, name = line.split("  ")
            sums[name] = digest
        assert set(sums) == WINDOWS_PROGRAMS | TASKS | {"USAGE.txt", "LICENSE.txt"}
        for name, digest in sums.items():
            assert hashlib.sha256(archive.read(names[name])).hexdigest() == digest, name
        for program in WINDOWS_PROGRAMS:
            data = archive.read(names[program])
            assert data == (ROOT / "build" / "windows" / "bin" / program).read_bytes()
            assert data[:2] == b"MZ"
        usage = archive.read(names["USAGE.txt"]).decode()
        for program in ("serial_time_sender", "udp_time_broadcaster", "clock_setter", "udp_time_receiver"):
            assert "# " + program in usage
        assert archive.read(names["LICENSE.txt"]).decode() == (ROOT / "LICENSE").read_text().replace("\n", "\r\n")


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


def test_msi_installs_the_six_programs_and_the_guide_upgradable_in_place(archives):
    def table(name):
        text = subprocess.run(["msiinfo", "export", str(archives[2]), name], capture_output=True, text=True,
                              check=True).stdout
        return [line.split("\t") for line in text.splitlines()[3:]]
    assert {row[2].split("|")[-1] for row in table("File")} == (WINDOWS_PROGRAMS | {"USAGE.txt", "LICENSE.txt"}
                                                                 | {t[6:] for t in TASKS})
    properties = dict(row[:2] for row in table("Property"))
    assert properties["UpgradeCode"] == "{85A1908F-B7B2-44AE-8DEB-5F3494DB1652}"
    assert properties["ProductVersion"] == PROJECT_VERSION and properties["ALLUSERS"] == "1"
    assert [row[4] for row in table("Shortcut")] == ["[INSTALLDIR]udp_time_receiver.exe"]


def calls(text):
    """Groups "DLL: name name ...", separated by ";", as DLL:name."""
    return {"%s.DLL:%s" % (dll.strip(), name) for group in text.split(";") for dll, names in [group.split(":")]
            for name in names.split()}


# What each program's own code calls (its platform sources, the seam's timer
# resolution and broadcast permission included), and what the static C and
# C++ runtime of every program needs.
SERIAL = "KERNEL32: CreateFileA GetCommState SetCommState GetCommProperties SetupComm CloseHandle GetCommandLineA"
CLOCK = "KERNEL32: GetLocalTime QueryPerformanceCounter QueryPerformanceFrequency Sleep; WINMM: timeBeginPeriod"
SOCKETS = "WS2_32: WSAStartup WSACleanup socket select closesocket htons"
OWN_CALLS = {
    "serial_time_sender": calls(SERIAL + "; KERNEL32: WriteFile;" + CLOCK),
    "clock_setter": calls(SERIAL + " ClearCommError ReadFile SetLocalTime SetSystemTime GetSystemTimeAsFileTime "
                          "GetTimeZoneInformation SystemTimeToFileTime FileTimeToSystemTime "
                          "SystemTimeToTzSpecificLocalTime; USER32: MessageBoxA;" + CLOCK),
    "udp_time_broadcaster": calls(CLOCK + ";" + SOCKETS + " gethostbyname gethostname sendto setsockopt; "
                                  "USER32: MessageBeep"),
    "udp_time_receiver": calls(SOCKETS + " bind recvfrom htonl ntohs; KERNEL32: CreateThread CloseHandle "
                               "ExitProcess GetModuleHandleA MulDiv; USER32: CreateDialogIndirectParamA "
                               "CreateWindowExA DestroyWindow DispatchMessageA GetDlgItem GetMessageA GetWindowRect "
                               "IsDialogMessageA IsWindow MapDialogRect MessageBeep SendMessageA SetWindowLongA "
                               "SetWindowTextA ShowWindow TranslateMessage"),
}
RUNTIME = calls(
    "KERNEL32: CloseHandle DeleteCriticalSection EnterCriticalSection FreeLibrary "
    "GetLastError GetModuleHandleA GetProcAddress InitializeCriticalSection LeaveCriticalSection "
    "LoadLibraryA SetLastError SetUnhandledExceptionFilter Sleep TlsAlloc TlsFree TlsGetValue "
    "TlsSetValue VirtualProtect VirtualQuery; MSVCRT: __getmainargs __initenv "
    "__p__commode __p__fmode __set_app_type __setusermatherr _amsg_exit _cexit _errno _initterm _iob _onexit abort "
    "calloc exit fprintf free fwrite malloc memchr memcmp memcpy memmove memset realloc signal strcmp strlen strncmp "
    "strtol vfprintf")
# What the runtime of each MinGW GCC adds: GCC 12's (Debian 12) guards a function's static with semaphores,
# GCC 14's (Debian 13) with condition variables, and its exception pool reads GLIBCXX_TUNABLES.
RUNTIME_OF_GCC = {
    "12": calls("KERNEL32: CreateSemaphoreW GetCurrentThreadId GetStartupInfoA ReleaseSemaphore WaitForSingleObject; "
                "MSVCRT: __p__acmdln"),
    "14": calls("KERNEL32: GetSystemTimeAsFileTime GetThreadId InitializeConditionVariable SleepConditionVariableCS "
                "TryEnterCriticalSection WakeAllConditionVariable WakeConditionVariable; MSVCRT: getenv strchr strtoul"),
}
MINGW_GCC = re.match(r"\d+", subprocess.run(["i686-w64-mingw32-gcc", "-dumpversion"], capture_output=True,
                                              text=True, check=True).stdout).group(0)
PROJECT_VERSION = re.search(r"project\(\s*\S+\s+VERSION\s+([0-9.]+)", (ROOT / "CMakeLists.txt").read_text()).group(1)
SUPPORTED_OS = {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}


def imports_of(path):
    """DLL:function for each entry of the program's import table. binutils 2.40 (Debian 12) lists an entry
    as "vma hint name", 2.44 (Debian 13) as "vma ordinal hint name" with "<none>" for the ordinal."""
    dump = subprocess.run(["i686-w64-mingw32-objdump", "-p", str(path)], capture_output=True, text=True,
                          check=True).stdout.split("PE File Base Relocations")[0]
    return {"%s:%s" % (dll.upper(), name) for dll, block in re.findall(r"DLL Name: (\S+)\n(.*?)\n\n", dump, re.S)
            for name in re.findall(r"^\s+[0-9a-f]+\s+(?:<none>\s+)?[0-9a-f]+\s+(\S+)$", block, re.M)}


@pytest.mark.parametrize("program", sorted(WINDOWS_PROGRAMS))
def test_windows_program_imports_what_it_calls_and_describes_itself(program):
    path = ROOT / "build" / "windows" / "bin" / program
    data = path.read_bytes()
    assert len(data) <= 128 * 1024
    own, imports = OWN_CALLS[re.sub(r"_[78]bit", "", program[:-4])], imports_of(path)
    assert MINGW_GCC in RUNTIME_OF_GCC, "the runtime of MinGW GCC %s: say here what it imports" % MINGW_GCC
    assert own <= imports and imports - own - RUNTIME - RUNTIME_OF_GCC[MINGW_GCC] == set()

    version = dict(re.findall(r"(FileDescription|FileVersion|LegalCopyright|OriginalFilename|ProductName|"
                              r"ProductVersion)\x00+([^\x00]+)", data.decode("utf-16-le", errors="replace")))
    bits = re.search(r"[78]bit", program)
    assert (bits.group(0)[0] + "-bit" if bits else "UDP time") in version.pop("FileDescription")
    assert version == {"FileVersion": PROJECT_VERSION, "OriginalFilename": program,
                       "ProductName": "Quorvant time family", "ProductVersion": PROJECT_VERSION,
                       "LegalCopyright": "Copyright (c) 2026 The time family developers; MIT License"}

    ns = {"a": "urn:schemas-microsoft-com:asm.v1", "b": "urn:schemas-microsoft-com:asm.v3",
          "c": "urn:schemas-microsoft-com:compatibility.v1", "w": "http://schemas.microsoft.com/SMI/2005/WindowsSettings"}
    manifest = ElementTree.fromstring(re.search(rb"<\?xml.*?</assembly>", data, re.S).group(0))
    assert manifest.find(".//b:requestedExecutionLevel", ns).get("level") == "asInvoker"
    assert {e.get("Id") for e in manifest.iterfind(".//c:supportedOS", ns)} == SUPPORTED_OS
    windowed = program == "udp_time_receiver.exe"
    assert [(e.get("name"), e.get("version")) for e in manifest.iterfind(".//a:dependentAssembly/a:assemblyIdentity", ns)
            ] == ([("Microsoft.Windows.Common-Controls", "6.0.0.0")] if windowed else [])
    assert [e.text for e in manifest.iterfind(".//w:dpiAware", ns)] == (["true"] if windowed else [])


@pytest.mark.parametrize("task", sorted(TASKS))
def test_scheduled_task_runs_its_program_at_normal_priority_without_a_time_limit(task):
    ns = {"t": "http://schemas.microsoft.com/windows/2004/02/mit/task"}
    root = ElementTree.parse(ROOT / "docs" / task).getroot()
    assert [root.findtext("t:Settings/t:" + key, namespaces=ns) for key in ("Priority", "ExecutionTimeLimit")] == [
        "5", "PT0S"]
    folder, program = root.findtext("t:Actions/t:Exec/t:Command", namespaces=ns).strip('"').rsplit("\\", 1)
    assert folder == "C:\\Program Files (x86)\\Quorvant Time Family" and program in WINDOWS_PROGRAMS
    assert program.startswith(Path(task).stem) and root.findtext("t:Principals/t:Principal/t:RunLevel", namespaces=ns) \
        == ("HighestAvailable" if "clock_setter" in task else "LeastPrivilege")


def test_lintian_finds_no_error_and_no_warning(archives):
    found = subprocess.run(["lintian", "--fail-on", "error,warning", str(archives[3])], capture_output=True, text=True)
    assert found.returncode == 0, found.stdout + found.stderr


def test_debian_package_holds_the_programs_their_pages_docs_and_units(archives, tmp_path):
    """What the package installs. The install with apt, its units under systemd (verify and security
    included), the programs from their installed paths and the purge: on a booted guest (tests/machine)."""
    subprocess.run(["dpkg-deb", "-x", str(archives[3]), str(tmp_path)], check=True)
    assert {str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*") if p.is_file()} == DEB_FILES
    executable = {path for path in DEB_FILES if os.access(tmp_path / path, os.X_OK)}
    assert executable == {"usr/bin/" + p for p in LINUX_PROGRAMS}
