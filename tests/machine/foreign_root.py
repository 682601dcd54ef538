"""The arm64 guest's root and initramfs, made on this amd64 machine.

The commands that make the root (mmdebstrap, mkfs.ext4 -d) run in namespaces of their own, where the root's
maintainer scripts run through qemu-aarch64 and the root's files get their own owners.

The user namespace maps its ids 0..65535 onto this machine's unused ids ID_BASE.. (never onto its root), so
that dpkg may chown a file to any system user of the root while nothing in there owns a file of this
machine: every file outside the folder that the caller gave it (and chowned to ID_BASE) is, in there, owned
by nobody, and cannot be changed, removed or chmodded. mkfs.ext4 run in there again sees the root's files
owned by 0.. and writes them so into the disk image.

The world-writable places of this machine (/tmp, /var/tmp, /run/lock, /dev with its shm) are private in
there: tmpfs of the mount namespace, with the harmless nodes of /dev bound in (as tests/system/sandbox
does), so that neither mmdebstrap's bind mounts of /dev nor a maintainer script reach this machine's.
qemu-aarch64 is registered as the sandbox registers it, flags F (opened at once, so that it runs inside
the chroot too) and P (argv[0] kept), in the binfmt_misc instance of this user namespace, mounted over the
private /proc of its own process-id namespace: this machine's /proc/sys/fs/binfmt_misc is never touched.

The network is this machine's: apt inside mmdebstrap downloads from Debian's mirrors. No program of the
time family runs in there.
"""

import ctypes
import lzma
import os
import signal
import time

ID_BASE = 1_600_000_000
ID_COUNT = 65536
QEMU_AARCH64 = "/usr/bin/qemu-aarch64-static"
# The ELF header of an aarch64 executable, as Debian's qemu-user-static registers it.
AARCH64_HANDLER = (r":qemu-aarch64:M::\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00:"
                   r"\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:"
                   + QEMU_AARCH64 + ":FP")

# The caller's folder as the namespace sees it: its own path may pass through folders its ids cannot
# enter (a clone under /root) or that are private in there (/tmp).
INSIDE = "/tmp/making"

# Run by the namespace's first process in the folder the caller made (its working directory since before
# the namespaces were made); the arguments are the command.
SETUP = r"""
set -eu
# Only ever a folder made for this, never this machine's root.
[ "$(realpath .)" != / ]
for place in /tmp /var/tmp /run/lock; do
  mount -t tmpfs -o mode=1777,size=1g root-tmp "$place"
done
mkdir /tmp/dev
mount -t tmpfs -o mode=0755,size=16m root-dev /tmp/dev
for node in null zero full random urandom tty; do
  touch "/tmp/dev/$node"
  mount --bind "/dev/$node" "/tmp/dev/$node"
done
mkdir /tmp/dev/pts /tmp/dev/shm
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 root-pts /tmp/dev/pts
ln -s pts/ptmx /tmp/dev/ptmx
mount -t tmpfs -o mode=1777,size=256m root-shm /tmp/dev/shm
ln -s /proc/self/fd /tmp/dev/fd
mount --no-mtab --move /tmp/dev /dev
mount -t binfmt_misc root-binfmt /proc/sys/fs/binfmt_misc
printf '%s' "$HANDLER" >/proc/sys/fs/binfmt_misc/register
mkdir /tmp/making
# Not canonicalised: the path of "." may not be entered from in here.
mount --no-canonicalize --bind . /tmp/making
cd /tmp/making
exec "$@"
"""

CLONE_NEWUSER = 0x10000000
libc = ctypes.CDLL(None, use_errno=True)


def map_ids(pid):
    for kind in ("uid_map", "gid_map"):
        with open("/proc/%d/%s" % (pid, kind), "w") as ids:
            ids.write("0 %d %d\n" % (ID_BASE, ID_COUNT))


