// Behaviour shared by both builds of the link, through real libusb and the simulated bus.
#include "usblinktestsupport.h"

using Strings = QStringList;

namespace
{

const char statusScript[] = "on \"CheckStatus?\"\n"
                            "reply \"CODE=10001\"\n";

} // namespace

TEST_F(UsbLinkTest, PrinterMissingFromTheBusIsNotFound)
{
    for (const char *bus : {"device none", "device 0efd:0092"}) {
        SCOPED_TRACE(bus);
        startPrinter(bus);
        EXPECT_FALSE(link_.checkUSBDevice());
        EXPECT_EQ(takeLog(), Strings{});
        EXPECT_EQ(link_.initDevice(), 252);
        EXPECT_EQ(takeLog(), Strings{"find device error"});
        printer_.reset();
    }
}

TEST_F(UsbLinkTest, PrinterIsFoundAmongOtherDevices)
{
    startPrinter(std::string("device 0efd:0092\ndevice 0bda:8153\ndevice 0efd:0091\n") +
                 statusScript);
    EXPECT_TRUE(link_.checkUSBDevice());
    ASSERT_EQ(link_.initDevice(), 0);
    EXPECT_EQ(send("CheckStatus?"), 0);
    std::string reply;
    EXPECT_EQ(read(8192, &reply), 10);
    EXPECT_EQ(reply, "CODE=10001");
    EXPECT_EQ(link_.releaseDevice(), 0);
}

TEST_F(UsbLinkTest, StatusExchangeReadsTheScriptedCode)
{
    startPrinter(statusScript);
    EXPECT_TRUE(link_.checkUSBDevice());
    ASSERT_EQ(link_.initDevice(), 0);
    EXPECT_EQ(printer_->openHandles(), 1);
    EXPECT_EQ(send("CheckStatus?"), 0);
    std::string reply;
    EXPECT_EQ(read(8192, &reply), 10);
    EXPECT_EQ(reply, "CODE=10001");
    EXPECT_EQ(link_.releaseDevice(), 0);
    EXPECT_TRUE(printer_->waitForOpenHandles(0, 2000));
    EXPECT_EQ(printer_->receivedCommands(), std::vector<std::string>{"CheckStatus?"});
}

TEST_F(UsbLinkTest, WithoutKernelDriverTheDeviceOpensAsIs)
{
    startPrinter(statusScript);
    EXPECT_EQ(link_.initDevice(), 0);
    EXPECT_EQ(takeLog(), Strings{"kernel driver not active"});
    EXPECT_EQ(printer_->openHandles(), 1);
}

TEST_F(UsbLinkTest, KernelDriverIsDetachedAndStaysDetached)
{
    startPrinter(std::string("driver usblp\n") + statusScript);
    ASSERT_EQ(printer_->boundDriver(), "usblp");
    EXPECT_EQ(link_.initDevice(), 0);
    EXPECT_EQ(takeLog(), Strings{});
    EXPECT_EQ(printer_->boundDriver(), "");
    EXPECT_EQ(send("CheckStatus?"), 0);
    EXPECT_EQ(read(8192), 10);
    EXPECT_EQ(link_.releaseDevice(), 0);

    // The kernel does not bind usblp again by itself: the next open finds no driver.
    takeLog();
    EXPECT_EQ(link_.initDevice(), 0);
    EXPECT_TRUE(takeLog().contains("kernel driver not active"));
    EXPECT_EQ(link_.releaseDevice(), 0);
}

TEST_F(UsbLinkTest, FailedDetachLeavesNothingOpen)
{
    startPrinter("driver usblp\nfail detach\n");
    EXPECT_EQ(link_.initDevice(), 255);
    EXPECT_EQ(takeLog(), Strings{"GET_DEVICE_ERROR"});
    EXPECT_TRUE(printer_->waitForOpenHandles(0, 2000)) << "the handle was left open";
    EXPECT_EQ(printer_->boundDriver(), "usblp");

    // Nothing stale is left behind: once the kernel lets go, the same object opens.
    changeScript(std::string("driver usblp\n") + statusScript);
    EXPECT_EQ(link_.initDevice(), 0);
    EXPECT_EQ(link_.releaseDevice(), 0);
}

TEST_F(UsbLinkTest, ReplyShorterThanTheBufferGivesItsLength)
{
    startPrinter("on \"CheckStatus?\"\nreply \"CODE=10023\\rCODE=10001\"\n");
    ASSERT_EQ(link_.initDevice(), 0);
    ASSERT_EQ(send("CheckStatus?"), 0);
    std::string reply;
    EXPECT_EQ(read(8192, &reply), 21);
    EXPECT_EQ(reply, "CODE=10023\rCODE=10001");
}

TEST_F(UsbLinkTest, ReplyLongerThanTheBufferIsCutAtItsCapacity)
{
    startPrinter("on \"CheckStatus?\"\nreply \"CODE=10001\\r\"*1000\n");
    ASSERT_EQ(link_.initDevice(), 0);
    ASSERT_EQ(send("CheckStatus?"), 0);
    std::string reply;
    ASSERT_EQ(read(8192, &reply), 8192);
    std::string expected;
    for (int i = 0; i < 1000; ++i)
        expected += "CODE=10001\r";
    EXPECT_EQ(reply, expected.substr(0, 8192));
    // The rest waits in the printer for the next read.
    EXPECT_EQ(read(8192, &reply), 11000 - 8192);
    EXPECT_EQ(reply, expected.substr(8192));
}

