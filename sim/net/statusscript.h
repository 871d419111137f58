// What the simulated printer answers on its UDP status port: per "GetStatus;" request, zero or
// more datagrams, each sent at once or after a delay. Answers depend on whether a job is coming
// in on the print port, so one simulated printer prints and reports its state.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zlpsim
{

struct StatusDatagram {
    std::string bytes; // may be empty: an empty datagram
    int delayMs = 0;   // after the request; more than the asker's poll interval makes it late
};

// The datagrams that answer one request; none at all means silence.
using StatusAnswer = std::vector<StatusDatagram>;

struct StatusScript {
    // Successive blocks answer successive requests in that state; the last block repeats.
    std::vector<StatusAnswer> idle;
    std::vector<StatusAnswer> printing; // empty: the idle blocks answer while printing too
    // The printer goes on printing this long after a job's data are in (paper still moving).
    int lingerMs = 0;

    // A printer that says ready when idle and printing while a job comes in.
    static StatusScript standard();
    // Parses the script text (see README.md); on failure nothing and "line N: ..." in error.
    static std::optional<StatusScript> parse(std::string_view text, std::string &error);
    // The answer to the n-th request (0-based) seen in that state.
    const StatusAnswer &answer(bool whilePrinting, int n) const;
};

} // namespace zlpsim
