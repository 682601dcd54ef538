// The command tail: the text after the program's own name and the blanks
// after it, searched by the programs for their options.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// The command tail of this process. Windows reads the whole command line;
// elsewhere the arguments are joined with single spaces.
std::string read_command_tail(int argc, char** argv);

// Skips the program name of a whole command line (a name in double quotes ends
// at the closing quote, an unquoted one at the first blank) and the blanks
// after it.
std::string_view skip_program_name(std::string_view command_line);

// The port chosen by a command tail: the character right after its first
// "/" (or, only in a tail without any "/", its first "\"); "1" to "4" give
// COM1 to COM4, anything else or nothing gives COM1.
int port_number_from_tail(std::string_view tail);

}  // namespace platform
