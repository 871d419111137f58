// The installed filters behind the CUPS backend stand-in: drain statuses, the
// back channel, the network build's lock query, and the printer going away.
#include "filterrun.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <unistd.h>
#include <vector>

namespace
{

const std::string kState = "/opt/varn/ZLP5520NW/bin/usb/config/printerState";
const std::string kTrailer = "\x1b%-12345X\n\x1b#+54321X_VARN@PJL EOJ\n\x1b%-12345X";
const std::string kCancel = "\x1b%-12345X\n\x1b#+54321X_VARN@PJL CANCEL\n\x1b%-12345X";
const std::string kScript = "/var/tmp/backend.script";
const std::string kEvents = "/var/tmp/backend.events";
const std::string kUsbFilter = "/usr/lib/cups/filter/pstopxl_5520nw";
const std::string kNetFilter = "/usr/lib/cups/filter/pstopxl_5520nw_net";

size_t count(const std::string &text, const std::string &part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

struct BackendRun {
    FilterRun run;
    std::string events;
    double seconds = 0;
};

// Runs a filter under zlpsim-backend with the given script; long waits of the
// filter's own (its pauses between retries) pass at once.
BackendRun runBehindBackend(const std::string &filter, const std::string &script,
                            const std::string &options = "", bool fastTime = true)
{
    writeFile(kScript, script);
    unlink(kEvents.c_str());
    FilterCall call;
    call.program = ZLPSIM_BACKEND;
    call.queue = "zlpsim-backend";
    const bool net = filter == kNetFilter;
    call.ppd = net ? "/usr/share/cups/model/ZLP5520NW-net.ppd" : call.ppd;
    call.args = {"--script", kScript,     "--events",
                 kEvents,    "--timeout", "90",
                 "--",       filter,      net ? "ZLP5520NW-net" : "ZLP5520NW",
                 "42",       "alice",     "report",
                 "1",        options};
    if (fastTime)
        call.env = {std::string("LD_PRELOAD=") + ZLP_FASTTIME};
    call.timeoutSeconds = 100;
    const auto start = std::chrono::steady_clock::now();
    BackendRun result;
    result.run = runFilter(call);
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.events = readFile(kEvents);
    return result;
}

class FilterBehindBackend : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_NE(std::getenv("ZLP_IN_SANDBOX"), nullptr) << "run through tests/sandbox/sandbox.sh";
        unlink(kState.c_str());
        writeFile("/var/tmp/job.ps", postscript(1));
        // Twelve full blocks of raster data behind the 63-byte preamble.
        setRasterizer("head -c $((63 + 12 * 262144)) /dev/zero\n");
    }
};

TEST_F(FilterBehindBackend, TenStalledDrainsAreToleratedTheEleventhCancels)
{
    BackendRun ten = runBehindBackend(kUsbFilter, "drain timeout*10 ok\n");
    EXPECT_EQ(ten.run.exitCode, 0) << ten.run.err;
    EXPECT_TRUE(endsWith(ten.run.out, kTrailer));
    EXPECT_FALSE(contains(ten.run.err, "cancel job"));
    // One drain after each of the 12 blocks, two around the trailer.
    EXPECT_EQ(count(ten.events, " drain "), 14u) << ten.events;

    BackendRun eleven = runBehindBackend(kUsbFilter, "drain no-response timeout*10\n");
    EXPECT_EQ(eleven.run.exitCode, 0);
    EXPECT_TRUE(contains(eleven.run.err, "DEBUG:[VARN-ZLP5520NW]cancel job=14;\n"));
    EXPECT_TRUE(endsWith(eleven.run.out, kCancel));
    EXPECT_FALSE(contains(eleven.run.out, "@PJL EOJ"));
    EXPECT_EQ(readFile(kState), "CODE=10001");
}

