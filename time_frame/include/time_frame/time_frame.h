// The time frame: 35 printable characters that carry one local date and time
// between a PC and clock equipment, on a serial line or as a UDP payload.
//
//   "*" ss mm hh DD MM YYYY <20-character tail ending in "#">
//
// The frame has no terminator and no checksum; the fields run from the
// smallest unit to the largest, and the tail is copied from a template.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace time_frame {

constexpr std::size_t frame_length = 35;
constexpr std::size_t tail_length = 20;
constexpr char start_mark = '*';
constexpr char end_mark = '#';

// Tail templates: nine spaces, the mode digit, nine more characters, "#".
constexpr std::string_view tail_mode_1 = "         1         #";
constexpr std::string_view tail_mode_9 = "         9         #";
constexpr std::string_view tail_mode_8 = "         8         #";
constexpr std::string_view tail_mode_7 = "         7         #";
constexpr std::string_view tail_broadcast = "         1     0213#";

// The six fields of a frame as texts, so that a caller may pass characters it
// did not produce itself (a fixed time from a command line).
struct FrameFields {
    std::string seconds;
    std::string minutes;
    std::string hours;
    std::string day;
    std::string month;
    std::string year;

    bool operator==(const FrameFields& other) const;
};

// Formats one clock reading: two digits with leading zeros for seconds,
// minutes, hours, day and month, four digits for the year.
FrameFields format_clock_fields(int year, int month, int day, int hour, int minute, int second);

// "*", the six fields in frame order, then the tail, all exactly as given.
// Nothing is validated or padded: missing characters make a shorter frame.
std::string compose_time_frame(const FrameFields& fields, std::string_view tail);

// Recognises a block read as one frame: exactly 35 characters with "*" first
// and "#" last. Returns the six fields cut from their positions, or nothing.
// Digits are neither checked nor range-tested here.
std::optional<FrameFields> parse_time_frame(std::string_view candidate);

}  // namespace time_frame
