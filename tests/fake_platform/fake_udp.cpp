// The fake sending side of UDP: a scripted own address and open, and a record
// of every datagram with the virtual time it left.
#include "fake_platform.h"
#include "fake_state.h"
#include "platform/udp_sender.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fake {

void set_own_address(std::optional<platform::Ipv4Bytes> address) { state().own_address = address; }
void fail_udp_open() { state().udp_open_fails = true; }
void fail_udp_sends() { state().udp_sends_fail = true; }
const std::vector<std::string>& udp_calls() { return state().udp_calls; }
const std::vector<UdpSend>& udp_sends() { return state().udp_sends; }

}  // namespace fake

namespace platform {

std::optional<Ipv4Bytes> find_own_ipv4_address()
{
    fake::state().udp_calls.push_back("own_address");
    return fake::state().own_address;
}

std::optional<UdpSender> open_udp_sender()
{
    fake::State& s = fake::state();
    s.udp_calls.push_back("open");
    if (s.udp_open_fails) {
        return std::nullopt;
    }
    return UdpSender{3};
}

bool allow_broadcast(UdpSender)
{
    fake::state().udp_calls.push_back("allow_broadcast");
    fake::state().broadcast_allowed = true;
    return true;
}

long send_datagram(UdpSender, const Ipv4Bytes& address, std::uint16_t port, std::string_view bytes)
{
    fake::State& s = fake::state();
    s.udp_calls.push_back("send");
    const bool accepted = !s.udp_sends_fail && (address[3] != 255 || s.broadcast_allowed);
    s.udp_sends.push_back({s.now_us, address, port, std::string(bytes), accepted});
    return accepted ? static_cast<long>(bytes.size()) : -1;
}

}  // namespace platform
