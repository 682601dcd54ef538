"""The Debian package where users run it: installed with apt on a booted Debian 12 or 13 guest under QEMU, its
units started by systemd, its serial programs on the kernel's own drivers (8250 UARTs and a USB adapter
named by the udev example), the guest's clock really set, the adapter pulled out and plugged back, the
broadcaster on a real interface; then a reboot with the units enabled, and a purge.

The guest's disk is made once by mmdebstrap and kept under build/machine/ until its recipe changes; each
run boots a copy-on-write layer over it. The guest runs guest_scenarios.py from a 9p share at each boot
and writes there what each scenario saw; the tests below judge it. QEMU runs inside tests/system/sandbox:
the guest's network is user-mode with restrict=on in the sandbox's own network namespace, no device of
this machine is passed to it, and it sets only its own clock.

MACHINE_SUITE=bookworm|trixie chooses the guest's release, Debian 12 (the default) or 13. A package built on
Debian 13 depends on its libraries (their names changed for the 64-bit time transition), so a Debian 12 guest
skips it; one built on Debian 12 installs on both. MACHINE_ARCH=arm64 runs the scenarios on the arm64 package,
on an arm64 guest (Debian 13 by default) under qemu-system-aarch64: QEMU's virt board, its root made as
foreign_root.py says. MACHINE_DEB=path runs them against another build of the package.
"""

import datetime
import hashlib
import json
import os
import shutil
import subprocess
import time
from pathlib import Path

import pytest

import foreign_root

ROOT = Path(__file__).resolve().parents[2]
HERE = Path(__file__).resolve().parent
WORK = ROOT / "build" / "machine"
SANDBOX = str(ROOT / "tests" / "system" / "sandbox")
ARCH = os.environ.get("MACHINE_ARCH", "amd64")
QEMU = {"amd64": "/usr/bin/qemu-system-x86_64", "arm64": "/usr/bin/qemu-system-aarch64"}[ARCH]
RELEASES = {"bookworm": 12, "trixie": 13}
SUITE = os.environ.get("MACHINE_SUITE", {"amd64": "bookworm", "arm64": "trixie"}[ARCH])
RELEASE = RELEASES[SUITE]
MIRRORS = ["deb http://deb.debian.org/debian %s main" % SUITE,
           "deb http://deb.debian.org/debian %s-updates main" % SUITE,
           "deb http://deb.debian.org/debian-security %s-security main" % SUITE]
GUEST_PACKAGES = ["systemd-sysv", "udev", "linux-image-" + ARCH, "kmod", "iproute2", "python3", "systemd-timesyncd",
                  "man-db"]
ADAPTER_SERIAL = "TF2026A1"
# Seconds for both boots and every scenario; about 4 minutes are usual, on arm64 up to 10 on a busy machine.
BOOT_BOUND = {"amd64": 600, "arm64": 900}[ARCH]
# The UART of the first clock setter and of the seven-bit sender, and that of the clock setter at the reboot:
# on arm64 the board's own PL011 (guest_scenarios.py's BOARD).
UART = {"amd64": "/dev/ttyS1", "arm64": "/dev/ttyAMA0"}[ARCH]
SETTER_AT_BOOT = {"amd64": "/dev/ttyS2", "arm64": "/dev/ttyAMA0"}[ARCH]

# The guest's own set-up: a host name with Debian's 127.0.1.1 entry, DHCP on its interface, the share
# mounted at boot and the unit that runs the scenarios once the boot is done.
CUSTOMIZE = r"""
set -eu
# Only ever the guest's root, never this machine's.
[ -n "$1" ] && [ "$(realpath "$1")" != / ]
echo timeguest >"$1/etc/hostname"
printf '127.0.0.1\tlocalhost\n127.0.1.1\ttimeguest\n' >"$1/etc/hosts"
printf '/dev/vda / ext4 defaults 0 1\nmachine /mnt/machine 9p trans=virtio,version=9p2000.L 0 0\n' >"$1/etc/fstab"
mkdir -p "$1/mnt/machine"
printf '[Match]\nName=en*\n\n[Network]\nDHCP=ipv4\n' >"$1/etc/systemd/network/50-dhcp.network"
printf '%s\n' '[Unit]' 'Description=The machine tests' 'RequiresMountsFor=/mnt/machine' 'After=multi-user.target' \
  '[Service]' 'ExecStart=/usr/bin/python3 /mnt/machine/guest_scenarios.py' 'StandardOutput=journal+console' \
  '[Install]' 'WantedBy=multi-user.target' >"$1/etc/systemd/system/machine-check.service"
systemctl --root="$1" enable systemd-networkd machine-check.service
# The daily jobs would start at each jump of the clock, and man-db would index the manual pages at each
# install and purge: each takes the emulated CPU for seconds.
systemctl --root="$1" mask apt-daily.timer apt-daily-upgrade.timer dpkg-db-backup.timer e2scrub_all.timer \
  fstrim.timer man-db.timer
rm -f "$1/var/lib/man-db/auto-update"
"""


