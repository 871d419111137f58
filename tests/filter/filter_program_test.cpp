// The installed filters run as CUPS runs them, inside the test sandbox: real
// PPDs, real Ghostscript or a rasterizer stand-in, the real fixed paths.
#include "filterrun.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

const std::string kUsb = "/opt/varn/ZLP5520NW/bin/usb/";
const std::string kSettings = kUsb + "config/printerInfo";
const std::string kState = kUsb + "config/printerState";
const std::string kLog = kUsb + "print_log";
const std::string kDebugCopy = "/var/tmp/qzt.prn";
const std::string kStart = "\x1b%-12345X\n\x1b#+54321X_VARN@PJL\n@PJL SET RENDERMODE=GRAYSCALE\n";
const std::string kTrailer = "\x1b%-12345X\n\x1b#+54321X_VARN@PJL EOJ\n\x1b%-12345X";
const std::string kCancel = "\x1b%-12345X\n\x1b#+54321X_VARN@PJL CANCEL\n\x1b%-12345X";
const std::string kReason =
    "输入数字密码无效，请在电脑端打印队列中取消任务，并重新设置四位密码，重新打印\n";
const std::string kHeaderEnd = "@PJL SET FIXINTENSITYUP=OFF\n";

// A small tmpfs mounted over a folder for one test; fill() takes every block that is left,
// so the next write that needs a block fails with ENOSPC (or falls short) as on a full disk.
class TinyFileSystem
{
  public:
    explicit TinyFileSystem(const std::string &dir) : dir_(dir)
    {
        mkdir(dir.c_str(), 0755);
        mounted_ = mount("zlp-full", dir.c_str(), "tmpfs", 0, "size=64k,mode=0755") == 0;
    }
    ~TinyFileSystem()
    {
        if (mounted_)
            umount2(dir_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    void fill()
    {
        const int fd = open((dir_ + "/.filler").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        static const char page[4096] = {};
        while (write(fd, page, sizeof page) > 0) {
        }
        while (write(fd, page, 1) > 0) {
        }
        close(fd);
    }
    void makeRoom() { unlink((dir_ + "/.filler").c_str()); }

  private:
    std::string dir_;
    bool mounted_ = false;
};

class Filter : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_NE(std::getenv("ZLP_IN_SANDBOX"), nullptr) << "run through tests/sandbox/sandbox.sh";
        unlink(kSettings.c_str());
        unlink(kState.c_str());
        unlink(kDebugCopy.c_str());
        unlink("/var/spool/cups/d00042-001");
        writeFile(kLog, "");
        setRasterizer("");
        writeFile("/var/tmp/job.ps", postscript(2));
    }
};

TEST_F(Filter, DefaultJobPrintsAndLeavesItsFiles)
{
    const FilterRun run = runFilter({});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    // Our header, then Ghostscript's stream less its own preamble, then the trailer.
    ASSERT_EQ(run.out.compare(0, kStart.size(), kStart), 0);
    EXPECT_TRUE(contains(run.out, "@PJL SET USERNAME=\"alice\"\n@PJL SET JOBNAME=\"report\"\n"));
    EXPECT_TRUE(contains(run.out, kHeaderEnd + "@PJL ENTER LANGUAGE = PCLXL\n) HP-PCL XL;"));
    EXPECT_FALSE(contains(run.out, "@PJL SET RESOLUTION=600\n@PJL ENTER"));
    EXPECT_TRUE(endsWith(run.out, kTrailer));
    EXPECT_EQ(readFile(kDebugCopy), run.out.substr(0, run.out.size() - kTrailer.size()));

    EXPECT_EQ(readFile(kSettings), "resolution:600dpi;\npapersize:A4;\ninputslot:AUTO;\n"
                                   "mediatype:PLAIN;\nduplex:None;\n");
    EXPECT_EQ(readFile(kState), "CODE=10001");
    const std::string log = readFile(kLog);
    EXPECT_EQ(log.find(std::string(51, '*') + "\n打印机名称：ZLP5520NW\n日期:"), 0u);
    EXPECT_TRUE(contains(log, "\n任务ID：42\n用户名：alice\n文件名：report\n打印份数：1\n"
                              "文档页数：0\nresolution:600dpi\npapersize:A4;\n"));
    EXPECT_TRUE(endsWith(log, "duplex:单面打印\n\n打印任务完成\n"));
    // CUPS runs filters with umask 077; the monitor, another user, must read them.
    EXPECT_EQ(fileMode(kSettings), 0644u);
    EXPECT_EQ(fileMode(kState), 0644u);
    EXPECT_EQ(fileMode(kDebugCopy), 0600u); // the stream holds the key: ours alone

    EXPECT_TRUE(contains(run.err, "INFO:打印机正在打印\n"));
    EXPECT_TRUE(endsWith(run.err, "STATE: -" + kReason + "INFO:空闲\n"));
    EXPECT_FALSE(contains(run.err, "(QZTTEST)"));
}

// CUPS shows a job's title only to its owner; the print log lists every user's. Another
// local user tries to read it: the log the filter makes, or finds world-readable from an
// older install, is for its owner and group only.
TEST_F(Filter, PrintLogIsNotReadableByOtherUsers)
{
    const std::string asNobody = "runuser -u nobody -- cat " + kLog + " >/dev/null 2>&1";
    for (bool existed : {false, true}) {
        if (existed) {
            writeFile(kLog, "");
            ASSERT_EQ(chmod(kLog.c_str(), 0644), 0);
        } else {
            unlink(kLog.c_str());
        }
        const FilterRun run = runFilter({});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_TRUE(contains(readFile(kLog), "\n文件名：report\n")) << existed;
        EXPECT_EQ(fileMode(kLog), 0640u) << existed;
        EXPECT_NE(std::system(asNobody.c_str()), 0) << existed;
    }
}

TEST_F(Filter, CommandLineOptionsOverridePpdDefaults)
{
    FilterCall call;
    call.args[4] = "Passwd4=4 Passwd2=2 Passwd1=1 Passwd3=3 Resolution=300dpi InputSlot=TRAY2 "
                   "MediaType=LABLE PageSize=B5";
    const FilterRun run = runFilter(call);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(contains(run.out, "@PJL SET HOLD=STORE\n@PJL SET HOLDTYPE=PRIVATE\n"
                                  "@PJL SET HOLDKEY=1234\n"));
    EXPECT_TRUE(contains(run.out, "@PJL SET RESOLUTION=300\n"));
    EXPECT_TRUE(contains(run.out, "@PJL SET SOURCETRAY=TRAY2\n@PJL SET PCLT2FIX=ON\n"
                                  "@PJL SET PAPER=JISB5\n@PJL SET MEDIATYPE=LABEL\n"));
    EXPECT_TRUE(contains(run.err, "(QZTTEST)num_options=8;"));
    EXPECT_TRUE(contains(run.err, "pageWidthHeight = -g2134x3020"));
    EXPECT_EQ(readFile(kSettings), "resolution:300dpi;\npapersize:B5;\ninputslot:TRAY2;\n"
                                   "mediatype:LABLE;\nduplex:None;\n");
}

TEST_F(Filter, MissingPpdMeansEveryDefault)
{
    for (const char *ppd : {"/nonexistent.ppd", ""}) {
        FilterCall call;
        call.ppd = ppd;
        call.args[4] = "Resolution=300dpi";
        const FilterRun run = runFilter(call);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_TRUE(contains(run.err, "[NULL]paperSize = A4\n"));
        EXPECT_TRUE(contains(run.err, "[NULL]resolution = 600dpi\n"));
        EXPECT_TRUE(contains(run.out, "@PJL SET RESOLUTION=600\n"));
        EXPECT_TRUE(contains(run.out, "@PJL SET HOLD=OFF\n"));
    }
}

TEST_F(Filter, TooFewArgumentsGiveUsage)
{
    FilterCall call;
    call.args = {"42", "alice", "report", "1"};
    const FilterRun run = runFilter(call);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(contains(run.err, "Usage:"));
    EXPECT_TRUE(run.out.empty());
}

TEST_F(Filter, IncompleteKeyRefusesTheJobAndTouchesNoJobFile)
{
    writeFile(kSettings, "previous settings\n");
    writeFile(kLog, "previous log\n");
    FilterCall call;
    call.args[4] = "Passwd1=1 Passwd3=3";
    // The refusal waits 600 seconds; the preload makes that wait instant.
    call.env = {std::string("LD_PRELOAD=") + ZLP_FASTTIME};
    call.timeoutSeconds = 20;
    const FilterRun run = runFilter(call);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.out.empty());
    EXPECT_TRUE(contains(run.err, "STATE: +" + kReason));
    EXPECT_FALSE(contains(run.err, "INFO:打印机正在打印"));
    EXPECT_EQ(readFile(kState), "CODE=99999");
    EXPECT_EQ(readFile(kSettings), "previous settings\n");
    EXPECT_EQ(readFile(kLog), "previous log\n");
}

