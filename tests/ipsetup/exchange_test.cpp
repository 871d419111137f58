// The settings query and the set command against the simulated USB printer: each reply
// form the printer may send, and what the printer receives.
#include "ipconvert.h"
#include "ipexchange.h"
#include "usblinktestsupport.h"

namespace
{

const std::string record = "x\"c0a8010a ffffff00 c0a80101\"";
const QByteArray exampleRecord = QByteArray::fromHex("c0a8010affffff00c0a80101");

class ExchangeTest : public UsbLinkTest
{
  protected:
    // Opens the printer scripted with the reads that answer "CheckIP?", and queries it.
    QByteArray query(const std::string &reads, long long *ms = nullptr)
    {
        const std::string script = "on \"CheckIP?\"\n" + reads;
        if (printer_)
            changeScript(script);
        else
            startPrinter(script);
        EXPECT_EQ(link_.initDevice(), 0);
        QByteArray result;
        long long took = millisecondsOf(
            [&] { result = ipexchange::queryPrinter(link_, ipconvert::queryCommand); });
        if (ms)
            *ms = took;
        link_.releaseDevice();
        return result;
    }
};

} // namespace

TEST_F(ExchangeTest, SettingsReplyGivesTheRecord)
{
    EXPECT_EQ(query("reply \"IPadd:\" " + record + "\n"), exampleRecord);
    EXPECT_EQ(printer_->receivedCommands(), std::vector<std::string>{"CheckIP?"});
}

TEST_F(ExchangeTest, RepliesOfOtherFormsAreReadPast)
{
    EXPECT_EQ(query("reply x\"01\"\nreply \"IPadd:\" " + record + "\n"), exampleRecord);
    EXPECT_EQ(query("reply \"IPadr:\" x\"00\"*12\nreply \"CODE=10001\"\nreply \"IPadd:\" " +
                    record + "\n"),
              exampleRecord);
    // More than 18 bytes: the rest is ignored.
    EXPECT_EQ(query("reply \"IPadd:\" " + record + " \"and more\"*10\n"), exampleRecord);
}

TEST_F(ExchangeTest, FiftyOneByteRepliesEndTheExchange)
{
    EXPECT_EQ(query("reply x\"01\" times 49\nreply \"IPadd:\" " + record + "\n"), exampleRecord);
    EXPECT_EQ(query("reply x\"01\" times 50\nreply \"IPadd:\" " + record + "\n"), "read ip error");
    // Other forms in between do not count, one-byte replies around them do.
    EXPECT_EQ(query("reply x\"01\" times 30\nreply \"junk\"\nreply x\"01\" times 19\n"
                    "reply \"IPadd:\" " +
                    record + "\n"),
              exampleRecord);
    EXPECT_EQ(query("reply x\"01\" times 30\nreply \"junk\"\nreply x\"01\" times 20\n"
                    "reply \"IPadd:\" " +
                    record + "\n"),
              "read ip error");
}

TEST_F(ExchangeTest, ShortOrMissingRepliesAreReadErrors)
{
    // "IPadd:" with fewer than 12 bytes after it would be decoded from stale buffer bytes.
    EXPECT_EQ(query("reply \"IPadd:\" x\"c0a8 010a ffff ff00 c0a8 01\"\n"), "read ip error");
    EXPECT_EQ(query("reply \"IPadd:\"\n"), "read ip error");
    // An empty read is a failure in the setup tool's link.
    EXPECT_EQ(query("reply \"\"\n"), "read ip error");

    long long ms = 0;
    EXPECT_EQ(query("", &ms), "read ip error"); // the printer says nothing
    EXPECT_LT(ms, 1500);
    // Garbage, then silence (a printer that goes away mid-exchange): one time-out, no hang.
    EXPECT_EQ(query("reply \"garbage\"\nreply x\"01\" times 3\nreply none\n", &ms),
              "read ip error");
    EXPECT_GE(ms, 450);
    EXPECT_LT(ms, 1500);
}

TEST_F(ExchangeTest, PrinterVanishingMidExchangeIsAReadError)
{
    long long ms = 0;
    EXPECT_EQ(query("reply x\"01\" times 2\nreply gone\n", &ms), "read ip error");
    EXPECT_LT(ms, 400); // a vanished device fails at once, it does not time out
}

TEST_F(ExchangeTest, QueryThatCannotBeWrittenIsASendError)
{
    startPrinter("fail claim\non \"CheckIP?\"\nreply \"IPadd:\" " + record + "\n");
    ASSERT_EQ(link_.initDevice(), 0);
    EXPECT_EQ(ipexchange::queryPrinter(link_, ipconvert::queryCommand), "send error");
    link_.releaseDevice();
    EXPECT_TRUE(printer_->receivedCommands().empty());
}

TEST_F(ExchangeTest, SetCommandIsExactlyNineteenBytes)
{
    startPrinter("");
    ASSERT_EQ(link_.initDevice(), 0);
    EXPECT_TRUE(ipexchange::writeSetCommand(link_, exampleRecord));
    // A record of the wrong size is never sent.
    EXPECT_FALSE(ipexchange::writeSetCommand(link_, exampleRecord.left(11)));
    EXPECT_EQ(link_.releaseDevice(), 0);
    const std::string expected("SetIP=\xc0\xa8\x01\x0a\xff\xff\xff\x00\xc0\xa8\x01\x01;", 19);
    EXPECT_EQ(printer_->receivedCommands(), std::vector<std::string>{expected});
}

TEST_F(ExchangeTest, PartlyWrittenSetCommandIsAFailure)
{
    startPrinter("short-write 10\n");
    ASSERT_EQ(link_.initDevice(), 0);
    EXPECT_FALSE(ipexchange::writeSetCommand(link_, exampleRecord));
    link_.releaseDevice();
}