# Before the kernel is installed: an initramfs with only what finds the guest's disk, which boots much
# sooner under emulation than one with most drivers.
INITRAMFS = r"""
set -eu
[ -n "$1" ] && [ "$(realpath "$1")" != / ]
mkdir -p "$1/etc/initramfs-tools/conf.d" "$1/etc/initramfs-tools/hooks"
echo MODULES=list >"$1/etc/initramfs-tools/conf.d/machine.conf"
printf '%s\n' '#!/bin/sh' '[ "$1" = prereqs ] && exit 0' '. /usr/share/initramfs-tools/hook-functions' \
  'manual_add_modules virtio_pci virtio_blk ext4' >"$1/etc/initramfs-tools/hooks/machine"
chmod +x "$1/etc/initramfs-tools/hooks/machine"
"""


def package_dependencies(deb):
    """The packages the .deb depends on, without versions: the guest has them before apt installs it."""
    depends = subprocess.run(["dpkg-deb", "-f", str(deb), "Depends"], capture_output=True, text=True,
                             check=True).stdout
    return sorted({item.split()[0] for item in depends.split(",")})


def remove_tree(path):
    """Removes a folder, but never through a mount point: a root whose mmdebstrap was ended early may
    still have this machine's /dev/shm, /sys or /proc mounted in it."""
    mounts = [line.split()[4] for line in Path("/proc/self/mountinfo").read_text().splitlines()]
    inside = [mount for mount in mounts if mount == str(path) or mount.startswith(str(path) + "/")]
    assert not inside, "not removing %s: mounted in it are %s" % (path, inside)
    shutil.rmtree(path, ignore_errors=True)


