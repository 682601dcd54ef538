// A message box: a caption, a text and one OK button.
#pragma once

#include <string_view>

namespace platform {

// Shows a box with no owner window and returns when the user has closed it.
// Windows: MessageBoxA with MB_OK. Linux: a GTK 3 dialog with one OK button;
// with no display to show it on, it counts as shown and closed at once.
// The texts are 8-bit ANSI.
void show_message_box(std::string_view caption, std::string_view text);

}  // namespace platform
