// Opens the generated queue PPDs through libcups the way the filters do (defaults
// marked, then the job's options) and checks what the filters rely on: every
// keyword and choice name they compare, the defaults they fall back to, the page
// sizes behind the geometry they compute, and custom sizes.
#include <cups/cups.h>
#include <cups/ppd.h>
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace
{

struct PpdCloser {
    void operator()(ppd_file_t *ppd) const { ppdClose(ppd); }
};
using Ppd = std::unique_ptr<ppd_file_t, PpdCloser>;

// Marks the PPD's defaults and then the options text, as the filter does.
// Returns the conflict count of cupsMarkOptions in *conflicts.
Ppd openMarked(const std::string &path, const char *options, int *conflicts = nullptr)
{
    Ppd ppd(ppdOpenFile(path.c_str()));
    if (!ppd) {
        int line = 0;
        ppd_status_t status = ppdLastError(&line);
        ADD_FAILURE() << path << ": " << ppdErrorString(status) << " on line " << line;
        return ppd;
    }
    ppdMarkDefaults(ppd.get());
    cups_option_t *parsed = nullptr;
    int count = cupsParseOptions(options, 0, &parsed);
    int result = cupsMarkOptions(ppd.get(), count, parsed);
    cupsFreeOptions(count, parsed);
    if (conflicts)
        *conflicts = result;
    return ppd;
}

std::string markedChoice(ppd_file_t *ppd, const char *keyword)
{
    ppd_choice_t *choice = ppdFindMarkedChoice(ppd, keyword);
    return choice ? choice->choice : "(none)";
}

struct Keyword {
    const char *keyword;
    const char *defaultChoice;
    std::vector<std::string> choices;
};

std::vector<std::string> numbered(int first, int last)
{
    std::vector<std::string> names;
    for (int i = first; i <= last; ++i)
        names.push_back(std::to_string(i));
    return names;
}

std::vector<std::string> keyDigit()
{
    std::vector<std::string> names{"False"};
    for (const std::string &digit : numbered(0, 9))
        names.push_back(digit);
    return names;
}

// Page sizes with their 600 dpi geometry in the filter's table; the PPD's paper
// dimensions must agree with it to within the table's own rounding (a few points:
// its B5 row is slightly smaller than JIS B5).
struct PageSize {
    const char *name;
    int pixelWidth;
    int pixelHeight;
};
const std::vector<PageSize> kPageSizes = {
    {"A4", 4961, 7016},          {"Letter", 5100, 6600},     {"Legal", 5100, 8400},
    {"MexicoLegal", 5100, 8028}, {"IndiaLegal", 5076, 8148}, {"Executive", 4350, 6300},
    {"Folio", 5100, 7800},       {"A5", 3505, 4960},         {"A5L", 4960, 3496},
    {"A6", 2480, 3496},          {"Env10", 2475, 5700},      {"EnvMonarch", 2325, 4500},
    {"EnvDL", 2599, 5197},       {"EnvC5", 3835, 5410},      {"ISOB5", 4157, 5900},
    {"B5", 4268, 6041},          {"ISOB6", 2953, 4157},      {"B6", 3024, 4299},
    {"4x6", 2409, 3591},         {"Postcard", 2362, 3496},   {"DoublePostcardRotated", 4724, 3496},
    {"EnvYou4", 2480, 5551},     {"195x270mm", 4606, 6378},  {"184x260mm", 4346, 6141},
    {"197x273mm", 4654, 6449},   {"CUSTOM1", 4958, 7016},    {"CUSTOM2", 4958, 7016},
    {"CUSTOM3", 4958, 7016},
};
constexpr double kSizeTolerance = 4.5; // points

std::vector<std::string> pageSizeNames()
{
    std::vector<std::string> names;
    for (const PageSize &size : kPageSizes)
        names.push_back(size.name);
    names.push_back("Custom");
    return names;
}

// Every keyword the filter reads, its default, and exactly the choices it acts on.
const std::vector<Keyword> &filterKeywords()
{
    static const std::vector<Keyword> keywords = {
        {"PageSize", "A4", pageSizeNames()},
        {"MediaType",
         "PLAIN",
         {"PLAIN", "THIN", "THICK", "THICKERPAPER2", "BOND", "ENV", "ENVTHICK", "ENVTHIN",
          "RECYCLED", "LABLE", "COLOR", "LETTERHEAD", "HOLEPUNCHED"}},
        {"InputSlot", "AUTO", {"AUTO", "MPTRAY", "TRAY1", "TRAY2", "TRAY3"}},
        {"Duplex", "None", {"None", "DuplexNoTumble", "DuplexTumble"}},
        {"Resolution", "600dpi", {"300dpi", "600dpi", "1200dpi", "2400dpi"}},
        {"ResizePage", "10", numbered(5, 20)},
        {"Passwd1", "False", keyDigit()},
        {"Passwd2", "False", keyDigit()},
        {"Passwd3", "False", keyDigit()},
        {"Passwd4", "False", keyDigit()},
        {"TonerSaveMode", "OFF", {"OFF", "ON"}},
        {"ImprovePrintOutput", "None", {"None", "ReducePaperCurl", "ImproveTonerFixing"}},
        {"PrintDensity", "0", numbered(0, 5)},
        {"Sleep",
         "PrinterDefault",
         {"PrinterDefault", "2minutes", "5minutes", "10minutes", "30minutes"}},
        {"QuiteMode", "OFF", {"OFF", "ON"}},
    };
    return keywords;
}

bool isUtf8(const std::string &text)
{
    int pending = 0; // continuation bytes still expected
    for (unsigned char byte : text) {
        if (pending > 0) {
            if ((byte & 0xC0) != 0x80)
                return false;
            --pending;
        } else if ((byte & 0xE0) == 0xC0) {
            pending = 1;
        } else if ((byte & 0xF0) == 0xE0) {
            pending = 2;
        } else if ((byte & 0xF8) == 0xF0) {
            pending = 3;
        } else if (byte >= 0x80) {
            return false;
        }
    }
    return pending == 0;
}

bool hasNonAscii(const std::string &text)
{
    for (unsigned char byte : text)
        if (byte >= 0x80)
            return true;
    return false;
}

std::vector<std::string> readLines(const std::string &path)
{
    std::ifstream in(path);
    EXPECT_TRUE(in) << "cannot read " << path;
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

class QueuePpd : public ::testing::TestWithParam<const char *>
{
};

TEST_P(QueuePpd, DefaultsAreTheFilterDefaults)
{
    Ppd ppd = openMarked(GetParam(), "");
    ASSERT_TRUE(ppd);
    for (const Keyword &kw : filterKeywords())
        EXPECT_EQ(markedChoice(ppd.get(), kw.keyword), kw.defaultChoice) << kw.keyword;
}

TEST_P(QueuePpd, OffersExactlyTheChoicesTheFilterActsOn)
{
    Ppd ppd = openMarked(GetParam(), "");
    ASSERT_TRUE(ppd);
    for (const Keyword &kw : filterKeywords()) {
        ppd_option_t *option = ppdFindOption(ppd.get(), kw.keyword);
        ASSERT_NE(option, nullptr) << kw.keyword;
        std::set<std::string> offered;
        for (int i = 0; i < option->num_choices; ++i)
            offered.insert(option->choices[i].choice);
        EXPECT_EQ(offered, std::set<std::string>(kw.choices.begin(), kw.choices.end()))
            << kw.keyword;
        // Users read the option and its choices in Chinese.
        EXPECT_TRUE(isUtf8(option->text)) << kw.keyword;
        EXPECT_TRUE(hasNonAscii(option->text)) << kw.keyword << " has no Chinese text";
    }
}

TEST_P(QueuePpd, EachChoiceReachesTheFilterAsMarked)
{
    for (const Keyword &kw : filterKeywords()) {
        for (const std::string &choice : kw.choices) {
            if (choice == "Custom")
                continue; // needs dimensions, see CustomPageSize
            std::string option = std::string(kw.keyword) + "=" + choice;
            int conflicts = -1;
            Ppd ppd = openMarked(GetParam(), option.c_str(), &conflicts);
            ASSERT_TRUE(ppd);
            EXPECT_EQ(markedChoice(ppd.get(), kw.keyword), choice) << option;
            EXPECT_EQ(conflicts, 0) << option;
        }
    }
}

TEST_P(QueuePpd, PaperDimensionsMatchTheFilterGeometry)
{
    Ppd ppd = openMarked(GetParam(), "");
    ASSERT_TRUE(ppd);
    for (const PageSize &expected : kPageSizes) {
        ppd_size_t *size = ppdPageSize(ppd.get(), expected.name);
        ASSERT_NE(size, nullptr) << expected.name;
        EXPECT_NEAR(size->width, expected.pixelWidth * 72.0 / 600, kSizeTolerance) << expected.name;
        EXPECT_NEAR(size->length, expected.pixelHeight * 72.0 / 600, kSizeTolerance)
            << expected.name;
        EXPECT_TRUE(size->left >= 0 && size->left < size->right && size->right <= size->width &&
                    size->bottom >= 0 && size->bottom < size->top && size->top <= size->length)
            << expected.name << " imageable area outside the paper";
    }
}

TEST_P(QueuePpd, CustomPageSize)
{
    Ppd ppd = openMarked(GetParam(), "PageSize=Custom.200x300");
    ASSERT_TRUE(ppd);
    EXPECT_EQ(markedChoice(ppd.get(), "PageSize"), "Custom");
    ppd_size_t *size = ppdPageSize(ppd.get(), nullptr);
    ASSERT_NE(size, nullptr);
    EXPECT_STREQ(size->name, "Custom");
    EXPECT_FLOAT_EQ(size->width, 200);
    EXPECT_FLOAT_EQ(size->length, 300);

    // The custom range reaches the largest fixed size.
    ppd_size_t minimum, maximum;
    ASSERT_TRUE(ppdPageSizeLimits(ppd.get(), &minimum, &maximum));
    EXPECT_GE(maximum.width, 612);
    EXPECT_GE(maximum.length, 1008);
    EXPECT_LE(minimum.width, 200);
    EXPECT_LE(minimum.length, 300);
}

INSTANTIATE_TEST_SUITE_P(Queues, QueuePpd, ::testing::Values(ZLP_PPD_USB, ZLP_PPD_NET),
                         [](const ::testing::TestParamInfo<const char *> &queue) {
                             return std::string(queue.param) == ZLP_PPD_USB ? "usb" : "net";
                         });

// The two files come from one template: only the filter, the queue's names and
// comments may differ.
TEST(QueuePpds, DifferOnlyInFilterAndQueueNames)
{
    std::vector<std::string> usb = readLines(ZLP_PPD_USB);
    std::vector<std::string> net = readLines(ZLP_PPD_NET);
    ASSERT_EQ(usb.size(), net.size());
    const std::vector<std::string> mayDiffer = {
        "*cupsFilter:", "*NickName:", "*ShortNickName:", "*PCFileName:", "*%"};
    for (size_t i = 0; i < usb.size(); ++i) {
        if (usb[i] == net[i])
            continue;
        bool allowed = false;
        for (const std::string &prefix : mayDiffer)
            allowed = allowed || (usb[i].rfind(prefix, 0) == 0 && net[i].rfind(prefix, 0) == 0);
        EXPECT_TRUE(allowed) << "line " << i + 1 << ":\n  " << usb[i] << "\n  " << net[i];
    }

    Ppd usbPpd = openMarked(ZLP_PPD_USB, "");
    Ppd netPpd = openMarked(ZLP_PPD_NET, "");
    ASSERT_TRUE(usbPpd && netPpd);
    ASSERT_EQ(usbPpd->num_filters, 1);
    ASSERT_EQ(netPpd->num_filters, 1);
    EXPECT_STREQ(usbPpd->filters[0], "application/vnd.cups-postscript 100 pstopxl_5520nw");
    EXPECT_STREQ(netPpd->filters[0], "application/vnd.cups-postscript 100 pstopxl_5520nw_net");
    EXPECT_STRNE(usbPpd->nickname, netPpd->nickname);
    EXPECT_NE(std::string(netPpd->nickname).find("Network"), std::string::npos);
    EXPECT_EQ(std::string(usbPpd->nickname).find("Network"), std::string::npos);
    for (ppd_file_t *ppd : {usbPpd.get(), netPpd.get()}) {
        EXPECT_STREQ(ppd->manufacturer, "VARN");
        EXPECT_STREQ(ppd->modelname, "ZLP5520NW");
        EXPECT_EQ(ppd->color_device, 0);
    }
}

} // namespace