TEST_F(Filter, CancellingARefusedJobEndsItAtOnce)
{
    FilterCall call;
    call.args[4] = "Passwd1=1 Passwd2=2";
    call.signalOnText = "STATE: +";
    call.signalNumber = SIGTERM;
    call.timeoutSeconds = 20;
    const FilterRun run = runFilter(call);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, kCancel);
    EXPECT_TRUE(contains(run.err, "cancel job=15;"));
    EXPECT_TRUE(endsWith(run.err, "INFO:空闲\n") || contains(run.err, "INFO:空闲\n"));
    EXPECT_EQ(readFile(kState), "CODE=10001");
}

TEST_F(Filter, CopiesAndPagesComeFromTheSpoolFile)
{
    writeFile("/var/spool/cups/d00042-001",
              "%!PS\n%%Pages: 3\n%%EndComments\n/#copies 3 def\n%%Trailer\n%%Pages: 2\n");
    FilterRun run = runFilter({});
    ASSERT_EQ(run.exitCode, 0) << run.err;

    // A second job without a spool file: the command line's copies decide.
    unlink("/var/spool/cups/d00042-001");
    FilterCall call;
    call.args[3] = "5";
    call.args[4] = "Duplex=DuplexNoTumble";
    run = runFilter(call);
    ASSERT_EQ(run.exitCode, 0) << run.err;

    const std::string log = readFile(kLog);
    const size_t second = log.find(std::string(51, '*'), 1);
    ASSERT_NE(second, std::string::npos);
    const std::string first = log.substr(0, second);
    EXPECT_TRUE(contains(first, "打印份数：3\n文档页数：2\n"));
    EXPECT_TRUE(endsWith(first, "\n\n打印任务完成\n"));
    EXPECT_TRUE(contains(log.substr(second), "打印份数：5\n文档页数：0\n"));
    EXPECT_TRUE(endsWith(log, "duplex:长边翻转\n\n打印任务完成\n"));
    // The settings file shows only the latest job.
    EXPECT_EQ(readFile(kSettings), "resolution:600dpi;\npapersize:A4;\ninputslot:AUTO;\n"
                                   "mediatype:PLAIN;\nduplex:DuplexNoTumble;\n");
}

