// Every catalogue code as a standard printer-state-reason: the keyword, its severity and the
// printer-state-message text.
#include "statereasons.h"
#include "statuscatalogue.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace
{

// The reasons of RFC 8011 and PWG 5100.9 this printer can have.
const std::set<std::string> kStandard = {"media-empty",
                                         "media-low",
                                         "media-jam",
                                         "media-needed",
                                         "cover-open",
                                         "door-open",
                                         "input-tray-missing",
                                         "toner-low",
                                         "toner-empty",
                                         "marker-supply-low",
                                         "marker-supply-empty",
                                         "marker-waste-almost-full",
                                         "marker-waste-full",
                                         "opc-near-eol",
                                         "opc-life-over",
                                         "offline",
                                         "other"};

bool titleHas(const StatusEntry &e, const char *text)
{
    return std::string(e.title).find(text) != std::string::npos;
}

TEST(StateReasons, AllCataloguedCodes)
{
    const auto &entries = statusCatalogue();
    ASSERT_EQ(entries.size(), 311u);
    for (const StatusEntry &e : entries) {
        SCOPED_TRACE(e.code);
        const StateReason reason = stateReasonOf(e.code);
        if (e.kind == 1) {
            // Ready, printing, warming up, asleep, cancelled: nothing is wrong.
            EXPECT_EQ(reason.keyword, nullptr);
            EXPECT_TRUE(reasonValue(reason).empty());
            continue;
        }
        ASSERT_NE(reason.keyword, nullptr);
        EXPECT_TRUE(kStandard.count(reason.keyword)) << reason.keyword;
        EXPECT_EQ(reason.severity, e.kind == 2 ? ReasonSeverity::Warning : ReasonSeverity::Error);
        // What the title says must be what the reason says.
        const std::string keyword = reason.keyword;
        if (titleHas(e, "卡纸")) {
            EXPECT_EQ(keyword, "media-jam");
        }
        if (titleHas(e, "无纸盒")) {
            EXPECT_EQ(keyword, "input-tray-missing");
        }
        if (titleHas(e, "盖子未合上")) {
            EXPECT_EQ(keyword, "cover-open");
        }
        if (titleHas(e, "尺寸纸张") || titleHas(e, "无进纸")) {
            EXPECT_EQ(keyword, "media-empty");
        }
        if (titleHas(e, "纸张不足")) {
            EXPECT_EQ(keyword, "media-low");
        }
        if (titleHas(e, "墨粉不足")) {
            EXPECT_TRUE(keyword == "toner-low" || keyword == "marker-supply-low");
        }
        // printer-state-message carries the catalogue's title and message on one line.
        const std::string message = stateMessageOf(e.code);
        EXPECT_EQ(message.rfind(e.title, 0), 0u);
        EXPECT_EQ(message.find('\n'), std::string::npos);
    }
}

TEST(StateReasons, ValuesAndUnknownCodes)
{
    EXPECT_EQ(reasonValue(stateReasonOf(41913)), "media-empty-error");   // no A4 anywhere
    EXPECT_EQ(reasonValue(stateReasonOf(11213)), "media-empty-warning"); // tray 1 only
    EXPECT_EQ(reasonValue(stateReasonOf(44114)), "media-jam-error");
    EXPECT_EQ(reasonValue(stateReasonOf(10209)), "toner-low-warning");
    EXPECT_EQ(reasonValue(stateReasonOf(40309)), "toner-empty-error");
    EXPECT_EQ(reasonValue(stateReasonOf(44444)), "offline-error");
    EXPECT_EQ(reasonValue(stateReasonOf(12345)), "other-error");
    EXPECT_EQ(stateMessageOf(12345), "");
    EXPECT_EQ(stateMessageOf(44114), "纸盒1卡纸：纸盒1附近发生送纸卡纸 请取出纸盒1附近卡住的纸张");
}

TEST(StateReasons, MostSevereLineOfAReply)
{
    EXPECT_EQ(mostSevereCode("CODE=10023\rCODE=44114\rCODE=10001"), 44114);
    EXPECT_EQ(mostSevereCode("CODE=10001\rCODE=62122"), 62122);
    EXPECT_EQ(mostSevereCode("garbage\rCODE=\rCODE=abc"), 0);
    EXPECT_EQ(mostSevereCode(""), 0);
}

} // namespace
