#include "tcpport.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace zlpsim
{

namespace
{

class TcpBackChannel : public BackChannel
{
  public:
    explicit TcpBackChannel(int fd) : fd_(fd) {}

    bool send(std::string_view bytes) override
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n =
                ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                // The host is not reading its back channel; give it a while, then give up.
                pollfd p{fd_, POLLOUT, 0};
                const int r = poll(&p, 1, 5000);
                if (r == 0 || (r < 0 && errno != EINTR))
                    return false;
            } else {
                return false;
            }
        }
        return true;
    }

  private:
    int fd_;
};

} // namespace

bool ipv4SocketAddress(const std::string &address, int port, sockaddr_in &out, std::string &error)
{
    out = sockaddr_in{};
    out.sin_family = AF_INET;
    out.sin_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET, address.c_str(), &out.sin_addr) != 1) {
        error = "not an IPv4 address: " + address;
        return false;
    }
    return true;
}

std::string socketAddressText(const sockaddr_in &addr)
{
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(addr.sin_port));
}

bool writeFileAtomically(const std::string &path, const std::string &text, std::string &error)
{
    const std::string temporary = path + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot create " + temporary + ": " + std::strerror(errno);
        return false;
    }
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = "cannot write " + temporary + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0 || std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot store " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

TcpPrintPort::TcpPrintPort(const Behaviour &behaviour, PortOptions options)
    : behaviour_(behaviour), options_(std::move(options))
{
}

TcpPrintPort::~TcpPrintPort()
{
    if (listenFd_ >= 0)
        ::close(listenFd_);
}

std::string TcpPrintPort::endpoint() const
{
    return options_.bindAddress + ":" + std::to_string(port_);
}

bool TcpPrintPort::listen(std::string &error)
{
    sockaddr_in addr{};
    if (!ipv4SocketAddress(options_.bindAddress, options_.port, addr, error))
        return false;
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    const int on = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // Set before listen() so that accepted connections start with it.
    if (options_.receiveBuffer > 0)
        setsockopt(listenFd_, SOL_SOCKET, SO_RCVBUF, &options_.receiveBuffer,
                   sizeof options_.receiveBuffer);
    if (bind(listenFd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        error = "cannot bind " + endpoint() + ": " + std::strerror(errno);
        return false;
    }
    if (::listen(listenFd_, 8) != 0) {
        error = std::string("listen: ") + std::strerror(errno);
        return false;
    }
    socklen_t len = sizeof addr;
    getsockname(listenFd_, reinterpret_cast<sockaddr *>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    return true;
}

TcpPrintPort::Signal TcpPrintPort::readSignal(int signalFd)
{
    signalfd_siginfo info{};
    ssize_t n;
    do {
        n = ::read(signalFd, &info, sizeof info);
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(sizeof info))
        return Signal::None;
    if (info.ssi_signo == SIGUSR1)
        return Signal::Resume;
    stopping_ = true;
    return Signal::Stop;
}

pollfd TcpPrintPort::companionEntry() const
{
    return pollfd{companion_ ? companion_->pollFd() : -1, POLLIN, 0};
}

int TcpPrintPort::timeoutWith(int ms) const
{
    const int due = companion_ ? companion_->nextDueMs() : -1;
    if (due < 0)
        return ms;
    return ms < 0 ? due : std::min(ms, due);
}

void TcpPrintPort::serveCompanion(const pollfd &entry)
{
    if (!companion_)
        return;
    // An error on the socket is read (and so cleared) too, or poll would keep reporting it.
    if (entry.revents & (POLLIN | POLLERR))
        companion_->readable();
    companion_->sendDue();
}

int TcpPrintPort::run(int signalFd, const ReportSink &onReport, const NoteSink &onNote)
{
    while (!stopping_ && (options_.maxJobs == 0 || jobs_ < options_.maxJobs)) {
        pollfd fds[3] = {{listenFd_, POLLIN, 0}, {signalFd, POLLIN, 0}, companionEntry()};
        if (poll(fds, 3, timeoutWith(-1)) < 0) {
            if (errno == EINTR)
                continue;
            std::perror("zlpsim-net: poll");
            return 1;
        }
        serveCompanion(fds[2]);
        if (fds[1].revents & POLLIN)
            readSignal(signalFd); // a resume outside a job means nothing
        if (stopping_ || !(fds[0].revents & POLLIN))
            continue;
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        const int connection =
            accept4(listenFd_, reinterpret_cast<sockaddr *>(&peer), &len, SOCK_CLOEXEC);
        if (connection < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EAGAIN)
                continue;
            std::perror("zlpsim-net: accept");
            return 1;
        }
        if (!serveJob(connection, socketAddressText(peer), signalFd, onReport, onNote))
            return 1;
    }
    return 0;
}

bool TcpPrintPort::serveJob(int connection, const std::string &peer, int signalFd,
                            const ReportSink &onReport, const NoteSink &onNote)
{
    const int job = ++jobs_;
    const std::string base = options_.outDir + "/job-" + std::to_string(job);
    TcpBackChannel backChannel(connection);
    PrinterSession session(behaviour_, backChannel, job, base + ".prn");
    std::string error;
    if (!session.open(error)) {
        std::fprintf(stderr, "zlpsim-net: %s\n", error.c_str());
        ::close(connection);
        return false;
    }

    if (companion_)
        companion_->jobStarted();
    std::vector<char> buffer(std::max<std::size_t>(behaviour_.readChunk, 4096));
    std::string closedBy;
    bool wasStalled = false;
    const auto noteStall = [&] {
        if (session.stalled() != wasStalled) {
            wasStalled = session.stalled();
            onNote("job " + std::to_string(job) + (wasStalled ? " stalled" : " resumed") +
                   " after " + std::to_string(session.bytes()) + " bytes");
        }
    };
    while (closedBy.empty()) {
        noteStall();
        const std::size_t allowance = session.readAllowance();
        // While stalled the connection is left out of the poll set altogether: the host's data
        // pile up in the socket buffers and its writes block.
        pollfd fds[3] = {
            {allowance > 0 ? connection : -1, POLLIN, 0}, {signalFd, POLLIN, 0}, companionEntry()};
        const int r =
            poll(fds, 3, timeoutWith(session.stalled() ? session.stallRemainingMs() : -1));
        if (r < 0) {
            if (errno == EINTR)
                continue;
            closedBy = "error";
            break;
        }
        serveCompanion(fds[2]);
        if (session.stalled() && session.stallRemainingMs() == 0) {
            session.resume();
            continue;
        }
        if (fds[1].revents & POLLIN) {
            const Signal s = readSignal(signalFd);
            if (s == Signal::Stop) {
                closedBy = "stopped";
                break;
            }
            if (s == Signal::Resume)
                session.resume();
        }
        if (allowance == 0 || !(fds[0].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        const ssize_t n = ::recv(connection, buffer.data(), std::min(allowance, buffer.size()), 0);
        if (n > 0) {
            session.receive(buffer.data(), static_cast<std::size_t>(n));
            sleepMs(behaviour_.readDelayMs);
        } else if (n == 0) {
            closedBy = "eof";
        } else if (errno == EINTR || errno == EAGAIN) {
            continue;
        } else {
            closedBy = errno == ECONNRESET ? "reset" : "error";
        }
    }
    ::close(connection);
    if (companion_)
        companion_->jobEnded();

    const JobReport report = session.finish(closedBy, "tcp", endpoint(), peer);
    if (!writeFileAtomically(base + ".json", report.toJson(), error))
        std::fprintf(stderr, "zlpsim-net: %s\n", error.c_str());
    onReport(report);
    return true;
}

} // namespace zlpsim
