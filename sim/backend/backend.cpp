#include "backend.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zlpsim
{

namespace
{

// What the filter waits for with cupsSideChannelDoRequest (cups/sidechannel.h).
constexpr unsigned char commandDrainOutput = 2;
constexpr unsigned char statusNotImplemented = 7;

constexpr char lockQuery[] = "LockPrinter?";
constexpr std::size_t lockQueryLength = sizeof(lockQuery) - 1;

constexpr std::size_t captureChunk = 1 << 20;
constexpr std::size_t printerChunk = 8192;
// Without a pid file descriptor the end of the filter is noticed by polling this often.
constexpr int reapPollMs = 20;
constexpr int backchannelWriteTimeoutMs = 1000;

volatile sig_atomic_t forwardPid = 0;

// cupsd stops a job with SIGTERM to the filter; a person stopping us by hand means the same.
void forwardSignal(int signal)
{
    if (forwardPid > 0)
        kill(static_cast<pid_t>(forwardPid), signal);
}

// Writes everything, waiting for a non-blocking descriptor up to timeoutMs per stall.
bool writeAll(int fd, const char *data, std::size_t length, int timeoutMs = -1)
{
    while (length > 0) {
        const ssize_t n = write(fd, data, length);
        if (n > 0) {
            data += n;
            length -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd pfd{fd, POLLOUT, 0};
            int ready;
            do
                ready = poll(&pfd, 1, timeoutMs);
            while (ready < 0 && errno == EINTR);
            if (ready <= 0) {
                if (ready == 0)
                    errno = ETIMEDOUT;
                return false;
            }
            continue;
        }
        return false;
    }
    return true;
}

ssize_t readRetry(int fd, char *data, std::size_t length)
{
    ssize_t n;
    do
        n = read(fd, data, length);
    while (n < 0 && errno == EINTR);
    return n;
}

void setNonBlocking(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

void complain(const std::string &text)
{
    const std::string line = "zlpsim-backend: " + text + "\n";
    writeAll(2, line.data(), line.size());
}

} // namespace

Backend::Backend(Script script, Sinks sinks, double timeoutSeconds)
    : script_(std::move(script)), sinks_(sinks), timeoutSeconds_(timeoutSeconds),
      buffer_(captureChunk), fired_(script_.signals.size(), false)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    startNs_ = static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

Backend::~Backend()
{
    for (int *fd : {&pidFd_, &outRead_, &errRead_, &backWrite_, &side_, &sinks_.printer})
        closeFd(*fd);
}

void Backend::closeFd(int &fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

std::int64_t Backend::elapsedMs() const
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec - startNs_) / 1000000;
}

void Backend::event(const std::string &line)
{
    if (sinks_.events < 0)
        return;
    const std::string text = std::to_string(elapsedMs()) + " " + line + "\n";
    if (!writeAll(sinks_.events, text.data(), text.size()))
        complain(std::string("cannot write the event log: ") + std::strerror(errno));
}

bool Backend::start(const FilterLaunch &launch)
{
    // cupsd makes both ends of the back and side channels non-blocking, the filter's too: a
    // back-channel read that times out then fails with EAGAIN instead of blocking.
    int out[2], err[2], back[2], side[2], execReport[2];
    if (pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC) || pipe2(back, O_CLOEXEC | O_NONBLOCK) ||
        socketpair(AF_LOCAL, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, side) ||
        pipe2(execReport, O_CLOEXEC)) {
        complain(std::string("cannot create the filter's channels: ") + std::strerror(errno));
        return false;
    }

    std::vector<char *> argv;
    for (const auto &arg : launch.args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0) {
        complain(std::string("cannot fork: ") + std::strerror(errno));
        return false;
    }
    if (pid_ == 0) {
        // Own process group, so the time-out can take the rasterizer down with the filter.
        setpgid(0, 0);
        for (int sig : {SIGPIPE, SIGINT, SIGTERM})
            signal(sig, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);

        // Lift every source above the targets first: dup2 onto itself would keep FD_CLOEXEC.
        const int sources[] = {launch.stdinFd, out[1], err[1], back[0], side[1]};
        int lifted[5];
        for (int target = 0; target < 5; ++target)
            lifted[target] = sources[target] < 0 ? -1 : fcntl(sources[target], F_DUPFD_CLOEXEC, 10);
        const int report = fcntl(execReport[1], F_DUPFD_CLOEXEC, 10);
        bool ok = report >= 0;
        for (int target = 0; target < 5; ++target) {
            if (sources[target] >= 0 && (lifted[target] < 0 || dup2(lifted[target], target) < 0))
                ok = false;
        }
        if (ok) {
            // Whatever else we inherited is not the filter's business.
            close_range(5, ~0U, CLOSE_RANGE_CLOEXEC);
            execvp(launch.program.c_str(), argv.data());
        }
        const int error = errno;
        if (report >= 0) {
            ssize_t ignored = write(report, &error, sizeof error);
            (void)ignored;
        }
        _exit(127);
    }

    close(out[1]);
    close(err[1]);
    close(back[0]);
    close(side[1]);
    close(execReport[1]);
    outRead_ = out[0];
    errRead_ = err[0];
    backWrite_ = back[1];
    side_ = side[0];
    forwardPid = pid_;

    int error = 0;
    const ssize_t n = readRetry(execReport[0], reinterpret_cast<char *>(&error), sizeof error);
    close(execReport[0]);
    if (n == static_cast<ssize_t>(sizeof error)) {
        complain("cannot run " + launch.program + ": " + std::strerror(error));
        waitpid(pid_, nullptr, 0);
        forwardPid = 0;
        pid_ = -1;
        return false;
    }

    setNonBlocking(outRead_);
    setNonBlocking(errRead_);
    pidFd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    return true;
}

