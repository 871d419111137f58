// One print job as the simulated printer lives it, whatever carries the bytes: the host's data
// arrive through receive(), replies go out through a BackChannel. The TCP print port drives it
// today; a USB bulk endpoint pair can drive the same class (OUT transfers into receive(), IN
// transfers served from what the BackChannel queued). The UDP status port (udpport.h) runs
// beside it and hears when jobs begin and end.
#pragma once

#include "escapes.h"

#include "jobstream.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zlpsim
{

// The answers to "LockPrinter?", one per query of a job; after the list the last one repeats.
// An empty entry means no answer to that query.
struct LockScript {
    std::vector<std::string> replies;

    // "grant" (CODE=00001 at once), "busy:N" (N times CODE=00002, then CODE=00001), "silent"
    // (never answer) or "replies:R1,R2,..." (texts with escapes, "-" for no answer).
    static std::optional<LockScript> parse(std::string_view text, std::string &error);
    std::optional<std::string> replyTo(int query) const;
};

// Text the printer puts on the back channel once a job has sent this many bytes.
struct StatusPush {
    std::uint64_t afterBytes = 0;
    std::string text;
};

struct Behaviour {
    LockScript lock = LockScript{{"CODE=00001"}};
    int lockDelayMs = 0;
    std::vector<StatusPush> status;
    // Stop reading a job once it has sent this many bytes, until resume() or stallMs pass
    // (-1: until resumed), so the host's writes block the way a jammed printer makes them.
    std::optional<std::uint64_t> stallAfter;
    int stallMs = -1;
    // A slow printer: read at most readChunk bytes, then wait readDelayMs.
    std::size_t readChunk = 262144;
    int readDelayMs = 0;
};



class BackChannel
{
  public:
    virtual ~BackChannel() = default;
    // Sends bytes to the host; false when the host can no longer be reached.
    virtual bool send(std::string_view bytes) = 0;
};

struct JobReport {
    int job = 0;
    std::string transport; // "tcp"
    std::string endpoint;  // what the host reached, e.g. "127.0.0.1:9100"
    std::string peer;
    std::string streamPath;
    std::uint64_t bytes = 0;
    long long startedMs = 0; // wall clock, milliseconds since the epoch
    long long durationMs = 0;
    std::vector<std::string> lockReplies; // what each query got ("" for no answer)
    std::vector<std::string> statusSent;
    bool stalled = false;
    std::string closedBy; // "eof", "reset", "error", "stopped"
    std::string recordError;
    JobStream stream;

    std::string toJson() const;
    std::string summary() const;
};

class PrinterSession
{
  public:
    PrinterSession(const Behaviour &behaviour, BackChannel &backChannel, int job,
                   std::string streamPath);
    ~PrinterSession();
    PrinterSession(const PrinterSession &) = delete;
    PrinterSession &operator=(const PrinterSession &) = delete;

    // Opens the stream file. False with a message when it cannot be created.
    bool open(std::string &error);
    void receive(const char *data, std::size_t size);
    // How many bytes the transport may read now (0 while stalled).
    std::size_t readAllowance() const;
    bool stalled() const { return stalled_; }
    // Milliseconds until a timed stall ends by itself, or -1.
    int stallRemainingMs() const;
    void resume();
    std::uint64_t bytes() const { return report_.bytes; }

    // Ends the job: closes and decodes the stream file.
    JobReport finish(const std::string &closedBy, const std::string &transport,
                     const std::string &endpoint, const std::string &peer);

  private:
    void answerQueries();
    void pushStatus();
    void checkStall();

    const Behaviour &behaviour_;
    BackChannel &backChannel_;
    std::FILE *file_ = nullptr;
    JobReport report_;
    std::string preamble_; // bytes not yet known to be lock queries
    bool pastQueries_ = false;
    int queries_ = 0;
    std::vector<bool> pushed_;
    bool stalled_ = false;
    bool stallDone_ = false;
    long long stallStartMs_ = 0;
    long long startMono_ = 0;
};

long long monotonicMs();
long long wallClockMs();
// Sleeps, resuming after signals, for the whole interval.
void sleepMs(int ms);

} // namespace zlpsim
