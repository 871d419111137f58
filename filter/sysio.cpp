#include "sysio.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

volatile sig_atomic_t gCancelSignal = 0;
volatile sig_atomic_t gCancelling = 0;
volatile sig_atomic_t gBrokenPipeCancels = 1;

namespace
{

constexpr mode_t kSharedMode = 0644;
// The print log lists every user's job titles, which CUPS shows only to each job's owner:
// lp and the printer administrators (the file's group, lpadmin) may read it, nobody else.
constexpr mode_t kPrintLogMode = 0640;

int gPrinterOutput = -1;
int gStallMs = 0;
bool (*gOnStall)() = nullptr;

long long monotonicMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Polls one descriptor; -1 waits without limit. Returns poll's result: 0 on
// time-out, -1 with EINTR only when a cancel is requested.
int pollFor(int fd, short events, int timeoutMs)
{
    const long long deadline = timeoutMs < 0 ? -1 : monotonicMs() + timeoutMs;
    for (;;) {
        pollfd pfd{fd, events, 0};
        const int wait =
            deadline < 0 ? -1 : static_cast<int>(std::max(0LL, deadline - monotonicMs()));
        const int ready = poll(&pfd, 1, wait);
        if (ready >= 0 || errno != EINTR || cancelRequested())
            return ready;
    }
}

void pause5ms()
{
    timespec ts{0, 5 * 1000 * 1000};
    nanosleep(&ts, nullptr);
}

void logOpen(OpenLog style, const char *path, bool ok, int error)
{
    if (style == OpenLog::StateFile) {
        if (ok)
            std::fprintf(stderr, "[VARN-ZLP5520NW] DEBUG:Open Debug File=%s ok\n", path);
        else
            std::fprintf(stderr, "[VARN-ZLP5520NW] DEBUG:Can not Open Debug File=%s!!! errno=%d\n",
                         path, error);
    } else if (ok) {
        std::fprintf(stderr, "DEBUG:[VARN-ZLP5520NW]open file ok %s\n", path);
    } else {
        std::fprintf(stderr, "DEBUG:[VARN-ZLP5520NW]open file error %s\n", path);
        std::fprintf(stderr, "DEBUG:[VARN-ZLP5520NW] error number=%d, reason:%s\n", error,
                     std::strerror(error));
    }
}

} // namespace

void watchPrinterOutput(int fd, double seconds, bool (*onStall)())
{
    struct stat st = {};
    if (fstat(fd, &st) != 0 || !(S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)))
        return; // a file or terminal never stalls like a printer
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
        return;
    gPrinterOutput = fd;
    gStallMs = static_cast<int>(seconds * 1000);
    gOnStall = onStall;
}

bool waitForOutput(int fd)
{
    const bool printer = fd == gPrinterOutput;
    for (;;) {
        const int ready = pollFor(fd, POLLOUT, printer ? gStallMs : -1);
        if (ready > 0)
            return true; // writable, or an error the next write reports
        if (ready < 0)
            return false; // a cancel came, or the descriptor is unusable
        // Nothing moved for the whole stall time.
        if (!gOnStall || !gOnStall())
            return false;
    }
}

size_t writeAll(int fd, const void *data, size_t length)
{
    const char *bytes = static_cast<const char *>(data);
    size_t done = 0;
    while (done < length && !cancelRequested()) {
        const ssize_t n = write(fd, bytes + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            if (!waitForOutput(fd))
                break;
        } else {
            // The reader is gone (SIGPIPE blocked or ignored by whoever started
            // us): the job cannot reach the printer any more, so cancel it.
            if (n < 0 && errno == EPIPE && gBrokenPipeCancels && gCancelSignal == 0)
                gCancelSignal = SIGPIPE;
            break;
        }
    }
    return done;
}

