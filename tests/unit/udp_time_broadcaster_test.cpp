// The UDP time broadcaster: its destination, its start-up and its send loop,
// on the fake platform with scripted time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "broadcaster.h"
#include "fake_platform.h"
#include "platform/clock.h"
#include "platform/udp_sender.h"
#include "time_frame/time_frame.h"

namespace {

using platform::Ipv4Bytes;
using platform::LocalTime;
using udp_time_broadcaster::broadcast_destination;
using udp_time_broadcaster::run_udp_time_broadcaster;

constexpr std::int64_t pause_us = 990'000;
// A datagram counts as sent "at once" or "right after the turn" within this
// much virtual time: a few readings of the clock.
constexpr std::int64_t prompt_us = 100;

struct DestinationCase {
    const char* name;
    std::optional<Ipv4Bytes> own;
    Ipv4Bytes expected;
};

void PrintTo(const DestinationCase& c, std::ostream* os) { *os << c.name; }

class BroadcastDestination : public testing::TestWithParam<DestinationCase> {};

TEST_P(BroadcastDestination, IsTheOwnAddressEndingIn255)
{
    EXPECT_EQ(broadcast_destination(GetParam().own), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BroadcastDestination,
    testing::Values(DestinationCase{"ten_net", Ipv4Bytes{10, 1, 2, 3}, Ipv4Bytes{10, 1, 2, 255}},
                    DestinationCase{"home_net", Ipv4Bytes{192, 168, 7, 20}, Ipv4Bytes{192, 168, 7, 255}},
                    DestinationCase{"mask_is_not_consulted", Ipv4Bytes{172, 16, 0, 1}, Ipv4Bytes{172, 16, 0, 255}},
                    DestinationCase{"loopback", Ipv4Bytes{127, 0, 0, 1}, Ipv4Bytes{127, 0, 0, 255}},
                    DestinationCase{"none", std::nullopt, Ipv4Bytes{0, 0, 0, 255}}),
    [](const testing::TestParamInfo<DestinationCase>& info) { return info.param.name; });

std::string seconds_of(const std::string& frame) { return frame.substr(1, 2); }

// Virtual time at which the clock turns to the second after the one it shows
// at `us` (no clock steps in between).
std::int64_t next_turn_after(std::int64_t us)
{
    LocalTime t = fake::local_time_at(us);
    t.millisecond = 0;
    t.microsecond = 0;
    return fake::when_clock_shows(t) + 1'000'000;
}

class BroadcasterRun : public testing::Test {
protected:
    static constexpr LocalTime start{2024, 12, 31, 10, 15, 42, 0};

    static void start_at_millisecond(int ms)
    {
        LocalTime t = start;
        t.millisecond = ms;
        fake::reset(t);
        fake::set_own_address(Ipv4Bytes{192, 168, 7, 20});
    }

    void SetUp() override { start_at_millisecond(0); }

    static void run_for_us(std::int64_t us)
    {
        fake::stop_at_us(us);
        EXPECT_THROW(run_udp_time_broadcaster(), fake::StopRun);
    }

    // The frame the clock gives at virtual time `us`.
    static std::string frame_at(std::int64_t us)
    {
        const LocalTime t = fake::local_time_at(us);
        return time_frame::compose_time_frame(
            time_frame::format_clock_fields(t.year, t.month, t.day, t.hour, t.minute, t.second),
            time_frame::tail_broadcast);
    }
};

TEST_F(BroadcasterRun, FindsItsAddressThenOpensAllowsBroadcastAndSendsAtOnce)
{
    run_for_us(2'500'000);
    const std::vector<std::string> first_calls(fake::udp_calls().begin(), fake::udp_calls().begin() + 4);
    EXPECT_EQ(first_calls, (std::vector<std::string>{"own_address", "open", "allow_broadcast", "send"}));
    const auto& sends = fake::udp_sends();
    ASSERT_EQ(sends.size(), 3u);
    EXPECT_LE(sends[0].at_us, prompt_us);
    EXPECT_EQ(sends[0].bytes, "*42151031122024         1     0213#");
    for (const auto& send : sends) {
        EXPECT_EQ(send.address, (Ipv4Bytes{192, 168, 7, 255}));
        EXPECT_EQ(send.port, 16000);
        EXPECT_EQ(send.bytes.size(), 35u);
        EXPECT_TRUE(send.accepted) << "refused: broadcasting was not allowed";
    }
    EXPECT_EQ(fake::beeps(), 0);
}

TEST_F(BroadcasterRun, FailedOpenBeepsOnceAndEndsWithOneSendingNothing)
{
    fake::fail_udp_open();
    fake::stop_at_us(10'000'000);  // a loop that ran on would throw instead
    EXPECT_EQ(run_udp_time_broadcaster(), 1);
    EXPECT_EQ(fake::beeps(), 1);
    EXPECT_EQ(fake::udp_calls(), (std::vector<std::string>{"own_address", "open"}));
    EXPECT_TRUE(fake::udp_sends().empty());
    EXPECT_EQ(fake::slept_us(), 0);
}

TEST_F(BroadcasterRun, WithoutAnOwnAddressItSendsTo0_0_0_255AndGoesOnSilently)
{
    fake::set_own_address(std::nullopt);
    run_for_us(4'500'000);
    ASSERT_EQ(fake::udp_sends().size(), 5u);
    for (const auto& send : fake::udp_sends()) {
        EXPECT_EQ(send.address, (Ipv4Bytes{0, 0, 0, 255}));
    }
    EXPECT_EQ(fake::beeps(), 0);
}

TEST_F(BroadcasterRun, FailedSendsChangeNothing)
{
    fake::fail_udp_sends();
    run_for_us(4'500'000);
    const auto& sends = fake::udp_sends();
    ASSERT_EQ(sends.size(), 5u);
    for (std::size_t i = 1; i < sends.size(); ++i) {
        EXPECT_FALSE(sends[i].accepted);
        EXPECT_LE(sends[i].at_us - next_turn_after(sends[i - 1].at_us), prompt_us) << "send " << i;
    }
}

// Started at a given millisecond of a second, the broadcaster sends at once,
// then each pause ends 10 ms earlier in its second than the one before: while
// it ends after the turn the frame leaves at once, and from the first pause
// that ends before the turn on, each frame leaves right after the turn.
class BroadcasterTiming : public BroadcasterRun, public testing::WithParamInterface<int> {};

TEST_P(BroadcasterTiming, SendsOncePerTurnAndSettlesRightAfterTheTurn)
{
    const int start_ms = GetParam();
    start_at_millisecond(start_ms);
    run_for_us(110'500'000);
    const auto& sends = fake::udp_sends();
    // The first at once, then one for each turn of the second in the run.
    const std::size_t turns = (110'500 + static_cast<std::size_t>(start_ms)) / 1000;
    ASSERT_EQ(sends.size(), 1 + turns);
    EXPECT_LE(sends[0].at_us, prompt_us);
    for (std::size_t i = 0; i < sends.size(); ++i) {
        // One reading for the whole frame, taken just before the send.
        const std::string& bytes = sends[i].bytes;
        EXPECT_TRUE(bytes == frame_at(sends[i].at_us) || bytes == frame_at(sends[i].at_us - prompt_us)) << "send " << i;
        if (i == 0) {
            continue;
        }
        EXPECT_NE(sends[i].bytes[2], sends[i - 1].bytes[2]) << "send " << i << " repeats the units digit";
        const std::int64_t pause_end = sends[i - 1].at_us + pause_us;
        const std::int64_t turn = next_turn_after(sends[i - 1].at_us);
        const std::int64_t due = std::max(pause_end, turn);
        EXPECT_GE(sends[i].at_us, due) << "send " << i;
        EXPECT_LE(sends[i].at_us - due, prompt_us) << "send " << i;
    }
    // Settled: a start at m ms past the turn takes about m/10 sends.
    const std::size_t settled_from = static_cast<std::size_t>(start_ms / 10 + 2);
    for (std::size_t i = settled_from; i < sends.size(); ++i) {
        EXPECT_LE(sends[i].at_us - next_turn_after(sends[i].at_us - 1'000'000), prompt_us) << "send " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(StartMillisecond, BroadcasterTiming, testing::Values(0, 5, 35, 300, 995, 999));

TEST_F(BroadcasterRun, APauseThatEndsAfterTheTurnSendsAtOnce)
{
    start_at_millisecond(300);
    run_for_us(2'500'000);
    const auto& sends = fake::udp_sends();
    ASSERT_EQ(sends.size(), 3u);
    EXPECT_EQ(seconds_of(sends[1].bytes), "43");
    EXPECT_LE(sends[1].at_us - (sends[0].at_us + pause_us), prompt_us);
    EXPECT_EQ(seconds_of(sends[2].bytes), "44");
    EXPECT_LE(sends[2].at_us - (sends[1].at_us + pause_us), prompt_us);
}

TEST_F(BroadcasterRun, WaitingSleepsThroughNearlyAllOfEachSecond)
{
    run_for_us(60'500'000);
    EXPECT_EQ(fake::udp_sends().size(), 61u);
    EXPECT_GT(fake::slept_us() * 1000, fake::now_us() * 995);
    EXPECT_LT(fake::clock_readings(), 61 * 250);
}

// The clock is stepped half-way through the pause after the frame of 10:15:45
// (settled, sent right at the turn).
struct StepCase {
    const char* name;
    std::int64_t step_us;
    const char* next_seconds;    // of the frame after 45
    std::int64_t after_pause_us;  // when it leaves, counted from the pause's end
};

void PrintTo(const StepCase& c, std::ostream* os) { *os << c.name; }

class BroadcasterClockStep : public BroadcasterRun, public testing::WithParamInterface<StepCase> {};

TEST_P(BroadcasterClockStep, SendsAsSoonAsTheDigitDiffersFromTheOneLastSent)
{
    const StepCase& c = GetParam();
    fake::at(3'500'000, [&c] { fake::step_clock_us(c.step_us); });
    run_for_us(6'000'000);
    const auto& sends = fake::udp_sends();
    ASSERT_GE(sends.size(), 5u);
    EXPECT_EQ(seconds_of(sends[3].bytes), "45");
    EXPECT_EQ(sends[4].bytes, frame_at(sends[4].at_us));
    EXPECT_EQ(seconds_of(sends[4].bytes), c.next_seconds);
    const std::int64_t pause_end = sends[3].at_us + pause_us;
    EXPECT_GE(sends[4].at_us - pause_end, c.after_pause_us);
    EXPECT_LE(sends[4].at_us - pause_end, c.after_pause_us + prompt_us);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BroadcasterClockStep,
    testing::Values(StepCase{"forward_3_s_sends_at_once", 3'000'000, "48", 0},
                    StepCase{"forward_10_s_waits_for_the_next_change", 10'000'000, "56", 10'000},
                    StepCase{"forward_20_s_waits_for_the_next_change", 20'000'000, "06", 10'000},
                    StepCase{"back_3_s_sends_at_once", -3'000'000, "42", 0},
                    StepCase{"back_10_s_waits_for_the_next_change", -10'000'000, "36", 10'000},
                    StepCase{"back_within_the_second_waits_for_the_change", -400'000, "46", 410'000}),
    [](const testing::TestParamInfo<StepCase>& info) { return info.param.name; });

TEST_F(BroadcasterRun, TheFrameAfterNewYearsEveComesFromOneReading)
{
    fake::reset({2024, 12, 31, 23, 59, 58, 0});
    fake::set_own_address(Ipv4Bytes{10, 1, 2, 3});
    run_for_us(3'500'000);
    const auto& sends = fake::udp_sends();
    ASSERT_EQ(sends.size(), 4u);
    EXPECT_EQ(sends[1].bytes, "*59592331122024         1     0213#");
    EXPECT_EQ(sends[2].bytes, "*00000001012025         1     0213#");
    EXPECT_LE(sends[2].at_us - 2'000'000, prompt_us);
    EXPECT_EQ(sends[3].bytes, "*01000001012025         1     0213#");
}

}  // namespace
