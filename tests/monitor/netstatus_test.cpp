// The network monitor's pure decisions: the address file's line, the address check that
// stands in for a failed send, the sender check and the meaning of an empty datagram.
#include "netstatus.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

using namespace netstatus;

namespace
{

TEST(NetIpInfo, AddressLineOfEveryFormTheFileComesIn)
{
    const std::vector<std::pair<QByteArray, QString>> cases = {
        // As the setup tool writes it: the address alone, no line end.
        {"192.168.1.10", "192.168.1.10"},
        {"192.168.1.10\n", "192.168.1.10"},
        {"192.168.1.10\r\n", "192.168.1.10"},
        // A line without dots first: the address line after it is used.
        {"printer\n10.0.0.7\n", "10.0.0.7"},
        // The first four-part line wins, even when it is no address.
        {"a.b.c.d\n10.0.0.7\n", "a.b.c.d"},
        {"...\n10.0.0.7", "..."},
        // Five parts or three do not count; without any four-part line the last line is taken.
        {"1.2.3.4.5\n1.2.3\n", "1.2.3"},
        {"one\ntwo", "two"},
        {"one\n\n", ""},
        {"", ""},
    };
    for (const auto &[content, line] : cases)
        EXPECT_EQ(addressLine(content), line) << content.toStdString();
}

TEST(NetIpInfo, OnlyDottedDecimalAddressesCanBeSentTo)
{
    const std::vector<std::pair<QString, QString>> good = {
        {"192.168.1.10", "192.168.1.10"},
        {" 127.0.0.2\t", "127.0.0.2"},
        {"255.255.255.255", "255.255.255.255"},
        {"010.001.000.009", "10.1.0.9"}, // leading zeros are decimal, not octal
    };
    for (const auto &[line, address] : good)
        EXPECT_EQ(printerAddress(line), QHostAddress(address)) << line.toStdString();

    // Each of these would either fail to parse in Qt (a null address, which Qt may still
    // "send" to this host) or name no printer; all must count as a failed send.
    for (const char *line :
         {"", "printer", "...", "a.b.c.d", "192.168.1", "192.168.1.10.5", "192.168.1.256", "1..2.3",
          "1.2.3.-4", "+1.2.3.4", "1234.1.1.1", "0x7f.0.0.1", "0.0.0.0", "::1", "::ffff:127.0.0.2",
          "192.168.1.10:9100", "192.168.1.10 9", "１.2.3.4"}) {
        EXPECT_TRUE(printerAddress(QString::fromUtf8(line)).isNull()) << line;
    }
}

TEST(DatagramSender, OnlyThePrinterSpeaksForThePrinter)
{
    const QHostAddress printer("127.0.0.2");
    EXPECT_TRUE(fromPrinter(QHostAddress("127.0.0.2"), printer));
    // A dual-stack socket reports IPv4 senders as mapped IPv6 addresses.
    EXPECT_TRUE(fromPrinter(QHostAddress("::ffff:127.0.0.2"), printer));
    EXPECT_FALSE(fromPrinter(QHostAddress("127.0.0.3"), printer));
    EXPECT_FALSE(fromPrinter(QHostAddress("::ffff:127.0.0.3"), printer));
    EXPECT_FALSE(fromPrinter(QHostAddress::LocalHostIPv6, QHostAddress::LocalHost));
    EXPECT_FALSE(fromPrinter(QHostAddress(), printer));
    // While the address file names no printer, nothing is accepted.
    EXPECT_FALSE(fromPrinter(QHostAddress("127.0.0.2"), QHostAddress()));
}

TEST(EmptyDatagram, MeaningDependsOnTheLastBalloon)
{
    int countdown = 2;
    EXPECT_EQ(emptyDatagramRule(QStringLiteral("打印机正在打印"), &countdown),
              EmptyDatagram::Ignore);
    EXPECT_EQ(countdown, 2);
    // Printing wins over a cancel in the same text.
    EXPECT_EQ(emptyDatagramRule(QStringLiteral("取消后正在打印"), &countdown),
              EmptyDatagram::Ignore);

    // After a cancel: ready at the fourth empty datagram, then the count starts again.
    countdown = 0;
    std::vector<EmptyDatagram> seen;
    for (int i = 0; i < 8; ++i)
        seen.push_back(emptyDatagramRule(QStringLiteral("PC端取消打印作业"), &countdown));
    const std::vector<EmptyDatagram> expected = {
        EmptyDatagram::Count, EmptyDatagram::Count, EmptyDatagram::Count, EmptyDatagram::ShowReady,
        EmptyDatagram::Count, EmptyDatagram::Count, EmptyDatagram::Count, EmptyDatagram::ShowReady};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(countdown, 0);

    // Initialising, any other notice, or none yet: ready at once, the count untouched.
    countdown = 2;
    for (const QString &message : {QStringLiteral("打印引擎正在初始化"),
                                   QStringLiteral("纸盒1被抽出，请推入纸盒1"), QString()}) {
        EXPECT_EQ(emptyDatagramRule(message, &countdown), EmptyDatagram::ShowReady);
        EXPECT_EQ(countdown, 2);
    }
}

} // namespace
