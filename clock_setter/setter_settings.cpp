// Reading the clock setter's options from its command tail.
#include "setter_settings.h"

namespace clock_setter {

namespace {

bool contains(std::string_view text, std::string_view option) { return text.find(option) != std::string_view::npos; }

// Only the first switch character of the tail can choose the port, so "/R /2"
// stays on COM1.
int port_number_from(std::string_view tail)
{
    std::size_t at = tail.find('/');
    if (at == std::string_view::npos) {
        at = tail.find('\\');
    }
    if (at == std::string_view::npos || at + 1 >= tail.size()) {
        return 1;
    }
    const char digit = tail[at + 1];
    return digit >= '1' && digit <= '4' ? digit - '0' : 1;
}

}  // namespace

SetterSettings parse_setter_settings(std::string_view command_tail)
{
    SetterSettings settings;
    settings.repeat = contains(command_tail, "/R") || contains(command_tail, "/r");
    settings.display = contains(command_tail, "/D") || contains(command_tail, "/d");
    settings.port_number = port_number_from(command_tail);
    return settings;
}

}  // namespace clock_setter
