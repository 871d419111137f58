// The status catalogue as data: what the user reads for each code, how codes rank, how a
// status line is read, and which repeats stay quiet.
#include "statuscatalogue.h"

#include <gtest/gtest.h>
#include <set>
#include <string>

namespace
{

const int kFamilyBases[] = {11200, 11300, 11400, 41000, 41100, 41200, 41300, 41400, 41900};
const int kFamilySizes[] = {2,  4,  5,  13, 15, 17, 19, 26, 28, 31, 32, 34, 35,
                            36, 64, 65, 66, 67, 68, 69, 71, 72, 73, 74, 80};

bool isFamilyCode(int code)
{
    for (int base : kFamilyBases) {
        for (int size : kFamilySizes) {
            if (code == base + size)
                return true;
        }
    }
    return false;
}

TEST(StatusCatalogueShape, HoldsEveryEntryOnceInCodeOrder)
{
    const std::vector<StatusEntry> &entries = statusCatalogue();
    ASSERT_EQ(entries.size(), 311u);
    std::set<int> codes;
    int individual = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        const StatusEntry &e = entries[i];
        EXPECT_TRUE(codes.insert(e.code).second) << "duplicate " << e.code;
        if (i > 0) {
            EXPECT_LT(entries[i - 1].code, e.code);
        }
        EXPECT_GE(e.kind, 1);
        EXPECT_LE(e.kind, 3);
        ASSERT_NE(e.title, nullptr);
        ASSERT_NE(e.message, nullptr);
        EXPECT_GT(std::string(e.title).size(), 0u) << e.code;
        EXPECT_EQ(findStatusEntry(e.code), &e);
        if (!isFamilyCode(e.code))
            ++individual;
    }
    EXPECT_EQ(individual, 86);
}

TEST(StatusCatalogueShape, PaperSizeFamilyHasNoGaps)
{
    for (int base : kFamilyBases) {
        int found = 0;
        for (int code = base; code < base + 100; ++code) {
            const StatusEntry *e = findStatusEntry(code);
            EXPECT_EQ(e != nullptr, isFamilyCode(code)) << code;
            if (e) {
                ++found;
                EXPECT_STREQ(e->message, "请加纸");
                EXPECT_EQ(e->kind, base < 20000 ? 2 : 3) << code;
            }
        }
        EXPECT_EQ(found, 25) << base;
    }
}

TEST(StatusCatalogueShape, UnknownCodesHaveNoEntry)
{
    for (int code : {0, -1, 10002, 11200, 11201, 11299, 41000, 41999, 62113, 99998, 100000})
        EXPECT_EQ(findStatusEntry(code), nullptr) << code;
}

TEST(StatusCatalogueShape, OnlyTheReadyMessageFollowsUpAndTwoCodesWaitForAutoHide)
{
    std::set<int> followUps, conditional;
    for (const StatusEntry &e : statusCatalogue()) {
        if (e.followUp != StatusFollowUp::None)
            followUps.insert(e.code);
        if (e.condition != StatusCondition::None)
            conditional.insert(e.code);
    }
    EXPECT_EQ(followUps, std::set<int>({10023}));
    EXPECT_EQ(findStatusEntry(10023)->followUp, StatusFollowUp::ReadPrintJobInfo);
    EXPECT_EQ(conditional, std::set<int>({44444, 99999}));
    EXPECT_EQ(findStatusEntry(44444)->condition, StatusCondition::AfterAutoHide);
}

struct Sample {
    int code;
    int kind;
    const char *title;
    const char *message;
};

void PrintTo(const Sample &s, std::ostream *os)
{
    *os << s.code;
}

class StatusCatalogueText : public ::testing::TestWithParam<Sample>
{
};

TEST_P(StatusCatalogueText, ShowsExactlyTheseTexts)
{
    const Sample &s = GetParam();
    const StatusEntry *e = findStatusEntry(s.code);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->kind, s.kind);
    EXPECT_STREQ(e->title, s.title);
    EXPECT_STREQ(e->message, s.message);
}

