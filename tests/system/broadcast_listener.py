"""A listener on UDP port 16000 for the broadcaster's system tests: each
datagram with the kernel's arrival time, its sender and the address it was
sent to, and checks of the frame it carries."""
import collections
import socket
import struct
import time

PORT = 16000
FRAME_LENGTH = 35
BROADCAST_TAIL = b"         1     0213#"
# Linux's kernel receive time, seconds and nanoseconds; Python 3.11 lacks the name.
SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)
# The datagram's own destination address, from Linux's IP_PKTINFO.
IP_PKTINFO = getattr(socket, "IP_PKTINFO", 8)

Datagram = collections.namedtuple("Datagram", "data arrival source destination")


class Listener:
    """Bound to 0.0.0.0:16000, so that it takes datagrams to any loopback
    address, 127.0.0.255 among them."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self.sock.setsockopt(socket.IPPROTO_IP, IP_PKTINFO, 1)
        self.sock.bind(("0.0.0.0", PORT))

    def close(self):
        self.sock.close()

    def receive(self, timeout):
        """The next datagram, or None when none arrives within `timeout` s."""
        self.sock.settimeout(max(timeout, 0.001))
        try:
            data, ancillary, _, source = self.sock.recvmsg(2048, 256)
        except socket.timeout:
            return None
        arrival = time.time()
        destination = None
        for level, kind, payload in ancillary:
            if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS:
                seconds, nanoseconds = struct.unpack("qq", payload[:16])
                arrival = seconds + nanoseconds / 1e9
            elif level == socket.IPPROTO_IP and kind == IP_PKTINFO:
                # struct in_pktinfo: interface index, local address, header
                # destination address.
                destination = socket.inet_ntoa(payload[8:12])
        return Datagram(data, arrival, source, destination)

    def collect(self, count, timeout):
        """`count` datagrams, or fewer when `timeout` s pass first."""
        found = []
        end = time.monotonic() + timeout
        while len(found) < count:
            left = end - time.monotonic()
            if left <= 0:
                break
            datagram = self.receive(left)
            if datagram is not None:
                found.append(datagram)
        return found

    def drain(self):
        """Forgets what is waiting."""
        while self.receive(0.001) is not None:
            pass


def frame_epoch(data, tail=BROADCAST_TAIL):
    """The local time a frame with `tail` (a broadcast frame's unless told)
    carries, as seconds since the epoch; fails the test when the data is not
    such a frame."""
    assert len(data) == FRAME_LENGTH, "frame of %d bytes: %r" % (len(data), data)
    assert data[:1] == b"*" and data[15:] == tail, "layout or tail wrong: %r" % data
    digits = data[1:15].decode("ascii")
    assert digits.isdigit(), "fields not digits: %r" % data
    ss, mm, hh, day, month, year = (int(digits[i:i + n]) for i, n in ((0, 2), (2, 2), (4, 2), (6, 2), (8, 2), (10, 4)))
    assert 0 <= ss <= 59 and 0 <= mm <= 59 and 0 <= hh <= 23 and 1 <= day <= 31 and 1 <= month <= 12, data
    return time.mktime((year, month, day, hh, mm, ss, 0, 0, -1))


def phase(instant):
    """How far into its second an instant lies, in seconds."""
    return instant % 1.0


def next_turn(instant, offset=0.0):
    """The next turn of the second after `instant`, plus `offset` seconds."""
    return int(instant) + 1 + offset
