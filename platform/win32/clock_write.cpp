// Setting the local clock on Windows, for the clock setter alone.
#include "platform/clock.h"

#include <windows.h>

namespace platform {

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
    return SetLocalTime(&value) != 0;
}

}  // namespace platform
