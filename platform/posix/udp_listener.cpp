// The listening UDP socket on POSIX.
#include "platform/udp_listener.h"

#include <arpa/inet.h>  // IWYU pragma: keep (the byte-order calls: POSIX declares them here)
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <ctime>
#include <optional>

namespace platform {

std::optional<UdpListener> open_udp_listener(std::uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return std::nullopt;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return std::nullopt;
    }
    return UdpListener{fd};
}

std::optional<ReceivedDatagram> receive_datagram(UdpListener listener, std::int64_t wait_us, char* buffer,
                                                 std::size_t capacity)
{
    const int fd = static_cast<int>(listener.handle);
    if (fd >= FD_SETSIZE) {
        return std::nullopt;  // select cannot watch it
    }
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    timeval wait{};
    wait.tv_sec = static_cast<time_t>(wait_us / 1000000);
    wait.tv_usec = static_cast<suseconds_t>(wait_us % 1000000);
    if (select(fd + 1, &readable, nullptr, nullptr, &wait) <= 0) {
        return std::nullopt;
    }
    sockaddr_in sender{};
    socklen_t sender_size = sizeof sender;
    const ssize_t size = recvfrom(fd, buffer, capacity, 0, reinterpret_cast<sockaddr*>(&sender), &sender_size);
    if (size < 0) {
        return std::nullopt;
    }
    ReceivedDatagram datagram{};
    datagram.size = static_cast<std::size_t>(size);
    std::memcpy(datagram.sender_address.data(), &sender.sin_addr.s_addr, 4);
    datagram.sender_port = ntohs(sender.sin_port);
    return datagram;
}

void close_udp_listener(UdpListener listener) { close(static_cast<int>(listener.handle)); }

}  // namespace platform
