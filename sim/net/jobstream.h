// What a printer makes of one job's bytes: the lock queries in front, the PJL job header, the PCL
// XL stream and the PJL lines behind it, and how the job ended.
#pragma once

#include "pclxl.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace zlpsim
{

// Byte sequences the driver frames a job with.
inline constexpr std::string_view kLockQuery = "LockPrinter?";
inline constexpr std::string_view kUel = "\x1b%-12345X";
inline constexpr std::string_view kVendorPrefix = "\x1b#+54321X_VARN@PJL";
inline constexpr std::string_view kTrailer =
    "\x1b%-12345X\n\x1b#+54321X_VARN@PJL EOJ\n\x1b%-12345X";
inline constexpr std::string_view kCancel =
    "\x1b%-12345X\n\x1b#+54321X_VARN@PJL CANCEL\n\x1b%-12345X";

struct JobStream {
    int lockQueries = 0;          // "LockPrinter?" queries before the job proper
    std::size_t jobStart = 0;     // offset of the first byte after the lock queries
    int headerUels = 0;           // universal exits in the header
    bool vendorPrefix = false;    // the header opens with UEL, LF, ESC "#+54321X_VARN@PJL", LF
    bool carriageReturns = false; // a PJL line of header or trailer ended in CR LF
    std::vector<std::string> headerLines; // PJL lines up to and including ENTER LANGUAGE
    std::string language;                 // the ENTER LANGUAGE value ("PCLXL"), or empty
    // "@PJL SET NAME=VALUE" lines of the header, by name with blanks trimmed; the last one wins.
    std::map<std::string, std::string> settings;
    PclXlResult pclxl;
    std::vector<std::string> trailerLines; // PJL lines after the PCL XL stream
    // "trailer" (EOJ sequence), "cancel" (CANCEL sequence), "uel" (a bare universal exit, as
    // Ghostscript ends its own output), "truncated" (anything else) or "empty" (no job bytes).
    std::string end;
};

JobStream decodeJobStream(const std::uint8_t *data, std::size_t size);

} // namespace zlpsim
