// The USB filter's STATE: lines for the printer's status during a job.
#include "printerreasons.h"

#include <gtest/gtest.h>

TEST(PrinterReasons, FollowThePrinterAndEndClean)
{
    std::string current;
    EXPECT_EQ(reasonLines("CODE=10023", current), ""); // printing: nothing wrong
    EXPECT_EQ(reasonLines("CODE=10023\rCODE=41913", current), "STATE: +media-empty-error\n");
    EXPECT_EQ(reasonLines("CODE=41913", current), ""); // no repeat of the same reason
    EXPECT_EQ(reasonLines("noise without a status line", current), "");
    EXPECT_EQ(reasonLines("CODE=44114", current),
              "STATE: -media-empty-error\nSTATE: +media-jam-error\n");
    EXPECT_EQ(reasonLines("CODE=10001", current), "STATE: -media-jam-error\n");
    EXPECT_EQ(current, "");
    EXPECT_EQ(reasonLines("CODE=10209", current), "STATE: +toner-low-warning\n");
    EXPECT_EQ(clearReasonLine(current), "STATE: -toner-low-warning\n");
    EXPECT_EQ(clearReasonLine(current), "");
}
