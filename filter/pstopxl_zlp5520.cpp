// pstopxl_5520nw / pstopxl_5520nw_net: CUPS filter of the ZLP5520NW queues.
// Reads PostScript on standard input, has Ghostscript turn it into PCL XL and
// writes the printer stream (PJL header, PCL XL, PJL trailer) to standard
// output. Beside the stream it leaves the job settings file, the print log and
// (USB) the printer state file for the status monitor.

#include "geometry.h"
#include "jobfiles.h"
#include "joboptions.h"
#include "jobtext.h"
#include "lockreply.h"
#include "pdfpages.h"
#include "pjlheader.h"
#include "printerreasons.h"
#include "profile.h"
#include "rastermessages.h"
#include "spoolcount.h"
#include "sysio.h"
#include "timetexts.h"

#include <cups/cups.h>
#include <cups/ppd.h>
#include <cups/sidechannel.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#define TAG "DEBUG:[VARN-ZLP5520NW]"

char buffersend[kHeaderSize];
const char *printerState = "/opt/varn/ZLP5520NW/bin/usb/config/printerState";
const char *printerName = "";
const char *JobID = "0";
const char *ready = "CODE=10001";
const char *printing = "CODE=10023";
const char *PasswdError = "CODE=99999";
const char *CommunicateError = "CODE=44444";

namespace
{

const char kRasterizer[] = "/opt/varn/ZLP5520NW/bin/usb/zlp5520nw/bin/gs";
const char kDebugCopy[] = "/var/tmp/qzt.prn";
const char kKeyReason[] =
    "输入数字密码无效，请在电脑端打印队列中取消任务，并重新设置四位密码，重新打印\n";
constexpr size_t kBlockSize = 262144;
constexpr int kRasterizerPipeSize = 1 << 20; // an unprivileged process's limit
// How long the drain after a block may take; a printer that takes no data for
// as long counts as one drain failure too.
constexpr double kDrainSeconds = 2.0;

pid_t gRasterizer = -1;
DebugCopy gCopy;
int gMessagesFd = -1; // the rasterizer's standard error
RasterizerMessages gMessages;
// Drain failures in a row (timeout, no response; I/O errors too in the
// network build) and printer writes that made no progress for kDrainSeconds.
int gDrainFailures = 0;
bool gSideChannel = true; // false when run by hand, without a backend to pace against
// The printer-state-reason that the printer's status last gave the queue.
std::string gPrinterReason;

// Run-log lines that only the USB build writes. None shows the digits of a
// secure-print key: the run log ends up in cupsd's log.
void logRun(const char *form, ...) __attribute__((format(printf, 1, 2)));
void logRun(const char *form, ...)
{
    if (!kProfile.verboseLog)
        return;
    va_list args, again;
    va_start(args, form);
    va_copy(again, args);
    char small[1024];
    const int n = std::vsnprintf(small, sizeof small, form, args);
    std::string text;
    if (n >= static_cast<int>(sizeof small)) {
        text.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(text.data(), text.size(), form, again);
        text.pop_back();
    } else if (n > 0) {
        text.assign(small, static_cast<size_t>(n));
    }
    va_end(again);
    va_end(args);
    std::fputs(hideKey(text).c_str(), stderr);
}

void logRunLines(const LogLines &lines)
{
    if (kProfile.verboseLog)
        for (const std::string &line : lines)
            std::fputs(hideKey(line).c_str(), stderr);
}

void writeState(const char *value)
{
    if (kProfile.stateFilePath)
        replaceFile(printerState, value, 8, OpenLog::StateFile);
}

// Drain requests whose wait a cancel cut short: their answers may still come,
// and must not be taken for the answer to the cancel's own drain.
int gUnansweredDrains = 0;

// Reads one side-channel message that is ready; false when none came in time.
bool readSideChannel(long long deadline, cups_sc_command_t &command, cups_sc_status_t &status,
                     char *data, int length)
{
    const int left = static_cast<int>(std::max(0LL, deadline - monotonicMs()));
    if (waitFor(CUPS_SC_FD, POLLIN, left) <= 0)
        return false;
    int datalen = length;
    return cupsSideChannelRead(&command, &status, data, &datalen, 0.0) == 0;
}

// cupsSideChannelDoRequest, with the wait for the answer our own: libcups
// waits on through signals, and a cancel must not wait for the printer.
cups_sc_status_t drainOutput(double timeout, char *data, int length)
{
    if (!gSideChannel)
        return CUPS_SC_STATUS_OK;
    const long long deadline = monotonicMs() + static_cast<long long>(timeout * 1000);
    cups_sc_command_t command = CUPS_SC_CMD_NONE;
    cups_sc_status_t status = CUPS_SC_STATUS_NONE;
    // A late answer already on its way is taken before the next request goes
    // out: libcups reads whatever the socket holds at once, so two answers must
    // not wait there together. One the printer still holds back does not delay
    // the request; should it come later, it is passed over below.
    constexpr int kLateAnswerMs = 50;
    while (gUnansweredDrains > 0) {
        char stale[8];
        if (!readSideChannel(std::min(deadline, monotonicMs() + kLateAnswerMs), command, status,
                             stale, sizeof stale))
            break;
        --gUnansweredDrains;
    }
    if (cupsSideChannelWrite(CUPS_SC_CMD_DRAIN_OUTPUT, CUPS_SC_STATUS_NONE, nullptr, 0, timeout))
        return CUPS_SC_STATUS_TIMEOUT;
    for (;;) {
        if (!readSideChannel(deadline, command, status, data, length)) {
            if (cancelRequested())
                ++gUnansweredDrains;
            return CUPS_SC_STATUS_TIMEOUT;
        }
        if (command != CUPS_SC_CMD_DRAIN_OUTPUT || gUnansweredDrains == 0)
            break;
        --gUnansweredDrains; // the answer to an earlier request
    }
    return command == CUPS_SC_CMD_DRAIN_OUTPUT ? status : CUPS_SC_STATUS_BAD_MESSAGE;
}

void writeOut(const char *bytes, size_t length)
{
    writeAll(STDOUT_FILENO, bytes, length);
}

} // namespace