TEST_F(FilterBehindBackend, IoErrorsCancelOnlyTheNetworkJob)
{
    const BackendRun usb = runBehindBackend(kUsbFilter, "drain io-error*12\n");
    EXPECT_EQ(usb.run.exitCode, 0);
    EXPECT_TRUE(endsWith(usb.run.out, kTrailer));
    EXPECT_FALSE(contains(usb.run.err, "cancel job"));

    const BackendRun net = runBehindBackend(kNetFilter, "lock CODE=00001\ndrain ok io-error*11\n");
    EXPECT_EQ(net.run.exitCode, 0);
    EXPECT_TRUE(contains(net.run.err, "cancel job=14;"));
    EXPECT_TRUE(endsWith(net.run.out, kCancel));
}

TEST_F(FilterBehindBackend, LongBackChannelTextBecomesThePrinterState)
{
    // The rasterizer fails after two blocks, so the state file keeps what the
    // printer last said instead of being reset to ready.
    setRasterizer("head -c $((63 + 2 * 262144)) /dev/zero\nexit 1\n");
    const std::string status = "CODE=10006\\rCODE=10023\\r padding";
    runBehindBackend(kUsbFilter, "backchannel after-drain 1 " + status + "\n");
    EXPECT_EQ(readFile(kState), "CODE=10006\rCODE=10023\r padding");

    runBehindBackend(kUsbFilter, "backchannel after-drain 1 CODE=10006\n");
    EXPECT_EQ(readFile(kState), "CODE=10023"); // 10 bytes are not a status report
}

TEST_F(FilterBehindBackend, NetworkJobWaitsForThePrintersPermission)
{
    const BackendRun at_once = runBehindBackend(kNetFilter, "lock CODE=00001\n");
    EXPECT_EQ(at_once.run.exitCode, 0) << at_once.run.err;
    EXPECT_EQ(at_once.run.out.compare(0, 12, "LockPrinter?"), 0);
    EXPECT_EQ(at_once.run.out.compare(12, 9, "\x1b%-12345X"), 0);
    EXPECT_TRUE(endsWith(at_once.run.out, kTrailer));
    EXPECT_FALSE(contains(at_once.run.err, "请稍后"));
    // The network build keeps no state file and no run log of the lock query.
    EXPECT_EQ(fileMode(kState), 0u);
    EXPECT_FALSE(contains(at_once.run.err, "LockPrinter"));

    const BackendRun busy =
        runBehindBackend(kNetFilter, "lock CODE=00002 CODE=00002 CODE=00002 CODE=00001\n");
    EXPECT_EQ(busy.run.exitCode, 0);
    EXPECT_EQ(count(busy.run.out, "LockPrinter?"), 4u);
    EXPECT_EQ(count(busy.run.err, "INFO:打印机忙，请稍后\n"), 3u);
    EXPECT_LT(busy.run.err.find("INFO:打印机忙"), busy.run.err.find("INFO:打印机正在打印"));
    EXPECT_TRUE(endsWith(busy.run.out, kTrailer));

    const BackendRun unreadable = runBehindBackend(kNetFilter, "lock CODE=0000A CODE=00001\n");
    EXPECT_EQ(count(unreadable.run.err, "INFO:正在连接打印机，请稍后\n"), 1u);
    EXPECT_TRUE(endsWith(unreadable.run.out, kTrailer));
}

TEST_F(FilterBehindBackend, TooShortFirstReplyIsReadAgainWithoutAskingAgain)
{
    // Two bytes are no answer: the filter drains (request 2) and reads again,
    // and the permission that arrives then lets the job print.
    const BackendRun run =
        runBehindBackend(kNetFilter, "lock ab\nbackchannel after-drain 2 CODE=00001\n");
    EXPECT_EQ(run.run.exitCode, 0);
    EXPECT_EQ(count(run.run.out, "LockPrinter?"), 1u);
    EXPECT_FALSE(contains(run.run.err, "请稍后"));
    EXPECT_TRUE(endsWith(run.run.out, kTrailer));
    EXPECT_LT(run.seconds, 5.0);
}

