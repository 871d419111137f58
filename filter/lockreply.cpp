#include "lockreply.h"
#include "jobtext.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#define TAG "[VARN-ZLP5520NW] DEBUG: "

int parseLockReply(const std::string &text, int current, LogLines &log)
{
    char line[128];
    int number = current;
    // The reply is cut into pieces at every 'C', 'O' and 'D', so "CODE=00002"
    // leaves the piece "E=00002".
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find_first_of("COD", start);
        if (end == std::string::npos)
            end = text.size();
        const std::string piece = text.substr(start, end - start);
        start = end + 1;
        if (piece.empty())
            continue;
        if (piece.compare(0, 2, "E=") == 0) {
            const std::string digits = piece.substr(2, 5);
            // The printer's bytes stay on this run-log line: a CR or LF among them would
            // start a line of their own on standard error.
            std::snprintf(line, sizeof line, TAG "(LockPrinter?)=%s\n",
                          sanitizeValue(digits).c_str());
            log.push_back(line);
            const bool allDigits =
                !digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos;
            number = allDigits ? std::atoi(digits.c_str()) : kNoReply;
            if (number == 1)
                return number;
            if (number == 2)
                log.push_back(TAG "LockPrinter receives 00002 printer busy\n");
        }
        std::snprintf(line, sizeof line, TAG "(LockPrinter?)OPL_Response_NumTmp=%d\n", number);
        log.push_back(line);
    }
    return number;
}
