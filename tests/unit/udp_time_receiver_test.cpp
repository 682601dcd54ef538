// The UDP time receiver: its log lines and trim, the label's UTF-8 copy, and
// the receive worker on the fake socket and window.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "fake_receiver_window.h"
#include "fake_udp_listener.h"
#include "label_text.h"
#include "receive_log.h"
#include "receive_worker.h"
#include "receiver_window.h"

namespace {

using namespace std::string_literals;
using udp_time_receiver::datagram_line;
using udp_time_receiver::format_ipv4;
using udp_time_receiver::label_display_text;
using udp_time_receiver::receive_worker;
using udp_time_receiver::ReceiverWindow;
using udp_time_receiver::trim_log;

using Address = std::array<std::uint8_t, 4>;

const std::string start = "Starting UDP Time Receiver.";
const std::string listening = "Listening for broadcasts to 255.255.255.255:16000";
const std::string frame = "*09051403072026         1     0213#";

std::vector<std::string> lines_of(const std::string& log)
{
    std::vector<std::string> lines;
    std::size_t from = 0;
    for (;;) {
        const std::size_t cr = log.find('\r', from);
        lines.push_back(log.substr(from, cr == std::string::npos ? std::string::npos : cr - from));
        if (cr == std::string::npos) {
            return lines;
        }
        from = cr + 1;
    }
}

// --- The log's lines -------------------------------------------------------

TEST(ReceiveLog, FormatsAddressesFirstOctetFirstWithoutPadding)
{
    EXPECT_EQ(format_ipv4({255, 255, 255, 255}), "255.255.255.255");
    EXPECT_EQ(format_ipv4({0, 0, 0, 0}), "0.0.0.0");
    EXPECT_EQ(format_ipv4({10, 0, 0, 1}), "10.0.0.1");
    EXPECT_EQ(format_ipv4({192, 168, 7, 40}), "192.168.7.40");
    EXPECT_EQ(format_ipv4({1, 23, 4, 56}), "1.23.4.56");
}

TEST(ReceiveLog, ListeningLineNamesTheAllOnesAddressAndPort16000)
{
    EXPECT_EQ(udp_time_receiver::listening_line(), listening);
}

TEST(ReceiveLog, DatagramLineCarriesTheBytesUnchangedAndTheSender)
{
    EXPECT_EQ(datagram_line(frame, {192, 168, 7, 40}, 49152),
              "Data received: " + frame + " from 192.168.7.40:49152");
    EXPECT_EQ(datagram_line("", {127, 0, 0, 1}, 40000), "Data received:  from 127.0.0.1:40000");
    EXPECT_EQ(datagram_line("x", {0, 0, 0, 0}, 0), "Data received: x from 0.0.0.0:0");
    EXPECT_EQ(datagram_line("x", {10, 0, 0, 1}, 65535), "Data received: x from 10.0.0.1:65535");

    const std::string binary = "a\0b\r\n\xff"s;
    EXPECT_EQ(datagram_line(binary, {10, 0, 0, 1}, 1), "Data received: " + binary + " from 10.0.0.1:1");
}

TEST(ReceiveLog, TrimKeepsFewerThanTenSeparatorsByDroppingTheOldestLines)
{
    std::string nine = "l0\rl1\rl2\rl3\rl4\rl5\rl6\rl7\rl8\rl9";
    trim_log(nine);
    EXPECT_EQ(nine, "l0\rl1\rl2\rl3\rl4\rl5\rl6\rl7\rl8\rl9") << "nine separators stay";

    std::string ten = "l0\rl1\rl2\rl3\rl4\rl5\rl6\rl7\rl8\rl9\rl10";
    trim_log(ten);
    EXPECT_EQ(ten, "l1\rl2\rl3\rl4\rl5\rl6\rl7\rl8\rl9\rl10");

    std::string many = "a\rb\rc\rd\re\rf\rg\rh\ri\rj\rk\rl\rm";
    trim_log(many);
    EXPECT_EQ(many, "d\re\rf\rg\rh\ri\rj\rk\rl\rm");

    std::string ends_with_separators = "a\r\r\r\r\r\r\r\r\r\r";
    trim_log(ends_with_separators);
    EXPECT_EQ(ends_with_separators, "\r\r\r\r\r\r\r\r\r");

    std::string empty;
    trim_log(empty);
    EXPECT_EQ(empty, "");
}

// --- The label's copy of the log on GTK --------------------------------------

TEST(LabelText, BreaksLinesAtCarriageReturnsAndStopsAtTheFirstZeroByte)
{
    EXPECT_EQ(label_display_text("one\rtwo\rthree"), "one\ntwo\nthree");
    EXPECT_EQ(label_display_text("one\r\ntwo\nthree"), "one\ntwo\nthree");
    EXPECT_EQ(label_display_text("\r\r"), "\n\n");
    EXPECT_EQ(label_display_text("shown\0hidden\rmore"s), "shown");
}

TEST(LabelText, ReadsBytesAsAnsiIntoUtf8)
{
    EXPECT_EQ(label_display_text("caf\xe9"), "caf\xc3\xa9");
    EXPECT_EQ(label_display_text("\x80"), "\xe2\x82\xac");  // euro sign
    EXPECT_EQ(label_display_text("\x81"), "\xc2\x81");      // undefined: kept as C1 control
    EXPECT_EQ(label_display_text("\x9f\xff"), "\xc5\xb8\xc3\xbf");
    EXPECT_EQ(label_display_text("\xa0"), "\xc2\xa0");
}

TEST(LabelText, StopsWhereNoMoreCouldShow)
{
    // Twelve rows show (the twelfth in part), each of at most 195 characters.
    EXPECT_EQ(udp_time_receiver::label_rows, 12u);
    EXPECT_EQ(udp_time_receiver::row_characters, 195u);

    // A datagram of 65,507 bytes fills every row: nothing after it shows.
    const std::string long_line(65507, 'x');
    EXPECT_EQ(label_display_text("before\r" + long_line + "\rafter"), "before\n" + std::string(2340 - 6, 'x'));
    // Soft hyphens take no room, so they do not count.
    std::string hyphens;
    for (int i = 0; i < 3000; ++i) {
        hyphens += "\xc2\xad";
    }
    EXPECT_EQ(label_display_text(std::string(3000, '\xad') + "shown"), hyphens + "shown");

    // Lines below the label stay for a screen reader, up to 64 of them.
    std::string log;
    std::string kept;
    for (int n = 1; n <= 100; ++n) {
        log += std::to_string(n) + (n < 100 ? "\r" : "");
        if (n <= 64) {
            kept += std::to_string(n) + (n < 64 ? "\n" : "");
        }
    }
    EXPECT_EQ(label_display_text(log), kept);
}

// --- The receive worker on the fake socket and window ------------------------

class ReceiveWorker : public testing::Test {
protected:
    void SetUp() override
    {
        fake::reset({2026, 7, 3, 14, 5, 9, 0});
        fake::reset_udp_listener();
        fake::reset_receiver_window();
        // The first receive that finds nothing waits its whole limit and
        // passes this mark: the run ends there.
        fake::stop_at_us(1);
    }

