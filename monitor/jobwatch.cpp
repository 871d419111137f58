#include "jobwatch.h"

#include <QElapsedTimer>
#include <QProcess>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace jobwatch
{

namespace
{

bool equalIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

int countIgnoringCase(std::string_view text, std::string_view word)
{
    if (word.empty() || text.size() < word.size())
        return 0;
    int count = 0;
    for (size_t i = 0; i + word.size() <= text.size(); ++i) {
        if (equalIgnoringCase(text.substr(i, word.size()), word))
            ++count;
    }
    return count;
}

// A stat text is a few hundred bytes; the name in it is at most 15.
constexpr size_t statReadLimit = 4096;

// Reads up to `limit` bytes of an open descriptor; -1 on an error other than EINTR.
ssize_t readUpTo(int fd, char *buffer, size_t limit)
{
    size_t total = 0;
    while (total < limit) {
        ssize_t n = ::read(fd, buffer + total, limit - total);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        total += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(total);
}

bool isProcessEntry(const char *name)
{
    if (!*name)
        return false;
    for (const char *p = name; *p; ++p) {
        if (*p < '0' || *p > '9')
            return false;
    }
    return true;
}

} // namespace

QueueMentions countQueueMentions(std::string_view listing, std::string_view usbQueueName,
                                 std::string_view netQueueName)
{
    listing = listing.substr(0, std::min(listing.find('\0'), listing.size()));
    return {countIgnoringCase(listing, usbQueueName), countIgnoringCase(listing, netQueueName)};
}

ListingRun runListing(const QString &program, const QStringList &arguments, int timeoutMs,
                      qint64 maxBytes)
{
    ListingRun run;
    QProcess process;
    process.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    process.start(program, arguments, QIODevice::ReadWrite);
    if (!process.waitForStarted(timeoutMs))
        return run; // not found or not executable: nothing was started
    run.started = true;
    process.closeWriteChannel();

    for (;;) {
        QByteArray chunk = process.readAllStandardOutput();
        qint64 room = maxBytes - run.output.size();
        if (chunk.size() > room) {
            run.output.append(chunk.constData(), static_cast<int>(room));
            run.truncated = true;
            break;
        }
        run.output.append(chunk);
        if (process.state() == QProcess::NotRunning)
            break;
        qint64 left = timeoutMs - clock.elapsed();
        if (left <= 0) {
            run.timedOut = true;
            break;
        }
        // False when the child ended (the loop then takes the rest) or the time ran out.
        process.waitForReadyRead(static_cast<int>(left));
    }

    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(1000);
    } else if (process.exitStatus() == QProcess::NormalExit) {
        run.exitCode = process.exitCode();
    }
    return run;
}

std::optional<std::string_view> commandNameOfStat(std::string_view stat)
{
    size_t open = stat.find('(');
    size_t close = stat.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open)
        return std::nullopt;
    return stat.substr(open + 1, close - open - 1);
}

std::optional<std::vector<std::string>> listProcessEntries(const std::string &procDir)
{
    DIR *dir = ::opendir(procDir.c_str());
    if (!dir)
        return std::nullopt;
    std::vector<std::string> entries;
    entries.reserve(512);
    for (;;) {
        errno = 0;
        dirent *entry = ::readdir(dir);
        if (!entry)
            break;
        if (isProcessEntry(entry->d_name))
            entries.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    return entries;
}

ProcessScan findProcess(const std::string &procDir, const std::vector<std::string> &entries,
                        std::string_view commandName)
{
    ProcessScan scan;
    int dirFd = ::open(procDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) {
        scan.vanished = static_cast<int>(entries.size());
        return scan;
    }
    char buffer[statReadLimit];
    std::string path;
    for (const std::string &entry : entries) {
        path.assign(entry).append("/stat");
        int fd = ::openat(dirFd, path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            ++scan.vanished;
            continue;
        }
        ssize_t n = readUpTo(fd, buffer, sizeof buffer);
        ::close(fd);
        if (n <= 0) {
            // A process that ended after the open reads as an error or as nothing.
            ++scan.vanished;
            continue;
        }
        ++scan.examined;
        auto name = commandNameOfStat(std::string_view(buffer, static_cast<size_t>(n)));
        if (name && *name == commandName) {
            scan.found = true;
            break;
        }
    }
    ::close(dirFd);
    return scan;
}

std::optional<ProcessScan> scanForProcess(const std::string &procDir, std::string_view commandName)
{
    auto entries = listProcessEntries(procDir);
    if (!entries)
        return std::nullopt;
    return findProcess(procDir, *entries, commandName);
}

std::string mostSevereStatusLine(std::string_view text,
                                 const std::function<int(std::string_view)> &severity,
                                 const std::function<void(std::string_view)> &onLine)
{
    std::string_view kept;
    bool haveKept = false;
    int keptSeverity = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        size_t next = end == std::string_view::npos ? text.size() : end + 1;
        if (end == std::string_view::npos)
            end = text.size();
        else if (end > start && text[end - 1] == '\r')
            --end;
        std::string_view line = text.substr(start, end - start);
        start = next;
        if (onLine)
            onLine(line);
        if (line.find("CODE=") == std::string_view::npos)
            continue;
        int level = severity(line);
        if (!haveKept || level > keptSeverity) {
            haveKept = true;
            kept = line;
            keptSeverity = level;
        }
        if (keptSeverity >= 4)
            break;
    }
    return std::string(kept);
}

QByteArray replyText(const char *buffer, int capacity)
{
    if (!buffer || capacity <= 0)
        return {};
    const void *nul = std::memchr(buffer, '\0', static_cast<size_t>(capacity));
    int length = nul ? static_cast<int>(static_cast<const char *>(nul) - buffer) : capacity;
    return QByteArray(buffer, length);
}

std::vector<QByteArray> statusLinesOfReply(const QByteArray &reply)
{
    std::vector<QByteArray> lines;
    for (const QByteArray &piece : reply.split('\r')) {
        if (piece.contains("CODE="))
            lines.push_back(piece);
    }
    return lines;
}

} // namespace jobwatch
