// Sending UDP datagrams on Windows, through Windows Sockets 1.1.
#include "platform/udp_sender.h"

#include <winsock2.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

namespace platform {

namespace {

// gethostname's buffer: the 256 bytes Windows Sockets allows a host name.
constexpr int host_name_bytes = 256;

SOCKET socket_of(UdpSender sender) { return static_cast<SOCKET>(sender.handle); }

// Starts Windows Sockets asking for 1.1; an older version counts as failure
// and is stopped again.
bool start_sockets()
{
    WSADATA data{};
    if (WSAStartup(MAKEWORD(1, 1), &data) != 0) {
        return false;
    }
    const int major = LOBYTE(data.wVersion);
    const int minor = HIBYTE(data.wVersion);
    if (major < 1 || (major == 1 && minor < 1)) {
        WSACleanup();
        return false;
    }
    return true;
}

}  // namespace

std::optional<Ipv4Bytes> find_own_ipv4_address()
{
    if (!start_sockets()) {
        return std::nullopt;
    }
    std::optional<Ipv4Bytes> found;
    const hostent* host = gethostbyname("");
    if (host != nullptr && host->h_addrtype == AF_INET && host->h_length == 4 && host->h_addr_list != nullptr &&
        host->h_addr_list[0] != nullptr) {
        Ipv4Bytes first{};
        std::memcpy(first.data(), host->h_addr_list[0], first.size());
        found = first;
    }
    WSACleanup();
    return found;
}

std::optional<UdpSender> open_udp_sender()
{
    if (!start_sockets()) {
        return std::nullopt;
    }
    const SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) {
        WSACleanup();
        return std::nullopt;
    }
    char name[host_name_bytes] = {};
    if (gethostname(name, host_name_bytes) != 0) {
        closesocket(s);
        WSACleanup();
        return std::nullopt;
    }
    // Sockets stay started for the life of the process, as does the socket.
    return UdpSender{static_cast<std::intptr_t>(s)};
}

bool allow_broadcast(UdpSender sender)
{
    const BOOL on = TRUE;
    return setsockopt(socket_of(sender), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

long send_datagram(UdpSender sender, const Ipv4Bytes& address, std::uint16_t port, std::string_view bytes)
{
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(socket_of(sender), &writable);
    if (select(0, nullptr, &writable, nullptr, nullptr) == SOCKET_ERROR) {
        return -1;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    std::memcpy(&to.sin_addr, address.data(), address.size());
    return sendto(socket_of(sender), bytes.data(), static_cast<int>(bytes.size()), 0,
                  reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

}  // namespace platform
