// makeguide SOURCE.md OUTPUT.pdf IMAGEDIR
// Lays the user guide out from its Markdown source and prints it to an A4 PDF: a Chinese
// font from the system's fonts, a contents list with page numbers, each chapter on a new
// page, the status code tables filled in from the monitors' own catalogue, page numbers
// in the footer. Runs at build time on the offscreen platform.
#include "pdftext.h"
#include "statustable.h"

#include <QAbstractTextDocumentLayout>
#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPdfWriter>
#include <QRawFont>
#include <QSaveFile>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextFrame>
#include <QTextLayout>
#include <QTextTable>

#include <algorithm>
#include <cstdio>

namespace
{

const QString kContentsMarker = QStringLiteral("[[目录]]");
const QString kStatusTableMarker = QStringLiteral("[[状态代码表]]");
const QString kGuideTitle = QStringLiteral("ZLP5520NW 用户指南");
constexpr qreal kBodyPointSize = 10.5;
constexpr qreal kContentsPointSize = 9.5;

void fail(const QString &text)
{
    std::fprintf(stderr, "makeguide: %s\n", qPrintable(text));
}

// The first installed font family that writes simplified Chinese, Noto Sans CJK SC preferred.
QString chineseFamily()
{
    const QFontDatabase fonts;
    const QStringList chinese = fonts.families(QFontDatabase::SimplifiedChinese);
    for (const QString &preferred :
         {QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Noto Sans SC"),
          QStringLiteral("AR PL UMing CN")}) {
        if (chinese.contains(preferred))
            return preferred;
    }
    return chinese.value(0);
}

// Latin text and digits come from a Latin font where there is one: shaped as Latin script,
// the CJK font's digits reach the PDF without their character codes, and copying or
// searching the guide's text would lose them.
QStringList textFamilies(const QString &chinese)
{
    const QStringList installed = QFontDatabase().families(QFontDatabase::Latin);
    QStringList families;
    for (const QString &latin : {QStringLiteral("Noto Sans"), QStringLiteral("DejaVu Sans")}) {
        if (installed.contains(latin)) {
            families << latin;
            break;
        }
    }
    return families << chinese;
}

QTextBlock findBlock(const QTextDocument &doc, const QString &text)
{
    for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
        if (block.text().trimmed() == text)
            return block;
    }
    return {};
}

QTextTableFormat tableFormat(int headerRows)
{
    QTextTableFormat format;
    format.setWidth(QTextLength(QTextLength::PercentageLength, 100));
    format.setCellSpacing(0);
    format.setCellPadding(4);
    format.setHeaderRowCount(headerRows);
    format.setBorderCollapse(true);
    format.setBorder(0);
    format.setBorderStyle(QTextFrameFormat::BorderStyle_None);
    format.setTopMargin(4);
    format.setBottomMargin(8);
    return format;
}

// A shaded header row and a thin rule under every row, no vertical lines.
void shadeHeader(QTextTable *table)
{
    for (int row = 0; row < table->rows(); ++row) {
        for (int column = 0; column < table->columns(); ++column) {
            QTextTableCell cell = table->cellAt(row, column);
            QTextTableCellFormat format = cell.format().toTableCellFormat();
            format.setBorder(0);
            format.setBottomBorder(row == 0 ? 1.2 : 0.6);
            format.setBottomBorderStyle(QTextFrameFormat::BorderStyle_Solid);
            format.setBottomBorderBrush(QColor(0xb0, 0xbe, 0xc5));
            if (row == 0) {
                format.setBackground(QColor(0xe3, 0xea, 0xee));
                format.setFontWeight(QFont::Bold);
            }
            cell.setFormat(format);
        }
    }
}

// The tables that the Markdown source brings get the same look as the generated ones.
void styleSourceTables(QTextDocument &doc)
{
    for (QTextFrame *frame : doc.rootFrame()->childFrames()) {
        if (auto *table = qobject_cast<QTextTable *>(frame)) {
            table->setFormat(tableFormat(1));
            shadeHeader(table);
        }
    }
}

