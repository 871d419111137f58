// The last job's settings, as the filter leaves them in its settings file, and the texts
// the settings panel shows for them. Pure functions: MainWindow::readPrintJobInfo does the
// reading and fills the labels.
#pragma once

#include <QByteArray>
#include <QString>
#include <vector>

// Raw values, as written by the filter: "key:value;" keeps its ';' in the value.
struct PrintJobInfo {
    QString resolution = QStringLiteral("600dpi");
    QString pageSize = QStringLiteral("A4");
    QString inputSlot = QStringLiteral("Auto");
    QString mediaType = QStringLiteral("PLAIN");
    QString duplex = QStringLiteral("None");
};

// Takes one line of the settings file into *info: the first key found in the line
// (resolution, papersize, inputslot, mediatype, duplex) gets the text after the first ':'
// up to the next ':'. Lines without a known key or without ':' change nothing.
void applyPrintJobInfoLine(const QString &line, PrintJobInfo *info);

// The whole file's content, line by line; later lines override earlier ones.
PrintJobInfo parsePrintJobInfo(const QByteArray &content);

// One row of a mapping table: the raw value must contain `keyword` (case-sensitive) and,
// when `length` is not 0, be exactly that many characters long.
struct PanelMapRow {
    const char *keyword;
    int length;
    const char *text;
};

extern const std::vector<PanelMapRow> kPaperTypeRows;
extern const std::vector<PanelMapRow> kPaperSizeRows;
extern const std::vector<PanelMapRow> kPaperSourceRows;
extern const std::vector<PanelMapRow> kDuplexRows;

// The text of the first matching row, or an empty text.
QString mapPanelValue(const QString &raw, const std::vector<PanelMapRow> &rows);

struct PrintJobTexts {
    QString resolution;
    QString mediaType;
    QString pageSize;
    QString inputSlot;
    QString duplex;
};

PrintJobTexts printJobTexts(const PrintJobInfo &info);
