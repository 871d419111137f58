// The printer's UDP status port: "GetStatus;" arrives on port 9101, the answer goes to port
// 9102 of the asker, as the script says (see statusscript.h). It runs in the print port's poll
// loop as its companion, so it knows when a job is coming in. Every request and every datagram
// sent is recorded as one JSON line.
#pragma once

#include "statusscript.h"
#include "tcpport.h"

#include <cstdio>
#include <netinet/in.h>
#include <string>
#include <vector>

namespace zlpsim
{

struct UdpOptions {
    std::string bindAddress = "127.0.0.1";
    int port = 9101;        // 0 picks a free port
    int replyPort = 9102;   // 0 answers to the port the request came from
    std::string recordPath; // empty: nothing recorded
};

class UdpStatusPort : public PortCompanion
{
  public:
    UdpStatusPort(const StatusScript &script, UdpOptions options);
    ~UdpStatusPort() override;
    UdpStatusPort(const UdpStatusPort &) = delete;
    UdpStatusPort &operator=(const UdpStatusPort &) = delete;

    bool open(std::string &error);
    int port() const { return port_; }
    std::string endpoint() const;

    int pollFd() const override { return fd_; }
    void readable() override;
    int nextDueMs() const override;
    void sendDue() override;
    void jobStarted() override;
    void jobEnded() override;

  private:
    struct Pending {
        long long dueMs = 0; // monotonic
        int request = 0;
        sockaddr_in to{};
        std::string bytes;
    };

    bool printing() const;
    void send(const Pending &datagram);
    void record(const std::string &line);

    const StatusScript &script_;
    UdpOptions options_;
    int fd_ = -1;
    int port_ = 0;
    std::FILE *record_ = nullptr;
    int requests_ = 0;
    int answered_[2] = {0, 0}; // requests answered from the idle and the printing blocks
    int jobsActive_ = 0;
    long long lingerUntilMs_ = 0;
    std::vector<Pending> pending_; // ordered by due time, ties in the order scripted
};

} // namespace zlpsim
