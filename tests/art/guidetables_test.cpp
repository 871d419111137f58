// The guide's status tables against the monitors' catalogue, and the repair of the PDF's
// character codes.
#include "pdftext.h"
#include "statustable.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

namespace
{

// Every code the folded tables stand for, with the title the monitor would show.
std::map<int, std::string> unfold(const GuideStatusTables &tables)
{
    std::map<int, std::string> titles;
    for (const StatusEntry &entry : tables.individual)
        titles.emplace(entry.code, entry.title);
    for (const PaperTray &tray : tables.trays)
        for (const PaperSize &size : tables.sizes)
            titles.emplace(tray.base + size.number, tray.tray + "无" + size.text + "尺寸纸张");
    return titles;
}

TEST(GuideStatusTables, FoldsThePaperFamilyAndLosesNoCode)
{
    const GuideStatusTables tables = buildGuideStatusTables(statusCatalogue());
    EXPECT_EQ(tables.individual.size(), 86u);
    ASSERT_EQ(tables.trays.size(), 9u);
    ASSERT_EQ(tables.sizes.size(), 25u);

    EXPECT_EQ(tables.trays.front().base, 11200);
    EXPECT_EQ(tables.trays.front().kind, 2);
    EXPECT_EQ(tables.trays.front().tray, "纸盒1");
    EXPECT_EQ(tables.trays.back().base, 41900);
    EXPECT_EQ(tables.trays.back().kind, 3);
    EXPECT_EQ(tables.trays.back().tray, "纸盒用途为自动选择时,所有进纸槽");
    EXPECT_EQ(tables.sizes.front().number, 2);
    EXPECT_EQ(tables.sizes.front().text, "Letter");
    EXPECT_EQ(tables.sizes[20].number, 71);
    EXPECT_EQ(tables.sizes[20].text, "3×5");

    // Unfolded, the tables give back exactly the catalogue: same codes, same titles.
    std::map<int, std::string> catalogue;
    for (const StatusEntry &entry : statusCatalogue())
        catalogue.emplace(entry.code, entry.title);
    EXPECT_EQ(unfold(tables), catalogue);

    for (size_t i = 1; i < tables.individual.size(); ++i)
        EXPECT_LT(tables.individual[i - 1].code, tables.individual[i].code);
}

// A catalogue change that breaks the family's pattern must show up as plain rows, never
// vanish from the guide or be printed under a wrong title.
TEST(GuideStatusTables, IrregularGroupsStayIndividualRows)
{
    std::vector<StatusEntry> catalogue = statusCatalogue();
    std::set<int> changed;
    for (StatusEntry &entry : catalogue) {
        if (entry.code == 11313) {
            entry.title = "纸盒2无A4纸张"; // suffix missing
            changed.insert(11300);
        }
        if (entry.code == 41402) {
            entry.kind = 2; // kind differs within its tray
            changed.insert(41400);
        }
    }
    catalogue.push_back({41999, 3, "纸盒用途为自动选择时,所有进纸槽无B9尺寸纸张", "请加纸",
                         StatusCondition::None, StatusFollowUp::None}); // a size of its own
    changed.insert(41900);

    const GuideStatusTables tables = buildGuideStatusTables(catalogue);
    EXPECT_EQ(tables.trays.size(), 6u);
    for (const PaperTray &tray : tables.trays)
        EXPECT_EQ(changed.count(tray.base), 0u) << tray.base;
    EXPECT_EQ(tables.individual.size(), 86u + 25 + 25 + 26);
    std::map<int, std::string> expected;
    for (const StatusEntry &entry : catalogue)
        expected.emplace(entry.code, entry.title);
    EXPECT_EQ(unfold(tables), expected);
}

TEST(GuideStatusTables, EmptyCatalogueGivesEmptyTables)
{
    const GuideStatusTables tables = buildGuideStatusTables({});
    EXPECT_TRUE(tables.individual.empty());
    EXPECT_TRUE(tables.trays.empty());
    EXPECT_TRUE(tables.sizes.empty());
}

TEST(GuideStatusTables, KindNames)
{
    EXPECT_STREQ(statusKindName(1), "提示");
    EXPECT_STREQ(statusKindName(2), "警告");
    EXPECT_STREQ(statusKindName(3), "错误");
    EXPECT_STREQ(statusKindName(0), "—");
}

const QHash<char16_t, char16_t> kRadicals = {{0x2FCA, 0x9ED1}, {0x2F3E, 0x6237}, {0x2EC5, 0x89C1}};

TEST(PdfTextRepair, RewritesDestinationCodesOnly)
{
    // Glyph 2FCA is a source code here and must stay; the destinations change.
    QByteArray pdf = "1 0 obj <2FCA> endobj\n"
                     "2 beginbfrange\n"
                     "<0001> <0003> [<2FCA> <0041> <2f3e>]\n"
                     "<2FCA> <2FCA> <2EC5>\n"
                     "endbfrange\n"
                     "1 beginbfchar\n"
                     "<2FCA> <2FCA>\n"
                     "<0009> <2FCAD800>\n"
                     "endbfchar\n"
                     "trailer <2FCA>\n";
    const QByteArray expected = "1 0 obj <2FCA> endobj\n"
                                "2 beginbfrange\n"
                                "<0001> <0003> [<9ED1> <0041> <6237>]\n"
                                "<2FCA> <2FCA> <89C1>\n"
                                "endbfrange\n"
                                "1 beginbfchar\n"
                                "<2FCA> <9ED1>\n"
                                "<0009> <2FCAD800>\n"
                                "endbfchar\n"
                                "trailer <2FCA>\n";
    EXPECT_EQ(repairCjkToUnicode(pdf, kRadicals), 4);
    EXPECT_EQ(pdf, expected);
}

TEST(PdfTextRepair, LeavesBrokenOrForeignInputAlone)
{
    for (QByteArray pdf : {QByteArray(), QByteArray("beginbfrange <0001> <0001> <2FCA"),
                           QByteArray("beginbfchar\n<0001> <2FCA>\n"),
                           QByteArray("<0001> <0001> <2FCA> endbfrange beginbfrange"),
                           QByteArray("beginbfchar\n<0001> <2FCA>\nendbfchar")}) {
        const QByteArray before = pdf;
        const bool complete =
            pdf.contains("endbfchar") && pdf.indexOf("beginbfchar") < pdf.indexOf("endbfchar");
        EXPECT_EQ(repairCjkToUnicode(pdf, kRadicals), complete ? 1 : 0) << before.constData();
        EXPECT_EQ(pdf.size(), before.size());
    }
}

} // namespace
