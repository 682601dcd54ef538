// Asks the Windows programs' own clock write for the local date and time on
// its command line (year month day hour minute second), so that a system
// test sees, in the difference that Wine reports as it refuses the write,
// which instant a local time was taken as: its clock cannot be placed in the
// hour repeated when summer time ends, but the time asked for can.
#include <cstdlib>

#include "platform/clock.h"

int main(int argc, char** argv)
{
    if (argc != 7) {
        return 2;
    }
    platform::LocalTime time;
    int* const fields[] = {&time.year, &time.month, &time.day, &time.hour, &time.minute, &time.second};
    for (int i = 0; i < 6; ++i) {
        *fields[i] = std::atoi(argv[i + 1]);
    }
    return platform::write_local_time(time) ? 0 : 1;
}
