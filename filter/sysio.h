// The filter's edges to the system: writes and reads that survive signals and
// short transfers, interruptible waits, and the job's small files.
#pragma once

#include <csignal>
#include <cstddef>
#include <string>
#include <sys/types.h>

// Set by the signal handler; the main flow acts on it (see cancelRequested).
extern volatile sig_atomic_t gCancelSignal;
// Set once the cancel has begun, so its own writes are not cut short.
extern volatile sig_atomic_t gCancelling;

inline bool cancelRequested()
{
    return gCancelSignal != 0 && gCancelling == 0;
}

// Writes everything unless an error occurs or a cancel is requested; returns
// the bytes written.
size_t writeAll(int fd, const void *data, size_t length);
// Reads until `length` bytes, end of input, an error or a cancel request.
size_t readFull(int fd, void *data, size_t length);
// Sleeps, returning early when a cancel is requested.
void sleepSeconds(double seconds);

enum class OpenLog { StateFile, JobFile };

// Replaces a small file whole: written to a temporary file beside it, made
// readable by every user (CUPS runs filters with umask 077) and renamed over
// it, so a reader never sees a half-written file and a failure keeps the old
// one. Up to `attempts` tries 5 ms apart, each logged.
bool replaceFile(const char *path, const std::string &text, int attempts, OpenLog logStyle);

// Opens a file for appending (created readable by all), up to 8 tries 5 ms apart.
int openForAppend(const char *path);
// Appends text in one write; the log only ever grows.
bool appendText(int fd, const std::string &text);
