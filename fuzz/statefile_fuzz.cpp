// The printer state file the USB filter leaves for the monitor, read while the filter may be
// rewriting it: the line picked is one of the file's status lines, none is more severe than
// it among the lines read, and a line of severity 4 ends the reading.
#include "fuzzcheck.h"
#include "jobwatch.h"
#include "statuscatalogue.h"

#include <QString>

namespace
{

// As the window ranks a line: through its text, then the catalogue's severity.
int severityOf(std::string_view line)
{
    const QByteArray bytes = QString::fromUtf8(line.data(), int(line.size())).toUtf8();
    return statusSeverity(
        statusLineCode(std::string_view(bytes.constData(), size_t(bytes.size()))));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    std::vector<std::string> seen;
    const std::string picked = jobwatch::mostSevereStatusLine(
        text, severityOf, [&](std::string_view line) { seen.emplace_back(line); });

    size_t bytesSeen = 0;
    int highest = 0;
    bool pickedSeen = false;
    for (size_t i = 0; i < seen.size(); ++i) {
        const std::string &line = seen[i];
        FUZZ_CHECK(line.find('\n') == std::string::npos);
        bytesSeen += line.size();
        if (line.find("CODE=") == std::string::npos)
            continue;
        const int level = severityOf(line);
        if (level > highest)
            highest = level;
        pickedSeen = pickedSeen || line == picked;
        // Reading stops at the first line of the top rank.
        if (level == 4)
            FUZZ_CHECK(i + 1 == seen.size());
    }
    FUZZ_CHECK(bytesSeen <= size);
    if (picked.empty()) {
        FUZZ_CHECK(highest == 0);
    } else {
        FUZZ_CHECK(pickedSeen);
        FUZZ_CHECK(severityOf(picked) == highest);
    }
    return 0;
}
