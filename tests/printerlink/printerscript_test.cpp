// The simulated printer's script language: what a script means and how mistakes are reported.
#include "printerscript.h"

#include <gtest/gtest.h>

using zlpsim::parsePrinterScript;
using zlpsim::PrinterScript;

namespace
{

PrinterScript parse(const std::string &text)
{
    std::string error;
    auto script = parsePrinterScript(text, &error);
    EXPECT_TRUE(script) << error;
    return script ? *script : PrinterScript{};
}

std::string errorOf(const std::string &text)
{
    std::string error;
    EXPECT_FALSE(parsePrinterScript(text, &error)) << "accepted: " << text;
    return error;
}

} // namespace

TEST(PrinterScript, EmptyScriptIsThePlainPrinter)
{
    PrinterScript script = parse("# nothing but a comment\n\n");
    ASSERT_EQ(script.devices.size(), 1u);
    EXPECT_EQ(script.devices[0].vendor, 0x0efd);
    EXPECT_EQ(script.devices[0].product, 0x0091);
    EXPECT_EQ(script.kernelDriver, "");
    EXPECT_FALSE(script.failDetach || script.failClaim || script.failRelease);
    EXPECT_EQ(script.writeLimit, -1);
    EXPECT_TRUE(script.answers.empty());
}

TEST(PrinterScript, FullScript)
{
    PrinterScript script = parse("device 0EFD:0092   # another product first\n"
                                 "device 0efd:0091\n"
                                 "driver usblp\n"
                                 "fail detach\n"
                                 "fail claim\n"
                                 "fail release\n"
                                 "short-write 7\n"
                                 "on \"CheckIP?\"\n"
                                 "  reply x\"01\" times 3\n"
                                 "  reply \"IPadd:\" x\"c0a8 010a\" \"#\\r\\\"\\\\\\x00\"*2\n"
                                 "  reply none\n"
                                 "  reply \"\"\n"
                                 "  reply gone\n");
    ASSERT_EQ(script.devices.size(), 2u);
    EXPECT_EQ(script.devices[0].product, 0x0092);
    EXPECT_EQ(script.kernelDriver, "usblp");
    EXPECT_TRUE(script.failDetach && script.failClaim && script.failRelease);
    EXPECT_EQ(script.writeLimit, 7);
    ASSERT_EQ(script.answers.size(), 1u);
    const auto &reads = script.answers[0].reads;
    EXPECT_EQ(script.answers[0].command, "CheckIP?");
    ASSERT_EQ(reads.size(), 7u);
    EXPECT_EQ(reads[2].bytes, "\x01");
    EXPECT_EQ(reads[3].bytes, std::string("IPadd:\xc0\xa8\x01\x0a#\r\"\\\0#\r\"\\\0", 20));
    EXPECT_TRUE(reads[4].silent);
    EXPECT_FALSE(reads[5].silent);
    EXPECT_EQ(reads[5].bytes, "");
    EXPECT_TRUE(reads[6].gone && !reads[6].silent);
}

TEST(PrinterScript, DeviceNoneLeavesOnlyTheRootHub)
{
    EXPECT_TRUE(parse("device none\n").devices.empty());
}

TEST(PrinterScript, MistakesNameTheLine)
{
    EXPECT_EQ(errorOf("\nreply \"x\"\n"), "line 2: \"reply\" before any \"on\" line");
    EXPECT_EQ(errorOf("device 0efd-0091\n"),
              "line 1: expected \"none\" or VID:PID in hex (0efd:0091), got \"0efd-0091\"");
    EXPECT_EQ(errorOf("on \"CheckIP?\nreply none\n"), "line 1: missing closing quote");
    EXPECT_EQ(errorOf("on \"a\"\nreply x\"123\"\n"), "line 2: odd number of hex digits");
    EXPECT_EQ(errorOf("on \"a\"\nreply \"\\q\"\n"), "line 2: unknown escape \\q");
    EXPECT_EQ(errorOf("on \"a\"\nreply \"x\" twice\n"),
              "line 2: expected \"times N\" at the end of the reply");
    EXPECT_EQ(errorOf("on \"a\"\nreply \"xx\"*900000\n"), "line 2: data longer than 1 MiB");
    EXPECT_EQ(errorOf("fail write\n"),
              "line 1: expected detach, claim or release after \"fail\", got \"write\"");
    EXPECT_EQ(errorOf("short-write -1\n"), "line 1: expected a byte count after \"short-write\"");
    EXPECT_EQ(errorOf("driver usblp extra\n"),
              "line 1: unexpected text after \"driver\" line: \"extra\"");
    EXPECT_EQ(errorOf("replay \"x\"\n"), "line 1: unknown keyword \"replay\"");
    EXPECT_EQ(errorOf("on \"\"\n"), "line 1: the command must not be empty");
}

TEST(PrinterScript, QuotedBytesReadBackUnchanged)
{
    std::string all;
    for (int b = 0; b < 256; ++b)
        all += static_cast<char>(b);
    PrinterScript script = parse("on " + zlpsim::quoteBytes(all) + "\n");
    ASSERT_EQ(script.answers.size(), 1u);
    EXPECT_EQ(script.answers[0].command, all);
    EXPECT_EQ(zlpsim::quoteBytes("CODE=10001\r"), "\"CODE=10001\\r\"");
}

TEST(PrinterScript, SetIpCommandIsDescribed)
{
    const std::string command("SetIP=\xc0\xa8\x01\x0a\xff\xff\xff\x00\xc0\xa8\x01\x01;", 19);
    EXPECT_EQ(zlpsim::describeSetIp(command),
              "ip=192.168.1.10 mask=255.255.255.0 gateway=192.168.1.1");
    EXPECT_EQ(zlpsim::describeSetIp(command.substr(0, 18)), "");
    EXPECT_EQ(zlpsim::describeSetIp("CheckStatus?"), "");
}
