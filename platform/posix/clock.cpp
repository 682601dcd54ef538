// The local clock on POSIX: CLOCK_REALTIME seen through the local time zone.
#include "platform/clock.h"

#include <cerrno>
#include <ctime>

#include "platform/local_time_rules.h"

namespace platform {

LocalTime read_local_time()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    return LocalTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                     local.tm_min,         local.tm_sec,     static_cast<int>(now.tv_nsec / 1000000)};
}

bool write_local_time(const LocalTime& time)
{
    // mktime would carry 31 April into 1 May; refuse such values instead, as
    // SetLocalTime does.
    if (!is_valid_local_time(time)) {
        return false;
    }
    tm local{};
    local.tm_year = time.year - 1900;
    local.tm_mon = time.month - 1;
    local.tm_mday = time.day;
    local.tm_hour = time.hour;
    local.tm_min = time.minute;
    local.tm_sec = time.second;
    local.tm_isdst = -1;
    errno = 0;
    const time_t seconds = mktime(&local);
    if (seconds == static_cast<time_t>(-1) && errno != 0) {
        return false;
    }
    const timespec value{seconds, static_cast<long>(time.millisecond) * 1000000L};
    return clock_settime(CLOCK_REALTIME, &value) == 0;
}

std::uint64_t monotonic_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

void sleep_ms(unsigned ms)
{
    timespec remaining{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &remaining, &remaining) == EINTR) {
    }
}

void pause_briefly()
{
    // A loop polling a pty without any pause can keep the kernel worker that
    // moves written bytes into the pty's queue from running for tens of ms.
    const timespec moment{0, 100'000L};
    clock_nanosleep(CLOCK_MONOTONIC, 0, &moment, nullptr);
}

}  // namespace platform
