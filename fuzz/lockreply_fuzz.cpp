// The network printer's answer to "LockPrinter?", as read from the back channel: whatever it
// sends, the number is a five-digit reply or "no reply", 00001 ends the scan, and the
// run-log lines it causes stay whole lines.
#include "fuzzcheck.h"
#include "lockreply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    for (int current : {kNoReply, 2}) {
        LogLines log;
        const int number = parseLockReply(text, current, log);
        FUZZ_CHECK(number == current || number == kNoReply || (number >= 0 && number <= 99999));
        if (text.find("E=") == std::string::npos)
            FUZZ_CHECK(number == current);
        for (const std::string &line : log)
            FUZZ_CHECK(fuzz::isWholeLogLine(line));
    }
    // Permission, wherever it stands, is found.
    LogLines log;
    FUZZ_CHECK(parseLockReply(text + "CODE=00001", kNoReply, log) == 1);
    return 0;
}