def guest_image(deb):
    """The guest's disk, kernel and initrd, made again when the package list or the set-up changes."""
    packages = GUEST_PACKAGES + package_dependencies(deb)
    recipe = json.dumps([SUITE, MIRRORS, packages, INITRAMFS if ARCH == "amd64" else foreign_root.RECIPE, CUSTOMIZE])
    # debian13-HASH on amd64, arm64-debian13-HASH: each name's own old disks are removed below.
    name = ("" if ARCH == "amd64" else ARCH + "-") + "debian%d-" % RELEASE
    image = WORK / (name + hashlib.sha256(recipe.encode()).hexdigest()[:12])
    if (image / "disk.img").exists():
        return image
    tools = {"amd64": [], "arm64": ["unshare", foreign_root.QEMU_AARCH64]}[ARCH]
    for tool in ("mmdebstrap", "mkfs.ext4", QEMU, "qemu-img", *tools):
        assert shutil.which(tool), "%s is missing: scripts/install-deps installs what the machine tests need" % tool
    assert os.geteuid() == 0, "the guest's root is made by mmdebstrap as root (make test runs as root)"
    for old in [*WORK.glob(name + "*"), WORK / "making"]:
        remove_tree(old)
    making = WORK / "making"
    root = making / "root"
    making.mkdir(parents=True)
    options = ["--variant=minbase", "--include=" + ",".join(packages), "--customize-hook=" + CUSTOMIZE,
               SUITE, str(root), *MIRRORS]
    if ARCH == "arm64":
        problem = foreign_root.make_image(making, root, options)
        assert problem is None, problem
    else:
        made = subprocess.run(["mmdebstrap", "--quiet", "--essential-hook=" + INITRAMFS, *options],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        assert made.returncode == 0, made.stdout[-3000:]
        kernel, = (root / "boot").glob("vmlinuz-*")
        initrd, = (root / "boot").glob("initrd.img-*")
        shutil.copy(kernel, making / "vmlinuz")
        shutil.copy(initrd, making / "initrd.img")
        subprocess.run(["mkfs.ext4", "-q", "-F", "-L", "guest", "-d", str(root), str(making / "disk.img"), "2G"],
                       check=True)
    remove_tree(root)
    making.rename(image)
    return image


def the_package():
    if "MACHINE_DEB" in os.environ:
        return Path(os.environ["MACHINE_DEB"]).resolve()
    dist = WORK / "dist"
    only_this = ["--no-arm64"] if ARCH == "amd64" else []
    subprocess.run([str(ROOT / "scripts" / "make-dist"), "--out", str(dist), *only_this], check=True,
                   stdout=subprocess.DEVNULL)
    deb, = dist.glob("time-family_*_%s.deb" % ARCH)
    return deb


def qemu_command(image, run):
    """Two null-modem cables. On amd64: ttyS1 to ttyS2, and ttyS3 to the USB adapter; ttyS0 is the console.
    On arm64 (the virt board): the board's PL011 (ttyAMA0) to a PCI UART (ttyS0), and a second PCI UART
    (ttyS1) to the USB adapter; the console is hvc0."""
    def cable(name):
        path = run / (name + ".sock")
        return (["-chardev", "socket,id=%s0,path=%s,server=on,wait=off" % (name, path)],
                ["-chardev", "socket,id=%s1,path=%s" % (name, path)])
    a_server, a_client = cable("a")
    b_server, b_client = cable("b")
    layer, share = run / "layer.qcow2", run / "share"
    machine, console, disk, shared, uarts = {
        "amd64": (["-accel", "tcg"], "ttyS0 edd=off", ["-drive", "file=%s,format=qcow2,if=virtio" % layer],
                  ["-virtfs", "local,path=%s,mount_tag=machine,security_model=none,id=machine" % share],
                  ["-serial", "file:%s" % (run / "console.log"), *a_server, "-serial", "chardev:a0", *a_client,
                   "-serial", "chardev:a1", *b_server, "-serial", "chardev:b0"]),
        # Pointer authentication, which the default CPU emulates slowly, is not in the Cortex-A72.
        "arm64": (["-machine", "virt", "-cpu", "cortex-a72", "-accel", "tcg,thread=multi"], "hvc0",
                  ["-drive", "file=%s,format=qcow2,if=none,id=disk" % layer, "-device", "virtio-blk-pci,drive=disk"],
                  ["-fsdev", "local,path=%s,security_model=none,id=machine" % share,
                   "-device", "virtio-9p-pci,fsdev=machine,mount_tag=machine"],
                  ["-chardev", "file,id=console,path=%s" % (run / "console.log"), "-device", "virtio-serial-pci",
                   "-device", "virtconsole,chardev=console", *a_server, "-serial", "chardev:a0", *a_client, *b_server,
                   "-device", "pci-serial-2x,chardev1=a1,chardev2=b0"]),
    }[ARCH]
    return [QEMU, *machine, "-m", "1024", "-smp", "2", "-nographic", "-monitor", "none",
            "-kernel", str(image / "vmlinuz"), "-initrd", str(image / "initrd.img"),
            "-append", "root=/dev/vda rw console=%s quiet" % console, *disk,
            "-netdev", "user,id=net0,restrict=on", "-device", "virtio-net-pci,netdev=net0,romfile=", *shared, *uarts,
            *b_client, "-device", "qemu-xhci,id=xhci",
            "-device", "usb-serial,bus=xhci.0,chardev=b1,serial=" + ADAPTER_SERIAL]


# Starts QEMU only where the rig allows the family's programs to run: inside the sandbox.
IN_SANDBOX = ("import os, sys; sys.path.insert(0, %r); from rig.sandbox_check import assert_in_sandbox; "
              "assert_in_sandbox(); os.execv(sys.argv[1], sys.argv[1:])" % str(ROOT / "tests" / "system"))


@pytest.fixture(scope="session")
def guest():
    """Boots the guest with the package once; returns what each scenario saw and the times taken."""
    began = time.monotonic()
    built_on = int(dict(line.rstrip().split("=", 1) for line in open("/etc/os-release") if "=" in line)
                   ["VERSION_ID"].strip('"'))
    if built_on > RELEASE and "MACHINE_DEB" not in os.environ:
        pytest.skip("the package built here on Debian %d depends on that release's libraries, which Debian %d's "
                    "names differ from (libgtk-3-0t64 for libgtk-3-0): only a guest of Debian %d or later takes it"
                    % (built_on, RELEASE, built_on))
    deb = the_package()
    packed = time.monotonic()
    image = guest_image(deb)
    made = time.monotonic()
    run = WORK / ("run-%s%s" % (SUITE, "" if ARCH == "amd64" else "-" + ARCH))
    remove_tree(run)
    (run / "share" / "dist").mkdir(parents=True)
    (run / "share" / "results").mkdir()
    shutil.copy(deb, run / "share" / "dist")
    for tool in (HERE / "guest_scenarios.py", ROOT / "tests" / "tools" / "virtual_clock.py",
                 ROOT / "tests" / "system" / "rig" / "waiting.py"):
        shutil.copy(tool, run / "share")
    subprocess.run(["qemu-img", "create", "-q", "-f", "qcow2", "-b", str(image / "disk.img"), "-F", "raw",
                    str(run / "layer.qcow2")], check=True)
    try:
        booted = subprocess.run([SANDBOX, "/usr/bin/python3", "-B", "-c", IN_SANDBOX, *qemu_command(image, run)],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=BOOT_BOUND)
        ended = "QEMU ended with %d: %s" % (booted.returncode, booted.stdout[-2000:])
    except subprocess.TimeoutExpired:
        ended = "the guest was still running after %d s and was ended" % BOOT_BOUND
    console = (run / "console.log").read_text(errors="replace") if (run / "console.log").exists() else ""
    results = {path.stem: json.loads(path.read_text()) for path in (run / "share" / "results").glob("*.json")}
    print("\nmachine tests (%s, %s): package %.0f s, guest's disk %.0f s, guest %.0f s; scenarios: %s" % (
        SUITE, ARCH, packed - began, made - packed, time.monotonic() - made,
        ", ".join("%s %.0f s" % (name, r["seconds"]) for name, r in sorted(results.items()))))
    if (results.get("install") or {}).get("facts"):
        print("the units' exposure: " + "; ".join(results["install"]["facts"]["exposure"]))
    return results, ended + "\nconsole, last lines:\n" + "\n".join(console.splitlines()[-40:])


def facts(guest, name):
    results, ended = guest
    assert name in results, "the scenario %s did not report; %s" % (name, ended)
    assert results[name]["error"] is None, results[name]["error"]
    return results[name]["facts"]


def frame_time(text):
    """The local date and time a frame carries (*ssmmhhDDMMYYYY...)."""
    return datetime.datetime.strptime(text[1:15], "%S%M%H%d%m%Y")


def test_apt_installs_the_package_starting_nothing_with_units_that_pass_verify_and_rate_ok(guest):
    seen = facts(guest, "install")
    assert seen["status"] == 0, seen["output"]
    programs = {"/usr/bin/" + name for name in ("serial_time_sender_8bit", "serial_time_sender_7bit",
                                                "clock_setter_8bit", "clock_setter_7bit", "udp_time_broadcaster",
                                                "udp_time_receiver")}
    # Units under /lib from a package built on Debian 12, under /usr/lib from one built on 13.
    files = {name.replace("/usr/lib/systemd/", "/lib/systemd/") for name in seen["files"]}
    assert programs | {"/lib/systemd/system/udp-time-broadcaster.service",
                       "/usr/share/doc/time-family/examples/60-time-family-serial.rules"} <= files
    assert "enabled" not in seen["enabled"] and seen["running"] == ["inactive"] * 3, seen
    assert seen["verify"] == [0, ""]
    # Exposure 4.0 of 10 is the highest that systemd still calls "OK".
    assert seen["security"] == [0, 0, 0]


def check_broadcasts(datagrams, at_least, timing=True):
    assert len(datagrams) >= at_least, datagrams
    for arrival, source, destination, text in datagrams:
        assert (source, destination, len(text), text[15:]) == ("10.0.2.15", "10.0.2.255", 35, "         1     0213#")
    if not timing:
        return
    for arrival, _, _, text in datagrams:
        assert 0 <= arrival - frame_time(text).timestamp() < 1.0, (arrival, text)
    seconds = [frame_time(text) for _, _, _, text in datagrams]
    assert all((later - earlier).total_seconds() == 1 for earlier, later in zip(seconds, seconds[1:])), seconds


def test_broadcaster_sends_a_frame_a_second_to_the_interface_broadcast_address_with_a_host_entry(guest):
    seen = facts(guest, "broadcaster_with_host_entry")
    assert seen["host"].split() == ["127.0.1.1", "timeguest"]
    check_broadcasts(seen["datagrams"], 5)


def test_broadcaster_sends_to_the_interface_broadcast_address_without_a_host_entry(guest):
    seen = facts(guest, "broadcaster_without_host_entry")
    assert seen["host"] == ""
    check_broadcasts(seen["datagrams"], 4)


def test_clock_setter_sets_the_guest_clock_and_stops_timesyncd(guest):
    seen = facts(guest, "clock_setter")
    assert (seen["timesyncd_before"], seen["timesyncd_after"], seen["unit"], seen["line"]) == (
        "active", "inactive", "active", [UART])
    assert seen["now"].startswith("2031-06-18 10:2")
    # Set to the whole second of a frame, which takes 36 ms to arrive.
    assert 0.03 < seen["behind_the_clock"] < 1.0


def at_the_turn(frame, turn):
    arrival, text = frame
    return frame_time(text).timestamp() == turn and 0 <= arrival - turn < 1.0


def test_seven_bit_drop_in_puts_seven_data_bits_on_the_uart(guest):
    seen = facts(guest, "sender_seven_bit")
    assert "serial_time_sender_7bit /%d /R" % seen["port"] in seen["command"]
    assert seen["line"] == {"data_bits": 7, "parity": False, "two_stop_bits": False}
    (arrival, text), = seen["frames"]
    assert 0 <= arrival - seen["started"] < 5 and len(text) == 35 and text.endswith("#")


def test_sender_on_the_adapter_named_by_the_udev_example_sends_at_once_then_at_the_turn(guest):
    seen = facts(guest, "sender")
    assert (seen["serial"], seen["com2"]) == (ADAPTER_SERIAL, "ttyUSB0")
    assert seen["line"] == {"data_bits": 8, "parity": False, "two_stop_bits": False}
    first, turn = seen["frames"]
    assert 0 <= first[0] - seen["started"] < 5 and first[0] < seen["turn"]
    assert at_the_turn(turn, seen["turn"]), (turn, seen["turn"])


def test_sender_sends_again_from_the_first_turn_after_its_adapter_is_plugged_back(guest):
    seen = facts(guest, "sender_replug")
    assert (seen["away"]["com2"], seen["away"]["frames"], seen["away"]["unit"]) == (None, [], "active")
    for phase in ("back", "replugged"):  # back after a turn without it, and between two turns
        frames, turn = seen[phase]["frames"], seen[phase]["turn"]
        assert len(frames) == 1 and at_the_turn(frames[0], turn), (phase, frames, turn, seen[phase]["com2"])


def test_clock_setter_sets_the_clock_again_after_its_adapter_is_plugged_back(guest):
    seen = facts(guest, "clock_setter_replug")
    assert seen["now"].startswith("2033-03-04 05:0") and 0.03 < seen["behind_the_clock"] < 1.0
    assert (seen["unit"], seen["restarts"]) == ("active", 1)


def test_units_enabled_run_after_a_reboot_with_nothing_failed(guest):
    facts(guest, "before_reboot")
    seen = facts(guest, "after_reboot")
    assert seen["active"] == ["active"] * 3 and seen["restarts"] == ["0"] * 3, seen["journal"]
    # The sender waited for the adapter's link (the drop-in of the docs), the clock setter is on its UART.
    assert seen["ports"] == [[], ["/dev/ttyUSB0"], [SETTER_AT_BOOT]], seen["journal"]
    assert (seen["failed"], seen["warnings"]) == ("", "")
    # Set at boot by the clock setter, which sets it again at each turn of the minute: no timing below.
    assert seen["year"] == 2034, seen["journal"]
    check_broadcasts(seen["datagrams"], 3, timing=False)


def test_purge_removes_every_file_and_unit_link_and_stops_the_units(guest):
    seen = facts(guest, "purge")
    assert seen["status"] == 0, seen["output"]
    assert (seen["left"], seen["links"], seen["running"], seen["known_to_dpkg"]) == ([], [], [], False)
