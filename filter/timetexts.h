// The job's time texts, taken once at start, always in the C locale so they
// fit their fixed buffers whatever language the print system runs in.
#pragma once

#include <ctime>
#include <string>

struct TimeTexts {
    std::string printLogTime; // "%a,%d,%b %Y %H:%M:%S" (25-byte buffer)
    std::string startTime;    // "%Y%m%d%H%M%S" (30-byte buffer)
    std::string logDate;      // "%Y年%m月%d日%T %A" (50-byte buffer)
};

// Calendar year (%Y): the ISO week year would misdate the first and last days
// of a year.
TimeTexts formatTimeTexts(const std::tm &local);
