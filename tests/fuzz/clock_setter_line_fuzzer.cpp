// Fuzzes the clock setter's whole run on the fake platform against any bytes
// arriving on its line, in any chunks at any moments, with line errors: its
// frame wait (the exactly-35 rule, the drain above 38, the 5-second limit),
// its five attempts a cycle, repeat mode and the message box. The oracle:
// - the run ends by itself, with exit code 0 and the port closed, at most a
//   minute and the frame waits of one cycle after the line falls silent;
// - every block applied is a window of 35 bytes of what arrived that the
//   frame's rules accept: the date write carries its date, the time write its
//   time (to the second, milliseconds 0) on the date the clock then holds;
// - every message box shows the date and time of such a window with both
//   marks, as the clock sent them.
//
// Input: one byte of settings (bit 0 repeat, bit 1 message box, bit 2 the
// 7-bit build), then chunks of: the gap before it in ms (1 byte), its length
// (1 byte; bit 7 also reports a line error with it), and its bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "fake_platform.h"
#include "frame_rules.h"
#include "fuzz_check.h"
#include "platform/clock.h"
#include "platform/serial_port.h"
#include "setter.h"
#include "setter_settings.h"

namespace {

struct Chunk {
    std::int64_t at_us;
    std::string bytes;
    bool line_error;
};

using DateTime = std::tuple<int, int, int, int, int, int>;  // y, m, d, h, min, s

// The date and time a 35-byte block carries by the frame's rules, worked out
// here from its layout; nothing for a block that sets nothing.
std::optional<DateTime> carried_by(std::string_view block)
{
    if (block.size() != 35 || block[0] != '*' || block[34] != '#') {
        return std::nullopt;
    }
    auto blank_stripped = [&block](std::size_t at) {
        std::string_view text = block.substr(at, 2);
        while (!text.empty() && text.front() == ' ') {
            text.remove_prefix(1);
        }
        return text;
    };
    auto field = [&blank_stripped](std::size_t at) -> std::optional<int> {
        const std::string_view text = blank_stripped(at);
        if (text.empty()) {
            return std::nullopt;
        }
        int value = 0;
        for (const char c : text) {
            if (c < '0' || c > '9') {
                return std::nullopt;
            }
            value = value * 10 + (c - '0');
        }
        return value;
    };
    if (blank_stripped(5) == "00" || blank_stripped(3) == "00") {
        return std::nullopt;
    }
    int year = 0;
    for (const char c : block.substr(11, 4)) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        year = year * 10 + (c - '0');
    }
    if (year < 80) {
        year += 2000;
    } else if (year < 100) {
        year += 1900;
    } else if (year < 1980) {
        return std::nullopt;
    }
    const auto second = field(1), minute = field(3), hour = field(5), day = field(7), month = field(9);
    if (!second || !minute || !hour || !day || !month) {
        return std::nullopt;
    }
    return DateTime{year, *month, *day, *hour, *minute, *second};
}

std::string text_of(const platform::LocalTime& t)
{
    return std::to_string(t.year) + "-" + std::to_string(t.month) + "-" + std::to_string(t.day) + " " +
           std::to_string(t.hour) + ":" + std::to_string(t.minute) + ":" + std::to_string(t.second) + "." +
           std::to_string(t.millisecond);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    clock_setter::SetterSettings settings;
    settings.repeat = (data[0] & 1) != 0;
    settings.display = (data[0] & 2) != 0;
    const int data_bits = (data[0] & 4) != 0 ? 7 : 8;

    std::vector<Chunk> chunks;
    std::string line;  // every byte that arrives, in order
    std::int64_t at_us = 10000;
    for (std::size_t i = 1; i + 2 <= size;) {
        at_us += std::int64_t{data[i]} * 1000;
        const std::size_t length = std::min<std::size_t>(data[i + 1] & 0x7F, size - i - 2);
        Chunk chunk{at_us, std::string(reinterpret_cast<const char*>(data + i + 2), length),
                    (data[i + 1] & 0x80) != 0};
        line += chunk.bytes;
        chunks.push_back(std::move(chunk));
        i += 2 + length;
    }

    fake::reset(platform::LocalTime{2031, 7, 14, 9, 26, 53, 421});
    for (const Chunk& chunk : chunks) {
        fake::at(chunk.at_us, [chunk] {
            if (chunk.line_error) {
                fake::queue_line_errors(platform::line_framing);
            }
            fake::queue_bytes(chunk.bytes);
        });
    }
    // Silent after the last chunk: one wait for the minute, then at most one
    // cycle of frame waits; a little more for the polls' own time.
    const std::int64_t limit_us = at_us + (61 + 5 * 5 + 2) * std::int64_t{1000000};
    fake::stop_at_us(limit_us);
    int exit_code = -1;
    try {
        exit_code = clock_setter::run_clock_setter(settings, data_bits);
    } catch (const fake::StopRun&) {
        fuzz::require(false, "the clock setter ends by itself once its line falls silent",
                      "still running " + std::to_string((limit_us - at_us) / 1000000) + " s after the last byte");
    }
    fuzz::require(exit_code == 0 && fake::port_closed(), "it ends with exit code 0 and its port closed");

    std::set<DateTime> allowed;
    std::set<std::string> shown_allowed;
    for (std::size_t i = 0; i + 35 <= line.size(); ++i) {
        const std::string_view block = std::string_view(line).substr(i, 35);
        if (const auto value = carried_by(block)) {
            allowed.insert(*value);
        }
        if (const auto text = clock_setter::display_text_from_block(block)) {
            shown_allowed.insert(*text);
        }
    }

    const auto& writes = fake::clock_writes();
    fuzz::require(writes.size() % 2 == 0, "the clock is written in pairs: the date, then the time");
    for (std::size_t k = 0; k < writes.size(); k += 2) {
        const platform::LocalTime& date = writes[k].value;
        const platform::LocalTime& time = writes[k + 1].value;
        const DateTime asked{date.year, date.month, date.day, time.hour, time.minute, time.second};
        fuzz::require(allowed.count(asked) == 1, "every block applied is one the line carried",
                      text_of(date) + " then " + text_of(time));
        fuzz::require(time.millisecond == 0, "the time is set to the whole second", text_of(time));
        if (writes[k].accepted) {
            fuzz::require(time.year == date.year && time.month == date.month && time.day == date.day,
                          "after the date was set, the time is set on that date", text_of(time));
        }
    }
    for (const auto& box : fake::message_boxes()) {
        fuzz::require(settings.display, "no message box without /D");
        fuzz::require(shown_allowed.count(box.text) == 1, "a message box shows a block the line carried",
                      fuzz::quoted(box.text));
    }
    return 0;
}