TEST_F(UsbLinkTest, ReadThatTimesOutFails)
{
    startPrinter("on \"CheckStatus?\"\nreply none\n");
    ASSERT_EQ(link_.initDevice(), 0);
    ASSERT_EQ(send("CheckStatus?"), 0);
    takeLog();
    EXPECT_EQ(read(8192), 254);
    EXPECT_EQ(takeLog().last(), "read Error");
    // The link is still usable after a time-out.
    changeScript(statusScript);
    ASSERT_EQ(send("CheckStatus?"), 0);
    EXPECT_EQ(read(8192), 10);
}

TEST_F(UsbLinkTest, ShortWriteFails)
{
    startPrinter("short-write 5\n");
    ASSERT_EQ(link_.initDevice(), 0);
    takeLog();
    EXPECT_EQ(send("CheckStatus?"), 253);
    EXPECT_EQ(takeLog(), Strings{"Write Error"});
    EXPECT_EQ(printer_->receivedCommands(), std::vector<std::string>{"Check"});
}

TEST_F(UsbLinkTest, RefusedClaimFailsTransfersButStillCloses)
{
    startPrinter(std::string("fail claim\n") + statusScript);
    ASSERT_EQ(link_.initDevice(), 0);
    takeLog();
    EXPECT_EQ(send("CheckStatus?"), 253);
    EXPECT_EQ(read(8192), 254);
    EXPECT_EQ(takeLog(), (Strings{"Cannot Claim Interface", "Cannot Claim Interface"}));
    EXPECT_TRUE(printer_->receivedCommands().empty());
    // Nothing was claimed, so nothing can fail to be released: the device must not stay open.
    EXPECT_EQ(link_.releaseDevice(), 0);
    EXPECT_TRUE(printer_->waitForOpenHandles(0, 2000));
}

TEST_F(UsbLinkTest, FailedReleaseKeepsTheDeviceUntilReleased)
{
    startPrinter(std::string("fail release\n") + statusScript);
    ASSERT_EQ(link_.initDevice(), 0);
    ASSERT_EQ(send("CheckStatus?"), 0);
    ASSERT_EQ(read(8192), 10);
    takeLog();
    EXPECT_EQ(link_.releaseDevice(), 255);
    EXPECT_TRUE(takeLog().contains("Cannot Release Interface"));
    EXPECT_EQ(printer_->openHandles(), 1);

    // The monitor releases once more when it quits.
    changeScript(statusScript);
    EXPECT_EQ(link_.releaseDevice(), 0);
    EXPECT_TRUE(printer_->waitForOpenHandles(0, 2000));
}

TEST_F(UsbLinkTest, DestroyingTheLinkClosesADeviceItCouldNotRelease)
{
    startPrinter(std::string("fail release\n") + statusScript);
    {
        usb_communicate link;
        ASSERT_EQ(link.initDevice(), 0);
        unsigned char command[] = "CheckStatus?";
        ASSERT_EQ(link.SendCmd(command, 12), 0);
        ASSERT_EQ(link.releaseDevice(), 255);
    }
    EXPECT_TRUE(printer_->waitForOpenHandles(0, 2000));
}

TEST_F(UsbLinkTest, SeveralExchangesOnOneOpenDevice)
{
    startPrinter("on \"CheckStatus?\"\n"
                 "reply \"CODE=10023\"\n"
                 "on \"CheckStatus?\"\n"
                 "reply \"CODE=10001\"\n"
                 "on \"CheckIP?\"\n"
                 "reply x\"01\" times 2\n"
                 "reply \"IPadd:\" x\"c0a8010a ffffff00 c0a80101\" \"tail\"\n");
    ASSERT_EQ(link_.initDevice(), 0);
    std::string reply;
    ASSERT_EQ(send("CheckStatus?"), 0);
    EXPECT_EQ(read(8192, &reply), 10);
    EXPECT_EQ(reply, "CODE=10023");
    ASSERT_EQ(send("CheckStatus?"), 0);
    EXPECT_EQ(read(8192, &reply), 10);
    EXPECT_EQ(reply, "CODE=10001");

    ASSERT_EQ(send("CheckIP?"), 0);
    EXPECT_EQ(read(512, &reply), 1);
    EXPECT_EQ(read(512, &reply), 1);
    EXPECT_EQ(reply, "\x01");
    EXPECT_EQ(read(512, &reply), 22);
    EXPECT_EQ(reply.substr(0, 6), "IPadd:");
    EXPECT_EQ(reply.substr(6, 12),
              std::string("\xc0\xa8\x01\x0a\xff\xff\xff\x00\xc0\xa8\x01\x01", 12));

    const std::string setIp("SetIP=\xc0\xa8\x01\x0a\xff\xff\xff\x00\xc0\xa8\x01\x01;", 19);
    EXPECT_EQ(send(setIp), 0);
    // A later status request still gets the last scripted answer.
    ASSERT_EQ(send("CheckStatus?"), 0);
    EXPECT_EQ(read(8192, &reply), 10);
    EXPECT_EQ(reply, "CODE=10001");
    EXPECT_EQ(link_.releaseDevice(), 0);

    EXPECT_EQ(printer_->receivedCommands(),
              (std::vector<std::string>{"CheckStatus?", "CheckStatus?", "CheckIP?", setIp,
                                        "CheckStatus?"}));
}

TEST_F(UsbLinkTest, TransfersWithoutAnOpenDeviceFailCleanly)
{
    startPrinter(statusScript);
    EXPECT_EQ(send("CheckStatus?"), 253);
    EXPECT_EQ(read(8192), 254);
    EXPECT_EQ(link_.releaseDevice(), 255);
    EXPECT_TRUE(takeLog().contains("Cannot Release Interface"));
}
