// The installed filters against what a document, another local user and a
// cancel can do, inside the test sandbox.
#include "filterrun.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <pwd.h>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

const std::string kUsbFilter = "/usr/lib/cups/filter/pstopxl_5520nw";
const std::string kNetFilter = "/usr/lib/cups/filter/pstopxl_5520nw_net";
const std::string kDebugCopy = "/var/tmp/qzt.prn";
const std::string kTrailer = "\x1b%-12345X\n\x1b#+54321X_VARN@PJL EOJ\n\x1b%-12345X";
const std::string kReason =
    "输入数字密码无效，请在电脑端打印队列中取消任务，并重新设置四位密码，重新打印\n";
const std::string kScript = "/var/tmp/backend.script";
const std::string kEvents = "/var/tmp/backend.events";

struct User {
    int uid = -1, gid = -1;
};

User user(const char *name)
{
    const passwd *pw = getpwnam(name);
    return pw ? User{static_cast<int>(pw->pw_uid), static_cast<int>(pw->pw_gid)} : User{};
}

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> all;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        all.push_back(line);
    return all;
}

// A filter under zlpsim-backend, which answers for the backend and the printer.
struct BackendRun {
    FilterRun run;
    std::string events;
};

BackendRun runBehindBackend(const std::string &filter, const std::string &script,
                            const std::string &options = "", bool fastTime = true)
{
    writeFile(kScript, script);
    unlink(kEvents.c_str());
    const bool net = filter == kNetFilter;
    FilterCall call;
    call.program = ZLPSIM_BACKEND;
    call.queue = "zlpsim-backend";
    call.ppd = net ? "/usr/share/cups/model/ZLP5520NW-net.ppd" : call.ppd;
    call.args = {"--script", kScript,     "--events",
                 kEvents,    "--timeout", "60",
                 "--",       filter,      net ? "ZLP5520NW-net" : "ZLP5520NW",
                 "42",       "alice",     "report",
                 "1",        options};
    if (fastTime)
        call.env = {std::string("LD_PRELOAD=") + ZLP_FASTTIME};
    call.timeoutSeconds = 70;
    BackendRun result;
    result.run = runFilter(call);
    result.events = readFile(kEvents);
    return result;
}

// Milliseconds of the first event line that begins with `what` after its time, -1 if none.
long eventMs(const std::string &events, const std::string &what)
{
    for (const std::string &line : lines(events)) {
        const size_t blank = line.find(' ');
        if (blank != std::string::npos && line.compare(blank + 1, what.size(), what) == 0)
            return std::stol(line.substr(0, blank));
    }
    return -1;
}

// The first drain request at or after `fromMs`, and whether it went unanswered.
struct Drain {
    long ms = -1;
    bool silent = false;
};

Drain drainAfter(const std::string &events, long fromMs)
{
    for (const std::string &line : lines(events)) {
        std::istringstream in(line);
        long ms = 0;
        std::string what, number, answer;
        if (in >> ms >> what >> number >> answer && what == "drain" && ms >= fromMs)
            return {ms, answer == "silent"};
    }
    return {};
}

class FilterSecurity : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_NE(std::getenv("ZLP_IN_SANDBOX"), nullptr) << "run through tests/sandbox/sandbox.sh";
        unlink(kDebugCopy.c_str());
        setRasterizer("");
        writeFile("/var/tmp/job.ps", postscript(1));
    }
    void TearDown() override
    {
        chown("/var/tmp", 0, 0);
        unlink(kDebugCopy.c_str());
    }
};

