#include "addressfile.h"

#include <arpa/inet.h>
#include <sstream>

std::string registeredPrinterAddress(const std::string &content)
{
    std::istringstream lines(content);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t first = line.find_first_not_of(" \t\r");
        const size_t last = line.find_last_not_of(" \t\r");
        const std::string text =
            first == std::string::npos ? "" : line.substr(first, last - first + 1);
        size_t dots = 0;
        for (char c : text)
            dots += c == '.';
        if (dots != 3)
            continue;
        // inet_pton takes exactly four decimal numbers of at most three digits each.
        in_addr address = {};
        if (inet_pton(AF_INET, text.c_str(), &address) != 1 || address.s_addr == 0)
            return {};
        return text;
    }
    return {};
}
