// The arithmetic of the wait for the clock's turn.
#include "clock_wait/clock_wait.h"

namespace clock_wait {

int ms_until_next_turn(const platform::LocalTime& now, Turn turn)
{
    const int to_next_second = 1000 - std::clamp(now.millisecond, 0, 999);
    if (turn == Turn::second) {
        return to_next_second;
    }
    return (59 - std::clamp(now.second, 0, 59)) * 1000 + to_next_second;
}

int sleep_before_next_reading(const platform::LocalTime& now, Turn turn)
{
    const int far = ms_until_next_turn(now, turn) - poll_window_ms;
    return std::clamp(far, 0, max_sleep_ms);
}

}  // namespace clock_wait
