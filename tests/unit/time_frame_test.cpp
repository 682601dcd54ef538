// The frame: composing from a clock reading and from given characters, and
// recognising a block read as one frame.
#include "time_frame/time_frame.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <ostream>
#include <string>
#include <string_view>

namespace {

using time_frame::compose_time_frame;
using time_frame::format_clock_fields;
using time_frame::FrameFields;
using time_frame::parse_time_frame;

TEST(TimeFrame, TailTemplatesAreTwentyCharactersWithModeDigitAndEndMark)
{
    const struct {
        std::string_view tail;
        char mode;
    } templates[] = {{time_frame::tail_mode_1, '1'},
                     {time_frame::tail_mode_9, '9'},
                     {time_frame::tail_mode_8, '8'},
                     {time_frame::tail_mode_7, '7'},
                     {time_frame::tail_broadcast, '1'}};
    for (const auto& t : templates) {
        ASSERT_EQ(t.tail.size(), time_frame::tail_length);
        EXPECT_EQ(t.tail.substr(0, 9), "         ");
        EXPECT_EQ(t.tail[9], t.mode);
        EXPECT_EQ(t.tail.back(), '#');
    }
}

TEST(TimeFrame, ComposesNewYearsEveExample)
{
    const std::string frame =
        compose_time_frame(format_clock_fields(2024, 12, 31, 23, 59, 58), time_frame::tail_mode_1);
    EXPECT_EQ(frame, "*58592331122024         1         #");
    EXPECT_EQ(frame.size(), time_frame::frame_length);
}

TEST(TimeFrame, PadsSingleDigitsAndKeepsFieldOrderSmallestFirst)
{
    const FrameFields fields = format_clock_fields(2026, 4, 3, 9, 5, 7);
    EXPECT_EQ(fields, (FrameFields{"07", "05", "09", "03", "04", "2026"}));
    EXPECT_EQ(compose_time_frame(fields, time_frame::tail_mode_1).substr(0, 15), "*07050903042026");
    EXPECT_EQ(format_clock_fields(987, 1, 1, 0, 0, 0).year, "0987");
}

TEST(TimeFrame, BroadcastFrameDiffersFromDefaultOnlyInPositions31To34)
{
    const FrameFields fields = format_clock_fields(2026, 7, 3, 14, 5, 9);
    const std::string sender = compose_time_frame(fields, time_frame::tail_mode_1);
    const std::string broadcast = compose_time_frame(fields, time_frame::tail_broadcast);
    ASSERT_EQ(broadcast, "*09051403072026         1     0213#");
    for (std::size_t i = 0; i < sender.size(); ++i) {
        const bool in_0213 = i >= 30 && i <= 33;
        EXPECT_EQ(sender[i] == broadcast[i], !in_0213) << "position " << i + 1;
    }
}

TEST(TimeFrame, ComposesGivenCharactersAsTheyStandAndShorterWhenMissing)
{
    const std::string odd = compose_time_frame(FrameFields{"x0", "3 ", "ab", "31", "12", "20z4"}, time_frame::tail_mode_9);
    EXPECT_EQ(odd, "*x03 ab311220z4         9         #");
    const std::string short_frame = compose_time_frame(FrameFields{"", "30", "12", "", "", ""}, time_frame::tail_mode_9);
    EXPECT_EQ(short_frame, "*3012         9         #");
    EXPECT_EQ(short_frame.size(), 25u);
    EXPECT_FALSE(parse_time_frame(short_frame));
}

struct ParseCase {
    const char* name;
    std::string candidate;
    bool is_frame;
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }

class ParseTimeFrame : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseTimeFrame, AcceptsOnlyThirtyFiveCharactersWithBothMarks)
{
    EXPECT_EQ(parse_time_frame(GetParam().candidate).has_value(), GetParam().is_frame);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseTimeFrame,
    testing::Values(ParseCase{"default_frame", "*58592331122024         1         #", true},
                    ParseCase{"broadcast_frame", "*09051403072026         1     0213#", true},
                    ParseCase{"month_13_still_a_frame", "*00001215132024         1         #", true},
                    ParseCase{"tail_not_examined", "*00001215122024xxxxxxxxxxxxxxxxxxx#", true},
                    ParseCase{"no_start_mark", "058592331122024         1         #", false},
                    ParseCase{"no_end_mark", "*58592331122024         1          ", false},
                    ParseCase{"misaligned", "8592331122024         1         #*5", false},
                    ParseCase{"short", "*58592331122024         1        #", false},
                    ParseCase{"long", "*58592331122024         1          #", false},
                    ParseCase{"empty", "", false}),
    [](const testing::TestParamInfo<ParseCase>& info) { return info.param.name; });

TEST(TimeFrame, ParseCutsFieldsByPosition)
{
    const auto fields = parse_time_frame("*56341225122024         1         #");
    ASSERT_TRUE(fields);
    EXPECT_EQ(*fields, (FrameFields{"56", "34", "12", "25", "12", "2024"}));
    const auto spaced = parse_time_frame("* 5 4 3 1 2  24         1         #");
    ASSERT_TRUE(spaced);
    EXPECT_EQ(*spaced, (FrameFields{" 5", " 4", " 3", " 1", " 2", "  24"}));
}

TEST(TimeFrame, ComposedFrameRoundTrips)
{
    const FrameFields fields = format_clock_fields(2031, 2, 28, 6, 45, 1);
    EXPECT_EQ(parse_time_frame(compose_time_frame(fields, time_frame::tail_mode_7)), fields);
}

}  // namespace