void setCell(QTextTable *table, int row, int column, const QString &text,
             const QTextCharFormat &format = {})
{
    QTextCursor cursor = table->cellAt(row, column).firstCursorPosition();
    QString lines = text;
    lines.replace(QLatin1Char('\n'), QChar(QChar::LineSeparator));
    cursor.insertText(lines, format);
}

QTextTable *insertTable(QTextCursor &cursor, const QStringList &header, int rows,
                        const QVector<QTextLength> &widths)
{
    QTextTableFormat format = tableFormat(1);
    format.setColumnWidthConstraints(widths);
    QTextTable *table = cursor.insertTable(rows + 1, header.size(), format);
    QTextCharFormat bold;
    bold.setFontWeight(QFont::Bold);
    for (int column = 0; column < header.size(); ++column)
        setCell(table, 0, column, header[column], bold);
    shadeHeader(table);
    return table;
}

QTextLength percent(qreal value)
{
    return QTextLength(QTextLength::PercentageLength, value);
}

QTextCharFormat kindFormat(int kind)
{
    QTextCharFormat format;
    if (kind == 2)
        format.setForeground(QColor(0x9a, 0x6a, 0x00));
    else if (kind == 3)
        format.setForeground(QColor(0xc6, 0x28, 0x28));
    return format;
}

void continueAfter(QTextCursor &cursor, QTextTable *table)
{
    cursor = table->lastCursorPosition();
    cursor.movePosition(QTextCursor::NextBlock);
}

// Replaces the marker paragraph with the three status tables.
void insertStatusTables(QTextCursor cursor, const GuideStatusTables &tables)
{
    cursor.select(QTextCursor::BlockUnderCursor);
    cursor.removeSelectedText();
    cursor.insertBlock();

    QTextTable *codes =
        insertTable(cursor, {"代码", "类型", "标题", "说明"}, int(tables.individual.size()),
                    {percent(10), percent(9), percent(27), percent(54)});
    int row = 1;
    for (const StatusEntry &entry : tables.individual) {
        setCell(codes, row, 0, QString::number(entry.code));
        setCell(codes, row, 1, QString::fromUtf8(statusKindName(entry.kind)),
                kindFormat(entry.kind));
        setCell(codes, row, 2, QString::fromUtf8(entry.title));
        setCell(codes, row, 3, QString::fromUtf8(entry.message));
        ++row;
    }
    continueAfter(cursor, codes);
    if (tables.trays.empty())
        return;

    const PaperTray &firstTray = tables.trays.front();
    // The example uses A4 where the catalogue has it, the most common paper.
    const auto a4 = std::find_if(tables.sizes.begin(), tables.sizes.end(),
                                 [](const PaperSize &size) { return size.text == "A4"; });
    const PaperSize &firstSize = a4 != tables.sizes.end() ? *a4 : tables.sizes.front();
    cursor.insertText(
        QStringLiteral("纸张用完的代码由纸盒的基数加上纸张尺寸号组成，说明都是“请加纸”。"
                       "例如 %1 表示“%2无%3尺寸纸张”。")
            .arg(firstTray.base + firstSize.number)
            .arg(QString::fromStdString(firstTray.tray), QString::fromStdString(firstSize.text)));
    cursor.insertBlock();

    QTextTable *trays = insertTable(cursor, {"代码", "类型", "纸盒"}, int(tables.trays.size()),
                                    {percent(14), percent(10), percent(76)});
    row = 1;
    for (const PaperTray &tray : tables.trays) {
        setCell(trays, row, 0, QStringLiteral("%1xx").arg(tray.base / 100));
        setCell(trays, row, 1, QString::fromUtf8(statusKindName(tray.kind)), kindFormat(tray.kind));
        setCell(trays, row, 2, QString::fromStdString(tray.tray));
        ++row;
    }
    continueAfter(cursor, trays);

    constexpr int pairs = 3;
    const int sizeRows = int(tables.sizes.size() + pairs - 1) / pairs;
    QStringList header;
    QVector<QTextLength> widths;
    for (int pair = 0; pair < pairs; ++pair) {
        header << QStringLiteral("尺寸号") << QStringLiteral("纸张");
        widths << percent(10) << percent(100.0 / pairs - 10);
    }
    QTextTable *sizes = insertTable(cursor, header, sizeRows, widths);
    for (size_t i = 0; i < tables.sizes.size(); ++i) {
        const int r = 1 + int(i) % sizeRows;
        const int c = 2 * (int(i) / sizeRows);
        setCell(sizes, r, c, QStringLiteral("%1").arg(tables.sizes[i].number, 2, 10, QChar('0')));
        setCell(sizes, r, c + 1, QString::fromStdString(tables.sizes[i].text));
    }
}

