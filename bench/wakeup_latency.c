/* wakeup_latency: how late a sleeping task sees a chosen moment on this
 * machine, for several ways of waiting at once (Linux only; starts none of
 * the family's programs). The bench's tuning of the clock wait was chosen
 * with it.
 *
 *   wakeup_latency COUNT PERIOD_MS MARGIN_US SLICE_US [MARGIN_US SLICE_US ...]
 *
 * Every PERIOD_MS it sleeps to MARGIN_US before a moment and then reads the
 * monotonic clock without a pause until the moment has come; SLICE_US is the
 * scheduling slice asked for (sched_attr::sched_runtime, Linux 6.12 and
 * later; 0 keeps the default). The ways take turns, so that all of them meet
 * the same load, and each prints how late it saw its moments. To see the
 * difference on a busy machine, keep both cores busy meanwhile, for example
 * with two `yes > /dev/null`. */
#define _GNU_SOURCE
#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

enum { most_ways = 16 };

/* The kernel's struct sched_attr; glibc 2.36 declares none. */
struct sched_attributes {
    uint32_t size;
    uint32_t policy;
    uint64_t flags;
    int32_t nice;
    uint32_t priority;
    uint64_t runtime;
    uint64_t deadline;
    uint64_t period;
    uint32_t util_min;
    uint32_t util_max;
};

static int64_t now_ns(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

static void ask_for_slice(uint64_t ns)
{
    struct sched_attributes attributes;
    memset(&attributes, 0, sizeof attributes);
    attributes.size = sizeof attributes;
    attributes.policy = SCHED_OTHER;
    attributes.runtime = ns;
    if (syscall(SYS_sched_setattr, 0, &attributes, 0) != 0) {
        perror("sched_setattr");
    }
}

static int compare(const void *a, const void *b)
{
    const int64_t x = *(const int64_t *)a, y = *(const int64_t *)b;
    return (x > y) - (x < y);
}

/* A whole number from an argument; false when it is not one or below 0. */
static int parse_count(const char *text, long long *value)
{
    char *end = NULL;
    *value = strtoll(text, &end, 10);
    return end != text && *end == '\0' && *value >= 0;
}

int main(int argc, char **argv)
{
    const int ways = (argc - 3) / 2;
    long long count = 0, period_ms = 0;
    int64_t margin[most_ways] = {0};
    uint64_t slice[most_ways] = {0};
    int usable = argc >= 5 && (argc - 3) % 2 == 0 && ways <= most_ways && parse_count(argv[1], &count) &&
                 parse_count(argv[2], &period_ms) && count > 0 && period_ms > 0;
    for (int w = 0; usable && w < ways; ++w) {
        long long margin_us = 0, slice_us = 0;
        usable = parse_count(argv[3 + 2 * w], &margin_us) && parse_count(argv[4 + 2 * w], &slice_us);
        margin[w] = margin_us * 1000;
        slice[w] = (uint64_t)slice_us * 1000;
    }
    if (!usable) {
        fprintf(stderr, "usage: %s COUNT PERIOD_MS MARGIN_US SLICE_US [MARGIN_US SLICE_US ...]\n", argv[0]);
        return 2;
    }
    const int64_t period = period_ms * 1000000;
    int64_t *late = calloc((size_t)count * (size_t)ways, sizeof *late);
    if (late == NULL) {
        return 2;
    }
    int64_t moment = now_ns() / period * period + 2 * period;
    for (long long i = 0; i < count * ways; ++i) {
        const int w = (int)(i % ways);
        ask_for_slice(slice[w]);
        const int64_t wake = moment - margin[w];
        const struct timespec until = {wake / 1000000000, wake % 1000000000};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, NULL);
        int64_t seen;
        while ((seen = now_ns()) < moment) {
        }
        late[w * count + i / ways] = seen - moment;
        moment += period;
        while (moment < now_ns() + period / 2) {
            moment += period;
        }
    }
    for (int w = 0; w < ways; ++w) {
        int64_t *mine = late + w * count;
        qsort(mine, (size_t)count, sizeof *mine, compare);
        int over = 0;
        for (long long i = 0; i < count; ++i) {
            over += mine[i] > 1000000;
        }
        const long long median = count / 2, high = count * 99 / 100;
        printf("margin %5lld us, slice %5llu us: n %lld, p50 %8.1f us, p99 %8.1f us, max %8.1f us, over 1 ms %d\n",
               (long long)(margin[w] / 1000), (unsigned long long)(slice[w] / 1000), count, (double)mine[median] / 1e3,
               (double)mine[high] / 1e3, (double)mine[count - 1] / 1e3, over);
    }
    free(late);
    return 0;
}
