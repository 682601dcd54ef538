// Waiting for a frame on the serial line. The frame is whatever 35 bytes stand
// at the head of the receive queue at the moment exactly 35 bytes wait.
#pragma once

#include <cstdint>

#include "platform/serial_port.h"

namespace clock_setter {

constexpr unsigned frame_bytes = 35;
// With 36 to 38 bytes waiting nothing is read; above this, 35 are dropped.
constexpr unsigned most_waiting_left_alone = 38;
constexpr std::uint64_t frame_wait_limit_ms = 5000;

// The shortest time one byte takes at 9600 baud: 1 start, 7 data and 1 stop
// bit are 937.5 microseconds; rounded down so that pauses err short.
constexpr int line_byte_us = 937;
// Kept free at the end of every pause: a sleep's overshoot and one poll.
constexpr int pause_guard_us = 2000;

// Line errors that make a poll count no bytes waiting.
constexpr unsigned errors_counted_as_empty = platform::line_rx_overflow | platform::line_overrun |
                                             platform::line_framing | platform::line_tx_full |
                                             platform::line_io;

// How long the wait may sleep after a poll that found `queued` bytes
// `elapsed_ms` after it began, and still see every moment at which a
// wait polling without a pause would have found exactly 35; 0 means poll
// again after only a brief pause.
unsigned frame_wait_pause_ms(unsigned queued, std::uint64_t elapsed_ms);

// Polls the receive queue until exactly 35 bytes wait (true) or more than
// 5 seconds have passed since the call (false). More than 38 waiting: reads 35
// and drops them. A failed query, and a query reporting one of the errors
// above, counts 0 waiting.
bool wait_for_frame(platform::SerialPort port);

}  // namespace clock_setter
