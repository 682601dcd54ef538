// What a local date and time must hold for the system to accept it.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/clock.h"

namespace platform {

// Days in a month of the Gregorian calendar; 0 for a month outside 1..12.
int days_in_month(int year, int month);

// True when every field is in range, as SetLocalTime demands: years 1601 to
// 30827, a day that exists in its month, hour 0-23, minute and second 0-59,
// milliseconds 0-999.
bool is_valid_local_time(const LocalTime& time);

// Of the instants at which the local clock reads one date and time, the one
// nearest the clock's current instant `now`, all counted on one scale. A
// local time names two instants in the hour repeated when summer time ends
// (first in summer time, then an hour later in standard time), one elsewhere,
// and none in the hour skipped when summer time begins: nothing then. Nearest
// is right because the equipment that sends such a time (fed by a time signal
// that carries the change itself) and the PC rarely differ by more than
// minutes. Of two as near, the earlier.
std::optional<std::int64_t> nearest_instant(const std::vector<std::int64_t>& candidates, std::int64_t now);

}  // namespace platform
