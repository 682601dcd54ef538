// Scripting bytes on the fake serial line as a clock at 9600 baud sends them.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fake_platform.h"

namespace serial_line_script {

// One byte at 9600 baud: 10 bits (8N1), and the fastest line, 9 bits (7N1).
constexpr double byte_us_8n1 = 1e6 * 10 / 9600;
constexpr double byte_us_7n1 = 1e6 * 9 / 9600;

// Schedules `bytes` to enter the receive queue one by one, the first at
// `start_us` and each next one `byte_us` later. Returns when the last one
// arrives.
inline std::int64_t send_paced(std::int64_t start_us, const std::string& bytes, double byte_us = byte_us_8n1)
{
    std::int64_t at = start_us;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        at = start_us + std::llround(static_cast<double>(i) * byte_us);
        fake::at(at, [b = bytes[i]] { fake::queue_bytes(std::string(1, b)); });
    }
    return at;
}

// Schedules `bytes` to enter the queue all at once at `at_us`.
inline void send_burst(std::int64_t at_us, const std::string& bytes)
{
    fake::at(at_us, [bytes] { fake::queue_bytes(bytes); });
}

}  // namespace serial_line_script
