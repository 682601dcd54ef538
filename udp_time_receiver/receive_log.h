// The receiver's log: the lines it shows and the trim that keeps it short.
// Pure text handling; the worker owns the one log and hands it to the window.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace udp_time_receiver {

// Lines of the log are separated by one carriage return, with no line feed.
constexpr char line_separator = '\r';

// The port the receiver listens on, and the address its listening line names.
constexpr std::uint16_t listen_port = 16000;
constexpr std::array<std::uint8_t, 4> all_ones_address{255, 255, 255, 255};

// While this many separators stand in the log, its oldest line goes.
constexpr std::size_t trim_separator_limit = 10;

constexpr std::string_view start_line = "Starting UDP Time Receiver.";

// An IPv4 address as its bytes lie in memory (network order, first octet
// first), each in plain decimal, joined by dots: "10.0.0.1".
std::string format_ipv4(const std::array<std::uint8_t, 4>& address);

// "Listening for broadcasts to 255.255.255.255:16000".
std::string listening_line();

// "Data received: " + the bytes unchanged + " from " + address + ":" + port.
std::string datagram_line(std::string_view data, const std::array<std::uint8_t, 4>& sender_address,
                          std::uint16_t sender_port);

// Appends a separator and the line.
void append_log_line(std::string& log_text, std::string_view line);

// While the log holds `trim_separator_limit` or more separators, removes
// everything up to and including the first one.
void trim_log(std::string& log_text);

}  // namespace udp_time_receiver
