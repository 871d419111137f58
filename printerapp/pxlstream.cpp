#include "pxlstream.h"

#include "geometry.h"
#include "jobtext.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

// Reads up to `length` bytes, waiting at most 200 ms at a time so a cancel is seen soon.
// Returns the count, 0 at the end of the data, -1 on error; *idle tells a time-out.
ssize_t readSome(int fd, char *buffer, size_t length, bool *idle)
{
    *idle = false;
    pollfd p = {fd, POLLIN, 0};
    const int ready = poll(&p, 1, 200);
    if (ready == 0 || (ready < 0 && errno == EINTR)) {
        *idle = true;
        return 0;
    }
    if (ready < 0)
        return -1;
    for (;;) {
        const ssize_t n = read(fd, buffer, length);
        if (n < 0 && errno == EINTR)
            continue;
        return n;
    }
}

pid_t startRasterizer(const char *rasterizer, const std::vector<std::string> &args, int *output)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    std::vector<char *> argv;
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        // The server's threads block and ignore signals (SIGPIPE, SIGTERM) that the
        // rasterizer must get: a cancel or a closed pipe ends it.
        sigset_t all;
        sigemptyset(&all);
        sigprocmask(SIG_SETMASK, &all, nullptr);
        signal(SIGPIPE, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        dup2(fds[1], STDOUT_FILENO);
        const int null = open("/dev/null", O_RDONLY);
        if (null >= 0)
            dup2(null, STDIN_FILENO);
        execv(rasterizer, argv.data());
        _exit(127);
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return -1;
    }
    *output = fds[0];
    return pid;
}

// Waits for the rasterizer; one that was told to stop and is still there after five seconds
// is killed, so a job never hangs on it.
int waitFor(pid_t pid, bool stopping)
{
    int status = 0;
    for (int waited = 0;; ++waited) {
        const pid_t done = waitpid(pid, &status, stopping ? WNOHANG : 0);
        if (done == pid)
            return status;
        if (done < 0 && errno != EINTR)
            return -1;
        if (stopping && done == 0) {
            if (waited == 50)
                kill(pid, SIGKILL);
            usleep(100000);
        }
    }
}

} // namespace

StreamResult streamJob(const char *rasterizer, const std::string &input, const JobRecord &job,
                       const std::string &rawOptions, bool fitPdf, int copies,
                       const StreamSink &sink, StreamStats &stats)
{
    LogLines log;
    const RasterChoice raster =
        chooseRaster(job.options.pageSize, job.options.resolution,
                     rawOptions.empty() ? nullptr : rawOptions.c_str(), log);
    static thread_local char headerBuffer[kHeaderSize];
    LineBuffer header(headerBuffer, sizeof headerBuffer);
    const char *position = buildJobHeader(job, header, log);

    std::vector<std::string> args =
        rasterizerArgs(duplexMode(job.options.duplex), raster, position);
    // The filter reads its PostScript from standard input; here the document is a file.
    args.back() = input;
    if (fitPdf)
        args.insert(args.end() - 1, "-dPDFFitPage");
    if (copies > 1)
        args.insert(args.end() - 1, "-dNumCopies=" + std::to_string(copies));

    int output = -1;
    const pid_t pid = startRasterizer(rasterizer, args, &output);
    if (pid < 0) {
        stats.error = std::string("cannot start the rasterizer: ") + std::strerror(errno);
        return StreamResult::RasterizerFailed;
    }

    auto send = [&](const char *data, size_t length) {
        if (!sink.write(data, length))
            return false;
        stats.bytes += length;
        return true;
    };

    StreamResult result = StreamResult::Completed;
    size_t toDrop = raster.headBytes; // Ghostscript's own job preamble, replaced by our header
    bool headerSent = false;
    std::vector<char> buffer(262144);
    for (;;) {
        if (sink.cancelled()) {
            result = StreamResult::Cancelled;
            break;
        }
        bool idle = false;
        const ssize_t n = readSome(output, buffer.data(), buffer.size(), &idle);
        if (idle)
            continue;
        if (n <= 0)
            break;
        size_t start = 0;
        if (toDrop > 0) {
            start = std::min(toDrop, static_cast<size_t>(n));
            toDrop -= start;
        }
        if (start == static_cast<size_t>(n))
            continue;
        // The header goes out only once the rasterizer has printer data behind it.
        if (!headerSent && !send(header.data(), header.size())) {
            result = StreamResult::PrinterGone;
            break;
        }
        headerSent = true;
        if (!send(buffer.data() + start, static_cast<size_t>(n) - start)) {
            result = StreamResult::PrinterGone;
            break;
        }
    }
    if (result != StreamResult::Completed)
        kill(pid, SIGTERM);
    close(output);
    const int status = waitFor(pid, result != StreamResult::Completed);

    if (result == StreamResult::Cancelled) {
        // Whatever part of the page is at the printer is thrown away there.
        send(kCancelSequence, sizeof kCancelSequence - 1);
        return result;
    }
    if (result == StreamResult::PrinterGone) {
        stats.error = "the printer stopped taking data";
        return result;
    }
    if (status != 0) {
        stats.error = WIFEXITED(status) ? "the rasterizer failed with exit code " +
                                              std::to_string(WEXITSTATUS(status))
                                        : "the rasterizer died";
        if (headerSent)
            send(kCancelSequence, sizeof kCancelSequence - 1);
        return StreamResult::RasterizerFailed;
    }
    // A document without pages still ends with the trailer, as in the filter.
    if (!send(kTrailer, sizeof kTrailer - 1)) {
        stats.error = "the printer stopped taking data";
        return StreamResult::PrinterGone;
    }
    return StreamResult::Completed;
}
