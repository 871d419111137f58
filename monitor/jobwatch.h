// What the monitor needs to know before it may open the printer: is a job of the USB queue
// listed, is the USB filter running, and what did the filter last write into the printer
// state file. Pure functions over text where possible; the /proc scan, the state file read
// and the listing child are the only I/O, kept small so tests can point them elsewhere.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace jobwatch
{

// ---------------------------------------------------------------- the job listing

// Mentions of the two queue names in a listing, ignoring case. The USB queue's name is a
// prefix of the network queue's, so `usbQueue` counts the jobs of both queues.
struct QueueMentions {
    int usbQueue = 0;
    int netQueue = 0;
};

// Counts in `listing` up to its first NUL byte.
QueueMentions countQueueMentions(std::string_view listing, std::string_view usbQueueName,
                                 std::string_view netQueueName);

// A job of the USB queue is listed: a mention of its name that is not part of the network
// queue's name.
inline bool usbJobListed(QueueMentions m)
{
    return m.usbQueue > 0 && (m.usbQueue > m.netQueue || m.netQueue == 0);
}

// A job of the network queue is listed.
inline bool netJobListed(QueueMentions m)
{
    return m.netQueue >= 1;
}

// What the listing program gave within its time.
struct ListingRun {
    QByteArray output;      // standard output, at most the byte limit
    bool started = false;   // the program could be run at all
    bool timedOut = false;  // killed after the time limit
    bool truncated = false; // killed after the byte limit
    int exitCode = -1;      // when it ended by itself
};

// Runs `program` with `arguments` and collects its standard output for at most `timeoutMs`
// and `maxBytes`; a child that takes longer or writes more is killed and reaped, so the
// caller never blocks past the limit and never keeps a zombie. Standard error is dropped.
ListingRun runListing(const QString &program, const QStringList &arguments, int timeoutMs,
                      qint64 maxBytes);

// ---------------------------------------------------------------- the /proc scan

// The command name of a /proc/<pid>/stat text: between the first "(" and the last ")", since
// a process may put ")" (or a line feed) into its own name. Nothing when the text has no
// such pair.
std::optional<std::string_view> commandNameOfStat(std::string_view stat);

// The numeric entries of a /proc-like directory (processes), in the directory's order.
// Nothing when the directory cannot be read.
std::optional<std::vector<std::string>> listProcessEntries(const std::string &procDir);

struct ProcessScan {
    bool found = false;
    int examined = 0; // entries whose stat could be read
    int vanished = 0; // entries gone (or unreadable) by the time their stat was read
};

// Looks through `entries` of `procDir` for a process whose command name is exactly
// `commandName`; stops at the first one. A process that exits between the listing and the
// read is skipped, not taken for the end of the list. Each stat read is bounded.
ProcessScan findProcess(const std::string &procDir, const std::vector<std::string> &entries,
                        std::string_view commandName);

// listProcessEntries + findProcess; nothing when the directory cannot be read.
std::optional<ProcessScan> scanForProcess(const std::string &procDir, std::string_view commandName);

// ---------------------------------------------------------------- the printer state file

// The most severe status line of a state file's text: lines split at LF (a CR before the LF
// belongs to the line break), only lines containing "CODE=" count; a later line replaces the
// kept one only when strictly more severe; the first line of severity 4 ends the reading.
// `onLine` sees every line read, in order, up to that point. Empty when no line counts.
std::string mostSevereStatusLine(std::string_view text,
                                 const std::function<int(std::string_view)> &severity,
                                 const std::function<void(std::string_view)> &onLine = {});

// ---------------------------------------------------------------- the printer's reply

// The status reply buffer of one read.
constexpr int replyCapacity = 8192;

// The reply text of a read into a buffer of `capacity` bytes: the bytes up to the first NUL,
// never more than the buffer.
QByteArray replyText(const char *buffer, int capacity);

// The pieces of a reply between CR bytes that carry a status ("CODE="), in order.
std::vector<QByteArray> statusLinesOfReply(const QByteArray &reply);

} // namespace jobwatch
