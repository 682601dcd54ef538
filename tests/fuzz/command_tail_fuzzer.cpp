// Fuzzes the command tails of the serial time sender (both variants) and of
// the clock setter: any bytes, taken as a tail, as a whole Windows command
// line and as Linux arguments, must give settings the programs can run with:
// a port from COM1 to COM4, one of the 20-character tail templates, a fixed
// time of at most 14 characters taken from the tail itself, and a frame of
// 21 + (fixed-time characters) bytes, or 35 from the clock.
//
// Both programs choose their port by one rule (the character after the first
// "/", or after the first "\" in a tail without "/"), written once in each;
// they must agree on every tail. The eight-bit sender takes every repeat
// switch the seven-bit one takes, and more.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fake_platform.h"
#include "fuzz_check.h"
#include "platform/clock.h"
#include "platform/command_tail.h"
#include "sender.h"
#include "sender_settings.h"
#include "setter_settings.h"
#include "time_frame/time_frame.h"

namespace {

constexpr std::string_view templates[] = {time_frame::tail_mode_1, time_frame::tail_mode_9, time_frame::tail_mode_8,
                                          time_frame::tail_mode_7};

bool is_a_template(std::string_view tail)
{
    for (const auto known : templates) {
        if (tail == known) {
            return true;
        }
    }
    return false;
}

void check_sender(std::string_view tail, int data_bits, const std::string& input)
{
    const auto settings = serial_time_sender::parse_sender_settings(tail, data_bits);
    fuzz::require(settings.port_number >= 1 && settings.port_number <= 4, "the sender's port is COM1..COM4", input);
    fuzz::require(settings.tail.size() == time_frame::tail_length && is_a_template(settings.tail),
                  "the sender's tail is one of its templates", input);
    if (settings.fixed_time) {
        fuzz::require(settings.fixed_time->size() <= 14, "a fixed time has at most 14 characters", input);
        const std::size_t at = tail.find("/9");
        fuzz::require(at != std::string_view::npos && tail.substr(at + 2, 14) == *settings.fixed_time,
                      "the fixed time is the text right after the first /9", input);
    } else {
        fuzz::require(tail.find("/9") == std::string_view::npos, "a tail with /9 gives a fixed time", input);
    }

    fake::reset(platform::LocalTime{2024, 12, 31, 23, 59, 58, 0});
    const std::string frame =
        time_frame::compose_time_frame(serial_time_sender::frame_fields(settings), settings.tail);
    const std::size_t expected = settings.fixed_time ? 21 + settings.fixed_time->size() : time_frame::frame_length;
    fuzz::require(frame.size() == expected, "the frame is 21 bytes and the fixed time, or 35 from the clock",
                  input + " -> " + fuzz::quoted(frame));
    fuzz::require(frame.front() == '*' && std::string_view(frame).substr(frame.size() - 20) == settings.tail,
                  "the frame starts with * and ends with the template", input + " -> " + fuzz::quoted(frame));
    if (!settings.fixed_time) {
        fuzz::require(frame.substr(0, 15) == "*58592331122024", "a frame from the clock carries the clock's reading",
                      input + " -> " + fuzz::quoted(frame));
    }
}

void check_tail(std::string_view tail)
{
    const std::string input = fuzz::quoted(std::string(tail));
    check_sender(tail, 8, input);
    check_sender(tail, 7, input);
    const auto eight = serial_time_sender::parse_sender_settings(tail, 8);
    const auto seven = serial_time_sender::parse_sender_settings(tail, 7);
    const auto setter = clock_setter::parse_setter_settings(tail);
    fuzz::require(setter.port_number >= 1 && setter.port_number <= 4, "the clock setter's port is COM1..COM4", input);
    fuzz::require(eight.port_number == seven.port_number && seven.port_number == setter.port_number,
                  "both programs and both variants choose the same port for one tail", input);
    fuzz::require(!seven.repeat || eight.repeat, "the eight-bit sender repeats whenever the seven-bit one does",
                  input);
    fuzz::require(seven.repeat == setter.repeat, "/R and /r mean repeat to the seven-bit sender and the clock setter",
                  input);
    fuzz::require(eight.tail == seven.tail && eight.fixed_time == seven.fixed_time,
                  "the variants differ in repeat switches only", input);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);

    // As the tail itself.
    check_tail(bytes);

    // As a whole Windows command line: what follows the program's name.
    const std::string_view after_name = platform::skip_program_name(bytes);
    fuzz::require(after_name.data() + after_name.size() == bytes.data() + bytes.size(),
                  "the tail is the end of the command line", fuzz::quoted(bytes));
    fuzz::require(after_name.empty() || (after_name.front() != ' ' && after_name.front() != '\t'),
                  "the tail starts after the blanks that follow the name", fuzz::quoted(bytes));
    check_tail(after_name);

    // As Linux arguments: the bytes cut at each zero byte, the first piece
    // being the program's name.
    std::vector<std::string> pieces(1);
    for (const char c : bytes) {
        if (c == '\0') {
            pieces.emplace_back();
        } else {
            pieces.back() += c;
        }
    }
    std::vector<char*> argv;
    for (auto& piece : pieces) {
        argv.push_back(piece.data());
    }
    argv.push_back(nullptr);
    const std::string joined = platform::read_command_tail(static_cast<int>(pieces.size()), argv.data());
    fuzz::require(joined.empty() || (joined.front() != ' ' && joined.front() != '\t'),
                  "the joined tail starts with no blank", fuzz::quoted(bytes));
    check_tail(joined);
    return 0;
}