// Ends the job on SIGTERM, SIGPIPE (SIGINT too in the network build) or after a
// stalled printer (code 14). It runs from the main flow as soon as the signal
// handler has recorded the signal, never inside the handler, so it may safely
// use buffered output, files and libcups.
[[noreturn]] void cancel_job(int code)
{
    gCancelling = 1;
    signal(SIGPIPE, SIG_IGN);
    if (gRasterizer > 0)
        kill(gRasterizer, SIGTERM);

    std::fprintf(stderr, TAG "cancel job=%d;\n", code);
    gCopy.keep(); // what went to the printer up to here
    writeOut(kCancelSequence, sizeof kCancelSequence - 1);

    char data[8] = {};
    const cups_sc_status_t status = drainOutput(1.0, data, 1);
    logRun(TAG "status=%d;\n", status);
    logRun("DEBUG:[VARN-ZLP660NW]\x1b%%-12345X@PJL CANCEL\n\x1b%%-12345X\n");

    std::fprintf(stderr, "STATE: -%s", kKeyReason);
    std::fputs(clearReasonLine(gPrinterReason).c_str(), stderr);
    std::fputs("INFO:空闲\n", stderr);

    writeState(ready);

    const int log = openForAppend(kProfile.printLogPath);
    if (log >= 0) {
        std::fprintf(stderr, TAG "open file ok %s\n", kProfile.printLogPath);
        appendText(log, kCancelledLine, kProfile.printLogPath);
        close(log);
    }

    const int result = cupsCancelJob(printerName, std::atoi(JobID));
    logRun("[VARN-ZLP5520NW]cupsCancelJob int = %d\n", result);
    logRun("[VARN-ZLP5520NW]cupsCancelJoblasterror = %s\n", cupsLastErrorString());
    std::exit(0);
}

