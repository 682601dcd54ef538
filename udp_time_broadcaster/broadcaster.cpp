// The UDP time broadcaster's start-up and send loop.
#include "broadcaster.h"

#include <cstddef>
#include <optional>
#include <string>

#include "clock_wait/clock_wait.h"
#include "platform/beep.h"
#include "platform/clock.h"
#include "platform/udp_sender.h"
#include "time_frame/time_frame.h"

namespace udp_time_broadcaster {

namespace {

// Byte 3 of the frame: the units digit of its seconds.
constexpr std::size_t seconds_units_at = 2;

std::string seconds_units_digit(const platform::LocalTime& now)
{
    return std::string(1, static_cast<char>('0' + now.second % 10));
}

// Returns at once before the first send (no digit yet); otherwise when the
// clock's units digit of the seconds differs from the one last sent.
void wait_for_new_digit(const std::string& last_digit)
{
    if (last_digit.empty()) {
        return;
    }
    clock_wait::wait_for_change(clock_wait::Turn::second, [&last_digit](const platform::LocalTime& now) {
        return seconds_units_digit(now) != last_digit;
    });
}

std::string compose_frame_from_clock()
{
    const platform::LocalTime now = platform::read_local_time();
    return time_frame::compose_time_frame(
        time_frame::format_clock_fields(now.year, now.month, now.day, now.hour, now.minute, now.second),
        time_frame::tail_broadcast);
}

}  // namespace

platform::Ipv4Bytes broadcast_destination(const std::optional<platform::Ipv4Bytes>& own_address)
{
    platform::Ipv4Bytes destination = own_address.value_or(platform::Ipv4Bytes{0, 0, 0, 0});
    destination[3] = 255;
    return destination;
}

int run_udp_time_broadcaster()
{
    const platform::Ipv4Bytes destination = broadcast_destination(platform::find_own_ipv4_address());
    const auto sender = platform::open_udp_sender();
    if (!sender) {
        platform::beep();
        return 1;
    }
    // Without the permission both Windows and Linux refuse every datagram to
    // a broadcast address, and the program would send nothing while looking
    // healthy. A refusal is left to show itself in the sends, which are
    // ignored as always.
    platform::allow_broadcast(*sender);

    std::string last_digit;
    for (;;) {
        wait_for_new_digit(last_digit);
        const std::string frame = compose_frame_from_clock();
        // A failed or short send is neither reported nor retried.
        platform::send_datagram(*sender, destination, udp_port, frame);
        platform::sleep_ms(pause_after_send_ms);
        last_digit = frame.substr(seconds_units_at, 1);
    }
}

}  // namespace udp_time_broadcaster
