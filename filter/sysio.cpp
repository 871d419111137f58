#include "sysio.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

volatile sig_atomic_t gCancelSignal = 0;
volatile sig_atomic_t gCancelling = 0;

namespace {

constexpr mode_t kSharedMode = 0644;

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
        } else {
            // The reader is gone (SIGPIPE blocked or ignored by whoever started
            // us): the job cannot reach the printer any more, so cancel it.
            if (n < 0 && errno == EPIPE && gCancelSignal == 0)
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
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
        if (cancelRequested())
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
        const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, kSharedMode);
        logOpen(OpenLog::JobFile, path, fd >= 0, errno);
        if (fd >= 0) {
            fchmod(fd, kSharedMode); // created under umask 077; fails harmlessly if not ours
            return fd;
        }
        pause5ms();
    }
    return -1;
}

bool appendText(int fd, const std::string &text)
{
    return writeAll(fd, text.data(), text.size()) == text.size();
}