int Backend::run(const FilterLaunch &launch)
{
    struct sigaction forward;
    std::memset(&forward, 0, sizeof forward);
    forward.sa_handler = forwardSignal;
    sigaction(SIGINT, &forward, nullptr);
    sigaction(SIGTERM, &forward, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (!start(launch))
        return 127;
    event("start " + std::to_string(pid_));

    // Triggers that are due before anything happened.
    for (std::size_t i = 0; i < script_.signals.size(); ++i) {
        if (script_.signals[i].trigger.kind == Trigger::Kind::AfterBytes &&
            script_.signals[i].trigger.count == 0)
            fireSignal(i);
    }
    if (script_.closeOutputAfter && *script_.closeOutputAfter == 0) {
        event("close-output 0");
        closeFd(outRead_);
    }

    if (sinks_.printer >= 0)
        event("printer connected");

    for (;;) {
        pollfd fds[5];
        nfds_t count = 0;
        // While the printer has not taken the last piece, the filter's output waits in its pipe.
        for (int fd : {printerBehind() ? -1 : outRead_, errRead_, side_, pidFd_}) {
            if (fd >= 0)
                fds[count++] = {fd, POLLIN, 0};
        }
        if (sinks_.printer >= 0)
            fds[count++] = {sinks_.printer,
                            static_cast<short>(printerBehind() ? POLLIN | POLLOUT : POLLIN), 0};
        const int ready = poll(fds, count, pollTimeoutMs());
        if (ready < 0 && errno != EINTR) {
            complain(std::string("poll failed, stopping the filter: ") + std::strerror(errno));
            kill(-pid_, SIGKILL);
            kill(pid_, SIGKILL);
            while (waitpid(pid_, &waitStatus_, 0) < 0 && errno == EINTR) {
            }
            reaped_ = true;
            break;
        }
        runDueTimers();
        bool ended = pidFd_ < 0;
        // The stream comes first: a drain request is answered after what was written before it.
        for (nfds_t i = 0; ready > 0 && i < count; ++i) {
            if (fds[i].revents == 0)
                continue;
            if (fds[i].fd == outRead_)
                capture(true);
            else if (fds[i].fd == errRead_)
                readStderr();
            else if (fds[i].fd == side_)
                readSideChannel();
            else if (fds[i].fd == pidFd_)
                ended = true;
            else if (fds[i].fd == sinks_.printer) {
                if (fds[i].revents & POLLOUT)
                    sendToPrinter();
                if (fds[i].revents & (POLLIN | POLLHUP | POLLERR))
                    readPrinter();
            }
        }
        answerWaitingDrains();
        if (ended && reap())
            break;
    }

    // Everything the filter wrote before it ended is still in the pipes.
    capture(true);
    const bool printerDone = finishPrinter();
    while (errRead_ >= 0)
        readStderr();
    forwardPid = 0;
    // Leave no stray rasterizer behind.
    kill(-pid_, SIGKILL);

    if (timedOut_ || !printerDone)
        event("timeout");
    if (!printerDone)
        return 124;
    if (WIFEXITED(waitStatus_)) {
        event("exit " + std::to_string(WEXITSTATUS(waitStatus_)));
        return timedOut_ ? 124 : WEXITSTATUS(waitStatus_);
    }
    const int sig = WIFSIGNALED(waitStatus_) ? WTERMSIG(waitStatus_) : 0;
    event("killed " + signalName(sig));
    return timedOut_ ? 124 : 128 + sig;
}

int Backend::pollTimeoutMs() const
{
    std::int64_t due = static_cast<std::int64_t>(timeoutSeconds_ * 1000);
    for (std::size_t i = 0; i < script_.signals.size(); ++i) {
        if (!fired_[i] && script_.signals[i].trigger.kind == Trigger::Kind::AfterMs)
            due = std::min(due, static_cast<std::int64_t>(script_.signals[i].trigger.count));
    }
    for (const auto &reply : pendingReplies_)
        due = std::min(due, reply.dueMs);
    std::int64_t wait = std::max<std::int64_t>(0, due - elapsedMs());
    if (timedOut_ || pidFd_ < 0)
        wait = std::min<std::int64_t>(wait, reapPollMs);
    return static_cast<int>(std::min<std::int64_t>(wait, 60000));
}

void Backend::runDueTimers()
{
    const std::int64_t now = elapsedMs();
    for (std::size_t i = 0; i < script_.signals.size(); ++i) {
        const Trigger &trigger = script_.signals[i].trigger;
        if (!fired_[i] && trigger.kind == Trigger::Kind::AfterMs &&
            static_cast<std::int64_t>(trigger.count) <= now)
            fireSignal(i);
    }
    while (!pendingReplies_.empty() && pendingReplies_.front().dueMs <= now) {
        const PendingReply reply = pendingReplies_.front();
        pendingReplies_.pop_front();
        event("lock " + std::to_string(reply.query) + " " + encodeEscapes(reply.text));
        writeBackchannel(reply.text);
    }
    if (!timedOut_ && now >= static_cast<std::int64_t>(timeoutSeconds_ * 1000)) {
        timedOut_ = true;
        complain("the filter did not end within " + std::to_string(timeoutSeconds_) +
                 " s, killing it");
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
    }
}

std::size_t Backend::captureLimit() const
{
    // Toward a printer, read in the socket backend's 8 KiB pieces, so that what waits between
    // the filter and the printer stays as small as under CUPS.
    std::uint64_t limit = sinks_.printer >= 0 ? printerChunk : buffer_.size();
    for (std::size_t i = 0; i < script_.signals.size(); ++i) {
        const Trigger &trigger = script_.signals[i].trigger;
        if (!fired_[i] && trigger.kind == Trigger::Kind::AfterBytes && trigger.count > captured_)
            limit = std::min(limit, trigger.count - captured_);
    }
    if (script_.closeOutputAfter && *script_.closeOutputAfter > captured_)
        limit = std::min(limit, *script_.closeOutputAfter - captured_);
    return static_cast<std::size_t>(limit);
}

// Reads the printer stream; reads stop exactly at every byte count a trigger waits for.
void Backend::capture(bool untilEmpty)
{
    while (outRead_ >= 0 && !printerBehind()) {
        const ssize_t n = readRetry(outRead_, buffer_.data(), captureLimit());
        if (n == 0) {
            closeFd(outRead_);
            return;
        }
        if (n < 0) {
            if (errno != EAGAIN)
                closeFd(outRead_);
            return;
        }
        afterCapture(buffer_.data(), static_cast<std::size_t>(n));
        if (!untilEmpty)
            return;
    }
}

void Backend::afterCapture(const char *data, std::size_t length)
{
    if (!captureFailed_ && !writeAll(sinks_.out, data, length)) {
        captureFailed_ = true;
        complain(std::string("cannot write the captured stream: ") + std::strerror(errno));
    }
    captured_ += length;
    if (sinks_.printer >= 0) {
        toPrinter_.append(data, length);
        sendToPrinter();
    }
    scanForLockQuery(data, length);

    for (std::size_t i = 0; i < script_.signals.size(); ++i) {
        const Trigger &trigger = script_.signals[i].trigger;
        if (!fired_[i] && trigger.kind == Trigger::Kind::AfterBytes && captured_ >= trigger.count)
            fireSignal(i);
    }
    if (script_.closeOutputAfter && captured_ >= *script_.closeOutputAfter) {
        event("close-output " + std::to_string(captured_));
        closeFd(outRead_);
    }
}

void Backend::scanForLockQuery(const char *data, std::size_t length)
{
    std::vector<std::uint64_t> found;
    // A query split across reads: the kept tail is one byte short of a whole query.
    std::string seam = lockTail_;
    seam.append(data, std::min(length, lockQueryLength - 1));
    if (seam.find(lockQuery) != std::string::npos)
        found.push_back(++lockQueries_);
    const char *at = data;
    const char *end = data + length;
    while (const void *hit =
               memmem(at, static_cast<std::size_t>(end - at), lockQuery, lockQueryLength)) {
        found.push_back(++lockQueries_);
        at = static_cast<const char *>(hit) + lockQueryLength;
    }
    if (length >= lockQueryLength - 1)
        lockTail_.assign(end - (lockQueryLength - 1), end);
    else
        lockTail_ = seam.substr(seam.size() - std::min(seam.size(), lockQueryLength - 1));

    for (const std::uint64_t query : found) {
        const std::optional<std::string> reply = script_.lockReply(query);
        if (!reply) {
            event("lock " + std::to_string(query) + " silent");
            continue;
        }
        pendingReplies_.push_back({elapsedMs() + script_.lockDelayMs, query, *reply});
    }
    if (script_.lockDelayMs == 0)
        runDueTimers();
}

void Backend::readStderr()
{
    const ssize_t n = readRetry(errRead_, buffer_.data(), buffer_.size());
    if (n <= 0) {
        // Once the filter is gone an empty pipe is the end, whoever else still holds it.
        if (n == 0 || errno != EAGAIN || reaped_)
            closeFd(errRead_);
        return;
    }
    const std::string chunk(buffer_.data(), static_cast<std::size_t>(n));
    writeAll(sinks_.err, chunk.data(), chunk.size());

    std::size_t longest = 1;
    std::string window = stderrTail_ + chunk;
    for (std::size_t i = 0; i < script_.signals.size(); ++i) {
        const Trigger &trigger = script_.signals[i].trigger;
        if (trigger.kind != Trigger::Kind::OnStderr)
            continue;
        longest = std::max(longest, trigger.text.size());
        if (!fired_[i] && window.find(trigger.text) != std::string::npos)
            fireSignal(i);
    }
    stderrTail_ = window.substr(window.size() - std::min(window.size(), longest - 1));
}

void Backend::readSideChannel()
{
    char data[4096];
    const ssize_t n = readRetry(side_, data, sizeof data);
    if (n <= 0) {
        if (n == 0 || errno != EAGAIN)
            closeFd(side_);
        return;
    }
    sideBuffer_.append(data, static_cast<std::size_t>(n));
    // Message: command, status, data length (big-endian, 2 bytes), data.
    while (sideBuffer_.size() >= 4) {
        const std::size_t dataLength = (static_cast<unsigned char>(sideBuffer_[2]) << 8) |
                                       static_cast<unsigned char>(sideBuffer_[3]);
        if (sideBuffer_.size() < 4 + dataLength)
            break;
        const auto command = static_cast<unsigned char>(sideBuffer_[0]);
        sideBuffer_.erase(0, 4 + dataLength);
        handleRequest(command);
    }
}

void Backend::handleRequest(unsigned char command)
{
    if (command == commandDrainOutput) {
        answerDrain();
        return;
    }
    event("request " + std::to_string(command) + " not-implemented");
    const char answer[4] = {static_cast<char>(command), static_cast<char>(statusNotImplemented), 0,
                            0};
    if (side_ >= 0 && send(side_, answer, sizeof answer, MSG_NOSIGNAL) < 0)
        complain(std::string("cannot answer on the side channel: ") + std::strerror(errno));
}

// A backend that drained has taken every byte written before the request: capture it first.
// With a printer behind us, also hand it to the printer first, however long that takes.
void Backend::answerDrain()
{
    capture(true);
    const std::uint64_t request = ++drains_;
    if (printerBehind() || !waitingDrains_.empty()) {
        waitingDrains_.push_back(request);
        for (std::size_t i = 0; i < script_.signals.size(); ++i) {
            const Trigger &trigger = script_.signals[i].trigger;
            if (!fired_[i] && trigger.kind == Trigger::Kind::AfterDrain && trigger.count == request)
                fireSignal(i);
        }
        return;
    }
    answerDrainNow(request);
}

void Backend::answerWaitingDrains()
{
    if (waitingDrains_.empty())
        return;
    capture(true);
    if (printerBehind())
        return;
    while (!waitingDrains_.empty()) {
        const std::uint64_t request = waitingDrains_.front();
        waitingDrains_.pop_front();
        answerDrainNow(request);
    }
}

void Backend::answerDrainNow(std::uint64_t request)
{
    const DrainAnswer answer = script_.drainAnswer(request);
    event("drain " + std::to_string(request) + " " + drainAnswerName(answer) + " " +
          std::to_string(captured_));

    for (const auto &entry : script_.backchannel) {
        if (entry.drain == request) {
            event("backchannel " + std::to_string(request) + " " + encodeEscapes(entry.text));
            writeBackchannel(entry.text);
        }
    }
    for (std::size_t i = 0; i < script_.signals.size(); ++i) {
        const Trigger &trigger = script_.signals[i].trigger;
        if (!fired_[i] && trigger.kind == Trigger::Kind::AfterDrain && trigger.count == request)
            fireSignal(i);
    }
    if (answer == DrainAnswer::Silent || side_ < 0)
        return;
    const char message[4] = {static_cast<char>(commandDrainOutput), static_cast<char>(answer), 0,
                             0};
    ssize_t n;
    do
        n = send(side_, message, sizeof message, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(sizeof message))
        complain(std::string("cannot answer drain request ") + std::to_string(request) + ": " +
                 (n < 0 ? std::strerror(errno) : "short write"));
}

void Backend::sendToPrinter()
{
    while (sinks_.printer >= 0 && !toPrinter_.empty()) {
        const ssize_t n =
            send(sinks_.printer, toPrinter_.data(), toPrinter_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            toPrinter_.erase(0, static_cast<std::size_t>(n));
            sentToPrinter_ += static_cast<std::uint64_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return;
        // The printer went away: as CUPS's backend would, stop sending; the capture goes on.
        complain(std::string("cannot send to the printer: ") + std::strerror(errno));
        event("printer lost " + std::to_string(sentToPrinter_));
        closeFd(sinks_.printer);
        toPrinter_.clear();
    }
}

void Backend::readPrinter()
{
    char data[4096];
    const ssize_t n = recv(sinks_.printer, data, sizeof data, MSG_DONTWAIT);
    if (n > 0) {
        const std::string text(data, static_cast<std::size_t>(n));
        event("printer says " + encodeEscapes(text));
        writeBackchannel(text);
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    event(n == 0 ? "printer closed early" : std::string("printer lost ") + std::strerror(errno));
    closeFd(sinks_.printer);
    toPrinter_.clear();
}

// After the filter ended: hand the printer the rest, half-close as the socket backend does, and
// wait for the printer to close its side. False when that outlasts the time-out.
bool Backend::finishPrinter()
{
    if (sinks_.printer < 0)
        return true;
    const std::int64_t deadline = static_cast<std::int64_t>(timeoutSeconds_ * 1000);
    bool halfClosed = false;
    while (sinks_.printer >= 0) {
        capture(true);
        if (!halfClosed && outRead_ < 0 && toPrinter_.empty()) {
            shutdown(sinks_.printer, SHUT_WR);
            halfClosed = true;
            event("printer sent " + std::to_string(sentToPrinter_));
        }
        const std::int64_t left = deadline - elapsedMs();
        if (left <= 0) {
            complain("the printer did not take the job within the time-out");
            return false;
        }
        pollfd fds[2];
        nfds_t count = 0;
        fds[count++] = {sinks_.printer,
                        static_cast<short>(printerBehind() ? POLLIN | POLLOUT : POLLIN), 0};
        if (outRead_ >= 0 && !printerBehind())
            fds[count++] = {outRead_, POLLIN, 0};
        const int ready = poll(fds, count, static_cast<int>(std::min<std::int64_t>(left, 1000)));
        if (ready < 0 && errno != EINTR)
            return false;
        if (ready > 0 && (fds[0].revents & POLLOUT))
            sendToPrinter();
        if (ready > 0 && sinks_.printer >= 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            char data[4096];
            const ssize_t n = recv(sinks_.printer, data, sizeof data, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                event("printer closed");
                closeFd(sinks_.printer);
            }
        }
    }
    return true;
}

void Backend::writeBackchannel(const std::string &text)
{
    if (backWrite_ < 0)
        return;
    if (!writeAll(backWrite_, text.data(), text.size(), backchannelWriteTimeoutMs) &&
        !backchannelFailed_) {
        backchannelFailed_ = true;
        complain(std::string("cannot write the back channel: ") + std::strerror(errno));
    }
}

void Backend::fireSignal(std::size_t rule)
{
    fired_[rule] = true;
    const int sig = script_.signals[rule].signal;
    event("signal " + signalName(sig));
    if (!reaped_ && kill(pid_, sig) < 0)
        complain("cannot send " + signalName(sig) + ": " + std::strerror(errno));
}

bool Backend::reap()
{
    int status = 0;
    pid_t done;
    do
        done = waitpid(pid_, &status, WNOHANG);
    while (done < 0 && errno == EINTR);
    if (done != pid_)
        return false;
    waitStatus_ = status;
    reaped_ = true;
    closeFd(pidFd_);
    pendingReplies_.clear();
    return true;
}

} // namespace zlpsim
