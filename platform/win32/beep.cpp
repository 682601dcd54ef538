// The beep on Windows: the system's default sound.
#include "platform/beep.h"

#include <windows.h>

namespace platform {

void beep() { MessageBeep(MB_OK); }

}  // namespace platform
