// The clock setter's pure rules: options from the command tail, what a block
// sets on the clock, and the message box text.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "frame_rules.h"
#include "setter_settings.h"
#include "time_frame/time_frame.h"

namespace {

using clock_setter::ClockSetting;
using clock_setter::clock_setting_from_block;
using clock_setter::display_text_from_block;
using clock_setter::parse_setter_settings;

struct TailCase {
    const char* name;
    const char* tail;
    bool repeat;
    bool display;
    int port;
};

void PrintTo(const TailCase& c, std::ostream* os) { *os << c.name; }

class SetterCommandTail : public testing::TestWithParam<TailCase> {};

TEST_P(SetterCommandTail, GivesTheSettings)
{
    const TailCase& c = GetParam();
    const auto s = parse_setter_settings(c.tail);
    EXPECT_EQ(s.repeat, c.repeat);
    EXPECT_EQ(s.display, c.display);
    EXPECT_EQ(s.port_number, c.port);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SetterCommandTail,
    testing::Values(TailCase{"empty", "", false, false, 1},
                    TailCase{"slash_3", "/3", false, false, 3},
                    TailCase{"slash_4_display", "/4 /D", false, true, 4},
                    TailCase{"backslash_2_alone", "\\2", false, false, 2},
                    TailCase{"backslash_2_then_slash_repeat", "\\2 /R", true, false, 1},
                    TailCase{"slash_5_is_com1", "/5", false, false, 1},
                    TailCase{"slash_letter_is_com1", "/x /D", false, true, 1},
                    TailCase{"slash_at_the_end_is_com1", "abc/", false, false, 1},
                    TailCase{"repeat_before_port_takes_the_switch", "/R /2", true, false, 1},
                    TailCase{"port_then_repeat_and_display", "/2 /R /D", true, true, 2},
                    TailCase{"lower_case_options", "/3/r/d", true, true, 3},
                    TailCase{"options_inside_words", "x/rx y/dy", true, true, 1},
                    TailCase{"backslash_options_are_not_options", "\\R \\D \\r \\d", false, false, 1},
                    TailCase{"backslash_port_with_backslash_repeat", "\\4 \\R", false, false, 4},
                    TailCase{"case_sensitive_letters_only", "/2 R D", false, false, 2}),
    [](const testing::TestParamInfo<TailCase>& info) { return info.param.name; });

// A frame with the given field texts and the sender's default tail.
std::string frame(const char* ss, const char* mm, const char* hh, const char* day, const char* month, const char* year)
{
    return time_frame::compose_time_frame({ss, mm, hh, day, month, year}, time_frame::tail_mode_1);
}

TEST(SetterBlock, AWellFormedFrameSetsItsFields)
{
    EXPECT_EQ(clock_setting_from_block(frame("56", "34", "12", "25", "12", "2024")),
              (ClockSetting{2024, 12, 25, 12, 34, 56}));
}

TEST(SetterBlock, OnlyTheMarksAndTheLengthMakeAFrame)
{
    std::string block = frame("56", "34", "12", "25", "12", "2024");
    block.replace(15, 19, "xxxxxxxxxxxxxxxxxxx");  // tail contents are not read
    EXPECT_TRUE(clock_setting_from_block(block));
    EXPECT_FALSE(clock_setting_from_block("#" + block.substr(1)));
    EXPECT_FALSE(clock_setting_from_block(block.substr(0, 34) + "*"));
    EXPECT_FALSE(clock_setting_from_block(block.substr(0, 34)));
    EXPECT_FALSE(clock_setting_from_block(block + "#"));
    EXPECT_FALSE(clock_setting_from_block(""));
    // Out-of-range digits still make a setting; the clock itself refuses them.
    EXPECT_EQ(clock_setting_from_block(frame("99", "61", "24", "31", "13", "2024")),
              (ClockSetting{2024, 13, 31, 24, 61, 99}));
}

TEST(SetterBlock, HoursOrMinutesOfDoubleZeroAreNotApplied)
{
    EXPECT_FALSE(clock_setting_from_block(frame("56", "34", "00", "25", "12", "2024")));
    EXPECT_FALSE(clock_setting_from_block(frame("56", "00", "12", "25", "12", "2024")));
    EXPECT_FALSE(clock_setting_from_block(frame("00", "00", "00", "25", "12", "2024")));
    // Seconds "00" are fine, and so are " 0" hours and minutes: not "00".
    EXPECT_EQ(clock_setting_from_block(frame("00", "34", "12", "25", "12", "2024")),
              (ClockSetting{2024, 12, 25, 12, 34, 0}));
    EXPECT_EQ(clock_setting_from_block(frame("56", "34", " 0", "25", "12", "2024")),
              (ClockSetting{2024, 12, 25, 0, 34, 56}));
    EXPECT_EQ(clock_setting_from_block(frame("56", " 0", "12", "25", "12", "2024")),
              (ClockSetting{2024, 12, 25, 12, 0, 56}));
}

TEST(SetterBlock, LeadingSpacesOfTwoCharacterFieldsAreRemoved)
{
    EXPECT_EQ(clock_setting_from_block(frame(" 7", " 5", " 9", " 3", " 4", "2025")),
              (ClockSetting{2025, 4, 3, 9, 5, 7}));
}

struct FieldCase {
    const char* name;
    const char* seconds;
    const char* day;
    const char* month;
    const char* year;
    int expected_year;  // 0: the block sets nothing
};

void PrintTo(const FieldCase& c, std::ostream* os) { *os << c.name; }

class SetterYearAndDigits : public testing::TestWithParam<FieldCase> {};

TEST_P(SetterYearAndDigits, SetTheFrameYearOrNothing)
{
    const FieldCase& c = GetParam();
    const auto setting = clock_setting_from_block(frame(c.seconds, "34", "12", c.day, c.month, c.year));
    if (c.expected_year == 0) {
        EXPECT_FALSE(setting);
    } else {
        ASSERT_TRUE(setting);
        EXPECT_EQ(setting->year, c.expected_year);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SetterYearAndDigits,
    testing::Values(
        // Two-digit years in a four-digit field: 0-79 are 2000-2079, 80-99 are 1980-1999.
        FieldCase{"year_0000", "56", "25", "12", "0000", 2000},
        FieldCase{"year_0024", "56", "25", "12", "0024", 2024},
        FieldCase{"year_0079", "56", "25", "12", "0079", 2079},
        FieldCase{"year_0080", "56", "25", "12", "0080", 1980},
        FieldCase{"year_0099", "56", "25", "12", "0099", 1999},
        // Four-digit years below 1980 would become other years: nothing.
        FieldCase{"year_0100", "56", "25", "12", "0100", 0},
        FieldCase{"year_1900", "56", "25", "12", "1900", 0},
        FieldCase{"year_1979", "56", "25", "12", "1979", 0},
        FieldCase{"year_1980", "56", "25", "12", "1980", 1980},
        FieldCase{"year_2024", "56", "25", "12", "2024", 2024},
        FieldCase{"year_9999", "56", "25", "12", "9999", 9999},
        // Fields that are not all digits once leading spaces are removed.
        FieldCase{"year_leading_space", "56", "25", "12", " 024", 0},
        FieldCase{"year_inner_space", "56", "25", "12", "2 24", 0},
        FieldCase{"year_trailing_space", "56", "25", "12", "202 ", 0},
        FieldCase{"year_letter", "56", "25", "12", "20a4", 0},
        FieldCase{"year_sign", "56", "25", "12", "+024", 0},
        FieldCase{"day_with_letter", "56", "1a", "12", "2024", 0},
        FieldCase{"day_trailing_space", "56", "1 ", "12", "2024", 0},
        FieldCase{"day_blank", "56", "  ", "12", "2024", 0},
        FieldCase{"month_sign", "56", "25", "-1", "2024", 0},
        FieldCase{"seconds_blank", "  ", "25", "12", "2024", 0},
        FieldCase{"seconds_letter", "5x", "25", "12", "2024", 0}),
    [](const testing::TestParamInfo<FieldCase>& info) { return info.param.name; });

TEST(SetterBlock, EmptyAndShortFieldsAreNoFrameOrSetNothing)
{
    // Missing characters make the block too short to be a frame.
    EXPECT_FALSE(clock_setting_from_block(frame("56", "34", "12", "", "12", "2024")));
    // A blank minutes field is empty once its spaces are gone.
    EXPECT_FALSE(clock_setting_from_block(frame("56", "  ", "12", "25", "12", "2024")));
    EXPECT_FALSE(clock_setting_from_block(frame("56", "34", "  ", "25", "12", "2024")));
}

TEST(SetterDisplay, DateAndTimeTextsFromTheFields)
{
    EXPECT_EQ(display_text_from_block(frame("56", "34", "12", "25", "12", "2024")), "12/25/2024    12:34:56");
    // Leading spaces go, the year stays as received, "00" is still shown.
    EXPECT_EQ(display_text_from_block(frame(" 7", "00", " 0", " 3", " 4", " 024")), "4/3/ 024    0:00:7");
    EXPECT_EQ(display_text_from_block(frame("5x", "34", "00", "1a", "13", "1979")), "13/1a/1979    00:34:5x");
    EXPECT_FALSE(display_text_from_block("x" + frame("56", "34", "12", "25", "12", "2024").substr(1)));
    EXPECT_FALSE(display_text_from_block(frame("56", "34", "12", "25", "12", "2024").substr(0, 34)));
}

}  // namespace
