#include "statusscript.h"

#include "escapes.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace zlpsim
{

namespace
{

// A datagram cannot carry more than this over IPv4.
constexpr std::size_t maxDatagram = 65507;
constexpr long maxDelayMs = 600000;

std::string_view trim(std::string_view s)
{
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    return s;
}

std::string_view nextWord(std::string_view &rest)
{
    rest = trim(rest);
    std::size_t end = 0;
    while (end < rest.size() && !std::isspace(static_cast<unsigned char>(rest[end])))
        ++end;
    const std::string_view word = rest.substr(0, end);
    rest.remove_prefix(end);
    rest = trim(rest);
    return word;
}

// Where a '#' outside the quoted text starts a comment, or the line's length.
std::size_t commentStart(std::string_view line)
{
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (quoted && line[i] == '\\')
            ++i;
        else if (line[i] == '"')
            quoted = !quoted;
        else if (!quoted && line[i] == '#')
            return i;
    }
    return line.size();
}

bool wholeNumber(std::string_view text, long max, long &out)
{
    if (text.empty() || text.size() > 9)
        return false;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    }
    out = std::strtol(std::string(text).c_str(), nullptr, 10);
    return out <= max;
}

// "TEXT"[*N] ["TEXT"[*N] ...] [after MS]: each quoted piece keeps its escapes for
// decodeEscapes (a quote inside one is written \x22) and may be repeated.
bool parseReply(std::string_view rest, StatusDatagram &out, std::string &error)
{
    rest = trim(rest);
    if (rest.empty() || rest.front() != '"') {
        error = "reply needs a quoted text";
        return false;
    }
    out.bytes.clear();
    while (!rest.empty() && rest.front() == '"') {
        const std::size_t close = rest.find('"', 1);
        if (close == std::string_view::npos) {
            error = "missing closing quote";
            return false;
        }
        std::string piece;
        if (!decodeEscapes(rest.substr(1, close - 1), piece)) {
            error = "bad escape in reply text";
            return false;
        }
        rest = trim(rest.substr(close + 1));
        long times = 1;
        if (!rest.empty() && rest.front() == '*') {
            rest.remove_prefix(1);
            if (!wholeNumber(nextWord(rest), static_cast<long>(maxDatagram), times)) {
                error = "expected a repeat count after '*'";
                return false;
            }
        }
        if (out.bytes.size() + piece.size() * static_cast<std::size_t>(times) > maxDatagram) {
            error = "a datagram holds at most 65507 bytes";
            return false;
        }
        for (long i = 0; i < times; ++i)
            out.bytes += piece;
    }
    if (!rest.empty()) {
        long delay = 0;
        if (nextWord(rest) != "after" || !wholeNumber(nextWord(rest), maxDelayMs, delay) ||
            !rest.empty()) {
            error = "expected nothing or \"after MS\" behind the reply text";
            return false;
        }
        out.delayMs = static_cast<int>(delay);
    }
    return true;
}

} // namespace

StatusScript StatusScript::standard()
{
    StatusScript script;
    script.idle = {{StatusDatagram{"CODE=10001", 0}}};
    script.printing = {{StatusDatagram{"CODE=10023", 0}}};
    return script;
}

std::optional<StatusScript> StatusScript::parse(std::string_view text, std::string &error)
{
    StatusScript script;
    std::vector<StatusAnswer> *section = &script.idle;
    int lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        const std::size_t newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
        line = line.substr(0, commentStart(line));
        std::string_view rest = line;
        const std::string_view word = nextWord(rest);
        const auto fail = [&](const std::string &what) {
            error = "line " + std::to_string(lineNumber) + ": " + what;
            return std::nullopt;
        };
        if (word.empty())
            continue;
        if (word == "state") {
            const std::string_view which = nextWord(rest);
            if (which == "idle")
                section = &script.idle;
            else if (which == "printing")
                section = &script.printing;
            else
                return fail("state is idle or printing");
            if (!rest.empty())
                return fail("unexpected text after the state");
        } else if (word == "request") {
            if (!rest.empty())
                return fail("unexpected text after request");
            section->emplace_back();
        } else if (word == "reply") {
            if (section->empty())
                return fail("reply outside a request block");
            StatusDatagram datagram;
            std::string what;
            if (!parseReply(rest, datagram, what))
                return fail(what);
            section->back().push_back(datagram);
        } else if (word == "silence") {
            if (section->empty() || !section->back().empty() || !rest.empty())
                return fail("silence stands alone in its request block");
        } else if (word == "linger") {
            long ms = 0;
            if (!wholeNumber(nextWord(rest), maxDelayMs, ms) || !rest.empty())
                return fail("linger needs milliseconds");
            script.lingerMs = static_cast<int>(ms);
        } else {
            return fail("unknown statement " + std::string(word));
        }
    }
    if (script.idle.empty() && script.printing.empty()) {
        error = "the script answers no request";
        return std::nullopt;
    }
    return script;
}

const StatusAnswer &StatusScript::answer(bool whilePrinting, int n) const
{
    static const StatusAnswer nothing;
    const std::vector<StatusAnswer> &blocks = whilePrinting && !printing.empty() ? printing : idle;
    if (blocks.empty())
        return nothing;
    const std::size_t index = static_cast<std::size_t>(n < 0 ? 0 : n);
    return blocks[std::min(index, blocks.size() - 1)];
}

} // namespace zlpsim
