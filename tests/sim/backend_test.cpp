// zlpsim-backend driven with fakefilter, which talks to it through the real libcups calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace
{

struct Outcome {
    int code = -1;
    std::string out, err, events;
    long ms = 0;
};

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::string pattern(std::size_t length)
{
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<char>(i % 251);
    return bytes;
}

// Spawns argv[0] with the environment as it is now; returns the exit code and the wall time.
int spawnAndWait(const std::vector<std::string> &args, long &ms, const std::string &errPath = "")
{
    std::vector<char *> argv;
    for (const auto &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!errPath.empty())
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
    pid_t pid;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200 + WTERMSIG(status);
}

// The values of the "NAME=" results fakefilter wrote to standard error, in order.
std::vector<std::string> results(const std::string &err, const std::string &name)
{
    std::vector<std::string> values;
    std::istringstream lines(err);
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, name.size() + 1, name + "=") == 0)
            values.push_back(line.substr(name.size() + 1));
    }
    return values;
}

// The event lines without their time stamps.
std::vector<std::string> events(const std::string &log)
{
    std::vector<std::string> lines;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line.substr(line.find(' ') + 1));
    return lines;
}

long eventMs(const std::string &log, const std::string &event)
{
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        const auto space = line.find(' ');
        if (line.compare(space + 1, std::string::npos, event) == 0)
            return std::stol(line.substr(0, space));
    }
    return -1;
}

bool contains(const std::vector<std::string> &lines, const std::string &line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class BackendTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char templ[] = "/tmp/zlpsim-backend-test.XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir_ = templ;
    }
    void TearDown() override
    {
        for (const char *name : {"/script", "/out", "/err", "/events", "/in"})
            unlink((dir_ + name).c_str());
        rmdir(dir_.c_str());
    }

    Outcome run(const std::string &script, const std::string &steps,
                const std::vector<std::string> &options = {})
    {
        writeFile(dir_ + "/script", script);
        std::vector<std::string> args = {ZLPSIM_BACKEND, "--script",    dir_ + "/script",
                                         "--out",        dir_ + "/out", "--err",
                                         dir_ + "/err",  "--events",    dir_ + "/events"};
        args.insert(args.end(), options.begin(), options.end());
        for (const char *arg : {"--", FAKE_FILTER, "ZLP5520NW", "42", "user", "title", "1"})
            args.push_back(arg);
        args.push_back(steps);
        Outcome result;
        result.code = spawnAndWait(args, result.ms);
        result.out = readFile(dir_ + "/out");
        result.err = readFile(dir_ + "/err");
        result.events = readFile(dir_ + "/events");
        return result;
    }

    std::string dir_;
};

TEST_F(BackendTest, DrainRequestsGetTheScriptedStatusesThenOk)
{
    const Outcome r = run("# statuses in request order\ndrain ok timeout io-error no-response*2\n",
                          "drain:2 drain:2 drain:2 drain:2 drain:2 drain:2");
    EXPECT_EQ(r.code, 0);
    const auto status = results(r.err, "drain");
    ASSERT_EQ(status.size(), 6u) << r.err;
    const char *expected[] = {"1", "3", "2", "4", "4", "1"};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(status[i].substr(0, status[i].find(' ')), expected[i]) << "request " << i + 1;
    const auto log = events(r.events);
    EXPECT_TRUE(contains(log, "drain 2 timeout 0"));
    EXPECT_TRUE(contains(log, "drain 6 ok 0"));
    EXPECT_EQ(log.back(), "exit 0");
}

