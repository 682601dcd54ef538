// Waiting for the local clock to turn without burning a core.
//
// The wait sleeps while the next turn of the second or minute is far, reads
// the clock at least every 100 ms so that a clock set forward or back is
// noticed, and polls without a pause only in the last moments before the
// predicted turn, so that the caller still acts as soon as the change shows.
#pragma once

#include <algorithm>

#include "platform/clock.h"

namespace clock_wait {

enum class Turn { second, minute };

// Longest sleep between two readings of the clock.
constexpr int max_sleep_ms = 100;
// Polling without a pause starts this long before the predicted turn; it
// covers the millisecond resolution of a reading and a sleep's overshoot.
constexpr int poll_window_ms = 2;

// Milliseconds from `now` to the next turn on a clock that runs normally.
int ms_until_next_turn(const platform::LocalTime& now, Turn turn);

// How long to sleep before the next reading: 0 inside the poll window.
int sleep_before_next_reading(const platform::LocalTime& now, Turn turn);

// Reads the clock until changed(reading) holds and returns that reading.
template <class Changed>
platform::LocalTime wait_for_change(Turn turn, Changed changed)
{
    for (;;) {
        const platform::LocalTime now = platform::read_local_time();
        if (changed(now)) {
            return now;
        }
        const int pause = sleep_before_next_reading(now, turn);
        if (pause > 0) {
            platform::sleep_ms(static_cast<unsigned>(pause));
        }
    }
}

}  // namespace clock_wait
