// The PJL job header, byte for byte, for every option table.
#include "pjlheader.h"

#include <algorithm>

#include <gtest/gtest.h>

namespace
{

const std::string kStart = "\x1b%-12345X\n\x1b#+54321X_VARN@PJL\n@PJL SET RENDERMODE=GRAYSCALE\n";

JobRecord defaultJob()
{
    JobRecord job;
    job.user = "alice";
    job.title = "report.pdf";
    job.printLogTime = "Mon,07,Dec 2026 10:11:12";
    job.startTime = "20261207101112";
    job.host = "desk";
    return job;
}

std::string header(const JobRecord &job, const char **position = nullptr)
{
    static char buffer[kHeaderSize];
    LineBuffer lines(buffer, sizeof buffer);
    LogLines log;
    const char *p = buildJobHeader(job, lines, log);
    if (position)
        *position = p;
    return std::string(lines.data(), lines.size());
}

const std::string kPrintLog = "@PJL PRINTLOG ITEM = 1,PRINTER\n"
                              "@PJL PRINTLOG ITEM = 2,Mon,07,Dec 2026 10:11:12\n"
                              "@PJL PRINTLOG ITEM = 3,alice\n"
                              "@PJL PRINTLOG ITEM = 4,desk\n"
                              "@PJL SET JOBTIME = 20261207101112\n"
                              "@PJL JOB NAME=\"report.pdf\"\n";

// The option groups of a default job, after the print-log items.
const std::string kDefaultOptions = "@PJL SET RESOLUTION=600\n@PJL SET HQMMODE=OFF\n"
                                    "@PJL SET ECONOMODE=OFF\n@PJL SET SOURCETRAY=AUTO\n"
                                    "@PJL SET MEDIATYPE=REGULAR\n"
                                    "@PJL SET LESSPAPERCURL=OFF\n@PJL SET FIXINTENSITYUP=OFF\n";

TEST(PjlHeader, DefaultJobIsExactlyTheDocumentedLines)
{
    const char *position = nullptr;
    EXPECT_EQ(header(defaultJob(), &position),
              kStart +
                  "@PJL SET REPRINT=OFF\n@PJL SET HOLD=OFF\n@PJL SET USERNAME=\"alice\"\n"
                  "@PJL SET JOBNAME=\"report.pdf\"\n" +
                  kPrintLog + kDefaultOptions);
    EXPECT_STREQ(position, "-dMediaPosition=1");
}

TEST(PjlHeader, SecurePrintHoldsTheJobUnderTheKey)
{
    JobRecord job = defaultJob();
    job.key = "0427";
    EXPECT_EQ(header(job), kStart +
                               "@PJL SET REPRINT=OFF\n@PJL SET HOLD=STORE\n"
                               "@PJL SET HOLDTYPE=PRIVATE\n@PJL SET HOLDKEY=0427\n"
                               "@PJL SET USERNAME=\"alice\"\n@PJL SET LOGINUSER=\"alice\"\n"
                               "@PJL SET JOBNAME=\"report.pdf\"\n" +
                               kPrintLog + kDefaultOptions);
}

TEST(PjlHeader, KeyCustomAddsNoIdentification)
{
    JobRecord job = defaultJob();
    job.key = "Custom";
    EXPECT_EQ(header(job), kStart + kPrintLog + kDefaultOptions);
}

// One row: an option set to a value, and the lines it must put in place of
// the lines a default job has there (empty: those lines vanish).
struct OptionCase {
    std::string JobOptions::*field;
    const char *value;
    const char *defaultLines; // lines of the default job that the value replaces
    const char *lines;
};

class OptionTable : public ::testing::TestWithParam<OptionCase>
{
};

TEST_P(OptionTable, ValueGivesItsLines)
{
    const OptionCase &c = GetParam();
    JobRecord job = defaultJob();
    job.options.*c.field = c.value;
    std::string expected = kDefaultOptions;
    const std::string defaults = c.defaultLines;
    const size_t at = expected.find(defaults);
    ASSERT_NE(at, std::string::npos);
    expected.replace(at, defaults.size(), c.lines);
    EXPECT_EQ(header(job), kStart +
                               "@PJL SET REPRINT=OFF\n@PJL SET HOLD=OFF\n"
                               "@PJL SET USERNAME=\"alice\"\n@PJL SET JOBNAME=\"report.pdf\"\n" +
                               kPrintLog + expected);
}

#define RES "@PJL SET RESOLUTION=600\n@PJL SET HQMMODE=OFF\n"
#define TONER "@PJL SET ECONOMODE=OFF\n"
#define TRAY "@PJL SET SOURCETRAY=AUTO\n"
#define TYPE "@PJL SET MEDIATYPE=REGULAR\n"
#define CURL "@PJL SET LESSPAPERCURL=OFF\n@PJL SET FIXINTENSITYUP=OFF\n"
#define SLEEP4(n)                                                                                  \
    "@PJL DEFAULT AUTOSLEEP=ON\n@PJL DEFAULT TIMEOUTSLEEP=" n "\n@PJL SET AUTOSLEEP=ON\n"          \
    "@PJL SET TIMEOUTSLEEP=" n "\n"

INSTANTIATE_TEST_SUITE_P(
    Resolution, OptionTable,
    ::testing::Values(OptionCase{&JobOptions::resolution, "300dpi", RES,
                                 "@PJL SET RESOLUTION=300\n@PJL SET HQMMODE=OFF\n"},
                      OptionCase{&JobOptions::resolution, "1200dpi", RES,
                                 "@PJL SET RESOLUTION=TR1200\n@PJL SET PAPERFEEDSPEED=FULL\n"
                                 "@PJL SET HQMMODE=OFF\n"},
                      OptionCase{&JobOptions::resolution, "2400dpi", RES,
                                 "@PJL SET RESOLUTION=HQ1200\n@PJL SET PAPERFEEDSPEED=FULL\n"
                                 "@PJL SET HQMMODE=OFF\n"},
                      OptionCase{&JobOptions::resolution, "4800dpi", RES, ""}));

INSTANTIATE_TEST_SUITE_P(Scaling, OptionTable,
                         ::testing::Values(OptionCase{&JobOptions::resizePage, "8", RES,
                                                      RES "@PJL SET PRINTSCALINGRATE=800\n"},
                                           OptionCase{&JobOptions::resizePage, "9", RES,
                                                      RES "@PJL SET PRINTSCALINGRATE=900\n"},
                                           OptionCase{&JobOptions::resizePage, "x", RES,
                                                      RES "@PJL SET PRINTSCALINGRATE=0\n"},
                                           OptionCase{&JobOptions::resizePage, "10", RES, RES}));

INSTANTIATE_TEST_SUITE_P(TonerSave, OptionTable,
                         ::testing::Values(OptionCase{&JobOptions::tonerSaveMode, "ON", TONER,
                                                      "@PJL SET ECONOMODE=ON\n"},
                                           OptionCase{&JobOptions::tonerSaveMode, "Maybe", TONER,
                                                      ""}));

INSTANTIATE_TEST_SUITE_P(
    Tray, OptionTable,
    ::testing::Values(OptionCase{&JobOptions::inputSlot, "MPTRAY", TRAY,
                                 "@PJL SET SOURCETRAY=MPTRAY\n@PJL SET PCLMPFIX=ON\n"},
                      OptionCase{&JobOptions::inputSlot, "TRAY1", TRAY,
                                 "@PJL SET SOURCETRAY=TRAY1\n@PJL SET PCLT1FIX=ON\n"},
                      OptionCase{&JobOptions::inputSlot, "TRAY2", TRAY,
                                 "@PJL SET SOURCETRAY=TRAY2\n@PJL SET PCLT2FIX=ON\n"},
                      OptionCase{&JobOptions::inputSlot, "TRAY3", TRAY,
                                 "@PJL SET SOURCETRAY=TRAY3\n@PJL SET PCLT3FIX=ON\n"},
                      OptionCase{&JobOptions::inputSlot, "TRAY4", TRAY, TRAY}));

INSTANTIATE_TEST_SUITE_P(PaperSize, OptionTable,
                         ::testing::Values(OptionCase{&JobOptions::pageSize, "B5", TRAY,
                                                      TRAY "@PJL SET PAPER=JISB5\n"},
                                           OptionCase{&JobOptions::pageSize, "ISOB5", TRAY, TRAY}));

INSTANTIATE_TEST_SUITE_P(
    MediaType, OptionTable,
    ::testing::Values(
        OptionCase{&JobOptions::mediaType, "THIN", TYPE, "@PJL SET MEDIATYPE=THIN\n"},
        OptionCase{&JobOptions::mediaType, "THICK", TYPE, "@PJL SET MEDIATYPE=THICK\n"},
        OptionCase{&JobOptions::mediaType, "THICKERPAPER2", TYPE, "@PJL SET MEDIATYPE=THICK2\n"},
        OptionCase{&JobOptions::mediaType, "BOND", TYPE, "@PJL SET MEDIATYPE=BOND\n"},
        OptionCase{&JobOptions::mediaType, "ENV", TYPE, "@PJL SET MEDIATYPE=ENVELOPES\n"},
        OptionCase{&JobOptions::mediaType, "ENVTHICK", TYPE, "@PJL SET MEDIATYPE=ENVTHICK\n"},
        OptionCase{&JobOptions::mediaType, "ENVTHIN", TYPE, "@PJL SET MEDIATYPE=ENVTHIN\n"},
        OptionCase{&JobOptions::mediaType, "RECYCLED", TYPE, "@PJL SET MEDIATYPE=RECYCLED\n"},
        OptionCase{&JobOptions::mediaType, "LABLE", TYPE, "@PJL SET MEDIATYPE=LABEL\n"},
        OptionCase{&JobOptions::mediaType, "COLOR", TYPE, "@PJL SET MEDIATYPE=COLOR\n"},
        OptionCase{&JobOptions::mediaType, "LETTERHEAD", TYPE, "@PJL SET MEDIATYPE=LETTERHEAD\n"},
        OptionCase{&JobOptions::mediaType, "HOLEPUNCHED", TYPE, "@PJL SET MEDIATYPE=HOLEPUNCHED\n"},
        OptionCase{&JobOptions::mediaType, "LABEL", TYPE, ""}));

INSTANTIATE_TEST_SUITE_P(Density, OptionTable,
                         ::testing::Values(OptionCase{
                             &JobOptions::printDensity, "3", TYPE,
                             TYPE "@PJL SET DENSITY=3\n@PJL SET DEVBIASADJUST=3\n"}));

INSTANTIATE_TEST_SUITE_P(
    Curl, OptionTable,
    ::testing::Values(OptionCase{&JobOptions::improvePrintOutput, "ReducePaperCurl", CURL,
                                 "@PJL SET LESSPAPERCURL=ON\n@PJL SET FIXINTENSITYUP=OFF\n"},
                      OptionCase{&JobOptions::improvePrintOutput, "ImproveTonerFixing", CURL,
                                 "@PJL SET LESSPAPERCURL=OFF\n@PJL SET FIXINTENSITYUP=ON\n"},
                      OptionCase{&JobOptions::improvePrintOutput, "PrinterDefault", CURL, ""}));

INSTANTIATE_TEST_SUITE_P(
    QuietAndSleep, OptionTable,
    ::testing::Values(OptionCase{&JobOptions::quiteMode, "ON", CURL,
                                 CURL "@PJL SET QUIETMODE=ON\n"},
                      OptionCase{&JobOptions::quiteMode, "OFF", CURL, CURL},
                      OptionCase{&JobOptions::sleep, "2minutes", CURL, CURL SLEEP4("2")},
                      OptionCase{&JobOptions::sleep, "5minutes", CURL, CURL SLEEP4("5")},
                      OptionCase{&JobOptions::sleep, "10minutes", CURL, CURL SLEEP4("10")},
                      OptionCase{&JobOptions::sleep, "30minutes", CURL, CURL SLEEP4("30")},
                      OptionCase{&JobOptions::sleep, "60minutes", CURL, CURL SLEEP4("60minutes")}));

TEST(PjlHeader, TrayOutsideTheTableIsAutomatic)
{
    EXPECT_STREQ(mediaPosition("MPTRAY"), "-dMediaPosition=2");
    EXPECT_STREQ(mediaPosition("TRAY1"), "-dMediaPosition=4");
    EXPECT_STREQ(mediaPosition("TRAY2"), "-dMediaPosition=5");
    EXPECT_STREQ(mediaPosition("TRAY3"), "-dMediaPosition=7");
    EXPECT_STREQ(mediaPosition("TRAY4"), "-dMediaPosition=1");
}

TEST(PjlHeader, SubmittedValuesCannotInjectCommands)
{
    JobRecord job = defaultJob();
    job.user = "eve\n@PJL SET ECONOMODE=ON";
    job.title = "a \"quoted\"\r\x1b%-12345X title\x7f";
    const std::string got = header(job);
    EXPECT_NE(got.find("@PJL SET USERNAME=\"eve @PJL SET ECONOMODE=ON\"\n"), std::string::npos);
    EXPECT_NE(got.find("@PJL SET JOBNAME=\"a \"quoted\"  %-12345X title \"\n"), std::string::npos);
    // The only ESC bytes are the two of the fixed start sequence.
    EXPECT_EQ(std::count(got.begin(), got.end(), '\x1b'), 2);
    EXPECT_EQ(got.find("\n@PJL SET ECONOMODE=ON"), std::string::npos);
}

TEST(PjlHeader, LongValuesAreCutAndEveryLineEnds)
{
    JobRecord job = defaultJob();
    job.title = std::string(10000, 'T');
    job.user = std::string(300, 'u');
    job.options.sleep = std::string(5000, 's');
    job.options.printDensity = std::string(5000, 'd');
    const std::string got = header(job);
    ASSERT_LT(got.size(), kHeaderSize);
    EXPECT_EQ(got.back(), '\n');
    size_t start = 0;
    while (start < got.size()) {
        const size_t end = got.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        EXPECT_LE(end - start + 1, 255u) << got.substr(start, 40);
        start = end + 1;
    }
    EXPECT_NE(got.find("@PJL SET JOBNAME=\"TTT"), std::string::npos);
    EXPECT_NE(got.find("T\"\n@PJL PRINTLOG ITEM = 1"), std::string::npos);
}

TEST(PjlHeader, CutKeepsUtf8CharactersWhole)
{
    JobRecord job = defaultJob();
    std::string title;
    while (title.size() < 400)
        title += "打印";
    job.title = title;
    const std::string got = header(job);
    const size_t at = got.find("@PJL SET JOBNAME=\"");
    const size_t end = got.find("\"\n", at + 18);
    const std::string cut = got.substr(at + 18, end - at - 18);
    EXPECT_EQ(cut.size() % 3, 0u);
    EXPECT_EQ(title.compare(0, cut.size(), cut), 0);
}

TEST(LineBuffer, FullBufferCutsTheLastLineButKeepsItsLineFeed)
{
    char buffer[16];
    LineBuffer lines(buffer, sizeof buffer);
    lines.append("0123456789\n");
    lines.append("abcdefghij\n");
    EXPECT_STREQ(lines.data(), "0123456789\nabc\n");
    lines.append("more\n");
    EXPECT_STREQ(lines.data(), "0123456789\nabc\n");
    EXPECT_EQ(lines.size(), 15u);
}

} // namespace
