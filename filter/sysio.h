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
// Whether a write into a closed pipe cancels the job, as SIGPIPE does: true
// until the printer data has been sent.
extern volatile sig_atomic_t gBrokenPipeCancels;

// Milliseconds of the monotonic clock.
long long monotonicMs();

inline bool cancelRequested()
{
    return gCancelSignal != 0 && gCancelling == 0;
}

// The handler of the cancel signals: records the first one and wakes whatever
// the filter waits for. Async-signal-safe.
void onCancelSignal(int sig);
// Creates the wake-up pipe the handler writes to; call before installing it.
bool openWakeup();

// Every wait of the filter goes through here: until fd is ready for `events`
// (fd -1: none, a plain timed wait) or timeoutMs has passed (-1: no limit).
// Returns 1 ready, 0 timed out, -1 a cancel was requested (also when it came
// just before the wait began) or poll failed. While it waits it also serves
// the descriptor given to serveWhileWaiting.
int waitFor(int fd, short events, int timeoutMs);
// A descriptor that every wait also watches, and what to do when it is
// readable: the rasterizer's messages, read as they come so that it never
// blocks on them, whatever the filter is waiting for. -1 ends the service.
void serveWhileWaiting(int fd, void (*onReadable)());
// Waits for a child to end, waking on a cancel: waitpid's result, or -1 with
// errno EINTR when a cancel was requested first.
pid_t waitChild(pid_t pid, int *status);

// Standard output leads to the printer. When it is a pipe or a socket it is
// made non-blocking, so a printer that stops taking data cannot hold a write
// for ever: a write to it waits at most `seconds` for progress, then asks
// `onStall` whether to wait again (true) or give the write up (false).
void watchPrinterOutput(int fd, double seconds, bool (*onStall)());
// Waits until fd takes bytes again: false when a cancel is requested or, for
// the printer output, when its stall handler gives up.
bool waitForOutput(int fd);

// Writes everything unless an error occurs or a cancel is requested; returns
// the bytes written.
size_t writeAll(int fd, const void *data, size_t length);
// Reads until `length` bytes, end of input, an error or a cancel request;
// waits for a non-blocking descriptor.
size_t readFull(int fd, void *data, size_t length);
// Sleeps, returning at once when a cancel is requested, before or during it.
void sleepSeconds(double seconds);

enum class OpenLog { StateFile, JobFile };

// Replaces a small file whole: written to a temporary file beside it, made
// readable by every user (CUPS runs filters with umask 077) and renamed over
// it, so a reader never sees a half-written file and a failure keeps the old
// one. Up to `attempts` tries 5 ms apart, each logged.
bool replaceFile(const char *path, const std::string &text, int attempts, OpenLog logStyle);

// Opens the print log for appending, up to 8 tries 5 ms apart; made (or left) mode 0640,
// readable by its owner and group only, since it names every user's jobs.
int openForAppend(const char *path);
// Appends text whole or not at all, in one write: a write that falls short (a full disk, a
// file size limit) is cut off again, so the file keeps its size from before, and is logged
// with the path. False when the text is not in the file.
bool appendText(int fd, const std::string &text, const char *path);

// The USB job's debug copy of its printer stream. The copy is written to a new
// file of our own (mkstemp: mode 0600, never a path someone else prepared) and
// moved over the fixed path when the stage ends; a file there that we may not
// replace (another user's, in a sticky folder) means no copy, and the run log
// says so. The fixed path itself is never opened.
class DebugCopy
{
  public:
    // Starts a copy for `path`; false (logged) when no file can be made.
    bool open(const char *path);
    int fd() const { return fd_; }
    // Closes the copy and puts it in place, or removes it. Does nothing when
    // no copy is open.
    void keep();

  private:
    std::string path_, temp_;
    int fd_ = -1;
};

// Moves the rasterizer's output to standard output (and the debug copy)
// inside the kernel where it can: tee(2) and splice(2) between pipes, no copy
// through this process. Falls back to read and write when an end is not a
// pipe (standard output redirected to a file, say).
class StreamCopier
{
  public:
    StreamCopier(int in, int out, int copy) : in_(in), out_(out), copy_(copy) {}

    // Moves up to `length` bytes; returns the bytes moved, 0 at the end of the
    // input, -1 on an error (errno set; EINTR when a cancel came first).
    ssize_t move(size_t length);
    // Bytes that reached standard output in the last move (a short write
    // leaves fewer than were taken from the input).
    size_t lastWritten() const { return written_; }

  private:
    ssize_t moveByCopy(size_t length);
    // After EAGAIN from a non-blocking end: waits for whichever side held the
    // move up, the printer within its stall time, the rasterizer as long as it
    // takes. False when a cancel is requested.
    bool waitForEnds();

    int in_, out_, copy_;
    bool spliceWorks_ = true;
    size_t written_ = 0;
};
