// The receive worker: opens UDP port 16000 and lists every datagram that
// arrives in the window's log label.
#pragma once

#include <cstddef>
#include <cstdint>

#include "receiver_window.h"

namespace udp_time_receiver {

// One receive takes at most 65,536 bytes, and waits at most 60 x 2^20 us
// (62.91456 s) for a datagram.
constexpr std::size_t receive_buffer_bytes = 65536;
constexpr std::int64_t receive_wait_us = std::int64_t{60} << 20;

// The worker thread's body, started once for the window. Returns 0, after a
// failed socket open (beep and close request) or once the window is found
// gone after a datagram; the process usually ends under it before.
int receive_worker(ReceiverWindow window);

}  // namespace udp_time_receiver
