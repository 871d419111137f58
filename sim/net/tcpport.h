// The printer's raw print port: TCP, one job per connection, one connection at a time (others
// wait in the listen queue, as they do at a real printer). The host's half-close ends the job;
// the printer then closes its side, which is what the CUPS socket backend waits for.
#pragma once

#include "session.h"

#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <string>

namespace zlpsim
{

struct PortOptions {
    std::string bindAddress = "127.0.0.1";
    int port = 9100; // 0 picks a free port
    std::string outDir = ".";
    int maxJobs = 0;       // 0: until stopped
    int receiveBuffer = 0; // SO_RCVBUF, 0 for the system's choice
};

// Something the printer serves beside its print port, in the same poll loop: it is woken when
// its descriptor is readable or its next deadline passes, and hears when jobs begin and end.
class PortCompanion
{
  public:
    virtual ~PortCompanion() = default;
    virtual int pollFd() const = 0;
    virtual void readable() = 0;
    // Milliseconds until sendDue() has something to do, or -1.
    virtual int nextDueMs() const = 0;
    virtual void sendDue() = 0;
    virtual void jobStarted() = 0;
    virtual void jobEnded() = 0;
};

class TcpPrintPort
{
  public:
    TcpPrintPort(const Behaviour &behaviour, PortOptions options);
    ~TcpPrintPort();
    TcpPrintPort(const TcpPrintPort &) = delete;
    TcpPrintPort &operator=(const TcpPrintPort &) = delete;

    bool listen(std::string &error);
    void setCompanion(PortCompanion *companion) { companion_ = companion; }
    int port() const { return port_; }
    std::string endpoint() const;

    using ReportSink = std::function<void(const JobReport &)>;
    using NoteSink = std::function<void(const std::string &)>;

    // Serves jobs until SIGTERM or SIGINT arrives on signalFd (a signalfd; SIGUSR1 on it ends a
    // stall) or maxJobs are done. Each finished job's report is written next to its stream and
    // handed to onReport; onNote hears of stalls as they begin and end. Returns 0, or 1 after an
    // error that stops the port.
    int run(int signalFd, const ReportSink &onReport, const NoteSink &onNote);

  private:
    enum class Signal { None, Stop, Resume };
    Signal readSignal(int signalFd);
    // The poll entry and time-out that include the companion, and its turn after the poll.
    pollfd companionEntry() const;
    int timeoutWith(int ms) const;
    void serveCompanion(const pollfd &entry);
    // Serves one connection; false when the port must stop.
    bool serveJob(int connection, const std::string &peer, int signalFd, const ReportSink &onReport,
                  const NoteSink &onNote);

    const Behaviour &behaviour_;
    PortOptions options_;
    int listenFd_ = -1;
    int port_ = 0;
    int jobs_ = 0;
    bool stopping_ = false;
    PortCompanion *companion_ = nullptr;
};

// The IPv4 socket address of a dotted address and port; false with a message when the address
// is not one.
bool ipv4SocketAddress(const std::string &address, int port, sockaddr_in &out, std::string &error);
// "a.b.c.d:port" of a socket address.
std::string socketAddressText(const sockaddr_in &addr);

// Writes text to path through a temporary file and a rename, so readers never see half of it.
bool writeFileAtomically(const std::string &path, const std::string &text, std::string &error);

} // namespace zlpsim
