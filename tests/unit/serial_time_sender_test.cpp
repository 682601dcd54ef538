// The serial time sender: its options, its line settings and its frame cycle,
// on the fake platform with scripted time.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "sender.h"
#include "sender_settings.h"

namespace {

using serial_time_sender::parse_sender_settings;
using serial_time_sender::run_serial_time_sender;
using serial_time_sender::SenderSettings;

struct TailCase {
    const char* name;
    const char* tail;
    int data_bits;
    bool repeat;
    int port;
    char mode;
    const char* fixed;  // nullptr: the clock's time
};

void PrintTo(const TailCase& c, std::ostream* os) { *os << c.name; }

class SenderCommandTail : public testing::TestWithParam<TailCase> {};

TEST_P(SenderCommandTail, GivesTheSettings)
{
    const TailCase& c = GetParam();
    const SenderSettings s = parse_sender_settings(c.tail, c.data_bits);
    EXPECT_EQ(s.repeat, c.repeat);
    EXPECT_EQ(s.port_number, c.port);
    ASSERT_EQ(s.tail.size(), 20u);
    EXPECT_EQ(s.tail[9], c.mode);
    if (c.fixed) {
        ASSERT_TRUE(s.fixed_time);
        EXPECT_EQ(*s.fixed_time, c.fixed);
    } else {
        EXPECT_FALSE(s.fixed_time);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SenderCommandTail,
    testing::Values(
        TailCase{"empty", "", 8, false, 1, '1', nullptr},
        TailCase{"slash_2", "/2", 8, false, 2, '1', nullptr},
        TailCase{"slash_4", "/4", 7, false, 4, '1', nullptr},
        TailCase{"backslash_3_alone", "\\3", 8, false, 3, '1', nullptr},
        TailCase{"slash_5_is_com1", "/5", 8, false, 1, '1', nullptr},
        TailCase{"slash_x_is_com1", "/x", 8, false, 1, '1', nullptr},
        TailCase{"slash_at_end_is_com1", "abc /", 8, false, 1, '1', nullptr},
        TailCase{"repeat_first_takes_the_port_switch", "/R /2", 8, true, 1, '1', nullptr},
        TailCase{"port_then_repeat", "/2 /R", 8, true, 2, '1', nullptr},
        TailCase{"port_then_lower_repeat", "/2 /r", 7, true, 2, '1', nullptr},
        TailCase{"backslash_repeat_eight_bit", "\\R", 8, true, 1, '1', nullptr},
        TailCase{"backslash_repeat_seven_bit_ignored", "\\R", 7, false, 1, '1', nullptr},
        TailCase{"backslash_lower_repeat_eight_bit", "\\r", 8, true, 1, '1', nullptr},
        TailCase{"backslash_3_backslash_repeat_eight_bit", "\\3 \\R", 8, true, 3, '1', nullptr},
        TailCase{"backslash_3_backslash_repeat_seven_bit", "\\3 \\R", 7, false, 3, '1', nullptr},
        TailCase{"backslash_2_beside_slash_repeat", "\\2 /R", 8, true, 1, '1', nullptr},
        TailCase{"backslash_3_beside_slash_9", "\\3 /912", 8, false, 1, '9', "12"},
        TailCase{"repeat_is_case_sensitive_search", "/2 xR /Rx", 8, true, 2, '1', nullptr},
        TailCase{"fixed_time", "/2 /909300012312024", 8, false, 2, '9', "09300012312024"},
        TailCase{"fixed_time_takes_14_only", "/2 /909300012312024999", 8, false, 2, '9', "09300012312024"},
        TailCase{"fixed_time_short", "/91230", 8, false, 1, '9', "1230"},
        TailCase{"fixed_time_empty", "/9", 8, false, 1, '9', ""},
        TailCase{"fixed_time_non_digits_as_they_stand", "/3 /9ab cd/R12312024", 8, true, 3, '9', "ab cd/R1231202"},
        TailCase{"first_slash_9_counts", "/2 /9111111111111x /9222222222222y", 8, false, 2, '9', "111111111111x "},
        TailCase{"mode_8", "/8", 8, false, 1, '8', nullptr},
        TailCase{"mode_7", "/7", 7, false, 1, '7', nullptr},
        TailCase{"mode_7_beats_8", "/7 /8", 8, false, 1, '7', nullptr},
        TailCase{"mode_8_beats_9_fixed_time_stays", "/2 /909300012312024 /8", 8, false, 2, '8', "09300012312024"},
        TailCase{"mode_7_beats_9", "/1 /7 /909300012312024", 7, false, 1, '7', "09300012312024"},
        TailCase{"lower_case_is_not_a_mode", "/2 /m8", 8, false, 2, '1', nullptr}),
    [](const testing::TestParamInfo<TailCase>& info) { return info.param.name; });

class SenderRun : public testing::Test {
protected:
    void SetUp() override { fake::reset({2024, 12, 31, 10, 15, 42, 300}); }

    static std::vector<std::string> written_frames()
    {
        std::vector<std::string> frames;
        for (const auto& w : fake::serial_writes()) {
            frames.push_back(w.bytes);
        }
        return frames;
    }
};

TEST_F(SenderRun, SendsOneFrameWithTheClockTimeThenClosesAndEnds)
{
    EXPECT_EQ(run_serial_time_sender(parse_sender_settings("/2", 8), 8), 0);
    EXPECT_EQ(fake::opened_port(), 2);
    ASSERT_EQ(written_frames(), std::vector<std::string>{"*42151031122024         1         #"});
    EXPECT_TRUE(fake::port_closed());
}

TEST_F(SenderRun, SetsTheLineInOrderEightBitVariant)
{
    run_serial_time_sender(parse_sender_settings("", 8), 8);
    const std::vector<std::string> expected{"open COM1",     "baud 9600",   "data_bits 8 parity_off",
                                            "no_parity",     "stop_bits_1.5", "tx_queue 48",
                                            "rx_queue 48",   "close"};
    EXPECT_EQ(fake::serial_calls(), expected);
}

TEST_F(SenderRun, SevenBitVariantLeavesParityCheckingAsItWas)
{
    run_serial_time_sender(parse_sender_settings("", 7), 7);
    EXPECT_EQ(fake::serial_calls().at(2), "data_bits 7");
    EXPECT_EQ(fake::serial_writes().size(), 1u);
}

TEST_F(SenderRun, RefusedSettingsAreIgnored)
{
    for (const char* setting : {"baud 9600", "data_bits 8 parity_off", "no_parity", "stop_bits_1.5", "tx_queue 48", "rx_queue 48"}) {
        fake::refuse_serial_setting(setting);
    }
    EXPECT_EQ(run_serial_time_sender(parse_sender_settings("", 8), 8), 0);
    EXPECT_EQ(fake::serial_writes().size(), 1u);
}

TEST_F(SenderRun, MissingPortSendsNothingAndEndsWithZero)
{
    fake::set_port_present(3, false);
    EXPECT_EQ(run_serial_time_sender(parse_sender_settings("/3 /R", 8), 8), 0);
    EXPECT_TRUE(fake::serial_writes().empty());
    EXPECT_EQ(fake::serial_calls(), std::vector<std::string>{"open COM3"});
}

TEST_F(SenderRun, FixedTimeIsSentLaidOutSecondsFirst)
{
    run_serial_time_sender(parse_sender_settings("/2 /909300012312024", 8), 8);
    EXPECT_EQ(written_frames(), std::vector<std::string>{"*00300931122024         9         #"});
}

TEST_F(SenderRun, ShortFixedTimeSendsAShortFrame)
{
    run_serial_time_sender(parse_sender_settings("/91230", 8), 8);
    ASSERT_EQ(written_frames(), std::vector<std::string>{"*3012         9         #"});
    EXPECT_EQ(fake::opened_port(), 1);
}

TEST_F(SenderRun, ModeDigitsGoIntoTheTail)
{
    run_serial_time_sender(parse_sender_settings("/8", 8), 8);
    run_serial_time_sender(parse_sender_settings("/2 /909300012312024 /8", 8), 8);
    EXPECT_EQ(written_frames(), (std::vector<std::string>{"*42151031122024         8         #",
                                                         "*00300931122024         8         #"}));
}

TEST_F(SenderRun, RepeatModeSendsAtOnceThenAtEveryTurnOfTheMinute)
{
    fake::stop_at_us(fake::when_clock_shows({2024, 12, 31, 10, 18, 30, 0}));
    EXPECT_THROW(run_serial_time_sender(parse_sender_settings("/R", 8), 8), fake::StopRun);
    const auto& writes = fake::serial_writes();
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[0].bytes.substr(0, 15), "*42151031122024");
    EXPECT_LE(writes[0].at_us, 100);
    const char* expected[] = {"*00161031122024", "*00171031122024", "*00181031122024"};
    for (int i = 1; i < 4; ++i) {
        EXPECT_EQ(writes[i].bytes.substr(0, 15), expected[i - 1]);
        const std::int64_t turn = fake::when_clock_shows({2024, 12, 31, 10, 15 + i, 0, 0});
        EXPECT_GE(writes[i].at_us, turn);
        EXPECT_LE(writes[i].at_us - turn, 100) << "frame " << i << " left late";
    }
    EXPECT_FALSE(fake::port_closed());
    // Waiting slept through all but a few milliseconds of each minute and the
    // readings every 100 ms: more than 99.9 % of the time.
    EXPECT_GT(fake::slept_us() * 1000, fake::now_us() * 999);
}

TEST_F(SenderRun, RepeatModeResendsTheFixedFrameEveryMinute)
{
    fake::stop_at_us(fake::when_clock_shows({2024, 12, 31, 10, 17, 1, 0}));
    EXPECT_THROW(run_serial_time_sender(parse_sender_settings("/2 /R /909300012312024", 8), 8), fake::StopRun);
    EXPECT_EQ(written_frames(), std::vector<std::string>(3, "*00300931122024         9         #"));
}

TEST_F(SenderRun, AClockSetBackStartsAFrameButWholeHoursDoNot)
{
    // 10:15:42 -> at +5 s set back 3 min to 10:12:47: the minute changes.
    fake::at(5'000'000, [] { fake::step_clock_us(-180'000'000); });
    // at +10 s (10:12:52) set back two whole hours to 08:12:52: same minute.
    fake::at(10'000'000, [] { fake::step_clock_us(-7'200'000'000); });
    fake::stop_at_us(60'000'000);
    EXPECT_THROW(run_serial_time_sender(parse_sender_settings("/r", 7), 7), fake::StopRun);
    const auto& writes = fake::serial_writes();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[1].bytes.substr(0, 15), "*47121031122024");
    EXPECT_LE(writes[1].at_us - 5'000'000, 100'000);
    // Nothing at the hour step; the next frame at 08:13:00.
    EXPECT_EQ(writes[2].bytes.substr(0, 15), "*00130831122024");
}

TEST_F(SenderRun, FrameAcrossMidnightOfNewYearComesFromOneReading)
{
    fake::reset({2024, 12, 31, 23, 59, 59, 999});
    fake::set_reading_cost_us(5'000);  // the reading itself straddles the turn
    run_serial_time_sender(parse_sender_settings("", 8), 8);
    const std::string frame = fake::serial_writes().at(0).bytes;
    EXPECT_TRUE(frame.substr(0, 15) == "*59592331122024" || frame.substr(0, 15) == "*00000001012025") << frame;
}

}  // namespace
