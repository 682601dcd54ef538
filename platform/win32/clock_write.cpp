// Setting the local clock on Windows, for the clock setter alone.
#include "platform/clock.h"

#include <windows.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/local_time_rules.h"

namespace platform {

namespace {

constexpr std::int64_t ticks_per_minute = 600'000'000;  // FILETIME counts 100 ns

std::int64_t ticks_of(const FILETIME& time)
{
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

FILETIME filetime_of(std::int64_t ticks)
{
    const auto bits = static_cast<std::uint64_t>(ticks);
    return FILETIME{static_cast<DWORD>(bits), static_cast<DWORD>(bits >> 32)};
}

bool same_date_and_time(const SYSTEMTIME& a, const SYSTEMTIME& b)
{
    return a.wYear == b.wYear && a.wMonth == b.wMonth && a.wDay == b.wDay && a.wHour == b.wHour &&
           a.wMinute == b.wMinute && a.wSecond == b.wSecond;
}

// The instants (UTC, in FILETIME ticks) at which the local clock reads
// `local`: the time less the zone's standard and its daylight bias, where the
// zone's rules for that date turn the instant back into `local`. Two in the
// hour repeated when summer time ends, none in the hour skipped when it
// begins or for a value Windows does not take. (SetLocalTime would convert
// with the bias in force now, an hour off for a time across a change.)
std::vector<std::int64_t> instants_reading(const SYSTEMTIME& local)
{
    FILETIME as_utc{};
    TIME_ZONE_INFORMATION zone{};
    if (!SystemTimeToFileTime(&local, &as_utc) || GetTimeZoneInformation(&zone) == TIME_ZONE_ID_INVALID) {
        return {};
    }
    std::vector<std::int64_t> found;
    for (const LONG bias : {zone.Bias + zone.StandardBias, zone.Bias + zone.DaylightBias}) {
        const std::int64_t candidate = ticks_of(as_utc) + bias * ticks_per_minute;
        const FILETIME instant = filetime_of(candidate);
        SYSTEMTIME utc{};
        SYSTEMTIME back{};
        if (FileTimeToSystemTime(&instant, &utc) && SystemTimeToTzSpecificLocalTime(nullptr, &utc, &back) &&
            same_date_and_time(back, local) && (found.empty() || found.front() != candidate)) {
            found.push_back(candidate);
        }
    }
    return found;
}

}  // namespace

bool write_local_time(const LocalTime& time)
{
    SYSTEMTIME value{};
    value.wYear = static_cast<WORD>(time.year);
    value.wMonth = static_cast<WORD>(time.month);
    value.wDay = static_cast<WORD>(time.day);
    value.wHour = static_cast<WORD>(time.hour);
    value.wMinute = static_cast<WORD>(time.minute);
    value.wSecond = static_cast<WORD>(time.second);
    value.wMilliseconds = static_cast<WORD>(time.millisecond);
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const std::optional<std::int64_t> instant = nearest_instant(instants_reading(value), ticks_of(now));
    if (!instant) {
        // The hour skipped in spring, or a value it refuses: as SetLocalTime takes it.
        return SetLocalTime(&value) != 0;
    }
    const FILETIME chosen = filetime_of(*instant);
    SYSTEMTIME utc{};
    return FileTimeToSystemTime(&chosen, &utc) && SetSystemTime(&utc) != 0;
}

}  // namespace platform