def in_root_namespace(folder, command, log, timeout):
    """Runs `command` in `folder` (made for it, and owned by ID_BASE from now on) in the namespaces above,
    its output into the file `log`; returns its exit status. In there `folder` is INSIDE: each argument
    that names a path in it is given so."""
    assert str(folder) and os.path.realpath(folder) != "/"
    os.chown(folder, ID_BASE, ID_BASE)
    command = [INSIDE + arg[len(str(folder)):] if arg == str(folder) or arg.startswith(str(folder) + "/")
               else arg for arg in command]
    unshared, told_unshared = os.pipe()
    told_mapped, mapped = os.pipe()
    env = {**os.environ, "HANDLER": AARCH64_HANDLER, "TMPDIR": "/tmp"}
    pid = os.fork()
    if pid == 0:
        try:
            # Entered while this machine's root may: the namespaces keep the working directory.
            os.chdir(folder)
            os.dup2(log.fileno(), 1)
            os.dup2(log.fileno(), 2)
            if libc.unshare(CLONE_NEWUSER) != 0:
                os.write(2, b"no user namespace: %s\n" % os.strerror(ctypes.get_errno()).encode())
            else:
                os.write(told_unshared, b"u")
                # Root of the namespace once its ids are mapped, so that its capabilities outlast exec.
                if os.read(told_mapped, 1) == b"m":
                    os.setgid(0)
                    os.setgroups([])
                    os.setuid(0)
                    os.execvpe("unshare", ["unshare", "--mount", "--propagation", "private", "--pid", "--fork",
                                           "--mount-proc", "--kill-child", "--", "/bin/sh", "-c", SETUP, "sh",
                                           *command], env)
        finally:
            os._exit(127)
    os.close(told_unshared)
    os.close(told_mapped)
    try:
        if os.read(unshared, 1) == b"u":
            map_ids(pid)
            os.write(mapped, b"m")
    finally:
        os.close(unshared)
        os.close(mapped)
    deadline = time.monotonic() + timeout
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        if time.monotonic() > deadline:
            # The namespace's first process dies with it (--kill-child), and every process in it with that.
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            return "ended after %d s" % timeout
        time.sleep(0.5)


# While the root is made, update-initramfs does nothing: under emulation each of its runs (one for the
# kernel, one for the triggers of the packages after it) took 3 minutes. It is given back at the end, and
# the initramfs is put together here instead (below).
IDLE_UPDATE_INITRAMFS = r"""
set -eu
[ -n "$1" ] && [ "$(realpath "$1")" != / ]
chroot "$1" dpkg-divert --quiet --local --rename --divert /usr/sbin/update-initramfs.idle \
  --add /usr/sbin/update-initramfs
printf '#!/bin/sh\nexit 0\n' >"$1/usr/sbin/update-initramfs"
chmod 755 "$1/usr/sbin/update-initramfs"
"""
RESTORE_UPDATE_INITRAMFS = r"""
set -eu
[ -n "$1" ] && [ "$(realpath "$1")" != / ]
rm "$1/usr/sbin/update-initramfs"
chroot "$1" dpkg-divert --quiet --local --rename --remove /usr/sbin/update-initramfs
"""

# The modules that find the guest's disk (Debian's arm64 kernel has them as modules; crc32c for ext4's
# checksums), loaded in this order after what each depends on.
INITRAMFS_MODULES = ["virtio_blk", "crc32c_generic", "ext4"]
KLIBC_TOOLS = ["sh", "insmod", "mount", "sleep", "run-init"]
# The initramfs's /init, run by klibc's shell: the modules, the disk, and systemd on it.
INIT = b"""#!/bin/sh
mount -t devtmpfs devtmpfs /dev
for module in /lib/modules/*.ko; do
  insmod "$module"
done
waited=0
while [ ! -b /dev/vda ] && [ $waited -lt 60 ]; do
  sleep 1
  waited=$((waited + 1))
done
mount -t ext4 -o rw /dev/vda /root
mount -n -o move /dev /root/dev
exec run-init /root /sbin/init
"""


