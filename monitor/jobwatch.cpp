#include "jobwatch.h"

#include <QElapsedTimer>
#include <QProcess>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
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

// A stat text is a few hundred bytes; the name in it is at most 15. A status text is about
// 1.5 KB, its Uid line within the first dozen lines.
constexpr size_t statReadLimit = 4096;
// cups-files.conf is a few KB of comments and a dozen directives.
constexpr size_t confReadLimit = 64 * 1024;

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

// Reads what a file relative to `dirFd` holds, up to `limit` bytes; nothing when it cannot be
// opened or read (a process that ended, a missing file).
std::optional<std::string> readAt(int dirFd, const char *name, size_t limit)
{
    int fd = ::openat(dirFd, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string text(limit, '\0');
    ssize_t n = readUpTo(fd, text.data(), limit);
    ::close(fd);
    if (n < 0)
        return std::nullopt;
    text.resize(static_cast<size_t>(n));
    return text;
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

// A decimal id of at most 10 digits that fits uid_t; the whole of `text`.
std::optional<uid_t> parseId(std::string_view text)
{
    if (text.empty() || text.size() > 10)
        return std::nullopt;
    unsigned long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > static_cast<uid_t>(-1))
        return std::nullopt;
    return static_cast<uid_t>(value);
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

std::optional<ProcessUids> uidsOfStatus(std::string_view status)
{
    size_t start = 0;
    while (start < status.size()) {
        size_t end = status.find('\n', start);
        if (end == std::string_view::npos)
            end = status.size();
        std::string_view line = status.substr(start, end - start);
        start = end + 1;
        if (line.substr(0, 4) != "Uid:")
            continue;
        uid_t ids[4];
        std::string_view rest = line.substr(4);
        for (uid_t &id : ids) {
            rest = trimmed(rest);
            size_t cut = 0;
            while (cut < rest.size() && !isBlank(rest[cut]))
                ++cut;
            auto value = parseId(rest.substr(0, cut));
            if (!value)
                return std::nullopt;
            id = *value;
            rest.remove_prefix(cut);
        }
        if (!trimmed(rest).empty())
            return std::nullopt;
        return ProcessUids{ids[0], ids[1], ids[2], ids[3]};
    }
    return std::nullopt;
}

ProcessScan findProcess(const std::string &procDir, const std::vector<std::string> &entries,
                        std::string_view commandName, uid_t filterUid)
{
    ProcessScan scan;
    int dirFd = ::open(procDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) {
        scan.vanished = static_cast<int>(entries.size());
        return scan;
    }
    std::string path;
    for (const std::string &entry : entries) {
        path.assign(entry).append("/stat");
        std::optional<std::string> stat = readAt(dirFd, path.c_str(), statReadLimit);
        if (!stat || stat->empty()) {
            // A process that ended after the listing reads as an error or as nothing.
            ++scan.vanished;
            continue;
        }
        ++scan.examined;
        auto name = commandNameOfStat(*stat);
        if (!name || *name != commandName)
            continue;
        // A process of that name: its name and ids read again through one handle of its
        // folder, so that a process that ended and left its pid to another in between
        // cannot lend the newcomer's ids to the name (the reads then fail instead).
        std::optional<ProcessUids> ids;
        int processFd = ::openat(dirFd, entry.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (processFd >= 0) {
            std::optional<std::string> again = readAt(processFd, "stat", statReadLimit);
            std::optional<std::string> status = readAt(processFd, "status", statReadLimit);
            ::close(processFd);
            if (again && status && commandNameOfStat(*again) == name)
                ids = uidsOfStatus(*status);
        }
        if (ids && runsWhollyAs(*ids, filterUid)) {
            scan.found = true;
            break;
        }
        ++scan.impostors;
    }
    ::close(dirFd);
    return scan;
}

std::optional<ProcessScan> scanForProcess(const std::string &procDir, std::string_view commandName,
                                          uid_t filterUid)
{
    auto entries = listProcessEntries(procDir);
    if (!entries)
        return std::nullopt;
    return findProcess(procDir, *entries, commandName, filterUid);
}

std::vector<std::string> cupsUserValues(std::string_view conf)
{
    std::vector<std::string> values;
    size_t start = 0;
    while (start < conf.size()) {
        size_t end = conf.find('\n', start);
        if (end == std::string_view::npos)
            end = conf.size();
        std::string raw = std::string(conf.substr(start, end - start));
        start = end + 1;
        // A "#" ends the line's text unless a backslash escapes it; the backslash goes.
        for (size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] != '#')
                continue;
            if (i > 0 && raw[i - 1] == '\\') {
                raw.erase(i - 1, 1);
                --i;
                continue;
            }
            raw.resize(i);
            break;
        }
        std::string_view line = trimmed(raw);
        size_t cut = 0;
        while (cut < line.size() && !isBlank(line[cut]))
            ++cut;
        std::string_view value = trimmed(line.substr(cut));
        if (equalIgnoringCase(line.substr(0, cut), "User") && !value.empty())
            values.emplace_back(value);
    }
    return values;
}

std::optional<uid_t>
filterUidOfCupsFiles(std::string_view conf,
                     const std::function<std::optional<uid_t>(const std::string &)> &lookup)
{
    std::optional<uid_t> uid = lookup(kDefaultFilterUser);
    for (const std::string &value : cupsUserValues(conf)) {
        std::optional<uid_t> candidate;
        if (value[0] >= '0' && value[0] <= '9') {
            size_t digits = 0;
            while (digits < value.size() && value[digits] >= '0' && value[digits] <= '9')
                ++digits;
            candidate = parseId(std::string_view(value).substr(0, digits));
        } else {
            candidate = lookup(value);
        }
        // cupsd will not run filters as root, and keeps what it had for an unknown name.
        if (candidate && *candidate != 0)
            uid = candidate;
    }
    return uid;
}

std::optional<uid_t> filterUidOfSystem(const std::string &confPath)
{
    std::string conf;
    // Not a FIFO or device planted to stall the monitor: only a regular file is read.
    int fd = ::open(confPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd >= 0) {
        struct stat st {
        };
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
            conf.resize(confReadLimit);
            ssize_t n = readUpTo(fd, conf.data(), confReadLimit);
            conf.resize(n > 0 ? static_cast<size_t>(n) : 0);
        }
        ::close(fd);
    }
    return filterUidOfCupsFiles(conf, [](const std::string &name) -> std::optional<uid_t> {
        passwd entry{};
        passwd *found = nullptr;
        std::vector<char> buffer(16384);
        if (::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
            return std::nullopt;
        return found->pw_uid;
    });
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
