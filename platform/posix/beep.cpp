// The beep on POSIX: the bell of the terminal the program was started from.
#include "platform/beep.h"

#include <fcntl.h>
#include <unistd.h>

namespace platform {

void beep()
{
    const int tty = open("/dev/tty", O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (tty < 0) {
        return;
    }
    const char bell = '\a';
    [[maybe_unused]] const ssize_t written = write(tty, &bell, 1);
    close(tty);
}

}  // namespace platform