size_t readFull(int fd, void *data, size_t length)
{
    char *bytes = static_cast<char *>(data);
    size_t done = 0;
    while (done < length && !cancelRequested()) {
        const ssize_t n = read(fd, bytes + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    return done;
}

void sleepSeconds(double seconds)
{
    timespec left;
    left.tv_sec = static_cast<time_t>(seconds);
    left.tv_nsec = static_cast<long>((seconds - static_cast<double>(left.tv_sec)) * 1e9);
    // A signal that came before the sleep began must end it too, not only one
    // that interrupts it.
    while (!cancelRequested()) {
        if (nanosleep(&left, &left) == 0 || errno != EINTR)
            return;
    }
}

bool replaceFile(const char *path, const std::string &text, int attempts, OpenLog logStyle)
{
    const std::string temp = std::string(path) + ".XXXXXX";
    for (int attempt = 0; attempt < attempts; ++attempt) {
        std::string name = temp;
        const int fd = mkstemp(name.data());
        logOpen(logStyle, path, fd >= 0, errno);
        if (fd >= 0) {
            if (logStyle == OpenLog::JobFile)
                logOpen(logStyle, path, true, 0); // once more, just before writing
            const bool written = fchmod(fd, kSharedMode) == 0 &&
                                 writeAll(fd, text.data(), text.size()) == text.size();
            const bool closed = close(fd) == 0;
            if (written && closed && rename(name.c_str(), path) == 0)
                return true;
            unlink(name.c_str());
            std::fprintf(stderr, "DEBUG:[VARN-ZLP5520NW]write error %s: %s\n", path,
                         std::strerror(errno));
            return false;
        }
        pause5ms();
    }
    return false;
}

int openForAppend(const char *path)
{
    for (int attempt = 0; attempt < 8; ++attempt) {
        const int fd =
            open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, kPrintLogMode);
        logOpen(OpenLog::JobFile, path, fd >= 0, errno);
        if (fd >= 0) {
            // Created under umask 077; one left world-readable by an older install is
            // closed. Fails harmlessly if not ours.
            fchmod(fd, kPrintLogMode);
            return fd;
        }
        pause5ms();
    }
    return -1;
}

bool appendText(int fd, const std::string &text, const char *path)
{
    // The print log is a history people read: a block that does not fit must leave no
    // fragment behind, to which the next job's block would be glued once there is room.
    struct stat before = {};
    const bool sized = fstat(fd, &before) == 0;
    ssize_t n;
    do
        n = write(fd, text.data(), text.size());
    while (n < 0 && errno == EINTR); // interrupted before anything was written
    if (n >= 0 && static_cast<size_t>(n) == text.size())
        return true;
    const int error = errno;
    if (n > 0 && !(sized && ftruncate(fd, before.st_size) == 0)) {
        std::fprintf(stderr,
                     "DEBUG:[VARN-ZLP5520NW]write error %s: %zd of %zu bytes written, "
                     "cannot remove them: %s\n",
                     path, n, text.size(), std::strerror(errno));
        return false;
    }
    if (n > 0)
        std::fprintf(stderr,
                     "DEBUG:[VARN-ZLP5520NW]write error %s: %zd of %zu bytes written, "
                     "removed again\n",
                     path, n, text.size());
    else
        std::fprintf(stderr, "DEBUG:[VARN-ZLP5520NW]write error %s: %s\n", path,
                     n == 0 ? "nothing written" : std::strerror(error));
    return false;
}

bool StreamCopier::waitForEnds()
{
    for (;;) {
        if (cancelRequested())
            return false;
        if (pollFor(out_, POLLOUT, 0) == 0) {
            if (!waitForOutput(out_))
                return false;
        } else if (pollFor(in_, POLLIN, 0) == 0) {
            if (pollFor(in_, POLLIN, -1) < 0 && cancelRequested())
                return false;
        } else {
            return true;
        }
    }
}

ssize_t StreamCopier::move(size_t length)
{
    written_ = 0;
    if (!spliceWorks_)
        return moveByCopy(length);
    ssize_t n;
    for (;;) {
        // With a non-blocking printer output these return EAGAIN both for an
        // empty input and for a full output; waitForEnds tells which.
        if (copy_ >= 0)
            n = tee(in_, out_, length, 0); // duplicated into stdout, still in the input
        else
            n = splice(in_, nullptr, out_, nullptr, length, SPLICE_F_MOVE);
        if (n >= 0 || (errno != EAGAIN && errno != EINTR))
            break;
        if (errno == EINTR && cancelRequested())
            return -1;
        if (errno == EAGAIN && !waitForEnds()) {
            errno = EINTR;
            return -1;
        }
    }
    if (n < 0) {
        if (errno == EINVAL) { // an end that is not a pipe
            spliceWorks_ = false;
            return moveByCopy(length);
        }
        if (errno == EPIPE && gBrokenPipeCancels && gCancelSignal == 0)
            gCancelSignal = SIGPIPE;
        return -1;
    }
    written_ = static_cast<size_t>(n);
    if (copy_ < 0 || n == 0)
        return n;
    // Now take the same bytes out of the input into the debug copy.
    size_t left = static_cast<size_t>(n);
    while (left > 0) {
        const ssize_t m = splice(in_, nullptr, copy_, nullptr, left, SPLICE_F_MOVE);
        if (m > 0) {
            left -= static_cast<size_t>(m);
        } else if (m < 0 && errno == EINTR) {
            continue;
        } else {
            // The copy is only for diagnosis: drop the bytes it could not take.
            char discard[4096];
            const ssize_t r = read(in_, discard, std::min(left, sizeof discard));
            if (r <= 0 && errno != EINTR)
                break;
            if (r > 0)
                left -= static_cast<size_t>(r);
        }
    }
    return n;
}

ssize_t StreamCopier::moveByCopy(size_t length)
{
    static char buffer[65536];
    const ssize_t n = read(in_, buffer, std::min(length, sizeof buffer));
    if (n <= 0)
        return n; // EINTR reaches the caller, which retries unless cancelling
    written_ = writeAll(out_, buffer, static_cast<size_t>(n));
    if (copy_ >= 0)
        writeAll(copy_, buffer, static_cast<size_t>(n));
    return n;
}
