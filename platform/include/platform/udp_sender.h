// The sending side of UDP: the PC's own IPv4 address, an unbound IPv4
// datagram socket, and one datagram at a time. Nothing here receives.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace platform {

// An IPv4 address as four bytes in network order: 10.1.2.3 is {10, 1, 2, 3}.
using Ipv4Bytes = std::array<std::uint8_t, 4>;

// An open IPv4 datagram socket, for sending only.
struct UdpSender {
    std::intptr_t handle;
};

// The first IPv4 address of the local host's entry (Windows Sockets 1.1 is
// started for the look-up and stopped again). Where that address is a
// loopback one, as Linux host files map the host name, or where the host
// name has no IPv4 entry at all (Linux), the first non-loopback interface
// address instead, or the loopback interface's own address when there is no
// other, which is what Windows reports. Nothing when sockets cannot be
// started, or when neither the entry nor an interface gives an address.
std::optional<Ipv4Bytes> find_own_ipv4_address();

// Starts Windows Sockets (1.1 asked for and required), creates an unbound
// IPv4 datagram socket and reads the host name. Nothing when any step fails;
// what was made before the failure is released.
std::optional<UdpSender> open_udp_sender();

// Lets the socket send to broadcast addresses (SO_BROADCAST); both Windows and
// Linux refuse such a datagram without it. False when refused.
bool allow_broadcast(UdpSender sender);

// Waits without a time limit until the socket can take a datagram, then sends
// `bytes` as one datagram to `address`:`port` (flags 0). Returns the number of
// bytes sent, or -1 when the wait or the send fails.
long send_datagram(UdpSender sender, const Ipv4Bytes& address, std::uint16_t port, std::string_view bytes);

}  // namespace platform
