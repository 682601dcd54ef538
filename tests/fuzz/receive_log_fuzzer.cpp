// Fuzzes the receiver's log: the real receive worker runs on the fake socket
// and window with any sequence of datagrams (any bytes, carriage returns and
// zero bytes included, up to past the 65,536-byte receive buffer) from any
// senders. Every text the label is given must be the log a plain reading of
// the rules gives: lines are appended with one carriage return before each,
// and before every receive the oldest line goes while ten or more carriage
// returns stand. So the log stays within its bound (at most ten carriage
// returns besides those of the newest datagram), every line keeps its bytes,
// and the label's UTF-8 copy keeps what its rows can show of the log.
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
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fake_platform.h"
#include "fake_receiver_window.h"
#include "fake_udp_listener.h"
#include "fuzz_check.h"
#include "label_text.h"
#include "platform/clock.h"
#include "receive_worker.h"
#include "receiver_window.h"

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

// The code points of well-formed UTF-8 of at most three bytes a character,
// or nothing.
std::optional<std::vector<std::uint32_t>> code_points_of(std::string_view text)
{
    std::vector<std::uint32_t> points;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<std::uint8_t>(text[i]);
        std::size_t length = 1;
        std::uint32_t point = lead;
        if (lead >= 0xF0 || (lead >= 0x80 && lead < 0xC2)) {
            return std::nullopt;  // 8-bit text never needs four bytes
        }
        if (lead >= 0xE0) {
            length = 3;
            point = lead & 0x0F;
        } else if (lead >= 0xC2) {
            length = 2;
            point = lead & 0x1F;
        }
        if (i + length > text.size()) {
            return std::nullopt;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<std::uint8_t>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return std::nullopt;
            }
            point = point << 6 | (next & 0x3F);
        }
        points.push_back(point);
        i += length;
    }
    return points;
}

// The log's lines as the label breaks them: at a carriage return (with a
// line feed after it or not) and at a lone line feed, up to a zero byte.
std::vector<std::string_view> label_lines_of(std::string_view log)
{
    log = log.substr(0, std::min(log.size(), log.find('\0')));
    std::vector<std::string_view> lines;
    std::size_t from = 0;
    for (std::size_t i = 0; i <= log.size(); ++i) {
        if (i == log.size() || log[i] == '\r' || log[i] == '\n') {
            lines.push_back(log.substr(from, i - from));
            if (i + 1 < log.size() && log[i] == '\r' && log[i + 1] == '\n') {
                ++i;
            }
            from = i + 1;
        }
    }
    return lines;
}

// The label gets the log's lines as UTF-8 read from Windows-1252, in order,
// the last perhaps cut: at most `label_lines` lines and `label_characters`
// characters that take room (all but the soft hyphen), and short of the whole
// log only where one of the two bounds was reached.
void check_label_copy(const std::string& log)
{
    using udp_time_receiver::label_characters;
    using udp_time_receiver::label_lines;
    const std::string label = udp_time_receiver::label_display_text(log);
    fuzz::require(label.find('\r') == std::string::npos && label.find('\0') == std::string::npos,
                  "the label's copy has line feeds for carriage returns and stops at a zero byte");
    const std::vector<std::string_view> log_lines = label_lines_of(log);
    std::vector<std::string_view> shown_lines;
    for (std::size_t from = 0;;) {
        const std::size_t feed = label.find('\n', from);
        shown_lines.push_back(std::string_view(label).substr(from, feed == std::string::npos ? feed : feed - from));
        if (feed == std::string::npos) {
            break;
        }
        from = feed + 1;
    }
    fuzz::require(shown_lines.size() <= std::min(log_lines.size(), label_lines), "no more lines than the log, nor 64",
                  std::to_string(shown_lines.size()) + " lines of " + std::to_string(log_lines.size()));
    std::size_t room = 0;
    bool whole = shown_lines.size() == log_lines.size();
    std::uint8_t last_byte = 0;
    for (std::size_t k = 0; k < shown_lines.size(); ++k) {
        const auto points = code_points_of(shown_lines[k]);
        fuzz::require(points.has_value(), "the label's copy is well-formed UTF-8", "line " + std::to_string(k));
        const std::string_view line = log_lines[k];
        fuzz::require(points->size() == line.size() || (k + 1 == shown_lines.size() && points->size() < line.size()),
                      "every line whole but the last", "line " + std::to_string(k));
        whole = whole && points->size() == line.size();
        for (std::size_t i = 0; i < points->size(); ++i) {
            last_byte = static_cast<std::uint8_t>(line[i]);
            room += last_byte == 0xAD ? 0 : 1;
            // 0x80-0x9F are Windows-1252's own; every other byte is its code point.
            fuzz::require((last_byte >= 0x80 && last_byte < 0xA0) ? (*points)[i] >= 0x80 : (*points)[i] == last_byte,
                          "each byte shows as its Windows-1252 character", "line " + std::to_string(k));
        }
    }
    fuzz::require(room <= label_characters, "no more characters than the rows can hold", std::to_string(room));
    if (!whole) {
        const bool characters_full = room == label_characters && last_byte != 0xAD;
        const bool lines_full = shown_lines.size() == label_lines &&
                                code_points_of(shown_lines.back())->size() == log_lines[label_lines - 1].size();
        fuzz::require(characters_full || lines_full, "the copy stops short only at one of its bounds",
                      std::to_string(room) + " characters in " + std::to_string(shown_lines.size()) + " lines");
    }
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
