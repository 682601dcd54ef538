// The local clock on POSIX: CLOCK_REALTIME seen through the local time zone.
#include "platform/clock.h"

#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <optional>
#include <vector>

#include "platform/local_time_rules.h"

namespace platform {

namespace {

// The kernel's struct sched_attr (size 56); glibc 2.36 declares none, and
// the kernel's own header clashes with glibc's struct sched_param.
struct SchedAttr {
    std::uint32_t size;
    std::uint32_t sched_policy;
    std::uint64_t sched_flags;
    std::int32_t sched_nice;
    std::uint32_t sched_priority;
    std::uint64_t sched_runtime;
    std::uint64_t sched_deadline;
    std::uint64_t sched_period;
    std::uint32_t sched_util_min;
    std::uint32_t sched_util_max;
};

// Shorter than the default slice (1.4 ms here), so that a wake-up may take
// the processor at once.
constexpr std::uint64_t short_slice_ns = 500'000;

// Asks once, for the life of the process, for a short scheduling slice
// (Linux 6.12 and later; earlier kernels ignore the request). A task that
// wakes with a shorter slice than the running one may take the processor at
// once; with the default slice it waits until the running task's slice ends
// or the next tick (4 ms at 250 Hz). With both cores kept busy, wake-ups
// more than 1 ms late fell from about one in five to one in a hundred.
// Other scheduling policies (real-time, batch, idle) are left alone.
void ask_for_short_slice()
{
    static const bool asked = [] {
        SchedAttr attr{};
        if (syscall(SYS_sched_getattr, 0, &attr, sizeof attr, 0) != 0 || attr.sched_policy != SCHED_OTHER) {
            return false;
        }
        attr.size = sizeof attr;
        attr.sched_flags = 0;
        attr.sched_runtime = short_slice_ns;
        return syscall(SYS_sched_setattr, 0, &attr, 0) == 0;
    }();
    (void)asked;
}

bool reads_as(time_t instant, const tm& wanted)
{
    tm local{};
    return localtime_r(&instant, &local) != nullptr && local.tm_year == wanted.tm_year &&
           local.tm_mon == wanted.tm_mon && local.tm_mday == wanted.tm_mday && local.tm_hour == wanted.tm_hour &&
           local.tm_min == wanted.tm_min && local.tm_sec == wanted.tm_sec;
}

// The instants at which the local clock reads `wanted`: the time read as UTC,
// less each offset from UTC that the zone has in force a day before and a day
// after, where the local clock then does read `wanted`. Two where the offset
// falls back within the day (summer time ending), one as a rule, none where
// it springs forward over `wanted`.
std::vector<std::int64_t> instants_reading(const tm& wanted)
{
    constexpr time_t day = 86'400;
    tm as_utc = wanted;
    const time_t base = timegm(&as_utc);
    std::vector<std::int64_t> found;
    for (const time_t probe : {base - day, base + day}) {
        tm around{};
        if (localtime_r(&probe, &around) == nullptr) {
            continue;
        }
        const time_t candidate = base - around.tm_gmtoff;
        if (reads_as(candidate, wanted) && (found.empty() || found.front() != candidate)) {
            found.push_back(candidate);
        }
    }
    return found;
}

}  // namespace

LocalTime read_local_time()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    return LocalTime{local.tm_year + 1900,
                     local.tm_mon + 1,
                     local.tm_mday,
                     local.tm_hour,
                     local.tm_min,
                     local.tm_sec,
                     static_cast<int>(now.tv_nsec / 1000000),
                     static_cast<int>(now.tv_nsec / 1000 % 1000)};
}

bool write_local_time(const LocalTime& time)
{
    // mktime would carry 31 April into 1 May; refuse such values instead, as
    // SetLocalTime does.
    if (!is_valid_local_time(time)) {
        return false;
    }
    tm local{};
    local.tm_year = time.year - 1900;
    local.tm_mon = time.month - 1;
    local.tm_mday = time.day;
    local.tm_hour = time.hour;
    local.tm_min = time.minute;
    local.tm_sec = time.second;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::optional<std::int64_t> seconds = nearest_instant(instants_reading(local), now.tv_sec);
    if (!seconds) {
        // The hour skipped when summer time begins: as mktime takes it.
        local.tm_isdst = -1;
        errno = 0;
        seconds = mktime(&local);
        if (*seconds == -1 && errno != 0) {
            return false;
        }
    }
    const timespec value{static_cast<time_t>(*seconds), static_cast<long>(time.millisecond) * 1000000L};
    return clock_settime(CLOCK_REALTIME, &value) == 0;
}

std::uint64_t monotonic_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

void sleep_ms(unsigned ms)
{
    ask_for_short_slice();
    timespec remaining{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &remaining, &remaining) == EINTR) {
    }
}

void sleep_us(std::uint32_t us)
{
    // Relative, like sleep_ms: the caller has just read the clock, so an
    // absolute deadline would differ by microseconds, and libfaketime (with
    // which the tests and the bench start the clock at a chosen moment)
    // refuses absolute sleeps on the monotonic clock.
    ask_for_short_slice();
    timespec remaining{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000L};
    while (clock_nanosleep(CLOCK_MONOTONIC, 0, &remaining, &remaining) == EINTR) {
    }
}

// Readings are to the microsecond, but a sleep on a PC whose core idles (a
// virtual machine's above all) ends 0.2 ms late as a rule and 1 to 3 ms late
// once in fifty: with 0.3 ms one turn in ten was met late on a quiet
// machine, with 2 ms one in fifty to a hundred. The poll costs 0.2 % of a
// core once a second; on a machine kept busy at normal priority it spends
// the task's claim to the processor, and more wake-ups there come late
// (SCHED_FIFO, as the units run the programs, has no such claim to spend).
std::uint32_t wake_margin_us() { return 2000; }

void pause_briefly()
{
    // A loop polling a pty without any pause can keep the kernel worker that
    // moves written bytes into the pty's queue from running for tens of ms.
    ask_for_short_slice();
    const timespec moment{0, 100'000L};
    clock_nanosleep(CLOCK_MONOTONIC, 0, &moment, nullptr);
}

}  // namespace platform
