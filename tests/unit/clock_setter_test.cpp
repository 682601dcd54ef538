// The clock setter's run on the fake platform: the port and its settings, the
// frame wait's rules as seen through whole runs, the clock writes, the message
// box and repeat mode, with a clock scripted on the line at 9600 baud.
#include "setter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "platform/clock.h"
#include "platform/serial_port.h"
#include "serial_line_script.h"
#include "setter_settings.h"
#include "time_frame/time_frame.h"

namespace {

using clock_setter::parse_setter_settings;
using clock_setter::run_clock_setter;
using platform::LocalTime;
using serial_line_script::send_burst;
using serial_line_script::send_paced;

std::string frame(const char* ss, const char* mm, const char* hh, const char* day, const char* month, const char* year)
{
    return time_frame::compose_time_frame({ss, mm, hh, day, month, year}, time_frame::tail_mode_1);
}

std::string frame_of(const LocalTime& t)
{
    return time_frame::compose_time_frame(
        time_frame::format_clock_fields(t.year, t.month, t.day, t.hour, t.minute, t.second), time_frame::tail_mode_1);
}

int run(const char* tail, int data_bits = 8) { return run_clock_setter(parse_setter_settings(tail), data_bits); }

int reads()
{
    const auto& calls = fake::serial_calls();
    return static_cast<int>(std::count(calls.begin(), calls.end(), "read 35"));
}

std::vector<LocalTime> written()
{
    std::vector<LocalTime> values;
    for (const auto& w : fake::clock_writes()) {
        values.push_back(w.value);
    }
    return values;
}

// The date and time a write asked for, as "YYYY-MM-DD hh:mm:ss.mmm".
std::string text_of(const LocalTime& t)
{
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.year, t.month, t.day, t.hour, t.minute,
                  t.second, t.millisecond);
    return text;
}

std::vector<std::string> time_writes()
{
    std::vector<std::string> texts;
    const auto& writes = fake::clock_writes();
    for (std::size_t i = 1; i < writes.size(); i += 2) {
        texts.push_back(text_of(writes[i].value));
    }
    return texts;
}

