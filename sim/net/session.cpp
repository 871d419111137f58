#include "session.h"

#include "json.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zlpsim
{

long long monotonicMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

long long wallClockMs()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void sleepMs(int ms)
{
    if (ms <= 0)
        return;
    timespec left{ms / 1000, static_cast<long>(ms % 1000) * 1000000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

std::optional<LockScript> LockScript::parse(std::string_view text, std::string &error)
{
    LockScript script;
    if (text == "grant") {
        script.replies = {"CODE=00001"};
    } else if (text == "silent") {
        script.replies = {""};
    } else if (text.substr(0, 5) == "busy:") {
        const std::string count(text.substr(5));
        char *end = nullptr;
        const long n = std::strtol(count.c_str(), &end, 10);
        if (count.empty() || *end != '\0' || n < 0 || n > 100000) {
            error = "busy:N needs a count from 0 to 100000, not \"" + count + "\"";
            return std::nullopt;
        }
        script.replies.assign(static_cast<std::size_t>(n), "CODE=00002");
        script.replies.push_back("CODE=00001");
    } else if (text.substr(0, 8) == "replies:") {
        std::string_view list = text.substr(8);
        while (true) {
            const auto comma = list.find(',');
            const std::string_view item = list.substr(0, comma);
            std::string reply;
            if (item != "-" && (!decodeEscapes(item, reply) || reply.empty())) {
                error = "bad lock reply \"" + std::string(item) + "\"";
                return std::nullopt;
            }
            script.replies.push_back(reply);
            if (comma == std::string_view::npos)
                break;
            list.remove_prefix(comma + 1);
        }
    } else {
        error = "lock script must be grant, silent, busy:N or replies:R1,R2,...";
        return std::nullopt;
    }
    return script;
}

std::optional<std::string> LockScript::replyTo(int query) const
{
    if (replies.empty())
        return std::nullopt;
    const std::string &reply =
        replies[std::min(static_cast<std::size_t>(query), replies.size() - 1)];
    if (reply.empty())
        return std::nullopt;
    return reply;
}

PrinterSession::PrinterSession(const Behaviour &behaviour, BackChannel &backChannel, int job,
                               std::string streamPath)
    : behaviour_(behaviour), backChannel_(backChannel), pushed_(behaviour.status.size(), false)
{
    report_.job = job;
    report_.streamPath = std::move(streamPath);
    report_.startedMs = wallClockMs();
    startMono_ = monotonicMs();
}

PrinterSession::~PrinterSession()
{
    if (file_)
        std::fclose(file_);
}

bool PrinterSession::open(std::string &error)
{
    file_ = std::fopen(report_.streamPath.c_str(), "wb");
    if (!file_) {
        error = "cannot create " + report_.streamPath + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void PrinterSession::receive(const char *data, std::size_t size)
{
    if (size == 0)
        return;
    if (file_ && report_.recordError.empty() && std::fwrite(data, 1, size, file_) != size)
        report_.recordError = std::string("write failed: ") + std::strerror(errno);
    report_.bytes += size;
    if (!pastQueries_) {
        preamble_.append(data, size);
        answerQueries();
    }
    pushStatus();
    checkStall();
}

void PrinterSession::answerQueries()
{
    while (preamble_.compare(0, kLockQuery.size(), kLockQuery) == 0) {
        preamble_.erase(0, kLockQuery.size());
        const int query = queries_++;
        const bool busy = behaviour_.busyEvery > 0 && report_.job % behaviour_.busyEvery == 0;
        const int busyQueries = busy ? 2 : 0;
        const auto reply = query < busyQueries ? std::optional<std::string>("CODE=00002")
                                               : behaviour_.lock.replyTo(query - busyQueries);
        report_.lockReplies.push_back(reply.value_or(""));
        if (reply) {
            sleepMs(behaviour_.lockDelayMs);
            backChannel_.send(*reply);
        }
    }
    // Anything that cannot grow into another query starts the job proper.
    if (!preamble_.empty() && kLockQuery.substr(0, preamble_.size()) != preamble_) {
        pastQueries_ = true;
        preamble_.clear();
    }
}

void PrinterSession::pushStatus()
{
    for (std::size_t i = 0; i < behaviour_.status.size(); ++i) {
        if (!pushed_[i] && report_.bytes >= behaviour_.status[i].afterBytes) {
            pushed_[i] = true;
            backChannel_.send(behaviour_.status[i].text);
            report_.statusSent.push_back(behaviour_.status[i].text);
        }
    }
}

void PrinterSession::checkStall()
{
    if (!stallDone_ && !stalled_ && behaviour_.stallAfter &&
        report_.bytes >= *behaviour_.stallAfter) {
        stalled_ = true;
        report_.stalled = true;
        stallStartMs_ = monotonicMs();
        if (file_)
            std::fflush(file_); // what has arrived so far is on disk while the job hangs
    }
}

std::size_t PrinterSession::readAllowance() const
{
    if (stalled_)
        return 0;
    std::size_t allowance = behaviour_.readChunk;
    if (!stallDone_ && behaviour_.stallAfter && *behaviour_.stallAfter > report_.bytes)
        allowance = std::min<std::uint64_t>(allowance, *behaviour_.stallAfter - report_.bytes);
    return allowance;
}

int PrinterSession::stallRemainingMs() const
{
    if (!stalled_ || behaviour_.stallMs < 0)
        return -1;
    const long long left = stallStartMs_ + behaviour_.stallMs - monotonicMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

void PrinterSession::resume()
{
    if (stalled_) {
        stalled_ = false;
        stallDone_ = true;
    }
}

JobReport PrinterSession::finish(const std::string &closedBy, const std::string &transport,
                                 const std::string &endpoint, const std::string &peer)
{
    report_.closedBy = closedBy;
    report_.transport = transport;
    report_.endpoint = endpoint;
    report_.peer = peer;
    report_.durationMs = monotonicMs() - startMono_;
    if (file_) {
        if (std::fclose(file_) != 0 && report_.recordError.empty())
            report_.recordError = std::string("close failed: ") + std::strerror(errno);
        file_ = nullptr;
    }
    const int fd = ::open(report_.streamPath.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {
    };
    if (fd >= 0 && fstat(fd, &st) == 0 && st.st_size > 0) {
        void *map =
            mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
        if (map != MAP_FAILED) {
            report_.stream = decodeJobStream(static_cast<const std::uint8_t *>(map),
                                             static_cast<std::size_t>(st.st_size));
            munmap(map, static_cast<std::size_t>(st.st_size));
        }
    } else {
        report_.stream = decodeJobStream(nullptr, 0);
    }
    if (fd >= 0)
        ::close(fd);
    return report_;
}

namespace
{

void writePclXl(JsonWriter &w, const PclXlResult &x)
{
    w.beginObject();
    w.key("present").value(x.present);
    w.key("wellFormed").value(x.wellFormed);
    w.key("error").value(x.error);
    w.key("binding").value(x.binding);
    w.key("protocol").value(x.protocol);
    w.key("begin").value(static_cast<long long>(x.begin));
    w.key("end").value(static_cast<long long>(x.end));
    w.key("sessionEnded").value(x.sessionEnded);
    w.key("beginPages").value(x.beginPages);
    w.key("pages").value(x.pages);
    w.key("resolution").beginArray().value(x.unitsX).value(x.unitsY).endArray();
    w.key("measure").value(x.measure);
    w.key("operators").value(static_cast<long long>(x.operators));
    w.key("embeddedBytes").value(static_cast<long long>(x.embeddedBytes));
    w.key("pageList").beginArray();
    for (const PclXlPage &p : x.pageList) {
        w.beginObject();
        w.key("mediaSize").value(p.mediaSize);
        w.key("mediaSource").value(p.mediaSource);
        w.key("orientation").value(p.orientation);
        w.key("custom");
        if (p.customWidth && p.customHeight)
            w.beginArray().value(*p.customWidth).value(*p.customHeight).endArray();
        else
            w.null();
        w.key("customUnits").value(p.customUnits);
        w.key("duplexMode").value(p.duplexMode);
        w.key("duplexSide").value(p.duplexSide);
        w.key("copies").value(p.copies);
        w.endObject();
    }
    w.endArray();
    w.endObject();
}

} // namespace

std::string JobReport::toJson() const
{
    JsonWriter w;
    w.beginObject();
    w.key("job").value(job);
    w.key("transport").value(transport);
    w.key("endpoint").value(endpoint);
    w.key("peer").value(peer);
    w.key("stream").value(streamPath);
    w.key("bytes").value(static_cast<long long>(bytes));
    w.key("startedMs").value(startedMs);
    w.key("durationMs").value(durationMs);
    w.key("closedBy").value(closedBy);
    w.key("recordError").value(recordError);
    w.key("stalled").value(stalled);
    w.key("lockQueries").value(stream.lockQueries);
    w.key("lockReplies").strings(lockReplies);
    w.key("statusSent").strings(statusSent);
    w.key("vendorPrefix").value(stream.vendorPrefix);
    w.key("headerUels").value(stream.headerUels);
    w.key("carriageReturns").value(stream.carriageReturns);
    w.key("pjl").strings(stream.headerLines);
    w.key("pjlSet").beginObject();
    for (const auto &[name, value] : stream.settings)
        w.key(name).value(value);
    w.endObject();
    w.key("language").value(stream.language);
    w.key("pclxl");
    writePclXl(w, stream.pclxl);
    w.key("trailer").strings(stream.trailerLines);
    w.key("end").value(stream.end);
    w.endObject();
    return w.text() + "\n";
}

std::string JobReport::summary() const
{
    std::string s = "job " + std::to_string(job) + " " + transport + " " + endpoint + ": " +
                    std::to_string(bytes) + " bytes";
    if (stream.lockQueries > 0) {
        s += ", lock " + std::to_string(stream.lockQueries) + "x";
        if (!lockReplies.empty())
            s += " (last " + (lockReplies.back().empty() ? "silent" : lockReplies.back()) + ")";
    }
    s += ", pjl " + std::to_string(stream.headerLines.size()) + " lines";
    if (stream.pclxl.present)
        s += ", pclxl " + std::string(stream.pclxl.wellFormed ? "ok" : "BROKEN") + " " +
             std::to_string(stream.pclxl.pages) + " pages";
    else
        s += ", no pclxl";
    s += ", end " + stream.end + ", closed " + closedBy + ", " + std::to_string(durationMs) + " ms";
    if (!stream.pclxl.error.empty() && stream.pclxl.present)
        s += " [" + stream.pclxl.error + "]";
    return s;
}

} // namespace zlpsim
