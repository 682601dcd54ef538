// The serial time sender's frame cycle.
#include "sender.h"

#include <cstddef>
#include <optional>
#include <string>

#include "clock_wait/clock_wait.h"
#include "platform/clock.h"
#include "platform/serial_port.h"
#include "sender_settings.h"
#include "time_frame/time_frame.h"

namespace serial_time_sender {

namespace {

// A field of the fixed time: the characters that are there, however few.
std::string fixed_field(const std::string& fixed, std::size_t offset, std::size_t length)
{
    return offset < fixed.size() ? fixed.substr(offset, length) : std::string();
}

void set_up_line(platform::SerialPort port, int data_bits)
{
    // Refused settings are ignored: the line keeps what it had before.
    platform::set_baud_rate(port, baud_rate);
    platform::set_data_bits(port, data_bits, data_bits == 8);
    platform::set_no_parity(port);
    platform::set_one_and_a_half_stop_bits(port);
    platform::set_transmit_queue(port, queue_bytes);
    platform::set_receive_queue(port, queue_bytes);
}

// Opens the port by its name and sets the line up, as at every start.
std::optional<platform::SerialPort> open_line(int port_number, int data_bits)
{
    const auto port = platform::open_serial_port(port_number);
    if (port) {
        set_up_line(*port, data_bits);
    }
    return port;
}

int minute_of(const platform::LocalTime& time) { return time.minute; }

}  // namespace

time_frame::FrameFields frame_fields(const SenderSettings& settings)
{
    if (settings.fixed_time) {
        const std::string& fixed = *settings.fixed_time;
        return time_frame::FrameFields{fixed_field(fixed, 4, 2), fixed_field(fixed, 2, 2),
                                       fixed_field(fixed, 0, 2), fixed_field(fixed, 8, 2),
                                       fixed_field(fixed, 6, 2), fixed_field(fixed, 10, 4)};
    }
    const platform::LocalTime now = platform::read_local_time();
    return time_frame::format_clock_fields(now.year, now.month, now.day, now.hour, now.minute, now.second);
}

int run_serial_time_sender(const SenderSettings& settings, int data_bits)
{
    auto port = open_line(settings.port_number, data_bits);
    if (!port) {
        return 0;
    }
    for (;;) {
        const std::string frame = time_frame::compose_time_frame(frame_fields(settings), settings.tail);
        const bool sent = port && platform::write_serial(*port, frame);
        // In repeat mode a line whose write fails (a USB adapter pulled out)
        // is let go and opened again by its name at once, so that an adapter
        // plugged back in since the last turn gets this turn's frame; one
        // that is not back yet is tried again at each later turn.
        if (!sent && settings.repeat) {
            if (port) {
                platform::close_serial_port(*port);
            }
            port = open_line(settings.port_number, data_bits);
            if (port && !platform::write_serial(*port, frame)) {
                platform::close_serial_port(*port);
                port.reset();
            }
        }
        const int minute_mark = minute_of(platform::read_local_time());
        if (!settings.repeat) {
            break;
        }
        clock_wait::wait_for_change(clock_wait::Turn::minute, [minute_mark](const platform::LocalTime& now) {
            return minute_of(now) != minute_mark;
        });
    }
    if (port) {
        platform::close_serial_port(*port);
    }
    return 0;
}

}  // namespace serial_time_sender
