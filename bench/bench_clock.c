/* bench_clock.so: loaded with LD_PRELOAD into a Linux program under the
 * bench, never shipped. It shares one page with the harness, a file named by
 * TIME_FAMILY_BENCH_PAGE that both map:
 *
 *   offset 0   int64  ns that the program's real-time clock runs ahead of
 *                     the real one; the harness moves it, so that one
 *                     process serves a turn of the minute every second
 *   offset 8   uint32 stamps taken so far
 *   offset 12  uint32 nonzero: stamp the calls (zero: the same run without)
 *   offset 16  the stamps (struct stamp below)
 *
 * A stamp is taken as write() or sendto() is entered: the real clock (no
 * offset), the end of the program's last sleep (clock_nanosleep, relative),
 * real and asked for, and the real moments of its first reading of its
 * clock's current second (seen) and of the reading before it (before), all
 * in ns; docs/performance.md ("Stamps at the call") says what they tell and
 * what they cost. The programs read the time only through
 * clock_gettime(CLOCK_REALTIME); the harness checks every frame's fields
 * against the offset it set. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { stamp_capacity = 4000, call_write = 1, call_sendto = 2 };

struct stamp {
    int64_t at_ns;
    int64_t woke_ns;
    int64_t planned_ns;
    int64_t seen_ns;
    int64_t before_ns;
    int32_t call;
    int32_t bytes;
};

struct page {
    int64_t offset_ns;
    uint32_t count;
    uint32_t stamping;
    struct stamp stamps[stamp_capacity];
};

static struct page *shared;
static int64_t woke_ns, planned_ns;
static int64_t read_ns, seen_ns, before_ns, second_read = -1; /* its readings, real */
static int (*real_clock_gettime)(clockid_t, struct timespec *);
static int (*real_clock_nanosleep)(clockid_t, int, const struct timespec *, struct timespec *);
static ssize_t (*real_write)(int, const void *, size_t);
static ssize_t (*real_sendto)(int, const void *, size_t, int, __CONST_SOCKADDR_ARG, socklen_t);

/* Everything is looked up and mapped before main, so that no call of the
 * program pays for it. */
__attribute__((constructor)) static void map_page(void)
{
    /* POSIX's way of storing what dlsym finds in a function pointer. */
    *(void **)&real_clock_gettime = dlsym(RTLD_NEXT, "clock_gettime");
    *(void **)&real_clock_nanosleep = dlsym(RTLD_NEXT, "clock_nanosleep");
    *(void **)&real_write = dlsym(RTLD_NEXT, "write");
    *(void **)&real_sendto = dlsym(RTLD_NEXT, "sendto");
    const char *path = getenv("TIME_FAMILY_BENCH_PAGE");
    const int fd = path ? open(path, O_RDWR | O_CLOEXEC) : -1;
    if (fd >= 0) {
        void *mapped = mmap(NULL, sizeof *shared, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        shared = mapped == MAP_FAILED ? NULL : mapped;
        close(fd);
    }
    /* Each page written once now, so that no stamp takes a page fault. */
    for (size_t at = 0; shared != NULL && at < sizeof *shared; at += 4096) {
        __atomic_fetch_add((char *)shared + at, 0, __ATOMIC_RELAXED);
    }
}

static bool stamping(void) { return shared != NULL && __atomic_load_n(&shared->stamping, __ATOMIC_RELAXED); }

static int64_t real_now_ns(void)
{
    struct timespec now;
    real_clock_gettime(CLOCK_REALTIME, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

static void stamp(int call, size_t bytes)
{
    if (!stamping()) {
        return;
    }
    const int64_t now = real_now_ns();
    const uint32_t n = shared->count;
    if (n < stamp_capacity) {
        shared->stamps[n] = (struct stamp){now, woke_ns, planned_ns, seen_ns, before_ns, call, (int32_t)bytes};
        __atomic_store_n(&shared->count, n + 1, __ATOMIC_RELEASE);
    }
}

int clock_gettime(clockid_t clock, struct timespec *now)
{
    const int result = real_clock_gettime(clock, now);
    if (result == 0 && clock == CLOCK_REALTIME && shared != NULL) {
        const int64_t real = (int64_t)now->tv_sec * 1000000000 + now->tv_nsec;
        const int64_t ns = now->tv_nsec + __atomic_load_n(&shared->offset_ns, __ATOMIC_RELAXED);
        now->tv_sec += ns / 1000000000 - (ns % 1000000000 < 0);
        now->tv_nsec = ns % 1000000000 + (ns % 1000000000 < 0 ? 1000000000 : 0);
        if (now->tv_sec != second_read) {
            second_read = now->tv_sec;
            before_ns = read_ns;
            seen_ns = real;
        }
        read_ns = real;
    }
    return result;
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec *length, struct timespec *left)
{
    if (!stamping() || flags != 0) {
        return real_clock_nanosleep(clock, flags, length, left);
    }
    planned_ns = real_now_ns() + (int64_t)length->tv_sec * 1000000000 + length->tv_nsec;
    const int result = real_clock_nanosleep(clock, flags, length, left);
    woke_ns = real_now_ns();
    return result;
}

ssize_t write(int fd, const void *bytes, size_t count)
{
    stamp(call_write, count);
    return real_write(fd, bytes, count);
}

/* glibc declares the address as a transparent union of pointer types. */
ssize_t sendto(int fd, const void *bytes, size_t count, int flags, __CONST_SOCKADDR_ARG to, socklen_t size)
{
    stamp(call_sendto, count);
    return real_sendto(fd, bytes, count, flags, to, size);
}
