#include "spoolcount.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#define TAG "DEBUG:[VARN-ZLP5520NW]"

namespace
{

// sscanf would skip white space before a "%%", so comments are matched by prefix.
bool startsWith(const char *line, const char *prefix)
{
    return std::strncmp(line, prefix, std::strlen(prefix)) == 0;
}

} // namespace

std::string spoolPath(const char *jobId)
{
    char path[40];
    std::snprintf(path, sizeof path, "/var/spool/cups/d%05d-001", std::atoi(jobId ? jobId : "0"));
    return path;
}

SpoolCount scanSpool(std::FILE *file, LogLines &log)
{
    SpoolCount count;
    char line[400];
    int hashCopies = 0;
    int requiredCopies = 0;
    while (std::fgets(line, sizeof line, file)) {
        int value = 0;
        bool copiesLine = false;
        if (std::sscanf(line, "/#copies %d", &value) == 1) {
            hashCopies = value;
            copiesLine = true;
        } else if (startsWith(line, "%%Requirements:") &&
                   std::sscanf(line + 15, " numcopies(%d)", &value) == 1) {
            requiredCopies = value;
            copiesLine = true;
        } else if (startsWith(line, "%%Pages:") && std::sscanf(line + 8, " %d", &value) == 1) {
            count.pages = value;
        }
        if (copiesLine) {
            // A PostScript copies assignment outranks the requirements comment.
            count.copiesFound = true;
            count.copies = hashCopies != 0 ? hashCopies : requiredCopies;
            char text[64];
            std::snprintf(text, sizeof text, TAG "get page copies = %d\n", count.copies);
            log.push_back(text);
        }
    }
    if (!count.copiesFound) {
        log.push_back(TAG "can not find copies from ps \n");
        count.copies = 1;
    }
    return count;
}

bool isPdfStart(const char *data, std::size_t length)
{
    static const char kMagic[] = "%PDF-";
    const char *end = data + std::min<std::size_t>(length, 1024);
    return std::search(data, end, kMagic, kMagic + sizeof kMagic - 1) != end;
}
