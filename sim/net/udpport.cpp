#include "udpport.h"

#include "json.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace zlpsim
{

namespace
{

const std::string_view kStatusRequest = "GetStatus;";
// The record keeps the start of a long datagram; its length is recorded whole.
constexpr std::size_t recordedBytes = 256;

std::string recordedData(std::string_view bytes)
{
    return jsonQuote(bytes.substr(0, recordedBytes));
}

} // namespace

UdpStatusPort::UdpStatusPort(const StatusScript &script, UdpOptions options)
    : script_(script), options_(std::move(options))
{
}

UdpStatusPort::~UdpStatusPort()
{
    if (fd_ >= 0)
        ::close(fd_);
    if (record_)
        std::fclose(record_);
}

std::string UdpStatusPort::endpoint() const
{
    return options_.bindAddress + ":" + std::to_string(port_);
}

bool UdpStatusPort::open(std::string &error)
{
    sockaddr_in addr{};
    if (!ipv4SocketAddress(options_.bindAddress, options_.port, addr, error))
        return false;
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    if (bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        error = "cannot bind UDP " + options_.bindAddress + ":" + std::to_string(options_.port) +
                ": " + std::strerror(errno);
        return false;
    }
    socklen_t len = sizeof addr;
    getsockname(fd_, reinterpret_cast<sockaddr *>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    if (!options_.recordPath.empty()) {
        record_ = std::fopen(options_.recordPath.c_str(), "a");
        if (!record_) {
            error = "cannot create " + options_.recordPath + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

bool UdpStatusPort::printing() const
{
    return jobsActive_ > 0 || monotonicMs() < lingerUntilMs_;
}

void UdpStatusPort::readable()
{
    // Drain what is queued: one poll wake-up may stand for several requests.
    for (;;) {
        char buffer[65536];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = recvfrom(fd_, buffer, sizeof buffer, MSG_TRUNC,
                                   reinterpret_cast<sockaddr *>(&from), &len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return; // EAGAIN: nothing more; other errors (ICMP reports) are not requests
        const std::string_view data(
            buffer, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buffer));
        const int request = ++requests_;
        const bool nowPrinting = printing();
        const bool isStatusRequest = data == kStatusRequest;
        record("{\"event\":\"request\",\"request\":" + std::to_string(request) + ",\"ms\":" +
               std::to_string(wallClockMs()) + ",\"monoMs\":" + std::to_string(monotonicMs()) +
               ",\"from\":" + jsonQuote(socketAddressText(from)) +
               ",\"data\":" + recordedData(data) + ",\"bytes\":" + std::to_string(n) +
               ",\"printing\":" + (nowPrinting ? "true" : "false") +
               ",\"answered\":" + (isStatusRequest ? "true" : "false") + "}");
        if (!isStatusRequest)
            continue; // the firmware answers nothing else on this port
        const int section = nowPrinting && !script_.printing.empty() ? 1 : 0;
        const StatusAnswer &answer = script_.answer(section == 1, answered_[section]++);
        sockaddr_in to = from;
        if (options_.replyPort != 0)
            to.sin_port = htons(static_cast<std::uint16_t>(options_.replyPort));
        const long long now = monotonicMs();
        for (const StatusDatagram &datagram : answer) {
            Pending p{now + datagram.delayMs, request, to, datagram.bytes};
            if (datagram.delayMs == 0) {
                send(p);
                continue;
            }
            const auto at = std::upper_bound(
                pending_.begin(), pending_.end(), p.dueMs,
                [](long long due, const Pending &other) { return due < other.dueMs; });
            pending_.insert(at, std::move(p));
        }
    }
}

int UdpStatusPort::nextDueMs() const
{
    if (pending_.empty())
        return -1;
    const long long left = pending_.front().dueMs - monotonicMs();
    return left > 0 ? static_cast<int>(std::min<long long>(left, 1 << 30)) : 0;
}

void UdpStatusPort::sendDue()
{
    const long long now = monotonicMs();
    std::size_t due = 0;
    while (due < pending_.size() && pending_[due].dueMs <= now)
        send(pending_[due++]);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(due));
}

void UdpStatusPort::jobStarted()
{
    ++jobsActive_;
}

void UdpStatusPort::jobEnded()
{
    if (jobsActive_ > 0)
        --jobsActive_;
    lingerUntilMs_ = monotonicMs() + script_.lingerMs;
}

void UdpStatusPort::send(const Pending &datagram)
{
    ssize_t n;
    do {
        n = sendto(fd_, datagram.bytes.data(), datagram.bytes.size(), 0,
                   reinterpret_cast<const sockaddr *>(&datagram.to), sizeof datagram.to);
    } while (n < 0 && errno == EINTR);
    const int sendErrno = errno;
    std::string line = "{\"event\":\"reply\",\"request\":" + std::to_string(datagram.request) +
                       ",\"ms\":" + std::to_string(wallClockMs()) +
                       ",\"monoMs\":" + std::to_string(monotonicMs()) +
                       ",\"to\":" + jsonQuote(socketAddressText(datagram.to)) +
                       ",\"data\":" + recordedData(datagram.bytes) +
                       ",\"bytes\":" + std::to_string(datagram.bytes.size());
    if (n < 0)
        line += ",\"error\":" + jsonQuote(std::strerror(sendErrno));
    record(line + "}");
}

void UdpStatusPort::record(const std::string &line)
{
    if (!record_)
        return;
    std::fputs(line.c_str(), record_);
    std::fputc('\n', record_);
    std::fflush(record_);
}

} // namespace zlpsim
