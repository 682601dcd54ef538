"""Runs the Linux broadcaster in a network namespace of its own whose loopback
interface also carries 198.51.100.7/24 (a documentation address, here the
test host's address on its own private network), and reports as JSON what a
listener in that namespace received and what a plain socket without the
broadcast permission got when sending to the same address.

Start it with `unshare --net` from inside the sandbox:
    unshare --net -- python3 broadcast_on_test_net.py PROGRAM COUNT
It refuses to run where any interface but loopback exists.
"""
import json
import os
import signal
import socket
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from broadcast_listener import Listener  # noqa: E402

TEST_ADDRESS = "198.51.100.7/24"
TEST_BROADCAST = "198.51.100.255"


def main():
    program, count = sys.argv[1], int(sys.argv[2])
    if [name for _, name in socket.if_nameindex()] != ["lo"]:
        sys.exit("broadcast_on_test_net: interfaces other than lo; refusing")
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    subprocess.run(["ip", "addr", "add", TEST_ADDRESS, "dev", "lo"], check=True)

    report = {}
    plain = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        plain.sendto(b"x", (TEST_BROADCAST, 1))
        report["without_permission"] = "sent"
    except OSError as error:
        report["without_permission"] = error.errno
    plain.close()

    listener = Listener()
    broadcaster = subprocess.Popen([program], stdin=subprocess.DEVNULL)
    try:
        received = listener.collect(count, count + 5)
        report["running"] = broadcaster.poll() is None
    finally:
        broadcaster.send_signal(signal.SIGTERM)
        broadcaster.wait(timeout=10)
    report["datagrams"] = [{"data": d.data.decode("latin-1"), "destination": d.destination,
                            "source": d.source[0]} for d in received]
    print(json.dumps(report))


if __name__ == "__main__":
    main()
