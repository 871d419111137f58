// The PJL job header, trailer and cancel sequence the printer expects around
// the rasterizer's PCL XL data.
#pragma once

#include "joboptions.h"
#include "jobtext.h"

#include <string>

constexpr char kTrailer[] = "\x1b%-12345X\n\x1b#+54321X_VARN@PJL EOJ\n\x1b%-12345X";
constexpr char kCancelSequence[] = "\x1b%-12345X\n\x1b#+54321X_VARN@PJL CANCEL\n\x1b%-12345X";
constexpr size_t kHeaderSize = 8192;

struct JobRecord {
    JobOptions options;
    std::string key = "False"; // "False", or the secure-print key
    std::string user;
    std::string title;
    std::string printLogTime; // JobPrintLogTime
    std::string startTime;    // JobStartTime
    std::string host;
};

// Builds the header into `header` (cleared first) and returns the rasterizer's
// media position argument chosen from the tray. The header-building run-log
// lines are appended to `log`.
const char *buildJobHeader(const JobRecord &job, LineBuffer &header, LogLines &log);

// "-dMediaPosition=N" for an InputSlot value; every unknown tray is automatic.
const char *mediaPosition(const std::string &inputSlot);
