// The page and copy count read from a job's spool file: whatever the document holds, the
// scan ends, reads nothing past its line buffer, and gives counts the print log can show.
#include "fuzzcheck.h"
#include "spoolcount.h"

#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);
    const std::string start(text, size < 1024 ? size : 1024);
    const bool postscript = start.compare(0, 2, "%!") == 0;
    FUZZ_CHECK(isPdfStart(text, size) == (!postscript && start.find("%PDF-") != std::string::npos));
    // fmemopen refuses an empty buffer.
    if (size == 0)
        return 0;
    std::FILE *file = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (!file)
        return 0;
    LogLines log;
    const SpoolCount count = scanSpool(file, log);
    std::fclose(file);

    FUZZ_CHECK(count.pages >= 0);
    if (!count.copiesFound)
        FUZZ_CHECK(count.copies == 1);
    FUZZ_CHECK(!log.empty());
    for (const std::string &line : log)
        FUZZ_CHECK(fuzz::isWholeLogLine(line));
    return 0;
}
