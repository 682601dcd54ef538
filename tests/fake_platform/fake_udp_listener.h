// The fake listening UDP socket: scripted datagrams and failures, and a
// record of every call. A receive with nothing scripted waits its whole limit
// in virtual time, so a run ends with fake::StopRun past fake::stop_at_us.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace fake {

// Forgets the socket's script and record.
void reset_udp_listener();

// The next open fails (as when another program holds the port).
void refuse_udp_open();

// A datagram that is waiting now.
void queue_datagram(const std::string& bytes, const std::array<std::uint8_t, 4>& sender_address,
                    std::uint16_t sender_port);

// The next `count` receives fail at once, as with a socket error.
void fail_next_receives(int count);

// "open 16000", "receive 62914560 65536" (wait in us, capacity), "close".
const std::vector<std::string>& udp_calls();

}  // namespace fake
