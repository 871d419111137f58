#include "jobstream.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace zlpsim
{

namespace
{

bool startsWith(const std::uint8_t *data, std::size_t size, std::size_t at, std::string_view what)
{
    return size - at >= what.size() && std::memcmp(data + at, what.data(), what.size()) == 0;
}

bool endsWith(const std::uint8_t *data, std::size_t size, std::string_view what)
{
    return size >= what.size() &&
           std::memcmp(data + size - what.size(), what.data(), what.size()) == 0;
}

std::string trim(std::string s)
{
    const auto notBlank = [](unsigned char c) { return !std::isspace(c); };
    s.erase(s.begin(), std::find_if(s.begin(), s.end(), notBlank));
    s.erase(std::find_if(s.rbegin(), s.rend(), notBlank).base(), s.end());
    return s;
}

std::string upper(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// Reads PJL lines from `at` on. Universal exits are counted, empty lines dropped. Stops after an
// ENTER LANGUAGE line (returning the value) or at the end.
struct PjlSection {
    std::vector<std::string> lines;
    int uels = 0;
    bool carriageReturns = false;
    std::string language;
    std::size_t next = 0;
};

PjlSection readPjl(const std::uint8_t *data, std::size_t size, std::size_t at)
{
    PjlSection section;
    while (at < size) {
        if (startsWith(data, size, at, kUel)) {
            ++section.uels;
            at += kUel.size();
            continue;
        }
        const auto *lf = static_cast<const std::uint8_t *>(std::memchr(data + at, '\n', size - at));
        const std::size_t stop = lf ? static_cast<std::size_t>(lf - data) : size;
        std::string line(reinterpret_cast<const char *>(data) + at, stop - at);
        at = lf ? stop + 1 : size;
        if (!line.empty() && line.back() == '\r') {
            section.carriageReturns = true;
            line.pop_back();
        }
        if (line.empty())
            continue;
        section.lines.push_back(line);
        static const std::string kEnter = "@PJL ENTER LANGUAGE";
        if (upper(line.substr(0, kEnter.size())) == kEnter) {
            auto value = line.substr(kEnter.size());
            const auto eq = value.find('=');
            section.language = upper(trim(eq == std::string::npos ? value : value.substr(eq + 1)));
            break;
        }
    }
    section.next = at;
    return section;
}

// Where the PJL lines behind a broken PCL XL stream begin: the last sequence that opens the
// driver's trailer or cancel, else nothing.
std::size_t findTail(const std::uint8_t *data, std::size_t size, std::size_t from)
{
    std::string opener(kUel);
    opener += '\n';
    opener += kVendorPrefix;
    for (std::size_t at = size; at-- > from;) {
        if (startsWith(data, size, at, opener))
            return at;
    }
    return size;
}

} // namespace

JobStream decodeJobStream(const std::uint8_t *data, std::size_t size)
{
    JobStream job;
    std::size_t at = 0;
    while (startsWith(data, size, at, kLockQuery)) {
        ++job.lockQueries;
        at += kLockQuery.size();
    }
    job.jobStart = at;

    std::string opener(kUel);
    opener += '\n';
    opener += kVendorPrefix;
    opener += '\n';
    job.vendorPrefix = startsWith(data, size, at, opener);

    PjlSection header = readPjl(data, size, at);
    job.headerLines = header.lines;
    job.headerUels = header.uels;
    job.carriageReturns = header.carriageReturns;
    job.language = header.language;
    for (const std::string &line : header.lines) {
        static const std::string kSet = "@PJL SET ";
        if (line.compare(0, kSet.size(), kSet) != 0)
            continue;
        const auto eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        job.settings[trim(line.substr(kSet.size(), eq - kSet.size()))] = trim(line.substr(eq + 1));
    }

    std::size_t tail = size;
    if (job.language == "PCLXL") {
        const std::size_t pclStart = header.next;
        job.pclxl = decodePclXl(data + pclStart, size - pclStart);
        job.pclxl.begin += pclStart;
        job.pclxl.end += pclStart;
        tail = job.pclxl.wellFormed ? job.pclxl.end : findTail(data, size, job.pclxl.end);
    }
    if (tail < size) {
        PjlSection trailer = readPjl(data, size, tail);
        job.trailerLines = trailer.lines;
        job.carriageReturns = job.carriageReturns || trailer.carriageReturns;
    }

    if (size == job.jobStart)
        job.end = "empty";
    else if (endsWith(data, size, kTrailer))
        job.end = "trailer";
    else if (endsWith(data, size, kCancel))
        job.end = "cancel";
    else if (endsWith(data, size, kUel))
        job.end = "uel";
    else
        job.end = "truncated";
    return job;
}

} // namespace zlpsim
