#include "printerreasons.h"

#include "statereasons.h"

std::string reasonLines(const std::string &reply, std::string &current)
{
    const int code = mostSevereCode(reply);
    if (code == 0)
        return {};
    const std::string next = reasonValue(stateReasonOf(code));
    if (next == current)
        return {};
    std::string lines = clearReasonLine(current);
    if (!next.empty())
        lines += "STATE: +" + next + "\n";
    current = next;
    return lines;
}

std::string clearReasonLine(std::string &current)
{
    if (current.empty())
        return {};
    std::string line = "STATE: -" + current + "\n";
    current.clear();
    return line;
}
