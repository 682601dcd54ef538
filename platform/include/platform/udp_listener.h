// A UDP socket that listens on one port of all local IPv4 addresses and
// takes one datagram per receive.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace platform {

struct UdpListener {
    std::intptr_t handle;
};

// Starts Windows Sockets asking for version 1.1 (older counts as a failure;
// nothing to start on Linux), creates an IPv4 datagram socket and binds it to
// `port` on all local addresses, with no socket option, so a port that another
// socket holds makes it fail. Nothing on failure, with every step undone.
std::optional<UdpListener> open_udp_listener(std::uint16_t port);

// One datagram: its length in the caller's buffer, and its sender's address
// (4 bytes in network order, first octet first) and port (host order).
struct ReceivedDatagram {
    std::size_t size;
    std::array<std::uint8_t, 4> sender_address;
    std::uint16_t sender_port;
};

// Waits with select at most `wait_us` microseconds for the socket to become
// readable, then takes one datagram of at most `capacity` bytes into
// `buffer`. Nothing when the wait passed or select or recvfrom failed; a
// datagram of zero bytes is a datagram.
std::optional<ReceivedDatagram> receive_datagram(UdpListener listener, std::int64_t wait_us, char* buffer,
                                                 std::size_t capacity);

// Closes the socket and stops Windows Sockets (closesocket, WSACleanup).
void close_udp_listener(UdpListener listener);

}  // namespace platform