namespace
{

void cancelIfRequested()
{
    if (cancelRequested())
        cancel_job(gCancelSignal);
}

void installHandlers()
{
    if (!openWakeup())
        std::fprintf(stderr, TAG "no wake-up pipe, errno=%d\n", errno);
    struct sigaction action = {};
    action.sa_handler = onCancelSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: blocking calls return so the flow can cancel
    sigaction(SIGPIPE, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    if (kProfile.catchSigint)
        sigaction(SIGINT, &action, nullptr);
    // A blocked signal inherited from whoever started us would never arrive.
    sigset_t handled;
    sigemptyset(&handled);
    sigaddset(&handled, SIGPIPE);
    sigaddset(&handled, SIGTERM);
    if (kProfile.catchSigint)
        sigaddset(&handled, SIGINT);
    sigprocmask(SIG_UNBLOCK, &handled, nullptr);
}

// The wait is ours, as for the drain: it ends at once on a cancel.
int backChannelRead(char *buffer, size_t size, double timeout)
{
    std::memset(buffer, 0, size);
    if (timeout > 0 && waitFor(3, POLLIN, static_cast<int>(timeout * 1000)) <= 0)
        return 0;
    const ssize_t n = cupsBackChannelRead(buffer, size - 1, 0.0);
    return n < 0 ? 0 : static_cast<int>(n);
}

// After each block of the USB stream: whatever the printer said on the back
// channel, long enough to be a status report, becomes the printer state.
void storeBackChannel()
{
    char reply[512];
    const int received = backChannelRead(reply, sizeof reply, 0.0);
    // Printer text goes into the run log on one line, never as a status line for CUPS.
    logRun("[VARN-ZLP5520NW] DEBUG: filter return %s   byte=%d\n", sanitizeValue(reply).c_str(),
           received);
    if (received > 20)
        replaceFile(printerState, reply, 4, OpenLog::StateFile);
    std::fputs(
        reasonLines(std::string(reply, static_cast<size_t>(received)), gPrinterReason).c_str(),
        stderr);
}

// The eleventh failure in a row cancels the job.
void countDrainFailure()
{
    if (gDrainFailures > 9)
        cancel_job(14);
    ++gDrainFailures;
    sleepSeconds(0.5);
}

void drainAfterBlock()
{
    char data[8] = {};
    const cups_sc_status_t status = drainOutput(kDrainSeconds, data, 1);
    cancelIfRequested(); // a drain cut short by a cancel is no drain failure
    std::fprintf(stderr, "[VARN-ZLP5520NW] DEBUG: send to printer  status = %d\n", status);
    logRun("[VARN-ZLP5520NW] DEBUG: data = %s\n", data);
    if (status == CUPS_SC_STATUS_OK) {
        gDrainFailures = 0;
        return;
    }
    std::fprintf(stderr, "[VARN-ZLP5520NW] DEBUG: send to printer error status = %d\n", status);
    const bool stalled = status == CUPS_SC_STATUS_TIMEOUT || status == CUPS_SC_STATUS_NO_RESPONSE ||
                         (kProfile.ioErrorIsDrainFailure && status == CUPS_SC_STATUS_IO_ERROR);
    if (stalled)
        countDrainFailure();
}

// A write to the printer made no progress for as long as a drain may take:
// without this a printer that stops reading would hold the job in write() for
// ever, and the drain requests that end a stalled job would never be made.
bool onPrinterStall()
{
    if (gCancelling) {
        // The cancel sequence cannot wait for a printer that takes nothing.
        std::fputs(TAG "printer takes no data, cancel sequence not sent\n", stderr);
        return false;
    }
    std::fprintf(stderr, TAG "printer took no data for %.0f s\n", kDrainSeconds);
    countDrainFailure();
    return !cancelRequested();
}

void writeMessageLines(LogLines &lines)
{
    for (const std::string &line : lines)
        std::fputs(line.c_str(), stderr);
    lines.clear();
}

// Whatever the rasterizer has written on its standard error: at most 64 KiB a
// call, so that a chatty document cannot keep the filter from the data.
void readMessages()
{
    char buffer[4096];
    LogLines lines;
    for (int i = 0; i < 16 && gMessagesFd >= 0; ++i) {
        const ssize_t n = read(gMessagesFd, buffer, sizeof buffer);
        if (n > 0) {
            gMessages.feed(buffer, static_cast<size_t>(n), lines);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            break;
        } else { // the rasterizer has closed it
            serveWhileWaiting(-1, nullptr);
            close(gMessagesFd);
            gMessagesFd = -1;
            gMessages.finish(lines);
        }
    }
    writeMessageLines(lines);
}

// After the rasterizer has ended: what is left in the pipe, then the rest of
// an unfinished line.
void endMessages()
{
    for (int round = 0; round < 64 && gMessagesFd >= 0; ++round) {
        pollfd pfd{gMessagesFd, POLLIN, 0};
        if (poll(&pfd, 1, 0) <= 0)
            break; // a process of its own may still hold the pipe: not waited for
        readMessages();
    }
    if (gMessagesFd >= 0) {
        serveWhileWaiting(-1, nullptr);
        close(gMessagesFd);
        gMessagesFd = -1;
        LogLines lines;
        gMessages.finish(lines);
        writeMessageLines(lines);
    }
}

// The job header in front of the first block, in the stream and in the copy.
void sendHeader(int copy)
{
    const size_t headerLength = std::strlen(buffersend);
    const size_t sent = writeAll(STDOUT_FILENO, buffersend, headerLength);
    logRun("[VARN-ZLP5520NW] DEBUG: send to printer head \n%s", buffersend);
    // A short write is logged by both builds; only the header text is the USB build's.
    if (sent < headerLength)
        std::fprintf(stderr,
                     "[VARN-ZLP5520NW] DEBUG: send to printer head error writecont != %zu\n",
                     headerLength);
    if (copy >= 0) {
        writeAll(copy, buffersend, headerLength);
        logRun("[VARN-ZLP5520NW] DEBUG: write to printer log head \n%s", buffersend);
    }
}

[[noreturn]] void endAfterRasterizer(const char *form, int value)
{
    std::fprintf(stderr, form, value);
    std::exit(0);
}

} // namespace

// Runs the rasterizer and streams its output behind the job header. Returns
// only when the rasterizer succeeded; every other end finishes the process.
// Output of no more than the preamble sends nothing here, not even the header.
void pstopxlexec(const char *rasterizer, const char *debugCopy, const RasterChoice &raster,
                 int duplex, const char *position)
{
    int fds[2], messages[2];
    if (pipe2(fds, O_CLOEXEC) != 0 || pipe2(messages, O_CLOEXEC) != 0) {
        std::fprintf(stderr, "Unable to create pipe to talk to pstopxl process. errno = %d (%s)\n",
                     errno, std::strerror(errno));
        std::exit(0);
    }
    // Room for a few blocks, so that Ghostscript renders on while we wait for a drain instead
    // of stopping every 64 KiB (kernel memory, not ours; best effort).
    fcntl(fds[0], F_SETPIPE_SZ, kRasterizerPipeSize);

    const std::vector<std::string> args = rasterizerArgs(duplex, raster, position);
    std::vector<char *> argv;
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);