TEST_F(Filter, PdfSpoolFilesCountTheirPagesThroughQpdf)
{
    const std::string spool = "/var/spool/cups/d00042-001";
    writeFile("/var/tmp/three.ps", postscript(3));
    ASSERT_EQ(std::system("gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=pdfwrite "
                          "-sOutputFile=/var/spool/cups/d00042-001 /var/tmp/three.ps"),
              0);
    FilterCall call;
    call.args[3] = "2";
    FilterRun run = runFilter(call);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(contains(run.err, "DEBUG:[VARN-ZLP5520NW]pdf pages = 3\n"));
    EXPECT_TRUE(endsWith(readFile(kLog).substr(0, readFile(kLog).find("resolution:")),
                         "打印份数：2\n文档页数：3\n"));

    // Damaged beyond repair: no pages, and none of qpdf's complaints on CUPS's status channel.
    writeFile(kLog, "");
    writeFile(spool, "%PDF-1.4\n" + std::string(3000, '\x7f'));
    run = runFilter({});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(contains(readFile(kLog), "打印份数：1\n文档页数：0\n"));
    EXPECT_TRUE(contains(run.err, "DEBUG:[VARN-ZLP5520NW]pdf not readable: "));
    EXPECT_FALSE(contains(run.err, "WARNING"));
    EXPECT_TRUE(endsWith(readFile(kLog), "\n打印任务完成\n"));
}

