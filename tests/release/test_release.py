"""The release archives and the installer: what they hold, their checksums,
and the same bytes when the programs are built and packed again from the
same commit; and the Windows programs they ship: their imports, size,
version resource and manifest."""

import hashlib
import io
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


def pack(out, windows_bin=ROOT / "build" / "windows" / "bin"):
    subprocess.run([str(ROOT / "scripts" / "make-dist"), "--out", str(out), "--windows-bin", str(windows_bin)],
                   check=True, stdout=subprocess.DEVNULL)
    return out / "time-family-windows.zip", out / "time-family-linux.tar.gz", out / "time-family-windows.msi"


@pytest.fixture(scope="module")
def archives(tmp_path_factory):
    return pack(tmp_path_factory.mktemp("dist"))


def test_windows_zip_holds_the_six_programs_a_guide_and_their_checksums(archives):
    with zipfile.ZipFile(archives[0]) as archive:
        names = {n.split("/", 1)[1]: n for n in archive.namelist()}
        assert set(names) == WINDOWS_PROGRAMS | TASKS | {"USAGE.txt", "SHA256SUMS"}
        sums = {}
        for line in archive.read(names["SHA256SUMS"]).decode().splitlines():
            digest, name = line.split("  ")
            sums[name] = digest
        assert set(sums) == WINDOWS_PROGRAMS | TASKS | {"USAGE.txt"}
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


def test_msi_installs_the_six_programs_and_the_guide_upgradable_in_place(archives):
    def table(name):
        text = subprocess.run(["msiinfo", "export", str(archives[2]), name], capture_output=True, text=True,
                              check=True).stdout
        return [line.split("\t") for line in text.splitlines()[3:]]
    assert {row[2].split("|")[-1] for row in table("File")} == WINDOWS_PROGRAMS | {"USAGE.txt"} | {
        Path(task).name for task in TASKS}
    properties = dict(row[:2] for row in table("Property"))
    assert properties["UpgradeCode"] == "{85A1908F-B7B2-44AE-8DEB-5F3494DB1652}"
    assert properties["ProductVersion"] == PROJECT_VERSION and properties["ALLUSERS"] == "1"
    assert [row[4] for row in table("Shortcut")] == ["[INSTALLDIR]udp_time_receiver.exe"]


# What each program's own code calls (its platform sources, the seam's
# timer resolution and broadcast permission included), and what the static
# C and C++ runtime of every program needs.
SERIAL = {"KERNEL32.DLL:" + name for name in ("CreateFileA", "GetCommState", "SetCommState", "GetCommProperties",
                                              "SetupComm", "CloseHandle", "GetCommandLineA")}
CLOCK = {"KERNEL32.DLL:GetLocalTime", "KERNEL32.DLL:QueryPerformanceCounter", "KERNEL32.DLL:QueryPerformanceFrequency",
         "KERNEL32.DLL:Sleep", "WINMM.DLL:timeBeginPeriod"}
SOCKETS = {"WS2_32.DLL:" + name for name in ("WSAStartup", "WSACleanup", "socket", "select", "closesocket", "htons")}
OWN_CALLS = {
    "serial_time_sender": SERIAL | CLOCK | {"KERNEL32.DLL:WriteFile"},
    "clock_setter": SERIAL | CLOCK | {"KERNEL32.DLL:ClearCommError", "KERNEL32.DLL:ReadFile",
                                      "KERNEL32.DLL:SetLocalTime", "USER32.DLL:MessageBoxA"},
    "udp_time_broadcaster": CLOCK | SOCKETS | {"USER32.DLL:MessageBeep"} | {
        "WS2_32.DLL:" + name for name in ("gethostbyname", "gethostname", "sendto", "setsockopt")},
    "udp_time_receiver": SOCKETS | {"WS2_32.DLL:" + name for name in ("bind", "recvfrom", "htonl", "ntohs")} | {
        "KERNEL32.DLL:" + name for name in ("CreateThread", "CloseHandle", "ExitProcess", "GetModuleHandleA",
                                            "MulDiv")} | {
        "USER32.DLL:" + name for name in ("CreateDialogIndirectParamA", "CreateWindowExA", "DestroyWindow",
                                          "DispatchMessageA", "GetDlgItem", "GetMessageA", "GetWindowRect",
                                          "IsDialogMessageA", "IsWindow", "MapDialogRect", "MessageBeep",
                                          "SendMessageA", "SetWindowLongA", "SetWindowTextA", "ShowWindow",
                                          "TranslateMessage")},
}
RUNTIME = {"KERNEL32.DLL:" + name for name in (
    "CloseHandle", "CreateSemaphoreW", "DeleteCriticalSection", "EnterCriticalSection", "FreeLibrary",
    "GetCurrentThreadId", "GetLastError", "GetModuleHandleA", "GetProcAddress", "GetStartupInfoA",
    "InitializeCriticalSection", "LeaveCriticalSection", "LoadLibraryA", "ReleaseSemaphore", "SetLastError",
    "SetUnhandledExceptionFilter", "Sleep", "TlsAlloc", "TlsFree", "TlsGetValue", "TlsSetValue",
    "VirtualProtect", "VirtualQuery", "WaitForSingleObject")} | {"MSVCRT.DLL:" + name for name in (
    "__getmainargs", "__initenv", "__p__acmdln", "__p__commode", "__p__fmode", "__set_app_type",
    "__setusermatherr", "_amsg_exit", "_cexit", "_errno", "_initterm", "_iob", "_onexit", "abort", "calloc", "exit",
    "fprintf", "free", "fwrite", "malloc", "memchr", "memcmp", "memcpy", "memmove", "memset", "realloc", "signal",
    "strcmp", "strlen", "strncmp", "strtol", "vfprintf")}
