#!/usr/bin/env python3
"""Real-time scheduling for the bench, granted from outside the sandbox,
where no process can raise a priority. Root on the machine, this starts the
command it is given (the sandbox) and answers requests on a unix socket
named in TIME_FAMILY_RT_GRANT; a request names a pid of the sandbox in
SCM_CREDENTIALS, which the kernel translates into this side's. It grants
what the systemd units give the programs, the guard first: RLIMIT_RTTIME
1 s soft, 2 s hard (a program that ran 1 s without blocking is ended rather
than hold a core), then SCHED_FIFO 10; only to a program of the family or
the requester's own thread named "observer" (a pty's reader) or "floor"
(which starts cyclictest), only inside the requester's pid namespace. It
starts no program of the family itself.

    bench/realtime_grant.py tests/system/sandbox /usr/bin/python3 bench/run_bench.py ...
"""

import os
import resource
import socket
import struct
import subprocess
import sys
import tempfile
import threading

ENVIRONMENT = "TIME_FAMILY_RT_GRANT"
PRIORITY = 10
RTTIME_US = (1_000_000, 2_000_000)
PROGRAMS = {"serial_time_sender_8bit", "serial_time_sender_7bit", "udp_time_broadcaster",
            "clock_setter_8bit", "clock_setter_7bit"}
UCRED = struct.Struct("iII")
OBSERVER, FLOOR = "observer", "floor"  # the harness's threads that may be granted


def refusal(pid, requester):
    """Why the process `pid` (this side's pid) may not be made real-time at
    the request of process `requester`; None when it may."""
    try:
        namespace = os.readlink("/proc/%d/ns/pid" % pid)
        exe = os.path.basename(os.readlink("/proc/%d/exe" % pid))
        if namespace != os.readlink("/proc/%d/ns/pid" % requester):
            return "pid %d is not in the requester's pid namespace" % pid
    except OSError as error:
        return "pid %d: %s" % (pid, error.strerror)
    if namespace == os.readlink("/proc/self/ns/pid"):
        return "the requester is not inside a sandbox"
    if exe in PROGRAMS:
        return None
    try:
        # The harness's observer or floor thread: a task of the requester's own thread group.
        with open("/proc/%d/comm" % pid) as f:
            if f.read().strip() in (OBSERVER, FLOOR) and os.path.isdir("/proc/%d/task/%d" % (requester, pid)):
                return None
    except OSError:
        pass
    return "%s is not a program of the family" % exe


def grant(pid):
    # The guard first: the process never runs real-time without it.
    resource.prlimit(pid, resource.RLIMIT_RTTIME, RTTIME_US)
    os.sched_setscheduler(pid, os.SCHED_FIFO, os.sched_param(PRIORITY))


def answer(connection):
    with connection:
        requester = UCRED.unpack(connection.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, UCRED.size))[0]
        _, ancillary, _, _ = connection.recvmsg(16, socket.CMSG_SPACE(UCRED.size))
        pids = [UCRED.unpack(data[:UCRED.size])[0] for level, kind, data in ancillary
                if level == socket.SOL_SOCKET and kind == socket.SCM_CREDENTIALS]
        if len(pids) != 1:
            connection.sendall(b"refused: no credentials with the request\n")
            return
        why = refusal(pids[0], requester)
        if why is None:
            try:
                grant(pids[0])
            except OSError as error:
                why = error.strerror
        connection.sendall(("granted %d\n" % pids[0] if why is None else "refused: %s\n" % why).encode())


def serve(server):
    while True:
        try:
            connection, _ = server.accept()
        except OSError:
            return  # closed: the command has ended
        connection.setsockopt(socket.SOL_SOCKET, socket.SO_PASSCRED, 1)
        try:
            answer(connection)
        except OSError:
            pass


def request(pid, timeout=5.0):
    """From inside the sandbox: asks for `pid` (a pid of the sandbox) to be
    made real-time. Returns None when granted, else why not."""
    path = os.environ.get(ENVIRONMENT)
    if not path:
        return "no grant: the bench runs without bench/realtime_grant.py (make bench runs it)"
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as client:
        client.settimeout(timeout)
        client.connect(path)
        client.sendmsg([b"?"], [(socket.SOL_SOCKET, socket.SCM_CREDENTIALS,
                                 UCRED.pack(pid, os.getuid(), os.getgid()))])
        reply = client.makefile().readline().strip()
    return None if reply.startswith("granted") else reply


def main(argv):
    if not argv:
        sys.exit("usage: realtime_grant.py COMMAND [ARG...]")
    folder = tempfile.mkdtemp(prefix="time-family-rt-")
    path = os.path.join(folder, "grant")
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind(path)
    os.chmod(folder, 0o700)
    server.listen(4)
    threading.Thread(target=serve, args=(server,), daemon=True).start()
    try:
        return subprocess.call(argv, env=dict(os.environ, **{ENVIRONMENT: path}))
    finally:
        server.close()
        os.unlink(path)
        os.rmdir(folder)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
