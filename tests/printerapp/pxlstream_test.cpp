// The app's printer stream against Ghostscript itself and the simulated printer's decoder, and
// the lock exchange against scripted printer replies.
#include "jobstream.h"
#include "lockexchange.h"
#include "pxlstream.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <string>
#include <unistd.h>

namespace
{

class Document
{
  public:
    explicit Document(const std::string &text)
    {
        char name[] = "/tmp/pxlstream-test-XXXXXX";
        const int fd = mkstemp(name);
        path_ = name;
        if (fd >= 0) {
            ssize_t written = write(fd, text.data(), text.size());
            (void)written;
            close(fd);
        }
    }
    ~Document() { unlink(path_.c_str()); }
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

std::string pages(int count)
{
    std::string ps = "%!PS\n";
    for (int i = 0; i < count; ++i)
        ps += "/Helvetica findfont 24 scalefont setfont 72 720 moveto (Page) show "
              "72 72 200 200 rectfill showpage\n";
    return ps;
}

JobRecord record(const std::string &resolution)
{
    JobRecord job;
    job.options.resolution = resolution;
    job.user = "alice";
    job.title = "test";
    return job;
}

struct Capture {
    std::string bytes;
    size_t cancelAfter = 0; // cancel once this many bytes went out (0: never)
    StreamSink sink()
    {
        StreamSink s;
        s.write = [this](const char *data, size_t length) {
            bytes.append(data, length);
            return true;
        };
        s.cancelled = [this] { return cancelAfter > 0 && bytes.size() >= cancelAfter; };
        return s;
    }
};

zlpsim::JobStream decode(const std::string &bytes)
{
    return zlpsim::decodeJobStream(reinterpret_cast<const std::uint8_t *>(bytes.data()),
                                   bytes.size());
}

TEST(PxlStream, HeaderPagesAndTrailerAtEachResolution)
{
    Document doc(pages(2));
    for (const char *resolution : {"300dpi", "600dpi", "1200dpi"}) {
        SCOPED_TRACE(resolution);
        Capture capture;
        StreamStats stats;
        ASSERT_EQ(
            streamJob(ZLP_GS, doc.path(), record(resolution), "", false, 1, capture.sink(), stats),
            StreamResult::Completed)
            << stats.error;
        EXPECT_EQ(stats.bytes, capture.bytes.size());
        const zlpsim::JobStream job = decode(capture.bytes);
        EXPECT_TRUE(job.vendorPrefix);
        EXPECT_EQ(job.lockQueries, 0);
        // Ghostscript's own preamble is gone: the PCL XL stream follows our header directly.
        EXPECT_TRUE(job.pclxl.wellFormed) << job.pclxl.error;
        EXPECT_EQ(job.pclxl.pages, 2);
        EXPECT_EQ(job.end, "trailer");
        EXPECT_EQ(job.settings.at("USERNAME"), "\"alice\"");
        const std::string dpi =
            std::string(resolution).substr(0, std::string(resolution).size() - 3);
        EXPECT_EQ(job.pclxl.unitsX, std::stoi(dpi));
    }
}

TEST(PxlStream, CopiesArePageCopies)
{
    Document doc(pages(2));
    Capture capture;
    StreamStats stats;
    ASSERT_EQ(streamJob(ZLP_GS, doc.path(), record("300dpi"), "", false, 3, capture.sink(), stats),
              StreamResult::Completed);
    const zlpsim::JobStream job = decode(capture.bytes);
    ASSERT_EQ(job.pclxl.pageList.size(), 2u);
    for (const zlpsim::PclXlPage &page : job.pclxl.pageList)
        EXPECT_EQ(page.copies, 3);
}

TEST(PxlStream, CancelSendsTheCancelSequence)
{
    Document doc(pages(6));
    Capture capture;
    capture.cancelAfter = 1;
    StreamStats stats;
    EXPECT_EQ(streamJob(ZLP_GS, doc.path(), record("600dpi"), "", false, 1, capture.sink(), stats),
              StreamResult::Cancelled);
    EXPECT_EQ(decode(capture.bytes).end, "cancel");
}

TEST(PxlStream, BrokenDocumentAndVanishedPrinter)
{
    // PostScript that stops with an error: what reached the printer is cancelled there, never
    // ended as a complete job.
    Document broken("%!PS\n/Helvetica findfont 20 scalefont setfont 72 72 moveto (x) show\n"
                    "nosuchoperator\n");
    Capture capture;
    StreamStats stats;
    EXPECT_EQ(
        streamJob(ZLP_GS, broken.path(), record("600dpi"), "", false, 1, capture.sink(), stats),
        StreamResult::RasterizerFailed);
    EXPECT_FALSE(stats.error.empty());
    EXPECT_NE(decode(capture.bytes).end, "trailer");

    Document doc(pages(1));
    StreamSink gone;
    gone.write = [](const char *, size_t) { return false; };
    gone.cancelled = [] { return false; };
    EXPECT_EQ(streamJob(ZLP_GS, doc.path(), record("600dpi"), "", false, 1, gone, stats),
              StreamResult::PrinterGone);
}

struct ScriptedPrinter {
    explicit ScriptedPrinter(std::deque<std::string> script) : replies(std::move(script)) {}
    std::deque<std::string> replies; // one per read; "" is silence
    std::string asked;
    int reads = 0;
    LockChannel channel()
    {
        LockChannel c;
        c.write = [this](const char *data, size_t length) {
            asked.append(data, length);
            return true;
        };
        c.read = [this](double) {
            ++reads;
            if (replies.empty())
                return std::string();
            std::string r = replies.front();
            replies.pop_front();
            return r;
        };
        return c;
    }
};

TEST(LockExchange, AnswersAsTheNetworkFilterReadsThem)
{
    ScriptedPrinter grant(std::deque<std::string>{"CODE=00001"});
    EXPECT_EQ(askPrinterLock(grant.channel(), 2.0), LockAnswer::MayPrint);
    EXPECT_EQ(grant.asked, "LockPrinter?");

    ScriptedPrinter busy(std::deque<std::string>{"CODE=00002"});
    EXPECT_EQ(askPrinterLock(busy.channel(), 2.0), LockAnswer::Busy);

    // Numbers that are not final make us read on, without asking again.
    ScriptedPrinter later(std::deque<std::string>{"CODE=00007", "CODE=00001"});
    EXPECT_EQ(askPrinterLock(later.channel(), 2.0), LockAnswer::MayPrint);
    EXPECT_EQ(later.asked, "LockPrinter?");

    // A short first reply is followed by up to three re-reads.
    ScriptedPrinter slow(std::deque<std::string>{"", "", "CODE=00001"});
    EXPECT_EQ(askPrinterLock(slow.channel(), 2.0), LockAnswer::MayPrint);

    ScriptedPrinter silent(std::deque<std::string>{});
    EXPECT_EQ(askPrinterLock(silent.channel(), 2.0), LockAnswer::NoAnswer);
    EXPECT_EQ(silent.reads, 4);

    ScriptedPrinter garbage(std::deque<std::string>{"CODE=0x001"});
    EXPECT_EQ(askPrinterLock(garbage.channel(), 2.0), LockAnswer::NoAnswer);
}

} // namespace