PROJECT_VERSION = re.search(r"project\(\s*\S+\s+VERSION\s+([0-9.]+)", (ROOT / "CMakeLists.txt").read_text()).group(1)
SUPPORTED_OS = {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}


def imports_of(path):
    """DLL:function for each entry of the program's import table."""
    dump = subprocess.run(["i686-w64-mingw32-objdump", "-p", str(path)], capture_output=True, text=True,
                          check=True).stdout
    found, dll = set(), None
    for line in dump.split("PE File Base Relocations")[0].splitlines():
        named = re.match(r"\s*DLL Name: (\S+)", line)
        entry = re.match(r"\s+[0-9a-f]+\s+\d+\s+(\S+)$", line)
        if named:
            dll = named.group(1).upper()
        elif entry and dll:
            found.add("%s:%s" % (dll, entry.group(1)))
    return found


@pytest.mark.parametrize("program", sorted(WINDOWS_PROGRAMS))
def test_windows_program_imports_what_it_calls_and_describes_itself(program):
    path = ROOT / "build" / "windows" / "bin" / program
    data = path.read_bytes()
    assert len(data) <= 128 * 1024
    own = OWN_CALLS[re.sub(r"_[78]bit", "", program[:-4])]
    imports = imports_of(path)
    assert own <= imports, "calls it makes"
    assert imports - own - RUNTIME == set(), "calls it never makes"

    text = data.decode("utf-16-le", errors="replace")
    version = dict(re.findall(r"(FileDescription|FileVersion|OriginalFilename|ProductName|ProductVersion)\x00+"
                              r"([^\x00]+)", text))
    bits = re.search(r"([78])bit", program)
    assert version.pop("FileDescription").endswith(("%s-bit variant" % bits.group(1), "%s-bit build" % bits.group(1))
                                                   if bits else ("broadcaster", "receiver"))
    assert version == {"FileVersion": PROJECT_VERSION, "OriginalFilename": program,
                       "ProductName": "Quorvant time family", "ProductVersion": PROJECT_VERSION}

    ns = {"v1": "urn:schemas-microsoft-com:asm.v1", "v3": "urn:schemas-microsoft-com:asm.v3",
          "c": "urn:schemas-microsoft-com:compatibility.v1", "ws": "http://schemas.microsoft.com/SMI/2005/WindowsSettings"}
    manifest = ElementTree.fromstring(re.search(rb"<\?xml.*?</assembly>", data, re.S).group(0))
    assert manifest.find(".//v3:requestedExecutionLevel", ns).get("level") == "asInvoker"
    assert {e.get("Id") for e in manifest.iterfind(".//c:supportedOS", ns)} == SUPPORTED_OS
    windowed = program == "udp_time_receiver.exe"
    controls = [e.get("version") for e in manifest.iterfind(".//v1:dependentAssembly/v1:assemblyIdentity", ns)
                if e.get("name") == "Microsoft.Windows.Common-Controls"]
    assert controls == (["6.0.0.0"] if windowed else [])
    assert [e.text for e in manifest.iterfind(".//ws:dpiAware", ns)] == (["true"] if windowed else [])


@pytest.mark.parametrize("task", sorted(TASKS))
def test_scheduled_task_runs_its_program_at_normal_priority_without_a_time_limit(task):
    ns = {"t": "http://schemas.microsoft.com/windows/2004/02/mit/task"}
    root = ElementTree.parse(ROOT / "docs" / task).getroot()
    assert root.findtext("t:Settings/t:Priority", namespaces=ns) == "5"
    assert root.findtext("t:Settings/t:ExecutionTimeLimit", namespaces=ns) == "PT0S"
    command = root.findtext("t:Actions/t:Exec/t:Command", namespaces=ns)
    assert command.strip('"').startswith("C:\\Program Files (x86)\\Quorvant Time Family\\")
    assert command.strip('"').rsplit("\\", 1)[1] in WINDOWS_PROGRAMS and Path(task).stem in command
    run_level = root.findtext("t:Principals/t:Principal/t:RunLevel", namespaces=ns)
    assert run_level == ("HighestAvailable" if "clock_setter" in task else "LeastPrivilege")
