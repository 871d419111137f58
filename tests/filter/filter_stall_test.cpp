// A network printer that stops taking data, and one that is only slow: the installed filters
// behind the backend stand-in, which passes their stream on to the simulated printer port.
#include "filterrun.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

const std::string kTrailer = "\x1b%-12345X\n\x1b#+54321X_VARN@PJL EOJ\n\x1b%-12345X";
const std::string kCancel = "\x1b%-12345X\n\x1b#+54321X_VARN@PJL CANCEL\n\x1b%-12345X";
const std::string kPrinterDir = "/var/tmp/printer";
const std::string kStall = "DEBUG:[VARN-ZLP5520NW]printer took no data for 2 s\n";

size_t count(const std::string &text, const std::string &part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// zlpsim-net on a free port of the sandbox's loopback, for one job.
class PrinterPort
{
  public:
    explicit PrinterPort(std::vector<std::string> options)
    {
        std::system(("rm -rf " + kPrinterDir + " && mkdir -p " + kPrinterDir).c_str());
        std::vector<std::string> args = {ZLPSIM_NET,  "--port",       "0",     "--out-dir",
                                         kPrinterDir, "--ready-file", ready(), "--jobs",
                                         "1",         "--rcvbuf",     "32768", "--quiet"};
        args.insert(args.end(), options.begin(), options.end());
        pid_ = fork();
        if (pid_ == 0) {
            std::vector<char *> argv;
            for (std::string &arg : args)
                argv.push_back(arg.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        for (int i = 0; i < 500 && readFile(ready()).empty(); ++i)
            usleep(10000);
        port_ = readFile(ready());
        while (!port_.empty() && port_.back() == '\n')
            port_.pop_back();
    }
    ~PrinterPort()
    {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    std::string address() const { return "127.0.0.1:" + port_; }
    pid_t pid() const { return pid_; }
    std::string stream() const { return readFile(kPrinterDir + "/job-1.prn"); }
    std::string report() const { return readFile(kPrinterDir + "/job-1.json"); }
    // Waits for the job's report: the printer saw the connection close.
    bool finished() const
    {
        for (int i = 0; i < 1000 && report().empty(); ++i)
            usleep(10000);
        return !report().empty();
    }

  private:
    static std::string ready() { return kPrinterDir + "/ready"; }
    pid_t pid_ = -1;
    std::string port_;
};

struct Build {
    const char *filter, *queue, *ppd;
};
const Build kUsb = {"/usr/lib/cups/filter/pstopxl_5520nw", "ZLP5520NW",
                    "/usr/share/cups/model/ZLP5520NW.ppd"};
const Build kNet = {"/usr/lib/cups/filter/pstopxl_5520nw_net", "ZLP5520NW-net",
                    "/usr/share/cups/model/ZLP5520NW-net.ppd"};

struct Job {
    FilterRun run;
    double seconds = 0;
};

Job printThrough(const Build &build, const PrinterPort &printer, FilterCall call)
{
    call.program = ZLPSIM_BACKEND;
    call.queue = "zlpsim-backend";
    call.ppd = build.ppd;
    call.args = {"--connect", printer.address(), "--timeout", "120",
                 "--",        build.filter,      build.queue, "42",
                 "alice",     "report",          "1",         ""};
    // The filter's half-second pauses pass at once; its time-outs stay real.
    call.env = {std::string("LD_PRELOAD=") + ZLP_FASTTIME};
    call.timeoutSeconds = 150;
    const auto start = std::chrono::steady_clock::now();
    Job job;
    job.run = runFilter(call);
    job.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return job;
}

class StalledPrinter : public ::testing::TestWithParam<Build>
{
  protected:
    void SetUp() override
    {
        ASSERT_NE(std::getenv("ZLP_IN_SANDBOX"), nullptr) << "run through tests/sandbox/sandbox.sh";
        writeFile("/var/tmp/job.ps", postscript(1));
        writeFile(log(), "");
    }
    std::string log() const
    {
        return std::string("/opt/varn/ZLP5520NW/bin/") +
               (GetParam().filter == kUsb.filter ? "usb" : "net") + "/print_log";
    }
};

TEST_P(StalledPrinter, EndsTheJobAfterElevenDrainTimesWithoutProgress)
{
    // Twelve blocks; the printer stops after one megabyte and is only woken (SIGUSR1) once the
    // filter has given up, so that the cancel sequence can still reach it.
    setRasterizer("head -c $((63 + 12 * 262144)) /dev/zero\n");
    PrinterPort printer({"--stall-after", "1000000"});
    FilterCall call;
    call.signalOnText = "cancel job=14;";
    call.signalNumber = SIGUSR1;
    call.signalTarget = printer.pid();
    const Job job = printThrough(GetParam(), printer, call);

    EXPECT_FALSE(job.run.timedOut);
    EXPECT_EQ(job.run.exitCode, 0) << job.run.err.substr(job.run.err.size() - 2000);
    EXPECT_TRUE(contains(job.run.err, "DEBUG:[VARN-ZLP5520NW]cancel job=14;\n"));
    // Before the cancel: only a stall counts, never a write that moved something.
    EXPECT_GE(count(job.run.err, kStall), 5u) << job.run.err.substr(0, 4000);
    // Eleven failures of at most two seconds each; the pauses between them pass at once here.
    EXPECT_GE(job.seconds, 19.0);
    EXPECT_LT(job.seconds, 60.0);
    EXPECT_TRUE(endsWith(readFile(log()), "\n打印任务被用户取消\n"));

    ASSERT_TRUE(printer.finished());
    const std::string stream = printer.stream();
    EXPECT_LT(stream.size(), 63u + 12 * 262144);
    EXPECT_TRUE(endsWith(stream, kCancel)) << stream.size();
    EXPECT_FALSE(contains(stream, "@PJL EOJ"));
}

TEST_P(StalledPrinter, SlowPrinterIsNeverCancelled)
{
    // 64 KiB every 0.8 s: one block takes over three seconds to leave, yet every write moves
    // within two.
    setRasterizer("head -c $((63 + 3 * 262144)) /dev/zero\n");
    PrinterPort printer({"--read-chunk", "65536", "--read-delay", "800"});
    const Job job = printThrough(GetParam(), printer, {});

    EXPECT_EQ(job.run.exitCode, 0);
    EXPECT_FALSE(contains(job.run.err, "cancel job"));
    EXPECT_FALSE(contains(job.run.err, kStall)) << job.run.err.substr(0, 4000);
    EXPECT_GE(job.seconds, 8.0); // the printer really was slow
    EXPECT_TRUE(endsWith(readFile(log()), "\n打印任务完成\n"));
    ASSERT_TRUE(printer.finished());
    const std::string stream = printer.stream();
    EXPECT_TRUE(endsWith(stream, std::string(3 * 262144, '\0') + kTrailer)) << stream.size();
}

INSTANTIATE_TEST_SUITE_P(Builds, StalledPrinter, ::testing::Values(kUsb, kNet),
                         [](const ::testing::TestParamInfo<Build> &param) {
                             return std::string(param.param.filter == kUsb.filter ? "usb" : "net");
                         });

} // namespace