def cpio_entry(number, name, mode, data=b"", device=(0, 0)):
    """One member of a "newc" cpio archive, owned by 0, as the kernel unpacks an initramfs."""
    def padded(part):
        return part + b"\0" * (-len(part) % 4)
    name = name.encode() + b"\0"
    fields = (number, mode, 0, 0, 1, 0, len(data), 0, 0, *device, len(name), 0)
    return padded(b"070701" + b"".join(b"%08X" % field for field in fields) + name) + padded(data)


def module_order(modules_dir, names):
    """The files of the modules `names` and of those they depend on, in the order to load them."""
    depends = {}
    for line in (modules_dir / "modules.dep").read_text().splitlines():
        path, _, needs = line.partition(":")
        depends[path] = needs.split()
    by_name = {os.path.basename(path).split(".")[0].replace("-", "_"): path for path in depends}
    order = []
    for name in names:
        path = by_name[name]
        # modules.dep lists every module needed, the one to load first last.
        order += [needed for needed in [*reversed(depends[path]), path] if needed not in order]
    return order


def make_initramfs(root, out):
    """The arm64 guest's initramfs, from its root: klibc's tools (initramfs-tools' own) and the modules."""
    modules_dir, = (root / "usr/lib/modules").iterdir()
    klibc, = (root / "usr/lib").glob("klibc-*.so")
    members = [("dev", 0o40755), ("dev/console", 0o20600, b"", (5, 1)), ("root", 0o40755), ("bin", 0o40755),
               ("usr", 0o40755), ("usr/lib", 0o40755), ("lib", 0o40755), ("lib/modules", 0o40755),
               ("init", 0o100755, INIT), ("usr/lib/" + klibc.name, 0o100755, klibc.read_bytes())]
    members += [("bin/" + tool, 0o100755, (root / "usr/lib/klibc/bin" / tool).read_bytes()) for tool in KLIBC_TOOLS]
    for number, path in enumerate(module_order(modules_dir, INITRAMFS_MODULES)):
        data = (modules_dir / path).read_bytes()
        members.append(("lib/modules/%02d-%s" % (number, os.path.basename(path).replace(".xz", "")), 0o100644,
                        lzma.decompress(data) if path.endswith(".xz") else data))
    archive = b"".join(cpio_entry(number + 1, *member) for number, member in enumerate(members))
    out.write_bytes(archive + cpio_entry(0, "TRAILER!!!", 0))


# What the image is made from, besides the packages and the guest's own set-up.
RECIPE = [IDLE_UPDATE_INITRAMFS, RESTORE_UPDATE_INITRAMFS, INITRAMFS_MODULES, KLIBC_TOOLS, INIT.decode()]
MAKE_BOUND = 3600  # seconds for mmdebstrap: about 17 minutes here, its dpkg and maintainer scripts emulated


def make_image(making, root, options):
    """The root by mmdebstrap with `options` in `root` (in `making`), then making's vmlinuz, initrd.img and
    disk.img; returns what went wrong, or None."""
    log_path = making / "mmdebstrap.log"
    with open(log_path, "w") as log:
        status = in_root_namespace(making, ["mmdebstrap", "--quiet", "--mode=root", "--arch=arm64",
                                            "--skip=check/qemu", "--essential-hook=" + IDLE_UPDATE_INITRAMFS,
                                            "--customize-hook=" + RESTORE_UPDATE_INITRAMFS, *options], log, MAKE_BOUND)
        if status == 0:
            kernel, = (root / "boot").glob("vmlinuz-*")
            (making / "vmlinuz").write_bytes(kernel.read_bytes())
            make_initramfs(root, making / "initrd.img")
            status = in_root_namespace(making, ["mkfs.ext4", "-q", "-F", "-L", "guest", "-d", str(root),
                                                str(making / "disk.img"), "2G"], log, 600)
    if status != 0:
        return "making the arm64 root ended with %s: %s" % (status, log_path.read_text()[-3000:])
    log_path.unlink()
    os.chown(making, 0, 0)
    for path in ("vmlinuz", "initrd.img", "disk.img"):
        os.chown(making / path, 0, 0)
    return None