    // Runs the worker until it waits with nothing left to receive.
    static void run_until_quiet()
    {
        EXPECT_THROW(receive_worker(ReceiverWindow{42}), fake::StopRun);
    }

    static void queue_frames(int count, std::uint16_t first_port = 50000)
    {
        for (int i = 0; i < count; ++i) {
            fake::queue_datagram("frame " + std::to_string(i + 1), {192, 168, 7, 40},
                                 static_cast<std::uint16_t>(first_port + i));
        }
    }

    static std::string frame_line(int n)
    {
        return "Data received: frame " + std::to_string(n) + " from 192.168.7.40:" + std::to_string(50000 + n - 1);
    }

    static const std::string& last_shown() { return fake::shown_logs().back(); }
};

TEST_F(ReceiveWorker, ShowsTheStartLineThenOpensThePortThenTheListeningLine)
{
    run_until_quiet();
    EXPECT_EQ(fake::shown_logs(), (std::vector<std::string>{start, start + "\r" + listening}));
    ASSERT_GE(fake::udp_calls().size(), 2u);
    EXPECT_EQ(fake::udp_calls()[0], "open 16000");
    EXPECT_EQ(fake::udp_calls()[1], "receive 62914560 65536");
}

TEST_F(ReceiveWorker, FailedOpenBeepsAndAsksTheWindowToCloseWithoutALine)
{
    fake::refuse_udp_open();
    EXPECT_EQ(receive_worker(ReceiverWindow{42}), 0);
    EXPECT_EQ(fake::window_calls(), (std::vector<std::string>{"show", "beep", "close"}));
    EXPECT_EQ(fake::shown_logs(), std::vector<std::string>{start});
    EXPECT_EQ(fake::udp_calls(), std::vector<std::string>{"open 16000"});
}

TEST_F(ReceiveWorker, ShowsEachDatagramWithItsSenderAndSourcePort)
{
    fake::queue_datagram(frame, {192, 168, 7, 40}, 49152);
    fake::queue_datagram(frame, {10, 0, 0, 1}, 16000);
    run_until_quiet();
    ASSERT_EQ(fake::shown_logs().size(), 4u);
    EXPECT_EQ(fake::shown_logs()[2],
              start + "\r" + listening + "\rData received: " + frame + " from 192.168.7.40:49152");
    EXPECT_EQ(last_shown(), fake::shown_logs()[2] + "\rData received: " + frame + " from 10.0.0.1:16000");
    // The window is asked whether it still exists after each datagram only.
    EXPECT_EQ(fake::window_calls(), (std::vector<std::string>{"show", "show", "show", "alive", "show", "alive"}));
}

TEST_F(ReceiveWorker, NineDatagramsShowElevenLinesAndLaterOnesPushOutTheOldest)
{
    queue_frames(12);
    run_until_quiet();
    const auto& shown = fake::shown_logs();
    ASSERT_EQ(shown.size(), 14u);  // start, listening, twelve datagrams

    std::vector<std::string> lines = lines_of(shown[10]);  // after the ninth datagram
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines.front(), start);
    EXPECT_EQ(lines[1], listening);
    EXPECT_EQ(lines.back(), frame_line(9));

