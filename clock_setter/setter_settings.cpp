// Reading the clock setter's options from its command tail.
#include "setter_settings.h"

#include <string_view>

#include "platform/command_tail.h"

namespace clock_setter {

namespace {

bool contains(std::string_view text, std::string_view option) { return text.find(option) != std::string_view::npos; }

}  // namespace

SetterSettings parse_setter_settings(std::string_view command_tail)
{
    SetterSettings settings;
    settings.repeat = contains(command_tail, "/R") || contains(command_tail, "/r");
    settings.display = contains(command_tail, "/D") || contains(command_tail, "/d");
    settings.port_number = platform::port_number_from_tail(command_tail);
    return settings;
}

}  // namespace clock_setter