// A document prints cupsd's control lines through Ghostscript (-sstdout=%stderr): each must
// arrive as a run-log line, stripped of its control characters, in both builds.
TEST_F(FilterSecurity, DocumentTextNeverReachesCupsAsAControlLine)
{
    writeFile("/var/tmp/job.ps", "%!PS\n"
                                 "(PPD: DefaultPasswd1=1 DefaultPasswd2=2\\n) print\n"
                                 "(STATE: +media-jam-error\\n) print\n"
                                 "(ATTR: printer-alert-description=jam\\r\\n) print\n"
                                 "(INFO:\\033[31m\\007red) print flush\n"
                                 "/Helvetica findfont 20 scalefont setfont 72 700 moveto (x) show "
                                 "showpage\n");
    const FilterRun usb = runFilter({});
    const BackendRun net = runBehindBackend(kNetFilter, "lock CODE=00001\n");
    for (const FilterRun *run : {&usb, &net.run}) {
        ASSERT_EQ(run->exitCode, 0) << run->err;
        EXPECT_TRUE(endsWith(run->out, kTrailer));
        for (const std::string &line : lines(run->err)) {
            EXPECT_NE(line.rfind("PPD:", 0), 0u) << line;
            EXPECT_NE(line.rfind("ATTR:", 0), 0u) << line;
            if (line.rfind("STATE:", 0) == 0) {
                EXPECT_EQ(line + "\n", "STATE: -" + kReason);
            }
        }
        EXPECT_TRUE(contains(run->err, "DEBUG:[VARN-ZLP5520NW]gs: PPD: DefaultPasswd1=1 "
                                       "DefaultPasswd2=2\n"));
        EXPECT_TRUE(contains(run->err, "DEBUG:[VARN-ZLP5520NW]gs: STATE: +media-jam-error\n"));
        EXPECT_TRUE(
            contains(run->err, "DEBUG:[VARN-ZLP5520NW]gs: ATTR: printer-alert-description=jam\n"));
        // The last text has no line feed of its own: it still comes, once the rasterizer ends.
        EXPECT_TRUE(contains(run->err, "DEBUG:[VARN-ZLP5520NW]gs: INFO:[31mred\n"));
    }
}

// Twenty megabytes of messages and one endless line: the job still prints whole, the
// rasterizer is never held up, and the run log stays small.
TEST_F(FilterSecurity, ChattyDocumentNeitherStallsTheJobNorFloodsTheLog)
{
    setRasterizer("printf '%063d' 7\n"
                  "head -c 1000000 /dev/zero | tr '\\0' y >&2; echo >&2\n"
                  "seq 1 100000\n"
                  "yes 'STATE: +media-jam-error' | head -c 20000000 >&2\n"
                  "seq 100001 200000\n");
    std::string data;
    for (int i = 1; i <= 200000; ++i)
        data += std::to_string(i) + "\n";
    FilterCall call;
    call.timeoutSeconds = 60;
    const FilterRun run = runFilter(call);
    ASSERT_FALSE(run.timedOut);
    ASSERT_EQ(run.exitCode, 0) << run.err.substr(0, 2000);
    EXPECT_TRUE(endsWith(run.out, data + kTrailer));
    EXPECT_LT(run.err.size(), 200000u);
    EXPECT_TRUE(
        contains(run.err, "DEBUG:[VARN-ZLP5520NW]gs: " + std::string(240, 'y') + " [cut]\n"));
    EXPECT_TRUE(contains(run.err, "DEBUG:[VARN-ZLP5520NW]gs: more messages than 65536 bytes, "
                                  "the rest is dropped\n"));
    EXPECT_TRUE(contains(run.err, " message lines dropped\n"));
    EXPECT_FALSE(contains(run.err, "\nSTATE: +media"));
}

