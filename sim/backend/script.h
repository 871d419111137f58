// The script of zlpsim-backend: how the simulated backend and printer answer a filter.
#pragma once

#include "escapes.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zlpsim
{

// Answer to a drain request: a CUPS side-channel status, or no answer at all.
enum class DrainAnswer : int {
    Silent = -1,
    Ok = 1,
    IoError = 2,
    Timeout = 3,
    NoResponse = 4,
    BadMessage = 5,
    TooBig = 6,
    NotImplemented = 7,
};

struct Trigger {
    enum class Kind { AfterBytes, AfterDrain, AfterMs, OnStderr };
    Kind kind = Kind::AfterMs;
    std::uint64_t count = 0; // bytes, drain number or milliseconds
    std::string text;        // OnStderr only
};

struct SignalRule {
    int signal = 0;
    Trigger trigger;
};

struct BackchannelText {
    std::uint64_t drain = 0; // 1-based drain request number
    std::string text;
};

struct Script {
    // Runs of (answer, count) in request order; every request past the list is answered Ok.
    std::vector<std::pair<DrainAnswer, std::uint64_t>> drainRuns;
    // Replies to successive "LockPrinter?" queries; nullopt is silence. The last one repeats.
    std::vector<std::optional<std::string>> lockReplies;
    unsigned lockDelayMs = 0;
    std::vector<BackchannelText> backchannel;
    std::vector<SignalRule> signals;
    std::optional<std::uint64_t> closeOutputAfter;

    DrainAnswer drainAnswer(std::uint64_t request) const;            // request is 1-based
    std::optional<std::string> lockReply(std::uint64_t query) const; // query is 1-based
};

struct ParseResult {
    Script script;
    std::string error; // empty on success; else "line N: ..."
};

ParseResult parseScript(const std::string &text);

// The reverse for one-line logs: control bytes and backslashes escaped, the rest kept.
std::string encodeEscapes(const std::string &in);

const char *drainAnswerName(DrainAnswer answer);
// "SIGTERM", "TERM" or a number; 0 when unknown.
int signalFromName(const std::string &name);
std::string signalName(int signal);

} // namespace zlpsim