TEST_F(BackendTest, SilentDrainIsNeverAnsweredSoTheFilterTimesOut)
{
    // A late answer to the first request would be taken as the answer to the second.
    const Outcome r = run("drain silent timeout\n", "drain:0.3 drain:2 drain:2");
    EXPECT_EQ(r.code, 0);
    const auto status = results(r.err, "drain");
    ASSERT_EQ(status.size(), 3u) << r.err;
    EXPECT_EQ(status[0].substr(0, 1), "3");
    EXPECT_GE(std::stol(status[0].substr(status[0].find("ms=") + 3)), 250);
    EXPECT_EQ(status[1].substr(0, 1), "3");
    EXPECT_EQ(status[2].substr(0, 1), "1");
    EXPECT_TRUE(contains(events(r.events), "drain 1 silent 0"));
}

TEST_F(BackendTest, DrainIsAnsweredOnlyAfterEverythingWrittenIsCaptured)
{
    // One MiB is far more than a pipe holds: the filter's write returns before we read it all.
    const Outcome r = run("", "fill:1048576 drain:2 out:END");
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(contains(events(r.events), "drain 1 ok 1048576")) << r.events;
    EXPECT_TRUE(r.out == pattern(1048576) + "END") << "capture differs, size " << r.out.size();
}

TEST_F(BackendTest, OtherSideChannelRequestsAreNotImplementedAndNotCountedAsDrains)
{
    const Outcome r = run("drain io-error\n", "bidi:2 drain:2");
    EXPECT_EQ(r.code, 0);
    ASSERT_EQ(results(r.err, "bidi").size(), 1u);
    EXPECT_EQ(results(r.err, "bidi")[0].substr(0, 1), "7");
    ASSERT_EQ(results(r.err, "drain").size(), 1u);
    EXPECT_EQ(results(r.err, "drain")[0].substr(0, 1), "2");
    EXPECT_TRUE(contains(events(r.events), "request 3 not-implemented"));
}

TEST_F(BackendTest, BackchannelTextIsWaitingWhenTheChosenDrainIsAnswered)
{
    const Outcome r = run("backchannel after-drain 2 CODE=10023 from the printer\\r\\n # note\n",
                          "drain:2 back:0 drain:2 back:0");
    EXPECT_EQ(r.code, 0);
    const auto back = results(r.err, "back");
    ASSERT_EQ(back.size(), 2u) << r.err;
    EXPECT_EQ(back[0].substr(0, back[0].find(" ms=")), " n=-1");
    EXPECT_EQ(back[1].substr(0, back[1].find(" ms=")),
              "CODE=10023 from the printer\\x0d\\x0a n=29");
    const auto log = events(r.events);
    const auto drain = std::find(log.begin(), log.end(), "drain 2 ok 0");
    ASSERT_NE(drain, log.end());
    EXPECT_EQ(*(drain + 1), "backchannel 2 CODE=10023 from the printer\\r\\n");
}

TEST_F(BackendTest, EachLockQueryGetsTheNextReplyAndTheLastRepeats)
{
    const Outcome r = run("lock CODE=00002 silent CODE=00001\nlock-delay 200\n",
                          "out:LockPrinter? back:2 out:LockPrinter? back:0.6 "
                          "out:Lock sleep:50 out:Printer? back:2 out:xxLockPrinter?yy back:2");
    EXPECT_EQ(r.code, 0);
    const auto back = results(r.err, "back");
    ASSERT_EQ(back.size(), 4u) << r.err;
    EXPECT_EQ(back[0].substr(0, back[0].find(" ms=")), "CODE=00002 n=10");
    EXPECT_GE(std::stol(back[0].substr(back[0].find("ms=") + 3)), 180) << "lock-delay ignored";
    EXPECT_EQ(back[1].substr(0, back[1].find(" ms=")), " n=-1");
    EXPECT_EQ(back[2].substr(0, back[2].find(" ms=")), "CODE=00001 n=10") << "split query missed";
    EXPECT_EQ(back[3].substr(0, back[3].find(" ms=")), "CODE=00001 n=10");
    const auto log = events(r.events);
    EXPECT_TRUE(contains(log, "lock 1 CODE=00002"));
    EXPECT_TRUE(contains(log, "lock 2 silent"));
    EXPECT_TRUE(contains(log, "lock 4 CODE=00001"));
    EXPECT_EQ(r.out, "LockPrinter?LockPrinter?LockPrinter?xxLockPrinter?yy");
}

