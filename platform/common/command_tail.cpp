// Skipping the program's own name in a command line.
#include "platform/command_tail.h"

namespace platform {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::string_view skip_program_name(std::string_view command_line)
{
    std::size_t pos = 0;
    if (!command_line.empty() && command_line.front() == '"') {
        const std::size_t closing = command_line.find('"', 1);
        pos = closing == std::string_view::npos ? command_line.size() : closing + 1;
    } else {
        while (pos < command_line.size() && !is_blank(command_line[pos])) {
            ++pos;
        }
    }
    while (pos < command_line.size() && is_blank(command_line[pos])) {
        ++pos;
    }
    return command_line.substr(pos);
}

}  // namespace platform
