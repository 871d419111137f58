// The guide's status code tables, built from the catalogue the monitors use. The paper-size
// family (a tray base plus a size number, 225 codes that all say "请加纸") is folded into two
// small tables, trays and sizes; every other code gets its own row. Pure data, no Qt.
#pragma once

#include "statuscatalogue.h"

#include <string>
#include <vector>

struct PaperTray {
    int base;         // for example 11200; the codes are base + size number
    int kind;         // 1, 2 or 3, the same for every code of the tray
    std::string tray; // "纸盒1"
};

struct PaperSize {
    int number;       // 2 .. 99
    std::string text; // "A4"
};

struct GuideStatusTables {
    std::vector<StatusEntry> individual; // one row each, in code order
    std::vector<PaperTray> trays;        // in code order
    std::vector<PaperSize> sizes;        // by size number
};

// Folds the paper-size family out of the catalogue. A group of codes with one base is folded
// only when every title reads tray + "无" + size + "尺寸纸张" with the message "请加纸", one
// tray and one kind throughout, and the same sizes as every other folded group; otherwise its
// codes stay individual rows, so no code of the catalogue is ever left out.
GuideStatusTables buildGuideStatusTables(const std::vector<StatusEntry> &catalogue);

// The name of a kind in the guide: "提示", "警告", "错误".
const char *statusKindName(int kind);