TEST_F(BackendTest, SignalAfterDrainLandsWhileTheFilterWaitsForTheAnswer)
{
    const Outcome r =
        run("signal SIGTERM after-drain 2\n", "drain:2 drain:2 err:survived sleep:5000");
    EXPECT_EQ(r.code, 128 + SIGTERM);
    EXPECT_EQ(results(r.err, "drain").size(), 1u) << r.err;
    const auto log = events(r.events);
    const auto drain = std::find(log.begin(), log.end(), "drain 2 ok 0");
    ASSERT_NE(drain, log.end());
    EXPECT_EQ(*(drain + 1), "signal SIGTERM");
    EXPECT_EQ(log.back(), "killed SIGTERM");
    EXPECT_LT(r.ms, 3000);
}

TEST_F(BackendTest, SignalsAfterBytesTimeAndStderrText)
{
    Outcome r = run("signal SIGINT after-bytes 100000\n", "fill:1048576 sleep:5000");
    EXPECT_EQ(r.code, 128 + SIGINT);
    EXPECT_GE(r.out.size(), 100000u);
    EXPECT_LT(r.out.size(), 1048576u) << "the signal came after the write";
    EXPECT_TRUE(r.out == pattern(r.out.size()));

    r = run("signal KILL after-ms 300\n", "sleep:5000");
    EXPECT_EQ(r.code, 128 + SIGKILL);
    EXPECT_GE(eventMs(r.events, "signal SIGKILL"), 300);
    EXPECT_LT(r.ms, 3000);

    r = run("signal SIGTERM on-stderr INFO:打印机正在打印\n",
            "err:INFO:打印机 err:INFO:打印机正在打印 sleep:5000");
    EXPECT_EQ(r.code, 128 + SIGTERM);
    EXPECT_EQ(events(r.events).back(), "killed SIGTERM");
    EXPECT_EQ(r.err, "INFO:打印机\nINFO:打印机正在打印\n");
}

TEST_F(BackendTest, ClosedOutputStopsTheCaptureExactlyAndTheFilterGetsSigpipe)
{
    const Outcome r = run("close-output after-bytes 70000\n", "fill:1048576");
    EXPECT_EQ(r.code, 128 + SIGPIPE);
    EXPECT_TRUE(r.out == pattern(70000)) << "captured " << r.out.size();
    EXPECT_TRUE(contains(events(r.events), "close-output 70000"));
    EXPECT_EQ(events(r.events).back(), "killed SIGPIPE");
}

TEST_F(BackendTest, FilterThatHangsIsKilledAtTheTimeout)
{
    const Outcome r = run("", "sleep:30000", {"--timeout", "1"});
    EXPECT_EQ(r.code, 124);
    EXPECT_LT(r.ms, 5000);
    const auto log = events(r.events);
    EXPECT_TRUE(contains(log, "timeout"));
    EXPECT_EQ(log.back(), "killed SIGKILL");
}

