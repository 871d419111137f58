#include "statusport.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <linux/filter.h>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace statusport
{

namespace
{

constexpr size_t kMaxHeldReplies = 8; // per printer, between two of its polls
constexpr char kRequest[] = "GetStatus;";

uint16_t be16(const unsigned char *p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

uint32_t be32(const unsigned char *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

sockaddr_in socketAddress(uint32_t address, uint16_t port)
{
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(address);
    to.sin_port = htons(port);
    return to;
}

bool sendRequest(int fd, uint32_t address)
{
    const sockaddr_in to = socketAddress(address, kRequestPort);
    ssize_t n;
    do
        n = sendto(fd, kRequest, sizeof kRequest - 1, 0, reinterpret_cast<const sockaddr *>(&to),
                   sizeof to);
    while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof kRequest - 1);
}

std::string readWhole(const char *path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Only datagrams to the reply port reach the raw socket's queue, so that the host's other UDP
// traffic neither fills it between two polls nor costs a copy.
void attachPortFilter(int fd)
{
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 6),              // flags, fragment offset
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, 0x3fff, 4, 0), // a fragment: drop
        BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),             // X = IP header length
        BPF_STMT(BPF_LD | BPF_H | BPF_IND, 2),              // UDP destination port
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kReplyPort, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0xffff),
        BPF_STMT(BPF_RET | BPF_K, 0),
    };
    sock_fprog program = {static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    // Without the filter the parse below still keeps only the reply port's datagrams.
    (void)setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program);
}

} // namespace

bool udpDatagramTo(const unsigned char *packet, size_t length, uint16_t port, Datagram &out)
{
    if (length < 20 || (packet[0] >> 4) != 4)
        return false;
    const size_t headerLength = static_cast<size_t>(packet[0] & 0x0f) * 4;
    const size_t totalLength = be16(packet + 2);
    // More fragments, or an offset: only whole datagrams are replies.
    if (headerLength < 20 || (be16(packet + 6) & 0x3fff) != 0 || packet[9] != IPPROTO_UDP)
        return false;
    if (totalLength > length || totalLength < headerLength + 8)
        return false;
    const unsigned char *udp = packet + headerLength;
    const size_t udpLength = be16(udp + 4);
    if (be16(udp + 2) != port || udpLength < 8 || udpLength > totalLength - headerLength)
        return false;
    out.source = be32(packet + 12);
    out.payload.assign(reinterpret_cast<const char *>(udp + 8), udpLength - 8);
    return true;
}

bool portListed(const std::string &procText, uint16_t port)
{
    std::istringstream lines(procText);
    std::string line;
    std::getline(lines, line); // the column titles
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string slot, local;
        if (!(fields >> slot >> local))
            continue;
        const size_t colon = local.rfind(':');
        if (colon == std::string::npos || colon + 1 >= local.size())
            continue;
        char *end = nullptr;
        const unsigned long listed = std::strtoul(local.c_str() + colon + 1, &end, 16);
        if (end && *end == '\0' && listed == port)
            return true;
    }
    return false;
}

PollPlan pollPlan(bool listening, bool portHeld, bool heardSinceLastPoll)
{
    if (listening)
        return portHeld && heardSinceLastPoll ? PollPlan::Listen : PollPlan::AskAndListen;
    return portHeld ? PollPlan::Skip : PollPlan::BindAndAsk;
}

StatusPort::~StatusPort()
{
    if (rawFd_ >= 0)
        close(rawFd_);
}

bool StatusPort::openListener(const Log &log)
{
    if (rawTried_)
        return rawFd_ >= 0;
    rawTried_ = true;
    rawFd_ = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_UDP);
    if (rawFd_ < 0) {
        log(false, std::string("No raw socket (") + std::strerror(errno) +
                       "): status replies are heard on UDP port 9102 only while no other "
                       "program, such as the network monitor, holds it");
        return false;
    }
    attachPortFilter(rawFd_);
    // What came in before the filter was attached.
    drain();
    for (auto &entry : heard_)
        entry.second.clear();
    log(false, "Status replies on UDP port 9102 are read from a raw socket; the port itself "
               "is left to the network monitor");
    return true;
}

void StatusPort::drain()
{
    if (rawFd_ < 0)
        return;
    unsigned char packet[65536 + 64];
    for (;;) {
        const ssize_t n = recv(rawFd_, packet, sizeof packet, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        Datagram datagram;
        if (!udpDatagramTo(packet, static_cast<size_t>(n), kReplyPort, datagram))
            continue;
        // Only the printers polled are heard: any host may send to the port.
        auto it = heard_.find(datagram.source);
        if (it == heard_.end())
            continue;
        if (it->second.size() >= kMaxHeldReplies)
            it->second.erase(it->second.begin());
        it->second.push_back(std::move(datagram.payload));
    }
}

bool StatusPort::waitForReply(int fd, uint32_t address, bool raw, const Apply &apply)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kReplyWaitMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd p = {fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        if (raw) {
            drain();
            auto it = heard_.find(address);
            if (it != heard_.end() && !it->second.empty()) {
                std::vector<std::string> replies;
                replies.swap(it->second);
                for (const std::string &reply : replies)
                    apply(reply);
                return true;
            }
            continue;
        }
        char buffer[65536];
        sockaddr_in from = {};
        socklen_t fromLength = sizeof from;
        const ssize_t n = recvfrom(fd, buffer, sizeof buffer, 0,
                                   reinterpret_cast<sockaddr *>(&from), &fromLength);
        if (n < 0)
            continue; // EINTR, EAGAIN; a late ICMP error of the request shows here too
        if (ntohl(from.sin_addr.s_addr) != address)
            continue; // not the printer: anyone on the network may send to the port
        apply(std::string(buffer, static_cast<size_t>(n)));
        return true;
    }
}

bool StatusPort::portHeld() const
{
    return portListed(readWhole("/proc/net/udp"), kReplyPort) ||
           portListed(readWhole("/proc/net/udp6"), kReplyPort);
}

void StatusPort::poll(uint32_t address, const Apply &apply, const Log &log)
{
    heard_.emplace(address, std::vector<std::string>());
    const bool listening = openListener(log);
    drain();
    std::vector<std::string> replies;
    replies.swap(heard_[address]);
    for (const std::string &reply : replies)
        apply(reply);

    switch (pollPlan(listening, portHeld(), !replies.empty())) {
    case PollPlan::Listen:
        return;
    case PollPlan::Skip:
        log(true, "UDP port 9102 is another program's (the network monitor?): status poll "
                  "skipped");
        return;
    case PollPlan::AskAndListen: {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0)
            return;
        const bool sent = sendRequest(fd, address);
        close(fd);
        if (sent)
            waitForReply(rawFd_, address, true, apply);
        return;
    }
    case PollPlan::BindAndAsk: {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0)
            return;
        // Without SO_REUSEADDR: nobody binds the port beside us during the window, and we
        // never bind beside a program that has it.
        const sockaddr_in any = socketAddress(INADDR_ANY, kReplyPort);
        if (bind(fd, reinterpret_cast<const sockaddr *>(&any), sizeof any) != 0) {
            const int error = errno;
            close(fd);
            if (error == EADDRINUSE)
                log(true, "UDP port 9102 was taken a moment ago: status poll skipped");
            else
                log(false,
                    std::string("Cannot bind UDP port 9102 for status: ") + std::strerror(error));
            return;
        }
        if (sendRequest(fd, address))
            waitForReply(fd, address, false, apply);
        close(fd);
        return;
    }
    }
}

} // namespace statusport
