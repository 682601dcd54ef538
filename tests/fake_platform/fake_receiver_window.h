// The fake receiver window for the receive worker's unit tests: it records
// what the worker shows and asks for, and can be made to disappear.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace fake {

void reset_receiver_window();

// Every text written into the log label, whole (zero bytes included).
const std::vector<std::string>& shown_logs();

// Every call in order: "show", "alive", "beep", "close".
const std::vector<std::string>& window_calls();

// The window is gone once this many texts have been shown.
void close_window_after_shows(std::size_t count);

}  // namespace fake
