// The local clock on Windows: reading it, a monotonic count, and sleeping.
// Setting it has a file of its own: only the clock setter may carry that call.
#include "platform/clock.h"

#include <windows.h>
#include <mmsystem.h>

#include <cstdint>

namespace platform {

LocalTime read_local_time()
{
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return LocalTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, 0};
}

std::uint64_t monotonic_ms()
{
    LARGE_INTEGER frequency{};
    LARGE_INTEGER count{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&count);
    return static_cast<std::uint64_t>(count.QuadPart) * 1000u / static_cast<std::uint64_t>(frequency.QuadPart);
}

void sleep_ms(unsigned ms)
{
    // The default timer resolution of about 15.6 ms would make every short
    // sleep overshoot; ask for 1 ms once, for the life of the process.
    static const bool fine_timer = timeBeginPeriod(1) == TIMERR_NOERROR;
    (void)fine_timer;
    Sleep(ms);
}

void sleep_us(std::uint32_t us)
{
    // Sleep takes whole milliseconds; rounding down makes the sleep end
    // early rather than late, and the caller's margin covers the rest.
    sleep_ms(us / 1000);
}

std::uint32_t wake_margin_us() { return 2000; }

void pause_briefly() { Sleep(0); }

}  // namespace platform