    gRasterizer = fork();
    if (gRasterizer < 0) {
        std::fprintf(stderr, "Unable to fork a pstopxl process. errno=%d (%s)\n", errno,
                     std::strerror(errno));
        std::exit(0);
    }
    if (gRasterizer == 0) {
        for (int sig : {SIGPIPE, SIGTERM, SIGINT})
            signal(sig, SIG_DFL);
        // Ghostscript's standard error carries what the document prints: it
        // goes to us, never straight to cupsd. Our own complaint still does.
        const int log = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 10);
        dup2(fds[1], STDOUT_FILENO);
        dup2(messages[1], STDERR_FILENO);
        execv(rasterizer, argv.data());
        const int error = errno;
        dprintf(log, TAG "execl() of pstopxl ('%s') failed, errno=%d (%s)\n", rasterizer, error,
                std::strerror(error));
        // Not 0: a rasterizer that never ran must not pass for a finished job.
        _exit(127);
    }

    const int input = fds[0];
    close(fds[1]);
    close(messages[1]);
    gMessagesFd = messages[0];
    // Both pipes are read without blocking, and every wait below also reads
    // the messages: the rasterizer never stalls on one pipe while we wait on
    // the other.
    fcntl(input, F_SETFL, fcntl(input, F_GETFL) | O_NONBLOCK);
    fcntl(gMessagesFd, F_SETFL, fcntl(gMessagesFd, F_GETFL) | O_NONBLOCK);
    serveWhileWaiting(gMessagesFd, readMessages);
    if (kProfile.debugCopy)
        gCopy.open(debugCopy);
    const int copy = gCopy.fd();

    std::fprintf(stderr, "[VARN-ZLP5520NW] DEBUG:resolution = %s\n", raster.resolutionArg.c_str());
    logRun("[VARN-ZLP5520NW] DEBUG: headbuffer = (char *)malloc(%zu); ok\n", raster.headBytes);

    // The rasterizer's own job preamble is replaced by our header: cut exactly
    // its first 63 (64 at 1200 dpi) bytes, however the pipe delivers them.
    char head[65] = {};
    readFull(input, head, raster.headBytes);
    cancelIfRequested();
    logRun("[VARN-ZLP5520NW] DEBUG gs head: %s\n", head);

    // A whole block fits into the pipe to the backend: one move instead of four, and the drain
    // after it still keeps the printer at most a block behind.
    struct stat out = {};
    if (fstat(STDOUT_FILENO, &out) == 0 && S_ISFIFO(out.st_mode))
        fcntl(STDOUT_FILENO, F_SETPIPE_SZ, static_cast<int>(kBlockSize));
    StreamCopier copier(input, STDOUT_FILENO, copy);
    bool first = true;
    bool end = false;
    while (!end) {
        // One block: up to 262144 bytes, then a drain that paces us to the printer.
        size_t taken = 0;
        size_t written = 0;
        if (first) {
            // The header goes out only once the rasterizer has printer data behind it.
            char byte;
            const size_t got = readFull(input, &byte, 1);
            cancelIfRequested();
            if (got == 0)
                break;
            sendHeader(copy);
            written = writeAll(STDOUT_FILENO, &byte, 1);
            if (copy >= 0)
                writeAll(copy, &byte, 1);
            taken = 1;
        }
        while (taken < kBlockSize) {
            const ssize_t n = copier.move(kBlockSize - taken);
            if (n < 0 && errno == EINTR && !cancelRequested())
                continue;
            cancelIfRequested();
            if (n <= 0) {
                end = true;
                break;
            }
            taken += static_cast<size_t>(n);
            written += copier.lastWritten();
        }
        if (taken == 0)
            break;
        if (written < taken)
            std::fputs("[VARN-ZLP5520NW] DEBUG: send to printer error writecont != bytes_read\n",
                       stderr);

        drainAfterBlock();
        cancelIfRequested();
        if (kProfile.storeBackChannel)
            storeBackChannel();
        first = false;
    }
    gCopy.keep();

    // The printer data is out: a printer that goes away now no longer cancels.
    signal(SIGPIPE, SIG_IGN);
    gBrokenPipeCancels = 0;
    int status = 0;
    pid_t waited;
    while ((waited = waitChild(gRasterizer, &status)) < 0 && errno == EINTR)
        cancelIfRequested();
    cancelIfRequested();
    endMessages();
    if (waited < 0) {
        std::fprintf(stderr, TAG "Wait for pstopxl process to terminated failed. errno = %d (%s)\n",
                     errno, std::strerror(errno));
        std::exit(0);
    }
    gRasterizer = -1;
    if (status == 0) {
        close(input);
        return;
    }
    if (WIFEXITED(status))
        endAfterRasterizer(TAG "pstopxl failed.  Exit code=%d\n", WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        endAfterRasterizer(TAG "pstopxl process died due to a signal %d.\n", WTERMSIG(status));
    endAfterRasterizer(TAG "pstopxl process died with exit code %d\n", status);
}

