// serial_time_sender: sends the PC's local time to a clock on COM1..COM4.
#include "platform/command_tail.h"
#include "sender.h"
#include "sender_settings.h"

#include <string>

#ifndef SERIAL_DATA_BITS
#error "SERIAL_DATA_BITS selects the variant: 8 or 7"
#endif

int main(int argc, char** argv)
{
    const std::string tail = platform::read_command_tail(argc, argv);
    const auto settings = serial_time_sender::parse_sender_settings(tail, SERIAL_DATA_BITS);
    return serial_time_sender::run_serial_time_sender(settings, SERIAL_DATA_BITS);
}
