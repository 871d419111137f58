// The setup tool's build of the link: half-second time-outs, an empty read is a failure,
// and no trace lines.
#include "usblinktestsupport.h"

using Strings = QStringList;

TEST_F(UsbLinkTest, SetupExchangeWritesNoTraceLines)
{
    startPrinter("on \"CheckIP?\"\nreply \"IPadd:\" x\"c0a8010a ffffff00 c0a80101\"\n");
    ASSERT_EQ(link_.initDevice(), 0);
    takeLog();
    ASSERT_EQ(send("CheckIP?"), 0);
    EXPECT_EQ(read(512), 18);
    EXPECT_EQ(link_.releaseDevice(), 0);
    EXPECT_EQ(takeLog(), Strings{});
}

TEST_F(UsbLinkTest, SetupTakesAnEmptyReadAsFailure)
{
    startPrinter("on \"CheckIP?\"\nreply \"\"\n");
    ASSERT_EQ(link_.initDevice(), 0);
    ASSERT_EQ(send("CheckIP?"), 0);
    takeLog();
    EXPECT_EQ(read(512), 254);
    EXPECT_EQ(takeLog(), Strings{"read Error"});
}

TEST_F(UsbLinkTest, SetupReadTimesOutAfterHalfASecond)
{
    startPrinter("on \"CheckIP?\"\nreply none\n");
    ASSERT_EQ(link_.initDevice(), 0);
    ASSERT_EQ(send("CheckIP?"), 0);
    takeLog();
    int result = 0;
    long long ms = millisecondsOf([&] { result = read(512); });
    EXPECT_EQ(result, 254);
    EXPECT_GE(ms, 490);
    EXPECT_LT(ms, 950);
    EXPECT_EQ(takeLog(), Strings{"read Error"});
}
