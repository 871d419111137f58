/* Test-only preload: sleeps of 100 ms or more return at once, shorter ones stay real, so a
 * program's long waits (a 600-second hold, one-second retry pauses) cost nothing in tests while
 * its short pacing still happens. LD_PRELOAD=libzlp_fasttime.so PROGRAM ...
 * sleep() and usleep() are covered too: glibc reaches nanosleep from them internally, past any
 * preload. So is ppoll(), with which the filter sleeps (watching only its wake-up pipe): a
 * ppoll of 100 ms or more looks at its descriptors once and returns at once. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#define LONG_NS 100000000LL

static long long toNs(const struct timespec *t)
{
    return (long long)t->tv_sec * 1000000000LL + t->tv_nsec;
}

int nanosleep(const struct timespec *request, struct timespec *remain)
{
    static int (*real)(const struct timespec *, struct timespec *);
    if (request && toNs(request) >= LONG_NS)
        return 0;
    if (!real)
        real = (int (*)(const struct timespec *, struct timespec *))dlsym(RTLD_NEXT, "nanosleep");
    return real(request, remain);
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec *request,
                    struct timespec *remain)
{
    static int (*real)(clockid_t, int, const struct timespec *, struct timespec *);
    long long wait = request ? toNs(request) : 0;
    if (flags & TIMER_ABSTIME) {
        struct timespec now;
        if (clock_gettime(clock, &now) == 0)
            wait -= toNs(&now);
    }
    if (wait >= LONG_NS)
        return 0;
    if (!real)
        real = (int (*)(clockid_t, int, const struct timespec *, struct timespec *))dlsym(
            RTLD_NEXT, "clock_nanosleep");
    return real(clock, flags, request, remain);
}

unsigned int sleep(unsigned int seconds)
{
    (void)seconds;
    return 0; /* every whole second is long */
}

int usleep(useconds_t microseconds)
{
    const struct timespec request = {microseconds / 1000000, (long)(microseconds % 1000000) * 1000};
    return nanosleep(&request, NULL);
}

int ppoll(struct pollfd *fds, nfds_t count, const struct timespec *timeout, const sigset_t *mask)
{
    static int (*real)(struct pollfd *, nfds_t, const struct timespec *, const sigset_t *);
    static const struct timespec now = {0, 0};
    if (!real)
        real = (int (*)(struct pollfd *, nfds_t, const struct timespec *, const sigset_t *))dlsym(
            RTLD_NEXT, "ppoll");
    if (timeout && toNs(timeout) >= LONG_NS)
        return real(fds, count, &now, mask);
    return real(fds, count, timeout, mask);
}
