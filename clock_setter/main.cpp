// clock_setter: sets the PC's local date and time from a clock on COM1..COM4.
#include "platform/command_tail.h"
#include "setter.h"
#include "setter_settings.h"

#include <string>

#ifndef CLOCK_SETTER_DATA_BITS
#error "CLOCK_SETTER_DATA_BITS selects the build: 7 or 8"
#endif

int main(int argc, char** argv)
{
    const std::string tail = platform::read_command_tail(argc, argv);
    return clock_setter::run_clock_setter(clock_setter::parse_setter_settings(tail), CLOCK_SETTER_DATA_BITS);
}