TEST_F(FilterBehindBackend, SilentPrinterKeepsTheJobWaitingWithoutSendingIt)
{
    // One silent query: a 10 s read, a drain, three 2 s re-reads; then permission.
    const BackendRun silent = runBehindBackend(kNetFilter, "lock silent CODE=00001\n");
    EXPECT_EQ(silent.run.exitCode, 0);
    EXPECT_GE(silent.seconds, 15.0);
    EXPECT_EQ(count(silent.run.err, "INFO:正在连接打印机，请稍后\n"), 1u);
    EXPECT_EQ(silent.run.out.compare(0, 24, "LockPrinter?LockPrinter?"), 0);
    EXPECT_TRUE(endsWith(silent.run.out, kTrailer));
}

TEST_F(FilterBehindBackend, CancelWhileWaitingForTheLock)
{
    const BackendRun run =
        runBehindBackend(kNetFilter, "lock CODE=00002\nsignal SIGTERM on-stderr 打印机忙\n");
    EXPECT_EQ(run.run.exitCode, 0);
    EXPECT_TRUE(contains(run.run.err, "cancel job=15;"));
    EXPECT_TRUE(endsWith(run.run.out, kCancel));
    EXPECT_FALSE(contains(run.run.out, "@PJL SET"));
    EXPECT_LT(run.seconds, 10.0);
}

TEST_F(FilterBehindBackend, PrinterGoneMidStreamCancelsTheJob)
{
    const BackendRun run = runBehindBackend(kUsbFilter, "close-output after-bytes 300000\n");
    EXPECT_EQ(run.run.exitCode, 0);
    EXPECT_TRUE(contains(run.run.err, "cancel job=13;")) << run.run.err.substr(0, 2000);
    EXPECT_EQ(readFile(kState), "CODE=10001");
}

TEST_F(FilterBehindBackend, SigintCancelsOnlyTheNetworkBuild)
{
    const BackendRun net =
        runBehindBackend(kNetFilter, "lock CODE=00001\nsignal SIGINT after-drain 3\n");
    EXPECT_EQ(net.run.exitCode, 0);
    EXPECT_TRUE(contains(net.run.err, "cancel job=2;"));
    EXPECT_TRUE(endsWith(net.run.out, kCancel));

    const BackendRun usb = runBehindBackend(kUsbFilter, "signal SIGINT after-drain 3\n");
    EXPECT_EQ(usb.run.signal, 0);
    EXPECT_EQ(usb.run.exitCode, 128 + SIGINT);
}

} // namespace