int checkLockPrinter()
{
    static const char kQuestion[] = "LockPrinter?";
    static char reply[10240];
    char data[16] = {};
    LogLines log;
    int number = kNoReply;

    writeOut(kQuestion, sizeof kQuestion - 1);
    logRun("[VARN-ZLP5520NW] DEBUG: LockPrinter?\n");
    int status = drainOutput(10.0, reply, sizeof reply);
    logRun("[VARN-ZLP5520NW] DEBUG: LockPrinter?_status= %d\n", status);

    for (;;) {
        int received = backChannelRead(reply, sizeof reply, 10.0);
        logRun("[VARN-ZLP5520NW] DEBUG: LockPrinter? receive bytes = %d recevied data= %s\n",
               received, sanitizeValue(reply).c_str());
        if (cancelRequested())
            return 2;
        if (received <= 3) {
            number = kNoReply;
            logRun("[VARN-ZLP5520NW] DEBUG: LockPrinter can not receive data from printer\n");
            status = drainOutput(10.0, data, 1);
            logRun("[VARN-ZLP5520NW] DEBUG: LockPrinter?_status= %d\n", status);
            for (int i = 0; i < 3 && !cancelRequested(); ++i) {
                logRun("[VARN-ZLP5520NW] DEBUG: LockPrinter can not read a thing then read "
                       "again\n");
                received = backChannelRead(reply, sizeof reply, kProfile.lockRereadSeconds);
                logRun("[VARN-ZLP5520NW] DEBUG: LockPrinter? receive bytes = %d recevied "
                       "data= %s\n",
                       received, sanitizeValue(reply).c_str());
                if (received > 1)
                    break;
            }
        }
        log.clear();
        number = parseLockReply(std::string(reply, std::strlen(reply)), number, log);
        logRunLines(log);
        if (number == 1)
            return 0;
        logRun("[VARN-ZLP5520NW] DEBUG: (LockPrinter?)OPL_Response_NumTmp!!!=%d\n", number);
        if (number == 2 || number == kNoReply || cancelRequested())
            break;
        logRun("[VARN-ZLP5520NW] DEBUG: (LockPrinter?)OPL_Response_Num!!!!=%d\n", number);
    }
    logRun("[VARN-ZLP5520NW] DEBUG: LockPrinter receives 0xff 2 1 printer busy or ok\n");
    logRun("[VARN-ZLP5520NW] DEBUG: OPL_Response_Num = %d\n", number);
    return number == 2 ? 1 : 2;
}