TEST_F(Filter, StreamIsHeaderThenRasterDataLessItsPreambleThenTrailer)
{
    // 63 preamble bytes, then about 1.3 MB of known data: several 256 KiB blocks.
    setRasterizer("printf '%063d' 7\nseq 1 200000\n");
    std::string data;
    for (int i = 1; i <= 200000; ++i)
        data += std::to_string(i) + "\n";
    const FilterRun run = runFilter({});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    ASSERT_TRUE(endsWith(run.out, data + kTrailer));
    const std::string header = run.out.substr(0, run.out.size() - data.size() - kTrailer.size());
    EXPECT_EQ(header.compare(0, kStart.size(), kStart), 0);
    EXPECT_TRUE(endsWith(header, kHeaderEnd));
    EXPECT_EQ(readFile(kDebugCopy), header + data);
}

TEST_F(Filter, NoPrinterDataSendsOnlyTheTrailer)
{
    // Output no longer than the preamble the filter drops (63 bytes, 64 at 1200 dpi): the
    // stage writes nothing, not even the header, and the job still ends with the trailer.
    const std::pair<const char *, const char *> cases[] = {
        {"true\n", ""},
        {"printf '%040d' 7\n", ""},
        {"printf '%063d' 7\n", ""},
        {"printf '%064d' 7\n", "Resolution=1200dpi"},
    };
    for (const auto &[script, options] : cases) {
        SetUp();
        setRasterizer(script);
        FilterCall call;
        call.args[4] = options;
        const FilterRun run = runFilter(call);
        EXPECT_EQ(run.exitCode, 0) << script;
        EXPECT_EQ(run.out, kTrailer) << script;
        EXPECT_EQ(readFile(kDebugCopy), "") << script;
        EXPECT_EQ(readFile(kState), "CODE=10001") << script;
        EXPECT_TRUE(endsWith(readFile(kLog), "\n打印任务完成\n")) << script;
    }
}

TEST_F(Filter, RasterizerFailureEndsWithoutTrailer)
{
    struct Case {
        const char *script;
        const char *message;
    };
    const Case cases[] = {
        {"printf '%063d' 7\nseq 1 1000\nexit 3\n", "pstopxl failed.  Exit code=3\n"},
        {"printf '%063d' 7\nseq 1 1000\nkill -9 $$\n", "pstopxl process died due to a signal 9.\n"},
        {nullptr, "execl() of pstopxl ('/opt/varn/ZLP5520NW/bin/usb/zlp5520nw/bin/gs') failed"},
    };
    for (const Case &c : cases) {
        SetUp();
        if (c.script)
            setRasterizer(c.script);
        else
            unlink("/opt/varn/ZLP5520NW/bin/usb/zlp5520nw/bin/gs");
        const FilterRun run = runFilter({});
        EXPECT_EQ(run.exitCode, 0) << c.message;
        EXPECT_TRUE(contains(run.err, c.message)) << run.err;
        EXPECT_FALSE(contains(run.out, "@PJL EOJ")) << c.message;
        EXPECT_FALSE(contains(readFile(kLog), "打印任务完成")) << c.message;
        EXPECT_EQ(readFile(kState), "CODE=10023") << c.message;
        EXPECT_FALSE(contains(run.err, "INFO:空闲")) << c.message;
    }
}

