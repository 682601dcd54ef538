// polling_reference: the family's waits done the simple way, for the bench.
// The clock and the serial receive queue are polled without any pause, as the
// programs were first described, and everything else is the programs' own
// code (frames, port, socket, clock writes), so that a bench run can set each
// program's figures beside this one's. Not shipped; never started outside the
// test sandbox.
//
//   polling_reference sender N       serial_time_sender /R on COMn, 8 data bits
//   polling_reference broadcaster    udp_time_broadcaster
//   polling_reference setter N       clock_setter /R on COMn, 8 data bits
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "broadcaster.h"
#include "frame_rules.h"
#include "frame_wait.h"
#include "platform/clock.h"
#include "platform/serial_port.h"
#include "platform/udp_sender.h"
#include "setter.h"
#include "time_frame/time_frame.h"

namespace {

constexpr unsigned baud_rate = 9600;
constexpr int exit_bad_use = 2;

std::string frame_from_clock(std::string_view tail)
{
    const platform::LocalTime now = platform::read_local_time();
    return time_frame::compose_time_frame(
        time_frame::format_clock_fields(now.year, now.month, now.day, now.hour, now.minute, now.second), tail);
}

void poll_until_minute_changes(int minute_mark)
{
    while (platform::read_local_time().minute == minute_mark) {
    }
}

std::optional<platform::SerialPort> open_port(int port_number)
{
    const auto port = platform::open_serial_port(port_number);
    if (port) {
        platform::set_baud_rate(*port, baud_rate);
        platform::set_data_bits(*port, 8, true);
    }
    return port;
}

int run_sender(int port_number)
{
    const auto port = open_port(port_number);
    if (!port) {
        return 1;
    }
    for (;;) {
        platform::write_serial(*port, frame_from_clock(time_frame::tail_mode_1));
        poll_until_minute_changes(platform::read_local_time().minute);
    }
}

int run_broadcaster()
{
    const platform::Ipv4Bytes destination =
        udp_time_broadcaster::broadcast_destination(platform::find_own_ipv4_address());
    const auto sender = platform::open_udp_sender();
    if (!sender) {
        return 1;
    }
    platform::allow_broadcast(*sender);
    int last_second = -1;
    for (;;) {
        if (last_second >= 0) {
            while (platform::read_local_time().second % 10 == last_second % 10) {
            }
        }
        const std::string frame = frame_from_clock(time_frame::tail_broadcast);
        platform::send_datagram(*sender, destination, udp_time_broadcaster::udp_port, frame);
        platform::sleep_ms(udp_time_broadcaster::pause_after_send_ms);
        last_second = frame[2] - '0';
    }
}

// The frame wait without pauses: take at exactly 35 waiting, drop 35 above
// 38, give up after 5 s.
bool poll_for_frame(platform::SerialPort port)
{
    using namespace clock_setter;
    const std::uint64_t start = platform::monotonic_ms();
    for (;;) {
        const auto queue = platform::query_receive_queue(port);
        const unsigned waiting = queue && (queue->errors & errors_counted_as_empty) == 0 ? queue->waiting : 0;
        if (waiting > most_waiting_left_alone) {
            platform::read_serial(port, frame_bytes);
        }
        if (platform::monotonic_ms() - start > frame_wait_limit_ms) {
            return false;
        }
        if (waiting == frame_bytes) {
            return true;
        }
    }
}

int run_setter(int port_number)
{
    const auto port = open_port(port_number);
    if (!port) {
        return 1;
    }
    for (;;) {
        for (int attempt = 1; attempt <= clock_setter::attempts_per_cycle; ++attempt) {
            if (!poll_for_frame(*port)) {
                platform::close_serial_port(*port);
                return 0;
            }
            const std::string block = platform::read_serial(*port, clock_setter::frame_bytes);
            if (const auto setting = clock_setter::clock_setting_from_block(block)) {
                clock_setter::set_clock_from(*setting);
            }
        }
        poll_until_minute_changes(platform::read_local_time().minute);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string_view what = argc > 1 ? argv[1] : "";
    const int port_number = argc > 2 ? static_cast<int>(std::strtol(argv[2], nullptr, 10)) : 1;
    if (what == "sender") {
        return run_sender(port_number);
    }
    if (what == "broadcaster") {
        return run_broadcaster();
    }
    if (what == "setter") {
        return run_setter(port_number);
    }
    return exit_bad_use;
}
