// The printer's answer to "LockPrinter?", any bytes the back channel may carry.
// Properties: the result is the number before the text, 255, or a number of at most five
// digits; "may print" (1) is only ever read from an "E=00001"-like piece.
#include "lockreply.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    LogLines log;
    const int number = parseLockReply(text, kNoReply, log);
    if (number < 0 || (number > 99999 && number != kNoReply))
        std::abort();
    if (number != kNoReply && text.find("E=") == std::string::npos)
        std::abort();
    // Starting from "busy" changes nothing when the text holds no reply at all.
    if (text.find("E=") == std::string::npos && parseLockReply(text, 2, log) != 2)
        std::abort();
    for (const std::string &line : log)
        if (line.empty() || line.back() != '\n')
            std::abort();
    return 0;
}
