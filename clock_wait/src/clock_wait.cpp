// The arithmetic of the wait for the clock's turn.
#include "clock_wait/clock_wait.h"

#include <algorithm>
#include <cstdint>

#include "platform/clock.h"

namespace clock_wait {

std::int64_t us_until_next_turn(const platform::LocalTime& now, Turn turn)
{
    const std::int64_t into_second = std::clamp(now.millisecond, 0, 999) * 1000 + std::clamp(now.microsecond, 0, 999);
    const std::int64_t to_next_second = 1'000'000 - into_second;
    if (turn == Turn::second) {
        return to_next_second;
    }
    return (59 - std::clamp(now.second, 0, 59)) * std::int64_t{1'000'000} + to_next_second;
}

std::int64_t sleep_before_next_reading_us(const platform::LocalTime& now, Turn turn, std::int64_t margin_us)
{
    const std::int64_t far = us_until_next_turn(now, turn) - margin_us;
    return std::clamp<std::int64_t>(far, 0, std::int64_t{max_sleep_ms} * 1000);
}

}  // namespace clock_wait
