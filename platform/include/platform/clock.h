// The PC's local clock, a monotonic millisecond count and sleeping.
#pragma once

#include <cstdint>

namespace platform {

// A local date and time as the operating system's local-time call gives it.
struct LocalTime {
    int year = 0;
    int month = 0;        // 1..12
    int day = 0;          // 1..31
    int hour = 0;         // 0..23
    int minute = 0;       // 0..59
    int second = 0;       // 0..59
    int millisecond = 0;  // 0..999
    int microsecond = 0;  // 0..999 past the millisecond where the system's clock has it, else 0
};

// Reads the local date and time once.
LocalTime read_local_time();

// Sets the local date and time, to the millisecond (microsecond is not
// used); of two instants a local time names (the hour repeated when summer
// time ends), the one nearest the clock's current reading. Returns false when
// the system refuses it: no right to set the clock, or a value it does not
// accept (month 13, 31 April, hour 24, ...). A refused value is never carried
// over into another date.
bool write_local_time(const LocalTime& time);

// Milliseconds on a clock that only moves forward and ignores clock changes.
std::uint64_t monotonic_ms();

// Sleeps for about `ms` milliseconds (at most a few ms more). The first
// sleep of a process also asks the system for prompt wake-ups for the rest
// of its life: a 1 ms timer on Windows, a short scheduling slice on Linux.
void sleep_ms(unsigned ms);

// Sleeps for about `us` microseconds; a signal does not make it longer. It
// ends late by less than wake_margin_us() as a rule (Windows sleeps in whole
// milliseconds and rounds down).
void sleep_us(std::uint32_t us);

// How long before a moment a sleep must be set to end for the caller to be
// reading the clock by then: the resolution of a clock reading plus the
// usual lateness of a sleep. 2 ms on Linux (microsecond readings, but
// wake-ups of an idle core up to milliseconds late) and on Windows
// (millisecond readings and sleeps).
std::uint32_t wake_margin_us();

// How long before a moment a poll for it may begin: the wake margin, unless
// no processor is idle; then, on Linux, less than the short scheduling slice
// (0.3 ms), which a poll must not outlast there, and the caller sleeps again
// until then. Asked once a turn.
std::uint32_t poll_margin_us();

// Gives up the processor for a moment between two polls of a device, so that
// the system can go on filling it: about 0.1 ms on Linux, the rest of the
// time slice on Windows (no wait when nothing else is ready to run).
void pause_briefly();

}  // namespace platform
