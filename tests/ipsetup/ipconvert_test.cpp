// The address conversions, the address check, the reply forms and the registration's
// command lines and failure texts: pure functions, tested with exact values.
#include "ipconvert.h"
#include "programgrop.h"
#include "registration.h"

#include <QByteArray>
#include <QTextCodec>
#include <cerrno>
#include <gtest/gtest.h>

using namespace ipconvert;

namespace
{

QByteArray bytes(std::initializer_list<unsigned char> values)
{
    QByteArray out;
    for (unsigned char v : values)
        out.append(static_cast<char>(v));
    return out;
}

// 192.168.1.10 / 255.255.255.0 / 192.168.1.1, the example every tool of this printer uses.
const QByteArray exampleRecord =
    bytes({0xc0, 0xa8, 0x01, 0x0a, 0xff, 0xff, 0xff, 0x00, 0xc0, 0xa8, 0x01, 0x01});

} // namespace

TEST(Conversions, ExampleRecordBothWays)
{
    EXPECT_EQ(StringToHenStr("192.168.1.10"), "c0a8010a");
    EXPECT_EQ(StringToHenStr("10.0.0.1"), "0a000001");
    EXPECT_EQ(StringToHenStr("0.0.0.0"), "00000000");
    EXPECT_EQ(StringToHenStr("255.255.255.255"), "ffffffff");

    EXPECT_EQ(encodeSettings("192.168.1.10", "255.255.255.0", "192.168.1.1"), exampleRecord);
    EXPECT_EQ(setCommand(exampleRecord),
              bytes({0x53, 0x65, 0x74, 0x49, 0x50, 0x3d, 0xc0, 0xa8, 0x01, 0x0a, 0xff, 0xff, 0xff,
                     0x00, 0xc0, 0xa8, 0x01, 0x01, 0x3b}));

    EXPECT_EQ(HexToStr(exampleRecord), "c0 a8 01 0a ff ff ff 00 c0 a8 01 01");
    EXPECT_EQ(HexToStr(exampleRecord).size(), 35);
    QStringList progress;
    const SettingsText text = decodeSettings(exampleRecord, &progress);
    EXPECT_EQ(text.ip, "192.168.1.10");
    EXPECT_EQ(text.mask, "255.255.255.0");
    EXPECT_EQ(text.gateway, "192.168.1.1");
    // One log line per number: the group so far, each number with its dot.
    const QStringList expected = {
        "ip = 192.",   "ip = 192.168.",   "ip = 192.168.1.",     "ip = 192.168.1.10.",
        "mask = 255.", "mask = 255.255.", "mask = 255.255.255.", "mask = 255.255.255.0.",
        "port = 192.", "port = 192.168.", "port = 192.168.1.",   "port = 192.168.1.1."};
    EXPECT_EQ(progress, expected);
}

TEST(Conversions, HexWalk)
{
    EXPECT_EQ(HexStrToByteArray("c0a8010affffff00c0a80101"), exampleRecord);
    EXPECT_EQ(HexStrToByteArray("C0A8010AFFFFFF00C0A80101"), exampleRecord);
    // Spaces are skipped but count against the 24-character window: 8 pairs fit.
    EXPECT_EQ(HexStrToByteArray("c0 a8 01 0a ff ff ff 00 c0 a8 01 01"),
              bytes({0xc0, 0xa8, 0x01, 0x0a, 0xff, 0xff, 0xff, 0x00}));
    // Never more than 12 bytes, however long the text.
    EXPECT_EQ(HexStrToByteArray(QString(100, 'a')).size(), 12);
    // Short texts: no pair is read past the end; a lone digit gives nothing.
    EXPECT_EQ(HexStrToByteArray(""), QByteArray());
    EXPECT_EQ(HexStrToByteArray("c"), QByteArray());
    EXPECT_EQ(HexStrToByteArray("c0a"), bytes({0xc0}));
    EXPECT_EQ(HexStrToByteArray("c0 "), bytes({0xc0}));
    // A non-hex digit is -1 and does not stop the walk: 16*-1 + 1 = -15 -> 0xf1.
    EXPECT_EQ(HexStrToByteArray("g101"), bytes({0xf1, 0x01}));

    EXPECT_EQ(ConvertHexChar('0'), 0);
    EXPECT_EQ(ConvertHexChar('9'), 9);
    EXPECT_EQ(ConvertHexChar('a'), 10);
    EXPECT_EQ(ConvertHexChar('F'), 15);
    EXPECT_EQ(ConvertHexChar('g'), -1);
    EXPECT_EQ(ConvertHexChar('\0'), -1);
}

