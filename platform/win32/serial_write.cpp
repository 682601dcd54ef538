// Writing to a serial port on Windows (the time sender's side).
#include "platform/serial_port.h"

#include <windows.h>

#include <string_view>

#include "serial_handle.h"

namespace platform {

bool write_serial(SerialPort port, std::string_view bytes)
{
    DWORD written = 0;
    const BOOL ok = WriteFile(handle_of(port), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    return ok && written == bytes.size();
}

}  // namespace platform
