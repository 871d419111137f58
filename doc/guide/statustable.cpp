#include "statustable.h"

#include <algorithm>
#include <map>
#include <optional>
#include <string_view>

namespace
{

constexpr std::string_view kNone = "无";
constexpr std::string_view kSizeSuffix = "尺寸纸张";
constexpr std::string_view kAddPaper = "请加纸";

struct SplitTitle {
    std::string tray;
    std::string size;
};

std::optional<SplitTitle> splitPaperTitle(const StatusEntry &entry)
{
    const std::string_view title = entry.title;
    if (std::string_view(entry.message) != kAddPaper || title.size() <= kSizeSuffix.size() ||
        title.substr(title.size() - kSizeSuffix.size()) != kSizeSuffix)
        return std::nullopt;
    const size_t none = title.find(kNone);
    if (none == std::string_view::npos || none == 0)
        return std::nullopt;
    const size_t sizeStart = none + kNone.size();
    const size_t sizeEnd = title.size() - kSizeSuffix.size();
    if (sizeEnd <= sizeStart)
        return std::nullopt;
    return SplitTitle{std::string(title.substr(0, none)),
                      std::string(title.substr(sizeStart, sizeEnd - sizeStart))};
}

struct Group {
    std::vector<StatusEntry> entries;
    bool foldable = true;
    PaperTray tray{};
    std::map<int, std::string> sizes;
};

} // namespace

GuideStatusTables buildGuideStatusTables(const std::vector<StatusEntry> &catalogue)
{
    GuideStatusTables tables;
    std::map<int, Group> groups; // by base
    for (const StatusEntry &entry : catalogue) {
        const std::optional<SplitTitle> split = splitPaperTitle(entry);
        if (!split || entry.code < 100) {
            tables.individual.push_back(entry);
            continue;
        }
        const int base = entry.code / 100 * 100;
        Group &group = groups[base];
        if (group.entries.empty())
            group.tray = PaperTray{base, entry.kind, split->tray};
        group.entries.push_back(entry);
        if (group.tray.kind != entry.kind || group.tray.tray != split->tray ||
            !group.sizes.emplace(entry.code - base, split->size).second)
            group.foldable = false;
    }

    // The size table is that of the first group that folds; a group with other sizes does not.
    std::optional<std::map<int, std::string>> sizes;
    for (auto &[base, group] : groups) {
        if (group.foldable && group.sizes.size() > 1) {
            if (!sizes)
                sizes = group.sizes;
            group.foldable = group.sizes == *sizes;
        } else {
            group.foldable = false;
        }
        if (group.foldable)
            tables.trays.push_back(group.tray);
        else
            tables.individual.insert(tables.individual.end(), group.entries.begin(),
                                     group.entries.end());
    }
    if (sizes)
        for (const auto &[number, text] : *sizes)
            tables.sizes.push_back(PaperSize{number, text});

    std::stable_sort(tables.individual.begin(), tables.individual.end(),
                     [](const StatusEntry &a, const StatusEntry &b) { return a.code < b.code; });
    return tables;
}

const char *statusKindName(int kind)
{
    switch (kind) {
    case 1:
        return "提示";
    case 2:
        return "警告";
    case 3:
        return "错误";
    default:
        return "—";
    }
}
