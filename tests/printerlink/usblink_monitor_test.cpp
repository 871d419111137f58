// The status monitor's build of the link: one-second time-outs, an empty read is a valid
// answer, and every read and release is traced.
#include "usblinktestsupport.h"

#include <cstdio>

using Strings = QStringList;

TEST_F(UsbLinkTest, MonitorTracesEveryReadAndTheRelease)
{
    startPrinter("on \"CheckStatus?\"\nreply \"CODE=10001\"\n");
    ASSERT_EQ(link_.initDevice(), 0);
    ASSERT_EQ(send("CheckStatus?"), 0);
    takeLog();
    EXPECT_EQ(read(8192), 10);
    EXPECT_EQ(takeLog(), Strings{"ReadCmd libusb_bulk_transfer return = 0"});
    EXPECT_EQ(link_.releaseDevice(), 0);
    EXPECT_EQ(takeLog(), Strings{"release Device"});
}

TEST_F(UsbLinkTest, MonitorTakesAnEmptyReadAsSuccess)
{
    startPrinter("on \"CheckStatus?\"\nreply \"\"\n");
    ASSERT_EQ(link_.initDevice(), 0);
    ASSERT_EQ(send("CheckStatus?"), 0);
    takeLog();
    EXPECT_EQ(read(8192), 0);
    EXPECT_EQ(takeLog(), Strings{"ReadCmd libusb_bulk_transfer return = 0"});
}

TEST_F(UsbLinkTest, MonitorReadTimesOutAfterOneSecond)
{
    startPrinter("on \"CheckStatus?\"\nreply none\n");
    ASSERT_EQ(link_.initDevice(), 0);
    ASSERT_EQ(send("CheckStatus?"), 0);
    takeLog();
    int result = 0;
    long long ms = millisecondsOf([&] { result = read(8192); });
    EXPECT_EQ(result, 254);
    EXPECT_GE(ms, 990);
    EXPECT_LT(ms, 1500);
    // -7 is LIBUSB_ERROR_TIMEOUT.
    EXPECT_EQ(takeLog(), (Strings{"ReadCmd libusb_bulk_transfer return = -7", "read Error"}));
}

// Not a check of speed: reports what one poll of the monitor costs against the simulator.
TEST_F(UsbLinkTest, MonitorStatusExchangeTime)
{
    startPrinter("on \"CheckStatus?\"\nreply \"CODE=10001\"\n");
    constexpr int rounds = 50;
    long long total = millisecondsOf([&] {
        for (int i = 0; i < rounds; ++i) {
            ASSERT_EQ(link_.initDevice(), 0);
            ASSERT_EQ(send("CheckStatus?"), 0);
            std::string reply;
            ASSERT_EQ(read(8192, &reply), 10);
            ASSERT_EQ(reply, "CODE=10001");
            ASSERT_EQ(link_.releaseDevice(), 0);
        }
    });
    std::printf("status exchange (initDevice, SendCmd, ReadCmd, releaseDevice): %.2f ms mean "
                "over %d rounds\n",
                static_cast<double>(total) / rounds, rounds);
    RecordProperty("status_exchange_ms_x100", static_cast<int>(total * 100 / rounds));
}