// Written out by hand: every kind, every family base, the line breaks, the "×", the ASCII
// comma without a space, the empty message of 88888 and the message chosen for 62123.
INSTANTIATE_TEST_SUITE_P(
    Sample, StatusCatalogueText,
    ::testing::Values(
        Sample{10001, 1, "打印机准备就绪", "打印机准备就绪，等待打印任务"},
        Sample{10023, 1, "正在打印", "打印机正在打印"},
        Sample{40000, 1, "休眠", "长时间没有收到数据\n打印机进入省电休眠状态"},
        Sample{10209, 2, "墨粉不足", "墨盒墨粉即将用完，请更换墨盒"},
        Sample{10316, 2, "更换定影单元", "定影单元打印页数达到规定的寿命\n请更换定影单元"},
        Sample{12501, 3, "无纸盒4", "纸盒4被抽出，请推入纸盒4"},
        Sample{44444, 3, "打印机通信失败", "无法和打印机通信，请检查USB线连接"},
        Sample{60005, 3, "硒鼓错误",
               "硒鼓状态异常\n请滑动硒鼓上绿色滑块清洗硒鼓\n清洗后将滑块恢复到初始位置"},
        Sample{60129, 3, "介质不匹配", "向打印机送纸的纸盒中纸张类型错误\n请修改对应的纸张类型"},
        Sample{60153, 3, "配准失败", "颜色校准故障\n"},
        Sample{62112, 2, "更换进纸器4",
               "打印机纸盒4部件的打印页数到达规定寿命需要更换\n请更换纸盒4单元"},
        Sample{62122, 2, "纸盒1纸张不足", "打印机纸盒1剩余纸张较少\n请向纸盒1中添加纸张"},
        Sample{62123, 2, "纸盒2纸张不足", "打印机纸盒2剩余纸张较少\n请向纸盒2中添加纸张"},
        Sample{62125, 2, "纸盒4纸张不足", "打印机纸盒4剩余纸张较少\n请向纸盒4中添加纸张"},
        Sample{70420, 3, "无法扫描", "ADF双面无法扫描\n原稿长度太长，不能双面扫描"},
        Sample{88888, 3, "打印机违规外联！", ""},
        Sample{99999, 3, "安全打印密码错误",
               "电脑端设置安全打印密码错误，\n请在电脑端打印队列删除打印任务，并重新打印"},
        Sample{11202, 2, "纸盒1无Letter尺寸纸张", "请加纸"},
        Sample{11213, 2, "纸盒1无A4尺寸纸张", "请加纸"},
        Sample{11319, 2, "纸盒2无B5或JIS B5尺寸纸张", "请加纸"},
        Sample{11480, 2, "纸盒3无A5 L尺寸纸张", "请加纸"},
        Sample{41071, 3, "多功能进纸板无3×5尺寸纸张", "请加纸"},
        Sample{41136, 3, "进纸托板无自定义尺寸纸张", "请加纸"},
        Sample{41272, 3, "纸盒用途为仅纸盒1时,纸盒1无Envelope You #4尺寸纸张", "请加纸"},
        Sample{41374, 3, "纸盒用途为仅纸盒2时,纸盒2无A4 Long尺寸纸张", "请加纸"},
        Sample{41472, 3, "纸盒用途为仅纸盒3时,纸盒3无Envelope You #4尺寸纸张", "请加纸"},
        Sample{41964, 3, "纸盒用途为自动选择时,所有进纸槽无Organizer J尺寸纸张", "请加纸"}));

TEST(StatusSeverity, RanksAtTheRangeEdges)
{
    const struct {
        int code;
        int severity;
    } cases[] = {
        {10001, 1}, {10003, 1}, {10007, 1}, {10023, 1}, {40000, 1}, {10205, 2},
        {10208, 3}, {10209, 2}, {10212, 2}, {10213, 3}, {10215, 2}, {10305, 2},
        {10315, 2}, {10316, 2}, {11200, 3}, {11201, 2}, {11213, 2}, {11499, 2},
        {11500, 3}, {62002, 2}, {62102, 2}, {62108, 3}, {62109, 2}, {62111, 2},
        {62112, 3}, {62116, 2}, {62121, 3}, {62122, 2}, {62124, 2}, {62125, 3},
        {88888, 4}, {0, 3},     {10002, 3}, {44444, 3}, {99999, 3}, {-1, 3},
    };
    for (const auto &c : cases)
        EXPECT_EQ(statusSeverity(c.code), c.severity) << c.code;
}

TEST(StatusSeverity, AgreesWithKindExceptForTheThreeKnownCodes)
{
    for (const StatusEntry &e : statusCatalogue()) {
        if (e.code == 62112 || e.code == 62125 || e.code == 88888)
            continue;
        const int severity = statusSeverity(e.code);
        // Kind 1 and 2 rank as themselves; every error ranks 3.
        EXPECT_EQ(severity, e.kind) << e.code;
    }
    EXPECT_EQ(findStatusEntry(62112)->kind, 2);
    EXPECT_EQ(findStatusEntry(88888)->kind, 3);
}