// The debug copy holds the whole stream, the key included: the filter's user alone reads it,
// and a file, FIFO or link someone else put at its path is never opened.
TEST_F(FilterSecurity, DebugCopyIsPrivateAndNeverAnotherUsersFile)
{
    const User lp = user("lp");
    const User mallory = user("nobody");
    ASSERT_GE(lp.uid, 0);
    ASSERT_GE(mallory.uid, 0);
    FilterCall call;
    call.uid = lp.uid;
    call.gid = lp.gid;
    call.args[4] = "Passwd1=1 Passwd2=2 Passwd3=3 Passwd4=4";
    call.timeoutSeconds = 20;
    auto leftovers = [] {
        int n = 0;
        DIR *dir = opendir("/var/tmp");
        while (dirent *entry = dir ? readdir(dir) : nullptr)
            n += std::string(entry->d_name).rfind("qzt.prn.", 0) == 0;
        if (dir)
            closedir(dir);
        return n;
    };

    FilterRun run = runFilter(call);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    struct stat st = {};
    ASSERT_EQ(lstat(kDebugCopy.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(static_cast<int>(st.st_uid), lp.uid);
    EXPECT_EQ(readFile(kDebugCopy), run.out.substr(0, run.out.size() - kTrailer.size()));
    EXPECT_TRUE(contains(run.err, "[VARN-ZLP5520NW] DEBUG:Open Debug File=/var/tmp/qzt.prn ok\n"));
    // The next job replaces our own copy.
    run = runFilter(call);
    EXPECT_EQ(readFile(kDebugCopy), run.out.substr(0, run.out.size() - kTrailer.size()));
    EXPECT_EQ(leftovers(), 0);

    // Mallory's file and FIFO. /var/tmp is the sandbox's own tmpfs: owned by mallory, the
    // kernel's protected_regular and protected_fifos (global settings, left alone) do not
    // apply to her files in it, so what is tested is the filter's own care.
    ASSERT_EQ(chown("/var/tmp", mallory.uid, mallory.gid), 0);
    for (const bool fifo : {false, true}) {
        unlink(kDebugCopy.c_str());
        if (fifo)
            ASSERT_EQ(mkfifo(kDebugCopy.c_str(), 0666), 0);
        else
            writeFile(kDebugCopy, "mallory's\n");
        chmod(kDebugCopy.c_str(), 0666);
        ASSERT_EQ(lchown(kDebugCopy.c_str(), mallory.uid, mallory.gid), 0);
        run = runFilter(call);
        EXPECT_FALSE(run.timedOut) << "fifo " << fifo;
        EXPECT_EQ(run.exitCode, 0) << "fifo " << fifo;
        EXPECT_TRUE(endsWith(run.out, kTrailer)) << "fifo " << fifo;
        ASSERT_EQ(lstat(kDebugCopy.c_str(), &st), 0);
        EXPECT_EQ(static_cast<int>(st.st_uid), mallory.uid) << "fifo " << fifo;
        EXPECT_EQ(S_ISFIFO(st.st_mode), fifo);
        if (!fifo) {
            EXPECT_EQ(readFile(kDebugCopy), "mallory's\n");
        }
        EXPECT_TRUE(contains(run.err, "[VARN-ZLP5520NW] DEBUG:Can not replace Debug "
                                      "File=/var/tmp/qzt.prn!!! errno=1, no copy kept\n"))
            << "fifo " << fifo;
        EXPECT_EQ(leftovers(), 0) << "fifo " << fifo;
    }
}

// SIGTERM at random moments: in the 600-second wait of a refused key, in drains the printer
// never answers, in the network build's lock query. Each wait ends at once.
TEST_F(FilterSecurity, CancelEndsEveryWaitWithinASecond)
{
    setRasterizer("head -c $((63 + 12 * 262144)) /dev/zero\n");
    struct Case {
        const char *what;
        std::string filter, script, options;
        int fromMs, toMs;
    };
    const Case cases[] = {
        {"refused key", kUsbFilter, "", "Passwd1=1 Passwd2=2", 0, 300},
        {"held drains", kUsbFilter, "drain silent*40\n", "", 0, 3000},
        {"silent lock", kNetFilter, "lock silent\ndrain silent*40\n", "", 0, 4000},
    };
    std::mt19937 random(20261208);
    for (const Case &c : cases) {
        std::uniform_int_distribution<int> moment(c.fromMs, c.toMs);
        for (int i = 0; i < 8; ++i) {
            const int at = moment(random);
            const BackendRun run = runBehindBackend(
                c.filter, c.script + "signal SIGTERM after-ms " + std::to_string(at) + "\n",
                c.options, false);
            const long signalled = eventMs(run.events, "signal SIGTERM");
            long ended = eventMs(run.events, "exit ");
            if (ended < 0)
                ended = eventMs(run.events, "killed ");
            ASSERT_GE(signalled, 0) << c.what << " at " << at << "\n" << run.events;
            ASSERT_GE(ended, 0) << c.what << " at " << at << "\n" << run.events;
            const Drain cancel = drainAfter(run.events, signalled);
            if (cancel.ms < 0) { // killed before the handler was installed
                EXPECT_LT(ended - signalled, 1000) << c.what << " at " << at << "\n" << run.events;
                continue;
            }
            // The wait broke off at once and the cancel asked for its drain; that drain
            // waits its own second when the printer holds this answer too.
            EXPECT_LT(cancel.ms - signalled, 200) << c.what << " at " << at << "\n" << run.events;
            EXPECT_LT(ended - signalled, cancel.silent ? 1300 : 1000)
                << c.what << " at " << at << "\n"
                << run.events;
        }
    }
}

} // namespace
