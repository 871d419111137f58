// Spool comments, the job files' texts and the time texts.
#include "jobfiles.h"
#include "spoolcount.h"
#include "timetexts.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace
{

SpoolCount scan(const std::string &text)
{
    std::FILE *file = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    LogLines log;
    const SpoolCount count = scanSpool(file, log);
    std::fclose(file);
    return count;
}

TEST(SpoolCount, LastCommentWinsAndCopiesPrecedence)
{
    EXPECT_EQ(scan("%!PS\n%%Pages: 3\n%%EndComments\nshowpage\n%%Trailer\n%%Pages: 5\n").pages, 5);
    EXPECT_EQ(scan("%!PS\n%%Pages: (atend)\n").pages, 0);
    EXPECT_EQ(scan("%!PS\n%%Pages: 4\n%%Pages: (atend)\n").pages, 4);

    const SpoolCount requirements = scan("%!PS\n%%Requirements: numcopies(2) collate\n");
    EXPECT_EQ(requirements.copies, 2);
    EXPECT_TRUE(requirements.copiesFound);
    EXPECT_EQ(scan("/#copies 4 def\n%%Requirements: numcopies(2)\n").copies, 4);
    EXPECT_EQ(scan("%%Requirements: numcopies(2)\n/#copies 6 def\n").copies, 6);
    EXPECT_EQ(scan("/#copies 3 def\n/#copies 7 def\n").copies, 7);

    // Comments count only at the start of a line.
    const SpoolCount none = scan("%!PS\n  %%Pages: 9\n% /#copies 5\n");
    EXPECT_EQ(none.pages, 0);
    EXPECT_EQ(none.copies, 1);
    EXPECT_FALSE(none.copiesFound);
}

TEST(SpoolCount, NumbersThatAreNoCountsAreSkipped)
{
    // Beyond int, or negative: the comment does not count, an earlier one stays.
    EXPECT_EQ(scan("%%Pages: 4\n%%Pages: 88888888888888888888\n").pages, 4);
    EXPECT_EQ(scan("%%Pages: 4\n%%Pages: 2147483648\n").pages, 4);
    EXPECT_EQ(scan("%%Pages: 2147483647\n").pages, 2147483647);
    EXPECT_EQ(scan("%%Pages: -3\n").pages, 0);
    const SpoolCount copies = scan("/#copies 99999999999 def\n%%Requirements: numcopies(-2)\n");
    EXPECT_FALSE(copies.copiesFound);
    EXPECT_EQ(copies.copies, 1);
    EXPECT_EQ(scan("%%Requirements:   numcopies(3)\n/#copies\t+5 def\n").copies, 5);
}

TEST(SpoolCount, LongLinesAreReadInPieces)
{
    // A 1000-byte line: its pieces are scanned as lines, the next comment still counts.
    const std::string text = std::string(1000, 'x') + "\n%%Pages: 12\n";
    EXPECT_EQ(scan(text).pages, 12);
}

TEST(SpoolCount, PathIsPaddedToFiveDigits)
{
    EXPECT_EQ(spoolPath("42"), "/var/spool/cups/d00042-001");
    EXPECT_EQ(spoolPath("123456"), "/var/spool/cups/d123456-001");
}

JobOptions someOptions()
{
    JobOptions o;
    o.pageSize = "Letter";
    o.duplex = "DuplexNoTumble";
    return o;
}

TEST(JobFiles, SettingsFileHasFiveLines)
{
    EXPECT_EQ(settingsText(JobOptions()),
              "resolution:600dpi;\npapersize:A4;\ninputslot:AUTO;\nmediatype:PLAIN;\n"
              "duplex:None;\n");
}

TEST(JobFiles, LogBlockLinesAndDuplexWording)
{
    LogBlock block;
    block.printerNameLine = "打印机名称：ZLP5520NW\n";
    block.date = "2027年01月01日00:00:01 Friday";
    block.jobId = "42";
    block.user = "bob";
    block.title = "two\nlines";
    block.copies = 3;
    block.pages = 5;
    EXPECT_EQ(printLogBlock(block, someOptions()),
              std::string(51, '*') +
                  "\n打印机名称：ZLP5520NW\n日期:2027年01月01日00:00:01 Friday\n任务ID：42\n"
                  "用户名：bob\n文件名：two lines\n打印份数：3\n文档页数：5\n"
                  "resolution:600dpi\npapersize:Letter;\ninputslot:AUTO;\nmediatype:PLAIN;\n"
                  "duplex:长边翻转\n");
    JobOptions o;
    o.duplex = "DuplexTumble";
    EXPECT_NE(printLogBlock(block, o).find("duplex:短边翻转\n"), std::string::npos);
    o.duplex = "None";
    EXPECT_NE(printLogBlock(block, o).find("duplex:单面打印\n"), std::string::npos);
    o.duplex = "Other";
    EXPECT_EQ(printLogBlock(block, o).find("duplex:"), std::string::npos);
}

TEST(TimeTexts, CalendarYearAndFixedWidths)
{
    std::tm t = {};
    t.tm_year = 2027 - 1900; // Friday 1 January 2027 lies in ISO week 53 of 2026
    t.tm_mon = 0;
    t.tm_mday = 1;
    t.tm_wday = 5;
    t.tm_hour = 0;
    t.tm_min = 0;
    t.tm_sec = 1;
    const TimeTexts texts = formatTimeTexts(t);
    EXPECT_EQ(texts.printLogTime, "Fri,01,Jan 2027 00:00:01");
    EXPECT_EQ(texts.startTime, "20270101000001");
    EXPECT_EQ(texts.logDate, "2027年01月01日00:00:01 Friday");

    t.tm_wday = 3; // the longest weekday name still fits the 50-byte date buffer
    EXPECT_EQ(formatTimeTexts(t).logDate, "2027年01月01日00:00:01 Wednesday");
}

} // namespace
