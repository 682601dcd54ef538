// The receive loop: the log, the socket, and the window's log label.
#include "receive_worker.h"

#include <string>
#include <vector>

#include "platform/udp_listener.h"
#include "receive_log.h"
#include "receiver_window.h"

namespace udp_time_receiver {

int receive_worker(ReceiverWindow window)
{
    std::string log_text(start_line);
    show_log(window, log_text);

    const auto listener = platform::open_udp_listener(listen_port);
    if (!listener) {
        // Usually another program holds the port. No line about it: one
        // beep, and the window closes, which ends the program.
        sound_failure_beep(window);
        request_window_close(window);
        return 0;
    }
    append_log_line(log_text, listening_line());
    show_log(window, log_text);

    std::vector<char> buffer(receive_buffer_bytes);
    for (;;) {
        trim_log(log_text);
        const auto received = platform::receive_datagram(*listener, receive_wait_us, buffer.data(), buffer.size());
        if (!received) {
            continue;  // the wait passed or the socket reported an error
        }
        append_log_line(log_text, datagram_line(std::string_view(buffer.data(), received->size),
                                                received->sender_address, received->sender_port));
        show_log(window, log_text);
        if (read_window_alive(window) == 0) {
            break;
        }
    }
    platform::close_udp_listener(*listener);
    return 0;
}

}  // namespace udp_time_receiver
