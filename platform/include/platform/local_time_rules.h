// What a local date and time must hold for the system to accept it.
#pragma once

#include "platform/clock.h"

namespace platform {

// Days in a month of the Gregorian calendar; 0 for a month outside 1..12.
int days_in_month(int year, int month);

// True when every field is in range, as SetLocalTime demands: years 1601 to
// 30827, a day that exists in its month, hour 0-23, minute and second 0-59,
// milliseconds 0-999.
bool is_valid_local_time(const LocalTime& time);

}  // namespace platform