TEST(StatusLineCode, ReadsTheNumberAfterTheFirstEquals)
{
    EXPECT_EQ(statusLineCode("CODE=10001"), 10001);
    EXPECT_EQ(statusLineCode("CODE= 10023 \r\n"), 10023);
    EXPECT_EQ(statusLineCode("\tCODE=\t60000\t"), 60000);
    EXPECT_EQ(statusLineCode("junk before CODE=41472"), 41472);
    EXPECT_EQ(statusLineCode("CODE=10001=20002"), 10001);
    EXPECT_EQ(statusLineCode("CODE=-5"), -5);
    EXPECT_EQ(statusLineCode("CODE=+7"), 7);
    EXPECT_EQ(statusLineCode("CODE=2147483647"), 2147483647);
    EXPECT_EQ(statusLineCode("CODE=-2147483648"), -2147483647 - 1);
}

TEST(StatusLineCode, UnreadableNumbersGiveZero)
{
    EXPECT_EQ(statusLineCode("CODE="), 0);
    EXPECT_EQ(statusLineCode("CODE=   "), 0);
    EXPECT_EQ(statusLineCode("CODE=abc"), 0);
    EXPECT_EQ(statusLineCode("CODE=100 01"), 0);
    EXPECT_EQ(statusLineCode("CODE=10001x"), 0);
    EXPECT_EQ(statusLineCode("CODE=0x10"), 0);
    EXPECT_EQ(statusLineCode("CODE=-"), 0);
    EXPECT_EQ(statusLineCode("CODE=2147483648"), 0);
    EXPECT_EQ(statusLineCode("CODE=99999999999999999999"), 0);
    EXPECT_EQ(statusLineCode("CODE=" + std::string(5000, '9')), 0);
    EXPECT_EQ(statusLineCode("no equals sign"), 0);
    EXPECT_EQ(statusLineCode(std::string("CODE=100\0"
                                         "01",
                                         11)),
              0);
    EXPECT_EQ(statusLineCode(""), 0);
}

TEST(LastCodeRule, RepeatsAreQuietUntilAnotherCodeCameBetween)
{
    int last = 0;
    EXPECT_EQ(nextStatusEntry(10001, &last, false)->code, 10001);
    EXPECT_EQ(nextStatusEntry(10001, &last, false), nullptr);
    EXPECT_EQ(nextStatusEntry(10023, &last, false)->code, 10023);
    EXPECT_EQ(nextStatusEntry(10001, &last, false)->code, 10001);
    EXPECT_EQ(last, 10001);
}

TEST(LastCodeRule, UnknownAndUnreadableCodesStillBecomeTheLastCode)
{
    int last = 10001;
    EXPECT_EQ(nextStatusEntry(10002, &last, false), nullptr);
    EXPECT_EQ(last, 10002);
    EXPECT_EQ(nextStatusEntry(0, &last, false), nullptr);
    EXPECT_EQ(last, 0);
    // The ready message after an unknown code is a change again.
    EXPECT_EQ(nextStatusEntry(10001, &last, false)->code, 10001);
    // A first code 0 equals the starting value and changes nothing.
    int fresh = 0;
    EXPECT_EQ(nextStatusEntry(0, &fresh, true), nullptr);
    EXPECT_EQ(fresh, 0);
}

TEST(LastCodeRule, ConditionalCodesWaitForTheWindowToHaveHidden)
{
    for (int code : {44444, 99999}) {
        int last = 10001;
        // Arrives while a notice is on screen: suppressed, and it stays suppressed while it
        // repeats, even once the window has hidden.
        EXPECT_EQ(nextStatusEntry(code, &last, false), nullptr) << code;
        EXPECT_EQ(last, code);
        EXPECT_EQ(nextStatusEntry(code, &last, true), nullptr) << code;
        // After another code, with the window hidden, it shows.
        EXPECT_NE(nextStatusEntry(10001, &last, true), nullptr);
        const StatusEntry *e = nextStatusEntry(code, &last, true);
        ASSERT_NE(e, nullptr) << code;
        EXPECT_EQ(e->code, code);
    }
    // Codes without a condition ignore the flag.
    int last = 0;
    EXPECT_NE(nextStatusEntry(60000, &last, false), nullptr);
}

} // namespace