    lines = lines_of(shown[11]);  // the tenth pushes out the start line
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines.front(), listening);
    EXPECT_EQ(lines.back(), frame_line(10));

    lines = lines_of(shown[12]);  // the eleventh the listening line
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines.front(), frame_line(1));

    lines = lines_of(shown[13]);  // from then on the oldest datagram line
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines.front(), frame_line(2));
    EXPECT_EQ(lines.back(), frame_line(12));
}

TEST_F(ReceiveWorker, CarriageReturnsInsideADatagramCountInTheTrim)
{
    queue_frames(7);  // nine lines: eight separators
    fake::queue_datagram("a\rb\rc\rd", {10, 0, 0, 1}, 1234);
    fake::queue_datagram("next", {10, 0, 0, 1}, 1235);
    run_until_quiet();
    const auto& shown = fake::shown_logs();
    ASSERT_EQ(shown.size(), 11u);

    // Shown whole first: each of its carriage returns starts a row.
    std::vector<std::string> lines = lines_of(shown[9]);
    ASSERT_EQ(lines.size(), 13u);
    EXPECT_EQ(lines.front(), start);
    EXPECT_EQ(lines[9], "Data received: a");
    EXPECT_EQ(lines.back(), "d from 10.0.0.1:1234");

    // Before the next receive twelve separators stand: three lines go.
    lines = lines_of(shown[10]);
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines.front(), frame_line(2));
    EXPECT_EQ(lines.back(), "Data received: next from 10.0.0.1:1235");
}

TEST_F(ReceiveWorker, TheTrimCanCutThroughADatagram)
{
    fake::queue_datagram("x\ry\rz", {10, 0, 0, 1}, 7);
    queue_frames(9);
    run_until_quiet();
    // The lines were start, listening, "Data received: x", "y", "z from ...",
    // then the frames; before the ninth frame's receive the trim had taken
    // the start, listening and first row of the datagram.
    const std::vector<std::string> lines = lines_of(last_shown());
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines[0], "y");
    EXPECT_EQ(lines[1], "z from 10.0.0.1:7");
    EXPECT_EQ(lines[2], frame_line(1));
    EXPECT_EQ(lines.back(), frame_line(9));
}

TEST_F(ReceiveWorker, EmptyDatagramAndZeroBytesAreKeptInTheLog)
{
    fake::queue_datagram("", {127, 0, 0, 1}, 40000);
    fake::queue_datagram("ab\0cd"s, {127, 0, 0, 1}, 40001);
    run_until_quiet();
    const std::vector<std::string> lines = lines_of(last_shown());
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2], "Data received:  from 127.0.0.1:40000");
    EXPECT_EQ(lines[3], "Data received: ab\0cd from 127.0.0.1:40001"s);
}

TEST_F(ReceiveWorker, LongDatagramIsTakenWholeIntoTheLog)
{
    const std::string big(65507, 'q');  // the largest IPv4 UDP payload
    fake::queue_datagram(big, {127, 0, 0, 1}, 1);
    run_until_quiet();
    EXPECT_EQ(lines_of(last_shown()).back(), "Data received: " + big + " from 127.0.0.1:1");
}

TEST_F(ReceiveWorker, FailedReceivesChangeNothingAndTheLoopGoesOn)
{
    fake::fail_next_receives(3);
    fake::queue_datagram(frame, {10, 0, 0, 1}, 5000);
    run_until_quiet();
    EXPECT_EQ(fake::shown_logs().size(), 3u);
    EXPECT_EQ(last_shown(), start + "\r" + listening + "\rData received: " + frame + " from 10.0.0.1:5000");
    // Three failed receives, the datagram, and the wait that found nothing.
    EXPECT_EQ(fake::udp_calls().size(), 1u + 5u);
    EXPECT_EQ(std::count(fake::window_calls().begin(), fake::window_calls().end(), "alive"), 1);
}

TEST_F(ReceiveWorker, PassingWaitLimitsChangeNothing)
{
    // Ten whole waits of 62.91456 s with nothing arriving, then a datagram.
    fake::at(10 * udp_time_receiver::receive_wait_us - 1,
             [] { fake::queue_datagram("late", {10, 0, 0, 2}, 9); });
    fake::stop_at_us(11 * udp_time_receiver::receive_wait_us);
    run_until_quiet();
    EXPECT_EQ(fake::shown_logs().size(), 3u);
    EXPECT_EQ(lines_of(last_shown()).back(), "Data received: late from 10.0.0.2:9");
}

TEST_F(ReceiveWorker, EndsAndClosesTheSocketOnceTheWindowIsFoundGone)
{
    fake::close_window_after_shows(4);  // gone after the second datagram
    queue_frames(5);
    EXPECT_EQ(receive_worker(ReceiverWindow{42}), 0);
    EXPECT_EQ(fake::shown_logs().size(), 4u);
    EXPECT_EQ(fake::udp_calls().back(), "close");
    EXPECT_EQ(fake::udp_calls().size(), 1u + 2u + 1u);  // open, two receives, close
}

}  // namespace