// Chapters (level 1 after the title) start on a new page; headings keep some air above.
QList<QTextBlock> formatHeadings(QTextDocument &doc)
{
    QList<QTextBlock> headings;
    bool title = true;
    for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
        const int level = block.blockFormat().headingLevel();
        if (level == 0)
            continue;
        QTextCursor cursor(block);
        QTextBlockFormat format = block.blockFormat();
        format.setTopMargin(level == 1 ? 6 : 10);
        format.setBottomMargin(4);
        if (level == 1 && !title)
            format.setPageBreakPolicy(QTextFormat::PageBreak_AlwaysBefore);
        cursor.setBlockFormat(format);
        if (title) {
            // One line across the page, whatever size the heading level would give.
            for (auto it = block.begin(); !it.atEnd(); ++it) {
                QTextCharFormat chars = it.fragment().charFormat();
                chars.clearProperty(QTextFormat::FontSizeAdjustment);
                chars.setFontPointSize(19);
                QTextCursor fragment(&doc);
                fragment.setPosition(it.fragment().position());
                fragment.setPosition(it.fragment().position() + it.fragment().length(),
                                     QTextCursor::KeepAnchor);
                fragment.setCharFormat(chars);
            }
        }
        if (!title && level <= 2)
            headings << block;
        title = false;
    }
    return headings;
}

bool isCode(const QTextBlock &block)
{
    return block.isValid() && block.blockFormat().hasProperty(QTextFormat::BlockCodeFence);
}

// Air between paragraphs and list items; commands in a fixed-pitch font on a tinted
// background (the Latin-first family list of the body would otherwise win over the
// fixed-pitch family the Markdown reader gives them).
void spaceBlocks(QTextDocument &doc, const QStringList &codeFamilies)
{
    for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
        QTextBlockFormat format = block.blockFormat();
        if (format.headingLevel() != 0 || QTextCursor(block).currentTable())
            continue;
        QTextCursor cursor(block);
        if (isCode(block)) {
            format.setBackground(QColor(0xf1, 0xf4, 0xf6));
            format.setLeftMargin(format.leftMargin() + 8);
            format.setTopMargin(isCode(block.previous()) ? 0 : 4);
            format.setBottomMargin(isCode(block.next()) ? 0 : 8);
            cursor.setBlockFormat(format);
            cursor.select(QTextCursor::BlockUnderCursor);
            QTextCharFormat mono;
            mono.setFontFamilies(codeFamilies);
            mono.setFontPointSize(9.5);
            cursor.mergeCharFormat(mono);
            continue;
        }
        if (block.text().isEmpty() && isCode(block.previous())) {
            format.setBottomMargin(0);
            format.setLineHeight(1, QTextBlockFormat::FixedHeight);
        } else {
            format.setBottomMargin(block.textList() ? 2 : 6);
        }
        cursor.setBlockFormat(format);
    }
}

// The layout is redone lazily, part by part, after an edit; measuring needs all of it.
void relayout(QTextDocument &doc)
{
    const QSizeF page = doc.pageSize();
    doc.setPageSize(QSizeF());
    doc.setPageSize(page);
}

// The pages on which a block's first and last line lie.
QPair<int, int> blockPages(const QTextBlock &block, qreal pageHeight)
{
    const QTextLayout *lines = block.layout();
    const qreal top = block.document()->documentLayout()->blockBoundingRect(block).top();
    if (!lines || lines->lineCount() == 0)
        return {int(top / pageHeight), int(top / pageHeight)};
    // By the middle of the lines: the layout puts a line it moved to the next page a
    // fraction of a pixel before that page's start.
    const QTextLine first = lines->lineAt(0);
    const QTextLine last = lines->lineAt(lines->lineCount() - 1);
    return {int((top + first.y() + first.height() / 2) / pageHeight),
            int((top + last.y() + last.height() / 2) / pageHeight)};
}