namespace
{

void sendTrailer()
{
    char data[8] = {};
    const cups_sc_status_t first = drainOutput(1.0, data, 1);
    writeOut(kTrailer, sizeof kTrailer - 1);
    const cups_sc_status_t second = drainOutput(kProfile.trailerDrainSeconds, data, 1);
    logRun(TAG "status=%d;\n", second);
    logRun(TAG "status=%d;\n", first);
    // The trailer as the run log shows it: the job end without the vendor prefix.
    logRun(TAG "\x1b%%-12345X@PJL EOJ\n\x1b%%-12345X");
}

struct Arguments {
    const char *user, *title, *copies, *options;
};

ppd_file_t *markOptions(const Arguments &args)
{
    cups_option_t *options = nullptr;
    if (args.options) {
        const int count = cupsParseOptions(args.options, 0, &options);
        cupsFreeOptions(count, options);
        if (count < 0) {
            logRun(TAG "illegal option.return 0\n");
            std::exit(0);
        }
    }

    // The destination list is not needed: the queue's PPD says everything,
    // and asking cupsd for it would cost every job a round trip.
    const char *ppdPath = std::getenv("PPD");
    ppd_file_t *ppd = ppdPath && *ppdPath ? ppdOpenFile(ppdPath) : nullptr;

    options = nullptr;
    const int count = args.options ? cupsParseOptions(args.options, 0, &options) : 0;
    if (count != 0)
        logRun(TAG "(QZTTEST)num_options=%d;\n", count);
    ppdMarkDefaults(ppd);
    cupsMarkOptions(ppd, count, options);
    cupsFreeOptions(count, options);
    return ppd;
}

void writeJobFiles(const JobRecord &job, const Arguments &args, const TimeTexts &times)
{
    const JobOptions &o = job.options;
    logRun(TAG "resolution=%s\n", o.resolution.c_str());
    logRun(TAG "paperSize=%s\n", o.pageSize.c_str());
    logRun(TAG "paperTray=%s\n", o.inputSlot.c_str());
    logRun(TAG "paperType=%s\n", o.mediaType.c_str());
    logRun(TAG "Duplex=%s\n", o.duplex.c_str());
    replaceFile(kProfile.settingsPath, settingsText(o), 8, OpenLog::JobFile);

    const int log = openForAppend(kProfile.printLogPath);
    if (log < 0)
        return;
    const std::string spool = spoolPath(JobID);
    std::fprintf(stderr, TAG " psfilepth for get Page Count= %s\n", spool.c_str());
    SpoolCount count;
    if (std::FILE *file = std::fopen(spool.c_str(), "re")) {
        char start[1024];
        const size_t got = std::fread(start, 1, sizeof start, file);
        if (isPdfStart(start, got)) {
            // CUPS keeps most jobs as PDF, which has no page comments to scan.
            std::fclose(file);
            std::string error;
            count.pages = pdfPageCount(spool.c_str(), error);
            if (!error.empty())
                logRun(TAG "pdf not readable: %s\n", sanitizeValue(error).c_str());
            logRun(TAG "pdf pages = %d\n", count.pages);
            logRun(TAG "can not find copies from ps \n");
        } else {
            std::rewind(file);
            LogLines lines;
            count = scanSpool(file, lines);
            std::fclose(file);
            logRunLines(lines);
        }
    } else {
        logRun(TAG "can not find copies from ps \n");
    }

    LogBlock block;
    block.printerNameLine = kProfile.printerNameLine;
    block.date = times.logDate;
    block.jobId = JobID;
    block.user = job.user;
    block.title = job.title;
    block.copies = std::max(std::atoi(args.copies), count.copies);
    block.pages = count.pages;
    std::fprintf(stderr, TAG "open file ok %s\n", kProfile.printLogPath);
    logRun(TAG "resolution=%s\n", o.resolution.c_str());
    logRun(TAG "paperSize=%s\n", o.pageSize.c_str());
    logRun(TAG "paperTray=%s\n", o.inputSlot.c_str());
    logRun(TAG "paperType=%s\n", o.mediaType.c_str());
    logRun(TAG "Duplex=%s\n", o.duplex.c_str());
    appendText(log, printLogBlock(block, o), kProfile.printLogPath);
    close(log);
}

void appendClosingLine(const char *line)
{
    const int log = openForAppend(kProfile.printLogPath);
    if (log < 0)
        return;
    std::fprintf(stderr, TAG "open file ok %s\n", kProfile.printLogPath);
    appendText(log, line, kProfile.printLogPath);
    close(log);
}

// A key of one to three digits cannot release the job at the printer: tell
// the user through the queue, keep the job visible for a while, and refuse it.
[[noreturn]] void refuseJob()
{
    std::fprintf(stderr, "STATE: +%s", kKeyReason);
    writeState(PasswdError);
    sleepSeconds(600);
    cancelIfRequested();
    std::exit(1);
}

void logStart(const timeval &tv, const struct timezone &tz, const TimeTexts &times,
              const char *self)
{
    char started[32] = {};
    const time_t seconds = tv.tv_sec;
    ctime_r(&seconds, started);
    logRun(TAG "**********************************************************\n");
    logRun(TAG "start filter:%s\n", self);
    logRun(TAG "StartTime:%s\n", started);
    logRun(TAG "tv_sec:%d\n", static_cast<int>(tv.tv_sec));
    logRun(TAG "tv_usec:%d\n", static_cast<int>(tv.tv_usec));
    logRun(TAG "tz_minuteswest:%d\n", tz.tz_minuteswest);
    logRun(TAG "tz_dsttime:%d\n", tz.tz_dsttime);
    logRun(TAG "JobPrintLogTime: %s\n", times.printLogTime.c_str());
    logRun(TAG "JobStartTime: %s\n", times.startTime.c_str());
}

} // namespace

