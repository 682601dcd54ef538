// The range rules of a local date and time.
#include "platform/clock.h"
#include "platform/local_time_rules.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace platform {

int days_in_month(int year, int month)
{
    switch (month) {
    case 1: case 3: case 5: case 7: case 8: case 10: case 12:
        return 31;
    case 4: case 6: case 9: case 11:
        return 30;
    case 2: {
        const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
        return leap ? 29 : 28;
    }
    default:
        return 0;
    }
}

bool is_valid_local_time(const LocalTime& t)
{
    return t.year >= 1601 && t.year <= 30827 && t.day >= 1 && t.day <= days_in_month(t.year, t.month) &&
           t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59 && t.second >= 0 &&
           t.second <= 59 && t.millisecond >= 0 && t.millisecond <= 999;
}

std::optional<std::int64_t> nearest_instant(const std::vector<std::int64_t>& candidates, std::int64_t now)
{
    std::optional<std::int64_t> nearest;
    auto distance = [now](std::int64_t instant) { return instant < now ? now - instant : instant - now; };
    for (const std::int64_t candidate : candidates) {
        const bool nearer = !nearest || distance(candidate) < distance(*nearest) ||
                            (distance(candidate) == distance(*nearest) && candidate < *nearest);
        if (nearer) {
            nearest = candidate;
        }
    }
    return nearest;
}

}  // namespace platform
