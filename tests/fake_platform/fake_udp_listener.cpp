// The fake listening UDP socket.
#include "fake_udp_listener.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "platform/udp_listener.h"

namespace fake {

struct ScriptedDatagram {
    std::string bytes;
    std::array<std::uint8_t, 4> sender_address;
    std::uint16_t sender_port;
};

struct UdpState {
    bool refuse_open = false;
    int failing_receives = 0;
    std::deque<ScriptedDatagram> waiting;
    std::vector<std::string> calls;
};

UdpState& udp()
{
    static UdpState s;
    return s;
}

void reset_udp_listener() { udp() = UdpState{}; }
void refuse_udp_open() { udp().refuse_open = true; }

void queue_datagram(const std::string& bytes, const std::array<std::uint8_t, 4>& sender_address,
                    std::uint16_t sender_port)
{
    udp().waiting.push_back({bytes, sender_address, sender_port});
}

void fail_next_receives(int count) { udp().failing_receives += count; }
const std::vector<std::string>& udp_calls() { return udp().calls; }

}  // namespace fake

namespace platform {

std::optional<UdpListener> open_udp_listener(std::uint16_t port)
{
    fake::udp().calls.push_back("open " + std::to_string(port));
    if (fake::udp().refuse_open) {
        return std::nullopt;
    }
    return UdpListener{7};
}

std::optional<ReceivedDatagram> receive_datagram(UdpListener, std::int64_t wait_us, char* buffer,
                                                 std::size_t capacity)
{
    auto& s = fake::udp();
    s.calls.push_back("receive " + std::to_string(wait_us) + " " + std::to_string(capacity));
    if (s.failing_receives > 0) {
        --s.failing_receives;
        return std::nullopt;
    }
    if (s.waiting.empty()) {
        fake::advance_us(wait_us);  // the whole wait passes; may end the run
        return std::nullopt;
    }
    const fake::ScriptedDatagram d = s.waiting.front();
    s.waiting.pop_front();
    const std::size_t size = std::min(capacity, d.bytes.size());
    std::memcpy(buffer, d.bytes.data(), size);
    return ReceivedDatagram{size, d.sender_address, d.sender_port};
}

void close_udp_listener(UdpListener) { fake::udp().calls.push_back("close"); }

}  // namespace platform
