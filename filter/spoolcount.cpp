#include "spoolcount.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
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

// A count after a comment's keyword, as "%d" reads it (white space, then an optionally
// signed decimal number), but only when it is a count at all: a negative number or one
// beyond int ("%%Pages: 88888888888") is no count, where sscanf's "%d" would be undefined
// and in practice wraps into a negative or arbitrary page count in the print log.
bool readCount(const char *text, int &value)
{
    char *end = nullptr;
    errno = 0;
    const long number = std::strtol(text, &end, 10);
    if (end == text || errno == ERANGE || number < 0 || number > INT_MAX)
        return false;
    value = static_cast<int>(number);
    return true;
}

// " numcopies(%d)" after the requirements keyword.
bool readNumCopies(const char *text, int &value)
{
    while (std::isspace(static_cast<unsigned char>(*text)))
        ++text;
    return startsWith(text, "numcopies(") && readCount(text + 10, value);
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
        if (startsWith(line, "/#copies") && readCount(line + 8, value)) {
            hashCopies = value;
            copiesLine = true;
        } else if (startsWith(line, "%%Requirements:") && readNumCopies(line + 15, value)) {
            requiredCopies = value;
            copiesLine = true;
        } else if (startsWith(line, "%%Pages:") && readCount(line + 8, value)) {
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
    // A PostScript job may well name a PDF in its comments ("%%Title: (%PDF-1.7 reference)");
    // its own first bytes say what it is.
    if (length >= 2 && data[0] == '%' && data[1] == '!')
        return false;
    static const char kMagic[] = "%PDF-";
    const char *end = data + std::min<std::size_t>(length, 1024);
    return std::search(data, end, kMagic, kMagic + sizeof kMagic - 1) != end;
}
