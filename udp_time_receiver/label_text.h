// The log as a toolkit label shows it where labels take UTF-8 and break
// lines only at line feeds (the GTK window). The log itself is not changed.
#pragma once

#include <string>
#include <string_view>

namespace udp_time_receiver {

// What a Windows static control shows of `log_text`, as UTF-8: the text up to
// the first zero byte, each carriage return (or carriage return and line
// feed) as one line feed, and every other byte read as ANSI (Windows-1252).
std::string label_display_text(std::string_view log_text);

}  // namespace udp_time_receiver
