/* Stands in for the system's clock-setting calls in the Linux system tests
 * (loaded with LD_PRELOAD): each requested value is appended to the file named
 * by CLOCK_WRITE_LOG, and no write ever reaches the clock.
 *
 * clock_settime and settimeofday report success, so that a program goes on as
 * on a machine where it may set the clock: the clock setter then takes the
 * path where its date step was written. The clock itself does not move, so a
 * program that reads it back sees the time unchanged. Calls that would steer
 * the clock (adjtimex, ntp_adjtime, clock_adjtime) are recorded and refused.
 *
 * One line per call:
 *   <call> clock=<id> epoch=<s>.<ns> local=YYYY-MM-DD hh:mm:ss.mmm offset=+hhmm mono=<s>.<ns> pid=<pid>
 * with the local time in the process's time zone (TZ) and that zone's offset
 * from UTC at the instant, which tells apart the two passes of the hour
 * repeated when summer time ends. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/time.h>
#include <sys/timex.h>
#include <time.h>
#include <unistd.h>

static void record(const char *call, int clock, long long seconds, long nanoseconds)
{
    const char *path = getenv("CLOCK_WRITE_LOG");
    if (path == NULL || *path == '\0') {
        return;
    }
    const time_t value = (time_t)seconds;
    struct tm local;
    if (localtime_r(&value, &local) == NULL) {
        return;
    }
    struct timespec mono;
    clock_gettime(CLOCK_MONOTONIC, &mono);
    char line[256];
    const int length = snprintf(line, sizeof line,
                                "%s clock=%d epoch=%lld.%09ld local=%04d-%02d-%02d %02d:%02d:%02d.%03ld "
                                "offset=%c%02ld%02ld mono=%lld.%09ld pid=%d\n",
                                call, clock, seconds, nanoseconds, local.tm_year + 1900, local.tm_mon + 1,
                                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, nanoseconds / 1000000,
                                local.tm_gmtoff < 0 ? '-' : '+', labs(local.tm_gmtoff) / 3600,
                                labs(local.tm_gmtoff) / 60 % 60, (long long)mono.tv_sec, mono.tv_nsec, (int)getpid());
    if (length <= 0 || (size_t)length >= sizeof line) {
        return;
    }
    /* One write with O_APPEND keeps lines whole when several processes log. */
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    const ssize_t written = write(fd, line, (size_t)length);
    (void)written;
    close(fd);
}

int clock_settime(clockid_t clock, const struct timespec *value)
{
    record("clock_settime", (int)clock, (long long)value->tv_sec, value->tv_nsec);
    return 0;
}

int settimeofday(const struct timeval *value, const struct timezone *zone)
{
    (void)zone;
    if (value != NULL) {
        record("settimeofday", CLOCK_REALTIME, (long long)value->tv_sec, (long)value->tv_usec * 1000L);
    }
    return 0;
}

static int refuse(const char *call)
{
    record(call, -1, 0, 0);
    errno = EPERM;
    return -1;
}

int adjtimex(struct timex *steer)
{
    (void)steer;
    return refuse("adjtimex");
}

int ntp_adjtime(struct timex *steer)
{
    (void)steer;
    return refuse("ntp_adjtime");
}

int clock_adjtime(clockid_t clock, struct timex *steer)
{
    (void)clock;
    (void)steer;
    return refuse("clock_adjtime");
}
