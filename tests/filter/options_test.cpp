// Options, the secure-print key, rasterizer arguments and the lock reply, as
// pure functions over values.
#include "geometry.h"
#include "joboptions.h"
#include "lockreply.h"

#include <gtest/gtest.h>

#include <map>

namespace
{

#define TAG "DEBUG:[VARN-ZLP5520NW]"

ChoiceLookup choices(std::map<std::string, std::string> marked)
{
    return [marked = std::move(marked)](const char *keyword) -> const char * {
        const auto it = marked.find(keyword);
        return it == marked.end() ? nullptr : it->second.c_str();
    };
}

TEST(JobOptions, MissingKeywordsTakeDefaultsAndSayWhy)
{
    JobOptions options;
    LogLines log;
    readLayoutOptions(choices({}), options, log);
    readFinishingOptions(choices({}), options, log);
    EXPECT_EQ(options.pageSize, "A4");
    EXPECT_EQ(options.resolution, "600dpi");
    EXPECT_EQ(options.printDensity, "0");
    const LogLines expected = {TAG "[NULL]paperSize = A4\n",
                               TAG "[NULL]paperType = PLAIN\n",
                               TAG "[NULL]paperTray = AUTO\n",
                               TAG "[NULL]Duplex = None\n",
                               TAG "[NULL]resolution = 600dpi\n",
                               TAG "[NULL]resizePaper = 1.0\n",
                               TAG "[NULL]tonerSave = OFF\n",
                               TAG "[NULL]ImprovePrintOutput = PrinterDefault\n",
                               TAG "[NULL]PrintDensity = PrintDensity\n",
                               TAG "[NULL]sleepTime = PrinterDefault\n",
                               TAG "[NULL]QuiteMode = OFF\n"};
    EXPECT_EQ(log, expected);
}

TEST(JobOptions, MarkedChoicesWinAndAreLogged)
{
    JobOptions options;
    LogLines log;
    readLayoutOptions(choices({{"PageSize", "Letter"}, {"Duplex", "DuplexTumble"}}), options, log);
    EXPECT_EQ(options.pageSize, "Letter");
    EXPECT_EQ(options.duplex, "DuplexTumble");
    EXPECT_EQ(log[0], TAG "paperSize = Letter\n");
    EXPECT_EQ(log[3], TAG "Duplex = DuplexTumble\n");
    EXPECT_EQ(duplexMode(options.duplex), 2);
    EXPECT_EQ(duplexMode("DuplexNoTumble"), 1);
    EXPECT_EQ(duplexMode("None"), 0);
    EXPECT_EQ(duplexMode("Sideways"), 0);
}

TEST(SecureKey, NoDigitsMeansNoSecurePrint)
{
    LogLines log;
    const SecureKey key = readSecureKey(choices({{"Passwd1", "False"},
                                                 {"Passwd2", "False"},
                                                 {"Passwd3", "False"},
                                                 {"Passwd4", "False"}}),
                                        log);
    EXPECT_EQ(key.state, KeyState::None);
    EXPECT_EQ(key.key, "False");
    const LogLines expected = {TAG "first securityPasswd = False\n",
                               TAG "second securityPasswd = False\n",
                               TAG "third securityPasswd = False\n",
                               TAG "forth securityPasswd = False\n",
                               TAG "the whole securityPasswd = , securityPasswdCont = 0\n",
                               TAG " no securityPasswd = False\n"};
    EXPECT_EQ(log, expected);
}

TEST(SecureKey, FourDigitsAreJoinedInKeywordOrder)
{
    LogLines log;
    const SecureKey key = readSecureKey(
        choices({{"Passwd4", "7"}, {"Passwd2", "0"}, {"Passwd1", "9"}, {"Passwd3", "1"}}), log);
    EXPECT_EQ(key.state, KeyState::Complete);
    EXPECT_EQ(key.key, "9017");
    EXPECT_EQ(key.digits, 4);
    EXPECT_EQ(log[0], TAG "first securityPasswd = 9\n");
    EXPECT_EQ(log[1], TAG "the whole securityPasswd = 9, securityPasswdCont = 1\n");
    EXPECT_EQ(log.back(), TAG "the whole securityPasswd = 9017, securityPasswdCont = 4\n");
}

TEST(SecureKey, OneToThreeDigitsRefuseTheJob)
{
    for (const auto &marked : std::vector<std::map<std::string, std::string>>{
             {{"Passwd1", "1"}},
             {{"Passwd1", "1"}, {"Passwd3", "3"}, {"Passwd2", "False"}, {"Passwd4", "False"}},
             {{"Passwd2", "2"}, {"Passwd3", "3"}, {"Passwd4", "4"}}}) {
        LogLines log;
        const SecureKey key = readSecureKey(choices(marked), log);
        EXPECT_EQ(key.state, KeyState::Refused);
        EXPECT_EQ(log.back(), TAG "securityPasswd set False\n");
    }
}

TEST(SecureKey, LongChoiceNamesCannotOverflowTheKey)
{
    LogLines log;
    const SecureKey key = readSecureKey(
        choices({{"Passwd1", "12345"}, {"Passwd2", "6"}, {"Passwd3", "7"}, {"Passwd4", "8"}}), log);
    EXPECT_EQ(key.key.size(), 4u);
    EXPECT_EQ(key.key, "1234");
}

TEST(Raster, TableRowsAtEveryResolution)
{
    struct Row {
        const char *size, *resolution, *r, *g;
        size_t head;
    };
    const Row rows[] = {
        {"A4", "300dpi", "-r300x300", "-g2480x3508", 63},
        {"A4", "600dpi", "-r600x600", "-g4961x7016", 63},
        {"A4", "1200dpi", "-r1200x1200", "-g9922x14032", 64},
        {"A4", "2400dpi", "-r1200x1200", "-g9922x14032", 64},
        {"A5", "300dpi", "-r300x300", "-g1752x2480", 63},
        {"A5L", "300dpi", "-r300x300", "-g2480x1748", 63},
        {"EnvDL", "1200dpi", "-r1200x1200", "-g5198x10394", 64},
        {"B5", "600dpi", "-r600x600", "-g4268x6041", 63},
        {"197x273mm", "600dpi", "-r600x600", "-g4654x6449", 63},
        {"CUSTOM3", "1200dpi", "-r1200x1200", "-g9916x14032", 64},
    };
    for (const Row &row : rows) {
        LogLines log;
        const RasterChoice c = chooseRaster(row.size, row.resolution, nullptr, log);
        EXPECT_EQ(c.resolutionArg, row.r) << row.size << " " << row.resolution;
        EXPECT_EQ(c.geometryArg, row.g) << row.size << " " << row.resolution;
        EXPECT_EQ(c.headBytes, row.head);
        EXPECT_FALSE(c.fellBack);
    }
}

TEST(Raster, CustomSizesAreComputedFromThePoints)
{
    const char *options = "media=x PageSize=Custom.595x842 Duplex=None";
    const std::pair<const char *, const char *> expected[] = {
        {"300dpi", "-g2480x3508"}, {"600dpi", "-g4960x7016"}, {"1200dpi", "-g9920x14032"}};
    for (const auto &[resolution, geometry] : expected) {
        LogLines log;
        EXPECT_EQ(chooseRaster("Custom", resolution, options, log).geometryArg, geometry);
        EXPECT_EQ(log[0], TAG "Custom.widthxheight = 595.000000*842.000000\n");
        EXPECT_EQ(log[1], std::string(TAG "Custom.widthxheight = ") + geometry + "\n");
    }
    LogLines log;
    // Millimetres are converted: 210x297mm is 595.3x841.9 points.
    EXPECT_EQ(chooseRaster("Custom", "600dpi", "PageSize=Custom.210x297mm", log).geometryArg,
              "-g4962x7015");
}

TEST(Raster, UnusableCustomOrUnknownValuesPrintA4)
{
    LogLines log;
    EXPECT_EQ(chooseRaster("Custom", "600dpi", "Duplex=None", log).geometryArg, "-g4961x7016");
    EXPECT_EQ(chooseRaster("Custom", "600dpi", "PageSize=Custom.axb", log).geometryArg,
              "-g4961x7016");
    EXPECT_EQ(chooseRaster("Custom", "300dpi", "PageSize=Custom.-5x100", log).geometryArg,
              "-g2480x3508");
    // Less than a pixel wide: Ghostscript would refuse the job outright.
    EXPECT_EQ(chooseRaster("Custom", "600dpi", "PageSize=Custom..1x1", log).geometryArg,
              "-g4961x7016");
    EXPECT_EQ(chooseRaster("Custom", "300dpi", "PageSize=Custom.100x0.1", log).geometryArg,
              "-g2480x3508");
    const RasterChoice size = chooseRaster("Tabloid", "300dpi", nullptr, log);
    EXPECT_EQ(size.geometryArg, "-g2480x3508");
    EXPECT_TRUE(size.fellBack);
    const RasterChoice res = chooseRaster("Letter", "72dpi", nullptr, log);
    EXPECT_EQ(res.resolutionArg, "-r600x600");
    EXPECT_EQ(res.geometryArg, "-g5100x6600");
    EXPECT_TRUE(res.fellBack);
}

TEST(Raster, ArgumentListsOfTheThreeDuplexModes)
{
    RasterChoice c;
    c.resolutionArg = "-r600x600";
    c.geometryArg = "-g4961x7016";
    using Args = std::vector<std::string>;
    const Args tail = {"-dNOPAUSE", "-dSAFER", "-sstdout=%stderr", "-sOutputFile=-", "-"};
    auto with = [&](Args head) {
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    EXPECT_EQ(rasterizerArgs(0, c, "-dMediaPosition=4"),
              with({"gs", "-dBATCH", "-dPARANOIDSAFER", "-dNOMEDIAATTRS", "-dNOINTERPOLATE",
                    "-sDEVICE=pxlmono", "-dNumRenderingThreads=4", "-r600x600", "-g4961x7016", "-q",
                    "-dMediaPosition=4"}));
    EXPECT_EQ(rasterizerArgs(1, c, "-dMediaPosition=4"),
              with({"gs", "-dBATCH", "-dPARANOIDSAFER", "-dNOMEDIAATTRS", "-dDuplex",
                    "-dNOINTERPOLATE", "-sDEVICE=pxlmono", "-dNumRenderingThreads=4", "-r600x600",
                    "-g4961x7016", "-q", "-dMediaPosition=4"}));
    EXPECT_EQ(rasterizerArgs(2, c, "-dMediaPosition=4"),
              with({"gs", "-dBATCH", "-dPARANOIDSAFER", "-dNOMEDIAATTRS", "-dDuplex", "-dTumble",
                    "-dNOINTERPOLATE", "-sDEVICE=pxlmono", "-dNumRenderingThreads=4", "-r600x600",
                    "-dMediaPosition=4", "-g4961x7016", "-q"}));
}

TEST(LockReply, FinalAndNonFinalAnswers)
{
    LogLines log;
    EXPECT_EQ(parseLockReply("CODE=00001", kNoReply, log), 1);
    EXPECT_EQ(parseLockReply("CODE=00002", kNoReply, log), 2);
    EXPECT_EQ(parseLockReply("CODE=0000A", kNoReply, log), kNoReply);
    EXPECT_EQ(parseLockReply("CODE=00003", kNoReply, log), 3);
    EXPECT_EQ(parseLockReply("", kNoReply, log), kNoReply);
    EXPECT_EQ(parseLockReply("garbage", 3, log), 3);
    // Several lines: "may print" ends the scan even before a later busy.
    EXPECT_EQ(parseLockReply("CODE=00003\rCODE=00001\rCODE=00002", kNoReply, log), 1);
    EXPECT_EQ(parseLockReply("CODE=00001junk", kNoReply, log), 1);
    EXPECT_EQ(parseLockReply("CODE=", kNoReply, log), kNoReply);
}

TEST(LockReply, LogLinesFollowThePieces)
{
    LogLines log;
    parseLockReply("CODE=00002", kNoReply, log);
    const LogLines expected = {"[VARN-ZLP5520NW] DEBUG: (LockPrinter?)=00002\n",
                               "[VARN-ZLP5520NW] DEBUG: LockPrinter receives 00002 printer busy\n",
                               "[VARN-ZLP5520NW] DEBUG: (LockPrinter?)OPL_Response_NumTmp=2\n"};
    EXPECT_EQ(log, expected);
}

TEST(LockReply, PrinterBytesStayOnTheirLogLine)
{
    LogLines log;
    EXPECT_EQ(parseLockReply("CODE=00\n\x1b\rCODE=00002", kNoReply, log), 2);
    for (const std::string &line : log) {
        ASSERT_FALSE(line.empty());
        EXPECT_EQ(line.find_first_of("\r\x1b"), std::string::npos) << line;
        EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
    }
}

} // namespace