namespace
{

// The time of the first event that begins with `what` (after its milliseconds); -1 when none.
double eventSeconds(const std::string &events, const std::string &what)
{
    for (size_t at = 0; at < events.size();) {
        const size_t end = events.find('\n', at);
        const std::string line = events.substr(at, end == std::string::npos ? end : end - at);
        const size_t blank = line.find(' ');
        if (blank != std::string::npos && line.compare(blank + 1, what.size(), what) == 0)
            return std::stod(line.substr(0, blank)) / 1000.0;
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    return -1;
}

// Whether the parts appear in text in this order.
bool inOrder(const std::string &text, const std::vector<std::string> &parts)
{
    size_t at = 0;
    for (const std::string &part : parts) {
        at = text.find(part, at);
        if (at == std::string::npos)
            return false;
        at += part.size();
    }
    return true;
}

class FilterTimeOuts : public FilterBehindBackend
{
  protected:
    void SetUp() override
    {
        FilterBehindBackend::SetUp();
        setRasterizer("head -c $((63 + 262144)) /dev/zero\n"); // one block
    }
    // Seconds from the event `from` to the event `to`, which must both have happened.
    static double between(const BackendRun &run, const std::string &from, const std::string &to)
    {
        const double start = eventSeconds(run.events, from);
        const double end = eventSeconds(run.events, to);
        EXPECT_GE(start, 0) << from << "\n" << run.events;
        EXPECT_GE(end, 0) << to << "\n" << run.events;
        return end - start;
    }
};

TEST_F(FilterTimeOuts, TrailerDrainsWaitOneSecondBeforeAndThreeOrFiveAfter)
{
    for (const std::string &filter : {kUsbFilter, kNetFilter}) {
        const bool net = filter == kNetFilter;
        const std::string lock = net ? "lock CODE=00001\n" : "";
        // The network build drains once after its lock question: its requests count one on.
        const std::string first = net ? "drain ok ok " : "drain ok ";
        const std::string n = net ? "3" : "2";
        const std::string m = net ? "4" : "3";

        const BackendRun before = runBehindBackend(filter, lock + first + "silent ok\n");
        EXPECT_EQ(before.run.exitCode, 0) << before.run.err;
        EXPECT_TRUE(endsWith(before.run.out, kTrailer));
        const double wait = between(before, "drain " + n + " silent", "drain " + m + " ");
        EXPECT_GE(wait, 0.9) << filter;
        EXPECT_LT(wait, 1.9) << filter;

        const BackendRun after = runBehindBackend(filter, lock + first + "ok silent\n");
        EXPECT_EQ(after.run.exitCode, 0) << after.run.err;
        const double rest = between(after, "drain " + m + " silent", "exit ");
        const double expected = net ? 5.0 : 3.0;
        EXPECT_GE(rest, expected - 0.1) << filter;
        EXPECT_LT(rest, expected + 1.5) << filter;
    }
}

TEST_F(FilterTimeOuts, BlockDrainWaitsTwoSecondsAndTheCancelsOne)
{
    for (const std::string &filter : {kUsbFilter, kNetFilter}) {
        const bool net = filter == kNetFilter;
        const std::string lock = net ? "lock CODE=00001\ndrain ok " : "drain ";
        const std::string block = net ? "2" : "1";
        const std::string next = net ? "3" : "2";

        const BackendRun slow = runBehindBackend(filter, lock + "silent ok ok\n");
        EXPECT_EQ(slow.run.exitCode, 0) << slow.run.err;
        EXPECT_TRUE(endsWith(slow.run.out, kTrailer));
        const double wait = between(slow, "drain " + block + " silent", "drain " + next + " ");
        EXPECT_GE(wait, 1.9) << filter;
        EXPECT_LT(wait, 2.9) << filter;

        // Cancelled while the block's drain is answered; the cancel's own drain goes unanswered.
        const BackendRun cancelled = runBehindBackend(
            filter, lock + "ok silent\nsignal SIGTERM after-drain " + block + "\n");
        EXPECT_EQ(cancelled.run.exitCode, 0) << cancelled.run.err;
        EXPECT_TRUE(endsWith(cancelled.run.out, kCancel));
        const double cancel = between(cancelled, "drain " + next + " silent", "exit ");
        EXPECT_GE(cancel, 0.9) << filter;
        EXPECT_LT(cancel, 1.9) << filter;
    }
}

TEST_F(FilterBehindBackend, TrailerRunLogIsBothStatusesThenTheJobEnd)
{
    setRasterizer("head -c $((63 + 262144)) /dev/zero\n");
    // After the block: ok; before the trailer: an I/O error (2); after it: a bad message (5).
    const BackendRun usb = runBehindBackend(kUsbFilter, "drain ok io-error bad-message\n");
    EXPECT_EQ(usb.run.exitCode, 0) << usb.run.err;
    EXPECT_TRUE(contains(usb.run.err, "DEBUG:[VARN-ZLP5520NW]status=5;\n"
                                      "DEBUG:[VARN-ZLP5520NW]status=2;\n"
                                      "DEBUG:[VARN-ZLP5520NW]\x1b%-12345X@PJL EOJ\n\x1b%-12345X"))
        << usb.run.err;
    // The run log shows the job end, not the trailer's vendor line.
    EXPECT_FALSE(contains(usb.run.err, "_VARN@PJL EOJ"));
    EXPECT_TRUE(endsWith(usb.run.out, kTrailer));

    const BackendRun net =
        runBehindBackend(kNetFilter, "lock CODE=00001\ndrain ok ok io-error bad-message\n");
    EXPECT_EQ(net.run.exitCode, 0) << net.run.err;
    EXPECT_FALSE(contains(net.run.err, "status="));
    EXPECT_FALSE(contains(net.run.err, "EOJ"));
    EXPECT_TRUE(endsWith(net.run.out, kTrailer));
}

TEST_F(FilterBehindBackend, NonFinalLockReplyIsReadAgainWithoutAskingAgain)
{
    // CODE=00003 is no answer yet: the filter reads on (10 s), drains once more (request 2),
    // and the permission that comes then lets the job print. The question went out once.
    const BackendRun run =
        runBehindBackend(kNetFilter, "lock CODE=00003\nbackchannel after-drain 2 CODE=00001\n");
    EXPECT_EQ(run.run.exitCode, 0) << run.run.err;
    EXPECT_EQ(count(run.run.out, "LockPrinter?"), 1u);
    EXPECT_EQ(count(run.events, " lock "), 1u) << run.events;
    EXPECT_FALSE(contains(run.run.err, "请稍后"));
    EXPECT_GE(run.seconds, 9.5);
    EXPECT_TRUE(endsWith(run.run.out, kTrailer));
}

TEST_F(FilterBehindBackend, CancelHandlerRunLogAndWhatTheNetworkBuildLeavesOut)
{
    const std::string usbLog = "/opt/varn/ZLP5520NW/bin/usb/print_log";
    // SIGTERM while the third block's drain is answered; the cancel's drain gets an I/O error.
    const BackendRun usb =
        runBehindBackend(kUsbFilter, "drain ok ok ok io-error\nsignal SIGTERM after-drain 3\n");
    EXPECT_EQ(usb.run.exitCode, 0) << usb.run.err;
    EXPECT_TRUE(endsWith(usb.run.out, kCancel));
    EXPECT_TRUE(inOrder(
        usb.run.err,
        {"DEBUG:[VARN-ZLP5520NW]cancel job=15;\n", "DEBUG:[VARN-ZLP5520NW]status=2;\n",
         "DEBUG:[VARN-ZLP660NW]\x1b%-12345X@PJL CANCEL\n\x1b%-12345X\n",
         "STATE: -输入数字密码无效，请在电脑端打印队列中取消任务，并重新设置四位密码，"
         "重新打印\nINFO:空闲\n",
         "[VARN-ZLP5520NW] DEBUG:Open Debug File=" + kState + " ok\n",
         "DEBUG:[VARN-ZLP5520NW]open file ok " + usbLog + "\n",
         "[VARN-ZLP5520NW]cupsCancelJob int = ", "[VARN-ZLP5520NW]cupsCancelJoblasterror = "}))
        << usb.run.err.substr(usb.run.err.find("cancel job"));
    EXPECT_EQ(readFile(kState), "CODE=10001");

    unlink(kState.c_str());
    const BackendRun net = runBehindBackend(
        kNetFilter, "lock CODE=00001\ndrain ok ok ok ok io-error\nsignal SIGTERM after-drain 4\n");
    EXPECT_EQ(net.run.exitCode, 0) << net.run.err;
    EXPECT_TRUE(endsWith(net.run.out, kCancel));
    EXPECT_TRUE(
        inOrder(net.run.err, {"DEBUG:[VARN-ZLP5520NW]cancel job=15;\n", "STATE: -", "INFO:空闲\n",
                              "DEBUG:[VARN-ZLP5520NW]open file ok "
                              "/opt/varn/ZLP5520NW/bin/net/print_log\n"}))
        << net.run.err;
    for (const char *left : {"status=", "ZLP660NW", "cupsCancelJob", "Open Debug File"})
        EXPECT_FALSE(contains(net.run.err, left)) << left;
    EXPECT_EQ(fileMode(kState), 0u);
}

} // namespace
