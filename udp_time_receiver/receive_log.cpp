// The receiver's log lines and its trim.
#include "receive_log.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace udp_time_receiver {

std::string format_ipv4(const std::array<std::uint8_t, 4>& address)
{
    std::string text;
    for (std::size_t i = 0; i < address.size(); ++i) {
        if (i != 0) {
            text += '.';
        }
        text += std::to_string(static_cast<unsigned>(address[i]));
    }
    return text;
}

std::string listening_line()
{
    return "Listening for broadcasts to " + format_ipv4(all_ones_address) + ":" + std::to_string(listen_port);
}

std::string datagram_line(std::string_view data, const std::array<std::uint8_t, 4>& sender_address,
                          std::uint16_t sender_port)
{
    std::string line = "Data received: ";
    line.append(data.data(), data.size());
    line += " from ";
    line += format_ipv4(sender_address);
    line += ':';
    line += std::to_string(static_cast<unsigned>(sender_port));
    return line;
}

void append_log_line(std::string& log_text, std::string_view line)
{
    log_text += line_separator;
    log_text.append(line.data(), line.size());
}

void trim_log(std::string& log_text)
{
    // Removing the oldest line one at a time until fewer than the limit stay
    // is the same as cutting once after the (count - limit + 1)-th separator;
    // one cut keeps the trim linear however many separators a datagram holds.
    const auto separators = static_cast<std::size_t>(std::count(log_text.begin(), log_text.end(), line_separator));
    if (separators < trim_separator_limit) {
        return;
    }
    std::size_t to_remove = separators - trim_separator_limit + 1;
    std::size_t cut = 0;
    while (to_remove > 0) {
        cut = log_text.find(line_separator, cut) + 1;
        --to_remove;
    }
    log_text.erase(0, cut);
}

}  // namespace udp_time_receiver
