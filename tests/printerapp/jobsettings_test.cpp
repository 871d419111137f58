// IPP job attributes onto the classic queue's options, the secure-print PIN, and the header the
// filter's own code builds from them.
#include "geometry.h"
#include "jobsettings.h"
#include "pjlheader.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace
{

std::string headerOf(const JobOptions &options, const std::string &key)
{
    JobRecord job;
    job.options = options;
    job.key = key;
    job.user = "alice";
    job.title = "report";
    char buffer[kHeaderSize];
    LineBuffer header(buffer, sizeof buffer);
    LogLines log;
    buildJobHeader(job, header, log);
    return header.data();
}

JobOptions settle(const IppJobSettings &job)
{
    std::string raw;
    LogLines log;
    return settleOptions(job, raw, log);
}

TEST(JobSettings, EveryAdvertisedSizeHasTheFiltersGeometry)
{
    // A size the app offers but the rasterizer table lacks would silently print on A4.
    std::set<std::string> seen;
    for (const MediaRow &row : mediaTable()) {
        EXPECT_TRUE(seen.insert(row.pwgName).second) << row.pwgName;
        IppJobSettings job;
        job.mediaName = row.pwgName;
        const JobOptions options = settle(job);
        EXPECT_EQ(options.pageSize, row.ppdName);
        LogLines log;
        EXPECT_FALSE(chooseRaster(options.pageSize, "600dpi", nullptr, log).fellBack)
            << row.ppdName;
    }
}

TEST(JobSettings, MediaSourceTypeSidesAndResolutionReachTheHeader)
{
    IppJobSettings job;
    job.mediaName = "jis_b5_182x257mm";
    job.mediaSource = "tray-2";
    job.mediaType = "labels";
    job.sides = "two-sided-short-edge";
    job.resolution = 1200;
    const JobOptions options = settle(job);
    EXPECT_EQ(options.duplex, "DuplexTumble");
    EXPECT_EQ(duplexMode(options.duplex), 2);
    const std::string header = headerOf(options, "False");
    EXPECT_NE(header.find("@PJL SET PAPER=JISB5\n"), std::string::npos);
    EXPECT_NE(header.find("@PJL SET SOURCETRAY=TRAY2\n@PJL SET PCLT2FIX=ON\n"), std::string::npos);
    EXPECT_NE(header.find("@PJL SET MEDIATYPE=LABEL\n"), std::string::npos);
    EXPECT_NE(header.find("@PJL SET RESOLUTION=TR1200\n"), std::string::npos);
    EXPECT_NE(header.find("@PJL SET HOLD=OFF\n"), std::string::npos);

    job.resolution = 2400;
    job.mediaSource = "by-pass-tray";
    const std::string hq = headerOf(settle(job), "False");
    EXPECT_NE(hq.find("@PJL SET RESOLUTION=HQ1200\n"), std::string::npos);
    EXPECT_NE(hq.find("@PJL SET SOURCETRAY=MPTRAY\n"), std::string::npos);
}

TEST(JobSettings, UnknownValuesKeepTheQueueDefaults)
{
    IppJobSettings job;
    job.mediaName = "na_ledger_11x17in";
    job.mediaSource = "tray-9";
    job.mediaType = "transparency";
    job.sides = "sideways";
    job.resolution = 720;
    job.vendor["zlp-toner-save"] = "sometimes";
    job.vendor[kScalingAttribute] = "55";
    const JobOptions options = settle(job);
    const JobOptions defaults;
    EXPECT_EQ(options.pageSize, defaults.pageSize);
    EXPECT_EQ(options.inputSlot, defaults.inputSlot);
    EXPECT_EQ(options.mediaType, defaults.mediaType);
    EXPECT_EQ(options.duplex, defaults.duplex);
    EXPECT_EQ(options.resolution, defaults.resolution);
    EXPECT_EQ(options.tonerSaveMode, defaults.tonerSaveMode);
    EXPECT_EQ(options.resizePage, defaults.resizePage);
}

TEST(JobSettings, DarknessAndVendorAttributes)
{
    IppJobSettings job;
    EXPECT_EQ(settle(job).printDensity, "0"); // not asked: the printer's own density
    job.darkness = 0;
    EXPECT_EQ(settle(job).printDensity, "1");
    job.darkness = 100;
    EXPECT_EQ(settle(job).printDensity, "5");
    job.darkness = 50;
    EXPECT_EQ(settle(job).printDensity, "3");

    job.vendor["zlp-toner-save"] = "on";
    job.vendor["zlp-print-improvement"] = "improve-toner-fixing";
    job.vendor["zlp-quiet-mode"] = "on";
    job.vendor["zlp-sleep-time"] = "30-minutes";
    job.vendor[kScalingAttribute] = "150";
    const std::string header = headerOf(settle(job), "False");
    EXPECT_NE(header.find("@PJL SET DENSITY=3\n"), std::string::npos);
    EXPECT_NE(header.find("@PJL SET ECONOMODE=ON\n"), std::string::npos);
    EXPECT_NE(header.find("@PJL SET LESSPAPERCURL=OFF\n@PJL SET FIXINTENSITYUP=ON\n"),
              std::string::npos);
    EXPECT_NE(header.find("@PJL SET QUIETMODE=ON\n"), std::string::npos);
    EXPECT_NE(header.find("@PJL SET TIMEOUTSLEEP=30\n"), std::string::npos);
    EXPECT_NE(header.find("@PJL SET PRINTSCALINGRATE=1500\n"), std::string::npos);
}

TEST(JobSettings, CustomSizeBecomesTheFiltersCustomText)
{
    IppJobSettings job;
    job.mediaName = "custom_100x200mm_100x200mm";
    job.mediaWidth = 10000;
    job.mediaLength = 20000;
    std::string raw;
    LogLines log;
    const JobOptions options = settleOptions(job, raw, log);
    EXPECT_EQ(options.pageSize, "Custom");
    double w = 0, h = 0;
    ASSERT_TRUE(parseCustomSize(raw.c_str(), w, h)) << raw;
    EXPECT_NEAR(w, 283.46, 0.01);
    EXPECT_NEAR(h, 566.93, 0.01);
}

TEST(SecurePin, OnlyFourDigitsHoldTheJob)
{
    EXPECT_EQ(checkPin(""), PinCheck::None);
    EXPECT_EQ(checkPin("0042"), PinCheck::Valid);
    for (const char *bad : {"1", "12", "123", "12345", "12a4", "12 4", "-123", "１２３４"})
        EXPECT_EQ(checkPin(bad), PinCheck::Refused) << bad;

    LogLines log;
    const SecureKey key = secureKey("0042", log);
    EXPECT_EQ(key.state, KeyState::Complete);
    const std::string header = headerOf(JobOptions(), key.key);
    EXPECT_NE(header.find("@PJL SET HOLD=STORE\n@PJL SET HOLDTYPE=PRIVATE\n"
                          "@PJL SET HOLDKEY=0042\n"),
              std::string::npos);
    EXPECT_EQ(secureKey("", log).key, "False");
    // A refused PIN never reaches a header as a key.
    EXPECT_EQ(secureKey("12a4", log).key, "False");
}

} // namespace
