// Sending UDP datagrams on POSIX.
//
// Debian-style host files map the host name to 127.0.1.1 (here 127.0.0.1),
// which would keep every broadcast on the machine, and many images have no
// entry for the host name at all; Windows reports the address of a network
// adapter instead, so a loopback entry, or none, is replaced by the first
// non-loopback interface address.
#include "platform/udp_sender.h"

#include <arpa/inet.h>  // IWYU pragma: keep (the byte-order calls: POSIX declares them here)
#include <ifaddrs.h>
#include <net/if.h>  // IWYU pragma: keep (IFF_UP, IFF_RUNNING)
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

namespace platform {

namespace {

// Windows Sockets wants at least this much room for the host name.
constexpr std::size_t host_name_bytes = 256;

int fd_of(UdpSender sender) { return static_cast<int>(sender.handle); }

bool is_loopback(const Ipv4Bytes& address) { return address[0] == 127; }

Ipv4Bytes bytes_of(const in_addr& address)
{
    Ipv4Bytes bytes{};
    std::memcpy(bytes.data(), &address, bytes.size());
    return bytes;
}

// The first non-loopback IPv4 address of an interface that is up, else the
// first loopback one (Windows reports 127.0.0.1 on a PC without a network).
std::optional<Ipv4Bytes> first_interface_address()
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return std::nullopt;
    }
    std::optional<Ipv4Bytes> other;
    std::optional<Ipv4Bytes> loopback;
    for (const ifaddrs* entry = list; entry != nullptr && !other; entry = entry->ifa_next) {
        const bool usable = (entry->ifa_flags & IFF_UP) != 0 && (entry->ifa_flags & IFF_RUNNING) != 0;
        if (!usable || entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        sockaddr_in address{};
        std::memcpy(&address, entry->ifa_addr, sizeof address);
        const Ipv4Bytes bytes = bytes_of(address.sin_addr);
        if (!is_loopback(bytes)) {
            other = bytes;
        } else if (!loopback) {
            loopback = bytes;
        }
    }
    freeifaddrs(list);
    return other ? other : loopback;
}

// The first IPv4 address of the host name's entry.
std::optional<Ipv4Bytes> first_host_entry_address()
{
    // The empty name stands for the local host on Windows; glibc wants the
    // name itself.
    char name[host_name_bytes] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        return std::nullopt;
    }
    // gethostbyname, unlike getaddrinfo, keeps the entry's own order of
    // addresses, and "the first address" is what counts.
    const hostent* host = gethostbyname(name);
    if (host == nullptr || host->h_addrtype != AF_INET || host->h_length != 4 || host->h_addr_list == nullptr ||
        host->h_addr_list[0] == nullptr) {
        return std::nullopt;
    }
    Ipv4Bytes first{};
    std::memcpy(first.data(), host->h_addr_list[0], first.size());
    return first;
}

}  // namespace

std::optional<Ipv4Bytes> find_own_ipv4_address()
{
    // Windows answers for the local host with its adapters' addresses
    // whatever its hosts file says; a host name without an IPv4 entry (cloud
    // and container images, a host renamed by hand) must not leave the
    // program without an address either.
    const std::optional<Ipv4Bytes> entry = first_host_entry_address();
    if (entry && !is_loopback(*entry)) {
        return entry;
    }
    const std::optional<Ipv4Bytes> interface_address = first_interface_address();
    return interface_address ? interface_address : entry;
}

std::optional<UdpSender> open_udp_sender()
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        return std::nullopt;
    }
    char name[host_name_bytes] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        close(fd);
        return std::nullopt;
    }
    return UdpSender{fd};
}

bool allow_broadcast(UdpSender sender)
{
    const int on = 1;
    return setsockopt(fd_of(sender), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == 0;
}

long send_datagram(UdpSender sender, const Ipv4Bytes& address, std::uint16_t port, std::string_view bytes)
{
    // poll stands for Windows' select: it has no limit on descriptor numbers.
    pollfd ready{fd_of(sender), POLLOUT, 0};
    int polled = 0;
    while ((polled = poll(&ready, 1, -1)) < 0 && errno == EINTR) {
    }
    if (polled < 0) {
        return -1;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    std::memcpy(&to.sin_addr, address.data(), address.size());
    return static_cast<long>(
        sendto(fd_of(sender), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to));
}

}  // namespace platform
