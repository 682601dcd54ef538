// The command tail on Windows: the whole command line, less the program name.
#include "platform/command_tail.h"

#include <windows.h>

#include <string>

namespace platform {

std::string read_command_tail(int, char**)
{
    return std::string(skip_program_name(GetCommandLineA()));
}

}  // namespace platform