class SetterRun : public testing::Test {
protected:
    void SetUp() override
    {
        fake::reset({2024, 12, 20, 10, 15, 42, 300});
        fake::stop_at_us(3'600'000'000);
    }
};

TEST_F(SetterRun, SetsTheLineInOrderInBothBuilds)
{
    for (const int bits : {8, 7}) {
        fake::reset({2024, 12, 20, 10, 15, 42, 300});
        EXPECT_EQ(run("", bits), 0);
        const std::vector<std::string> expected{
            "open COM1", "baud 9600",   "data_bits " + std::to_string(bits) + (bits == 8 ? " parity_off" : ""),
            "no_parity", "stop_bits_1.5", "tx_queue 35", "rx_queue 35", "handshaking_off", "close"};
        EXPECT_EQ(fake::serial_calls(), expected);
    }
}

TEST_F(SetterRun, RefusedSettingsAreIgnored)
{
    for (const char* setting : {"baud 9600", "data_bits 8 parity_off", "no_parity", "stop_bits_1.5", "tx_queue 35",
                                "rx_queue 35", "handshaking_off"}) {
        fake::refuse_serial_setting(setting);
    }
    send_paced(100'000, frame("56", "34", "12", "25", "12", "2024"));
    EXPECT_EQ(run("/2"), 0);
    EXPECT_EQ(fake::opened_port(), 2);
    EXPECT_EQ(reads(), 1);
    EXPECT_EQ(fake::clock_writes().size(), 2u);
}

TEST_F(SetterRun, APortThatCannotBeOpenedEndsAtOnceWithZero)
{
    fake::set_port_present(3, false);
    EXPECT_EQ(run("/3 /R /D"), 0);
    EXPECT_EQ(fake::serial_calls(), std::vector<std::string>{"open COM3"});
    EXPECT_EQ(fake::queue_queries(), 0);
    EXPECT_EQ(fake::now_us(), 0);
}

TEST_F(SetterRun, NoDataEndsFiveSecondsAfterSetUpInEveryMode)
{
    for (const char* tail : {"", "/R", "/4 /R /D"}) {
        fake::reset({2024, 12, 20, 10, 15, 42, 300});
        EXPECT_EQ(run(tail), 0) << tail;
        EXPECT_TRUE(fake::port_closed()) << tail;
        EXPECT_GE(fake::now_us(), 5'001'000) << tail;
        EXPECT_LE(fake::now_us(), 5'003'000) << tail;
        EXPECT_EQ(reads(), 0) << tail;
        EXPECT_TRUE(fake::clock_writes().empty()) << tail;
        EXPECT_TRUE(fake::message_boxes().empty()) << tail;
    }
}

TEST_F(SetterRun, AFrameASecondGivesFiveReadsDateThenTimeWritesThenTheEnd)
{
    for (int i = 0; i < 7; ++i) {
        const std::string ss = std::to_string(50 + i);
        send_paced(200'000 + i * 1'000'000, frame(ss.c_str(), "34", "12", "25", "12", "2024"));
    }
    EXPECT_EQ(run(""), 0);
    EXPECT_EQ(reads(), 5);
    EXPECT_TRUE(fake::port_closed());
    EXPECT_LT(fake::now_us(), 4'300'000);  // ends right after the fifth frame
    const auto values = written();
    ASSERT_EQ(values.size(), 10u);
    // The date step keeps the time of day as read, milliseconds included.
    EXPECT_EQ(text_of(values[0]).substr(0, 19), "2024-12-25 10:15:42");
    EXPECT_NEAR(values[0].millisecond, 535, 5);
    // After the first time write the clock runs from 12:34:50.000.
    EXPECT_EQ(text_of(values[2]).substr(0, 19), "2024-12-25 12:34:50");
    EXPECT_EQ(time_writes(), (std::vector<std::string>{"2024-12-25 12:34:50.000", "2024-12-25 12:34:51.000",
                                                       "2024-12-25 12:34:52.000", "2024-12-25 12:34:53.000",
                                                       "2024-12-25 12:34:54.000"}));
    EXPECT_TRUE(fake::message_boxes().empty());
}

TEST_F(SetterRun, ThirtySixToThirtyEightWaitingAreLeftAloneUntilTheLimit)
{
    for (const std::size_t extra : {1u, 2u, 3u}) {
        fake::reset({2024, 12, 20, 10, 15, 42, 300});
        send_burst(100'000, frame("56", "34", "12", "25", "12", "2024") + std::string(extra, '#'));
        EXPECT_EQ(run("/R"), 0);
        EXPECT_EQ(reads(), 0) << extra;
        EXPECT_TRUE(fake::clock_writes().empty()) << extra;
        EXPECT_GE(fake::now_us(), 5'001'000) << extra;
        EXPECT_LE(fake::now_us(), 5'003'000) << extra;
        EXPECT_EQ(fake::receive_queue().size(), 35 + extra);
    }
}

TEST_F(SetterRun, ExactlyThirtyFiveInABurstIsTakenAtOnce)
{
    send_burst(100'000, frame("56", "34", "12", "25", "12", "2024"));
    EXPECT_EQ(run(""), 0);
    EXPECT_EQ(reads(), 1);
    ASSERT_EQ(fake::clock_writes().size(), 2u);
    EXPECT_LE(fake::clock_writes()[0].at_us - 100'000, 30'000);
    // The second wait starts then and runs out 5 s later.
    EXPECT_NEAR(static_cast<double>(fake::now_us()), 5'101'000 + fake::clock_writes()[0].at_us - 100'000, 30'000);
}

TEST_F(SetterRun, MoreThanThirtyEightDrainThirtyFiveAndTheRestIsTaken)
{
    const std::string good = frame("56", "34", "12", "25", "12", "2024");
    send_burst(100'000, std::string(35, '~') + good.substr(0, 4));  // 39 waiting
    send_paced(300'000, good.substr(4));
    EXPECT_EQ(run(""), 0);
    EXPECT_EQ(reads(), 2);  // the drain, then the frame
    EXPECT_EQ(time_writes(), std::vector<std::string>{"2024-12-25 12:34:56.000"});
}

TEST_F(SetterRun, TheWholeQueueCountsSoABacklogIsDrainedToItsNewestFrame)
{
    // 291 waiting, a frame at the head: drained 35 at a time down to 11,
    // which never make a frame.
    send_burst(100'000, frame("56", "34", "12", "25", "12", "2024") + std::string(256, '~'));
    EXPECT_EQ(run(""), 0);
    EXPECT_EQ(reads(), 8);
    EXPECT_TRUE(time_writes().empty());
    EXPECT_EQ(fake::receive_queue().size(), 11u);
}

TEST_F(SetterRun, AMinuteOfFramesQueuedGivesOnlyTheNewest)
{
    std::string backlog;
    for (int second = 0; second < 55; ++second) {
        char seconds[3];
        std::snprintf(seconds, sizeof seconds, "%02d", second);
        backlog += frame(seconds, "34", "12", "25", "12", "2024");
    }
    send_burst(100'000, backlog);  // 1,925 waiting
    EXPECT_EQ(run(""), 0);
    EXPECT_EQ(time_writes(), std::vector<std::string>{"2024-12-25 12:34:54.000"});
}

// Reports `errors` on every poll from 100 ms to 200 ms, while a frame waits
// from 100 ms and a stray byte follows at 150 ms.
void script_errors_over_a_frame(unsigned errors)
{
    for (std::int64_t t = 100'000; t < 200'000; t += 5) {
        fake::at(t, [errors] {
            if (errors == 0) {
                fake::fail_next_query();
            } else {
                fake::queue_line_errors(errors);
            }
        });
    }
    send_burst(100'000, frame("56", "34", "12", "25", "12", "2024"));
    send_burst(150'000, "x");
}

TEST_F(SetterRun, LineErrorsAndFailedQueriesCountNothingWaiting)
{
    for (const unsigned errors : {0u, unsigned{platform::line_rx_overflow}, unsigned{platform::line_overrun},
                                  unsigned{platform::line_framing}, unsigned{platform::line_tx_full},
                                  unsigned{platform::line_io}}) {
        fake::reset({2024, 12, 20, 10, 15, 42, 300});
        script_errors_over_a_frame(errors);
        EXPECT_EQ(run(""), 0);
        EXPECT_EQ(reads(), 0) << "errors " << errors;  // 36 waiting once the errors stop
        EXPECT_TRUE(fake::clock_writes().empty()) << "errors " << errors;
    }
}

TEST_F(SetterRun, ParityErrorsAndBreaksDoNotChangeTheCount)
{
    for (const unsigned errors : {unsigned{platform::line_parity}, unsigned{platform::line_break}}) {
        fake::reset({2024, 12, 20, 10, 15, 42, 300});
        script_errors_over_a_frame(errors);
        EXPECT_EQ(run(""), 0);
        EXPECT_EQ(reads(), 1) << "errors " << errors;
        EXPECT_EQ(fake::clock_writes().size(), 2u) << "errors " << errors;
    }
}

TEST_F(SetterRun, TheFiveSecondLimitIsCountedPerWait)
{
    for (int i = 0; i < 5; ++i) {
        const std::string ss = std::to_string(10 + i);
        send_paced(100'000 + i * 4'900'000, frame(ss.c_str(), "34", "12", "25", "12", "2024"));
    }
    EXPECT_EQ(run(""), 0);
    EXPECT_EQ(reads(), 5);
    EXPECT_EQ(fake::clock_writes().size(), 10u);
}

TEST_F(SetterRun, InRepeatModeAFrameMissingMidCycleEndsTheProgram)
{
    for (int i = 0; i < 3; ++i) {
        send_paced(100'000 + i * 1'000'000, frame("10", "34", "12", "25", "12", "2024"));
    }
    send_paced(2'100'000 + 5'200'000, frame("10", "34", "12", "25", "12", "2024"));
    EXPECT_EQ(run("/R /D"), 0);
    EXPECT_EQ(reads(), 3);
    EXPECT_TRUE(fake::port_closed());
    EXPECT_TRUE(fake::message_boxes().empty());
    EXPECT_LT(fake::now_us(), 7'300'000);
}

TEST_F(SetterRun, AShortReadAndAFailedReadSetNothingForTheirAttempt)
{
    // Frame 1 is read short: its last 15 bytes and 20 filler bytes make the
    // next block, which lacks the marks. Frames 3-5 are whole.
    fake::shorten_next_read(20);
    send_burst(100'000, frame("01", "34", "12", "25", "12", "2024"));
    send_paced(1'100'000, std::string(20, '-'));
    for (int i = 3; i <= 5; ++i) {
        const std::string ss = "0" + std::to_string(i);
        send_paced(i * 1'000'000, frame(ss.c_str(), "34", "12", "25", "12", "2024"));
    }
    EXPECT_EQ(run(""), 0);
    EXPECT_EQ(reads(), 5);
    EXPECT_EQ(time_writes(), (std::vector<std::string>{"2024-12-25 12:34:03.000", "2024-12-25 12:34:04.000",
                                                       "2024-12-25 12:34:05.000"}));

    // A failed read leaves the frame queued: the next attempt takes it.
    fake::reset({2024, 12, 20, 10, 15, 42, 300});
    fake::fail_next_read();
    send_burst(100'000, frame("07", "34", "12", "25", "12", "2024"));
    EXPECT_EQ(run(""), 0);
    EXPECT_EQ(reads(), 2);
    EXPECT_EQ(time_writes(), std::vector<std::string>{"2024-12-25 12:34:07.000"});
}

TEST_F(SetterRun, StartingInTheMiddleOfAFrameGivesMisalignedBlocksThatSetNothing)
{
    const std::string first = frame("00", "34", "12", "25", "12", "2024");
    send_paced(100'000, first.substr(10));
    for (int i = 1; i <= 6; ++i) {
        const std::string ss = "0" + std::to_string(i);
        send_paced(i * 1'000'000 + 100'000, frame(ss.c_str(), "34", "12", "25", "12", "2024"));
    }
    EXPECT_EQ(run("/D"), 0);
    EXPECT_EQ(reads(), 5);
    EXPECT_TRUE(fake::clock_writes().empty());
    EXPECT_TRUE(fake::message_boxes().empty());
}

TEST_F(SetterRun, OnlyFramesThatCarryAValueTheClockCanTakeSetIt)
{
    const char* blocks[][6] = {
        {"01", "34", "00", "25", "12", "2024"},  // hours "00"
        {"02", "00", "12", "25", "12", "2024"},  // minutes "00"
        {"03", "34", " 0", "25", "12", "2024"},  // " 0" is applied
        {"04", "34", "12", "25", "12", "1979"},  // would become 3879
        {"05", "34", "12", "1a", "12", "2024"},  // not digits
        {"06", "34", "12", "25", "12", " 024"},  // year with a space
        {"07", "34", "12", "25", "12", "0024"},  // two-digit year rule
    };
    int i = 0;
    for (const auto& b : blocks) {
        send_paced(100'000 + 1'000'000 * i++, frame(b[0], b[1], b[2], b[3], b[4], b[5]));
    }
    EXPECT_EQ(run("/R"), 0);  // the clock falls silent: the limit ends repeat mode
    EXPECT_EQ(reads(), 7);
    EXPECT_EQ(time_writes(), (std::vector<std::string>{"2024-12-25 00:34:03.000", "2024-12-25 12:34:07.000"}));
}

TEST_F(SetterRun, ARefusedDateLeavesThePCDateUnderTheFrameTime)
{
    send_paced(100'000, frame("56", "34", "12", "31", "04", "2024"));  // 31 April
    EXPECT_EQ(run(""), 0);
    const auto& writes = fake::clock_writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_FALSE(writes[0].accepted);
    EXPECT_EQ(text_of(writes[1].value), "2024-12-20 12:34:56.000");

    // A clock that refuses every write still gets both asked, date first.
    fake::reset({2024, 12, 20, 10, 15, 42, 300});
    fake::set_clock_writable(false);
    send_paced(100'000, frame("56", "34", "12", "25", "12", "2024"));
    EXPECT_EQ(run(""), 0);
    ASSERT_EQ(fake::clock_writes().size(), 2u);
    EXPECT_EQ(text_of(fake::clock_writes()[0].value).substr(0, 10), "2024-12-25");
    EXPECT_EQ(text_of(fake::clock_writes()[1].value), "2024-12-20 12:34:56.000");
}

TEST_F(SetterRun, ADayTurningBetweenTheDateAndTheTimeStepKeepsTheFrameDate)
{
    fake::reset({2024, 12, 31, 23, 59, 59, 0});
    fake::set_clock_write_cost_us(100'000);  // each write takes 100 ms
    send_burst(900'000, frame("56", "34", "12", "31", "12", "2024"));
    EXPECT_EQ(run(""), 0);
    const auto& writes = fake::clock_writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(text_of(writes[0].value).substr(0, 19), "2024-12-31 23:59:59");
    // The clock read 2025-01-01 00:00:00.0xx before the time step.
    EXPECT_EQ(text_of(writes[1].value), "2024-12-31 12:34:56.000");
}

TEST_F(SetterRun, TheBoxShowsTheFifthFrameEvenWhenDoubleZeroKeptItFromTheClock)
{
    for (int i = 0; i < 4; ++i) {
        send_paced(100'000 + i * 1'000'000, frame("10", "34", "12", "25", "12", "2024"));
    }
    send_paced(4'100'000, frame(" 7", "34", "00", " 3", " 4", "2025"));
    EXPECT_EQ(run("/3 /D"), 0);
    ASSERT_EQ(fake::message_boxes().size(), 1u);
    EXPECT_EQ(fake::message_boxes()[0].caption, "Quorvant");
    EXPECT_EQ(fake::message_boxes()[0].text, "4/3/2025    00:34:7");
    EXPECT_GT(fake::message_boxes()[0].at_us, 4'100'000);
    EXPECT_EQ(fake::serial_calls().back(), "close");
    EXPECT_EQ(fake::clock_writes().size(), 8u);
}

TEST_F(SetterRun, NoBoxWhenTheFifthBlockLacksAMarkOrWithoutTheOption)
{
    std::string last = frame("14", "34", "12", "25", "12", "2024");
    last.back() = '+';
    for (int i = 0; i < 4; ++i) {
        send_paced(100'000 + i * 1'000'000, frame("10", "34", "12", "25", "12", "2024"));
    }
    send_paced(4'100'000, last);
    EXPECT_EQ(run("/D"), 0);
    EXPECT_TRUE(fake::message_boxes().empty());
    EXPECT_EQ(fake::clock_writes().size(), 8u);

    fake::reset({2024, 12, 20, 10, 15, 42, 300});
    for (int i = 0; i < 5; ++i) {
        send_paced(100'000 + i * 1'000'000, frame("10", "34", "12", "25", "12", "2024"));
    }
    EXPECT_EQ(run("\\D"), 0);
    EXPECT_TRUE(fake::message_boxes().empty());
}

// A clock on the line that keeps its own time, the time the PC clock showed
// at the start: at each of `sends` (virtual times) it sends a frame of it.
void clock_on_the_line(const std::vector<std::int64_t>& sends)
{
    for (const std::int64_t at : sends) {
        send_paced(at, frame_of(fake::local_time_at(at)));
    }
}

// Virtual time at which the clock on the line shows `t`.
std::int64_t when_the_line_clock_shows(const LocalTime& t) { return fake::when_clock_shows(t); }

TEST_F(SetterRun, RepeatModeRunsACycleAtEachChangeOfTheMinuteUntilTheClockFallsSilent)
{
    std::vector<std::int64_t> sends;
    for (int s = 42; s <= 46; ++s) {
        sends.push_back(when_the_line_clock_shows({2024, 12, 20, 10, 15, s, 500}));
    }
    for (int m = 16; m <= 18; ++m) {
        for (int s = 1; s <= 5; ++s) {
            sends.push_back(when_the_line_clock_shows({2024, 12, 20, 10, m, s, 500}));
        }
    }
    clock_on_the_line(sends);
    EXPECT_EQ(run("/R /D"), 0);
    std::vector<std::string> expected;
    for (int s = 42; s <= 46; ++s) {
        expected.push_back("2024-12-20 10:15:" + std::to_string(s) + ".000");
    }
    for (int m = 16; m <= 18; ++m) {
        for (int s = 1; s <= 5; ++s) {
            expected.push_back("2024-12-20 10:" + std::to_string(m) + ":0" + std::to_string(s) + ".000");
        }
    }
    EXPECT_EQ(time_writes(), expected);
    std::vector<std::string> boxes;
    for (const auto& box : fake::message_boxes()) {
        boxes.push_back(box.text);
    }
    EXPECT_EQ(boxes, (std::vector<std::string>{"12/20/2024    10:15:46", "12/20/2024    10:16:05",
                                               "12/20/2024    10:17:05", "12/20/2024    10:18:05"}));
    // The fifth cycle starts at 10:19 by the PC clock and finds no frame.
    EXPECT_TRUE(fake::port_closed());
    EXPECT_EQ(text_of(fake::local_time_at(fake::now_us())).substr(11, 5), "10:19");
    // The waits for the minute slept nearly all the time away.
    EXPECT_GT(fake::slept_us() * 100, fake::now_us() * 99);
}

// Cycle 1 takes frames 10:15:50-54 with the box open 3 s after it; frame
// 10:15:55 arrives while the box is open, and with `one_more`, 10:15:58 while
// the program waits for the minute. Cycle 2 starts at the PC's 10:16.
void script_frames_around_the_box(bool one_more)
{
    fake::reset({2024, 12, 20, 10, 15, 50, 0});
    fake::set_message_box_open_us(3'000'000);
    std::vector<std::int64_t> sends;
    for (int s = 50; s <= 55; ++s) {
        sends.push_back(when_the_line_clock_shows({2024, 12, 20, 10, 15, s, 200}));
    }
    if (one_more) {
        sends.push_back(when_the_line_clock_shows({2024, 12, 20, 10, 15, 58, 200}));
    }
    for (int s = 1; s <= 4; ++s) {
        sends.push_back(when_the_line_clock_shows({2024, 12, 20, 10, 16, s, 500}));
    }
    clock_on_the_line(sends);
}

TEST_F(SetterRun, BytesQueuedDuringTheBoxAreReadOldestFirstByTheNextCycle)
{
    script_frames_around_the_box(false);
    EXPECT_EQ(run("/R /D"), 0);
    ASSERT_EQ(fake::message_boxes().size(), 2u);
    EXPECT_EQ(time_writes(),
              (std::vector<std::string>{"2024-12-20 10:15:50.000", "2024-12-20 10:15:51.000", "2024-12-20 10:15:52.000",
                                        "2024-12-20 10:15:53.000", "2024-12-20 10:15:54.000", "2024-12-20 10:15:55.000",
                                        "2024-12-20 10:16:01.000", "2024-12-20 10:16:02.000", "2024-12-20 10:16:03.000",
                                        "2024-12-20 10:16:04.000"}));
}

TEST_F(SetterRun, TwoFramesQueuedAcrossTheBoxAndTheMinuteWaitDrainTheOlder)
{
    // 70 waiting: more than 38, so the oldest 35 are dropped and the next 35
    // are exactly what then waits.
    script_frames_around_the_box(true);
    EXPECT_EQ(run("/R /D"), 0);
    const auto writes = time_writes();
    ASSERT_EQ(writes.size(), 10u);
    EXPECT_EQ(writes[5], "2024-12-20 10:15:58.000");
    EXPECT_EQ(writes[6], "2024-12-20 10:16:01.000");
    EXPECT_EQ(reads(), 11);
}

}  // namespace
