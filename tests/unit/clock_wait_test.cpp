// The wait for the clock's turn: sleeps while the turn is far, notices clock
// steps within 100 ms, and returns the first reading after the change.
#include "clock_wait/clock_wait.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "fake_platform.h"
#include "platform/clock.h"

namespace {

using clock_wait::Turn;
using platform::LocalTime;

TEST(ClockWait, TimeToTheNextTurn)
{
    EXPECT_EQ(clock_wait::us_until_next_turn({2026, 1, 1, 10, 15, 42, 250, 0}, Turn::second), 750'000);
    EXPECT_EQ(clock_wait::us_until_next_turn({2026, 1, 1, 10, 15, 42, 250, 400}, Turn::second), 749'600);
    EXPECT_EQ(clock_wait::us_until_next_turn({2026, 1, 1, 10, 15, 42, 250, 0}, Turn::minute), 17'750'000);
    EXPECT_EQ(clock_wait::us_until_next_turn({2026, 1, 1, 10, 15, 59, 999, 999}, Turn::minute), 1);
}

TEST(ClockWait, SleepsUntilTheMarginBeforeTheTurnAtMostAHundredMillisecondsAtATime)
{
    using clock_wait::sleep_before_next_reading_us;
    EXPECT_EQ(sleep_before_next_reading_us({2026, 1, 1, 10, 15, 42, 250, 0}, Turn::minute, 300), 100'000);
    EXPECT_EQ(sleep_before_next_reading_us({2026, 1, 1, 10, 15, 59, 950, 0}, Turn::minute, 300), 49'700);
    EXPECT_EQ(sleep_before_next_reading_us({2026, 1, 1, 10, 15, 59, 950, 0}, Turn::minute, 2000), 48'000);
    EXPECT_EQ(sleep_before_next_reading_us({2026, 1, 1, 10, 15, 59, 999, 900}, Turn::minute, 300), 0);
    EXPECT_EQ(sleep_before_next_reading_us({2026, 1, 1, 10, 15, 42, 999, 750}, Turn::second, 300), 0);
}

int minute_change_from(int mark, const LocalTime& now) { return now.minute != mark; }

TEST(ClockWait, ReturnsAtTheTurnOfTheMinuteHavingSleptNearlyAllTheWay)
{
    // A margin of 0.3 ms or of 2 ms: either way the turn is
    // seen within one reading, and only the margin is polled.
    for (const std::uint32_t margin : {300u, 2000u}) {
        fake::reset({2026, 3, 1, 10, 15, 42, 0});
        fake::set_wake_margin_us(margin);
        const LocalTime seen =
            clock_wait::wait_for_change(Turn::minute, [](const LocalTime& t) { return minute_change_from(15, t); });
        EXPECT_EQ(seen.minute, 16);
        EXPECT_EQ(seen.second, 0);
        const std::int64_t turn = fake::when_clock_shows({2026, 3, 1, 10, 16, 0, 0});
        EXPECT_GE(fake::now_us(), turn);
        EXPECT_LE(fake::now_us() - turn, 100);  // seen within the reading cost of the turn
        // All but the margin and the readings' cost was slept.
        EXPECT_GE(fake::slept_us(), 18'000'000 - margin - 10 * fake::clock_readings());
        EXPECT_LT(fake::clock_readings(), 18 * 10 + margin / 10 + 10);
    }
}

TEST(ClockWait, ASleepThatEndsLateWithinTheMarginDoesNotDelayTheTurn)
{
    fake::reset({2026, 3, 1, 10, 15, 58, 0});
    fake::set_sleep_overshoot_us(250);
    clock_wait::wait_for_change(Turn::minute, [](const LocalTime& t) { return minute_change_from(15, t); });
    EXPECT_LE(fake::now_us() - fake::when_clock_shows({2026, 3, 1, 10, 16, 0, 0}), 20);
}

TEST(ClockWait, NoticesAClockSetForwardWithinAHundredMilliseconds)
{
    fake::reset({2026, 3, 1, 10, 15, 10, 0});
    fake::at(5'000'000, [] { fake::step_clock_us(30'000'000); });  // 10:15:15 -> 10:15:45
    fake::at(6'000'000, [] { fake::step_clock_us(60'000'000); });  // 10:15:46 -> 10:16:46
    clock_wait::wait_for_change(Turn::minute, [](const LocalTime& t) { return minute_change_from(15, t); });
    EXPECT_GE(fake::now_us(), 6'000'000);
    EXPECT_LE(fake::now_us(), 6'100'000);
}

TEST(ClockWait, ASecondsDigitWaitEndsRightAfterTheTurnOfTheSecond)
{
    fake::reset({2026, 3, 1, 10, 15, 10, 990});
    const LocalTime seen =
        clock_wait::wait_for_change(Turn::second, [](const LocalTime& t) { return t.second % 10 != 0; });
    EXPECT_EQ(seen.second, 11);
    EXPECT_LE(fake::now_us() - 10'000, 20);
}

}  // namespace
