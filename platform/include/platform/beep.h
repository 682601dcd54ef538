// The system's default sound, the programs' one sign of a failed start.
#pragma once

namespace platform {

// Windows: MessageBeep(MB_OK). Elsewhere the terminal's bell, where the
// program has a terminal; nothing otherwise.
void beep();

}  // namespace platform
