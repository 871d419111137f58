#include "jobpanel.h"

#include <QStringList>

const std::vector<PanelMapRow> kPaperTypeRows = {
    {"PLAIN", 0, "普通纸"},          {"THIN", 5, "薄纸"},      {"THICK", 6, "厚纸"},
    {"THICKERPAPER2", 14, "特厚纸"}, {"BOND", 0, "证券纸"},    {"ENV", 4, "信封"},
    {"ENVTHICK", 9, "厚信封"},       {"ENVTHIN", 8, "薄信封"}, {"RECYCLED", 0, "再生纸"},
    {"LABLE", 0, "标签纸"},          {"Glossy", 0, "光面纸"},  {"LETTERHEAD", 0, "信头纸"},
    {"COLOR", 0, "彩色纸"},
};

// Order matters: longer names that contain shorter ones come first or carry a length.
const std::vector<PanelMapRow> kPaperSizeRows = {
    {"MexicoLegal", 12, "墨西哥Legal"},
    {"Letter", 0, "Letter"},
    {"Legal", 6, "Legal"},
    {"IndiaLegal", 11, "印度Legal"},
    {"Executive", 0, "Executive"},
    {"A4", 0, "A4"},
    {"A5", 3, "A5"},
    {"A6", 0, "A6"},
    {"Folio", 6, "Folio"},
    {"A5L", 4, "A5长边"},
    {"Env10", 0, "Com-10"},
    {"EnvMonarch", 0, "Monarch"},
    {"EnvDL", 0, "DL"},
    {"EnvC5", 0, "C5"},
    {"ISOB5", 6, "B5(ISO)"},
    {"B5", 3, "B5(JIS)"},
    {"195x270mm", 0, "16K(195x270mm)"},
    {"184x260mm", 0, "16K(184x260mm)"},
    {"197x273mm", 0, "16K(197x273mm)"},
    {"Custom", 0, "用户自定义"},
};

const std::vector<PanelMapRow> kPaperSourceRows = {
    {"MPTRAY", 0, "手动进纸槽"}, {"TRAY1", 0, "纸盒1"},   {"TRAY2", 0, "纸盒2"},
    {"TRAY3", 0, "纸盒3"},       {"AUTO", 0, "自动选择"},
};

const std::vector<PanelMapRow> kDuplexRows = {
    {"None", 0, "无"},
    {"DuplexTumble", 0, "短边翻转"},
    {"DuplexNoTumble", 0, "长边翻转"},
};

void applyPrintJobInfoLine(const QString &line, PrintJobInfo *info)
{
    struct Key {
        const char *name;
        QString PrintJobInfo::*value;
    };
    static const Key keys[] = {
        {"resolution", &PrintJobInfo::resolution}, {"papersize", &PrintJobInfo::pageSize},
        {"inputslot", &PrintJobInfo::inputSlot},   {"mediatype", &PrintJobInfo::mediaType},
        {"duplex", &PrintJobInfo::duplex},
    };
    for (const Key &key : keys) {
        if (!line.contains(QLatin1String(key.name)))
            continue;
        const QStringList fields = line.split(QLatin1Char(':'));
        if (fields.size() > 1)
            info->*key.value = fields.at(1);
        return;
    }
}

PrintJobInfo parsePrintJobInfo(const QByteArray &content)
{
    PrintJobInfo info;
    for (const QByteArray &bytes : content.split('\n')) {
        QString line = QString::fromUtf8(bytes);
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        applyPrintJobInfoLine(line, &info);
    }
    return info;
}

QString mapPanelValue(const QString &raw, const std::vector<PanelMapRow> &rows)
{
    for (const PanelMapRow &row : rows) {
        if (!raw.contains(QLatin1String(row.keyword)))
            continue;
        if (row.length != 0 && raw.size() != row.length)
            continue;
        return QString::fromUtf8(row.text);
    }
    return QString();
}

PrintJobTexts printJobTexts(const PrintJobInfo &info)
{
    PrintJobTexts texts;
    texts.resolution = info.resolution.contains(QLatin1String("2400")) ? QStringLiteral("HQ1200dpi")
                                                                       : info.resolution;
    texts.mediaType = mapPanelValue(info.mediaType, kPaperTypeRows);
    texts.pageSize = mapPanelValue(info.pageSize, kPaperSizeRows);
    texts.inputSlot = mapPanelValue(info.inputSlot, kPaperSourceRows);
    texts.duplex = mapPanelValue(info.duplex, kDuplexRows);
    return texts;
}
