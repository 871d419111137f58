// The last job's settings panel: reading the filter's settings file, mapping its keywords
// to the panel's texts, and surviving whatever else is found under that name.
#include "jobpanel.h"
#include "smallfile.h"

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>
#include <chrono>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace
{

std::string utf8(const QString &s)
{
    return s.toStdString();
}

std::string mapped(const char *raw, const std::vector<PanelMapRow> &rows)
{
    return utf8(mapPanelValue(QString::fromUtf8(raw), rows));
}

TEST(PanelMapping, PaperSizeRowsWithLengthsPickTheRightName)
{
    // As the filter writes them: keyword plus ';'.
    const struct {
        const char *raw;
        const char *text;
    } cases[] = {
        {"Legal;", "Legal"},
        {"MexicoLegal;", "墨西哥Legal"},
        {"IndiaLegal;", "印度Legal"},
        {"Letter;", "Letter"},
        {"A4;", "A4"},
        {"A5;", "A5"},
        {"A5L;", "A5长边"},
        {"A6;", "A6"},
        {"ISOB5;", "B5(ISO)"},
        {"B5;", "B5(JIS)"},
        {"Folio;", "Folio"},
        {"Env10;", "Com-10"},
        {"EnvMonarch;", "Monarch"},
        {"EnvDL;", "DL"},
        {"EnvC5;", "C5"},
        {"195x270mm;", "16K(195x270mm)"},
        {"Custom.200x300mm;", "用户自定义"},
        // Without the ';' the length rows no longer match.
        {"Legal", ""},
        {"A5", ""},
        {"B5", ""},
        {"Folio", ""},
        {"Tabloid;", ""},
        {"", ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(mapped(c.raw, kPaperSizeRows), c.text) << c.raw;
}

TEST(PanelMapping, PaperTypeRowsWithLengths)
{
    const struct {
        const char *raw;
        const char *text;
    } cases[] = {
        {"PLAIN;", "普通纸"},         {"THIN;", "薄纸"},      {"THICK;", "厚纸"},
        {"THICKERPAPER2;", "特厚纸"}, {"BOND;", "证券纸"},    {"ENV;", "信封"},
        {"ENVTHICK;", "厚信封"},      {"ENVTHIN;", "薄信封"}, {"RECYCLED;", "再生纸"},
        {"LABLE;", "标签纸"},         {"Glossy;", "光面纸"},  {"LETTERHEAD;", "信头纸"},
        {"COLOR;", "彩色纸"},         {"THICKER;", ""},       {"plain;", ""},
        {"PLAIN", "普通纸"},          {"THIN", ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(mapped(c.raw, kPaperTypeRows), c.text) << c.raw;
}

TEST(PanelMapping, SourceAndDuplexAreCaseSensitive)
{
    EXPECT_EQ(mapped("MPTRAY;", kPaperSourceRows), "手动进纸槽");
    EXPECT_EQ(mapped("TRAY1;", kPaperSourceRows), "纸盒1");
    EXPECT_EQ(mapped("TRAY3;", kPaperSourceRows), "纸盒3");
    EXPECT_EQ(mapped("AUTO;", kPaperSourceRows), "自动选择");
    EXPECT_EQ(mapped("Auto", kPaperSourceRows), "");
    EXPECT_EQ(mapped("Auto;", kPaperSourceRows), "");
    EXPECT_EQ(mapped("tray1;", kPaperSourceRows), "");

    EXPECT_EQ(mapped("None;", kDuplexRows), "无");
    EXPECT_EQ(mapped("DuplexTumble;", kDuplexRows), "短边翻转");
    EXPECT_EQ(mapped("DuplexNoTumble;", kDuplexRows), "长边翻转");
    EXPECT_EQ(mapped("none;", kDuplexRows), "");
}

TEST(PanelTexts, DefaultsWithoutAFile)
{
    const PrintJobTexts t = printJobTexts(parsePrintJobInfo(QByteArray()));
    EXPECT_EQ(utf8(t.resolution), "600dpi");
    EXPECT_EQ(utf8(t.pageSize), "A4");
    EXPECT_EQ(utf8(t.inputSlot), ""); // "Auto" matches no row
    EXPECT_EQ(utf8(t.mediaType), "普通纸");
    EXPECT_EQ(utf8(t.duplex), "无");
}

TEST(PanelTexts, FileAsTheFilterWritesIt)
{
    const QByteArray file = "resolution:2400dpi;\n"
                            "papersize:A4;\n"
                            "inputslot:TRAY2;\n"
                            "mediatype:ENVTHICK;\n"
                            "duplex:DuplexNoTumble;\n"
                            "papersize:Letter;\n";
    const PrintJobTexts t = printJobTexts(parsePrintJobInfo(file));
    EXPECT_EQ(utf8(t.resolution), "HQ1200dpi");
    EXPECT_EQ(utf8(t.pageSize), "Letter"); // the later line wins
    EXPECT_EQ(utf8(t.inputSlot), "纸盒2");
    EXPECT_EQ(utf8(t.mediaType), "厚信封");
    EXPECT_EQ(utf8(t.duplex), "长边翻转");
}

TEST(PanelTexts, ResolutionIsShownAsRead)
{
    EXPECT_EQ(utf8(printJobTexts(parsePrintJobInfo("resolution:1200dpi;\n")).resolution),
              "1200dpi;");
    EXPECT_EQ(utf8(printJobTexts(parsePrintJobInfo("resolution:1200dpi;\r\n")).resolution),
              "1200dpi;");
}

TEST(PanelParse, LinesAreJudgedByTheirFirstKeyAndSecondField)
{
    PrintJobInfo info;
    applyPrintJobInfoLine(QStringLiteral("papersize A5;"), &info); // no ':'
    EXPECT_EQ(utf8(info.pageSize), "A4");
    applyPrintJobInfoLine(QStringLiteral("papersize:Legal;:extra"), &info);
    EXPECT_EQ(utf8(info.pageSize), "Legal;");
    applyPrintJobInfoLine(QStringLiteral("papersize:"), &info);
    EXPECT_EQ(utf8(info.pageSize), "");
    // "resolution" is tested before "duplex": the line belongs to the resolution.
    applyPrintJobInfoLine(QStringLiteral("duplex resolution:300dpi;"), &info);
    EXPECT_EQ(utf8(info.resolution), "300dpi;");
    EXPECT_EQ(utf8(info.duplex), "None");
    applyPrintJobInfoLine(QStringLiteral("Resolution:9dpi;"), &info); // keys are lower case
    EXPECT_EQ(utf8(info.resolution), "300dpi;");
}

TEST(PanelParse, HalfWrittenAndBinaryContentGivesDefaultsOrEmptyTexts)
{
    // Cut in the middle of the second line.
    PrintJobTexts t = printJobTexts(parsePrintJobInfo("resolution:1200dpi;\npapers"));
    EXPECT_EQ(utf8(t.resolution), "1200dpi;");
    EXPECT_EQ(utf8(t.pageSize), "A4");

    QByteArray binary;
    for (int i = 0; i < 4096; ++i)
        binary.append(char((i * 131) & 0xff));
    binary.append("\nmediatype:\xff\xfe\x00PLAIN;\nduplex:DuplexTumble;\n", 42);
    t = printJobTexts(parsePrintJobInfo(binary));
    EXPECT_EQ(utf8(t.mediaType), ""); // a line's text ends at a NUL byte
    EXPECT_EQ(utf8(t.duplex), "短边翻转");
    EXPECT_EQ(utf8(t.pageSize), "A4");
}

class SmallFileTest : public ::testing::Test
{
  protected:
    QTemporaryDir dir;
    QString path(const char *name) const { return dir.filePath(QString::fromLatin1(name)); }
    void write(const QString &p, const QByteArray &content)
    {
        QFile f(p);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_EQ(f.write(content), content.size());
    }
};

TEST_F(SmallFileTest, ReadsASmallFileWhole)
{
    write(path("info"), "papersize:A5;\n");
    QByteArray content;
    EXPECT_EQ(readSmallFile(path("info"), kSmallFileLimit, &content), SmallFileResult::Ok);
    EXPECT_EQ(content, QByteArray("papersize:A5;\n"));

    write(path("empty"), QByteArray());
    EXPECT_EQ(readSmallFile(path("empty"), kSmallFileLimit, &content), SmallFileResult::Ok);
    EXPECT_TRUE(content.isEmpty());
}

TEST_F(SmallFileTest, RefusesWhatIsNotASmallRegularFile)
{
    QByteArray content = "stale";
    EXPECT_EQ(readSmallFile(path("missing"), kSmallFileLimit, &content),
              SmallFileResult::CannotOpen);
    EXPECT_TRUE(content.isEmpty());

    // 10 MB with a valid line at its head: not a file the filter wrote.
    QByteArray big = "papersize:A5;\n";
    big.append(QByteArray(10 * 1024 * 1024, 'x'));
    write(path("big"), big);
    EXPECT_EQ(readSmallFile(path("big"), kSmallFileLimit, &content), SmallFileResult::TooLarge);
    EXPECT_TRUE(content.isEmpty());

    write(path("edge"), QByteArray(int(kSmallFileLimit), 'a'));
    EXPECT_EQ(readSmallFile(path("edge"), kSmallFileLimit, &content), SmallFileResult::Ok);
    EXPECT_EQ(content.size(), kSmallFileLimit);

    EXPECT_EQ(readSmallFile(dir.path(), kSmallFileLimit, &content), SmallFileResult::NotRegular);

    // A FIFO without a writer would block an ordinary open for good.
    const QByteArray fifo = path("fifo").toLocal8Bit();
    ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(readSmallFile(path("fifo"), kSmallFileLimit, &content), SmallFileResult::NotRegular);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

} // namespace
