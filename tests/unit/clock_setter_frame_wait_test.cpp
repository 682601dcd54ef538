// The clock setter's frame wait: it pauses between polls yet takes exactly the
// blocks that a wait polling without any pause takes, on lines paced at
// 9600 baud, and sleeps through nearly all of its waiting.
#include "frame_wait.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "platform/clock.h"
#include "platform/serial_port.h"
#include "serial_line_script.h"

namespace {

using clock_setter::frame_wait_pause_ms;
using serial_line_script::byte_us_7n1;
using serial_line_script::byte_us_8n1;

TEST(FrameWaitPause, LeavesAByteAndTheGuardBeforeTheCountCouldPassThirtyFive)
{
    EXPECT_EQ(frame_wait_pause_ms(0, 0), 29u);   // 34 bytes of 937 us, less 2 ms
    EXPECT_EQ(frame_wait_pause_ms(20, 0), 11u);  // 14 bytes
    EXPECT_EQ(frame_wait_pause_ms(30, 0), 1u);
    EXPECT_EQ(frame_wait_pause_ms(31, 0), 0u);
    EXPECT_EQ(frame_wait_pause_ms(34, 0), 0u);
    EXPECT_EQ(frame_wait_pause_ms(35, 0), 0u);
}

TEST(FrameWaitPause, WithThirtySixToThirtyEightWaitingItMayPauseUntilNearlySeventy)
{
    EXPECT_EQ(frame_wait_pause_ms(36, 0), 27u);  // 32 bytes
    EXPECT_EQ(frame_wait_pause_ms(38, 0), 26u);  // 30 bytes
    EXPECT_EQ(frame_wait_pause_ms(39, 0), 0u);   // a drain: poll on at once
    EXPECT_EQ(frame_wait_pause_ms(255, 0), 0u);
    EXPECT_EQ(frame_wait_pause_ms(1925, 0), 0u);  // a minute's backlog drains at once
}

TEST(FrameWaitPause, NeverRunsIntoTheLastMomentsBeforeTheLimit)
{
    EXPECT_EQ(frame_wait_pause_ms(0, 4990), 8u);
    EXPECT_EQ(frame_wait_pause_ms(0, 4998), 0u);
    EXPECT_EQ(frame_wait_pause_ms(36, 5000), 0u);
    EXPECT_EQ(frame_wait_pause_ms(0, 6000), 0u);
}

// The frame wait polling without any pause, step by step (count, drain,
// limit): the reference that the pausing wait is held to.
bool wait_without_pause(platform::SerialPort port)
{
    const std::uint64_t start = platform::monotonic_ms();
    unsigned waiting = 0;
    while (waiting != 35) {
        const auto queue = platform::query_receive_queue(port);
        waiting = queue ? queue->waiting : 0;
        if (queue && (queue->errors & clock_setter::errors_counted_as_empty) != 0) {
            waiting = 0;
        }
        if (waiting > 38) {
            platform::read_serial(port, 35);
        }
        if (platform::monotonic_ms() - start > 5000) {
            return false;
        }
    }
    return true;
}

// A wait that sleeps a fixed 20 ms between polls: what the pausing wait must
// not be.
bool wait_with_fixed_naps(platform::SerialPort port)
{
    const std::uint64_t start = platform::monotonic_ms();
    unsigned waiting = 0;
    while (waiting != 35) {
        const auto queue = platform::query_receive_queue(port);
        waiting = queue ? queue->waiting : 0;
        if (waiting > 38) {
            platform::read_serial(port, 35);
        }
        if (platform::monotonic_ms() - start > 5000) {
            return false;
        }
        if (waiting != 35) {
            platform::sleep_ms(20);
        }
    }
    return true;
}

struct Arrival {
    std::int64_t at_us;
    std::string bytes;
};

// A clock's line at 9600 baud: numbered frames, back to back or apart, with
// partial frames, one to three stray bytes after a frame, noise, pauses over
// 5 s, and bursts of bytes that enter the queue at once (a whole frame, 36-38,
// more than 38, more than 256), each followed by at least 40 ms of quiet.
// Apart from the bursts every byte comes a byte time after the one before.
std::vector<Arrival> random_line(unsigned seed, double byte_us, std::int64_t length_us)
{
    std::mt19937 random(seed);
    const auto pick = [&random](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    std::vector<Arrival> line;
    std::int64_t at = pick(0, 300'000);
    int number = 0;
    while (at < length_us) {
        char digits[16];
        std::snprintf(digits, sizeof digits, "%06d", number++ % 1000000);
        const std::string frame = std::string("*") + digits + std::string(27, '.') + "#";
        const auto sized = [&pick](int low, int high) { return static_cast<std::size_t>(pick(low, high)); };
        std::string piece;
        bool burst = false;
        const int kind = pick(0, 99);
        if (kind < 45) {
            piece = frame;
        } else if (kind < 55) {
            piece = frame.substr(0, sized(1, 34));
        } else if (kind < 65) {
            piece = frame + std::string(sized(1, 3), '+');
        } else if (kind < 73) {
            piece = std::string(sized(1, 90), '~');
        } else if (kind < 80) {
            piece = frame;
            burst = true;
        } else if (kind < 87) {
            piece = frame + std::string(sized(1, 3), '+');
            burst = true;
        } else if (kind < 95) {
            piece = frame + std::string(sized(4, 45), '=');
            burst = true;
        } else {
            piece = frame + std::string(sized(256, 300), '%');
            burst = true;
        }
        double t = static_cast<double>(at);
        if (burst) {
            line.push_back({at, piece});
        } else {
            for (const char byte : piece) {
                line.push_back({std::llround(t), std::string(1, byte)});
                t += byte_us;
            }
        }
        const int gap = pick(0, 99);
        std::int64_t pause_us = 0;
        if (gap < 30 && !burst) {
            pause_us = 0;  // back to back
        } else if (gap < 60) {
            pause_us = pick(burst ? 40'000 : 0, 60'000);
        } else if (gap < 97) {
            pause_us = pick(100'000, 1'200'000);
        } else {
            pause_us = pick(5'000'000, 5'200'000);
        }
        at = std::llround(t) + pause_us;
    }
    return line;
}

struct Session {
    std::vector<std::string> blocks;  // what each wait took, "<limit>" where it ran out
    std::vector<std::int64_t> limits_us;  // when waits ran out of time
    std::int64_t drains = 0;
    double slept_share = 0;
};

// Waits for frames and reads them as the clock setter does, and starts a new
// wait after one runs out of time, until the line has been silent for 5 s.
template <class Wait>
Session run_session(const std::vector<Arrival>& line, Wait wait, std::int64_t overshoot_us = 0,
                    unsigned errors_every = 0)
{
    fake::reset({2025, 6, 1, 12, 0, 0, 0});
    fake::set_sleep_overshoot_us(overshoot_us);
    int n = 0;
    for (const auto& a : line) {
        fake::at(a.at_us, [a, errors = errors_every != 0 && ++n % errors_every == 0] {
            fake::queue_bytes(a.bytes);
            if (errors) {
                fake::queue_line_errors(platform::line_framing);
            }
        });
    }
    fake::stop_at_us(line.back().at_us + 60'000'000);
    const auto port = *platform::open_serial_port(1);
    Session session;
    std::int64_t takes = 0;
    while (fake::now_us() < line.back().at_us) {
        if (wait(port)) {
            session.blocks.push_back(platform::read_serial(port, 35));
            ++takes;
        } else {
            session.blocks.push_back("<limit>");
            session.limits_us.push_back(fake::now_us());
        }
    }
    std::int64_t reads = 0;
    for (const auto& call : fake::serial_calls()) {
        reads += call == "read 35";
    }
    session.drains = reads - takes;
    session.slept_share = static_cast<double>(fake::slept_us()) / static_cast<double>(fake::now_us());
    return session;
}

class FrameWaitAgainstPollingWithoutPause : public testing::TestWithParam<unsigned> {};

TEST_P(FrameWaitAgainstPollingWithoutPause, TakesTheSameBlocksOnTheFastestLine)
{
    const auto line = random_line(GetParam(), byte_us_7n1, 40'000'000);
    const Session polled = run_session(line, wait_without_pause);
    const Session paused = run_session(line, clock_setter::wait_for_frame);
    ASSERT_GT(polled.blocks.size(), 20u);
    EXPECT_EQ(paused.blocks, polled.blocks);
    ASSERT_EQ(paused.limits_us.size(), polled.limits_us.size());
    for (std::size_t i = 0; i < polled.limits_us.size(); ++i) {
        EXPECT_NEAR(paused.limits_us[i], polled.limits_us[i], 1'200);  // each wait counts from its own start
    }
    EXPECT_EQ(paused.drains, polled.drains);
    EXPECT_GT(paused.slept_share, 0.5);
}

TEST_P(FrameWaitAgainstPollingWithoutPause, TakesTheSameBlocksWhenEverySleepOvershootsByNearlyTheGuard)
{
    for (const double byte_us : {byte_us_7n1, byte_us_8n1}) {
        const auto line = random_line(GetParam() + 1000, byte_us, 40'000'000);
        const Session polled = run_session(line, wait_without_pause);
        const Session paused = run_session(line, clock_setter::wait_for_frame, 1'900);
        ASSERT_GT(polled.blocks.size(), 20u);
        EXPECT_EQ(paused.blocks, polled.blocks) << "byte time " << byte_us;
        EXPECT_EQ(paused.drains, polled.drains) << "byte time " << byte_us;
    }
}

TEST_P(FrameWaitAgainstPollingWithoutPause, TakesTheSameBlocksWhenLineErrorsZeroSomePolls)
{
    const auto line = random_line(GetParam() + 2000, byte_us_7n1, 40'000'000);
    const Session polled = run_session(line, wait_without_pause, 0, 7);
    const Session paused = run_session(line, clock_setter::wait_for_frame, 0, 7);
    ASSERT_GT(polled.blocks.size(), 20u);
    EXPECT_EQ(paused.blocks, polled.blocks);
}

INSTANTIATE_TEST_SUITE_P(Seeds, FrameWaitAgainstPollingWithoutPause, testing::Range(1u, 9u));

TEST(FrameWaitLines, TheRandomLinesDrainAndStallAndAFixedNapMissesBlocks)
{
    // The lines above are demanding enough that a plain 20 ms nap between
    // polls would take other blocks, and they drain and stall at 36-38.
    int naps_differ = 0;
    std::int64_t drains = 0;
    for (unsigned seed = 1; seed < 9; ++seed) {
        const auto line = random_line(seed, byte_us_7n1, 40'000'000);
        const Session polled = run_session(line, wait_without_pause);
        drains += polled.drains;
        naps_differ += run_session(line, wait_with_fixed_naps).blocks != polled.blocks;
    }
    EXPECT_GT(drains, 8);
    EXPECT_GE(naps_differ, 6);
}

TEST(FrameWaitLines, BackToBackFramesAreAllTakenAndInOrder)
{
    // Each frame is 35 bytes and the count is exactly 35 once per frame, for
    // one byte time: both waits see every one of them.
    std::string frames;
    std::vector<std::string> expected;
    for (int i = 0; i < 40; ++i) {
        char digits[8];
        std::snprintf(digits, sizeof digits, "%02d", i);
        expected.push_back(std::string("*") + digits + std::string(31, '-') + "#");
        frames += expected.back();
    }
    std::vector<Arrival> line;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        line.push_back({100'000 + std::llround(static_cast<double>(i) * byte_us_7n1), frames.substr(i, 1)});
    }
    const Session paused = run_session(line, clock_setter::wait_for_frame, 1'900);
    EXPECT_EQ(paused.blocks, expected);
    EXPECT_EQ(run_session(line, wait_without_pause).blocks, expected);
}

TEST(FrameWaitCpu, PollsAFewDozenTimesASecondWhetherIdleOrTakingAFrameASecond)
{
    // An idle wait: nothing arrives for the 5 s limit. Sleeps of 29 ms, then
    // brief pauses in the last 2 ms.
    fake::reset({2025, 6, 1, 12, 0, 0, 0});
    const auto port = *platform::open_serial_port(1);
    EXPECT_FALSE(clock_setter::wait_for_frame(port));
    const double idle_polls_a_second = static_cast<double>(fake::queue_queries()) / 5.0;
    EXPECT_LT(idle_polls_a_second, 45);
    EXPECT_GT(fake::slept_us() * 1000, fake::now_us() * 995);

    // One frame a second at 9600 baud: long sleeps until the frame is nearly
    // in, then polls a tenth of a millisecond apart for the last few bytes.
    fake::reset({2025, 6, 1, 12, 0, 0, 0});
    for (int i = 0; i < 5; ++i) {
        serial_line_script::send_paced(500'000 + i * 1'000'000, std::string(35, 'x'));
    }
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(clock_setter::wait_for_frame(port));
        platform::read_serial(port, 35);
    }
    const double frame_polls_a_second = static_cast<double>(fake::queue_queries()) * 1e6 / static_cast<double>(fake::now_us());
    EXPECT_LT(frame_polls_a_second, 100);
    EXPECT_GT(fake::slept_us() * 1000, fake::now_us() * 995);
    RecordProperty("idle_polls_a_second", std::to_string(idle_polls_a_second));
    RecordProperty("frame_a_second_polls_a_second", std::to_string(frame_polls_a_second));
}

}  // namespace