TEST_F(Filter, RealGhostscriptAtEveryResolutionDuplexModeAndCustomSize)
{
    const std::pair<const char *, const char *> cases[] = {
        {"Resolution=300dpi", "@PJL SET RESOLUTION=300\n"},
        {"Resolution=600dpi Duplex=DuplexNoTumble", "@PJL SET RESOLUTION=600\n"},
        {"Resolution=1200dpi Duplex=DuplexTumble", "@PJL SET RESOLUTION=TR1200\n"},
        {"Resolution=2400dpi", "@PJL SET RESOLUTION=HQ1200\n"},
        {"PageSize=Custom.300x400", "@PJL SET RESOLUTION=600\n"},
    };
    for (const auto &[options, resolution] : cases) {
        SetUp();
        FilterCall call;
        call.args[4] = options;
        const FilterRun run = runFilter(call);
        ASSERT_EQ(run.exitCode, 0) << options << run.err;
        EXPECT_EQ(run.out.compare(0, kStart.size(), kStart), 0) << options;
        EXPECT_TRUE(contains(run.out, resolution)) << options;
        // Exactly Ghostscript's preamble is cut, whatever its length at this resolution.
        EXPECT_TRUE(contains(run.out, kHeaderEnd + "@PJL ENTER LANGUAGE = PCLXL\n) HP-PCL XL;"))
            << options;
        EXPECT_TRUE(endsWith(run.out, kTrailer)) << options;
    }
}

TEST_F(Filter, SigtermWhileStreamingCancelsCleanly)
{
    setRasterizer("printf '%063d' 7\nwhile true; do seq 1 5000; sleep 0.02; done\n");
    FilterCall call;
    call.signalAfterSeconds = 0.5;
    call.signalNumber = SIGTERM;
    call.timeoutSeconds = 20;
    const FilterRun run = runFilter(call);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(endsWith(run.out, kCancel));
    EXPECT_FALSE(contains(run.out, "@PJL EOJ"));
    EXPECT_TRUE(contains(run.err, "DEBUG:[VARN-ZLP5520NW]cancel job=15;\n"));
    EXPECT_TRUE(contains(run.err, "STATE: -" + kReason + "INFO:空闲\n"));
    EXPECT_EQ(readFile(kState), "CODE=10001");
    EXPECT_TRUE(endsWith(readFile(kLog), "\n打印任务被用户取消\n"));
}

