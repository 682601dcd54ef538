// The UDP time broadcaster's run: find the destination, open the socket, then
// send the clock's time once a second, as soon as the second changes.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/udp_sender.h"

namespace udp_time_broadcaster {

constexpr std::uint16_t udp_port = 16000;
// Ten milliseconds short of a second, so that the pause ends just before the
// next turn of the second and the loop sends right after it.
constexpr unsigned pause_after_send_ms = 990;

// The broadcast address of the /24 network around the own address: its last
// byte set to 255, whatever the real subnet mask. 0.0.0.255 without one.
platform::Ipv4Bytes broadcast_destination(const std::optional<platform::Ipv4Bytes>& own_address);

// Runs the broadcaster. Returns 1 when the socket cannot be opened, after one
// beep; otherwise it never returns.
int run_udp_time_broadcaster();

}  // namespace udp_time_broadcaster
