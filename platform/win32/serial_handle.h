// The Win32 handle inside a SerialPort, for the serial sources of this folder.
#pragma once

#include <windows.h>

#include "platform/serial_port.h"

namespace platform {

inline HANDLE handle_of(SerialPort port) { return reinterpret_cast<HANDLE>(port.handle); }

}  // namespace platform
