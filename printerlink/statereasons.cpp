#include "statereasons.h"

#include "statuscatalogue.h"

#include <iterator>

namespace
{

struct CodeRange {
    int first, last;
    const char *keyword; // nullptr: no reason
};

// Codes, or ranges of codes, and their reason; the first row that holds a code wins. The
// catalogue's kind gives the severity.
const CodeRange kReasons[] = {
    {10001, 10001, nullptr}, // ready
    {10003, 10003, nullptr}, // warming up
    {10007, 10007, nullptr}, // job cancelled at the computer
    {10023, 10023, nullptr}, // printing
    {40000, 40000, nullptr}, // asleep: wakes up for the next job
    {10205, 10205, "opc-near-eol"},
    {10209, 10209, "toner-low"},
    {10210, 10212, "marker-supply-low"},
    {10305, 10305, "opc-life-over"},
    {10215, 10215, "other"},       // transfer belt near its end
    {10315, 10316, "other"},       // transfer belt, fuser to replace
    {11200, 11499, "media-empty"}, // one tray has no paper of the size
    {12201, 12501, "input-tray-missing"},
    {30016, 30016, "other"}, // memory full
    {40021, 40021, "cover-open"},
    {40121, 40121, "door-open"}, // back cover
    {40026, 40026, "other"},     // no waste toner box
    {40141, 40141, "marker-waste-full"},
    {40305, 40305, "opc-life-over"},
    {40309, 40309, "toner-empty"},
    {40310, 40312, "marker-supply-empty"},
    {40405, 40405, "other"},       // no drum unit
    {40409, 40409, "toner-empty"}, // no toner cartridge
    {40410, 40412, "marker-supply-empty"},
    {40415, 40415, "other"},       // no transfer belt
    {41000, 41999, "media-empty"}, // no paper of the size anywhere it may come from
    {44102, 44116, "media-jam"},
    {44444, 44444, "offline"},
    {60021, 60021, "cover-open"},   // fuser cover
    {60129, 60129, "media-needed"}, // wrong media type in the tray
    {60142, 60142, "media-needed"}, // wrong media size in the tray
    {62102, 62102, "marker-waste-almost-full"},
    {62122, 62125, "media-low"},
    {65003, 65003, "media-empty"},
    {65005, 65005, "media-empty"},
    {65009, 65009, "media-empty"},
    {65013, 65013, "media-empty"},
    {65004, 65004, "media-jam"},
    {65008, 65008, "media-jam"},
    {65012, 65012, "media-jam"},
    {70004, 70004, "media-jam"}, // document feeder
    {70007, 70007, "media-empty"},
    {70014, 70014, "cover-open"}, // document feeder cover
};

ReasonSeverity severityOfKind(int kind)
{
    return kind <= 1   ? ReasonSeverity::Report
           : kind == 2 ? ReasonSeverity::Warning
                       : ReasonSeverity::Error;
}

} // namespace

StateReason stateReasonOf(int code)
{
    const StatusEntry *entry = findStatusEntry(code);
    if (!entry)
        return {"other", ReasonSeverity::Error}; // the ranges below hold unknown codes too
    const ReasonSeverity severity = severityOfKind(entry->kind);
    for (const CodeRange &row : kReasons)
        if (code >= row.first && code <= row.last)
            return {row.keyword, severity};
    return {"other", severity};
}

std::string reasonValue(const StateReason &reason)
{
    if (!reason.keyword)
        return {};
    static const char *const kSuffix[] = {"-report", "-warning", "-error"};
    return std::string(reason.keyword) + kSuffix[static_cast<int>(reason.severity)];
}

std::string stateMessageOf(int code)
{
    const StatusEntry *entry = findStatusEntry(code);
    if (!entry)
        return {};
    std::string text = entry->title;
    std::string message = entry->message;
    while (!message.empty() && message.back() == '\n')
        message.pop_back();
    if (!message.empty()) {
        for (char &c : message)
            if (c == '\n')
                c = ' ';
        text += "：" + message;
    }
    return text;
}

int mostSevereCode(const std::string &reply)
{
    int best = 0;
    int bestRank = 0;
    size_t start = 0;
    while (start <= reply.size()) {
        size_t end = reply.find('\r', start);
        if (end == std::string::npos)
            end = reply.size();
        const std::string_view line(reply.data() + start, end - start);
        start = end + 1;
        if (line.find("CODE=") == std::string_view::npos)
            continue;
        const int code = statusLineCode(line);
        if (code == 0)
            continue;
        const int rank = statusSeverity(code);
        if (rank > bestRank) {
            best = code;
            bestRank = rank;
        }
    }
    return best;
}