// A paragraph that would be split by a page end, or a heading left alone at the foot of a
// page, starts the next page instead. (A split paragraph also puts the text of its lines
// into both pages of the PDF, outside what is drawn, where search and copy find it twice.)
bool keepBlocksTogether(QTextDocument &doc, qreal pageHeight)
{
    bool movedAny = false;
    for (int pass = 0; pass < 40; ++pass) {
        bool moved = false;
        for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
            // Table rows are left to the layout (which may split a row's text).
            if (QTextCursor(block).currentTable())
                continue;
            const QPair<int, int> pages = blockPages(block, pageHeight);

            bool breakBefore = pages.first != pages.second;
            if (!breakBefore && block.blockFormat().headingLevel() != 0 && block.next().isValid())
                breakBefore = blockPages(block.next(), pageHeight).first > pages.second;
            if (!breakBefore)
                continue;
            // The headings just above go along with the block.
            QTextBlock first = block;
            while (first.previous().isValid() &&
                   first.previous().blockFormat().headingLevel() != 0 &&
                   first.blockFormat().pageBreakPolicy() == QTextFormat::PageBreak_Auto)
                first = first.previous();
            QTextBlockFormat format = first.blockFormat();
            if (format.pageBreakPolicy() == QTextFormat::PageBreak_Auto) {
                format.setPageBreakPolicy(QTextFormat::PageBreak_AlwaysBefore);
            } else if (pages.first != pages.second) {
                // The layout does not break before a paragraph that follows a table; push
                // it down to the next page instead.
                const qreal top = doc.documentLayout()->blockBoundingRect(block).top() +
                                  block.layout()->lineAt(0).y();
                format.setTopMargin(format.topMargin() +
                                    qMax(1.0, (pages.first + 1) * pageHeight - top));
            } else {
                continue;
            }
            QTextCursor(first).setBlockFormat(format);
            moved = true;
            break;
        }
        if (!moved)
            break;
        movedAny = true;
        // Everything below moves: lay the whole document out again before measuring.
        relayout(doc);
    }
    return movedAny;
}

// The contents list: one row per chapter and section, the page numbers filled in once the
// document is laid out.
QTextTable *insertContents(QTextCursor cursor, const QList<QTextBlock> &headings)
{
    cursor.select(QTextCursor::BlockUnderCursor);
    cursor.removeSelectedText();
    cursor.insertBlock();
    QTextTableFormat format = tableFormat(0);
    format.setCellPadding(1);
    format.setColumnWidthConstraints({percent(90), percent(10)});
    QTextTable *table = cursor.insertTable(headings.size(), 2, format);
    for (int row = 0; row < headings.size(); ++row) {
        const bool chapter = headings[row].blockFormat().headingLevel() == 1;
        QTextCharFormat text;
        text.setFontWeight(chapter ? QFont::Bold : QFont::Normal);
        text.setFontPointSize(kContentsPointSize);
        QTextCursor cell = table->cellAt(row, 0).firstCursorPosition();
        QTextBlockFormat indent;
        indent.setLeftMargin(chapter ? 0 : 18);
        cell.setBlockFormat(indent);
        cell.insertText(headings[row].text(), text);
    }
    return table;
}

// Writes the page number of each heading into the contents list; returns whether a number
// changed.
bool fillContentsPages(QTextTable *table, const QList<QTextBlock> &headings, qreal pageHeight)
{
    // All pages first: the layout is redone lazily after each edit below. A heading is on the
    // page of its lines, not of its top, which the layout may leave a hair above a page start.
    QStringList pages;
    for (const QTextBlock &heading : headings)
        pages << QString::number(blockPages(heading, pageHeight).first + 1);
    bool changed = false;
    for (int row = 0; row < headings.size(); ++row) {
        const QTextTableCell cell = table->cellAt(row, 1);
        QTextCursor cursor = cell.firstCursorPosition();
        cursor.setPosition(cell.lastCursorPosition().position(), QTextCursor::KeepAnchor);
        if (cursor.selectedText() == pages[row])
            continue;
        changed = true;
        QTextBlockFormat right;
        right.setAlignment(Qt::AlignRight);
        cursor.setBlockFormat(right);
        QTextCharFormat text;
        text.setFontPointSize(kContentsPointSize);
        cursor.insertText(pages[row], text);
    }
    return changed;
}

