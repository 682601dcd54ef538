// The seam's pure parts: the command tail and the rules of a local time.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/clock.h"
#include "platform/command_tail.h"
#include "platform/local_time_rules.h"

namespace {

using platform::LocalTime;
using platform::skip_program_name;

TEST(CommandTail, SkipsUnquotedAndQuotedProgramNamesAndTheBlanksAfter)
{
    EXPECT_EQ(skip_program_name("sender.exe /2 /R"), "/2 /R");
    EXPECT_EQ(skip_program_name("\"C:\\Program Files\\sender.exe\"   /9 x"), "/9 x");
    EXPECT_EQ(skip_program_name("\"C:\\a b\\sender.exe\"/3"), "/3");
    EXPECT_EQ(skip_program_name("sender.exe \t /r  "), "/r  ");
    EXPECT_EQ(skip_program_name("sender.exe"), "");
    EXPECT_EQ(skip_program_name("\"unterminated /2"), "");
    EXPECT_EQ(skip_program_name(""), "");
}

TEST(CommandTail, PortSwitchIsTheFirstSlashOrOnlyWithoutOneTheFirstBackslash)
{
    EXPECT_EQ(platform::port_number_from_tail(""), 1);
    EXPECT_EQ(platform::port_number_from_tail("/3"), 3);
    EXPECT_EQ(platform::port_number_from_tail("x /4 /2"), 4);
    EXPECT_EQ(platform::port_number_from_tail("/R /2"), 1);
    EXPECT_EQ(platform::port_number_from_tail("\\2"), 2);
    EXPECT_EQ(platform::port_number_from_tail("\\2 /R"), 1);
    EXPECT_EQ(platform::port_number_from_tail("/5"), 1);
    EXPECT_EQ(platform::port_number_from_tail("/0"), 1);
    EXPECT_EQ(platform::port_number_from_tail("abc /"), 1);
}

TEST(LocalTimeRules, DaysInMonthFollowTheGregorianCalendar)
{
    EXPECT_EQ(platform::days_in_month(2024, 2), 29);
    EXPECT_EQ(platform::days_in_month(2100, 2), 28);
    EXPECT_EQ(platform::days_in_month(2000, 2), 29);
    EXPECT_EQ(platform::days_in_month(2025, 4), 30);
    EXPECT_EQ(platform::days_in_month(2025, 12), 31);
    EXPECT_EQ(platform::days_in_month(2025, 13), 0);
}

TEST(LocalTimeRules, RefusesWhatSetLocalTimeRefuses)
{
    const LocalTime good{2024, 12, 31, 23, 59, 59, 999};
    EXPECT_TRUE(platform::is_valid_local_time(good));
    auto with = [good](auto change) {
        LocalTime t = good;
        change(t);
        return platform::is_valid_local_time(t);
    };
    EXPECT_FALSE(with([](LocalTime& t) { t.month = 13; }));
    EXPECT_FALSE(with([](LocalTime& t) { t.month = 0; }));
    EXPECT_FALSE(with([](LocalTime& t) { t.month = 4; }));  // 31 April
    EXPECT_FALSE(with([](LocalTime& t) { t.day = 0; }));
    EXPECT_FALSE(with([](LocalTime& t) { t.hour = 24; }));
    EXPECT_FALSE(with([](LocalTime& t) { t.minute = 60; }));
    EXPECT_FALSE(with([](LocalTime& t) { t.second = 60; }));
    EXPECT_FALSE(with([](LocalTime& t) { t.year = 1600; }));
    EXPECT_FALSE(with([](LocalTime& t) { t.year = 30828; }));
    EXPECT_TRUE(with([](LocalTime& t) { t.month = 2, t.day = 29, t.year = 2028; }));
    EXPECT_FALSE(with([](LocalTime& t) { t.month = 2, t.day = 29, t.year = 2027; }));
}

// Central Europe, 25 October 2026: 02:00 to 02:59:59 happens first in summer
// time (UTC+2, from 00:00 UTC), then again in standard time (UTC+1, from 01:00
// UTC). Instants in seconds since 1970, UTC.
constexpr std::int64_t october_25_utc = 1792886400;
constexpr std::int64_t hour = 3600;
std::int64_t utc(int h, int m, int s) { return october_25_utc + h * hour + m * 60 + s; }
// The instants at which a clock of the zone reads 02:mm:ss that day.
std::vector<std::int64_t> repeated(int m, int s) { return {utc(0, m, s), utc(1, m, s)}; }

TEST(NearestInstant, InTheRepeatedHourTheOneNearestThePcsClock)
{
    // Each pass of the hour: the PC at 02:29:40 summer time, then standard time.
    EXPECT_EQ(platform::nearest_instant(repeated(29, 45), utc(0, 29, 40)), utc(0, 29, 45));
    EXPECT_EQ(platform::nearest_instant(repeated(29, 45), utc(1, 29, 40)), utc(1, 29, 45));
    // The clock has turned back before the PC: 02:01:05 standard time while
    // the PC still reads 02:59:58 summer time; and the other way round.
    EXPECT_EQ(platform::nearest_instant(repeated(1, 5), utc(0, 59, 58)), utc(1, 1, 5));
    EXPECT_EQ(platform::nearest_instant(repeated(59, 58), utc(1, 1, 5)), utc(0, 59, 58));
    // A PC clock hours or years off takes the pass on its own side.
    EXPECT_EQ(platform::nearest_instant(repeated(30, 0), utc(-9, 0, 0)), utc(0, 30, 0));
    EXPECT_EQ(platform::nearest_instant(repeated(30, 0), utc(14, 0, 0)), utc(1, 30, 0));
    EXPECT_EQ(platform::nearest_instant(repeated(30, 0), utc(-24 * 365 * 10, 0, 0)), utc(0, 30, 0));
    EXPECT_EQ(platform::nearest_instant(repeated(30, 0), utc(24 * 365 * 30, 0, 0)), utc(1, 30, 0));
    // Exactly between the two passes: the first.
    EXPECT_EQ(platform::nearest_instant(repeated(30, 0), utc(1, 0, 0)), utc(0, 30, 0));
}

TEST(NearestInstant, ElsewhereTheOneInstantAndInTheSkippedHourNone)
{
    // Far from any change, and the clock turned forward before the PC in
    // spring (03:00:05 summer time while the PC reads 01:59:58 standard time).
    const std::int64_t march_29_utc = 1774742400;
    EXPECT_EQ(platform::nearest_instant({utc(10, 0, 0)}, utc(-500, 0, 0)), utc(10, 0, 0));
    EXPECT_EQ(platform::nearest_instant({march_29_utc + 1 * hour + 5}, march_29_utc + 59 * 60 + 58),
              march_29_utc + 1 * hour + 5);
    EXPECT_EQ(platform::nearest_instant({}, utc(0, 0, 0)), std::nullopt);
}

}  // namespace
