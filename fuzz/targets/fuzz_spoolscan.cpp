// The spool file scan: page and copy comments of any text, and telling PDF from PostScript.
// Properties: no copies comment means one copy; a PDF start is only ever found in the first
// kilobyte.
#include "spoolcount.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);
    const bool pdf = isPdfStart(text, size);
    const std::string start(text, size < 1024 ? size : 1024);
    if (pdf != (start.find("%PDF-") != std::string::npos))
        std::abort();
    if (size == 0)
        return 0;
    std::FILE *file = fmemopen(const_cast<char *>(text), size, "r");
    if (!file)
        return 0;
    LogLines log;
    const SpoolCount count = scanSpool(file, log);
    std::fclose(file);
    if (!count.copiesFound && count.copies != 1)
        std::abort();
    if (log.empty())
        std::abort(); // the copies line, or the line saying none was found
    return 0;
}
