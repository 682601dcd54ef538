// The message box on Windows.
#include "platform/message_box.h"

#include <windows.h>

#include <string>
#include <string_view>

namespace platform {

void show_message_box(std::string_view caption, std::string_view text)
{
    MessageBoxA(nullptr, std::string(text).c_str(), std::string(caption).c_str(), MB_OK);
}

}  // namespace platform
