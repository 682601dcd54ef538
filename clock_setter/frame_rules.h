// What a block read from the line asks of the clock, and the text the message
// box shows for it. Pure text work, no system calls.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "time_frame/time_frame.h"

namespace clock_setter {

// The local date and time a frame sets, field by field.
struct ClockSetting {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;

    bool operator==(const ClockSetting& other) const;
};

// A two-character field with its leading spaces removed: " 5" is "5".
std::string without_leading_spaces(std::string_view field);

// The year a four-character year field stands for: 0000-0079 are 2000-2079,
// 0080-0099 are 1980-1999, 1980 and later stay as they are. Nothing for a
// field that is not four decimal digits, and nothing for 0100-1979, which the
// two-digit rule would turn into another year (1979 into 3879).
std::optional<int> year_from_field(std::string_view field);

// The setting a block asks for, or nothing when it sets nothing: the block is
// no frame (marks, length), its hours or minutes are "00" (leading spaces
// removed; " 0" is applied), a field is not all decimal digits once leading
// spaces are removed (the year is taken as it stands), or the year is one the
// year rule cannot carry. Ranges are left to the clock, which refuses
// month 13 or hour 24 itself.
std::optional<ClockSetting> clock_setting_from_block(std::string_view block);

// month "/" day "/" year: month and day with leading spaces removed, the year
// as received.
std::string date_text(const time_frame::FrameFields& fields);

// hours ":" minutes ":" seconds, each with leading spaces removed.
std::string time_text(const time_frame::FrameFields& fields);

// The message box text, date text + four spaces + time text, for a block with
// both marks; nothing otherwise. The "00" rule and the digit checks do not
// apply here: the box shows what the clock sent.
std::optional<std::string> display_text_from_block(std::string_view block);

}  // namespace clock_setter