TEST(Conversions, RecordBytesAreAlwaysTwelve)
{
    // Every checked address gives two digits per part, so every set carries 12 bytes.
    for (const char *mask : {"0.0.0.0", "255.255.0.255", "1.2.3.4", "10.100.200.250"})
        EXPECT_EQ(encodeSettings("192.168.1.10", mask, "192.168.1.1").size(), 12) << mask;
    EXPECT_EQ(setCommand(exampleRecord).size(), setCommandSize);
}

TEST(AddressCheck, AcceptedTexts)
{
    // White space around the whole field is trimmed; everything else must be plain.
    for (const char *text : {"192.168.1.10", "0.0.0.0", "255.255.255.255", "255.255.0.255",
                             "10.0.0.1", "1.2.3.4", " 192.168.1.10 ", "\t10.0.0.1\n",
                             "\xe3\x80\x80"
                             "10.0.0.1"}) // ideographic space
        EXPECT_TRUE(checkIp(QString::fromUtf8(text))) << text;
}

TEST(AddressCheck, RefusedTexts)
{
    // What the old check let through, and what must never reach lpadmin's device URI, the
    // printer or the address file.
    const QString refused[] = {
        // shape
        "", "192.168.1", "192.168.1.10.5", "192..1.10", ".192.168.1", "192.168.1.", "....",
        "192.168.1.256", "256.0.0.0", "999.1.1.1", "1000.1.1.1",
        // not decimal digits
        "192.168.1.abc", "-5", "192.168.1.-5", "192.168.1.+5", "0x10.1.1.1", "1e2.1.1.1",
        "192.168.1.1a", "192.168. 1.10", "192 .168.1.10",
        // octal-looking parts that CUPS would read as octal
        "192.168.1.010", "01.1.1.1", "00.0.0.0",
        // injection into the command line or URI
        "1.1.1.1;touch /tmp/x", "$(id)", "1.1.1.1 -p other", "1.1.1.1\n-p other", "`id`.1.1.1",
        "1.1.1.1:9100", "1.1.1.1/x", "1.1.1.1&", "1.1.1.1|id",
        // not ASCII digits: Chinese, full-width, Arabic-Indic, ideographic full stop
        QString::fromUtf8("一.二.三.四"), QString::fromUtf8("１９２.１６８.１.１０"),
        QString::fromUtf8("192.168.1.１"), QString::fromUtf8("192.168.1.\xd9\xa1"),
        QString::fromUtf8("192。168。1。10"),
        // size
        QString(10000, '1'), QString("1.1.1.") + QString(10000, '1'), QString(2500, '.') + "1"};
    for (const QString &text : refused)
        EXPECT_FALSE(checkIp(text)) << text.left(60).toStdString();
}

TEST(Replies, Forms)
{
    EXPECT_EQ(classifyReply(bytes({0x01})).kind, ReplyKind::OneByte);
    EXPECT_EQ(classifyReply("I").kind, ReplyKind::OneByte);

    const ReplyRead full = classifyReply("IPadd:" + exampleRecord);
    EXPECT_EQ(full.kind, ReplyKind::Settings);
    EXPECT_EQ(full.settings, exampleRecord);
    // Bytes after the 18th are ignored.
    const ReplyRead longer = classifyReply("IPadd:" + exampleRecord + "trailing junk");
    EXPECT_EQ(longer.kind, ReplyKind::Settings);
    EXPECT_EQ(longer.settings, exampleRecord);

    EXPECT_EQ(classifyReply("IPadd:" + exampleRecord.left(11)).kind, ReplyKind::Short);
    EXPECT_EQ(classifyReply("IPadd:").kind, ReplyKind::Short);
    EXPECT_EQ(classifyReply("IPadr:" + exampleRecord).kind, ReplyKind::Other);
    EXPECT_EQ(classifyReply("ipadd:" + exampleRecord).kind, ReplyKind::Other);
    EXPECT_EQ(classifyReply("CODE=10001").kind, ReplyKind::Other);
    EXPECT_EQ(classifyReply(QByteArray("\0IPadd:", 7) + exampleRecord).kind, ReplyKind::Other);
    EXPECT_EQ(classifyReply(bytes({0x01, 0x01})).kind, ReplyKind::Other);
}

