// Fuzzes the receiver's log: the real receive worker runs on the fake socket
// and window with any sequence of datagrams (any bytes, carriage returns and
// zero bytes included, up to past the 65,536-byte receive buffer) from any
// senders. Every text the label is given must be the log a plain reading of
// the rules gives: lines are appended with one carriage return before each,
// and before every receive the oldest line goes while ten or more carriage
// returns stand. So the log stays within its bound (at most ten carriage
// returns besides those of the newest datagram), every line keeps its bytes,
// and the label's UTF-8 copy is well formed with no carriage return left.
//
// Input: one byte with the number of receives that fail at first (low two
// bits), then records of
//   address (4 bytes), port (2, big-endian), length (2, big-endian),
//   how (1): both low bits set: the next 16 bytes (fewer at the end)
//   repeated up to length + 512 x (how >> 2) bytes, for datagrams up to and
//   past the receive buffer; else the next `length` bytes as they are.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fake_platform.h"
#include "fake_receiver_window.h"
#include "fake_udp_listener.h"
#include "fuzz_check.h"
#include "label_text.h"
#include "receive_worker.h"

namespace {

struct Datagram {
    std::string bytes;
    std::array<std::uint8_t, 4> address;
    std::uint16_t port;
};

std::vector<Datagram> datagrams_of(const std::uint8_t* data, std::size_t size)
{
    std::vector<Datagram> datagrams;
    std::size_t at = 1;
    // A few of the largest datagrams at most: each label text is kept.
    std::size_t total = 0;
    while (at + 9 <= size && datagrams.size() < 40 && total < 200000) {
        Datagram d;
        std::copy(data + at, data + at + 4, d.address.begin());
        d.port = static_cast<std::uint16_t>(data[at + 4] << 8 | data[at + 5]);
        const std::size_t length = static_cast<std::size_t>(data[at + 6] << 8 | data[at + 7]);
        const std::uint8_t how = data[at + 8];
        at += 9;
        if ((how & 3) == 3) {
            const std::size_t pattern_length = std::min<std::size_t>(16, size - at);
            const std::string pattern(reinterpret_cast<const char*>(data + at), pattern_length);
            at += pattern_length;
            const std::size_t total = length + 512 * std::size_t{static_cast<std::uint8_t>(how >> 2)};
            if (!pattern.empty()) {
                while (d.bytes.size() < total) {
                    d.bytes += pattern;
                }
                d.bytes.resize(total);
            }
        } else {
            const std::size_t taken = std::min(length, size - at);
            d.bytes.assign(reinterpret_cast<const char*>(data + at), taken);
            at += taken;
        }
        total += d.bytes.size();
        datagrams.push_back(std::move(d));
    }
    return datagrams;
}

std::size_t separators_in(std::string_view text) { return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\r')); }

// The trim as the rules read: the oldest line goes, one at a time, while ten
// or more carriage returns stand (counted once and kept up to date, so that a
// datagram of thousands of carriage returns costs no more than its length).
void trim_one_line_at_a_time(std::string& log)
{
    std::size_t standing = separators_in(log);
    std::size_t start = 0;
    while (standing >= 10) {
        start = log.find('\r', start) + 1;
        --standing;
    }
    log.erase(0, start);
}

bool is_well_formed_utf8(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<std::uint8_t>(text[i]);
        std::size_t length = 1;
        if (lead >= 0xF0) {
            return false;  // the label holds only 8-bit text: nothing past U+FFFF
        }
        if (lead >= 0xE0) {
            length = 3;
        } else if (lead >= 0xC2) {
            length = 2;
        } else if (lead >= 0x80) {
            return false;
        }
        if (i + length > text.size()) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            if ((static_cast<std::uint8_t>(text[i + k]) & 0xC0) != 0x80) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

void check_label_copy(const std::string& log)
{
    const std::string label = udp_time_receiver::label_display_text(log);
    fuzz::require(is_well_formed_utf8(label), "the label's copy is well-formed UTF-8");
    fuzz::require(label.find('\r') == std::string::npos && label.find('\0') == std::string::npos,
                  "the label's copy has line feeds for carriage returns and stops at a zero byte");
    const std::string_view shown(log.data(), std::min(log.size(), log.find('\0')));
    std::size_t line_breaks = 0;
    for (std::size_t i = 0; i < shown.size(); ++i) {
        if (shown[i] == '\r') {
            ++line_breaks;
        } else if (shown[i] == '\n' && (i == 0 || shown[i - 1] != '\r')) {
            ++line_breaks;  // a lone line feed breaks the GTK label's line too
        }
    }
    fuzz::require(static_cast<std::size_t>(std::count(label.begin(), label.end(), '\n')) == line_breaks,
                  "the label's copy breaks lines where the log does");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const std::vector<Datagram> datagrams = datagrams_of(data, size);

    fake::reset(platform::LocalTime{2026, 7, 3, 14, 5, 9, 0});
    fake::reset_udp_listener();
    fake::reset_receiver_window();
    fake::fail_next_receives(data[0] & 3);
    for (const auto& d : datagrams) {
        fake::queue_datagram(d.bytes, d.address, d.port);
    }
    // The window goes after the last datagram's line has been shown; with no
    // datagram at all, the run ends in the first wait.
    fake::close_window_after_shows(2 + datagrams.size());
    fake::stop_at_us(std::int64_t{60} << 21);
    try {
        udp_time_receiver::receive_worker(udp_time_receiver::ReceiverWindow{1});
    } catch (const fake::StopRun&) {
        fuzz::require(datagrams.empty(), "the worker shows every datagram before its first long wait");
    }

    const auto& shown = fake::shown_logs();
    fuzz::require(shown.size() == 2 + datagrams.size(), "one label text at start, one when listening, one per datagram",
                  std::to_string(shown.size()) + " texts for " + std::to_string(datagrams.size()) + " datagrams");
    std::string expected = "Starting UDP Time Receiver.";
    fuzz::require(shown[0] == expected, "the first text is the start line", fuzz::quoted(shown[0]));
    expected += "\rListening for broadcasts to 255.255.255.255:16000";
    fuzz::require(shown[1] == expected, "then the listening line", fuzz::quoted(shown[1]));

    for (std::size_t k = 0; k < datagrams.size(); ++k) {
        const Datagram& d = datagrams[k];
        // One receive takes at most the 65,536 bytes of the buffer.
        const std::string line = "Data received: " + d.bytes.substr(0, udp_time_receiver::receive_buffer_bytes) +
                                 " from " + std::to_string(d.address[0]) + "." + std::to_string(d.address[1]) + "." +
                                 std::to_string(d.address[2]) + "." + std::to_string(d.address[3]) + ":" +
                                 std::to_string(d.port);
        trim_one_line_at_a_time(expected);
        expected += '\r';
        expected += line;
        const std::string& log = shown[2 + k];
        fuzz::require(log.size() >= line.size() && log.compare(log.size() - line.size(), line.size(), line) == 0,
                      "the newest line ends the log with all its bytes", "datagram " + std::to_string(k));
        fuzz::require(separators_in(std::string_view(log).substr(0, log.size() - line.size())) <= 10,
                      "at most ten carriage returns stand before the newest line", "datagram " + std::to_string(k));
        fuzz::require(log == expected, "the log is what appending and trimming line by line give",
                      "datagram " + std::to_string(k) + ": " + std::to_string(log.size()) + " bytes shown, " +
                          std::to_string(expected.size()) + " expected");
        // The label's copy costs a pass over the whole log: every small
        // one, and the last.
        if (log.size() < 8192 || k + 1 == datagrams.size()) {
            check_label_copy(log);
        }
    }
    return 0;
}
