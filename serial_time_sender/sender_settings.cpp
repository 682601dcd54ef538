// Reading the serial time sender's options from its command tail.
#include "sender_settings.h"

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/command_tail.h"
#include "time_frame/time_frame.h"

namespace serial_time_sender {

namespace {

bool contains(std::string_view text, std::string_view option) { return text.find(option) != std::string_view::npos; }

constexpr std::size_t fixed_time_length = 14;

}  // namespace

SenderSettings parse_sender_settings(std::string_view command_tail, int data_bits)
{
    SenderSettings settings;
    settings.repeat = contains(command_tail, "/R") || contains(command_tail, "/r") ||
                      (data_bits == 8 && (contains(command_tail, "\\R") || contains(command_tail, "\\r")));
    settings.port_number = platform::port_number_from_tail(command_tail);

    // Each mode option found overrides the one before: default, /9, /8, /7.
    settings.tail = time_frame::tail_mode_1;
    const std::size_t fixed_at = command_tail.find("/9");
    if (fixed_at != std::string_view::npos) {
        settings.tail = time_frame::tail_mode_9;
        settings.fixed_time = std::string(command_tail.substr(fixed_at + 2, fixed_time_length));
    }
    if (contains(command_tail, "/8")) {
        settings.tail = time_frame::tail_mode_8;
    }
    if (contains(command_tail, "/7")) {
        settings.tail = time_frame::tail_mode_7;
    }
    return settings;
}

}  // namespace serial_time_sender
