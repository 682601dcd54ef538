// The clock setter's settings, found in its command tail.
#pragma once

#include <string_view>

namespace clock_setter {

struct SetterSettings {
    bool repeat = false;   // a new cycle at every change of the clock's minute
    bool display = false;  // a message box with the last frame after each cycle
    int port_number = 1;   // COM1..COM4
};

// Options are found by a case-sensitive search of the whole tail, which is
// never split into words. "/R" "/r" "/D" "/d" take the forward slash only; the
// port digit follows the first "/", or the first "\" in a tail without "/".
SetterSettings parse_setter_settings(std::string_view command_tail);

}  // namespace clock_setter
