// The command tail on POSIX: the arguments after the program name, joined by
// single spaces, which is how a shell hands over a Windows-style tail.
#include "platform/command_tail.h"

#include <cstddef>
#include <string>

namespace platform {

std::string read_command_tail(int argc, char** argv)
{
    std::string joined;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) {
            joined += ' ';
        }
        joined += argv[i];
    }
    const std::size_t first = joined.find_first_not_of(" \t");
    return first == std::string::npos ? std::string() : joined.substr(first);
}

}  // namespace platform
