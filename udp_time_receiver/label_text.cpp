// The log as a UTF-8 label text.
#include "label_text.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace udp_time_receiver {

namespace {

// The soft hyphen takes no room unless a row breaks at it.
constexpr std::uint8_t soft_hyphen = 0xAD;

// Windows-1252 for 0x80..0x9F; the five bytes the code page leaves undefined
// map to the C1 controls of the same value, as Windows itself converts them.
constexpr char16_t ansi_high_controls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

void append_utf8(std::string& out, char16_t code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

}  // namespace

// The toolkit lays out and shapes all the text a label holds on every change,
// and a long run without a blank costs it time by the square of its length:
// a log of eleven datagrams of 64 KiB kept the window's thread shaping for
// minutes, deaf to Escape and the Close button. So the text stops where no
// more of it could show, which leaves any log of ordinary lines whole.
std::string label_display_text(std::string_view log_text)
{
    std::string out;
    std::size_t lines = 1;
    std::size_t characters = 0;  // that take room
    for (std::size_t i = 0; i < log_text.size() && characters < label_characters; ++i) {
        const auto byte = static_cast<std::uint8_t>(log_text[i]);
        if (byte == 0) {
            break;  // a zero-terminated label text ends here
        }
        if (byte == '\r' || byte == '\n') {
            if (lines == label_lines) {
                break;
            }
            ++lines;
            out += '\n';
            if (byte == '\r' && i + 1 < log_text.size() && log_text[i + 1] == '\n') {
                ++i;
            }
            continue;
        }
        characters += byte == soft_hyphen ? 0 : 1;
        if (byte >= 0x80 && byte < 0xA0) {
            append_utf8(out, ansi_high_controls[byte - 0x80]);
        } else {
            append_utf8(out, byte);
        }
    }
    return out;
}

}  // namespace udp_time_receiver
