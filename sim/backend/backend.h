// The simulated CUPS backend: runs one filter as cupsd would and answers for the backend and the
// printer behind it, on the filter's standard output, back channel (fd 3) and side channel (fd 4).
#pragma once

#include "script.h"

#include <cstdint>
#include <deque>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zlpsim
{

struct FilterLaunch {
    std::string program;           // path, or a name looked up in PATH
    std::vector<std::string> args; // argv[0] onwards: queue, job id, user, title, copies[, options]
    int stdinFd = -1;              // -1: the filter inherits our standard input
};

struct Sinks {
    int out = 1;     // the captured printer stream
    int err = 2;     // the filter's standard error
    int events = -1; // the event log, -1 for none
    // A connected stream socket to a printer (zlpsim-net), or -1. As CUPS's socket backend does,
    // the stream goes there, what the printer sends back goes to the filter's back channel, a
    // drain request is answered once every byte so far has been handed to the printer, and no
    // more is read from the filter while the printer has not taken the last piece.
    int printer = -1;
};

class Backend
{
  public:
    Backend(Script script, Sinks sinks, double timeoutSeconds);
    Backend(const Backend &) = delete;
    Backend &operator=(const Backend &) = delete;
    ~Backend();

    // Runs the filter to its end and returns this program's exit code: the filter's own, 128 +
    // signal when it was killed, 124 after the time-out, 127 when it could not be started.
    int run(const FilterLaunch &launch);

  private:
    struct PendingReply {
        std::int64_t dueMs;
        std::uint64_t query;
        std::string text;
    };

    bool start(const FilterLaunch &launch);
    std::int64_t elapsedMs() const;
    void event(const std::string &line);
    int pollTimeoutMs() const;

    std::size_t captureLimit() const;
    void capture(bool untilEmpty);
    void afterCapture(const char *data, std::size_t length);
    void scanForLockQuery(const char *data, std::size_t length);
    void readStderr();
    void readSideChannel();
    void handleRequest(unsigned char command);
    void answerDrain();
    void writeBackchannel(const std::string &text);
    void fireSignal(std::size_t rule);
    void runDueTimers();
    bool reap();
    void closeFd(int &fd);
    void sendToPrinter();
    void readPrinter();
    bool printerBehind() const { return sinks_.printer >= 0 && !toPrinter_.empty(); }
    void answerWaitingDrains();
    void answerDrainNow(std::uint64_t request);
    bool finishPrinter();

    Script script_;
    Sinks sinks_;
    double timeoutSeconds_;
    std::int64_t startNs_ = 0;

    pid_t pid_ = -1;
    int pidFd_ = -1;
    int outRead_ = -1;
    int errRead_ = -1;
    int backWrite_ = -1;
    int side_ = -1;

    std::vector<char> buffer_;
    std::uint64_t captured_ = 0;
    std::uint64_t drains_ = 0;
    std::uint64_t lockQueries_ = 0;
    std::string lockTail_;
    std::string stderrTail_;
    std::string sideBuffer_;
    std::vector<bool> fired_;
    std::deque<PendingReply> pendingReplies_;
    std::string toPrinter_;                   // captured, not yet taken by the printer
    std::deque<std::uint64_t> waitingDrains_; // drain requests held until the printer caught up
    std::uint64_t sentToPrinter_ = 0;
    bool captureFailed_ = false;
    bool backchannelFailed_ = false;
    bool timedOut_ = false;
    bool reaped_ = false;
    int waitStatus_ = 0;
};

} // namespace zlpsim
