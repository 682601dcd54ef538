// The command tail: skipping the program's own name, and the port switch
// that both serial programs read from the tail.
#include "platform/command_tail.h"

#include <cstddef>
#include <string_view>

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

int port_number_from_tail(std::string_view tail)
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

}  // namespace platform
