// The message box on Linux: a modal GTK 3 dialog with one OK button.
#include "platform/message_box.h"

#include <gtk/gtk.h>

#include <string>
#include <string_view>

namespace platform {

namespace {

// The programs' texts are 8-bit ANSI; GTK wants UTF-8. Latin-1 maps each
// byte to the code point of the same value.
std::string utf8_from_latin1(std::string_view text)
{
    std::string utf8;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            utf8 += c;
        } else {
            utf8 += static_cast<char>(0xC0 | (byte >> 6));
            utf8 += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return utf8;
}

}  // namespace

void show_message_box(std::string_view caption, std::string_view text)
{
    if (!gtk_init_check(nullptr, nullptr)) {
        return;  // no display: nobody to show it to
    }
    GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_OTHER, GTK_BUTTONS_OK, "%s",
                                               utf8_from_latin1(text).c_str());
    gtk_window_set_title(GTK_WINDOW(dialog), utf8_from_latin1(caption).c_str());
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
    gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
    // Let the window go from the screen before the program goes on.
    while (gtk_events_pending()) {
        gtk_main_iteration();
    }
}

}  // namespace platform