// Pictures named in the source are taken from the image folder and drawn at a size that
// suits their kind: tray icons at text height, the larger pictures a little bigger. (The
// layout takes image sizes in pixels of 1/96 inch.)
bool placeImages(QTextDocument &doc, const QString &imageDir)
{
    bool ok = true;
    for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            if (!fragment.charFormat().isImageFormat())
                continue;
            QTextImageFormat format = fragment.charFormat().toImageFormat();
            const QString name = format.name();
            const QImage image(imageDir + QLatin1Char('/') + QFileInfo(name).fileName());
            if (image.isNull()) {
                fail(QStringLiteral("image %1 not found in %2").arg(name, imageDir));
                ok = false;
                continue;
            }
            doc.addResource(QTextDocument::ImageResource, QUrl(name), image);
            const qreal height = qBound(6.0, image.height() / 10.0, 20.0) * 96 / 25.4;
            format.setHeight(height);
            format.setWidth(height * image.width() / image.height());
            QTextCursor cursor(&doc);
            cursor.setPosition(fragment.position());
            cursor.setPosition(fragment.position() + fragment.length(), QTextCursor::KeepAnchor);
            cursor.setCharFormat(format);
        }
    }
    return ok;
}

// Radicals (Kangxi and the supplement) that the font draws with an ideograph's glyph,
// mapped to that ideograph.
QHash<char16_t, char16_t> radicalIdeographs(const QFont &font)
{
    const QRawFont raw = QRawFont::fromFont(font);
    QHash<quint32, char16_t> ideographOfGlyph;
    QString ideographs;
    for (char16_t u = 0x4E00; u <= 0x9FFF; ++u)
        ideographs += QChar(u);
    const QVector<quint32> glyphs = raw.glyphIndexesForString(ideographs);
    for (int i = 0; i < glyphs.size(); ++i) {
        if (glyphs[i] != 0 && !ideographOfGlyph.contains(glyphs[i]))
            ideographOfGlyph.insert(glyphs[i], ideographs[i].unicode());
    }
    QHash<char16_t, char16_t> table;
    for (char16_t radical = 0x2E80; radical <= 0x2FDF; ++radical) {
        const QVector<quint32> glyph = raw.glyphIndexesForString(QString(QChar(radical)));
        if (!glyph.isEmpty() && glyph[0] != 0 && ideographOfGlyph.contains(glyph[0]))
            table.insert(radical, ideographOfGlyph.value(glyph[0]));
    }
    return table;
}

