// The seam's pure parts: the command tail and the rules of a local time.
#include <gtest/gtest.h>

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

}  // namespace