TEST_F(Filter, SigtermAtRandomMomentsNeverHangsNorLosesAnEffect)
{
    setRasterizer(
        "printf '%063d' 7\nfor i in 1 2 3 4 5 6 7 8 9 10; do seq 1 20000; sleep 0.03; done\n");
    // The job lasts about 0.3 s here, several times that under an emulator or a heavy load:
    // one job timed without a signal sets the span, so that signals land before, during and
    // after a job wherever it runs.
    writeFile(kLog, "");
    const auto start = std::chrono::steady_clock::now();
    const FilterRun whole = runFilter({});
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(whole.exitCode, 0) << whole.err;
    ASSERT_TRUE(endsWith(whole.out, kTrailer));
    std::mt19937 random(20261207);
    std::uniform_real_distribution<double> delay(0.0, std::max(0.5, 1.6 * seconds));
    int cancelled = 0, completed = 0;
    for (int i = 0; i < 25; ++i) {
        writeFile(kLog, "");
        unlink(kState.c_str());
        FilterCall call;
        call.signalAfterSeconds = delay(random);
        call.signalNumber = SIGTERM;
        call.timeoutSeconds = 20;
        const FilterRun run = runFilter(call);
        ASSERT_FALSE(run.timedOut) << "run " << i;
        if (run.signal == SIGTERM) {
            // Killed before the handler was installed: nothing may have been sent.
            EXPECT_TRUE(run.out.empty());
            continue;
        }
        ASSERT_EQ(run.exitCode, 0) << "run " << i;
        const std::string log = readFile(kLog);
        if (endsWith(run.out, kCancel) || contains(run.err, "cancel job=15;")) {
            EXPECT_TRUE(endsWith(run.out, kCancel)) << "run " << i;
            EXPECT_TRUE(endsWith(log, "\n打印任务被用户取消\n")) << "run " << i;
            EXPECT_EQ(readFile(kState), "CODE=10001") << "run " << i;
            EXPECT_FALSE(contains(log, "打印任务完成")) << "run " << i;
            ++cancelled;
        } else {
            EXPECT_TRUE(endsWith(run.out, kTrailer)) << "run " << i;
            EXPECT_TRUE(endsWith(log, "\n打印任务完成\n")) << "run " << i;
            EXPECT_EQ(readFile(kState), "CODE=10001") << "run " << i;
            ++completed;
        }
    }
    EXPECT_GE(cancelled, 5);
    EXPECT_GE(completed, 1);
}

TEST_F(Filter, NetworkBuildKeepsNoStateFileNorDebugCopy)
{
    FilterCall call;
    call.program = "/usr/lib/cups/filter/pstopxl_5520nw_net";
    call.queue = "ZLP5520NW-net";
    call.ppd = "/usr/share/cups/model/ZLP5520NW-net.ppd";
    call.args[4] = "Passwd1=1";
    call.env = {std::string("LD_PRELOAD=") + ZLP_FASTTIME};
    const FilterRun run = runFilter(call);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(contains(run.err, "STATE: +" + kReason));
    EXPECT_EQ(fileMode(kState), 0u);
    // The network build writes no option or key run-log lines.
    EXPECT_FALSE(contains(run.err, "paperSize"));
    EXPECT_FALSE(contains(run.err, "securityPasswd"));
}

TEST_F(Filter, PostScriptNamingAPdfHeaderIsCountedByItsComments)
{
    // The PDF header in a comment does not make the job a PDF: it begins with "%!".
    writeFile("/var/spool/cups/d00042-001", "%!PS-Adobe-3.0\n%%Title: (%PDF-1.7 reference)\n"
                                            "%%Pages: 3\n%%EndComments\n/#copies 2 def\n");
    const FilterRun run = runFilter({});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(contains(readFile(kLog), "打印份数：2\n文档页数：3\n")) << readFile(kLog);
    EXPECT_FALSE(contains(run.err, "pdf pages"));
}

TEST_F(Filter, UnreadableNodeNameGivesTheFallbackHost)
{
    setRasterizer("printf '%063d' 7\nseq 1 100\n");
    FilterCall call;
    call.env = {std::string("LD_PRELOAD=") + ZLP_NOUNAME};
    const FilterRun run = runFilter(call);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(contains(run.out, "@PJL PRINTLOG ITEM = 3,alice\n"
                                  "@PJL PRINTLOG ITEM = 4,localhost.localdomain\n"));
    // The line has no line feed of its own: the run-log header follows on it.
    EXPECT_TRUE(contains(run.err, "DEBUG:[VARN-ZLP5520NW] get uname error" +
                                      std::string("DEBUG:[VARN-ZLP5520NW]*****")));
    EXPECT_TRUE(
        contains(run.err, "DEBUG:[VARN-ZLP5520NW]@PJL PRINTLOG ITEM = 4,localhost.localdomain\n"));
}

