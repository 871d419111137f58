// The pure pieces between the filter and cupsd's log: the rasterizer's messages made
// into run-log lines, and the key hidden in the run log.
#include "jobtext.h"
#include "rastermessages.h"

#include <gtest/gtest.h>

#define TAG "DEBUG:[VARN-ZLP5520NW]"

namespace
{

using Lines = std::vector<std::string>;

Lines feedAll(const std::string &text, size_t piece = 1000000)
{
    RasterizerMessages messages;
    Lines lines;
    for (size_t at = 0; at < text.size(); at += piece)
        messages.feed(text.data() + at, std::min(piece, text.size() - at), lines);
    messages.finish(lines);
    return lines;
}

TEST(RasterizerMessages, EveryLineBecomesARunLogLineWithoutControlCharacters)
{
    const std::string text = "PPD: DefaultPasswd1=1\r\n"
                             "STATE: +media-jam-error\n"
                             "\n\x1b\x07\n" // nothing left: no line
                             "ATTR: a\x1b[2Jb\x7f\xc2\x9b"
                             "31m\n"             // ESC, DEL, C1 CSI
                             "页面 \xc2\xa0ok\n" // text and a no-break space stay
                             "no line feed";
    const Lines expected = {TAG "gs: PPD: DefaultPasswd1=1\n", TAG "gs: STATE: +media-jam-error\n",
                            TAG "gs: ATTR: a[2Jb31m\n", TAG "gs: 页面 \xc2\xa0ok\n",
                            TAG "gs: no line feed\n"};
    EXPECT_EQ(feedAll(text), expected);
    // However the pipe cuts it, even between the two bytes of a C1 control.
    EXPECT_EQ(feedAll(text, 1), expected);
    // No removal makes a C1 control of what is left: C2, DEL, 9B; and bytes that are no UTF-8
    // (a lone 9B is CSI to a Latin-1 terminal, Latin-1 \xe9, a character cut short) go too.
    EXPECT_EQ(feedAll("a\xc2\x7f\x9b[2J b\x9b\xe9"
                      "c\xe9\xa1"
                      "d\n"),
              Lines{TAG "gs: a[2J bcd\n"});
    // A cut keeps whole characters: 1 + 79 * 3 bytes fit in 240, the 80th character does not.
    std::string wide = "x", kept = "x";
    for (int i = 0; i < 80; ++i)
        wide += "页";
    for (int i = 0; i < 79; ++i)
        kept += "页";
    EXPECT_EQ(feedAll(wide + "\n"), Lines{TAG "gs: " + kept + " [cut]\n"});
}

TEST(RasterizerMessages, LongLinesAreCutAndABudgetBoundsTheWhole)
{
    Lines lines = feedAll(std::string(100000, 'y') + "\nnext\n");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], TAG "gs: " + std::string(RasterizerMessages::kLineBytes, 'y') + " [cut]\n");
    EXPECT_EQ(lines[1], TAG "gs: next\n");

    std::string flood;
    for (int i = 0; i < 20000; ++i)
        flood += "line " + std::to_string(i) + "\n";
    lines = feedAll(flood, 4096);
    size_t text = 0;
    for (size_t i = 0; i + 2 < lines.size(); ++i)
        text += lines[i].size() - (sizeof TAG "gs: \n" - 1);
    EXPECT_LE(text, RasterizerMessages::kBudgetBytes);
    EXPECT_GT(text, RasterizerMessages::kBudgetBytes - 20);
    EXPECT_EQ(lines[lines.size() - 2],
              TAG "gs: more messages than 65536 bytes, the rest is dropped\n");
    EXPECT_EQ(lines.back(),
              TAG "gs: " + std::to_string(20000 - (lines.size() - 2)) + " message lines dropped\n");
}

TEST(HideKey, DigitsOfTheKeyBecomeStarsWhereverTheRunLogShowsThem)
{
    EXPECT_EQ(hideKey(TAG "first securityPasswd = 9\n"), TAG "first securityPasswd = *\n");
    EXPECT_EQ(hideKey(TAG "the whole securityPasswd = 9017, securityPasswdCont = 4\n"),
              TAG "the whole securityPasswd = ****, securityPasswdCont = 4\n");
    EXPECT_EQ(hideKey("head \n@PJL SET HOLDTYPE=PRIVATE\n@PJL SET HOLDKEY=0427\n@PJL SET "
                      "RESOLUTION=600\n"),
              "head \n@PJL SET HOLDTYPE=PRIVATE\n@PJL SET HOLDKEY=****\n@PJL SET "
              "RESOLUTION=600\n");
    // What is not a key stays as it is.
    for (const char *kept : {TAG "[NULL]securityPasswd = False\n",
                             TAG "the whole securityPasswd = , securityPasswdCont = 0\n",
                             "@PJL SET JOBTIME = 20261208101500\n", "cancel job=15;\n"})
        EXPECT_EQ(hideKey(kept), kept);
}

} // namespace
