// The fake receiver window.
#include "fake_receiver_window.h"

#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include "receiver_layout.h"
#include "receiver_window.h"

namespace fake {

namespace {

struct WindowState {
    std::vector<std::string> shown;
    std::vector<std::string> calls;
    std::size_t gone_after_shows = std::numeric_limits<std::size_t>::max();
};

WindowState& window()
{
    static WindowState s;
    return s;
}

}  // namespace

void reset_receiver_window() { window() = WindowState{}; }
const std::vector<std::string>& shown_logs() { return window().shown; }
const std::vector<std::string>& window_calls() { return window().calls; }
void close_window_after_shows(std::size_t count) { window().gone_after_shows = count; }

}  // namespace fake

namespace udp_time_receiver {

void show_log(ReceiverWindow, const std::string& log_text)
{
    fake::window().calls.push_back("show");
    fake::window().shown.push_back(log_text);
}

int read_window_alive(ReceiverWindow)
{
    fake::window().calls.push_back("alive");
    return fake::window().shown.size() >= fake::window().gone_after_shows ? 0 : dialog_height_du;
}

void sound_failure_beep(ReceiverWindow) { fake::window().calls.push_back("beep"); }
void request_window_close(ReceiverWindow) { fake::window().calls.push_back("close"); }

}  // namespace udp_time_receiver
