"""Checks that the tests run inside the sandbox made by tests/system/sandbox.

No program of the family may start anywhere else: the broadcaster would send
datagrams on the machine's network, and a serial program could open the
machine's console (/dev/ttyS0). The rig refuses to run unless

- loopback is the only network interface (asked of the kernel through
  socket.if_nameindex(): /sys/class/net still shows the machine's),
- the process is in a user namespace other than the initial one,
- and in a process-id namespace other than the initial one, so that nothing
  it starts can outlive the sandbox, and
- /dev is the sandbox's private tmpfs, and every /dev/ttyS* in it is a
  pseudo-terminal.

sandbox_problems() takes its inputs as arguments so that the decision can be
checked on made-up machines; by default it reads the real ones.
"""

import os
import socket
import stat

# The initial user namespace maps the whole 32-bit id range onto itself.
INITIAL_UID_MAP = ("0", "0", "4294967295")

# The kernel gives the initial process-id namespace this fixed inode number.
INITIAL_PID_NAMESPACE = "pid:[4026531836]"

# Unix98 pty slaves have majors 136 to 143.
PTY_SLAVE_MAJORS = range(136, 144)


def read_interface_names():
    return [name for _, name in socket.if_nameindex()]


def read_uid_map():
    with open("/proc/self/uid_map") as f:
        return f.read()


def read_pid_namespace():
    return os.readlink("/proc/self/ns/pid")


def read_mountinfo():
    with open("/proc/self/mountinfo") as f:
        return f.read()


def read_serial_devices():
    """Maps each /dev/ttyS* path to its (is_char_device, major)."""
    devices = {}
    for name in sorted(os.listdir("/dev")):
        if name.startswith("ttyS"):
            st = os.stat(os.path.join("/dev", name))
            devices["/dev/" + name] = (stat.S_ISCHR(st.st_mode), os.major(st.st_rdev))
    return devices


def dev_filesystem(mountinfo):
    """The filesystem type and source of the mount that is visible at /dev."""
    found = None
    for line in mountinfo.splitlines():
        fields = line.split()
        if len(fields) < 10 or fields[4] != "/dev":
            continue
        after = fields[fields.index("-") + 1:]
        found = (after[0], after[1])  # the last mount on /dev is the visible one
    return found


def sandbox_problems(interface_names=None, uid_map=None, pid_namespace=None, mountinfo=None,
                     serial_devices=None):
    """Returns what is wrong with this environment for running the family's
    programs: an empty list inside a proper sandbox."""
    interface_names = read_interface_names() if interface_names is None else interface_names
    uid_map = read_uid_map() if uid_map is None else uid_map
    pid_namespace = read_pid_namespace() if pid_namespace is None else pid_namespace
    mountinfo = read_mountinfo() if mountinfo is None else mountinfo
    serial_devices = read_serial_devices() if serial_devices is None else serial_devices

    problems = []
    others = [name for name in interface_names if name != "lo"]
    if others or "lo" not in interface_names:
        problems.append("network interfaces other than loopback: %s" % (others or "no loopback"))
    map_lines = [line.split() for line in uid_map.splitlines() if line.strip()]
    if any(tuple(fields) == INITIAL_UID_MAP for fields in map_lines):
        problems.append("this is the machine's initial user namespace")
    if pid_namespace == INITIAL_PID_NAMESPACE:
        problems.append("this is the machine's initial process-id namespace")
    dev = dev_filesystem(mountinfo)
    if dev != ("tmpfs", "sandbox-dev"):
        problems.append("/dev is not the sandbox's private tmpfs (found %s)" % (dev,))
    for path, (is_char, major) in serial_devices.items():
        if not is_char or major not in PTY_SLAVE_MAJORS:
            problems.append("%s is not a test pseudo-terminal" % path)
    return problems


def refusal_message(problems):
    return ("refusing to run: the family's programs may only run inside tests/system/sandbox "
            "(" + "; ".join(problems) + ")")


def assert_in_sandbox():
    """Raises RuntimeError unless this process is inside the sandbox."""
    problems = sandbox_problems()
    if problems:
        raise RuntimeError(refusal_message(problems))