TEST(Registration, CommandLines)
{
    using registration::Command;
    EXPECT_EQ(registration::addQueueCommand("192.168.1.10"),
              (Command{"/usr/sbin/lpadmin",
                       {"-p", "ZLP5520NW-net", "-m", "ZLP5520NW-net.ppd", "-v",
                        "socket://192.168.1.10:9100", "-E"}}));
    EXPECT_EQ(registration::defaultQueueCommand(),
              (Command{"/usr/sbin/lpadmin", {"-d", "ZLP5520NW-net"}}));
    EXPECT_EQ(registration::restartCommand(true), (Command{"/etc/init.d/cups", {"restart"}}));
    EXPECT_EQ(registration::restartCommand(false), (Command{"service", {"cups", "restart"}}));
}

TEST(Registration, FailureReasons)
{
    using registration::CommandOutcome;
    auto reason = [](CommandOutcome outcome) {
        return registration::lpadminFailureReason(outcome);
    };
    const QString deprecation = "lpadmin: Printer drivers are deprecated and will stop working "
                                "in a future version of CUPS.\n";
    const QString rights = "没有管理打印机的权限，请把当前用户加入 lpadmin 组后重新登录，或以管理员（root）身份运行";
    EXPECT_EQ(reason({true, false, 1, deprecation + "lpadmin: Forbidden\n"}), rights);
    EXPECT_EQ(reason({true, false, 1, "lpadmin: Unauthorized\n"}), rights);
    EXPECT_EQ(reason({true, false, 1, "lpadmin: Unable to connect to server: No such file\n"}),
              "无法连接 CUPS 服务，请确认 CUPS 已启动");
    EXPECT_EQ(reason({true, false, 1,
                      deprecation + "lpadmin: cups-driverd failed to get PPD file - see "
                                    "error_log for details.\n"}),
              "找不到驱动文件 ZLP5520NW-net.ppd，请重新安装驱动");
    // The deprecation notice alone says nothing about the driver file.
    EXPECT_EQ(reason({true, false, 3, deprecation}), "lpadmin 出错（退出码 3）");
    EXPECT_EQ(reason({true, false, 1, "lpadmin: something odd\nmore\n"}),
              "lpadmin 出错（退出码 1）：lpadmin: something odd");
    EXPECT_EQ(reason({false, false, 0, ""}), "无法运行 /usr/sbin/lpadmin，请确认已安装 CUPS");
    EXPECT_EQ(reason({true, true, 0, ""}), "lpadmin 无响应，请检查 CUPS 服务");

    EXPECT_EQ(registration::fileFailureReason(EACCES), "没有写入权限，请把当前用户加入 lpadmin 组后重新登录，或以管理员（root）身份运行");
    EXPECT_EQ(registration::fileFailureReason(ENOENT), "目录不存在，请重新安装驱动");
    EXPECT_EQ(registration::queueFailureText(rights), "添加网络打印机失败：" + rights);
}

TEST(StartUp, TextStreamsWriteInTheSystemEncoding)
{
    // Whatever was in force before, the setup tool ends with the "System" codec, or with
    // UTF-8 where Qt has none of that name.
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
    setupTextCodecs();
    QTextCodec *system = QTextCodec::codecForName("System");
    ASSERT_NE(QTextCodec::codecForLocale(), nullptr);
    EXPECT_EQ(QTextCodec::codecForLocale()->name(),
              (system ? system : QTextCodec::codecForName("UTF-8"))->name());
}
