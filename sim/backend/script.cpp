#include "script.h"

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace zlpsim
{

namespace
{

struct NamedAnswer {
    const char *name;
    DrainAnswer answer;
};

constexpr NamedAnswer drainAnswers[] = {
    {"silent", DrainAnswer::Silent},          {"ok", DrainAnswer::Ok},
    {"io-error", DrainAnswer::IoError},       {"timeout", DrainAnswer::Timeout},
    {"no-response", DrainAnswer::NoResponse}, {"bad-message", DrainAnswer::BadMessage},
    {"too-big", DrainAnswer::TooBig},         {"not-implemented", DrainAnswer::NotImplemented},
};

struct NamedSignal {
    const char *name;
    int signal;
};

constexpr NamedSignal signalNames[] = {
    {"TERM", SIGTERM}, {"INT", SIGINT},   {"PIPE", SIGPIPE}, {"KILL", SIGKILL}, {"HUP", SIGHUP},
    {"QUIT", SIGQUIT}, {"USR1", SIGUSR1}, {"USR2", SIGUSR2}, {"ALRM", SIGALRM},
};

// Largest repetition accepted in STATUS*N; keeps a typo from meaning "forever".
constexpr std::uint64_t maxRepeat = 100000000;

bool parseCount(const std::string &word, std::uint64_t &value)
{
    if (word.empty() || word.find_first_not_of("0123456789") != std::string::npos ||
        word.size() > 18)
        return false;
    value = std::strtoull(word.c_str(), nullptr, 10);
    return true;
}

// A '#' at the start of the line or after a blank begins a comment.
std::string stripComment(const std::string &line)
{
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '#' && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t'))
            return line.substr(0, i);
    }
    return line;
}

std::string trim(const std::string &s)
{
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return {};
    const auto last = s.find_last_not_of(" \t\r");
    return s.substr(first, last - first + 1);
}

// Splits off the first word; `rest` keeps the remainder untrimmed on the left.
std::string nextWord(std::string &rest)
{
    const auto start = rest.find_first_not_of(" \t");
    if (start == std::string::npos) {
        rest.clear();
        return {};
    }
    const auto end = rest.find_first_of(" \t", start);
    std::string word =
        rest.substr(start, end == std::string::npos ? std::string::npos : end - start);
    rest = end == std::string::npos ? std::string() : rest.substr(end);
    return word;
}

class Parser
{
  public:
    std::string parseLine(const std::string &directive, std::string rest);
    Script script;

  private:
    std::string parseDrain(std::string rest);
    std::string parseLock(std::string rest);
    std::string parseTrigger(std::string rest, Trigger &trigger, bool allowText);
};

std::string Parser::parseDrain(std::string rest)
{
    std::string word;
    bool any = false;
    while (!(word = nextWord(rest)).empty()) {
        any = true;
        std::uint64_t repeat = 1;
        const auto star = word.find('*');
        std::string name = word.substr(0, star);
        if (star != std::string::npos &&
            (!parseCount(word.substr(star + 1), repeat) || repeat == 0 || repeat > maxRepeat))
            return "bad repetition in '" + word + "' (use STATUS*N, N from 1 to 100000000)";
        bool known = false;
        for (const auto &entry : drainAnswers) {
            if (name == entry.name) {
                script.drainRuns.emplace_back(entry.answer, repeat);
                known = true;
            }
        }
        if (!known)
            return "unknown drain answer '" + name +
                   "' (ok, timeout, io-error, no-response, bad-message, too-big, "
                   "not-implemented, silent)";
    }
    return any ? std::string() : "drain needs at least one answer";
}

std::string Parser::parseLock(std::string rest)
{
    std::string word;
    bool any = false;
    while (!(word = nextWord(rest)).empty()) {
        any = true;
        if (word == "silent") {
            script.lockReplies.emplace_back(std::nullopt);
            continue;
        }
        std::string text;
        if (!decodeEscapes(word, text))
            return "bad escape in lock reply '" + word + "'";
        script.lockReplies.emplace_back(text);
    }
    return any ? std::string() : "lock needs at least one reply (a text or 'silent')";
}

std::string Parser::parseTrigger(std::string rest, Trigger &trigger, bool allowText)
{
    const std::string when = nextWord(rest);
    if (when == "on-stderr" && allowText) {
        trigger.kind = Trigger::Kind::OnStderr;
        if (!decodeEscapes(trim(rest), trigger.text))
            return "bad escape in on-stderr text";
        return trigger.text.empty() ? "on-stderr needs a text" : std::string();
    }
    if (when == "after-bytes")
        trigger.kind = Trigger::Kind::AfterBytes;
    else if (when == "after-drain")
        trigger.kind = Trigger::Kind::AfterDrain;
    else if (when == "after-ms")
        trigger.kind = Trigger::Kind::AfterMs;
    else
        return "unknown moment '" + when +
               "' (after-bytes N, after-drain N, after-ms N, on-stderr TEXT)";
    const std::string count = nextWord(rest);
    if (!parseCount(count, trigger.count))
        return "'" + when + "' needs a number, got '" + count + "'";
    if (trigger.kind == Trigger::Kind::AfterDrain && trigger.count == 0)
        return "drain requests are counted from 1";
    if (!nextWord(rest).empty())
        return "unexpected text after '" + when + " " + count + "'";
    return {};
}

std::string Parser::parseLine(const std::string &directive, std::string rest)
{
    if (directive == "drain")
        return parseDrain(rest);
    if (directive == "lock")
        return parseLock(rest);
    if (directive == "lock-delay") {
        std::uint64_t ms = 0;
        const std::string word = nextWord(rest);
        if (!parseCount(word, ms) || ms > 3600000 || !nextWord(rest).empty())
            return "lock-delay needs milliseconds (0 to 3600000)";
        script.lockDelayMs = static_cast<unsigned>(ms);
        return {};
    }
    if (directive == "backchannel") {
        if (nextWord(rest) != "after-drain")
            return "backchannel needs 'after-drain N TEXT'";
        const std::string count = nextWord(rest);
        BackchannelText entry;
        if (!parseCount(count, entry.drain) || entry.drain == 0)
            return "backchannel after-drain needs a drain number from 1";
        if (!decodeEscapes(trim(rest), entry.text))
            return "bad escape in backchannel text";
        if (entry.text.empty())
            return "backchannel needs a text";
        script.backchannel.push_back(entry);
        return {};
    }
    if (directive == "signal") {
        SignalRule rule;
        const std::string name = nextWord(rest);
        rule.signal = signalFromName(name);
        if (rule.signal == 0)
            return "unknown signal '" + name + "' (SIGTERM, SIGINT, SIGPIPE, SIGKILL, ...)";
        const std::string error = parseTrigger(rest, rule.trigger, true);
        if (error.empty())
            script.signals.push_back(rule);
        return error;
    }
    if (directive == "close-output") {
        Trigger trigger;
        const std::string error = parseTrigger(rest, trigger, false);
        if (!error.empty())
            return error;
        if (trigger.kind != Trigger::Kind::AfterBytes)
            return "close-output takes 'after-bytes N'";
        script.closeOutputAfter = trigger.count;
        return {};
    }
    return "unknown directive '" + directive +
           "' (drain, lock, lock-delay, backchannel, signal, close-output)";
}

} // namespace

