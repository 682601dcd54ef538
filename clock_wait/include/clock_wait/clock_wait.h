// Waiting for the local clock to turn without burning a core.
//
// The wait sleeps while the next turn of the second or minute is far, reads
// the clock at least every 100 ms so that a clock set forward or back is
// noticed, and polls without a pause only in the last moments before the
// predicted turn (the platform's wake margin, 2 ms; where the processors are
// all taken, its poll margin, 0.3 ms on Linux, after one more sleep), so
// that the caller still acts as soon as the change shows.
#pragma once

#include <algorithm>
#include <cstdint>

#include "platform/clock.h"

namespace clock_wait {

enum class Turn { second, minute };

// Longest sleep between two readings of the clock.
constexpr int max_sleep_ms = 100;

// Microseconds from `now` to the next turn on a clock that runs normally.
std::int64_t us_until_next_turn(const platform::LocalTime& now, Turn turn);

// How long to sleep before the next reading, in microseconds: until
// `margin_us` before the predicted turn and at most max_sleep_ms; 0 inside
// that margin, where the wait polls without a pause.
std::int64_t sleep_before_next_reading_us(const platform::LocalTime& now, Turn turn, std::int64_t margin_us);

// Reads the clock until changed(reading) holds and returns that reading.
// Within the wake margin it sleeps once more, until the poll margin before
// the turn, where the platform gives a shorter one (processors all taken).
template <class Changed>
platform::LocalTime wait_for_change(Turn turn, Changed changed)
{
    const std::int64_t margin_us = platform::wake_margin_us();
    std::int64_t poll_us = -1;  // asked at the first reading within the margin
    for (;;) {
        const platform::LocalTime now = platform::read_local_time();
        if (changed(now)) {
            return now;
        }
        std::int64_t pause = sleep_before_next_reading_us(now, turn, margin_us);
        if (pause > 0) {
            poll_us = -1;
        } else {
            poll_us = poll_us < 0 ? platform::poll_margin_us() : poll_us;
            pause = sleep_before_next_reading_us(now, turn, poll_us);
        }
        if (pause > 0) {
            platform::sleep_us(static_cast<std::uint32_t>(pause));
        }
    }
}

}  // namespace clock_wait
