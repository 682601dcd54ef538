// The listening UDP socket on Windows Sockets 1.1.
#include "platform/udp_listener.h"

#include <winsock2.h>

#include <cstdint>
#include <cstring>
#include <optional>

namespace platform {

namespace {

SOCKET socket_of(UdpListener listener) { return static_cast<SOCKET>(listener.handle); }

// Windows Sockets 1.1 or later, or nothing started at all.
bool start_windows_sockets()
{
    WSADATA data{};
    if (WSAStartup(MAKEWORD(1, 1), &data) != 0) {
        return false;
    }
    const bool recent_enough = LOBYTE(data.wVersion) > 1 || (LOBYTE(data.wVersion) == 1 && HIBYTE(data.wVersion) >= 1);
    if (!recent_enough) {
        WSACleanup();
    }
    return recent_enough;
}

}  // namespace

std::optional<UdpListener> open_udp_listener(std::uint16_t port)
{
    if (!start_windows_sockets()) {
        return std::nullopt;
    }
    const SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) {
        WSACleanup();
        return std::nullopt;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) == SOCKET_ERROR) {
        closesocket(s);
        WSACleanup();
        return std::nullopt;
    }
    return UdpListener{static_cast<std::intptr_t>(s)};
}

std::optional<ReceivedDatagram> receive_datagram(UdpListener listener, std::int64_t wait_us, char* buffer,
                                                 std::size_t capacity)
{
    const SOCKET s = socket_of(listener);
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval wait{};
    wait.tv_sec = static_cast<long>(wait_us / 1000000);
    wait.tv_usec = static_cast<long>(wait_us % 1000000);
    if (select(0, &readable, nullptr, nullptr, &wait) <= 0) {
        return std::nullopt;
    }
    sockaddr_in sender{};
    int sender_size = sizeof sender;
    const int size = recvfrom(s, buffer, static_cast<int>(capacity), 0, reinterpret_cast<sockaddr*>(&sender),
                              &sender_size);
    if (size == SOCKET_ERROR) {
        return std::nullopt;
    }
    ReceivedDatagram datagram{};
    datagram.size = static_cast<std::size_t>(size);
    std::memcpy(datagram.sender_address.data(), &sender.sin_addr.s_addr, 4);
    datagram.sender_port = ntohs(sender.sin_port);
    return datagram;
}

void close_udp_listener(UdpListener listener)
{
    closesocket(socket_of(listener));
    WSACleanup();
}

}  // namespace platform