DrainAnswer Script::drainAnswer(std::uint64_t request) const
{
    std::uint64_t first = 1;
    for (const auto &[answer, count] : drainRuns) {
        if (request < first + count)
            return answer;
        first += count;
    }
    return DrainAnswer::Ok;
}

std::optional<std::string> Script::lockReply(std::uint64_t query) const
{
    if (lockReplies.empty())
        return std::nullopt;
    return lockReplies[std::min<std::uint64_t>(query, lockReplies.size()) - 1];
}

ParseResult parseScript(const std::string &text)
{
    Parser parser;
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        std::string rest = trim(stripComment(line));
        if (rest.empty())
            continue;
        const std::string directive = nextWord(rest);
        const std::string error = parser.parseLine(directive, rest);
        if (!error.empty())
            return {Script(), "line " + std::to_string(number) + ": " + error};
    }
    return {parser.script, {}};
}

std::string encodeEscapes(const std::string &in)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (const char c : in) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\')
            out += "\\\\";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (byte < 0x20 || byte == 0x7f) {
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 15];
        } else
            out += c;
    }
    return out;
}

const char *drainAnswerName(DrainAnswer answer)
{
    for (const auto &entry : drainAnswers) {
        if (entry.answer == answer)
            return entry.name;
    }
    return "?";
}

int signalFromName(const std::string &name)
{
    const std::string bare = name.compare(0, 3, "SIG") == 0 ? name.substr(3) : name;
    for (const auto &entry : signalNames) {
        if (bare == entry.name)
            return entry.signal;
    }
    std::uint64_t number = 0;
    if (parseCount(name, number) && number > 0 && number < 65)
        return static_cast<int>(number);
    return 0;
}

std::string signalName(int signal)
{
    for (const auto &entry : signalNames) {
        if (entry.signal == signal)
            return std::string("SIG") + entry.name;
    }
    return std::to_string(signal);
}

} // namespace zlpsim
