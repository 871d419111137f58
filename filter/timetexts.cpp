#include "timetexts.h"

#include <clocale>
#include <locale.h>

namespace
{

std::string formatC(const char *form, const std::tm &local, size_t bufferSize)
{
    static locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
    char buffer[64] = {};
    if (bufferSize > sizeof buffer)
        bufferSize = sizeof buffer;
    if (strftime_l(buffer, bufferSize, form, &local, cLocale) == 0)
        buffer[0] = '\0';
    return buffer;
}

} // namespace

TimeTexts formatTimeTexts(const std::tm &local)
{
    TimeTexts t;
    t.printLogTime = formatC("%a,%d,%b %Y %H:%M:%S", local, 25);
    t.startTime = formatC("%Y%m%d%H%M%S", local, 30);
    t.logDate = formatC("%Y年%m月%d日%T %A", local, 50);
    return t;
}