TEST_F(Filter, FullDiskLeavesThePrintLogWholeAndTheJobPrints)
{
    TinyFileSystem disk("/opt/varn/ZLP5520NW/bin/usb");
    ASSERT_TRUE(disk.mounted()) << std::strerror(errno);
    ASSERT_EQ(mkdir((kUsb + "config").c_str(), 0755), 0);
    ASSERT_EQ(std::system(("mkdir -p " + kUsb + "zlp5520nw/bin").c_str()), 0);
    setRasterizer("printf '%063d' 7\nseq 1 100000\n");
    writeFile(kSettings, "previous settings\n");
    writeFile(kState, "CODE=10006");
    // Ten bytes short of a page: the block's first bytes would still fit, the rest not.
    const std::string history = std::string(4085, '.') + "\n";
    writeFile(kLog, history);
    disk.fill();

    const FilterRun full = runFilter({});
    ASSERT_EQ(full.exitCode, 0) << full.err;
    EXPECT_EQ(full.out.compare(0, kStart.size(), kStart), 0);
    EXPECT_TRUE(endsWith(full.out, "100000\n" + kTrailer));
    // Not one byte of the block or of the closing line stays behind.
    EXPECT_EQ(readFile(kLog).size(), history.size()) << readFile(kLog).substr(history.size());
    EXPECT_TRUE(readFile(kLog) == history);
    EXPECT_TRUE(contains(full.err, "DEBUG:[VARN-ZLP5520NW]write error " + kLog + ": "));
    EXPECT_EQ(readFile(kSettings), "previous settings\n");
    EXPECT_EQ(readFile(kState), "CODE=10006");

    // With room again the next job's block follows the old history directly.
    disk.makeRoom();
    const FilterRun next = runFilter({});
    ASSERT_EQ(next.exitCode, 0) << next.err;
    const std::string log = readFile(kLog);
    EXPECT_EQ(log.compare(0, history.size() + 52, history + std::string(51, '*') + "\n"), 0)
        << log.substr(history.size());
    EXPECT_TRUE(endsWith(log, "duplex:单面打印\n\n打印任务完成\n"));
    EXPECT_FALSE(contains(next.err, "write error"));
}

TEST_F(Filter, ShortWritesToThePrinterAreLoggedByBothBuilds)
{
    // Standard output on a full file system: the header and the data fall short.
    TinyFileSystem disk("/var/tmp/full");
    ASSERT_TRUE(disk.mounted()) << std::strerror(errno);
    disk.fill();
    setRasterizer("printf '%063d' 7\nseq 1 1000\n");
    writeFile("/var/tmp/lock-reply", "CODE=00001");
    for (const bool net : {false, true}) {
        FilterCall call;
        call.outputPath = "/var/tmp/full/job.prn";
        if (net) {
            call.program = "/usr/lib/cups/filter/pstopxl_5520nw_net";
            call.queue = "ZLP5520NW-net";
            call.ppd = "/usr/share/cups/model/ZLP5520NW-net.ppd";
            call.backChannelPath = "/var/tmp/lock-reply";
        }
        call.timeoutSeconds = 30;
        const FilterRun run = runFilter(call);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_TRUE(contains(run.err, "[VARN-ZLP5520NW] DEBUG: send to printer head error "
                                      "writecont != "))
            << net << run.err;
        EXPECT_TRUE(contains(run.err, "[VARN-ZLP5520NW] DEBUG: send to printer error writecont "
                                      "!= bytes_read\n"))
            << net;
        // What the network build leaves out around them: the header text and the data line.
        EXPECT_EQ(contains(run.err, "send to printer head \n"), !net);
        EXPECT_EQ(contains(run.err, "DEBUG: data = "), !net);
        EXPECT_TRUE(endsWith(readFile(net ? "/opt/varn/ZLP5520NW/bin/net/print_log" : kLog),
                             "\n打印任务完成\n"))
            << net;
    }
}

} // namespace