int main(int argc, char *argv[])
{
    setbuf(stderr, nullptr);
    if (argc < 6) {
        std::fprintf(stderr, "Usage: %s job-id user title copies options [file]\n",
                     argc > 0 ? argv[0] : "pstopxl_5520nw");
        return 1;
    }

    // CUPS gives every filter its back channel on 3 and side channel on 4. Run
    // by hand they may be closed: park them on /dev/null, or the first file we
    // open would take their number and receive side-channel requests.
    gSideChannel = fcntl(4, F_GETFD) >= 0;
    for (int fd = 3; fd <= 4; ++fd)
        if (fcntl(fd, F_GETFD) < 0) {
            const int null = open("/dev/null", O_RDWR);
            if (null >= 0 && null != fd) {
                dup2(null, fd);
                close(null);
            }
        }

    // 1. Paths and the cancel handler.
    printerState = kProfile.stateFilePath ? kProfile.stateFilePath : "";
    installHandlers();
    watchPrinterOutput(STDOUT_FILENO, kDrainSeconds, onPrinterStall);

    // 2. The time, once.
    timeval tv = {};
    struct timezone tz = {};
    gettimeofday(&tv, &tz);
    std::tm local = {};
    const time_t now = tv.tv_sec;
    localtime_r(&now, &local);
    const TimeTexts times = formatTimeTexts(local);

    // 3. Host name for the printer's job log.
    JobRecord job;
    utsname node = {};
    if (uname(&node) == 0) {
        job.host = sanitizeValue(node.nodename);
    } else {
        std::fputs(TAG " get uname error", stderr);
        job.host = "localhost.localdomain";
    }

    // 4, 5. Run-log header and the job's arguments.
    printerName = argv[0];
    JobID = argv[1];
    const Arguments args = {argv[2], argv[3], argv[4], argv[5]};
    logStart(tv, tz, times, argv[0]);
    job.user = sanitizeValue(args.user);
    job.title = sanitizeValue(args.title);
    job.printLogTime = times.printLogTime;
    job.startTime = times.startTime;

    // 6-9. Options from the PPD as marked for this job, and the secure-print key.
    ppd_file_t *ppd = markOptions(args);
    const ChoiceLookup lookup = [ppd](const char *keyword) -> const char * {
        ppd_choice_t *choice = ppdFindMarkedChoice(ppd, keyword);
        return choice ? choice->choice : nullptr;
    };
    LogLines log;
    readLayoutOptions(lookup, job.options, log);
    const SecureKey key = readSecureKey(lookup, log);
    logRunLines(log);
    cancelIfRequested();
    if (key.state == KeyState::Refused)
        refuseJob();
    job.key = key.key;
    log.clear();
    readFinishingOptions(lookup, job.options, log);
    logRunLines(log);
    ppdClose(ppd);
    cancelIfRequested();

    // 10-12. Files for the monitor and the user.
    writeJobFiles(job, args, times);
    writeState(printing);
    cancelIfRequested();

    // 13-15. Rasterizer arguments and the job header.
    const int duplex = duplexMode(job.options.duplex);
    log.clear();
    const RasterChoice raster =
        chooseRaster(job.options.pageSize, job.options.resolution, args.options, log);
    for (const std::string &line : log) // both builds log the page geometry
        std::fputs(line.c_str(), stderr);
    if (raster.fellBack)
        std::fprintf(stderr, TAG "unknown size or resolution (%s, %s): printing A4 at %s\n",
                     job.options.pageSize.c_str(), job.options.resolution.c_str(),
                     raster.resolutionArg.c_str());
    LineBuffer header(buffersend, sizeof buffersend);
    log.clear();
    const char *position = buildJobHeader(job, header, log);
    logRunLines(log);

    waitForPrinterLock();
    cancelIfRequested();

    // 16-18. Print.
    std::fputs("INFO:打印机正在打印\n", stderr);
    // A document without pages still ends with the trailer: harmless to the
    // printer, and the job ends the same way whatever the rasterizer made.
    pstopxlexec(kRasterizer, kDebugCopy, raster, duplex, position);
    cancelIfRequested();
    sendTrailer();
    cancelIfRequested();

    // 19-21. The job is done: later signals no longer cancel it.
    writeState(ready);
    cancelIfRequested();
    appendClosingLine(kCompletedLine);
    signal(SIGTERM, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGINT, SIG_IGN);
    std::fprintf(stderr, "STATE: -%s", kKeyReason);
    std::fputs(clearReasonLine(gPrinterReason).c_str(), stderr);
    std::fputs("INFO:空闲\n", stderr);
    return 0;
}
