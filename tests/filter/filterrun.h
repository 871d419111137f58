// Runs an installed filter the way CUPS starts it: argument 0 is the queue
// name, the PPD in the environment, PostScript on standard input, umask 077.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

struct FilterRun {
    int exitCode = -1; // -1 when the filter was killed
    int signal = 0;
    bool timedOut = false;
    std::string out; // the printer stream
    std::string err; // run log and status lines
};

struct FilterCall {
    std::string program = "/usr/lib/cups/filter/pstopxl_5520nw";
    std::string queue = "ZLP5520NW";
    std::vector<std::string> args = {"42", "alice", "report", "1", ""};
    std::string ppd = "/usr/share/cups/model/ZLP5520NW.ppd";
    std::string input = "/var/tmp/job.ps";
    std::vector<std::string> env; // extra NAME=VALUE entries
    double timeoutSeconds = 60;
    // Signal sent once the filter's standard error shows this text (empty: none).
    std::string signalOnText;
    int signalNumber = 0;
    double signalAfterSeconds = -1; // or after a delay
    pid_t signalTarget = 0;         // whom to signal; 0: the program started
    // Standard output into this file instead of FilterRun::out (empty: captured).
    std::string outputPath;
    // A file read as the back channel on descriptor 3 (empty: none).
    std::string backChannelPath;
};

FilterRun runFilter(const FilterCall &call);

std::string readFile(const std::string &path);
void writeFile(const std::string &path, const std::string &text);
unsigned fileMode(const std::string &path);
// A small PostScript job with `pages` pages and DSC comments.
std::string postscript(int pages);
// Puts a shell script in place of the rasterizer; empty text restores Ghostscript.
void setRasterizer(const std::string &script);

inline bool endsWith(const std::string &text, const std::string &end)
{
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

inline bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}
