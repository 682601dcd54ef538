// Fuzzes what the clock setter does with one block read from the line: for
// any bytes, either the clock is left alone, or it is set, date first and then
// time, to exactly the date and time the frame carries by the year rules.
// The clock setter's acceptance and clock-write code runs on the fake
// platform, whose clock refuses values no system would take (31 April).
//
// The expected outcome is worked out here from the frame's layout alone, not
// from the code under test: marks at 1 and 35, "00" hours or minutes set
// nothing, two-character fields lose their leading blanks and must then be
// one or two decimal digits, the year is four digits read as 0-79 -> 2000-2079,
// 80-99 -> 1980-1999, 1980 and later as they stand; any other year sets
// nothing (the rule would turn 1979 into 3879, a year no frame carries).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fake_platform.h"
#include "frame_rules.h"
#include "fuzz_check.h"
#include "platform/clock.h"
#include "setter.h"

namespace {

const platform::LocalTime clock_before{2031, 7, 14, 9, 26, 53, 421};

struct Carried {
    int year, month, day, hour, minute, second;
};

std::string_view without_blanks_in_front(std::string_view field)
{
    while (!field.empty() && field.front() == ' ') {
        field.remove_prefix(1);
    }
    return field;
}

std::optional<int> two_character_value(std::string_view field)
{
    const std::string_view digits = without_blanks_in_front(field);
    if (digits.empty()) {
        return std::nullopt;
    }
    int value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

std::optional<int> year_value(std::string_view field)
{
    int value = 0;
    for (const char c : field) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    if (value < 80) {
        return 2000 + value;
    }
    if (value < 100) {
        return 1900 + value;
    }
    if (value >= 1980) {
        return value;
    }
    return std::nullopt;
}

// Byte offsets of the fields in the 35-byte frame.
std::string_view seconds_of(std::string_view b) { return b.substr(1, 2); }
std::string_view minutes_of(std::string_view b) { return b.substr(3, 2); }
std::string_view hours_of(std::string_view b) { return b.substr(5, 2); }
std::string_view day_of(std::string_view b) { return b.substr(7, 2); }
std::string_view month_of(std::string_view b) { return b.substr(9, 2); }
std::string_view year_of(std::string_view b) { return b.substr(11, 4); }

bool has_marks(std::string_view block) { return block.size() == 35 && block[0] == '*' && block[34] == '#'; }

std::optional<Carried> what_the_frame_carries(std::string_view block)
{
    if (!has_marks(block)) {
        return std::nullopt;
    }
    if (without_blanks_in_front(hours_of(block)) == "00" || without_blanks_in_front(minutes_of(block)) == "00") {
        return std::nullopt;
    }
    const auto year = year_value(year_of(block));
    const auto month = two_character_value(month_of(block));
    const auto day = two_character_value(day_of(block));
    const auto hour = two_character_value(hours_of(block));
    const auto minute = two_character_value(minutes_of(block));
    const auto second = two_character_value(seconds_of(block));
    if (!year || !month || !day || !hour || !minute || !second) {
        return std::nullopt;
    }
    return Carried{*year, *month, *day, *hour, *minute, *second};
}

std::string text_of(const platform::LocalTime& t)
{
    return std::to_string(t.year) + "-" + std::to_string(t.month) + "-" + std::to_string(t.day) + " " +
           std::to_string(t.hour) + ":" + std::to_string(t.minute) + ":" + std::to_string(t.second) + "." +
           std::to_string(t.millisecond);
}

bool same(const platform::LocalTime& a, const platform::LocalTime& b) { return text_of(a) == text_of(b); }

void check_display_text(std::string_view block)
{
    const auto shown = clock_setter::display_text_from_block(block);
    fuzz::require(shown.has_value() == has_marks(block), "a message box exactly for blocks with both marks",
                  fuzz::quoted(std::string(block)));
    if (!shown) {
        return;
    }
    const std::string expected = std::string(without_blanks_in_front(month_of(block))) + "/" +
                                 std::string(without_blanks_in_front(day_of(block))) + "/" +
                                 std::string(year_of(block)) + "    " +
                                 std::string(without_blanks_in_front(hours_of(block))) + ":" +
                                 std::string(without_blanks_in_front(minutes_of(block))) + ":" +
                                 std::string(without_blanks_in_front(seconds_of(block)));
    fuzz::require(*shown == expected, "the message box shows the frame's own characters",
                  fuzz::quoted(*shown) + " instead of " + fuzz::quoted(expected));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string_view block = bytes;

    fake::reset(clock_before);
    fake::set_reading_cost_us(0);  // the clock stands still but for the writes
    if (const auto setting = clock_setter::clock_setting_from_block(block)) {
        clock_setter::set_clock_from(*setting);
    }
    const auto& writes = fake::clock_writes();
    const auto carried = what_the_frame_carries(block);
    const std::string input = fuzz::quoted(bytes);

    if (!carried) {
        fuzz::require(writes.empty(), "a block that carries no acceptable date and time sets nothing",
                      input + " led to a write of " + text_of(writes.empty() ? clock_before : writes[0].value));
    } else {
        fuzz::require(writes.size() == 2, "an acceptable frame writes the date, then the time",
                      input + " gave " + std::to_string(writes.size()) + " writes");
        platform::LocalTime date = clock_before;
        date.year = carried->year;
        date.month = carried->month;
        date.day = carried->day;
        fuzz::require(same(writes[0].value, date), "the date write holds the frame's date and the clock's time",
                      input + ": " + text_of(writes[0].value) + " instead of " + text_of(date));
        platform::LocalTime time = writes[0].accepted ? date : clock_before;
        time.hour = carried->hour;
        time.minute = carried->minute;
        time.second = carried->second;
        time.millisecond = 0;
        fuzz::require(same(writes[1].value, time), "the time write holds the frame's time on the date the clock has",
                      input + ": " + text_of(writes[1].value) + " instead of " + text_of(time));
    }
    check_display_text(block);
    return 0;
}
