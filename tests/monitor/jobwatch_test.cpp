// The job watch: the listing count, the /proc scan against real processes, the state file
// pick, the reply split and the listing child under its limits.
#include "jobwatch.h"
#include "namedprocess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <signal.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace jobwatch;

namespace
{

constexpr const char *usbQueue = "ZLP5520NW";
constexpr const char *netQueue = "ZLP5520NW-net";
constexpr const char *filterName = "pstopxl_5520nw";
// The user CUPS runs filters as; the fake filters run as it unless a test says otherwise.
const uid_t lp = NamedProcess::filterUid();

// The severity map of the status catalogue, as far as these tests need it.
int testSeverity(std::string_view line)
{
    size_t eq = line.find('=');
    int code =
        eq == std::string_view::npos ? 0 : std::atoi(std::string(line.substr(eq + 1)).c_str());
    if (code == 10001 || code == 10003 || code == 10007 || code == 10023 || code == 40000)
        return 1;
    if ((code >= 11201 && code <= 11499) || code == 10205 || code == 62002)
        return 2;
    if (code == 88888)
        return 4;
    return 3;
}

class TempDir
{
  public:
    TempDir()
    {
        char pattern[] = "/tmp/jobwatch-test.XXXXXX";
        if (::mkdtemp(pattern))
            path_ = pattern;
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

    void write(const std::string &name, const std::string &text) const
    {
        std::ofstream(file(name), std::ios::binary) << text;
    }

    void writeScript(const std::string &name, const std::string &body) const
    {
        write(name, "#!/bin/sh\n" + body);
        ::chmod(file(name).c_str(), 0755);
    }

  private:
    std::string path_;
};

} // namespace

// ---------------------------------------------------------------- the listing count

struct ListingCase {
    const char *listing;
    int usb;
    int net;
    bool usbJob;
    bool netJob;
};

class ListingCount : public ::testing::TestWithParam<ListingCase>
{
};

TEST_P(ListingCount, CountsBothNamesAndDecides)
{
    const ListingCase &c = GetParam();
    QueueMentions m = countQueueMentions(c.listing, usbQueue, netQueue);
    EXPECT_EQ(m.usbQueue, c.usb);
    EXPECT_EQ(m.netQueue, c.net);
    EXPECT_EQ(usbJobListed(m), c.usbJob);
    EXPECT_EQ(netJobListed(m), c.netJob);
}

INSTANTIATE_TEST_SUITE_P(
    JobWatch, ListingCount,
    ::testing::Values(
        ListingCase{"", 0, 0, false, false},
        ListingCase{"  0 ZLP5520NW-net-3 alice 1024 Tue 08 Dec 2026 04:00:00 UTC\n"
                    "  1 ZLP5520NW-net-4 alice 1024 Tue 08 Dec 2026 04:00:01 UTC\n",
                    2, 2, false, true},
        ListingCase{"  0 ZLP5520NW-3 alice 1024 Tue\n  1 ZLP5520NW-net-4 bob 2048 Tue\n", 2, 1,
                    true, true},
        ListingCase{"  0 ZLP5520NW-7 root 512 Tue\n", 1, 0, true, false},
        // CUPS keeps the case the queue was created with; a lower-case queue still counts.
        ListingCase{"  0 zlp5520nw-7 carol 512 Tue\n  1 Zlp5520Nw-NET-8 carol 512 Tue\n", 2, 1,
                    true, true},
        // The title or the user may mention the name too; the rule counts every mention.
        ListingCase{"  0 other-1 zlp5520nw 99 Tue\n", 1, 0, true, false},
        ListingCase{"  0 OfficeLaser-12 dave 100 Tue\n", 0, 0, false, false}));

TEST(ListingCount, StopsAtTheFirstNul)
{
    std::string listing("  0 ZLP5520NW-net-1 a 1 Tue\n", 28);
    listing += std::string("\0  1 ZLP5520NW-2 b 1 Tue\n", 25);
    QueueMentions m = countQueueMentions(listing, usbQueue, netQueue);
    EXPECT_EQ(m.usbQueue, 1);
    EXPECT_EQ(m.netQueue, 1);
    EXPECT_FALSE(usbJobListed(m));
}

// ---------------------------------------------------------------- the listing child

class ListingChild : public ::testing::Test
{
  protected:
    TempDir dir_;
};

TEST_F(ListingChild, CollectsTheWholeOutputOfAFastProgram)
{
    // A megabyte of listing: one USB job among thousands of network jobs.
    dir_.writeScript("lpstat", "i=0\nwhile [ $i -lt 20000 ]; do\n"
                               "  echo \"  $i ZLP5520NW-net-$i someone 1024 Tue 08 Dec 2026\"\n"
                               "  i=$((i+1))\ndone\necho '  x ZLP5520NW-1 me 1 Tue'\n");
    ListingRun run =
        runListing(QString::fromStdString(dir_.file("lpstat")), {"-R", "-o"}, 30000, 16 << 20);
    ASSERT_TRUE(run.started);
    EXPECT_FALSE(run.timedOut);
    EXPECT_FALSE(run.truncated);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_GT(run.output.size(), 1000000);
    QueueMentions m = countQueueMentions(
        std::string_view(run.output.constData(), run.output.size()), usbQueue, netQueue);
    EXPECT_EQ(m.netQueue, 20000);
    EXPECT_EQ(m.usbQueue, 20001);
    EXPECT_TRUE(usbJobListed(m));
}

TEST_F(ListingChild, PassesTheArguments)
{
    dir_.writeScript("lpstat", "for a; do echo \"[$a]\"; done\n");
    ListingRun run =
        runListing(QString::fromStdString(dir_.file("lpstat")), {"-R", "-o"}, 30000, 1 << 20);
    EXPECT_EQ(run.output, QByteArray("[-R]\n[-o]\n"));
}

TEST_F(ListingChild, KillsAndReapsAProgramThatHangs)
{
    // Prints a job, then hangs with its output open.
    dir_.writeScript("lpstat", "echo '  0 ZLP5520NW-9 me 1 Tue'\necho $$ > " + dir_.file("pid") +
                                   "\nexec sleep 60\n");
    QElapsedTimer clock;
    clock.start();
    ListingRun run =
        runListing(QString::fromStdString(dir_.file("lpstat")), {"-R", "-o"}, 400, 1 << 20);
    qint64 ms = clock.elapsed();
    EXPECT_TRUE(run.started);
    EXPECT_TRUE(run.timedOut);
    EXPECT_GE(ms, 390);
    EXPECT_LT(ms, 2000);
    // What came before the hang is kept.
    EXPECT_EQ(run.output, QByteArray("  0 ZLP5520NW-9 me 1 Tue\n"));
    std::ifstream pidFile(dir_.file("pid"));
    pid_t pid = 0;
    pidFile >> pid;
    ASSERT_GT(pid, 0);
    // Killed and reaped: no process, not even a zombie, is left.
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST_F(ListingChild, MissingProgramGivesNoOutput)
{
    ListingRun run =
        runListing(QString::fromStdString(dir_.file("no-such-lpstat")), {"-R"}, 30000, 1 << 20);
    EXPECT_FALSE(run.started);
    EXPECT_TRUE(run.output.isEmpty());
    EXPECT_FALSE(usbJobListed(countQueueMentions("", usbQueue, netQueue)));
}

TEST_F(ListingChild, StopsAProgramThatWritesWithoutEnd)
{
    dir_.writeScript("lpstat", "exec yes ZLP5520NW-1\n");
    QElapsedTimer clock;
    clock.start();
    ListingRun run = runListing(QString::fromStdString(dir_.file("lpstat")), {}, 30000, 1 << 20);
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_TRUE(run.truncated);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.output.size(), 1 << 20);
}

// ---------------------------------------------------------------- the /proc scan

TEST(StatName, TakesTheTextBetweenTheFirstOpenAndTheLastClose)
{
    EXPECT_EQ(commandNameOfStat("1234 (pstopxl_5520nw) S 1 1234 1234 0 -1"),
              std::string_view("pstopxl_5520nw"));
    // A name with ")" in it: the first ")" would cut it to "pstopxl_5520nw".
    EXPECT_EQ(commandNameOfStat("77 (pstopxl_5520nw) x) R 1 77"),
              std::string_view("pstopxl_5520nw) x"));
    EXPECT_EQ(commandNameOfStat("77 (a (b) S 1"), std::string_view("a (b"));
    EXPECT_EQ(commandNameOfStat("77 (two\nlines) S 1"), std::string_view("two\nlines"));
    EXPECT_EQ(commandNameOfStat("77 () S 1"), std::string_view(""));
    EXPECT_FALSE(commandNameOfStat(""));
    EXPECT_FALSE(commandNameOfStat("77 pstopxl_5520nw S 1"));
    EXPECT_FALSE(commandNameOfStat("77 ) (x"));
}

class ProcScan : public ::testing::Test
{
  protected:
    TempDir dir_;
};

// Other programs on this machine (filter tests, a real print job) may run a process of the
// filter's name at any time; so a check that something is *not* found looks only at the
// test's own processes, and the whole /proc only where finding is the point.

TEST_F(ProcScan, FindsARunningUsbFilterAndLosesItWhenItEnds)
{
    NamedProcess filter(dir_.path(), filterName);
    const std::vector<std::string> own{std::to_string(filter.pid())};
    auto scan = scanForProcess("/proc", filterName, lp);
    ASSERT_TRUE(scan);
    EXPECT_TRUE(scan->found);
    EXPECT_TRUE(findProcess("/proc", own, filterName, lp).found);
    filter.stop();
    ProcessScan after = findProcess("/proc", own, filterName, lp);
    EXPECT_FALSE(after.found);
    EXPECT_EQ(after.vanished, 1);
    // Every process of the machine is looked at, not just the ones before the first gap.
    auto all = listProcessEntries("/proc");
    ASSERT_TRUE(all);
    ProcessScan whole = findProcess("/proc", *all, "no-such-command", lp);
    EXPECT_FALSE(whole.found);
    EXPECT_GT(whole.examined, int(all->size()) / 2);
}

TEST_F(ProcScan, NetworkFilterAndLookAlikesDoNotMatch)
{
    // The kernel keeps 15 characters: "pstopxl_5520nw_"; and a name with ")" in it would
    // read as "pstopxl_5520nw" up to its first ")".
    NamedProcess net(dir_.path(), "pstopxl_5520nw_net");
    NamedProcess paren(dir_.path(), "pstopxl_5520nw)x");
    NamedProcess upper(dir_.path(), "PSTOPXL_5520NW");
    std::vector<std::string> own{std::to_string(net.pid()), std::to_string(paren.pid()),
                                 std::to_string(upper.pid())};
    ProcessScan scan = findProcess("/proc", own, filterName, lp);
    EXPECT_FALSE(scan.found);
    EXPECT_EQ(scan.examined, 3);
    NamedProcess filter(dir_.path(), filterName);
    own.push_back(std::to_string(filter.pid()));
    EXPECT_TRUE(findProcess("/proc", own, filterName, lp).found);
}

TEST_F(ProcScan, AProcessThatExitsDuringTheScanIsSkipped)
{
    NamedProcess filter(dir_.path(), filterName);
    NamedProcess leaver(dir_.path(), "leaver");
    pid_t leaverPid = leaver.pid();
    auto entries = listProcessEntries("/proc");
    ASSERT_TRUE(entries);
    // The leaver exits after the listing and before its stat is read; put it first, where it
    // would end a scan that stops at the first unreadable entry.
    leaver.stop();
    std::vector<std::string> order{std::to_string(leaverPid), std::to_string(filter.pid())};
    ProcessScan scan = findProcess("/proc", order, filterName, lp);
    EXPECT_TRUE(scan.found);
    EXPECT_EQ(scan.vanished, 1);
    EXPECT_EQ(scan.examined, 1);
    // The same with the whole listing taken before the exit.
    EXPECT_TRUE(findProcess("/proc", *entries, filterName, lp).found);
}

TEST_F(ProcScan, ReadsOnlyNumericEntriesAndSkipsUnreadableOnes)
{
    // A /proc-like tree: "self" and "sys" are not processes; "5" has lost its stat.
    for (const char *d : {"1", "5", "12", "self", "sys", "3x"})
        ::mkdir(dir_.file(d).c_str(), 0755);
    dir_.write("1/stat", "1 (init) S 0 1 1");
    dir_.write("self/stat", "99 (pstopxl_5520nw) S 1");
    dir_.write("3x/stat", "98 (pstopxl_5520nw) S 1");
    dir_.write("12/stat", "12 (pstopxl_5520nw) R 1 12");
    dir_.write("12/status", "Name:\tpstopxl_5520nw\nUid:\t" + std::to_string(lp) + "\t" +
                                std::to_string(lp) + "\t" + std::to_string(lp) + "\t" +
                                std::to_string(lp) + "\n");
    auto entries = listProcessEntries(dir_.path());
    ASSERT_TRUE(entries);
    std::sort(entries->begin(), entries->end());
    EXPECT_EQ(*entries, (std::vector<std::string>{"1", "12", "5"}));
    ProcessScan scan = findProcess(dir_.path(), {"5", "1", "12"}, filterName, lp);
    EXPECT_TRUE(scan.found);
    EXPECT_EQ(scan.vanished, 1);
    EXPECT_EQ(scan.examined, 2);
    // A directory that cannot be listed gives no answer at all, so the caller keeps its own.
    EXPECT_FALSE(scanForProcess(dir_.file("missing"), filterName, lp));
}

// ---------------------------------------------------------------- who runs it

// A local user holds a job in the queue and starts a program named like the filter, so
// that the monitor stops asking the printer (and never shows a jam). Only the process CUPS
// started, as its filter user, may count.
TEST_F(ProcScan, AProgramOfTheFilterNameRunByAnotherUserDoesNotCount)
{
    const passwd *nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    NamedProcess impostor(dir_.path(), filterName, nobody->pw_uid);
    NamedProcess asRoot(dir_.path(), filterName, 0);
    std::vector<std::string> own{std::to_string(impostor.pid()), std::to_string(asRoot.pid())};
    ProcessScan scan = findProcess("/proc", own, filterName, lp);
    EXPECT_FALSE(scan.found);
    EXPECT_EQ(scan.impostors, 2);
    EXPECT_EQ(scan.examined, 2);
    // The filter CUPS started, as lp, after them: found.
    NamedProcess filter(dir_.path(), filterName);
    own.push_back(std::to_string(filter.pid()));
    scan = findProcess("/proc", own, filterName, lp);
    EXPECT_TRUE(scan.found);
    EXPECT_EQ(scan.impostors, 2);
}

TEST_F(ProcScan, AFilterNamedProcessWithoutAReadableUidDoesNotCount)
{
    // In a /proc-like tree: one without a status (hidden, gone), one whose ids are not four
    // numbers, one set-user-ID to lp but started by someone else.
    const std::string l = std::to_string(lp);
    for (const char *d : {"20", "21", "22"}) {
        ::mkdir(dir_.file(d).c_str(), 0755);
        dir_.write(std::string(d) + "/stat", std::string(d) + " (pstopxl_5520nw) S 1");
    }
    dir_.write("21/status", "Uid:\t" + l + "\t" + l + "\n");
    dir_.write("22/status", "Uid:\t1000\t" + l + "\t" + l + "\t" + l + "\n");
    ProcessScan scan = findProcess(dir_.path(), {"20", "21", "22"}, filterName, lp);
    EXPECT_FALSE(scan.found);
    EXPECT_EQ(scan.impostors, 3);
}

TEST(StatusUids, ReadsTheFourIdsOfTheUidLine)
{
    const char *status = "Name:\tpstopxl_5520nw\nUmask:\t0077\nState:\tS (sleeping)\n"
                         "Tgid:\t812\nPid:\t812\nPPid:\t700\nTracerPid:\t0\n"
                         "Uid:\t7\t7\t7\t7\nGid:\t7\t7\t7\t7\n";
    auto ids = uidsOfStatus(status);
    ASSERT_TRUE(ids);
    EXPECT_TRUE(runsWhollyAs(*ids, 7));
    EXPECT_FALSE(runsWhollyAs(*ids, 0));
    // Each of the four matters: a set-user-ID program, a changed file-system id.
    for (const char *line : {"Uid:\t1000\t7\t7\t7\n", "Uid:\t7\t1000\t7\t7\n",
                             "Uid:\t7\t7\t1000\t7\n", "Uid:\t7\t7\t7\t1000\n"}) {
        ids = uidsOfStatus(line);
        ASSERT_TRUE(ids) << line;
        EXPECT_FALSE(runsWhollyAs(*ids, 7)) << line;
    }
    ids = uidsOfStatus("Uid:\t4294967294\t4294967294\t4294967294\t4294967294");
    ASSERT_TRUE(ids);
    EXPECT_EQ(ids->real, 4294967294u);
}

TEST(StatusUids, NothingWithoutFourNumbers)
{
    for (const char *text :
         {"", "Name:\tx\n", "Uid:\n", "Uid:\t7\t7\t7\n", "Uid:\t7\t7\t7\t7\t7\n",
          "Uid:\t7\t7\tx\t7\n", "Uid:\t-1\t7\t7\t7\n", "Uid:\t4294967296\t7\t7\t7\n",
          "Uid:\t99999999999\t7\t7\t7\n", "Name:\tUid:\t7\t7\t7\t7\n", " Uid:\t7\t7\t7\t7\n"})
        EXPECT_FALSE(uidsOfStatus(text)) << text;
}

std::optional<uid_t> fakeUsers(const std::string &name)
{
    if (name == "lp")
        return 7;
    if (name == "cupsfilter")
        return 120;
    if (name == "toor")
        return 0;
    return std::nullopt;
}

struct ConfCase {
    const char *conf;
    std::optional<uid_t> uid;
};

class CupsFilesUser : public ::testing::TestWithParam<ConfCase>
{
};

TEST_P(CupsFilesUser, SettlesTheUserAsCupsdDoes)
{
    EXPECT_EQ(filterUidOfCupsFiles(GetParam().conf, fakeUsers), GetParam().uid) << GetParam().conf;
}

INSTANTIATE_TEST_SUITE_P(
    JobWatch, CupsFilesUser,
    ::testing::Values(
        // Debian's file: the line is a comment.
        ConfCase{"# Administrator user group...\nSystemGroup lpadmin\n#User lp\n", 7},
        ConfCase{"", 7}, ConfCase{"User cupsfilter\n", 120},
        ConfCase{"  user\tcupsfilter  \r\n", 120},
        ConfCase{"USER cupsfilter # the filters' own account\n", 120}, ConfCase{"User 500\n", 500},
        ConfCase{"User 500x\n", 500},
        // The last one that cupsd accepts holds.
        ConfCase{"User cupsfilter\nUser lp\n", 7},
        ConfCase{"User cupsfilter\nUser nosuchuser\n", 120},
        // Never root, by name or number.
        ConfCase{"User cupsfilter\nUser toor\nUser 0\n", 120},
        ConfCase{"User\nUsers 120\nGroup lp\n", 7}));

TEST(CupsFilesUser, NoUserAtAllWithoutLp)
{
    auto nobody = [](const std::string &) { return std::optional<uid_t>(); };
    EXPECT_EQ(filterUidOfCupsFiles("", nobody), std::nullopt);
    EXPECT_EQ(filterUidOfCupsFiles("User 300\n", nobody), std::optional<uid_t>(300));
    EXPECT_EQ(cupsUserValues("User a\\#b # c\nUser\n#User x\n User  d e \n"),
              (std::vector<std::string>{"a#b", "d e"}));
}

TEST(CupsFilesUser, ReadsThisMachinesFileAndRefusesAFifo)
{
    TempDir dir;
    dir.write("cups-files.conf", "User nobody\n");
    const passwd *nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    EXPECT_EQ(filterUidOfSystem(dir.file("cups-files.conf")), std::optional<uid_t>(nobody->pw_uid));
    EXPECT_EQ(filterUidOfSystem(dir.file("missing")), std::optional<uid_t>(lp));
    // A FIFO nobody writes is not waited for.
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0644), 0);
    EXPECT_EQ(filterUidOfSystem(dir.file("fifo")), std::optional<uid_t>(lp));
}

