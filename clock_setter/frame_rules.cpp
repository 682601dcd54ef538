// The acceptance rules of a frame and the texts built from its fields.
#include "frame_rules.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "time_frame/time_frame.h"

namespace clock_setter {

namespace {

bool all_decimal_digits(std::string_view text)
{
    if (text.empty()) {
        return false;
    }
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

// The value of a two-character field, or nothing when what is left after
// its leading spaces is not all digits ("1a", "0 ", "  ").
std::optional<int> two_digit_value(std::string_view field)
{
    const std::string digits = without_leading_spaces(field);
    if (!all_decimal_digits(digits)) {
        return std::nullopt;
    }
    return std::stoi(digits);
}

constexpr int first_year_taken_as_is = 1980;
constexpr int last_two_digit_year = 99;

}  // namespace

bool ClockSetting::operator==(const ClockSetting& o) const
{
    return year == o.year && month == o.month && day == o.day && hour == o.hour && minute == o.minute &&
           second == o.second;
}

std::string without_leading_spaces(std::string_view field)
{
    const std::size_t first = field.find_first_not_of(' ');
    return first == std::string_view::npos ? std::string() : std::string(field.substr(first));
}

std::optional<int> year_from_field(std::string_view field)
{
    if (field.size() != 4 || !all_decimal_digits(field)) {
        return std::nullopt;
    }
    int year = std::stoi(std::string(field));
    if (year > last_two_digit_year && year < first_year_taken_as_is) {
        return std::nullopt;
    }
    // Below 1980 add 1900, and if still below 1980 another 100.
    if (year < first_year_taken_as_is) {
        year += 1900;
    }
    if (year < first_year_taken_as_is) {
        year += 100;
    }
    return year;
}

std::optional<ClockSetting> clock_setting_from_block(std::string_view block)
{
    const auto fields = time_frame::parse_time_frame(block);
    if (!fields) {
        return std::nullopt;
    }
    // No frame of the hour after midnight, nor of the first minute of any
    // hour, is applied; " 0" is not "00" and is.
    if (without_leading_spaces(fields->hours) == "00" || without_leading_spaces(fields->minutes) == "00") {
        return std::nullopt;
    }
    const auto year = year_from_field(fields->year);
    const auto month = two_digit_value(fields->month);
    const auto day = two_digit_value(fields->day);
    const auto hour = two_digit_value(fields->hours);
    const auto minute = two_digit_value(fields->minutes);
    const auto second = two_digit_value(fields->seconds);
    if (!year || !month || !day || !hour || !minute || !second) {
        return std::nullopt;
    }
    return ClockSetting{*year, *month, *day, *hour, *minute, *second};
}

std::string date_text(const time_frame::FrameFields& fields)
{
    return without_leading_spaces(fields.month) + "/" + without_leading_spaces(fields.day) + "/" + fields.year;
}

std::string time_text(const time_frame::FrameFields& fields)
{
    return without_leading_spaces(fields.hours) + ":" + without_leading_spaces(fields.minutes) + ":" +
           without_leading_spaces(fields.seconds);
}

std::optional<std::string> display_text_from_block(std::string_view block)
{
    const auto fields = time_frame::parse_time_frame(block);
    if (!fields) {
        return std::nullopt;
    }
    return date_text(*fields) + "    " + time_text(*fields);
}

}  // namespace clock_setter
