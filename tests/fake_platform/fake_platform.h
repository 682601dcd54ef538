// A scripted stand-in for the operating-system seam, for unit tests.
//
// Time is virtual: it moves only when the program under test sleeps or reads
// the clock (each reading costs `reading_cost_us`), so waits are
// deterministic and instant. The local clock is virtual time plus an offset
// that a test can step. Actions scheduled with `at` run as virtual time passes
// them. Every seam call is recorded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/udp_sender.h"

namespace fake {

// Thrown out of the seam when virtual time passes the limit set by
// `stop_at_us`, to end a program that would run for ever.
struct StopRun {};

// Forgets everything and starts the local clock at `start`.
void reset(const platform::LocalTime& start);

std::int64_t now_us();
void advance_us(std::int64_t us);
void at(std::int64_t when_us, std::function<void()> action);
void stop_at_us(std::int64_t limit_us);

// Sets the local clock `delta_us` forward (or back, when negative).
void step_clock_us(std::int64_t delta_us);

// The local time the clock shows at virtual time `us`.
platform::LocalTime local_time_at(std::int64_t us);
// Virtual time at which the local clock shows `time` (no clock steps between).
std::int64_t when_clock_shows(const platform::LocalTime& time);

// Cost of one reading of the clock, and how much the fake slept in all.
void set_reading_cost_us(std::int64_t us);
std::int64_t slept_us();
std::int64_t clock_readings();

// Clock writes the program asked for.
struct ClockWrite {
    std::int64_t at_us;
    platform::LocalTime value;
    bool accepted;
};
const std::vector<ClockWrite>& clock_writes();
// Whether write_local_time succeeds for valid values (as with the right to set
// the clock); invalid values are always refused.
void set_clock_writable(bool writable);
// Virtual time that each clock write takes after it has set the clock.
void set_clock_write_cost_us(std::int64_t us);
// How much longer than asked every sleep_ms and sleep_us lasts.
void set_sleep_overshoot_us(std::int64_t us);
// What wake_margin_us answers: 300 unless set (the platforms' is 2000).
void set_wake_margin_us(std::uint32_t us);
// What one pause_briefly takes.
constexpr std::int64_t brief_pause_us = 100;

// Serial port.
struct SerialWrite {
    std::int64_t at_us;
    std::string bytes;
};
void set_port_present(int port_number, bool present);
int opened_port();  // 0 when none was opened
bool port_closed();
const std::vector<std::string>& serial_calls();  // "baud 9600", "data_bits 8 parity_off", ...
const std::vector<SerialWrite>& serial_writes();
void refuse_serial_setting(const std::string& name);  // e.g. "stop_bits_1.5"

void queue_bytes(const std::string& bytes);  // arrive now
void queue_line_errors(unsigned errors);     // reported by the next query
void fail_next_query();                      // the next query reports nothing
void fail_next_read();                       // the next read returns nothing
void shorten_next_read(std::size_t count);   // the next read returns at most count
const std::string& receive_queue();
std::int64_t queue_queries();

// Sending UDP datagrams. Like Windows and Linux, the fake refuses a datagram
// to an address ending in 255 unless broadcasting was allowed.
struct UdpSend {
    std::int64_t at_us;
    platform::Ipv4Bytes address;
    std::uint16_t port;
    std::string bytes;
    bool accepted;
};
void set_own_address(std::optional<platform::Ipv4Bytes> address);  // none by default
void fail_udp_open();           // the socket cannot be opened
void fail_udp_sends();          // every send fails from now on
const std::vector<std::string>& udp_calls();  // "own_address", "open", "allow_broadcast", "send"
const std::vector<UdpSend>& udp_sends();

// Beeps and message boxes.
int beeps();
struct ShownMessageBox {
    std::int64_t at_us;  // when it was opened
    std::string caption;
    std::string text;
};
const std::vector<ShownMessageBox>& message_boxes();
// How long the user keeps each message box open.
void set_message_box_open_us(std::int64_t us);

}  // namespace fake