TEST_F(BackendTest, FilterGetsArgumentsInputAndEnvironmentAndItsExitCodeComesBack)
{
    writeFile(dir_ + "/in", "%!PS-Adobe-3.0\nshowpage\n");
    setenv("PPD", "/usr/share/cups/model/ZLP5520NW.ppd", 1);
    const Outcome r = run("", "args copyin env:PPD exit:3", {"--in", dir_ + "/in"});
    unsetenv("PPD");
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.out, "%!PS-Adobe-3.0\nshowpage\n");
    EXPECT_NE(r.err.find("args=ZLP5520NW|42|user|title|1\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("env PPD=/usr/share/cups/model/ZLP5520NW.ppd\n"), std::string::npos);
    EXPECT_EQ(events(r.events).back(), "exit 3");
}

TEST_F(BackendTest, BadScriptsAndFiltersAreRefusedWithAClearMessage)
{
    long ms = 0;
    const std::string message = dir_ + "/err";
    writeFile(dir_ + "/script", "drain ok\n\nlock-delay soon\n");
    EXPECT_EQ(spawnAndWait({ZLPSIM_BACKEND, "--script", dir_ + "/script", "--", FAKE_FILTER, "q",
                            "1", "u", "t", "1", ""},
                           ms, message),
              125);
    EXPECT_NE(readFile(message).find("script: line 3: lock-delay needs milliseconds"),
              std::string::npos)
        << readFile(message);

    EXPECT_EQ(spawnAndWait({ZLPSIM_BACKEND, "--", FAKE_FILTER, "q", "1", "u", "t"}, ms, message),
              125);
    EXPECT_NE(readFile(message).find("got 4 arguments"), std::string::npos) << readFile(message);

    EXPECT_EQ(spawnAndWait({ZLPSIM_BACKEND, "--out", dir_ + "/out", "--", dir_ + "/missing", "q",
                            "1", "u", "t", "1"},
                           ms, message),
              127);
    EXPECT_NE(readFile(message).find("cannot run " + dir_ + "/missing: No such file"),
              std::string::npos)
        << readFile(message);
}

} // namespace

// --connect: the stream goes on to zlpsim-net, as CUPS's socket backend would send it.
class ConnectedBackendTest : public BackendTest
{
  protected:
    void SetUp() override
    {
        BackendTest::SetUp();
        printerDir_ = dir_ + "/printer";
        mkdir(printerDir_.c_str(), 0755);
    }
    void TearDown() override
    {
        if (printer_ > 0) {
            kill(printer_, SIGKILL);
            waitpid(printer_, nullptr, 0);
        }
        std::system(("rm -rf '" + printerDir_ + "'").c_str());
        BackendTest::TearDown();
    }
    // Starts the simulated printer port for one job; returns "127.0.0.1:PORT".
    std::string startPrinter(std::vector<std::string> options)
    {
        const std::string ready = printerDir_ + "/ready";
        std::vector<std::string> args = {ZLPSIM_NET,  "--port",       "0",   "--out-dir",
                                         printerDir_, "--ready-file", ready, "--jobs",
                                         "1",         "--quiet"};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char *> argv;
        for (auto &arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (posix_spawn(&printer_, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
            return "";
        for (int i = 0; i < 500 && readFile(ready).empty(); ++i)
            usleep(10000);
        std::string port = readFile(ready);
        port.erase(port.find_last_not_of("\n") + 1);
        return "127.0.0.1:" + port;
    }
    std::string printed() const { return readFile(printerDir_ + "/job-1.prn"); }

    std::string printerDir_;
    pid_t printer_ = -1;
};

TEST_F(ConnectedBackendTest, PrinterGetsTheStreamAndItsAnswersReachTheBackChannel)
{
    const std::string printer = startPrinter({});
    const Outcome r = run("", "out:LockPrinter? back:2 fill:300000 drain:5",
                          {"--connect", printer, "--timeout", "20"});
    EXPECT_EQ(r.code, 0) << r.err;
    ASSERT_EQ(results(r.err, "back").size(), 1u) << r.err;
    EXPECT_EQ(results(r.err, "back")[0].substr(0, 10), "CODE=00001");
    ASSERT_EQ(results(r.err, "drain").size(), 1u);
    EXPECT_EQ(results(r.err, "drain")[0].substr(0, 1), "1");
    // Recorded here and delivered there byte for byte; the stand-in's own lock replies stay
    // silent without a script.
    EXPECT_TRUE(r.out == "LockPrinter?" + pattern(300000));
    EXPECT_TRUE(printed() == r.out) << printed().size();
    EXPECT_TRUE(contains(events(r.events), "printer sent 300012")) << r.events;
    EXPECT_TRUE(contains(events(r.events), "printer closed"));
}
