// The PJL job header from hostile job data: user, title, host name, every option value and the
// four key digits, read the way the filter reads them (option lookup, then sanitising).
// Properties: the header fits its buffer, is made of whole lines, and holds no control byte but
// the line feeds and the two ESC of its fixed start.
#include "fuzzinput.h"
#include "joboptions.h"
#include "jobtext.h"
#include "pjlheader.h"

#include <cstdlib>
#include <cstring>
#include <map>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const char *const kKeywords[] = {
        "PageSize",     "MediaType",  "InputSlot",     "Duplex",
        "Resolution",   "ResizePage", "TonerSaveMode", "ImprovePrintOutput",
        "PrintDensity", "Sleep",      "QuiteMode",     "Passwd1",
        "Passwd2",      "Passwd3",    "Passwd4"};
    constexpr size_t kOptions = sizeof kKeywords / sizeof kKeywords[0];
    const std::vector<std::string> parts = splitInput(data, size, kOptions + 3);

    std::map<std::string, std::string> choices;
    for (size_t i = 0; i < kOptions; ++i)
        if (!parts[i].empty())
            choices[kKeywords[i]] = parts[i];
    const ChoiceLookup lookup = [&choices](const char *keyword) -> const char * {
        const auto found = choices.find(keyword);
        return found == choices.end() ? nullptr : found->second.c_str();
    };

    JobRecord job;
    LogLines log;
    readLayoutOptions(lookup, job.options, log);
    const SecureKey key = readSecureKey(lookup, log);
    readFinishingOptions(lookup, job.options, log);
    if (key.state == KeyState::Refused)
        return 0; // the filter refuses the job before any header is built
    job.key = key.key;
    job.user = sanitizeValue(parts[kOptions]);
    job.title = sanitizeValue(parts[kOptions + 1]);
    job.host = sanitizeValue(parts[kOptions + 2]);
    job.printLogTime = "Mon,07,Dec 2026 10:00:00";
    job.startTime = "20261207100000";

    static char buffer[kHeaderSize];
    LineBuffer header(buffer, sizeof buffer);
    const char *position = buildJobHeader(job, header, log);

    const size_t length = std::strlen(buffer);
    if (length != header.size() || length >= sizeof buffer)
        std::abort();
    if (length == 0 || buffer[length - 1] != '\n')
        std::abort();
    int escapes = 0;
    for (size_t i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(buffer[i]);
        if (c == 0x1b)
            ++escapes;
        else if (c != '\n' && isControl(c))
            std::abort();
    }
    if (escapes != 2)
        std::abort();
    if (std::strncmp(position, "-dMediaPosition=", 16) != 0)
        std::abort();
    return 0;
}