// ---------------------------------------------------------------- the state file pick

struct StateCase {
    const char *text;
    const char *chosen;
    int linesRead;
};

class StatePick : public ::testing::TestWithParam<StateCase>
{
};

TEST_P(StatePick, KeepsTheFirstMostSevereLine)
{
    const StateCase &c = GetParam();
    int lines = 0;
    std::string chosen =
        mostSevereStatusLine(c.text, testSeverity, [&](std::string_view) { ++lines; });
    EXPECT_EQ(chosen, c.chosen);
    EXPECT_EQ(lines, c.linesRead);
}

INSTANTIATE_TEST_SUITE_P(
    JobWatch, StatePick,
    ::testing::Values(StateCase{"CODE=10023", "CODE=10023", 1},
                      // The filter's back-channel copy keeps the printer's CR inside the line.
                      StateCase{"CODE=10023\r                     ",
                                "CODE=10023\r                     ", 1},
                      StateCase{"CODE=10023\nCODE=60000\n", "CODE=60000", 2},
                      // Severities 2, 3, 3: the first 3.
                      StateCase{"CODE=11213\nCODE=40021\nCODE=60000\n", "CODE=40021", 3},
                      // A severity 4 on the second line ends the reading.
                      StateCase{"CODE=10001\nCODE=88888\nCODE=60000\nmore\n", "CODE=88888", 2},
                      StateCase{"CODE=11213\r\nCODE=10001\r\n", "CODE=11213", 2},
                      StateCase{"hello\nworld", "", 2}, StateCase{"", "", 0},
                      StateCase{"code=60000\nCODE=10001", "CODE=10001", 2},
                      // A half-written line: judged by what it has.
                      StateCase{"CODE=", "CODE=", 1}));

