// Composing and recognising time frames; pure text work, no system calls.
#include "time_frame/time_frame.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace time_frame {

namespace {

// The value in decimal, zeros put in after any sign up to `width`
// characters, as printf's "%0*d" has it; without printf, whose MinGW
// version would bring its floating-point formatting (about 25 KB) into
// every Windows program.
std::string zero_padded(int value, int width)
{
    const bool negative = value < 0;
    std::string digits = std::to_string(negative ? -static_cast<long long>(value) : value);
    const std::size_t wanted = width > 0 ? static_cast<std::size_t>(width) : 0;
    if (digits.size() + (negative ? 1 : 0) < wanted) {
        digits.insert(0, wanted - digits.size() - (negative ? 1 : 0), '0');
    }
    return negative ? "-" + digits : digits;
}

}  // namespace

bool FrameFields::operator==(const FrameFields& other) const
{
    return seconds == other.seconds && minutes == other.minutes && hours == other.hours &&
           day == other.day && month == other.month && year == other.year;
}

FrameFields format_clock_fields(int year, int month, int day, int hour, int minute, int second)
{
    return FrameFields{zero_padded(second, 2), zero_padded(minute, 2), zero_padded(hour, 2),
                       zero_padded(day, 2),    zero_padded(month, 2),  zero_padded(year, 4)};
}

std::string compose_time_frame(const FrameFields& fields, std::string_view tail)
{
    std::string frame;
    frame.reserve(frame_length);
    frame += start_mark;
    frame += fields.seconds;
    frame += fields.minutes;
    frame += fields.hours;
    frame += fields.day;
    frame += fields.month;
    frame += fields.year;
    frame += tail;
    return frame;
}

std::optional<FrameFields> parse_time_frame(std::string_view candidate)
{
    if (candidate.size() != frame_length || candidate.front() != start_mark ||
        candidate.back() != end_mark) {
        return std::nullopt;
    }
    const auto field = [candidate](std::size_t offset, std::size_t length) {
        return std::string(candidate.substr(offset, length));
    };
    return FrameFields{field(1, 2), field(3, 2), field(5, 2), field(7, 2), field(9, 2), field(11, 4)};
}

}  // namespace time_frame
