// What the receive worker may do to the receiver window from its own thread.
// Each per-OS window source defines these; each call is carried out on the
// window's thread while the worker waits, as a sent window message is.
#pragma once

#include <cstdint>
#include <string>

namespace udp_time_receiver {

// The window the worker was started for (the dialog's handle on Windows).
struct ReceiverWindow {
    std::intptr_t handle;
};

// Writes the whole log into the log label; the label shows it up to the
// first zero byte. Goes nowhere once the window is gone.
void show_log(ReceiverWindow window, const std::string& log_text);

// The window's height in dialog units; 0 once the window is gone.
int read_window_alive(ReceiverWindow window);

// The system's default sound (MessageBeep with MB_OK; the display's bell).
void sound_failure_beep(ReceiverWindow window);

// Asks the window to close as its close box does (WM_SYSCOMMAND, SC_CLOSE),
// which ends the program.
void request_window_close(ReceiverWindow window);

}  // namespace udp_time_receiver