// The finished file replaces the old one only when complete, so a failed run never leaves a
// half-written guide that the build would take as up to date.
bool writeGuide(const QString &path, QByteArray pdf, const QFont &font)
{
    repairCjkToUnicode(pdf, radicalIdeographs(font));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(pdf) != pdf.size() || !file.commit()) {
        fail(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4) {
        fail(QStringLiteral("usage: makeguide SOURCE.md OUTPUT.pdf IMAGEDIR"));
        return 2;
    }
    QFile source(args[1]);
    if (!source.open(QIODevice::ReadOnly)) {
        fail(QStringLiteral("cannot read %1: %2").arg(args[1], source.errorString()));
        return 1;
    }
    const QString markdown = QString::fromUtf8(source.readAll());
    const QString family = chineseFamily();
    if (family.isEmpty()) {
        fail(QStringLiteral("no font for simplified Chinese; install fonts-noto-cjk"));
        return 1;
    }

    QBuffer pdf;
    pdf.open(QIODevice::WriteOnly);
    QPdfWriter writer(&pdf);
    writer.setPageSize(QPageSize(QPageSize::A4));
    writer.setPageMargins(QMarginsF(20, 18, 20, 12), QPageLayout::Millimeter);
    writer.setResolution(300);
    writer.setTitle(kGuideTitle);
    writer.setCreator(QStringLiteral("ZLP5520NW makeguide"));
    const qreal dotsPerMm = writer.resolution() / 25.4;
    const QRect area = writer.pageLayout().paintRectPixels(writer.resolution());
    const qreal footer = 10 * dotsPerMm;
    const QSizeF page(area.width(), area.height() - footer);

    QTextDocument doc;
    doc.documentLayout()->setPaintDevice(&writer);
    QFont body(family);
    body.setFamilies(textFamilies(family));
    body.setPointSizeF(kBodyPointSize);
    doc.setDefaultFont(body);
    doc.setDocumentMargin(0);
    doc.setMarkdown(markdown, QTextDocument::MarkdownDialectGitHub);
    doc.setUndoRedoEnabled(false);

    // Every edit below is one edit of the document, laid out once at its end: edited one by
    // one, each cell written into the status tables would lay the whole table out again
    // (about a minute for a source of one heading, several under an emulator).
    QTextCursor building(&doc);
    building.beginEditBlock();

    styleSourceTables(doc);
    spaceBlocks(doc, {QStringLiteral("DejaVu Sans Mono"), family});
    if (!placeImages(doc, args[3]))
        return 1;
    const QTextBlock tableMarker = findBlock(doc, kStatusTableMarker);
    if (!tableMarker.isValid()) {
        fail(QStringLiteral("%1 has no paragraph %2 for the status codes")
                 .arg(args[1], kStatusTableMarker));
        return 1;
    }
    insertStatusTables(QTextCursor(tableMarker), buildGuideStatusTables(statusCatalogue()));
    const QList<QTextBlock> headings = formatHeadings(doc);
    QTextTable *contents = nullptr;
    const QTextBlock contentsMarker = findBlock(doc, kContentsMarker);
    if (contentsMarker.isValid())
        contents = insertContents(QTextCursor(contentsMarker), headings);
    building.endEditBlock();

    doc.setPageSize(page);
    // Page numbers and page ends settle each other: the contents list can move a page end,
    // which can move a heading. A few rounds are enough.
    for (int round = 0; round < 4; ++round) {
        const bool moved = keepBlocksTogether(doc, page.height());
        const bool renumbered = contents && fillContentsPages(contents, headings, page.height());
        relayout(doc);
        if (round > 0 && !moved && !renumbered)
            break;
    }

    QPainter painter;
    if (!painter.begin(&writer)) {
        fail(QStringLiteral("cannot start the PDF"));
        return 1;
    }
    QFont small = body;
    small.setPointSizeF(8);
    const int pages = doc.pageCount();
    for (int index = 0; index < pages; ++index) {
        if (index > 0)
            writer.newPage();
        painter.save();
        painter.setClipRect(QRectF(QPointF(0, 0), page));
        painter.translate(0, -index * page.height());
        // A block that the layout moved to the next page starts a hair above it; it must not
        // be drawn (clipped, but its text still in the file) at the foot of this page too.
        QAbstractTextDocumentLayout::PaintContext context;
        context.clip =
            QRectF(0, index * page.height(), page.width(), page.height() - 1.5 * dotsPerMm);
        doc.documentLayout()->draw(&painter, context);
        painter.restore();

        const QRectF foot(0, page.height() + 3 * dotsPerMm, page.width(), footer - 3 * dotsPerMm);
        painter.setPen(QPen(QColor(0x90, 0xa4, 0xae), 0.3 * dotsPerMm));
        painter.drawLine(foot.topLeft(), foot.topRight());
        painter.setPen(QColor(0x45, 0x5a, 0x64));
        painter.setFont(small);
        painter.drawText(foot, Qt::AlignLeft | Qt::AlignVCenter, kGuideTitle);
        painter.drawText(foot, Qt::AlignRight | Qt::AlignVCenter,
                         QStringLiteral("第 %1 页，共 %2 页").arg(index + 1).arg(pages));
    }
    if (!painter.end()) {
        fail(QStringLiteral("cannot finish the PDF"));
        return 1;
    }
    return writeGuide(args[2], pdf.data(), QFont(family)) ? 0 : 1;
}
