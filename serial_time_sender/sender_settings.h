// The serial time sender's settings, found in its command tail.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace serial_time_sender {

struct SenderSettings {
    bool repeat = false;
    int port_number = 1;                   // COM1..COM4
    std::string_view tail;                 // one of the frame's tail templates
    std::optional<std::string> fixed_time;  // up to 14 characters, hhmmssMMDDYYYY
};

// Options are found by a case-sensitive search of the whole tail; the tail is
// never split into words. The eight-bit variant also takes "\R" and "\r" as
// repeat switches.
SenderSettings parse_sender_settings(std::string_view command_tail, int data_bits);

}  // namespace serial_time_sender