// ---------------------------------------------------------------- the printer's reply

TEST(Reply, TextEndsAtTheFirstNulOrTheBufferEnd)
{
    std::vector<char> full(replyCapacity, 'A');
    // No NUL anywhere: exactly the buffer, not a byte beyond it.
    EXPECT_EQ(replyText(full.data(), replyCapacity).size(), replyCapacity);
    const char withNul[] = "CODE=10023\0CODE=40021";
    EXPECT_EQ(replyText(withNul, sizeof withNul), QByteArray("CODE=10023"));
    std::vector<char> empty(replyCapacity, 0);
    EXPECT_TRUE(replyText(empty.data(), replyCapacity).isEmpty());
}

TEST(Reply, SplitsAtCrAndKeepsStatusLines)
{
    using Lines = std::vector<QByteArray>;
    EXPECT_EQ(statusLinesOfReply("CODE=10023\rCODE=10001"), (Lines{"CODE=10023", "CODE=10001"}));
    EXPECT_EQ(statusLinesOfReply("\rhello\rCODE=40021\r\r"), (Lines{"CODE=40021"}));
    EXPECT_EQ(statusLinesOfReply("CODE=10001\n"), (Lines{"CODE=10001\n"}));
    EXPECT_TRUE(statusLinesOfReply("").empty());
    QByteArray fifty;
    for (int i = 0; i < 50; ++i)
        fifty += "CODE=" + QByteArray::number(10000 + i) + "\r";
    Lines lines = statusLinesOfReply(fifty);
    ASSERT_EQ(lines.size(), 50u);
    EXPECT_EQ(lines.front(), QByteArray("CODE=10000"));
    EXPECT_EQ(lines.back(), QByteArray("CODE=10049"));
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
