// The fake local clock, monotonic clock and sleep.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <utility>
#include <vector>

#include "fake_platform.h"
#include "fake_state.h"
#include "platform/beep.h"
#include "platform/clock.h"
#include "platform/local_time_rules.h"

namespace fake {

namespace {

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian).
std::int64_t days_from_civil(std::int64_t y, int m, int d)
{
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civil_from_days(std::int64_t z, int& y, int& m, int& d)
{
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

}  // namespace

std::int64_t clock_us_of(const platform::LocalTime& t)
{
    const std::int64_t days = days_from_civil(t.year, t.month, t.day);
    return ((days * 86400 + t.hour * 3600 + t.minute * 60 + t.second) * 1000 + t.millisecond) * 1000 + t.microsecond;
}

State& state()
{
    static State s;
    return s;
}

void reset(const platform::LocalTime& start)
{
    state() = State{};
    state().clock_offset_us = clock_us_of(start);
}

std::int64_t now_us() { return state().now_us; }

void advance_us(std::int64_t us)
{
    State& s = state();
    const std::int64_t target = s.now_us + us;
    // Run the actions due on the way, in time order, each at its own moment.
    while (!s.actions.empty() && s.actions.begin()->first <= target) {
        const auto due = s.actions.begin();
        s.now_us = std::max(s.now_us, due->first);
        auto action = std::move(due->second);
        s.actions.erase(due);
        action();
    }
    s.now_us = std::max(s.now_us, target);
    if (s.now_us > s.stop_at_us) {
        throw StopRun{};
    }
}

void at(std::int64_t when_us, std::function<void()> action)
{
    state().actions.emplace(when_us, std::move(action));
}

void stop_at_us(std::int64_t limit_us) { state().stop_at_us = limit_us; }

void step_clock_us(std::int64_t delta_us) { state().clock_offset_us += delta_us; }

platform::LocalTime local_time_at(std::int64_t us)
{
    const std::int64_t clock_us = us + state().clock_offset_us;
    const std::int64_t ms = floor_div(clock_us, 1000);
    const std::int64_t seconds = floor_div(ms, 1000);
    const std::int64_t days = floor_div(seconds, 86400);
    const std::int64_t in_day = seconds - days * 86400;
    platform::LocalTime t;
    civil_from_days(days, t.year, t.month, t.day);
    t.hour = static_cast<int>(in_day / 3600);
    t.minute = static_cast<int>(in_day / 60 % 60);
    t.second = static_cast<int>(in_day % 60);
    t.millisecond = static_cast<int>(ms - seconds * 1000);
    t.microsecond = static_cast<int>(clock_us - ms * 1000);
    return t;
}

std::int64_t when_clock_shows(const platform::LocalTime& time) { return clock_us_of(time) - state().clock_offset_us; }

void set_reading_cost_us(std::int64_t us) { state().reading_cost_us = us; }
std::int64_t slept_us() { return state().slept_us; }
std::int64_t clock_readings() { return state().clock_readings; }
const std::vector<ClockWrite>& clock_writes() { return state().clock_writes; }
void set_clock_writable(bool writable) { state().clock_writable = writable; }
void set_clock_write_cost_us(std::int64_t us) { state().clock_write_cost_us = us; }
void set_sleep_overshoot_us(std::int64_t us) { state().sleep_overshoot_us = us; }
void set_wake_margin_us(std::uint32_t us) { state().wake_margin_us = us; }
int beeps() { return state().beeps; }

}  // namespace fake

namespace platform {

LocalTime read_local_time()
{
    fake::State& s = fake::state();
    ++s.clock_readings;
    const LocalTime now = fake::local_time_at(s.now_us);
    fake::advance_us(s.reading_cost_us);
    return now;
}

bool write_local_time(const LocalTime& time)
{
    fake::State& s = fake::state();
    // As on both systems, the clock is set to the millisecond.
    LocalTime value = time;
    value.microsecond = 0;
    const bool accepted = s.clock_writable && is_valid_local_time(value);
    s.clock_writes.push_back({s.now_us, value, accepted});
    if (accepted) {
        s.clock_offset_us = fake::clock_us_of(value) - s.now_us;
    }
    fake::advance_us(s.clock_write_cost_us);
    return accepted;
}

std::uint64_t monotonic_ms() { return static_cast<std::uint64_t>(fake::state().now_us / 1000); }

void sleep_ms(unsigned ms)
{
    const std::int64_t us = static_cast<std::int64_t>(ms) * 1000 + fake::state().sleep_overshoot_us;
    fake::state().slept_us += us;
    fake::advance_us(us);
}

void sleep_us(std::uint32_t us)
{
    const std::int64_t lasts = static_cast<std::int64_t>(us) + fake::state().sleep_overshoot_us;
    fake::state().slept_us += lasts;
    fake::advance_us(lasts);
}

std::uint32_t wake_margin_us() { return fake::state().wake_margin_us; }

void pause_briefly()
{
    fake::state().slept_us += fake::brief_pause_us;
    fake::advance_us(fake::brief_pause_us);
}

void beep() { ++fake::state().beeps; }

}  // namespace platform
