// The clock setter's run: open and set up the port, then cycles of five frames
// that set the PC's local date and time, once or at every change of the
// clock's minute.
#pragma once

#include <string_view>

#include "frame_rules.h"
#include "setter_settings.h"

namespace clock_setter {

constexpr unsigned baud_rate = 9600;
constexpr unsigned queue_bytes = 35;
constexpr int attempts_per_cycle = 5;
constexpr std::string_view box_caption = "Quorvant";

// Sets the date, then the time, each a read-modify-write of the local time;
// the time with milliseconds 0. Where the date was written, the time step
// writes the frame's date again, so that a day turning between the two
// steps cannot put the frame's time on the next day.
void set_clock_from(const ClockSetting& setting);

// Runs the clock setter and returns its exit code, 0 on every path: a port
// that cannot be opened, one cycle done, or no frame within 5 seconds (in
// repeat mode too).
int run_clock_setter(const SetterSettings& settings, int data_bits);

}  // namespace clock_setter
