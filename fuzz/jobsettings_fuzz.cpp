// The last job's settings file as the monitor reads it (the filter may be rewriting it, or
// anyone who can write it may have put anything there): every value is a default or one
// field of one line, and every panel text is one of the mapping tables' texts or empty.
#include "fuzzcheck.h"
#include "jobpanel.h"

namespace
{

bool isRowText(const QString &text, const std::vector<PanelMapRow> &rows)
{
    if (text.isEmpty())
        return true;
    for (const PanelMapRow &row : rows)
        if (text == QString::fromUtf8(row.text))
            return true;
    return false;
}

void checkValue(const QString &value, const QString &fallback)
{
    if (value == fallback)
        return;
    FUZZ_CHECK(!value.contains(QLatin1Char('\n')));
    FUZZ_CHECK(!value.contains(QLatin1Char(':')));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray content(reinterpret_cast<const char *>(data), static_cast<int>(size));
    const PrintJobInfo info = parsePrintJobInfo(content);
    const PrintJobInfo defaults;
    checkValue(info.resolution, defaults.resolution);
    checkValue(info.pageSize, defaults.pageSize);
    checkValue(info.inputSlot, defaults.inputSlot);
    checkValue(info.mediaType, defaults.mediaType);
    checkValue(info.duplex, defaults.duplex);
    // A value changes only when a line names its key.
    if (!content.contains("mediatype"))
        FUZZ_CHECK(info.mediaType == defaults.mediaType);
    if (!content.contains("duplex"))
        FUZZ_CHECK(info.duplex == defaults.duplex);

    const PrintJobTexts texts = printJobTexts(info);
    FUZZ_CHECK(isRowText(texts.mediaType, kPaperTypeRows));
    FUZZ_CHECK(isRowText(texts.pageSize, kPaperSizeRows));
    FUZZ_CHECK(isRowText(texts.inputSlot, kPaperSourceRows));
    FUZZ_CHECK(isRowText(texts.duplex, kDuplexRows));
    FUZZ_CHECK(texts.resolution == QStringLiteral("HQ1200dpi") ||
               texts.resolution == info.resolution);
    return 0;
}
