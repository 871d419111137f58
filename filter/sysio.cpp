#include "sysio.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
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
int gWake[2] = {-1, -1};
int gServed = -1;
void (*gServe)() = nullptr;

} // namespace

long long monotonicMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

namespace
{

void pause5ms()
{
    sleepSeconds(0.005);
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

void onCancelSignal(int sig)
{
    if (gCancelSignal == 0)
        gCancelSignal = sig;
    // The byte stays in the pipe: every later wait sees it too, so a signal
    // that lands between a check of the flag and the wait cannot be missed.
    const int saved = errno;
    if (gWake[1] >= 0) {
        const ssize_t ignored = write(gWake[1], "", 1);
        (void)ignored;
    }
    errno = saved;
}

bool openWakeup()
{
    return gWake[0] >= 0 || pipe2(gWake, O_CLOEXEC | O_NONBLOCK) == 0;
}

int waitFor(int fd, short events, int timeoutMs)
{
    const long long deadline = timeoutMs < 0 ? -1 : monotonicMs() + timeoutMs;
    for (;;) {
        if (cancelRequested())
            return -1;
        pollfd fds[3] = {{fd, events, 0}, {-1, POLLIN, 0}, {gServed, POLLIN, 0}};
        // While the cancel runs its own waits must last their time.
        if (!gCancelling)
            fds[1].fd = gWake[0];
        const int wait =
            deadline < 0 ? -1 : static_cast<int>(std::max(0LL, deadline - monotonicMs()));
        // ppoll for the sleeps (no descriptor of ours): the test preload that shortens long
        // sleeps knows it by that; waits for a descriptor use poll.
        int ready;
        if (fd < 0) {
            timespec ts{wait / 1000, (wait % 1000) * 1000000L};
            ready = ppoll(fds, 3, wait < 0 ? nullptr : &ts, nullptr);
        } else {
            ready = poll(fds, 3, wait);
        }
        if (ready < 0 && errno != EINTR)
            return -1;
        if (ready > 0 && fds[2].revents != 0 && gServe)
            gServe();
        if (ready > 0 && fds[1].revents != 0 && !cancelRequested()) {
            // Not ours (the handler sets the flag before it writes): a child
            // between fork and exec was signalled. Empty the pipe, wait on.
            char bytes[64];
            while (read(gWake[0], bytes, sizeof bytes) > 0) {
            }
        }
        if (ready > 0 && fd >= 0 && fds[0].revents != 0)
            return 1;
        if (ready == 0 || (deadline >= 0 && monotonicMs() >= deadline))
            return cancelRequested() ? -1 : 0;
    }
}

void serveWhileWaiting(int fd, void (*onReadable)())
{
    gServed = fd;
    gServe = fd >= 0 ? onReadable : nullptr;
}

pid_t waitChild(pid_t pid, int *status)
{
    // A pid descriptor becomes readable when the child ends; without one
    // (older kernels) look every 20 ms.
    const int pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    for (;;) {
        const pid_t done = waitpid(pid, status, WNOHANG);
        if (done != 0) {
            if (pidFd >= 0)
                close(pidFd);
            return done;
        }
        if (waitFor(pidFd, POLLIN, pidFd >= 0 ? -1 : 20) < 0 && cancelRequested()) {
            if (pidFd >= 0)
                close(pidFd);
            errno = EINTR;
            return -1;
        }
    }
}

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
        const int ready = waitFor(fd, POLLOUT, printer ? gStallMs : -1);
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
        } else if (n < 0 && errno == EAGAIN) {
            if (waitFor(fd, POLLIN, -1) < 0)
                break;
        } else {
            break;
        }
    }
    return done;
}

void sleepSeconds(double seconds)
{
    waitFor(-1, 0, static_cast<int>(seconds * 1000));
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

bool DebugCopy::open(const char *path)
{
    path_ = path;
    temp_ = path_ + ".XXXXXX";
    fd_ = mkostemp(temp_.data(), O_CLOEXEC);
    if (fd_ < 0) {
        std::fprintf(stderr, "[VARN-ZLP5520NW] DEBUG:Can not Open Debug File=%s!!! errno=%d\n",
                     path, errno);
        return false;
    }
    fchmod(fd_, 0600); // the job's stream, with its key: for our user only
    std::fprintf(stderr, "[VARN-ZLP5520NW] DEBUG:Open Debug File=%s ok\n", path);
    return true;
}

void DebugCopy::keep()
{
    if (fd_ < 0)
        return;
    const bool closed = close(fd_) == 0;
    fd_ = -1;
    // rename never opens what it replaces; in a sticky folder it refuses to
    // replace another user's file (or FIFO, or link).
    if (closed && rename(temp_.c_str(), path_.c_str()) == 0)
        return;
    const int error = errno;
    unlink(temp_.c_str());
    std::fprintf(stderr,
                 "[VARN-ZLP5520NW] DEBUG:Can not replace Debug File=%s!!! errno=%d, no copy kept\n",
                 path_.c_str(), error);
}

bool StreamCopier::waitForEnds()
{
    for (;;) {
        if (cancelRequested())
            return false;
        if (waitFor(out_, POLLOUT, 0) == 0) {
            if (!waitForOutput(out_))
                return false;
        } else if (waitFor(in_, POLLIN, 0) == 0) {
            if (waitFor(in_, POLLIN, -1) < 0 && cancelRequested())
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
    ssize_t n;
    while ((n = read(in_, buffer, std::min(length, sizeof buffer))) < 0 && errno == EAGAIN)
        if (waitFor(in_, POLLIN, -1) < 0) {
            errno = EINTR;
            return -1;
        }
    if (n <= 0)
        return n; // EINTR reaches the caller, which retries unless cancelling
    written_ = writeAll(out_, buffer, static_cast<size_t>(n));
    if (copy_ >= 0)
        writeAll(copy_, buffer, static_cast<size_t>(n));
    return n;
}
