// What the monitor needs to know before it may open the printer: is a job of the USB queue
// listed, is the USB filter running, and what did the filter last write into the printer
// state file. Pure functions over text where possible; the /proc scan and the listing child
// are the only I/O, kept small so tests can point them elsewhere.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
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

// The four user ids of a process, from the "Uid:" line of /proc/<pid>/status.
struct ProcessUids {
    uid_t real = 0;
    uid_t effective = 0;
    uid_t saved = 0;
    uid_t filesystem = 0;
};

// The "Uid:" line of a /proc/<pid>/status text: four decimal ids after the key. Nothing when
// the line is missing or is not four numbers.
std::optional<ProcessUids> uidsOfStatus(std::string_view status);

// A process that CUPS started as `uid` has all four ids set to it; a set-user-ID program run
// by someone else keeps that someone's real id.
inline bool runsWhollyAs(const ProcessUids &ids, uid_t uid)
{
    return ids.real == uid && ids.effective == uid && ids.saved == uid && ids.filesystem == uid;
}

struct ProcessScan {
    bool found = false;
    int examined = 0;  // entries whose stat could be read
    int vanished = 0;  // entries gone (or unreadable) by the time their stat was read
    int impostors = 0; // processes of that name not run by the filter's user
};

// Looks through `entries` of `procDir` for a process whose command name is exactly
// `commandName` and that runs wholly as `filterUid`; stops at the first one. Anyone may
// start a program of that name, so a process of another user is counted as an impostor
// and passed over. A process that exits between the listing and the read is skipped, not
// taken for the end of the list. A process of that name has its stat and status read
// (again) through one handle of its folder, so a pid reused in between cannot mix two
// processes; each read is bounded.
ProcessScan findProcess(const std::string &procDir, const std::vector<std::string> &entries,
                        std::string_view commandName, uid_t filterUid);

// listProcessEntries + findProcess; nothing when the directory cannot be read.
std::optional<ProcessScan> scanForProcess(const std::string &procDir, std::string_view commandName,
                                          uid_t filterUid);

// ---------------------------------------------------------------- the filters' user

// Where cupsd reads the user it runs filters as, and the user it takes without that line.
constexpr const char *kCupsFilesConf = "/etc/cups/cups-files.conf";
constexpr const char *kDefaultFilterUser = "lp";

// The values of the "User" lines of a cups-files.conf text, in file order, read as cupsd
// reads its configuration: "#" starts a comment, the first word is the directive (any
// case), the rest of the line, trimmed, its value. Lines without a value are left out.
std::vector<std::string> cupsUserValues(std::string_view conf);

// The uid cupsd runs filters as, settled as cupsd settles it: `lookup` of the default user
// first; then each "User" value in turn replaces it, a value starting with a digit as the
// number of its leading digits, any other as the name `lookup` finds; a value that gives
// uid 0 or an unknown name is refused and changes nothing. Nothing when no user results.
std::optional<uid_t>
filterUidOfCupsFiles(std::string_view conf,
                     const std::function<std::optional<uid_t>(const std::string &)> &lookup);

// The same for this machine: `confPath` read (bounded; a missing or unreadable file counts as
// empty) and names looked up in the user database.
std::optional<uid_t> filterUidOfSystem(const std::string &confPath = kCupsFilesConf);

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
